#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace worktree_runtime::support {

// Removes, at both ends, the characters with the Unicode White_Space property.
// Bytes that are not valid UTF-8 are never white space.
std::string_view trim_white_space(std::string_view text);

bool is_blank(std::string_view text);

// Returns `bytes` as valid UTF-8: each maximal ill-formed subsequence becomes
// U+FFFD, the way CPython's "replace" error handler decodes.
std::string to_valid_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// U+FEFF in UTF-8. JSON never starts with it; TOML may.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ASCII digits of the number grammars of JSON, TOML and YAML.
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }
constexpr bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Appends the UTF-8 form of a Unicode scalar value.
void append_utf8(std::string& out, std::uint32_t code_point);

// Each character replaced by its full lower-case mapping (Unicode's default,
// as in the root locale) and each maximal ill-formed subsequence by U+FFFD.
// The one mapping that depends on context is left out: a capital sigma
// becomes σ, also where a word ends.
std::string lower_case(std::string_view text);

// The text between double quotes, escaped so that every character is visible:
// a backslash before '"' and '\\'; \t, \r, \n and \0; other control, format,
// separator, private-use and unassigned characters as \u{hex}.
std::string quoted_literal(std::string_view text);

// The quoted literals of `texts` in brackets, separated by ", ".
std::string quoted_list(std::span<const std::string> texts);

}  // namespace worktree_runtime::support
