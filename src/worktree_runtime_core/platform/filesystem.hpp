#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_error.hpp"
#include "platform/unique_fd.hpp"
#include "support/time.hpp"

namespace worktree_runtime::platform {

// The canonical absolute form of the existing object that `path` names: every
// "." and ".." resolved, every symbolic link followed, no trailing separator
// except for the root. Relative paths are taken against the current
// directory. Absent when the path does not exist, cannot be resolved or holds
// a NUL character. Bytes that are not UTF-8 come back as U+FFFD.
std::optional<std::string> canonicalize(std::string_view path);

struct FileContent {
  enum class Status { read, missing, failed };
  Status status = Status::failed;
  std::string bytes;
};

// The whole content of a regular file of at most `max_bytes` bytes. `missing`
// when neither it nor a directory on its way exists; `failed` for every other
// case: not a regular file (a directory, a device, a FIFO; links are
// followed), longer than `max_bytes`, no permission, an I/O error.
FileContent read_whole_file(std::string_view path, std::size_t max_bytes);

// The whole content of a regular file of at most `max_bytes` bytes, or
// nothing when it cannot be read.
std::optional<std::string> read_file(std::string_view path, std::size_t max_bytes);

// Whether the file-system metadata of `path` can be read, links followed.
bool exists(std::string_view path);

// The size of the file at `path`, links followed.
std::optional<std::uint64_t> file_size(std::string_view path);

// Creates `path` and its missing ancestors.
SystemResult<void> make_directories(std::string_view path);

// Writes all of `bytes` to `fd`, retrying interrupted calls.
SystemResult<void> write_all(const UniqueFd& fd, std::string_view bytes);

// The last byte of the open file; nothing when it is empty or cannot be read.
std::optional<char> read_last_byte(const UniqueFd& fd);

// Takes an exclusive lock on the whole of the open file, waiting without a
// limit. It is released when the descriptor is closed. Open-file-description
// locks exclude other threads as well as other processes.
SystemResult<void> lock_whole_file(const UniqueFd& fd);

// Flushes a file to stable storage.
SystemResult<void> sync(const UniqueFd& fd);

struct FileStatus {
  std::uint64_t size = 0;
  support::Instant modified;
};

struct DirectoryEntry {
  std::string name;  // as text, bytes that are not UTF-8 replaced by U+FFFD
  support::Instant modified;
  std::uint64_t size = 0;
};

class FileLock;

// A directory held open. Every file is named relative to it, so nothing that
// moves or links a directory on the way after it was opened changes where a
// read or a write lands. Names are single path components. Files are opened
// without following a symbolic link at their name, and only regular files
// are opened: a device or a FIFO is refused (ENXIO) without blocking.
class Directory {
 public:
  enum class Missing { fail, create };

  // The directory at `path`, links followed all the way: a directory that
  // the user names. With `create`, it is made with its missing ancestors.
  static SystemResult<Directory> open(std::string_view path, Missing missing);

  // The directory `relative` below `root`. The root is the user's and is
  // opened as `open` does; below it, no component is reached through a
  // symbolic link (ELOOP for one), and with `create` the missing ones are
  // made. `relative` holds only ordinary names ("", "." and ".." between
  // separators are EINVAL). A path without any link is opened in one call;
  // else the walk goes one component at a time from the opened root.
  static SystemResult<Directory> open_beneath(std::string_view root, std::string_view relative, Missing missing);

  // The whole content of the regular file `relative` below `root`, reached
  // as `open_beneath` reaches a directory, a link at its name refused; as
  // `read_file` gives it.
  static FileContent read_file_beneath(std::string_view root, std::string_view relative, std::size_t max_bytes);

  // The regular file `relative` below `root`, reached as `open_beneath`
  // reaches a directory, opened as `open_for_append` opens it.
  static SystemResult<UniqueFd> open_for_append_beneath(std::string_view root, std::string_view relative);

  // The directory's path as it was opened, for file paths in messages.
  const std::string& path() const { return path_; }

  // The whole content of the regular file `name`, of at most `max_bytes`
  // bytes; `missing` when there is no such entry, `failed` for every other
  // case, a symbolic link at `name` included.
  FileContent read_file(std::string_view name, std::size_t max_bytes) const;

  // Creates the file `name`, which must not exist (EEXIST when the name is
  // taken, by a symbolic link too), open for writing.
  SystemResult<UniqueFd> create_exclusive(std::string_view name) const;

  // Opens the regular file `name` for reading and appending, creating it
  // when missing; other processes may open, rename and delete it meanwhile.
  SystemResult<UniqueFd> open_for_append(std::string_view name) const;

  // Creates the empty regular file `name` unless an entry of that name
  // exists; never truncates.
  SystemResult<void> create_if_missing(std::string_view name) const;

  // Size and modification time of the entry `name`, a link not followed.
  std::optional<FileStatus> status(std::string_view name) const;

  // The entries with their modification times and sizes, in listing order;
  // entries that cannot be examined are skipped.
  SystemResult<std::vector<DirectoryEntry>> list() const;

  // Renames `from` to `to` within this directory, replacing `to` in one step.
  SystemResult<void> rename_replacing(std::string_view from, std::string_view to) const;

  // Renames `from` to `to` unless `to` exists (then EEXIST): an
  // existing entry is never replaced, even by a rename racing this one.
  SystemResult<void> rename_without_replacing(std::string_view from, std::string_view to) const;

  SystemResult<void> remove_file(std::string_view name) const;

  // Flushes the directory's entries to stable storage.
  SystemResult<void> sync() const;

 private:
  friend class FileLock;

  Directory(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  // `open_beneath` one component at a time from the opened root.
  static SystemResult<Directory> walk_beneath(std::string_view root, std::string_view relative, Missing missing);
  static SystemResult<UniqueFd> open_file_beneath(std::string_view root, std::string_view relative, int flags);

  UniqueFd fd_;
  std::string path_;
};

// An exclusive lock on a whole file, held until the object goes. Waits for
// other holders without a time limit.
class FileLock {
 public:
  // Locks the regular file `name` of `directory`, creating it when missing
  // (opening it for reading only when that is all it allows); a symbolic
  // link or a special file at `name` is refused.
  static SystemResult<FileLock> acquire(const Directory& directory, std::string_view name);

 private:
  explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

// `count` characters drawn at random from the ASCII letters and digits.
std::string random_alphanumerics(std::size_t count);

}  // namespace worktree_runtime::platform
