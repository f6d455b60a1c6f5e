#include "platform/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "scratch_directory.hpp"

extern char** environ;

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

// Whether posix_spawnp here tells its caller that the child could not start.
// Under qemu-user it cannot: qemu runs the child of a vfork as a fork, so the
// failure never reaches the parent, and the child just exits with 127.
bool spawn_reports_start_failures() {
  char program[] = "no-such-program-anywhere";
  char* const argv[] = {program, nullptr};
  pid_t pid;
  const int failure = ::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
  if (failure == 0) ::waitpid(pid, nullptr, 0);
  return failure != 0;
}

TEST(RunProcess, FailuresOfTheChildsStartAreReported) {
  if (!spawn_reports_start_failures()) {
    GTEST_SKIP() << "posix_spawnp on this system does not report a child's failed start (qemu-user)";
  }
  EXPECT_EQ(run_process({"no-such-program-anywhere"}, ".", 1000ms, kOutputCap).outcome, Outcome::not_started);
  EXPECT_EQ(run_process({"true"}, "/no/such/directory", 1000ms, kOutputCap).outcome, Outcome::not_started);
  expect_no_children();
}

TEST(RunProcess, RequestsThatCannotStartAreRefused) {
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

// The processes a child leaves behind before it hangs or floods; each writes
// its pid to the file named by $1 and is in place before the script goes on.
struct Descendants {
  const char* name;
  const char* script;
  std::size_t count;
};

// How the child's run ends: killed at the limit or at the output cap.
struct Ending {
  const char* name;
  const char* script;
  std::chrono::milliseconds limit;
  Outcome outcome;
};

const Descendants kDescendants[] = {
    {"BackgroundSleep", "sleep 300 & echo $! >> \"$1\"", 1},
    // The subshell exits at once: its sleep is an orphan, no longer the child's.
    {"OrphanOfASubshell", "(sleep 300 & echo $! >> \"$1\")", 1},
    {"NestedShell",
     "sh -c 'sleep 300 & echo $! >> \"$1\"; echo $$ >> \"$1\"; : > \"$1.ready\"; wait' nested \"$1\" &"
     " until [ -e \"$1.ready\" ]; do sleep 0.01; done",
     2},
};

const Ending kEndings[] = {
    {"HangsPastTheLimit", "sleep 300", 1000ms, Outcome::timed_out},
    {"FloodsPastTheCap", "exec yes", 60s, Outcome::output_overflow},
};

void PrintTo(const Descendants& descendants, std::ostream* out) { *out << descendants.name; }
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

std::vector<pid_t> pids_in(const std::string& path) {
  std::vector<pid_t> pids;
  std::ifstream stream(path);
  for (pid_t pid; stream >> pid;) pids.push_back(pid);
  return pids;
}

// Running, not a zombie that init has yet to reap.
bool is_running(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t name_end = line.rfind(')');
  return name_end != std::string::npos && line.substr(name_end + 2, 1) != "Z";
}

// A SIGKILLed process may take a moment to finish dying.
bool ends_soon(pid_t pid) {
  for (int check = 0; check < 500 && is_running(pid); ++check) std::this_thread::sleep_for(10ms);
  return !is_running(pid);
}

class LeftBehind : public ScratchDirectory, public testing::WithParamInterface<std::tuple<Descendants, Ending>> {};

TEST_P(LeftBehind, EveryProcessTheChildStartedEndsWithIt) {
  const auto& [descendants, ending] = GetParam();
  const std::string pid_file = at("pids");
  const std::string script = std::string(descendants.script) + "; " + ending.script;
  const ProcessResult result = run_process({"sh", "-c", script, "child", pid_file}, ".", ending.limit, kOutputCap);
  EXPECT_EQ(result.outcome, ending.outcome);
  const std::vector<pid_t> pids = pids_in(pid_file);
  ASSERT_EQ(pids.size(), descendants.count) << "the script did not start them all before its end";
  for (const pid_t pid : pids) EXPECT_TRUE(ends_soon(pid)) << "pid " << pid << " outlived the run";
  expect_no_children();
}

INSTANTIATE_TEST_SUITE_P(Cases, LeftBehind,
                         testing::Combine(testing::ValuesIn(kDescendants), testing::ValuesIn(kEndings)),
                         [](const auto& run) {
                           return std::string(std::get<0>(run.param).name) + std::get<1>(run.param).name;
                         });

// Stands in for the interpreter's Ctrl-C: one interrupt arrives once the file
// it watches exists, which the child writes after setting its trap.
struct TestInterrupts {
  static inline std::string watched_file;
  static inline bool arrived = false;
  static inline int put_backs = 0;

  static bool take_pending() {
    if (arrived || !std::filesystem::exists(watched_file)) return false;
    return arrived = true;
  }
  static void put_back() { ++put_backs; }
};

const InterruptSource kTestInterrupts{TestInterrupts::take_pending, TestInterrupts::put_back};

// A child script ($1 is the watched file) and what the run gives with an
// interrupt forwarded to it.
struct InterruptCase {
  const char* name;
  const char* script;
  std::chrono::milliseconds limit;
  Outcome outcome;
  const char* output;
  int put_backs;
};

void PrintTo(const InterruptCase& interrupt_case, std::ostream* out) { *out << interrupt_case.name; }

class ForwardedInterrupt : public ScratchDirectory, public testing::WithParamInterface<InterruptCase> {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    TestInterrupts::watched_file = at("trap-set");
    TestInterrupts::arrived = false;
    TestInterrupts::put_backs = 0;
    set_interrupt_source(&kTestInterrupts);
  }
  void TearDown() override {
    set_interrupt_source(nullptr);
    ScratchDirectory::TearDown();
  }
};

