#include "platform/filesystem.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <system_error>

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

FileContent read_whole_file(std::string_view path, std::size_t max_bytes) {
  FileContent content;
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return content;
  // Non-blocking, so that opening a FIFO does not wait for a writer; a
  // regular file reads the same either way.
  const UniqueFd fd(::open(terminated->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) content.status = FileContent::Status::missing;
    return content;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return content;
  if (static_cast<std::uint64_t>(status.st_size) > max_bytes) return content;
  content.bytes.reserve(static_cast<std::size_t>(status.st_size));
  std::array<char, 65536> buffer;
  while (true) {
    // The file may grow while it is read: the cap holds for what is read.
    const std::size_t wanted = std::min(buffer.size(), max_bytes - content.bytes.size() + 1);
    const ssize_t count = ::read(fd.get(), buffer.data(), wanted);
    if (count == 0) break;
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 || content.bytes.size() + static_cast<std::size_t>(count) > max_bytes) {
      content.bytes.clear();
      return content;
    }
    content.bytes.append(buffer.data(), static_cast<std::size_t>(count));
  }
  content.status = FileContent::Status::read;
  return content;
}

std::optional<std::string> read_file(std::string_view path, std::size_t max_bytes) {
  FileContent content = read_whole_file(path, max_bytes);
  if (content.status != FileContent::Status::read) return std::nullopt;
  return std::move(content.bytes);
}

bool exists(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  struct stat status {};
  return terminated && ::stat(terminated->c_str(), &status) == 0;
}

bool make_directories(std::string_view path) {
  if (!c_path(path)) {
    errno = EINVAL;
    return false;
  }
  // Most calls find the directory there already: one stat answers them.
  if (struct stat status{}; ::stat(std::string(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path), error);
  // The caller reports the reason through errno, as for every other call here.
  if (error) errno = error.value();
  return !error;
}

UniqueFd create_exclusive(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) {
    errno = EINVAL;
    return UniqueFd();
  }
  return UniqueFd(::open(terminated->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool write_all(const UniqueFd& fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd.get(), bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) {
      errno = 0;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

UniqueFd open_for_append(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) {
    errno = EINVAL;
    return UniqueFd();
  }
  return UniqueFd(::open(terminated->c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
}

std::optional<char> read_last_byte(const UniqueFd& fd) {
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || status.st_size == 0) return std::nullopt;
  char last;
  ssize_t count;
  while ((count = ::pread(fd.get(), &last, 1, status.st_size - 1)) < 0 && errno == EINTR) {
  }
  if (count != 1) return std::nullopt;
  return last;
}

bool create_if_missing(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  return terminated && UniqueFd(::open(terminated->c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool lock_whole_file(const UniqueFd& fd) {
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  whole_file.l_start = 0;
  whole_file.l_len = 0;  // to the end of the file, however far it grows
  int command = F_OFD_SETLKW;
  while (::fcntl(fd.get(), command, &whole_file) != 0) {
    if (errno == EINTR) continue;
    // Kernels before 3.15 know only process-wide record locks.
    if (errno == EINVAL && command == F_OFD_SETLKW) {
      command = F_SETLKW;
      continue;
    }
    return false;
  }
  return true;
}

std::optional<std::uint64_t> file_size(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  struct stat status {};
  if (!terminated || ::stat(terminated->c_str(), &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

std::optional<support::Instant> modification_time(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  struct stat status {};
  if (!terminated || ::stat(terminated->c_str(), &status) != 0) return std::nullopt;
  return support::Instant{status.st_mtim.tv_sec, static_cast<std::int32_t>(status.st_mtim.tv_nsec)};
}

std::optional<std::vector<DirectoryEntry>> list_directory(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) {
    errno = EINVAL;
    return std::nullopt;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(terminated->c_str()), &::closedir);
  if (!directory) return std::nullopt;
  std::vector<DirectoryEntry> entries;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(::dirfd(directory.get()), entry->d_name, &status, 0) != 0) continue;
    entries.push_back({support::to_valid_utf8(name),
                       *terminated + "/" + std::string(name),
                       {status.st_mtim.tv_sec, static_cast<std::int32_t>(status.st_mtim.tv_nsec)},
                       static_cast<std::uint64_t>(status.st_size)});
  }
  return entries;
}

bool sync(const UniqueFd& fd) { return ::fsync(fd.get()) == 0; }

bool sync_directory(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return false;
  const UniqueFd fd(::open(terminated->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && sync(fd);
}

bool rename_replacing(std::string_view from, std::string_view to) {
  const std::optional<std::string> source = c_path(from);
  const std::optional<std::string> target = c_path(to);
  return source && target && ::rename(source->c_str(), target->c_str()) == 0;
}

bool rename_without_replacing(std::string_view from, std::string_view to) {
  const std::optional<std::string> source = c_path(from);
  const std::optional<std::string> target = c_path(to);
  if (!source || !target) {
    errno = EINVAL;
    return false;
  }
  if (::renameat2(AT_FDCWD, source->c_str(), AT_FDCWD, target->c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link is never made over an
  // existing entry either.
  if (::link(source->c_str(), target->c_str()) != 0) return false;
  ::unlink(source->c_str());
  return true;
}

bool remove_file(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  return terminated && ::unlink(terminated->c_str()) == 0;
}

FileLock::FileLock(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return;
  UniqueFd fd(::open(terminated->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
  // A lock file made by someone else may be read-only for us; a lock needs no
  // more than a descriptor.
  if (!fd && errno == EACCES) fd = UniqueFd(::open(terminated->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return;
  int locked;
  while ((locked = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked == 0) fd_ = std::move(fd);
}

std::string random_alphanumerics(std::size_t count) {
  constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device source;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string text;
  for (std::size_t index = 0; index < count; ++index) text += kAlphabet[pick(source)];
  return text;
}

}  // namespace worktree_runtime::platform
