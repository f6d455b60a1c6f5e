#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "support/core_error.hpp"

namespace worktree_runtime::support {

// A number that neither a double nor a 64-bit integer holds (1e400, 2**70)
// is kept as its own text, in a binary value of this subtype: JSON text
// never yields a binary value, so the two cannot be confused.
inline constexpr std::uint8_t kRawNumberSubtype = 0x4e;

// One JSON document read strictly: valid UTF-8, the standard grammar, only
// JSON white space (space, tab, line feed, carriage return) around the value,
// arrays and objects nested at most kMaxJsonNesting levels. Of repeated keys
// the last counts. Integers become 64-bit integers and other numbers doubles,
// as nlohmann's reader makes them; numbers out of their range are kept as
// raw text. The CoreError describes what is wrong and where.
Result<nlohmann::json> read_json_document(std::string_view text);

// `document` pretty-printed as nlohmann's dump(2) writes it (keys in byte
// order, two-space indentation, non-ASCII unescaped), with raw numbers as
// their text. No final line feed.
std::string render_json_indented(const nlohmann::json& document);

// Whether arrays and objects in `text` nest deeper than `bound` levels,
// brackets inside strings not counted. Meant to guard a recursive step over
// text that a parser then checks in full.
bool json_nesting_exceeds(std::string_view text, std::size_t bound);

}  // namespace worktree_runtime::support