TEST_P(ForwardedInterrupt, ReachesTheChildsGroupAndIsPutBack) {
  const InterruptCase& expected = GetParam();
  const ProcessResult result =
      run_process({"sh", "-c", expected.script, "child", at("trap-set")}, ".", expected.limit, kOutputCap);
  EXPECT_EQ(result.outcome, expected.outcome);
  EXPECT_EQ(result.standard_output, expected.output);
  EXPECT_EQ(TestInterrupts::put_backs, expected.put_backs);
  expect_no_children();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardedInterrupt,
    testing::Values(InterruptCase{"ChildStopsOnIt",
                                  "trap 'echo interrupted; exit 0' INT; : > \"$1\"; while :; do sleep 0.05; done", 30s,
                                  Outcome::exited, "interrupted\n", 1},
                    // The shell runs its trap once the nested one, hit by the same SIGINT, has ended.
                    InterruptCase{"EveryMemberOfTheGroupGetsIt",
                                  "trap 'echo child' INT; sh -c 'trap \"echo grandchild; exit 0\" INT; : > \"$1\";"
                                  " while :; do sleep 0.05; done' nested \"$1\"",
                                  30s, Outcome::exited, "grandchild\nchild\n", 1},
                    InterruptCase{"ChildIgnoresItAndRunsToTheLimit", "trap '' INT; : > \"$1\"; sleep 300", 1000ms,
                                  Outcome::timed_out, "", 1},
                    InterruptCase{"NoneArrives", "echo done", 30s, Outcome::exited, "done\n", 0}),
    [](const testing::TestParamInfo<InterruptCase>& run) { return std::string(run.param.name); });

TEST(RunProcess, AChildThatExitsYieldsItsOutputWhileAGrandchildHoldsThePipes) {
  const ProcessResult result = shell("sleep 10 & echo done; echo err >&2", 5000ms);
  EXPECT_EQ(result.outcome, Outcome::exited);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.standard_output, "done\n");
  EXPECT_EQ(result.standard_error, "err\n");
  expect_no_children();
}

// The descriptors of this process that a child would inherit: those that are
// not close-on-exec.
std::set<int> inheritable_descriptors() {
  std::set<int> descriptors;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) descriptors.insert(fd);
  }
  return descriptors;
}

// The descriptors that a child of run_process has open.
std::set<int> child_descriptors() {
  // The glob's own descriptor on the folder is closed by the time it is tested.
  const ProcessResult result = shell("for fd in /proc/$$/fd/*; do [ -e \"$fd\" ] && echo \"${fd##*/}\"; done; true");
  EXPECT_EQ(result.outcome, Outcome::exited);
  std::set<int> descriptors;
  std::istringstream lines(result.standard_output);
  for (int fd; lines >> fd;) descriptors.insert(fd);
  return descriptors;
}

// Its standard output and error are the run's pipes; no other descriptor of
// the run reaches it.
std::set<int> expected_child_descriptors() {
  std::set<int> expected = inheritable_descriptors();
  expected.insert({STDOUT_FILENO, STDERR_FILENO});
  return expected;
}

TEST(RunProcess, TheChildInheritsNoDescriptorOfTheRun) { EXPECT_EQ(child_descriptors(), expected_child_descriptors()); }

TEST(RunProcess, ConcurrentRunsHandTheirChildrenNoDescriptorOfEachOther) {
  constexpr int kThreads = 4;
  constexpr int kRuns = 10;
  const std::set<int> expected = expected_child_descriptors();
  std::vector<std::vector<std::set<int>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (std::vector<std::set<int>>& runs : seen) {
    threads.emplace_back([&runs] {
      for (int run = 0; run < kRuns; ++run) runs.push_back(child_descriptors());
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::vector<std::set<int>>& runs : seen) {
    for (const std::set<int>& descriptors : runs) EXPECT_EQ(descriptors, expected);
  }
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
