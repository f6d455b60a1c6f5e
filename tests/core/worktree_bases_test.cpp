#include "locations/worktree_bases.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "scratch_directory.hpp"

namespace worktree_runtime::locations {
namespace {

namespace fs = std::filesystem;

// placed() of a case's optional texts and of its environment's values too.
using worktree_runtime::placed;

std::optional<std::string> placed(const std::optional<std::string>& text, const std::string& root) {
  return text ? std::optional(placed(*text, root)) : std::nullopt;
}

support::EnvSnapshot placed(const support::EnvSnapshot& env, const std::string& root) {
  support::EnvSnapshot result;
  for (const auto& [name, value] : env) result[name] = placed(value, root);
  return result;
}

// project/ (identifier "acme", an override in config/worktree.yaml),
// escaping/ (an identifier that is not one path component), home/ and
// ci-base/. The live environment says CI and names another base and another
// repository: a snapshot's rules never read it.
class WorktreeBases : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    for (const char* directory : {"home", "ci-base", "explicit", "other"}) fs::create_directories(root_ / directory);
    write_text_file(root_ / "project" / "pyproject.toml", "[tool.velmorin]\nproject_id = \"acme\"\n");
    write_text_file(root_ / "project" / "config" / "worktree.yaml", "worktree:\n  overrides:\n    - base: wt/ci\n");
    write_text_file(root_ / "escaping" / "pyproject.toml", "[tool.velmorin]\nproject_id = \"../up\"\n");
    write_text_file(root_ / "other" / "pyproject.toml", "[tool.velmorin]\nproject_id = \"other\"\n");
    ::setenv("CI", "1", 1);
    ::setenv("QUORBEL_WORKTREE_BASE", at("live-base").c_str(), 1);
    ::setenv("QUORBEL_REPO_ROOT", at("other").c_str(), 1);
  }

  void TearDown() override {
    for (const char* name : {"CI", "QUORBEL_WORKTREE_BASE", "QUORBEL_REPO_ROOT"}) ::unsetenv(name);
    GitScratchDirectory::TearDown();
  }
};

struct BaseCase {
  const char* name;
  support::EnvSnapshot env;  // texts may hold "{root}", as the others
  std::optional<std::string> explicit_base;
  std::optional<std::string> repo_root;
  std::string expected;
};

void PrintTo(const BaseCase& base, std::ostream* out) { *out << base.name; }

class WorktreeBase : public WorktreeBases, public testing::WithParamInterface<BaseCase> {};

// The explicit base; in CI the variable, else the configured override; else
// the per-user default of the repository's project.
TEST_P(WorktreeBase, IsTheExplicitThenInCiTheVariableThenTheConfigurationElseTheDefault) {
  const BaseCase& base = GetParam();
  const std::string root = root_.string();
  const ScopedCurrentDirectory outside_any_repository(root_);
  EXPECT_EQ(resolve_worktree_base(placed(base.explicit_base, root), placed(base.repo_root, root), at("home"),
                                  placed(base.env, root)),
            placed(base.expected, root));
}

