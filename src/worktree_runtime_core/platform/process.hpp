#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_error.hpp"

namespace worktree_runtime::platform {

struct ProcessResult {
  enum class Outcome { exited, not_started, timed_out, wait_failed, output_overflow };
  Outcome outcome = Outcome::not_started;
  int exit_code = -1;  // meaningful when `outcome` is `exited`; -1 when killed by a signal
  SystemError error;   // why the child could not be started or waited for
  std::string standard_output;
  std::string standard_error;
};

// Where the caller's interrupts (a terminal's Ctrl-C) show. The child runs in
// a process group of its own, which the terminal's SIGINT does not reach, so
// `run_process` asks this source and passes each interrupt on to the group.
struct InterruptSource {
  bool (*take_pending)();  // true once for each interrupt that arrived, which it clears
  void (*put_back)();      // leaves an interrupt pending again, for the caller to see
};

// Installs the process-wide source; nullptr, the default, forwards nothing.
// `source` must outlive every later call of `run_process`.
void set_interrupt_source(const InterruptSource* source);

// Runs `arguments[0]`, found through PATH, with the other arguments, in
// `working_directory`, with the caller's environment and standard input and
// with standard output and error on pipes, as the leader of a new process
// group. Both pipes are drained while the child runs, and what is in them when
// it exits is its output, even if a grandchild keeps them open. `limit` bounds
// the whole run from its start; a child still running at the limit is killed
// with its whole group, so nothing it started (a hook, a helper, an orphaned
// background job) outlives the call. Output past `max_output_bytes` on either
// pipe ends the group the same way (`output_overflow`): output is never
// gathered without bound. While the child runs, each interrupt taken from the
// installed source is sent to its group as SIGINT and the wait goes on; an
// interrupt taken is put back before the call returns. The child is always
// reaped before the call returns, and no descriptor outlives it. The caller's
// address space is never copied (posix_spawn), so the cost does not grow with
// the caller's memory.
ProcessResult run_process(const std::vector<std::string>& arguments, std::string_view working_directory,
                          std::chrono::milliseconds limit, std::size_t max_output_bytes);

}  // namespace worktree_runtime::platform
