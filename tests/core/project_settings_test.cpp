#include "locations/project_settings.hpp"

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

// A pyproject.toml with an identifier and main branches.
std::string pyproject(const std::string& project_id, const std::string& main_branch) {
  return "[tool.velmorin]\nproject_id = \"" + project_id + "\"\n\n[tool.velmorin.github_policy]\nmain_branches = [\"" +
         main_branch + "\"]\n";
}

// repo/ (a repository: "acme", trunk) with repo/sub, other/ (not one:
// "other", develop) and outside/.
class ProjectSettings : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    shell("git init -q repo && mkdir -p repo/sub other outside");
    write_text_file(root_ / "repo" / "pyproject.toml", pyproject("acme", "trunk"));
    write_text_file(root_ / "other" / "pyproject.toml", pyproject("other", "develop"));
  }

  void TearDown() override {
    ::unsetenv("QUORBEL_REPO_ROOT");
    GitScratchDirectory::TearDown();
  }
};

struct RootCase {
  const char* name;
  std::optional<std::string> repo_root;  // below the scratch directory, as "{root}/..."
  std::optional<std::string> variable;   // QUORBEL_REPO_ROOT
  std::string current_directory;         // below the scratch directory
  std::string project_id;
  std::vector<std::string> main_branches;
};

void PrintTo(const RootCase& root, std::ostream* out) { *out << root.name; }

class SettingsRoot : public ProjectSettings, public testing::WithParamInterface<RootCase> {};

// The settings are the explicit root's, else those of QUORBEL_REPO_ROOT,
// else those of the current directory's repository, else the defaults.
TEST_P(SettingsRoot, IsTheGivenRootThenTheVariableThenGitsTopLevel) {
  const RootCase& root = GetParam();
  if (root.variable) ::setenv("QUORBEL_REPO_ROOT", placed(*root.variable, root_.string()).c_str(), 1);
  const ScopedCurrentDirectory here(root_ / root.current_directory);
  const std::optional<std::string> repo_root =
      root.repo_root ? std::optional(placed(*root.repo_root, root_.string())) : std::nullopt;
  EXPECT_EQ(resolve_project_id(repo_root), root.project_id);
  EXPECT_EQ(resolve_main_branches(repo_root), root.main_branches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsRoot,
    testing::Values(
        RootCase{"the_given_root", "{root}/repo", std::nullopt, "outside", "acme", {"trunk"}},
        RootCase{"the_given_root_before_the_variable", "{root}/repo", "{root}/other", "outside", "acme", {"trunk"}},
        RootCase{"the_variable_without_a_root", std::nullopt, "{root}/other", "repo", "other", {"develop"}},
        RootCase{"the_variable_for_an_empty_root", "", "{root}/other", "repo", "other", {"develop"}},
        RootCase{"gits_top_level_of_the_current_directory", std::nullopt, std::nullopt, "repo/sub", "acme", {"trunk"}},
        RootCase{"an_empty_variable_is_unset", std::nullopt, "", "repo/sub", "acme", {"trunk"}},
        RootCase{"outside_any_repository_the_defaults",
                 std::nullopt,
                 std::nullopt,
                 "outside",
                 "quorbel",
                 {"main", "master"}}),
    [](const testing::TestParamInfo<RootCase>& tested) { return std::string(tested.param.name); });

// The identifier is read once per root text, the policy on every call.
TEST_F(ProjectSettings, TheIdentifierIsKeptPerRootTextAndThePolicyIsReadAfresh) {
  EXPECT_EQ(resolve_project_id(at("repo")), "acme");
  EXPECT_EQ(resolve_main_branches(at("repo")), std::vector<std::string>{"trunk"});
  write_text_file(root_ / "repo" / "pyproject.toml", pyproject("changed", "next"));
  EXPECT_EQ(resolve_project_id(at("repo")), "acme");
  EXPECT_EQ(resolve_project_id(at("repo") + "/"), "changed");
  EXPECT_EQ(resolve_main_branches(at("repo")), std::vector<std::string>{"next"});
}

TEST_F(ProjectSettings, TheCheckedIdentifierRefusesOneOutsideThePattern) {
  write_text_file(root_ / "other" / "pyproject.toml", pyproject("Not Valid!", "develop"));
  EXPECT_EQ(resolve_checked_project_id(at("repo")).value(), "acme");
  EXPECT_EQ(resolve_checked_project_id(at("other")).error().reason_code, "PROJECT_ID_INVALID");
}

}  // namespace
}  // namespace worktree_runtime::locations
