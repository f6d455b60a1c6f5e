#include "bindings/binding_validation.hpp"

#include <array>
#include <utility>

#include "git/git.hpp"
#include "paths/paths.hpp"
#include "platform/process_environment.hpp"
#include "support/runtime_variables.hpp"

namespace worktree_runtime::bindings {
namespace {

// Every reason code with its one message.
constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kMessages = {{
    {"WORKTREE_CWD_MISMATCH", "cwd does not match worktree binding"},
    {"WORKTREE_ENV_MISMATCH", "QUORBEL_WORKTREE does not match worktree binding"},
    {"WORKTREE_ENV_MISSING", "QUORBEL_WORKTREE is required for this validation"},
    {"WORKTREE_BRANCH_ENV_MISMATCH", "QUORBEL_BRANCH does not match worktree binding"},
    {"WORKTREE_BRANCH_UNAVAILABLE", "git branch is unavailable for worktree binding validation"},
    {"WORKTREE_BRANCH_MISMATCH", "git branch does not match worktree binding"},
    {"WORKTREE_GIT_COMMON_DIR_UNAVAILABLE", "git common dir is unavailable for worktree binding validation"},
    {"WORKTREE_GIT_COMMON_DIR_MISMATCH", "git common dir does not match worktree binding"},
    {"WORKTREE_BINDING_OK", "worktree binding is valid"},
    {"WORKTREE_BINDING_MISSING", "no worktree binding found for session"},
    {"WORKTREE_GIT_COMMON_DIR_MISSING", "worktree git common dir is required"},
}};

constexpr std::string_view kOk = "WORKTREE_BINDING_OK";

std::optional<std::string_view> environment_failure(const WorktreeBinding& binding, const std::string& worktree,
                                                    const platform::Environment& env,
                                                    const BindingValidationOptions& options) {
  if (const auto named_worktree = env.non_blank(support::kWorktreeVariable)) {
    if (paths::normalize_path(*named_worktree) != worktree) return "WORKTREE_ENV_MISMATCH";
  } else if (options.require_env_worktree) {
    return "WORKTREE_ENV_MISSING";
  }
  if (const auto named_branch = env.non_blank(support::kBranchVariable)) {
    if (*named_branch != binding.branch) return "WORKTREE_BRANCH_ENV_MISMATCH";
  }
  return std::nullopt;
}

std::optional<std::string_view> git_failure(const WorktreeBinding& binding, const std::string& worktree,
                                            const BindingValidationOptions& options,
                                            std::optional<std::string_view> reported_common_dir) {
  const std::string branch = git::run_git(worktree, {"branch", "--show-current"});
  if (branch.empty() && options.require_git_state) return "WORKTREE_BRANCH_UNAVAILABLE";
  if (!branch.empty() && branch != binding.branch) return "WORKTREE_BRANCH_MISMATCH";
  const std::string common_dir = paths::normalize_path(
      reported_common_dir ? std::string(*reported_common_dir)
                          : git::run_git(worktree, {"rev-parse", "--path-format=absolute", "--git-common-dir"}));
  if (common_dir.empty() && options.require_git_state) return "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE";
  if (!common_dir.empty() && !binding.git_common_dir.empty() &&
      common_dir != paths::normalize_path(binding.git_common_dir)) {
    return "WORKTREE_GIT_COMMON_DIR_MISMATCH";
  }
  return std::nullopt;
}

std::optional<std::string_view> first_failure(const WorktreeBinding& binding, std::optional<std::string_view> cwd,
                                              const std::optional<support::EnvSnapshot>& env, bool check_git,
                                              const BindingValidationOptions& options,
                                              std::optional<std::string_view> reported_common_dir) {
  const std::string worktree = paths::normalize_path(binding.worktree);
  if (cwd && paths::normalize_path(*cwd) != worktree) return "WORKTREE_CWD_MISMATCH";
  if (env) {
    if (auto failure = environment_failure(binding, worktree, platform::Environment::of(*env), options)) {
      return failure;
    }
  }
  if (check_git) return git_failure(binding, worktree, options, reported_common_dir);
  return std::nullopt;
}

}  // namespace

std::string_view reason_message(std::string_view reason_code) {
  for (const auto& [code, message] : kMessages) {
    if (code == reason_code) return message;
  }
  return {};
}

BindingValidationResult make_verdict(std::string_view reason_code, std::optional<WorktreeBinding> binding) {
  return {std::string(reason_code), std::string(reason_message(reason_code)), std::move(binding), reason_code == kOk};
}

BindingValidationResult validate_binding(const WorktreeBinding& binding, std::optional<std::string_view> cwd,
                                         const std::optional<support::EnvSnapshot>& env, bool check_git,
                                         const BindingValidationOptions& options,
                                         std::optional<std::string_view> reported_common_dir) {
  const std::optional<std::string_view> failure =
      first_failure(binding, cwd, env, check_git, options, reported_common_dir);
  return make_verdict(failure.value_or(kOk), binding);
}

}  // namespace worktree_runtime::bindings
