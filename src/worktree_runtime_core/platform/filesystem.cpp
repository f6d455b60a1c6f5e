#include "platform/filesystem.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/unique_fd.hpp"
#include "support/text.hpp"

namespace worktree_runtime::platform {

namespace {

// `path` as a C string, or nothing when a NUL inside would cut it short.
std::optional<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

}  // namespace

std::optional<std::string> canonicalize(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return std::nullopt;
  char resolved[PATH_MAX];
  if (::realpath(terminated->c_str(), resolved) == nullptr) return std::nullopt;
  return support::to_valid_utf8(resolved);
}

std::optional<std::string> read_file(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return std::nullopt;
  const UniqueFd fd(::open(terminated->c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  struct stat status {};
  if (::fstat(fd.get(), &status) == 0 && status.st_size > 0) content.reserve(static_cast<std::size_t>(status.st_size));
  std::array<char, 65536> buffer;
  while (true) {
    const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
    if (count == 0) return content;
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    content.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

bool exists(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  struct stat status {};
  return terminated && ::stat(terminated->c_str(), &status) == 0;
}

}  // namespace worktree_runtime::platform
