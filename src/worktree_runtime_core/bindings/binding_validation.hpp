#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bindings/binding.hpp"
#include "support/env_snapshot.hpp"

namespace worktree_runtime::bindings {

struct BindingValidationOptions {
  bool require_env_worktree = false;
  bool require_git_state = false;
};

// A verdict on a binding; every verdict of `validate_binding` carries the
// binding that was checked.
struct BindingValidationResult {
  std::string reason_code;
  std::string message;
  std::optional<WorktreeBinding> binding;
  bool ok = false;
};

// The message that belongs to a reason code of the binding checks.
std::string_view reason_message(std::string_view reason_code);

BindingValidationResult make_verdict(std::string_view reason_code, std::optional<WorktreeBinding> binding);

// Checks, in order, the current directory (when given), the identity
// variables (when an environment is given) and git's view of the worktree
// (when `check_git`); the first failing check decides. A caller that has
// just asked git for the worktree's common directory passes its answer as
// `reported_common_dir`, and git is asked only for the branch.
BindingValidationResult validate_binding(const WorktreeBinding& binding, std::optional<std::string_view> cwd,
                                         const std::optional<support::EnvSnapshot>& env, bool check_git,
                                         const BindingValidationOptions& options,
                                         std::optional<std::string_view> reported_common_dir = std::nullopt);

}  // namespace worktree_runtime::bindings