const std::optional<std::string> kProject = "{root}/project";
const char* const kDefault = "{root}/home/.velmorin/worktrees/acme";
const char* const kConfigured = "{root}/project/wt/ci";
const support::EnvSnapshot kCiWithBase = {{"CI", "true"}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base/./"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, WorktreeBase,
    testing::Values(
        BaseCase{
            "outside_ci_the_default", {{"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}}, std::nullopt, kProject, kDefault},
        BaseCase{"an_empty_snapshot_is_not_ci", {}, std::nullopt, kProject, kDefault},
        BaseCase{"in_ci_the_variable_before_the_configuration", kCiWithBase, std::nullopt, kProject, "{root}/ci-base"},
        BaseCase{"github_actions_is_ci",
                 {{"GITHUB_ACTIONS", "1"}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                 std::nullopt,
                 kProject,
                 "{root}/ci-base"},
        BaseCase{"any_ci_value_but_empty_is_ci",
                 {{"CI", "false"}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                 std::nullopt,
                 kProject,
                 "{root}/ci-base"},
        BaseCase{"blank_ci_is_ci",
                 {{"CI", " "}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                 std::nullopt,
                 kProject,
                 "{root}/ci-base"},
        BaseCase{"empty_ci_is_not_ci",
                 {{"CI", ""}, {"GITHUB_ACTIONS", ""}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                 std::nullopt,
                 kProject,
                 kDefault},
        BaseCase{"in_ci_the_configuration_without_the_variable", {{"CI", "1"}}, std::nullopt, kProject, kConfigured},
        BaseCase{"in_ci_an_empty_variable_is_unset",
                 {{"CI", "1"}, {"QUORBEL_WORKTREE_BASE", ""}},
                 std::nullopt,
                 kProject,
                 kConfigured},
        BaseCase{"in_ci_a_variable_kept_as_given_when_missing",
                 {{"CI", "1"}, {"QUORBEL_WORKTREE_BASE", "/nonexistent-root/ci/"}},
                 std::nullopt,
                 kProject,
                 "/nonexistent-root/ci/"},
        BaseCase{"the_explicit_base_before_everything", kCiWithBase, "{root}/explicit/../explicit/", kProject,
                 "{root}/explicit"},
        BaseCase{"an_empty_explicit_base_is_absent", kCiWithBase, "", kProject, "{root}/ci-base"},
        BaseCase{"an_explicit_base_kept_as_given_when_missing",
                 {},
                 "relative/missing/base/",
                 kProject,
                 "relative/missing/base/"},
        BaseCase{"the_snapshots_repository_root",
                 {{"QUORBEL_REPO_ROOT", "{root}/project"}},
                 std::nullopt,
                 std::nullopt,
                 kDefault},
        BaseCase{"the_snapshots_repository_root_for_an_empty_one",
                 {{"QUORBEL_REPO_ROOT", "{root}/project/"}, {"CI", "1"}},
                 std::nullopt,
                 "",
                 kConfigured},
        BaseCase{"the_given_root_before_the_snapshots",
                 {{"QUORBEL_REPO_ROOT", "{root}/other"}},
                 std::nullopt,
                 kProject,
                 kDefault},
        BaseCase{"outside_any_repository_the_legacy_default",
                 {},
                 std::nullopt,
                 std::nullopt,
                 "{root}/home/.velmorin/worktrees/quorbel"},
        BaseCase{"an_identifier_that_is_not_one_component_forms_no_path",
                 {},
                 std::nullopt,
                 "{root}/escaping",
                 "{root}/home/.velmorin/worktrees/quorbel"}),
    [](const testing::TestParamInfo<BaseCase>& tested) { return std::string(tested.param.name); });

TEST_F(WorktreeBases, TheDefaultIsBelowTheLiveHomeWhenNoneIsGiven) {
  EXPECT_EQ(resolve_worktree_base(std::nullopt, at("project"), std::nullopt, support::EnvSnapshot{}),
            at(".velmorin/worktrees/acme"));
}

TEST_F(WorktreeBases, AWorktreeDirectoryJoinsTheNameAsItIs) {
  const support::EnvSnapshot env;
  const auto dir = [&](std::string_view name) {
    return resolve_worktree_dir(name, std::nullopt, at("project"), at("home"), env);
  };
  const std::string base = at("home/.velmorin/worktrees/acme");
  EXPECT_EQ(dir("feature-x"), base + "/feature-x");
  EXPECT_EQ(dir("team/feature"), base + "/team/feature");
  EXPECT_EQ(dir("../escape/./x/"), base + "/../escape/./x/");
  EXPECT_EQ(dir(""), base + "/");
  EXPECT_EQ(dir("/absolute/wt"), "/absolute/wt");
  EXPECT_EQ(resolve_worktree_dir("x", at("explicit"), at("project"), at("home"), env), at("explicit/x"));
}

struct KnownBasesCase {
  const char* name;
  support::EnvSnapshot env;
  std::vector<std::string> expected;
};

void PrintTo(const KnownBasesCase& known, std::ostream* out) { *out << known.name; }

class KnownWorktreeBases : public WorktreeBases, public testing::WithParamInterface<KnownBasesCase> {};

// The default, the current base, the variable, the container in the
// repository and the containers beside it: each once, in that order, and
// the containers only when they exist.
TEST_P(KnownWorktreeBases, ListEveryPlaceOnceInOrder) {
  for (const char* directory : {"home/.velmorin/worktrees/acme", "project/.velmorin/worktrees", "acme-worktrees",
                                "quorbel-worktrees", "Quorbel-worktrees", "acme-worktrees.old"}) {
    fs::create_directories(root_ / directory);
  }
  const std::string root = root_.string();
  std::vector<std::string> expected;
  for (const std::string& base : GetParam().expected) expected.push_back(placed(base, root));
  EXPECT_EQ(resolve_known_worktree_bases(at("project"), at("home"), placed(GetParam().env, root)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KnownWorktreeBases,
    testing::Values(KnownBasesCase{"outside_ci",
                                   {},
                                   {kDefault, "{root}/project/.velmorin/worktrees", "{root}/acme-worktrees",
                                    "{root}/quorbel-worktrees"}},
                    KnownBasesCase{"outside_ci_with_the_variable",
                                   {{"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                                   {kDefault, "{root}/ci-base", "{root}/project/.velmorin/worktrees",
                                    "{root}/acme-worktrees", "{root}/quorbel-worktrees"}},
                    KnownBasesCase{"in_ci_with_the_configuration",
                                   {{"CI", "1"}},
                                   {kDefault, kConfigured, "{root}/project/.velmorin/worktrees",
                                    "{root}/acme-worktrees", "{root}/quorbel-worktrees"}},
                    KnownBasesCase{"in_ci_with_the_variable",
                                   {{"CI", "1"}, {"QUORBEL_WORKTREE_BASE", "{root}/ci-base"}},
                                   {kDefault, "{root}/ci-base", "{root}/project/.velmorin/worktrees",
                                    "{root}/acme-worktrees", "{root}/quorbel-worktrees"}},
                    KnownBasesCase{"the_variable_written_otherwise_is_the_default",
                                   {{"QUORBEL_WORKTREE_BASE", "{root}/home/.velmorin/worktrees/../worktrees/acme/"}},
                                   {kDefault, "{root}/project/.velmorin/worktrees", "{root}/acme-worktrees",
                                    "{root}/quorbel-worktrees"}}),
    [](const testing::TestParamInfo<KnownBasesCase>& tested) { return std::string(tested.param.name); });

struct SiblingCase {
  const char* name;
  std::vector<std::string> directories;  // below the scratch directory
  std::string repository;                // identifier "acme"
  std::vector<std::string> expected;
};

void PrintTo(const SiblingCase& sibling, std::ostream* out) { *out << sibling.name; }

class SiblingContainers : public ScratchDirectory, public testing::WithParamInterface<SiblingCase> {};

// "<id>-worktrees" and "quorbel-worktrees" beside the repository, or the
// repository's own directory or its parent when they carry such a name.
TEST_P(SiblingContainers, AreTheExistingContainersNamedForTheProject) {
  for (const std::string& directory : GetParam().directories) fs::create_directories(root_ / directory);
  write_text_file(root_ / GetParam().repository / "pyproject.toml", "[tool.velmorin]\nproject_id = \"acme\"\n");
  std::vector<std::string> expected;
  for (const std::string& container : GetParam().expected) expected.push_back(at(container));
  EXPECT_EQ(find_sibling_worktree_containers(at(GetParam().repository), std::nullopt), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SiblingContainers,
    testing::Values(
        SiblingCase{"the_repository_is_a_container", {"quorbel-worktrees"}, "quorbel-worktrees", {"quorbel-worktrees"}},
        SiblingCase{"the_repository_is_a_container_with_a_sibling",
                    {"acme-worktrees", "quorbel-worktrees"},
                    "acme-worktrees",
                    {"acme-worktrees", "quorbel-worktrees"}},
        SiblingCase{"the_repository_lies_in_a_container",
                    {"quorbel-worktrees/project", "acme-worktrees"},
                    "quorbel-worktrees/project",
                    {"quorbel-worktrees", "acme-worktrees"}},
        SiblingCase{"plain_siblings_the_projects_own_first",
                    {"project", "quorbel-worktrees", "acme-worktrees"},
                    "project",
                    {"acme-worktrees", "quorbel-worktrees"}},
        SiblingCase{"names_match_exactly",
                    {"project", "Quorbel-worktrees", "quorbel-worktree", "acme-worktrees.old"},
                    "project",
                    {}}),
    [](const testing::TestParamInfo<SiblingCase>& tested) { return std::string(tested.param.name); });

TEST_F(WorktreeBases, SiblingsAreFoundBesideTheRealRepository) {
  shell("mkdir -p real/project real/quorbel-worktrees links/quorbel-worktrees && ln -s ../real/project links/project");
  EXPECT_EQ(resolve_known_worktree_bases(at("links/project") + "/", at("home"), support::EnvSnapshot{}),
            (std::vector<std::string>{at("home/.velmorin/worktrees/quorbel"), at("real/quorbel-worktrees")}));
}

}  // namespace
}  // namespace worktree_runtime::locations
