#include "platform/filesystem.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux_calls.hpp"

#if WORKTREE_RUNTIME_LINUX_CALLS
#include <sys/syscall.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif
#if !defined(__GLIBC__)
#include <linux/fs.h>  // RENAME_NOREPLACE, which only glibc's <stdio.h> names
#endif
#endif

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

// A directory is held by a descriptor that only names it where the system
// allows that: walking through a directory then needs no read permission,
// as a walk by path does not.
#if WORKTREE_RUNTIME_LINUX_CALLS
constexpr int kHeldDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kHeldDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// One entry of a directory: not empty, not "." or "..", no separator or NUL.
// Only such a name stays inside the directory it is looked up in.
bool is_entry_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string_view("/\0", 2)) == name.npos;
}

// `name` as a C string when it is an entry name; else EINVAL.
SystemResult<std::string> entry_name(std::string_view name) {
  if (!is_entry_name(name)) return SystemError{EINVAL};
  return std::string(name);
}

// `fd` when the call that made it opened something, else the reason it did
// not.
SystemResult<UniqueFd> opened(UniqueFd fd) {
  if (!fd) return SystemError::last();
  return fd;
}

// macOS names the field differently.
const timespec& modification_time(const struct stat& status) {
#ifdef __APPLE__
  return status.st_mtimespec;
#else
  return status.st_mtim;
#endif
}

support::Instant modification_instant(const struct stat& status) {
  const timespec& modified = modification_time(status);
  return {modified.tv_sec, static_cast<std::int32_t>(modified.tv_nsec)};
}

// Opens `name` in `directory` with `flags`, never through a symbolic link at
// the name, and never waiting for the other end of a FIFO.
SystemResult<UniqueFd> open_entry(int directory, std::string_view name, int flags) {
  const SystemResult<std::string> entry = entry_name(name);
  if (!entry) return entry.error();
  return opened(UniqueFd(::openat(directory, entry->c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666)));
}

// `fd` when it is open on a regular file; else closed, with ENXIO for a
// device, FIFO, socket or directory, the kernel's answer for a special file
// that cannot be opened the way it was asked.
SystemResult<UniqueFd> only_regular(SystemResult<UniqueFd> fd) {
  struct stat status {};
  if (!fd) return fd;
  if (::fstat(fd->get(), &status) != 0) return SystemError::last();
  if (!S_ISREG(status.st_mode)) return SystemError{ENXIO};
  return fd;
}

SystemResult<UniqueFd> open_regular_entry(int directory, std::string_view name, int flags) {
  return only_regular(open_entry(directory, name, flags));
}

// The whole content of the regular file just opened as `fd`, of at most
// `max_bytes` bytes. When the open failed, `missing` for a name that is not
// there (nor a directory on its way), `failed` for anything else.
FileContent read_open_file(const SystemResult<UniqueFd>& opened_file, std::size_t max_bytes) {
  FileContent content;
  if (!opened_file) {
    const int number = opened_file.error().number;
    if (number == ENOENT || number == ENOTDIR) content.status = FileContent::Status::missing;
    return content;
  }
  const UniqueFd& fd = *opened_file;
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

// The subdirectory `name` of `directory`, not reached through a symbolic
// link: ELOOP for a link, where the kernel says only ENOTDIR.
SystemResult<UniqueFd> open_subdirectory(int directory, const std::string& name) {
  UniqueFd fd(::openat(directory, name.c_str(), kHeldDirectoryFlags | O_NOFOLLOW));
  if (fd) return fd;
  if (errno != ENOTDIR) return SystemError::last();
  struct stat status {};
  const bool link = ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
  return SystemError{link ? ELOOP : ENOTDIR};
}

// Takes the first component off `relative` and returns it.
std::string_view take_component(std::string_view& relative) {
  const std::size_t separator = std::min(relative.find('/'), relative.size());
  const std::string_view component = relative.substr(0, separator);
  relative.remove_prefix(std::min(separator + 1, relative.size()));
  return component;
}

// Whether `relative` is empty or ordinary entry names joined by "/": a path
// that stays below whatever it is joined to. EINVAL when it is not.
SystemResult<void> stays_below(std::string_view relative) {
  while (!relative.empty()) {
    if (!is_entry_name(take_component(relative))) return SystemError{EINVAL};
  }
  return {};
}

// `relative` below `root` as one path.
std::string beneath(std::string_view root, std::string_view relative) {
  std::string path(root);
  if (!path.empty() && !path.ends_with('/') && !relative.empty()) path += '/';
  path += relative;
  return path;
}

// The whole of `path` opened in one call that follows no symbolic link on the
// way. Where the kernel cannot (before 5.6, or a filter forbids the call) it
// fails with ENOSYS, and ELOOP for a link anywhere: above the root too, which
// only a walk from the root can tell apart.
SystemResult<UniqueFd> open_without_links(const std::string& path, int flags) {
#if WORKTREE_RUNTIME_LINUX_CALLS && defined(SYS_openat2)
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
  if (!fd && (errno == EPERM || errno == EINVAL || errno == E2BIG)) return SystemError{ENOSYS};
  return opened(std::move(fd));
#else
  (void)path;
  (void)flags;
  return SystemError{ENOSYS};
#endif
}

// Whether a failed `open_without_links` leaves the answer to a walk.
bool walk_decides(const SystemError& error) { return error.number == ELOOP || error.number == ENOSYS; }

// Takes an exclusive BSD lock on `fd`, waiting for it. It covers the whole
// file and belongs to the open file description.
SystemResult<void> flock_exclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return SystemError::last();
  }
  return {};
}

