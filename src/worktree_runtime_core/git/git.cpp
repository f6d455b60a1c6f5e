#include "git/git.hpp"

#include <algorithm>
#include <chrono>

#include "git/main_branches.hpp"
#include "paths/paths.hpp"
#include "platform/process.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/runtime_variables.hpp"
#include "support/text.hpp"

namespace worktree_runtime::git {
namespace {

constexpr std::chrono::milliseconds kGitTimeLimit{10000};
constexpr std::string_view kGitDirectoryName = ".git";

// Lines of `text` split at line feeds, each trimmed, blank ones dropped.
std::vector<std::string_view> non_blank_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = support::trim_white_space(text.substr(0, end));
    if (!line.empty()) lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

std::vector<std::string> default_allowed_branches() {
  return {kDefaultMainBranches.begin(), kDefaultMainBranches.end()};
}

WorktreePreconditionResult verdict(bool ok, std::string_view reason_code, std::string message,
                                   std::optional<GitWorktree> context) {
  return {ok, std::string(reason_code), std::move(message), std::move(context)};
}

}  // namespace

bool is_main_worktree(const GitWorktree& worktree) {
  if (worktree.git_dir.empty() || worktree.git_common_dir.empty()) return false;
  return paths::normalize_path(worktree.git_dir) == paths::normalize_path(worktree.git_common_dir);
}

bool is_main_branch(const GitWorktree& worktree) {
  return std::ranges::find(kDefaultMainBranches, worktree.branch) != kDefaultMainBranches.end();
}

std::string run_git(std::string_view directory, std::initializer_list<std::string_view> arguments) {
  std::vector<std::string> command_line{"git"};
  command_line.insert(command_line.end(), arguments.begin(), arguments.end());
  const platform::ProcessResult result =
      platform::run_process(command_line, directory, kGitTimeLimit, support::kGitOutputByteLimit);
  if (result.outcome != platform::ProcessResult::Outcome::exited || result.exit_code != 0) return {};
  if (!support::is_valid_utf8(result.standard_output)) return {};
  return std::string(support::trim_white_space(result.standard_output));
}

std::string resolve_repo_root(std::optional<std::string_view> explicit_root) {
  if (explicit_root && !explicit_root->empty()) return std::string(*explicit_root);
  if (std::optional<std::string> value = platform::Environment::live().non_empty(support::kRepoRootVariable)) {
    return *std::move(value);
  }
  return run_git(".", {"rev-parse", "--show-toplevel"});
}

std::string resolve_main_worktree_root(std::string_view directory) {
  const std::string common_dir =
      paths::normalize_path(run_git(directory, {"rev-parse", "--path-format=absolute", "--git-common-dir"}));
  const std::size_t separator = common_dir.rfind('/');
  if (common_dir.empty() || separator == std::string::npos ||
      std::string_view(common_dir).substr(separator + 1) != kGitDirectoryName) {
    return std::string(directory);
  }
  // The parent of "/.git" is the root itself.
  return separator == 0 ? std::string("/") : common_dir.substr(0, separator);
}

std::optional<GitWorktree> resolve_git_worktree(std::optional<std::string_view> directory) {
  std::string probed;
  if (directory) {
    probed = *directory;
  } else if (std::optional<std::string> current = platform::current_directory()) {
    probed = *std::move(current);
  } else {
    return std::nullopt;
  }
  const std::string output = run_git(probed, {"rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir",
                                              "--show-toplevel", "--abbrev-ref", "HEAD"});
  const std::vector<std::string_view> lines = non_blank_lines(output);
  if (lines.size() < 4) return std::nullopt;
  return GitWorktree{paths::normalize_path(lines[0]), paths::normalize_path(lines[1]), paths::normalize_path(lines[2]),
                     std::string(lines[3])};
}

WorktreePreconditionResult validate_main_worktree(std::optional<std::string_view> directory,
                                                  std::optional<std::vector<std::string>> allowed_branches) {
  std::optional<GitWorktree> worktree = resolve_git_worktree(directory);
  if (!worktree) {
    return verdict(false, "WORKTREE_REV_PARSE_UNAVAILABLE", "git rev-parse is unavailable", std::nullopt);
  }
  if (!is_main_worktree(*worktree)) {
    return verdict(false, "WORKTREE_NOT_MAIN", "current working directory is a linked worktree", std::move(worktree));
  }
  const std::vector<std::string> allowed = allowed_branches ? *std::move(allowed_branches) : default_allowed_branches();
  if (std::ranges::find(allowed, worktree->branch) != allowed.end()) {
    return verdict(true, "WORKTREE_MAIN_OK", "main worktree on an allowed branch", std::move(worktree));
  }
  std::string message =
      "main worktree is on branch '" + worktree->branch + "', expected one of " + support::quoted_list(allowed);
  return verdict(false, "WORKTREE_MAIN_BRANCH_MISMATCH", std::move(message), std::move(worktree));
}

}  // namespace worktree_runtime::git
