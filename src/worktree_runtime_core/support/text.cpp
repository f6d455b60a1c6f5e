#include "support/text.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <cstdint>

namespace worktree_runtime::support {
namespace {

// The 25 code points with the White_Space property, UTF-8 encoded.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",         "\x20",         "\xC2\x85",
    "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Every white-space character starts with one of these bytes; most text
// starts with none of them, which keeps trimming to one comparison.
bool may_start_white_space(unsigned char byte) {
  return (byte >= 0x09 && byte <= 0x0D) || byte == 0x20 || byte == 0xC2 || (byte >= 0xE1 && byte <= 0xE3);
}

std::size_t white_space_prefix_length(std::string_view text) {
  if (text.empty() || !may_start_white_space(static_cast<unsigned char>(text.front()))) return 0;
  for (std::string_view space : kWhiteSpace) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

// Every white-space character ends with an ASCII control or space byte or a
// continuation byte.
std::size_t white_space_suffix_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto last = static_cast<unsigned char>(text.back());
  if (last < 0x80 && !may_start_white_space(last)) return 0;
  for (std::string_view space : kWhiteSpace) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed sequence at the start of `bytes`, or the length of
// its maximal ill-formed prefix as a negative number (at least one byte).
int sequence_length(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return 1;
  int length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int index = 1; index < length; ++index) {
    if (static_cast<std::size_t>(index) >= bytes.size()) return -index;
    const auto byte = static_cast<unsigned char>(bytes[index]);
    const bool in_range = index == 1 ? (byte >= low && byte <= high) : is_continuation(byte);
    if (!in_range) return -index;
  }
  return length;
}

// Characters that would be invisible or ambiguous inside a quoted literal.
bool needs_code_point_escape(UChar32 code_point) {
  if (code_point == U' ') return false;
  switch (u_charType(code_point)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

std::string lower_hex(uint32_t value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789abcdef"[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

void append_escaped(std::string& out, UChar32 code_point, std::string_view encoded) {
  switch (code_point) {
    case U'"':
      out += "\\\"";
      return;
    case U'\\':
      out += "\\\\";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\0':
      out += "\\0";
      return;
    default:
      break;
  }
  if (code_point < 0 || needs_code_point_escape(code_point)) {
    out += "\\u{" + lower_hex(code_point < 0 ? 0xFFFD : static_cast<uint32_t>(code_point)) + "}";
  } else {
    out += encoded;
  }
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t length = white_space_prefix_length(text)) text.remove_prefix(length);
  while (std::size_t length = white_space_suffix_length(text)) text.remove_suffix(length);
  return text;
}

bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

std::string to_valid_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const int length = sequence_length(bytes);
    if (length > 0) {
      text.append(bytes.substr(0, static_cast<std::size_t>(length)));
      bytes.remove_prefix(static_cast<std::size_t>(length));
    } else {
      text.append(kReplacementCharacter);
      bytes.remove_prefix(static_cast<std::size_t>(-length));
    }
  }
  return text;
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const int length = sequence_length(bytes);
    if (length < 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(length));
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

std::string quoted_literal(std::string_view text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t offset = 0;
  while (offset < length) {
    const int32_t start = offset;
    UChar32 code_point;
    U8_NEXT(bytes, offset, length, code_point);
    append_escaped(out, code_point,
                   text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start)));
  }
  out += '"';
  return out;
}

std::string quoted_list(std::span<const std::string> texts) {
  std::string out = "[";
  for (std::size_t index = 0; index < texts.size(); ++index) {
    if (index > 0) out += ", ";
    out += quoted_literal(texts[index]);
  }
  out += ']';
  return out;
}

}  // namespace worktree_runtime::support
