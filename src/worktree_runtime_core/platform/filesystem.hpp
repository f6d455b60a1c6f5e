#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Creates `path` and its missing ancestors; false, with `errno` set, when
// that fails.
bool make_directories(std::string_view path);

// Creates a new file that did not exist, open for writing. On failure the
// descriptor is empty and `errno` tells why (EEXIST when the name is taken,
// by a symbolic link too).
UniqueFd create_exclusive(std::string_view path);

// Writes all of `bytes` to `fd`, retrying interrupted calls. On failure
// `errno` tells why; it is 0 when the system accepted zero bytes.
bool write_all(const UniqueFd& fd, std::string_view bytes);

// Opens `path` for reading and appending, creating it when missing; other
// processes may open, rename and delete it meanwhile. A symbolic link at
// `path` is refused (ELOOP), never followed.
UniqueFd open_for_append(std::string_view path);

// The last byte of the open file; nothing when it is empty or cannot be read.
std::optional<char> read_last_byte(const UniqueFd& fd);

// Creates an empty file at `path` unless one exists; never truncates, and
// never follows a symbolic link at `path`.
bool create_if_missing(std::string_view path);

// Takes an exclusive lock on the whole of the open file, waiting without a
// limit. It is released when the descriptor is closed. Open-file-description
// locks exclude other threads as well as other processes.
bool lock_whole_file(const UniqueFd& fd);

std::optional<std::uint64_t> file_size(std::string_view path);
std::optional<support::Instant> modification_time(std::string_view path);

struct DirectoryEntry {
  std::string name;  // as text, bytes that are not UTF-8 replaced by U+FFFD
  std::string path;
  support::Instant modified;
  std::uint64_t size = 0;
};

// The entries of a directory with their modification times and sizes, in
// listing order; entries that cannot be examined are skipped. Nothing, with
// `errno` set, when the directory cannot be listed.
std::optional<std::vector<DirectoryEntry>> list_directory(std::string_view path);

// Flushes a file, or a directory's entries, to stable storage.
bool sync(const UniqueFd& fd);
bool sync_directory(std::string_view path);

// Renames `from` to `to`, replacing `to` in one step.
bool rename_replacing(std::string_view from, std::string_view to);

// Renames `from` to `to` unless `to` exists (then false with EEXIST): an
// existing entry is never replaced, even by a rename racing this one.
bool rename_without_replacing(std::string_view from, std::string_view to);

bool remove_file(std::string_view path);

// An exclusive lock on a whole file, held until the object goes. Waits for
// other holders without a time limit.
class FileLock {
 public:
  // Locks the file at `path`, creating it when missing (opening it for
  // reading only when that is all it allows); a symbolic link at `path` is
  // refused, not followed. Check with `locked()`.
  explicit FileLock(std::string_view path);
  bool locked() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

// `count` characters drawn at random from the ASCII letters and digits.
std::string random_alphanumerics(std::size_t count);

}  // namespace worktree_runtime::platform
