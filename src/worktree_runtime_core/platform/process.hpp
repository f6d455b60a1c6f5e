#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace worktree_runtime::platform {

struct ProcessResult {
  enum class Outcome { exited, not_started, timed_out, wait_failed, output_overflow };
  Outcome outcome = Outcome::not_started;
  int exit_code = -1;    // meaningful when `outcome` is `exited`; -1 when killed by a signal
  int error_number = 0;  // why the child could not be started or waited for
  std::string standard_output;
  std::string standard_error;
};

// Runs `arguments[0]`, found through PATH, with the other arguments, in
// `working_directory`, with the caller's environment and standard input and
// with standard output and error on pipes. Both pipes are drained while the
// child runs, and what is in them when it exits is its output, even if a
// grandchild keeps them open. `limit` bounds the whole run from its start; a
// child still running at the limit is killed. A child that writes more than
// `max_output_bytes` to either pipe is killed too (`output_overflow`): output
// is never gathered without bound. The child is always reaped before the call
// returns, and no descriptor outlives it. The caller's address space is never
// copied (posix_spawn), so the cost does not grow with the caller's memory.
ProcessResult run_process(const std::vector<std::string>& arguments, std::string_view working_directory,
                          std::chrono::milliseconds limit, std::size_t max_output_bytes);

}  // namespace worktree_runtime::platform
