#include "git/worktree_list_reader.hpp"

#include <cerrno>
#include <chrono>

#include "platform/process.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/text.hpp"

namespace worktree_runtime::git {
namespace {

constexpr std::chrono::milliseconds kListTimeLimit{30000};
constexpr std::string_view kBranchPrefix = "refs/heads/";

support::CoreError list_error(std::string message) {
  return {std::move(message), {}, support::ErrorKind::worktree_list};
}

std::string invocation_failure(std::string_view root, std::string_view description) {
  return "failed to invoke git worktree list --porcelain in " + support::to_valid_utf8(root) + ": " +
         std::string(description);
}

std::string valid_or_empty(std::string bytes) { return support::is_valid_utf8(bytes) ? bytes : std::string(); }

// The record being read; flushed at each blank line and at the end.
struct PendingRecord {
  std::optional<std::string> worktree;
  std::optional<std::string> head;
  std::optional<std::string> branch;
  std::optional<std::string> lock_reason;
  bool bare = false;
  bool detached = false;
  bool locked = false;
  bool prunable = false;

  bool empty() const { return !worktree && !head && !branch && !bare && !detached && !locked && !prunable; }

  void read(std::string_view line) {
    if (line.starts_with("worktree ")) {
      worktree = std::string(line.substr(9));
    } else if (line.starts_with("HEAD ")) {
      head = std::string(line.substr(5));
    } else if (line.starts_with("branch ")) {
      std::string_view name = line.substr(7);
      if (name.starts_with(kBranchPrefix)) {
        name.remove_prefix(kBranchPrefix.size());
      }
      branch = std::string(name);
    } else if (line == "detached") {
      detached = true;
    } else if (line == "bare") {
      bare = true;
    } else if (line == "locked" || line.starts_with("locked ")) {
      locked = true;
      const std::string_view reason = support::trim_white_space(line.substr(6));
      if (!reason.empty()) lock_reason = std::string(reason);
    } else if (line == "prunable" || line.starts_with("prunable ")) {
      prunable = true;
    }
  }
};

}  // namespace

support::Result<WorktreeListOutput> run_worktree_list(std::string_view root) {
  const platform::ProcessResult result =
      platform::run_process({"git", "-C", std::string(root), "worktree", "list", "--porcelain"}, ".", kListTimeLimit,
                            support::kGitOutputByteLimit);
  switch (result.outcome) {
    case platform::ProcessResult::Outcome::not_started:
      if (result.error.number == ENOENT) return list_error("git binary not found on PATH");
      return list_error(invocation_failure(root, result.error.description()));
    case platform::ProcessResult::Outcome::wait_failed:
      return list_error(invocation_failure(root, result.error.description()));
    case platform::ProcessResult::Outcome::timed_out:
      return list_error(invocation_failure(root, "timed out after 30s"));
    case platform::ProcessResult::Outcome::output_overflow:
      return list_error(
          invocation_failure(root, "output past " + std::to_string(support::kGitOutputByteLimit >> 20) + " MiB"));
    case platform::ProcessResult::Outcome::exited:
      break;
  }
  return WorktreeListOutput{valid_or_empty(result.standard_output), valid_or_empty(result.standard_error),
                            result.exit_code};
}

support::Result<std::vector<WorktreeListEntry>> parse_worktree_porcelain(std::string_view text) {
  std::vector<WorktreeListEntry> entries;
  PendingRecord pending;
  const auto flush = [&]() -> bool {
    if (pending.empty()) return true;
    if (!pending.worktree) return false;
    entries.push_back({*std::move(pending.worktree), pending.bare ? std::nullopt : std::move(pending.branch),
                       pending.head.value_or(""), pending.bare, pending.detached, pending.locked,
                       std::move(pending.lock_reason), pending.prunable});
    pending = PendingRecord{};
    return true;
  };
  while (true) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    while (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) {
      if (!flush()) break;
    } else {
      pending.read(line);
    }
    if (end == std::string_view::npos) {
      if (flush()) return entries;
      break;
    }
    text.remove_prefix(end + 1);
  }
  return support::CoreError{"worktree record missing required 'worktree' line", {}, support::ErrorKind::worktree_list};
}

support::Result<std::vector<WorktreeListEntry>> evaluate_worktree_list_output(const WorktreeListOutput& output,
                                                                              std::string_view root) {
  if (output.exit_code != 0) {
    return list_error("git worktree list --porcelain exited " + std::to_string(output.exit_code) + " in " +
                      support::to_valid_utf8(root) + ": " +
                      std::string(support::trim_white_space(output.standard_error)));
  }
  support::Result<std::vector<WorktreeListEntry>> entries = parse_worktree_porcelain(output.standard_output);
  if (!entries.ok()) {
    return list_error("unparseable git worktree list --porcelain output for " + support::to_valid_utf8(root) + ": " +
                      entries.error().message);
  }
  return entries;
}

support::Result<std::vector<WorktreeListEntry>> list_worktrees(std::string_view root) {
  support::Result<WorktreeListOutput> output = run_worktree_list(root);
  if (!output.ok()) return output.error();
  return evaluate_worktree_list_output(output.value(), root);
}

}  // namespace worktree_runtime::git