// Renames `from` to `to` within `directory` unless `to` exists, in one step;
// ENOSYS where the system has no such rename.
int rename_exclusive(int directory, const char* from, const char* to) {
#if WORKTREE_RUNTIME_LINUX_CALLS && defined(__GLIBC__)
  return ::renameat2(directory, from, directory, to, RENAME_NOREPLACE);
#elif WORKTREE_RUNTIME_LINUX_CALLS
  return static_cast<int>(::syscall(SYS_renameat2, directory, from, directory, to, RENAME_NOREPLACE));
#elif defined(__APPLE__)
  return ::renameatx_np(directory, from, directory, to, RENAME_EXCL);
#else
  (void)directory;
  (void)from;
  (void)to;
  errno = ENOSYS;
  return -1;
#endif
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
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return FileContent();
  // Non-blocking, so that opening a FIFO does not wait for a writer; a
  // regular file reads the same either way.
  return read_open_file(opened(UniqueFd(::open(terminated->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))), max_bytes);
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

std::optional<std::uint64_t> file_size(std::string_view path) {
  const std::optional<std::string> terminated = c_path(path);
  struct stat status {};
  if (!terminated || ::stat(terminated->c_str(), &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

SystemResult<void> make_directories(std::string_view path) {
  if (!c_path(path)) return SystemError{EINVAL};
  // Most calls find the directory there already: one stat answers them.
  if (struct stat status{}; ::stat(std::string(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return {};
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path), error);
  if (error) return SystemError{error.value()};
  return {};
}

SystemResult<void> write_all(const UniqueFd& fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd.get(), bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return SystemError::last();
    if (count == 0) return SystemError::nothing_written();
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
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

SystemResult<void> lock_whole_file(const UniqueFd& fd) {
#if WORKTREE_RUNTIME_LINUX_CALLS
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
    return SystemError::last();
  }
  return {};
#else
  return flock_exclusive(fd.get());
#endif
}

SystemResult<void> sync(const UniqueFd& fd) { return status_of(::fsync(fd.get()) == 0); }

SystemResult<Directory> Directory::open(std::string_view path, Missing missing) {
  const std::optional<std::string> terminated = c_path(path);
  if (!terminated) return SystemError{EINVAL};
  // An empty path is the current directory, as names joined below it are.
  const char* name = path.empty() ? "." : terminated->c_str();
  SystemResult<UniqueFd> fd = opened(UniqueFd(::open(name, kHeldDirectoryFlags)));
  if (!fd && fd.error().number == ENOENT && missing == Missing::create) {
    if (const SystemResult<void> made = make_directories(path); !made) return made.error();
    fd = opened(UniqueFd(::open(name, kHeldDirectoryFlags)));
  }
  if (!fd) return fd.error();
  return Directory(std::move(*fd), *terminated);
}

SystemResult<Directory> Directory::open_beneath(std::string_view root, std::string_view relative, Missing missing) {
  // Nearly always the whole path holds no link and exists: one call opens it.
  if (!c_path(root)) return SystemError{EINVAL};
  if (const SystemResult<void> below = stays_below(relative); !below) return below.error();
  std::string path = beneath(root, relative);
  SystemResult<UniqueFd> fd = open_without_links(path.empty() ? "." : path, kHeldDirectoryFlags);
  if (fd) return Directory(std::move(*fd), std::move(path));
  const bool created_on_the_way = fd.error().number == ENOENT && missing == Missing::create;
  if (!walk_decides(fd.error()) && !created_on_the_way) return fd.error();
  return walk_beneath(root, relative, missing);
}

SystemResult<Directory> Directory::walk_beneath(std::string_view root, std::string_view relative, Missing missing) {
  SystemResult<Directory> directory = open(root, missing);
  while (directory && !relative.empty()) {
    const SystemResult<std::string> name = entry_name(take_component(relative));
    if (!name) return name.error();
    SystemResult<UniqueFd> next = open_subdirectory(directory->fd_.get(), *name);
    if (!next && next.error().number == ENOENT && missing == Missing::create) {
      if (::mkdirat(directory->fd_.get(), name->c_str(), 0777) != 0 && errno != EEXIST) return SystemError::last();
      next = open_subdirectory(directory->fd_.get(), *name);
    }
    if (!next) return next.error();
    directory->fd_ = std::move(*next);
    directory->path_ = beneath(directory->path_, *name);
  }
  return directory;
}

FileContent Directory::read_file(std::string_view name, std::size_t max_bytes) const {
  return read_open_file(open_entry(fd_.get(), name, O_RDONLY), max_bytes);
}

SystemResult<UniqueFd> Directory::create_exclusive(std::string_view name) const {
  return open_entry(fd_.get(), name, O_WRONLY | O_CREAT | O_EXCL);
}

SystemResult<UniqueFd> Directory::open_for_append(std::string_view name) const {
  return open_regular_entry(fd_.get(), name, O_RDWR | O_APPEND | O_CREAT);
}

SystemResult<void> Directory::create_if_missing(std::string_view name) const {
  const SystemResult<UniqueFd> file = open_regular_entry(fd_.get(), name, O_WRONLY | O_CREAT);
  if (!file) return file.error();
  return {};
}

std::optional<FileStatus> Directory::status(std::string_view name) const {
  const SystemResult<std::string> entry = entry_name(name);
  struct stat status {};
  if (!entry || ::fstatat(fd_.get(), entry->c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return FileStatus{static_cast<std::uint64_t>(status.st_size), modification_instant(status)};
}

SystemResult<std::vector<DirectoryEntry>> Directory::list() const {
  UniqueFd readable(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return SystemError::last();
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(readable.get()), &::closedir);
  if (!directory) return SystemError::last();
  (void)readable.release();  // the stream owns it now
  std::vector<DirectoryEntry> entries;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(::dirfd(directory.get()), entry->d_name, &status, 0) != 0) continue;
    entries.push_back(
        {support::to_valid_utf8(name), modification_instant(status), static_cast<std::uint64_t>(status.st_size)});
  }
  return entries;
}

SystemResult<void> Directory::rename_replacing(std::string_view from, std::string_view to) const {
  const SystemResult<std::string> source = entry_name(from);
  const SystemResult<std::string> target = entry_name(to);
  if (!source || !target) return SystemError{EINVAL};
  return status_of(::renameat(fd_.get(), source->c_str(), fd_.get(), target->c_str()) == 0);
}

SystemResult<void> Directory::rename_without_replacing(std::string_view from, std::string_view to) const {
  const SystemResult<std::string> source = entry_name(from);
  const SystemResult<std::string> target = entry_name(to);
  if (!source || !target) return SystemError{EINVAL};
  if (rename_exclusive(fd_.get(), source->c_str(), target->c_str()) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return SystemError::last();
  // Systems and file systems without such a rename: a hard link is never made
  // over an existing entry either.
  if (::linkat(fd_.get(), source->c_str(), fd_.get(), target->c_str(), 0) != 0) return SystemError::last();
  ::unlinkat(fd_.get(), source->c_str(), 0);
  return {};
}

SystemResult<void> Directory::remove_file(std::string_view name) const {
  const SystemResult<std::string> entry = entry_name(name);
  if (!entry) return entry.error();
  return status_of(::unlinkat(fd_.get(), entry->c_str(), 0) == 0);
}

SystemResult<void> Directory::sync() const {
  const SystemResult<UniqueFd> readable =
      opened(UniqueFd(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!readable) return readable.error();
  return platform::sync(*readable);
}

SystemResult<UniqueFd> Directory::open_file_beneath(std::string_view root, std::string_view relative, int flags) {
  if (!c_path(root) || relative.empty()) return SystemError{EINVAL};
  if (const SystemResult<void> below = stays_below(relative); !below) return below.error();
  const std::size_t separator = relative.rfind('/');
  // A name right below the root has no folder of its own on the way, and the
  // root's links are followed: the name alone must not be a link.
  if (separator == relative.npos) {
    const std::string path = beneath(root, relative);
    return opened(UniqueFd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666)));
  }
  SystemResult<UniqueFd> fd = open_without_links(beneath(root, relative), flags | O_NOFOLLOW | O_NONBLOCK);
  if (fd || !walk_decides(fd.error())) return fd;
  const std::string_view folder = relative.substr(0, separator);
  const SystemResult<Directory> directory = Directory::open_beneath(root, folder, Directory::Missing::fail);
  if (!directory) return directory.error();
  return open_entry(directory->fd_.get(), relative.substr(separator + 1), flags);
}

FileContent Directory::read_file_beneath(std::string_view root, std::string_view relative, std::size_t max_bytes) {
  return read_open_file(open_file_beneath(root, relative, O_RDONLY), max_bytes);
}

SystemResult<UniqueFd> Directory::open_for_append_beneath(std::string_view root, std::string_view relative) {
  return only_regular(open_file_beneath(root, relative, O_RDWR | O_APPEND | O_CREAT));
}

SystemResult<FileLock> FileLock::acquire(const Directory& directory, std::string_view name) {
  SystemResult<UniqueFd> fd = open_regular_entry(directory.fd_.get(), name, O_RDWR | O_CREAT);
  // A lock file made by someone else may be read-only for us; a lock needs no
  // more than a descriptor.
  if (!fd && fd.error().number == EACCES) fd = open_regular_entry(directory.fd_.get(), name, O_RDONLY);
  if (!fd) return fd.error();
  if (const SystemResult<void> locked = flock_exclusive(fd->get()); !locked) return locked.error();
  return FileLock(std::move(*fd));
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
