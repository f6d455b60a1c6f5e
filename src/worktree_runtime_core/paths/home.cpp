#include "paths/home.hpp"

#include "paths/paths.hpp"
#include "platform/process_environment.hpp"

namespace worktree_runtime::paths {

std::string expand_home(std::string_view home) {
  if (!home.starts_with('~')) return std::string(home);
  const platform::Environment environment = platform::Environment::live();
  std::optional<std::string> user_home = environment.value("USERPROFILE");
  if (!user_home) user_home = environment.value("HOME");
  if (!user_home || user_home->empty()) return std::string(home);
  const std::size_t rest = home.find_first_not_of("/\\", 1);
  if (rest == std::string_view::npos) return *user_home;
  return join_path(*user_home, home.substr(rest));
}

std::string resolve_home_dir(std::optional<std::string_view> home) {
  if (home) return expand_home(*home);
  for (const char* variable : {"USERPROFILE", "HOME"}) {
    if (const auto value = platform::Environment::live().non_empty(variable)) return expand_home(*value);
  }
  return ".";
}

}  // namespace worktree_runtime::paths
