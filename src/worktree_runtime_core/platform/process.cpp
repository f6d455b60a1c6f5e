#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/linux_calls.hpp"
#include "platform/unique_fd.hpp"

#if WORKTREE_RUNTIME_LINUX_CALLS
#include <sys/syscall.h>
#elif defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/event.h>
#endif

// The caller's environment, which a child starts with.
#ifdef __APPLE__
#include <crt_externs.h>
// A shared library has no `environ` of its own on macOS.
static char** caller_environment() { return *::_NSGetEnviron(); }
#else
extern char** environ;
static char** caller_environment() { return environ; }
#endif

namespace worktree_runtime::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Without a descriptor that tells of the exit (Linux before 5.3, or where the
// system offers none) the exit is polled for.
constexpr std::chrono::milliseconds kExitPollInterval{5};
// An interrupt's signal may go to another thread, or arrive just before poll()
// starts, and then wakes nothing: the source is asked at least this often.
constexpr std::chrono::milliseconds kInterruptPollInterval{50};

std::atomic<const InterruptSource*> installed_interrupt_source{nullptr};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

#if WORKTREE_RUNTIME_LINUX_CALLS || defined(__FreeBSD__)
// A pipe whose ends are close-on-exec from the start: no child inherits them.
std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Nothing to hold while pipes are made: see make_pipe.
class PipesAndSpawn {};
#else
// Without pipe2 a pipe is made, then marked close-on-exec, and a child spawned
// in between inherits its ends.
std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (::fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0) return std::nullopt;
  return pipe;
}

// Held while a run makes its pipes and spawns its child: no run's child
// inherits the pipes of another. A process that other code of the caller
// spawns in that moment may inherit one, which holds up nothing here: a run
// stops reading once its own child has exited, whoever else holds a pipe.
class PipesAndSpawn {
 public:
  PipesAndSpawn() : held_(lock_) {}

 private:
  static inline std::mutex lock_;
  std::lock_guard<std::mutex> held_;
};
#endif

