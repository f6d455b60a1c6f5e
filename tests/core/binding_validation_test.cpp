#include "bindings/binding_validation.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scratch_directory.hpp"

namespace worktree_runtime::bindings {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kMessages = {
    {"WORKTREE_CWD_MISMATCH", "cwd does not match worktree binding"},
    {"WORKTREE_ENV_MISMATCH", "QUORBEL_WORKTREE does not match worktree binding"},
    {"WORKTREE_ENV_MISSING", "QUORBEL_WORKTREE is required for this validation"},
    {"WORKTREE_BRANCH_ENV_MISMATCH", "QUORBEL_BRANCH does not match worktree binding"},
    {"WORKTREE_BRANCH_UNAVAILABLE", "git branch is unavailable for worktree binding validation"},
    {"WORKTREE_BRANCH_MISMATCH", "git branch does not match worktree binding"},
    {"WORKTREE_GIT_COMMON_DIR_UNAVAILABLE", "git common dir is unavailable for worktree binding validation"},
    {"WORKTREE_GIT_COMMON_DIR_MISMATCH", "git common dir does not match worktree binding"},
    {"WORKTREE_BINDING_OK", "worktree binding is valid"},
};

// What one validation is given.
struct Scenario {
  WorktreeBinding binding;
  std::optional<std::string> cwd;
  std::optional<support::EnvSnapshot> env;
  std::optional<std::string> reported_common_dir;
};

// main/ on branch main, linked/ on branch feature, detached/ on no branch,
// and links to linked/ and to main's .git. The process's own variables name
// another worktree: a check never reads them.
class Validation : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    make_repository_with_linked_worktree();
    shell("git -C main worktree add -q --detach ../detached && ln -s linked alias && ln -s main/.git git-alias");
    ::setenv("QUORBEL_WORKTREE", at("main").c_str(), 1);
    ::setenv("QUORBEL_BRANCH", "main", 1);
  }

  void TearDown() override {
    ::unsetenv("QUORBEL_WORKTREE");
    ::unsetenv("QUORBEL_BRANCH");
    GitScratchDirectory::TearDown();
  }

  // The session in linked/, checked from there with both variables naming it.
  Scenario matching() const {
    return {build_binding("s", at("linked"), "feature", at("linked/state"), at("main/.git"), at("main"), "c", 5),
            at("linked"), support::EnvSnapshot{{"QUORBEL_WORKTREE", at("linked")}, {"QUORBEL_BRANCH", "feature"}},
            std::nullopt};
  }

  BindingValidationResult validate(const Scenario& scenario, bool check_git, BindingValidationOptions options) const {
    return validate_binding(scenario.binding, scenario.cwd, scenario.env, check_git, options,
                            scenario.reported_common_dir);
  }

  // The verdict has the code, its one message, ok only for the valid
  // binding, and the binding that was checked.
  static void expect_verdict(const BindingValidationResult& verdict, const std::string& reason_code,
                             const WorktreeBinding& binding) {
    EXPECT_EQ(verdict.reason_code, reason_code);
    EXPECT_EQ(verdict.message, kMessages.at(reason_code));
    EXPECT_EQ(verdict.ok, reason_code == "WORKTREE_BINDING_OK");
    ASSERT_TRUE(verdict.binding.has_value());
    EXPECT_EQ(binding_to_json(*verdict.binding), binding_to_json(binding));
    EXPECT_EQ(verdict.binding->schema_version, binding.schema_version);
  }
};

// One way a check fails, and the reason it gives. Faults are applied to the
// matching scenario from the last check to the first, so that a fault that
// moves the binding to another worktree comes before the faults that point
// the directory or the variables away from it.
struct Fault {
  const char* name;
  const char* reason_code;
  std::function<void(Scenario&, const fs::path& root)> apply;
};

void move_to_worktree(Scenario& scenario, const std::string& worktree) {
  scenario.binding.worktree = worktree;
  scenario.cwd = worktree;
  (*scenario.env)["QUORBEL_WORKTREE"] = worktree;
}

