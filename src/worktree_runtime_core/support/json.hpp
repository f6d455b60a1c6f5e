#pragma once

#include <cstdint>
#include <cstring>
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

// Whether `c` may stand unescaped inside a JSON string: not a quote, a
// backslash or a control character.
constexpr bool is_plain_json_string_byte(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
}

// The length of the leading run of `text` that may stand unescaped inside a
// JSON string, checked sixteen bytes at a time (a vector of the GCC and Clang
// extensions: SSE2 on x86-64, NEON on AArch64).
inline std::size_t plain_json_string_run(std::string_view text) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  std::size_t index = 0;
  for (; index + sizeof(Bytes) <= text.size(); index += sizeof(Bytes)) {
    Bytes bytes;
    std::memcpy(&bytes, text.data() + index, sizeof bytes);
    const auto special = (bytes == '"') | (bytes == '\\') | (bytes < 0x20);
    std::uint64_t halves[2];
    std::memcpy(halves, &special, sizeof halves);
    if ((halves[0] | halves[1]) != 0) break;
  }
  while (index < text.size() && is_plain_json_string_byte(text[index])) ++index;
  return index;
}

}  // namespace worktree_runtime::support
