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
// arrays and objects nested at most kMaxJsonNesting levels, at most
// kMaxJsonDocumentValues values. Of repeated keys the last counts. Integers become 64-bit integers and other numbers doubles,
// as nlohmann's reader makes them; numbers out of their range are kept as
// raw text. The CoreError describes what is wrong and where; its reason code
// is kJsonPastBoundReason when a bound was passed before anything malformed
// was seen: the document is then unreadable rather than malformed. The tree
// is the caller's to hold in a JsonTree (json_tree.hpp), so that it is freed
// without allocating.
Result<nlohmann::json> read_json_document(std::string_view text);

inline constexpr std::string_view kJsonPastBoundReason = "JSON_PAST_BOUND";

// `document` pretty-printed as nlohmann's dump(2) writes it (keys in byte
// order, two-space indentation, non-ASCII unescaped), with raw numbers as
// their text. No final line feed. Nothing once the text would pass
// `max_bytes` (indentation grows with depth, so a small document nested deep
// can render to gigabytes), or the document passes the nesting or value
// bound of `read_json_document`: what is rendered reads back.
std::optional<std::string> render_json_indented(const nlohmann::json& document, std::size_t max_bytes);

// Whether the JSON text `text` nests arrays and objects deeper than
// `max_nesting` levels or holds more than `max_values` values (counted by
// their brackets and separators), strings skipped. Guards a parser that
// builds a tree, and a recursive step over it, from text that the parser then
// checks in full.
bool json_exceeds(std::string_view text, std::size_t max_nesting, std::size_t max_values);

}  // namespace worktree_runtime::support
