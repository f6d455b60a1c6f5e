#include "platform/process_environment.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "support/text.hpp"

namespace worktree_runtime::platform {

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> current_directory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return support::to_valid_utf8(buffer.data());
}

}  // namespace worktree_runtime::platform
