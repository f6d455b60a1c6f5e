#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "locations/environment.hpp"
#include "scratch_directory.hpp"

namespace worktree_runtime::locations {
namespace {

namespace fs = std::filesystem;

// main/ and linked/, linked/sub/dir, plain/ outside any repository, and a
// pyproject.toml in linked/ when the case configures one.
class ProjectVariables : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    make_repository_with_linked_worktree();
    shell("mkdir -p linked/sub/dir plain");
  }

  // The four variables of a worktree root and its state directory.
  std::map<std::string, std::string> variables_of(const std::string& root, const std::string& state) const {
    return {{"QUORBEL_PROJECT_ROOT", at(root)},
            {"QUORBEL_STATE_DIR", at(state)},
            {"QUORBEL_SHARED_DIR", at(state)},
            {"UV_PROJECT", at(root)}};
  }
};

struct TargetCase {
  const char* name;
  std::optional<std::string> project_id;  // the TOML value in linked/pyproject.toml
  std::string target;                     // below the scratch directory
  std::string root;
  std::string state;
};

void PrintTo(const TargetCase& target, std::ostream* out) { *out << target.name; }

class ProjectVariablesOfATarget : public ProjectVariables, public testing::WithParamInterface<TargetCase> {};

// The top level of the worktree that contains the target, as git reports
// it, and its state directory.
TEST_P(ProjectVariablesOfATarget, NameTheWorktreeTopAndItsStateDirectory) {
  if (GetParam().project_id) {
    write_text_file(root_ / "linked" / "pyproject.toml", "[tool.velmorin]\nproject_id = " + *GetParam().project_id);
  }
  const support::Result<std::map<std::string, std::string>> variables =
      set_quorbel_project_root_for_worktree(at(GetParam().target));
  ASSERT_TRUE(variables.ok()) << variables.error().message;
  EXPECT_EQ(variables.value(), variables_of(GetParam().root, GetParam().state));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ProjectVariablesOfATarget,
    testing::Values(TargetCase{"the_main_worktree", std::nullopt, "main", "main", "main/.quorbel"},
                    TargetCase{"a_linked_worktree", std::nullopt, "linked", "linked", "linked/.quorbel"},
                    TargetCase{"below_a_linked_worktree", std::nullopt, "linked/sub/dir", "linked", "linked/.quorbel"},
                    // The worktree's own identifier, not checked against the pattern.
                    TargetCase{"the_worktrees_identifier", R"("Bad Id")", "linked/sub", "linked", "linked/.Bad Id"},
                    TargetCase{"an_identifier_that_is_not_one_component", R"("../up")", "linked", "linked",
                               "linked/.quorbel"}),
    [](const testing::TestParamInfo<TargetCase>& tested) { return std::string(tested.param.name); });

TEST_F(ProjectVariables, WithoutATargetAreTheCurrentDirectorysWorktree) {
  const ScopedCurrentDirectory inside(root_ / "linked" / "sub");
  const support::Result<std::map<std::string, std::string>> variables =
      set_quorbel_project_root_for_worktree(std::nullopt);
  ASSERT_TRUE(variables.ok()) << variables.error().message;
  EXPECT_EQ(variables.value(), variables_of("linked", "linked/.quorbel"));
}

TEST_F(ProjectVariables, FailForAMissingTargetThenForOneOutsideAnyRepository) {
  EXPECT_EQ(set_quorbel_project_root_for_worktree("").error().message, "worktree path does not exist: ");
  EXPECT_EQ(set_quorbel_project_root_for_worktree(at("missing")).error().message,
            "worktree path does not exist: " + at("missing"));
  EXPECT_EQ(set_quorbel_project_root_for_worktree(at("plain")).error().message,
            "failed to resolve git repository root from: " + at("plain"));
}

}  // namespace
}  // namespace worktree_runtime::locations
