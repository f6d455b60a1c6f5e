#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace worktree_runtime::support {

// The member `key` of a JSON object when it is a string; null otherwise
// (absent, another type, or `object` not an object).
inline const std::string* string_member(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

}  // namespace worktree_runtime::support
