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
// kMaxJsonDocumentValues values. Of repeated keys
// the last counts. Integers become 64-bit integers and other numbers doubles,
// as nlohmann's reader makes them; numbers out of their range are kept as
// raw text. The CoreError describes what is wrong and where. The tree is the
// caller's to hold in a JsonTree (json_tree.hpp), so that it is freed
// without allocating.
Result<nlohmann::json> read_json_document(std::string_view text);

// `document` pretty-printed as nlohmann's dump(2) writes it (keys in byte
// order, two-space indentation, non-ASCII unescaped), with raw numbers as
// their text. No final line feed. Nothing once the text would pass
// `max_bytes`: indentation grows with depth, so a small document nested deep
// can render to gigabytes.
std::optional<std::string> render_json_indented(const nlohmann::json& document, std::size_t max_bytes);

// Whether the text of a bindings.json or metadata.json stays within the
// bounds its readers keep: kJsonDocumentByteLimit bytes, kMaxJsonNesting
// levels and kMaxJsonDocumentValues values as `json_exceeds` counts them. A
// text past one is unreadable rather than malformed, and is never written.
bool within_document_bounds(std::string_view text);

// Whether the JSON text `text` nests arrays and objects deeper than
// `max_nesting` levels or holds more than `max_values` values (counted by
// their brackets and separators), strings skipped. Guards a parser that
// builds a tree, and a recursive step over it, from text that the parser then
// checks in full.
bool json_exceeds(std::string_view text, std::size_t max_nesting, std::size_t max_values);

}  // namespace worktree_runtime::support