// Each check in the order the validation makes them, with its faults.
const std::vector<std::vector<Fault>> kChecks = {
    {{"cwd_elsewhere", "WORKTREE_CWD_MISMATCH",
      [](Scenario& s, const fs::path& root) { s.cwd = (root / "main").string(); }}},
    {{"worktree_variable_elsewhere", "WORKTREE_ENV_MISMATCH",
      [](Scenario& s, const fs::path& root) { (*s.env)["QUORBEL_WORKTREE"] = (root / "main").string(); }},
     {"worktree_variable_unset", "WORKTREE_ENV_MISSING",
      [](Scenario& s, const fs::path&) { s.env->erase("QUORBEL_WORKTREE"); }}},
    {{"branch_variable_other", "WORKTREE_BRANCH_ENV_MISMATCH",
      [](Scenario& s, const fs::path&) { (*s.env)["QUORBEL_BRANCH"] = "other"; }}},
    {{"git_on_another_branch", "WORKTREE_BRANCH_MISMATCH",
      [](Scenario& s, const fs::path&) {
        s.binding.branch = "elsewhere";
        (*s.env)["QUORBEL_BRANCH"] = "elsewhere";
      }},
     {"git_on_no_branch", "WORKTREE_BRANCH_UNAVAILABLE",
      [](Scenario& s, const fs::path& root) { move_to_worktree(s, (root / "detached").string()); }}},
    {{"another_common_dir", "WORKTREE_GIT_COMMON_DIR_MISMATCH",
      [](Scenario& s, const fs::path& root) { s.binding.git_common_dir = (root / "elsewhere" / ".git").string(); }},
     {"no_common_dir", "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE",
      [](Scenario& s, const fs::path&) { s.reported_common_dir = ""; }}},
};

// The next combination of faults, counting with one digit per check (0:
// the check passes, n: its fault n - 1); false after the last.
bool advance(std::vector<std::size_t>& chosen) {
  for (std::size_t check = 0; check < kChecks.size(); ++check) {
    if (++chosen[check] <= kChecks[check].size()) return true;
    chosen[check] = 0;
  }
  return false;
}

// Every combination of faults, one or none per check, with both
// requirements on: the first failing check decides.
TEST_F(Validation, TheFirstFailingCheckDecides) {
  std::vector<std::size_t> chosen(kChecks.size(), 0);
  do {
    Scenario scenario = matching();
    std::string names;
    std::string expected = "WORKTREE_BINDING_OK";
    for (std::size_t check = kChecks.size(); check-- > 0;) {
      if (chosen[check] == 0) continue;
      const Fault& fault = kChecks[check][chosen[check] - 1];
      fault.apply(scenario, root_);
      names = std::string(fault.name) + " " + names;
      expected = fault.reason_code;
    }
    SCOPED_TRACE(names);
    expect_verdict(validate(scenario, true, {true, true}), expected, scenario.binding);
  } while (advance(chosen));
}

struct RuleCase {
  const char* name;
  std::function<void(Scenario&, const fs::path& root)> change;
  bool check_git;
  BindingValidationOptions options;
  const char* reason_code;
};

void PrintTo(const RuleCase& rule, std::ostream* out) { *out << rule.name; }

class ValidationRule : public Validation, public testing::WithParamInterface<RuleCase> {};

TEST_P(ValidationRule, GivesItsVerdict) {
  Scenario scenario = matching();
  GetParam().change(scenario, root_);
  expect_verdict(validate(scenario, GetParam().check_git, GetParam().options), GetParam().reason_code,
                 scenario.binding);
}

constexpr BindingValidationOptions kNothingRequired{false, false};
constexpr BindingValidationOptions kEnvironmentRequired{true, false};
constexpr BindingValidationOptions kGitStateRequired{false, true};

