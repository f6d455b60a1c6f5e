#include "locations/state_layout.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "scratch_directory.hpp"

namespace worktree_runtime::locations {
namespace {

namespace fs = std::filesystem;

// A pyproject.toml below `root` that configures the identifier written as
// the TOML value `value`.
void configure_project_id(const fs::path& root, const std::string& value) {
  write_text_file(root / "pyproject.toml", "[tool.velmorin]\nproject_id = " + value + "\n");
}

struct LayoutCase {
  std::string project_id;
  std::string state_dir_name;
};

void PrintTo(const LayoutCase& layout, std::ostream* out) { *out << '"' << layout.project_id << '"'; }

class StateLayoutNames : public testing::TestWithParam<LayoutCase> {};

// Every name of the layout starts with the state directory's name: a dot
// and the identifier as given, the legacy one for an empty identifier.
TEST_P(StateLayoutNames, StartWithTheStateDirectoryName) {
  const std::string& id = GetParam().project_id;
  const std::string& name = GetParam().state_dir_name;
  EXPECT_EQ(resolve_state_dir_name(id), name);
  EXPECT_EQ(store_relative_directory(id), name + "/state/worktree-runtime");
  EXPECT_EQ(store_relative_path(id), name + "/state/worktree-runtime/bindings.json");
  EXPECT_EQ(audit_relative_directory(id), name + "/shared/audit");
  EXPECT_EQ(session_state_relative_path(id), name + "/state/velmorin");
}

INSTANTIATE_TEST_SUITE_P(Identifiers, StateLayoutNames,
                         testing::Values(LayoutCase{"abc", ".abc"}, LayoutCase{"", ".quorbel"},
                                         LayoutCase{"quorbel", ".quorbel"},
                                         // Given identifiers are names, not checked here.
                                         LayoutCase{"Not Valid!", ".Not Valid!"}));

struct ProjectIdCase {
  const char* name;
  std::optional<std::string> configured;  // the TOML value; absent: no pyproject.toml
  std::string path_forming;
};

void PrintTo(const ProjectIdCase& project, std::ostream* out) { *out << project.name; }

class PathFormingProjectId : public ScratchDirectory, public testing::WithParamInterface<ProjectIdCase> {};

// A configured identifier forms paths only when it is one ordinary path
// component; otherwise the legacy one does, so that a repository's own file
// cannot place state outside the repository.
TEST_P(PathFormingProjectId, IsOnePathComponentOrTheLegacyIdentifier) {
  if (GetParam().configured) configure_project_id(root_, *GetParam().configured);
  const std::string& id = GetParam().path_forming;
  EXPECT_EQ(path_forming_project_id(root_.string()), id);
  EXPECT_EQ(state_directory_of(root_.string()), at("." + id));
  EXPECT_EQ(state_dir(root_.string()), at("." + id));
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, PathFormingProjectId,
    testing::Values(ProjectIdCase{"none", std::nullopt, "quorbel"}, ProjectIdCase{"a_name", R"("proj")", "proj"},
                    ProjectIdCase{"a_name_outside_the_pattern", R"("Not Valid!")", "Not Valid!"},
                    ProjectIdCase{"empty", R"("")", "quorbel"}, ProjectIdCase{"not_a_string", "5", "quorbel"},
                    ProjectIdCase{"an_absolute_path", R"("/../../tmp/escaped")", "quorbel"},
                    ProjectIdCase{"two_components", R"("a/b")", "quorbel"},
                    ProjectIdCase{"the_current_directory", R"(".")", "quorbel"},
                    ProjectIdCase{"the_parent_directory", R"("..")", "quorbel"},
                    ProjectIdCase{"a_parents_child", R"("../up")", "quorbel"},
                    ProjectIdCase{"a_nul_character", R"("nul\u0000x")", "quorbel"}),
    [](const testing::TestParamInfo<ProjectIdCase>& tested) { return std::string(tested.param.name); });

class StateDirectory : public GitScratchDirectory {};

TEST_F(StateDirectory, JoinsTheNormalisedRootAndItsIdentifier) {
  shell("git init -q repo && ln -s repo alias");
  configure_project_id(root_ / "repo", R"("proj")");
  EXPECT_EQ(state_dir(at("alias") + "/"), at("repo/.proj"));
  // An explicit root is taken as it is, repository or not.
  EXPECT_EQ(state_dir(at("plain")), at("plain/.quorbel"));
}

TEST_F(StateDirectory, WithoutARootIsTheVariablesThenTheCurrentRepositorys) {
  make_repository_with_linked_worktree();
  shell("mkdir -p outside linked/sub");
  configure_project_id(root_ / "main", R"("proj")");
  const ScopedCurrentDirectory inside(root_ / "linked" / "sub");
  EXPECT_EQ(state_dir(std::nullopt), at("linked/.quorbel"));
  EXPECT_EQ(state_dir(""), at("linked/.quorbel"));
  EXPECT_EQ(resolve_state_dir_name(std::nullopt), ".quorbel");
  ::setenv("QUORBEL_REPO_ROOT", at("main").c_str(), 1);
  EXPECT_EQ(state_dir(std::nullopt), at("main/.proj"));
  EXPECT_EQ(resolve_state_dir_name(std::nullopt), ".proj");
  EXPECT_EQ(store_relative_path(std::nullopt), ".proj/state/worktree-runtime/bindings.json");
  ::unsetenv("QUORBEL_REPO_ROOT");
  const ScopedCurrentDirectory outside(root_ / "outside");
  EXPECT_EQ(state_dir(std::nullopt), "");
  EXPECT_EQ(resolve_state_dir_name(std::nullopt), ".quorbel");
}

TEST_F(StateDirectory, OfTheCurrentRepositoryNeverFormsAPathOutOfItsIdentifier) {
  shell("git init -q repo");
  configure_project_id(root_ / "repo", R"("../up")");
  const ScopedCurrentDirectory inside(root_ / "repo");
  EXPECT_EQ(resolve_state_dir_name(std::nullopt), ".quorbel");
  EXPECT_EQ(state_dir(std::nullopt), at("repo/.quorbel"));
}

}  // namespace
}  // namespace worktree_runtime::locations
