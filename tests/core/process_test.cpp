#include "platform/process.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace worktree_runtime::platform {
namespace {

using namespace std::chrono_literals;
using Outcome = ProcessResult::Outcome;

constexpr std::size_t kOutputCap = 8 << 20;

ProcessResult shell(const std::string& script, std::chrono::milliseconds limit = 5000ms, std::string_view dir = ".") {
  return run_process({"sh", "-c", script}, dir, limit, kOutputCap);
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// No child of this process is left, running or as a zombie.
void expect_no_children() {
  int status;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(RunProcess, CapturesBothStreamsAndTheExitCode) {
  const ProcessResult result = shell("printf out; printf err >&2; exit 3");
  EXPECT_EQ(result.outcome, Outcome::exited);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.standard_output, "out");
  EXPECT_EQ(result.standard_error, "err");
}

TEST(RunProcess, RunsInTheGivenDirectory) { EXPECT_EQ(shell("pwd -P", 5000ms, "/").standard_output, "/\n"); }

TEST(RunProcess, DrainsOutputsLargerThanAPipe) {
  // Four MiB on each stream: a runner that reads one pipe at a time deadlocks.
  const ProcessResult result = shell("head -c 4194304 /dev/zero; head -c 4194304 /dev/zero >&2");
  EXPECT_EQ(result.outcome, Outcome::exited);
  EXPECT_EQ(result.standard_output.size(), 4194304u);
  EXPECT_EQ(result.standard_error.size(), 4194304u);
}

TEST(RunProcess, StartFailuresAreReported) {
  EXPECT_EQ(run_process({"no-such-program-anywhere"}, ".", 1000ms, kOutputCap).outcome, Outcome::not_started);
  EXPECT_EQ(run_process({"true"}, "/no/such/directory", 1000ms, kOutputCap).outcome, Outcome::not_started);
  EXPECT_EQ(run_process({"true"}, std::string_view("a\0b", 3), 1000ms, kOutputCap).outcome, Outcome::not_started);
  EXPECT_EQ(run_process({}, ".", 1000ms, kOutputCap).outcome, Outcome::not_started);
  expect_no_children();
}

class HangingChild : public testing::TestWithParam<const char*> {};

TEST_P(HangingChild, IsKilledAndReapedAtTheLimit) {
  const std::size_t descriptors = open_descriptors();
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = shell(GetParam(), 300ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.outcome, Outcome::timed_out);
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 3s);
  expect_no_children();
  EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Cases, HangingChild,
                         testing::Values("exec 2>&-; sleep 10",            // closes standard error, keeps running
                                         "echo partial; exec sleep 10"));  // keeps both pipes open

class EndlessWriter : public testing::TestWithParam<const char*> {};

TEST_P(EndlessWriter, IsCutOffAtTheOutputCapAndReaped) {
  const std::size_t descriptors = open_descriptors();
  const ProcessResult result = shell(GetParam(), 60s);
  EXPECT_EQ(result.outcome, Outcome::output_overflow);
  EXPECT_LE(result.standard_output.size() + result.standard_error.size(), 2 * kOutputCap + 65536 * 2);
  expect_no_children();
  EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndlessWriter,
                         testing::Values("exec yes",                   // on standard output
                                         "exec yes >&2",               // on standard error
                                         "yes & sleep 0.2; exit 0"));  // a grandchild, after the child exits

TEST(RunProcess, AChildThatExitsYieldsItsOutputWhileAGrandchildHoldsThePipes) {
  const ProcessResult result = shell("sleep 10 & echo done; echo err >&2", 5000ms);
  EXPECT_EQ(result.outcome, Outcome::exited);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.standard_output, "done\n");
  EXPECT_EQ(result.standard_error, "err\n");
  expect_no_children();
}

TEST(RunProcess, LeavesNoDescriptorOrChildBehind) {
  const std::size_t descriptors = open_descriptors();
  for (int run = 0; run < 20; ++run) ASSERT_EQ(shell("echo hi").outcome, Outcome::exited);
  EXPECT_EQ(open_descriptors(), descriptors);
  expect_no_children();
}

}  // namespace
}  // namespace worktree_runtime::platform
