#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <variant>

#include "platform/unique_fd.hpp"

extern char** environ;

namespace worktree_runtime::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Without a process descriptor (kernels before 5.3) the exit is polled for.
constexpr std::chrono::milliseconds kExitPollInterval{5};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
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

// A started child. Unless its exit was collected, it is killed and reaped
// when the owner goes, so no path leaves a zombie or a running child behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (collected_) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  // The descriptor that becomes readable when the child exits, or -1.
  int exit_descriptor() const { return pidfd_.get(); }

  // Collects the exit without blocking. Nothing while it still runs.
  std::optional<ProcessResult::Outcome> try_collect(ProcessResult& result) {
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (waited == 0) return std::nullopt;
    collected_ = true;
    if (waited < 0) {
      result.error_number = errno;
      return ProcessResult::Outcome::wait_failed;
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ProcessResult::Outcome::exited;
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  bool collected_ = false;
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
  // interpreter ignores for itself (broken pipes, file size) at their defaults.
  SpawnAttributes attributes;
  sigset_t empty_mask;
  sigset_t defaults;
  sigemptyset(&empty_mask);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (const int failure =
          ::posix_spawnattr_setsigmask(attributes.get(), &empty_mask) |
          ::posix_spawnattr_setsigdefault(attributes.get(), &defaults) |
          ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)) {
    return failure;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (const int failure = ::posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ)) {
    return failure;
  }
  return std::variant<Child, int>(std::in_place_index<0>, pid);
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

int poll_timeout_ms(Clock::time_point deadline, bool has_exit_descriptor) {
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (!has_exit_descriptor) remaining = std::min(remaining, kExitPollInterval);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(remaining.count(), 0));
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& arguments, std::string_view working_directory,
                          std::chrono::milliseconds limit, std::size_t max_output_bytes) {
  ProcessResult result;
  const Clock::time_point deadline = Clock::now() + limit;
  result.error_number = EINVAL;
  if (arguments.empty() || holds_nul(working_directory)) return result;
  for (const std::string& argument : arguments) {
    if (holds_nul(argument)) return result;
  }
  std::optional<Pipe> output = make_pipe();
  std::optional<Pipe> error = make_pipe();
  if (!output || !error) {
    result.error_number = errno;
    return result;
  }
  std::variant<Child, int> started = spawn(arguments, std::string(working_directory), *output, *error);
  output->write_end.reset();
  error->write_end.reset();
  if (const int* failure = std::get_if<int>(&started)) {
    result.error_number = *failure;
    return result;
  }
  result.error_number = 0;
  Child* child = &std::get<Child>(started);

  std::optional<ProcessResult::Outcome> exit_outcome;
  while (!exit_outcome) {
    if (Clock::now() >= deadline) {
      result.outcome = ProcessResult::Outcome::timed_out;
      return result;  // the child is killed and reaped on the way out
    }
    std::array<pollfd, 3> watched = {{
        {output->read_end.get(), POLLIN, 0},
        {error->read_end.get(), POLLIN, 0},
        {child->exit_descriptor(), POLLIN, 0},
    }};
    const int ready = ::poll(watched.data(), watched.size(), poll_timeout_ms(deadline, child->exit_descriptor() >= 0));
    if (ready < 0 && errno != EINTR) {
      result.outcome = ProcessResult::Outcome::wait_failed;
      result.error_number = errno;
      return result;
    }
    if (watched[0].revents != 0) drain(output->read_end, result.standard_output);
    if (watched[1].revents != 0) drain(error->read_end, result.standard_error);
    if (exceeds(result, max_output_bytes)) {
      result.outcome = ProcessResult::Outcome::output_overflow;
      return result;  // the child is killed and reaped on the way out
    }
    exit_outcome = child->try_collect(result);
  }
  drain_remaining(output->read_end, result.standard_output, max_output_bytes);
  drain_remaining(error->read_end, result.standard_error, max_output_bytes);
  result.outcome = exceeds(result, max_output_bytes) ? ProcessResult::Outcome::output_overflow : *exit_outcome;
  return result;
}

}  // namespace worktree_runtime::platform