INSTANTIATE_TEST_SUITE_P(
    Rules, ValidationRule,
    testing::Values(
        RuleCase{"without_a_directory_none_is_checked", [](Scenario& s, const fs::path&) { s.cwd.reset(); }, true,
                 kNothingRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"without_an_environment_none_is_checked_even_when_required",
                 [](Scenario& s, const fs::path&) { s.env.reset(); }, true, kEnvironmentRequired,
                 "WORKTREE_BINDING_OK"},
        RuleCase{"an_empty_environment_when_the_variable_is_required",
                 [](Scenario& s, const fs::path&) { s.env->clear(); }, true, kEnvironmentRequired,
                 "WORKTREE_ENV_MISSING"},
        RuleCase{"an_unset_worktree_variable_passes_unless_required",
                 [](Scenario& s, const fs::path&) { s.env->erase("QUORBEL_WORKTREE"); }, true, kNothingRequired,
                 "WORKTREE_BINDING_OK"},
        RuleCase{"a_blank_worktree_variable_is_unset",
                 [](Scenario& s, const fs::path&) { (*s.env)["QUORBEL_WORKTREE"] = " \t"; }, true, kEnvironmentRequired,
                 "WORKTREE_ENV_MISSING"},
        RuleCase{"names_match_exactly",
                 [](Scenario& s, const fs::path& root) {
                   *s.env = {{"quorbel_worktree", (root / "linked").string()}};
                 },
                 true, kEnvironmentRequired, "WORKTREE_ENV_MISSING"},
        RuleCase{"the_worktree_variable_is_trimmed",
                 [](Scenario& s, const fs::path& root) {
                   (*s.env)["QUORBEL_WORKTREE"] = " \t" + (root / "linked").string() + "\u3000\n";
                 },
                 true, kEnvironmentRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"equivalent_forms_of_the_worktree",
                 [](Scenario& s, const fs::path& root) {
                   s.cwd = (root / "linked").string() + "/./";
                   (*s.env)["QUORBEL_WORKTREE"] = (root / "alias").string() + "//";
                 },
                 true, kEnvironmentRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"the_branch_variable_is_trimmed",
                 [](Scenario& s, const fs::path&) { (*s.env)["QUORBEL_BRANCH"] = "  feature\t"; }, true,
                 kNothingRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"a_blank_branch_variable_is_unset",
                 [](Scenario& s, const fs::path&) { (*s.env)["QUORBEL_BRANCH"] = " \u2003 "; }, true, kNothingRequired,
                 "WORKTREE_BINDING_OK"},
        RuleCase{"the_branch_variable_is_compared_exactly",
                 [](Scenario& s, const fs::path&) { (*s.env)["QUORBEL_BRANCH"] = "Feature"; }, true, kNothingRequired,
                 "WORKTREE_BRANCH_ENV_MISMATCH"},
        RuleCase{"git_is_not_asked_unless_told",
                 [](Scenario& s, const fs::path& root) { move_to_worktree(s, (root / "missing").string()); }, false,
                 kGitStateRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"no_branch_passes_unless_git_state_is_required",
                 [](Scenario& s, const fs::path& root) { move_to_worktree(s, (root / "detached").string()); }, true,
                 kNothingRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"outside_any_repository_passes_unless_git_state_is_required",
                 [](Scenario& s, const fs::path& root) { move_to_worktree(s, root.string()); }, true, kNothingRequired,
                 "WORKTREE_BINDING_OK"},
        RuleCase{"outside_any_repository_when_git_state_is_required",
                 [](Scenario& s, const fs::path& root) { move_to_worktree(s, root.string()); }, true, kGitStateRequired,
                 "WORKTREE_BRANCH_UNAVAILABLE"},
        RuleCase{"a_binding_without_a_common_dir_is_not_compared",
                 [](Scenario& s, const fs::path&) { s.binding.git_common_dir = ""; }, true, kGitStateRequired,
                 "WORKTREE_BINDING_OK"},
        RuleCase{
            "the_common_dir_through_a_link",
            [](Scenario& s, const fs::path& root) { s.binding.git_common_dir = (root / "git-alias").string() + "/"; },
            true, kGitStateRequired, "WORKTREE_BINDING_OK"},
        RuleCase{"the_linked_worktrees_own_git_dir_is_not_the_common_one",
                 [](Scenario& s, const fs::path& root) {
                   s.binding.git_common_dir = (root / "main" / ".git" / "worktrees" / "linked").string();
                 },
                 true, kNothingRequired, "WORKTREE_GIT_COMMON_DIR_MISMATCH"},
        RuleCase{"a_reported_common_dir_stands_for_gits",
                 [](Scenario& s, const fs::path& root) { s.reported_common_dir = (root / "elsewhere").string(); }, true,
                 kNothingRequired, "WORKTREE_GIT_COMMON_DIR_MISMATCH"},
        RuleCase{"an_empty_reported_common_dir_passes_unless_required",
                 [](Scenario& s, const fs::path&) { s.reported_common_dir = ""; }, true, kNothingRequired,
                 "WORKTREE_BINDING_OK"}),
    [](const testing::TestParamInfo<RuleCase>& tested) { return std::string(tested.param.name); });

// The binding is normalised again before it is compared: a link that
// appeared at its worktree since it was made is resolved.
TEST_F(Validation, TheBindingIsNormalisedAgainBeforeTheChecks) {
  Scenario scenario = matching();
  move_to_worktree(scenario, at("later"));
  scenario.cwd = at("linked");
  (*scenario.env)["QUORBEL_WORKTREE"] = at("linked");
  fs::create_directory_symlink(root_ / "linked", root_ / "later");
  expect_verdict(validate(scenario, true, {true, true}), "WORKTREE_BINDING_OK", scenario.binding);
}

TEST(ValidationVerdict, EveryReasonHasItsOneMessage) {
  for (const auto& [code, message] : kMessages) EXPECT_EQ(reason_message(code), message) << code;
  EXPECT_EQ(reason_message("WORKTREE_BINDING_MISSING"), "no worktree binding found for session");
  EXPECT_EQ(reason_message("WORKTREE_GIT_COMMON_DIR_MISSING"), "worktree git common dir is required");
  EXPECT_EQ(reason_message("NOT_A_REASON"), "");
  const BindingValidationResult missing = make_verdict("WORKTREE_BINDING_MISSING", std::nullopt);
  EXPECT_FALSE(missing.ok);
  EXPECT_FALSE(missing.binding.has_value());
}

}  // namespace
}  // namespace worktree_runtime::bindings
