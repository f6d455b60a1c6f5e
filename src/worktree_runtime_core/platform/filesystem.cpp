#include "platform/filesystem.hpp"

#include <climits>
#include <cstdlib>

#include "support/text.hpp"

namespace worktree_runtime::platform {

std::optional<std::string> canonicalize(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string terminated(path);
  char resolved[PATH_MAX];
  if (::realpath(terminated.c_str(), resolved) == nullptr) return std::nullopt;
  return support::to_valid_utf8(resolved);
}

}  // namespace worktree_runtime::platform
