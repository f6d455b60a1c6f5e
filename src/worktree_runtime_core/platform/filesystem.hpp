#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.hpp"

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

// The whole content of a file. `missing` when neither it nor a directory on
// its way exists; `failed` for every other error (a directory, no permission,
// an I/O error).
FileContent read_whole_file(std::string_view path);

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> read_file(std::string_view path);

// Whether the file-system metadata of `path` can be read, links followed.
bool exists(std::string_view path);

// Whether `path` names a regular file, links followed.
bool is_regular_file(std::string_view path);

// Creates `path` and its missing ancestors; false when that fails.
bool make_directories(std::string_view path);

// Creates a new file that did not exist, open for writing. On failure the
// descriptor is empty and `errno` tells why (EEXIST when the name is taken).
UniqueFd create_exclusive(std::string_view path);

// Writes all of `bytes` to `fd`.
bool write_all(const UniqueFd& fd, std::string_view bytes);

// Flushes a file, or a directory's entries, to stable storage.
bool sync(const UniqueFd& fd);
bool sync_directory(std::string_view path);

// Renames `from` to `to`, replacing `to` in one step.
bool rename_replacing(std::string_view from, std::string_view to);

bool remove_file(std::string_view path);

// An exclusive lock on a whole file, held until the object goes. Waits for
// other holders without a time limit.
class FileLock {
 public:
  // Locks the file at `path`, creating it when missing. Check with `locked()`.
  explicit FileLock(std::string_view path);
  bool locked() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

// `count` characters drawn at random from the ASCII letters and digits.
std::string random_alphanumerics(std::size_t count);

}  // namespace worktree_runtime::platform