// A descriptor that becomes readable once the child `pid` has exited, or
// none, and then the exit is polled for.
UniqueFd watch_exit(pid_t pid) {
#if WORKTREE_RUNTIME_LINUX_CALLS
  // Close-on-exec, as every process descriptor is.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#elif defined(__APPLE__) || defined(__FreeBSD__)
  // No child inherits a kernel event queue. It may wake a moment before the
  // exit can be waited for; the run then looks again.
  UniqueFd queue(::kqueue());
  struct kevent exit_event;
  EV_SET(&exit_event, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (!queue || ::kevent(queue.get(), &exit_event, 1, nullptr, 0, nullptr) != 0) return UniqueFd();
  return queue;
#else
  (void)pid;
  return UniqueFd();
#endif
}

class SpawnFileActions {
 public:
  SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// A started child, the leader of a process group of its own that holds what
// it starts in turn. Unless its exit was seen, the whole group is killed when
// the owner goes. Only the child itself is ours to reap: it is reaped last, so
// until then its pid still names its group, even after it has exited.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), exit_watch_(watch_exit(pid)) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (state_ == State::lost) return;
    if (state_ == State::running) kill_group();
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  // The descriptor that becomes readable when the child exits, or -1.
  int exit_descriptor() const { return exit_watch_.get(); }

  void signal_group(int signal) const { ::kill(-pid_, signal); }
  void kill_group() const { signal_group(SIGKILL); }

  // Sees the exit without blocking and without reaping. Nothing while the
  // child still runs.
  std::optional<ProcessResult::Outcome> try_see_exit(ProcessResult& result) {
    siginfo_t exited{};
    int failed;
    while ((failed = ::waitid(P_PID, static_cast<id_t>(pid_), &exited, WEXITED | WNOHANG | WNOWAIT)) < 0 &&
           errno == EINTR) {
    }
    if (failed) {
      // Reaped by someone else (SIGCHLD ignored, another waiter): its pid may
      // already name another process, so it is neither killed nor reaped.
      state_ = State::lost;
      result.error = SystemError::last();
      return ProcessResult::Outcome::wait_failed;
    }
    if (exited.si_pid == 0) return std::nullopt;
    state_ = State::exited;
    result.exit_code = exited.si_code == CLD_EXITED ? exited.si_status : -1;
    return ProcessResult::Outcome::exited;
  }

 private:
  enum class State { running, exited, lost };

  pid_t pid_;
  UniqueFd exit_watch_;
  State state_ = State::running;
};

// Passes the caller's interrupts on to the child's group while it runs, and
// leaves them pending for the caller once the run is over.
class InterruptForwarder {
 public:
  InterruptForwarder() : source_(installed_interrupt_source.load()) {}
  InterruptForwarder(const InterruptForwarder&) = delete;
  InterruptForwarder& operator=(const InterruptForwarder&) = delete;
  ~InterruptForwarder() {
    if (forwarded_) source_->put_back();
  }

  bool listening() const { return source_ != nullptr; }

  void forward_to(const Child& child) {
    if (source_ == nullptr || !source_->take_pending()) return;
    child.signal_group(SIGINT);
    forwarded_ = true;
  }

 private:
  const InterruptSource* source_;
  bool forwarded_ = false;
};

bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The started child, or the error number of the failed start.
std::variant<Child, int> spawn(const std::vector<std::string>& arguments, const std::string& working_directory,
                               Pipe& output, Pipe& error) {
  SpawnFileActions actions;
  if (const int failure = ::posix_spawn_file_actions_adddup2(actions.get(), output.write_end.get(), STDOUT_FILENO) |
                          ::posix_spawn_file_actions_adddup2(actions.get(), error.write_end.get(), STDERR_FILENO) |
                          ::posix_spawn_file_actions_addchdir_np(actions.get(), working_directory.c_str())) {
    return failure;
  }
  // The child starts with no blocked signals and with the signals that the
  // interpreter ignores for itself (broken pipes, file size) at their defaults,
  // and leads a new process group, so that it can be ended with all it starts.
  SpawnAttributes attributes;
  sigset_t empty_mask;
  sigset_t defaults;
  sigemptyset(&empty_mask);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (const int failure = ::posix_spawnattr_setsigmask(attributes.get(), &empty_mask) |
                          ::posix_spawnattr_setsigdefault(attributes.get(), &defaults) |
                          ::posix_spawnattr_setpgroup(attributes.get(), 0) |
                          ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                                           POSIX_SPAWN_SETPGROUP)) {
    return failure;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (const int failure =
          ::posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), caller_environment())) {
    return failure;
  }
  return std::variant<Child, int>(std::in_place_index<0>, pid);
}

// Makes the child's two pipes and spawns it: the started child, or the error
// number of what failed.
std::variant<Child, int> start(const std::vector<std::string>& arguments, const std::string& working_directory,
                               std::optional<Pipe>& output, std::optional<Pipe>& error) {
  [[maybe_unused]] const PipesAndSpawn held;
  output = make_pipe();
  if (output) error = make_pipe();
  if (!error) return errno;
  return spawn(arguments, working_directory, *output, *error);
}

// Appends one read of `fd` to `sink`; closes `fd` at its end. True when
// more may be waiting.
bool drain(UniqueFd& fd, std::string& sink) {
  std::array<char, 65536> buffer;
  const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
  if (count > 0) {
    sink.append(buffer.data(), static_cast<std::size_t>(count));
    return true;
  }
  if (count < 0 && errno == EINTR) return true;
  if (count < 0 && errno == EAGAIN) return false;
  fd.reset();
  return false;
}

