#include "platform/process_environment.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "support/text.hpp"

namespace worktree_runtime::platform {

std::optional<std::string> Environment::value(std::string_view name) const {
  if (snapshot_ != nullptr) {
    const auto found = snapshot_->find(std::string(name));
    if (found == snapshot_->end()) return std::nullopt;
    return found->second;
  }
  // No variable has such a name; getenv would look up a prefix of it, or
  // match the start of another entry's value.
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos) return std::nullopt;
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr || !support::is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> Environment::non_empty(std::string_view name) const {
  std::optional<std::string> found = value(name);
  if (!found || found->empty()) return std::nullopt;
  return found;
}

std::optional<std::string> Environment::non_blank(std::string_view name) const {
  const std::optional<std::string> found = value(name);
  if (!found) return std::nullopt;
  const std::string_view trimmed = support::trim_white_space(*found);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<std::string> current_directory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return support::to_valid_utf8(buffer.data());
}

std::int64_t process_id() { return ::getpid(); }

support::Instant utc_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec)};
}

void write_standard_error(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace worktree_runtime::platform
