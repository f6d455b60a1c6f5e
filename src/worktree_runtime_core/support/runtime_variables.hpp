#pragma once

#include <array>
#include <string_view>

namespace worktree_runtime::support {

// Variables through which the tool's processes hand each other their session
// context. The system reads them and computes values; it never sets one.
inline constexpr std::string_view kWorktreeVariable = "QUORBEL_WORKTREE";
inline constexpr std::string_view kBranchVariable = "QUORBEL_BRANCH";
inline constexpr std::string_view kWorktreeBaseVariable = "QUORBEL_WORKTREE_BASE";
inline constexpr std::string_view kRepoRootVariable = "QUORBEL_REPO_ROOT";
inline constexpr std::string_view kProjectRootVariable = "QUORBEL_PROJECT_ROOT";
inline constexpr std::string_view kStateDirVariable = "QUORBEL_STATE_DIR";
inline constexpr std::string_view kSharedDirVariable = "QUORBEL_SHARED_DIR";
inline constexpr std::string_view kVelmorinSharedDirVariable = "VELMORIN_SHARED_DIR";
inline constexpr std::string_view kUvProjectVariable = "UV_PROJECT";

inline constexpr std::array kIdentityVariables = {kWorktreeVariable, kBranchVariable};
inline constexpr std::array kLocationVariables = {kWorktreeBaseVariable, kRepoRootVariable};
inline constexpr std::array kProjectVariables = {kProjectRootVariable, kStateDirVariable, kSharedDirVariable,
                                                 kUvProjectVariable};
inline constexpr std::array kRuntimeVariables = {kWorktreeVariable,  kBranchVariable,      kWorktreeBaseVariable,
                                                 kRepoRootVariable,  kProjectRootVariable, kStateDirVariable,
                                                 kSharedDirVariable, kUvProjectVariable};

}  // namespace worktree_runtime::support