// Once the child has exited, all it wrote is in the pipes: read what is there
// without waiting for the end, which a grandchild holding the pipe would delay.
// A grandchild that keeps writing is cut off at `max_bytes`.
void drain_remaining(UniqueFd& fd, std::string& sink, std::size_t max_bytes) {
  if (!fd) return;
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  while (fd && sink.size() <= max_bytes && drain(fd, sink)) {
  }
}

bool exceeds(const ProcessResult& result, std::size_t max_output_bytes) {
  return result.standard_output.size() > max_output_bytes || result.standard_error.size() > max_output_bytes;
}

// The longest one poll may sleep, short of the deadline: the exit without a
// descriptor and interrupts have to be looked for.
std::chrono::milliseconds longest_sleep(const Child& child, const InterruptForwarder& interrupts) {
  std::chrono::milliseconds longest = std::chrono::milliseconds::max();
  if (child.exit_descriptor() < 0) longest = kExitPollInterval;
  if (interrupts.listening()) longest = std::min(longest, kInterruptPollInterval);
  return longest;
}

int poll_timeout_ms(Clock::time_point deadline, std::chrono::milliseconds longest_sleep) {
  const auto remaining = std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()), longest_sleep);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(remaining.count(), 0));
}

}  // namespace

void set_interrupt_source(const InterruptSource* source) { installed_interrupt_source.store(source); }

ProcessResult run_process(const std::vector<std::string>& arguments, std::string_view working_directory,
                          std::chrono::milliseconds limit, std::size_t max_output_bytes) {
  ProcessResult result;
  const Clock::time_point deadline = Clock::now() + limit;
  result.error = {EINVAL};
  if (arguments.empty() || holds_nul(working_directory)) return result;
  for (const std::string& argument : arguments) {
    if (holds_nul(argument)) return result;
  }
  std::optional<Pipe> output;
  std::optional<Pipe> error;
  InterruptForwarder interrupts;  // outlives the child: an interrupt is put back once it is reaped
  std::variant<Child, int> started = start(arguments, std::string(working_directory), output, error);
  if (const int* failure = std::get_if<int>(&started)) {
    result.error = {*failure};
    return result;
  }
  output->write_end.reset();
  error->write_end.reset();
  result.error = {};
  Child* child = &std::get<Child>(started);
  const std::chrono::milliseconds poll_sleep = longest_sleep(*child, interrupts);

  std::optional<ProcessResult::Outcome> exit_outcome;
  while (!exit_outcome) {
    if (Clock::now() >= deadline) {
      result.outcome = ProcessResult::Outcome::timed_out;
      return result;  // the child's group is killed and the child reaped on the way out
    }
    std::array<pollfd, 3> watched = {{
        {output->read_end.get(), POLLIN, 0},
        {error->read_end.get(), POLLIN, 0},
        {child->exit_descriptor(), POLLIN, 0},
    }};
    const int ready = ::poll(watched.data(), watched.size(), poll_timeout_ms(deadline, poll_sleep));
    if (ready < 0 && errno != EINTR) {
      result.outcome = ProcessResult::Outcome::wait_failed;
      result.error = SystemError::last();
      return result;
    }
    interrupts.forward_to(*child);
    if (watched[0].revents != 0) drain(output->read_end, result.standard_output);
    if (watched[1].revents != 0) drain(error->read_end, result.standard_error);
    if (exceeds(result, max_output_bytes)) {
      result.outcome = ProcessResult::Outcome::output_overflow;
      return result;  // the child's group is killed and the child reaped on the way out
    }
    exit_outcome = child->try_see_exit(result);
  }
  drain_remaining(output->read_end, result.standard_output, max_output_bytes);
  drain_remaining(error->read_end, result.standard_error, max_output_bytes);
  if (exceeds(result, max_output_bytes)) {
    child->kill_group();  // whatever kept writing after the child exited
    result.outcome = ProcessResult::Outcome::output_overflow;
  } else {
    result.outcome = *exit_outcome;
  }
  return result;
}

}  // namespace worktree_runtime::platform
