#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/filesystem.hpp"
#include "platform/system_error.hpp"
#include "platform/unique_fd.hpp"

namespace worktree_runtime::platform {

// The file operations of the two writers: the binding store's rewrite and the
// audit log's append, rotation and pruning. Each calls the platform function
// of its name. A test derives from it to make one step fail and then checks
// what the writer left on disk.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual SystemResult<Directory> open_beneath(std::string_view root, std::string_view relative,
                                               Directory::Missing missing) const {
    return Directory::open_beneath(root, relative, missing);
  }
  virtual SystemResult<UniqueFd> open_for_append_beneath(std::string_view root, std::string_view relative) const {
    return Directory::open_for_append_beneath(root, relative);
  }
  virtual FileContent read_file(const Directory& directory, std::string_view name, std::size_t max_bytes) const {
    return directory.read_file(name, max_bytes);
  }
  virtual SystemResult<FileLock> lock_file(const Directory& directory, std::string_view name) const {
    return FileLock::acquire(directory, name);
  }
  virtual SystemResult<void> lock_whole_file(const UniqueFd& fd) const { return platform::lock_whole_file(fd); }
  virtual SystemResult<UniqueFd> create_exclusive(const Directory& directory, std::string_view name) const {
    return directory.create_exclusive(name);
  }
  virtual SystemResult<UniqueFd> open_for_append(const Directory& directory, std::string_view name) const {
    return directory.open_for_append(name);
  }
  virtual SystemResult<void> create_if_missing(const Directory& directory, std::string_view name) const {
    return directory.create_if_missing(name);
  }
  virtual SystemResult<void> write_all(const UniqueFd& fd, std::string_view bytes) const {
    return platform::write_all(fd, bytes);
  }
  virtual SystemResult<void> sync(const UniqueFd& fd) const { return platform::sync(fd); }
  virtual SystemResult<void> sync_directory(const Directory& directory) const { return directory.sync(); }
  virtual SystemResult<void> rename_replacing(const Directory& directory, std::string_view from,
                                              std::string_view to) const {
    return directory.rename_replacing(from, to);
  }
  virtual SystemResult<void> rename_without_replacing(const Directory& directory, std::string_view from,
                                                      std::string_view to) const {
    return directory.rename_without_replacing(from, to);
  }
  virtual SystemResult<void> remove_file(const Directory& directory, std::string_view name) const {
    return directory.remove_file(name);
  }
  virtual SystemResult<std::vector<DirectoryEntry>> list(const Directory& directory) const { return directory.list(); }
};

}  // namespace worktree_runtime::platform
