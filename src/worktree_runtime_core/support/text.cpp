#include "support/text.hpp"

#include <utf8proc.h>

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

// Calls visit(code_point, encoded) for each character of `text`, with -1 for
// each maximal ill-formed subsequence.
template <typename Visit>
void for_each_character(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const int length = sequence_length(text);
    const auto size = static_cast<std::size_t>(length > 0 ? length : -length);
    utf8proc_int32_t code_point = -1;
    if (length > 0) {
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), length, &code_point);
    }
    visit(code_point, text.substr(0, size));
    text.remove_prefix(size);
  }
}

// Characters that would be invisible or ambiguous inside a quoted literal.
bool needs_code_point_escape(utf8proc_int32_t code_point) {
  if (code_point == U' ') return false;
  switch (utf8proc_category(code_point)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
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

void append_escaped(std::string& out, utf8proc_int32_t code_point, std::string_view encoded) {
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

std::string lower_case(std::string_view text) {
  std::string lowered;
  lowered.reserve(text.size());
  for_each_character(text, [&](utf8proc_int32_t code_point, std::string_view) {
    if (code_point < 0) {
      lowered += kReplacementCharacter;
    } else if (code_point == 0x130) {
      // The one unconditional full mapping of SpecialCasing.txt; utf8proc
      // has the simple mappings, which give every other character's.
      lowered += "i\xCC\x87";
    } else {
      append_utf8(lowered, static_cast<std::uint32_t>(utf8proc_tolower(code_point)));
    }
  });
  return lowered;
}

std::string quoted_literal(std::string_view text) {
  std::string out = "\"";
  for_each_character(
      text, [&](utf8proc_int32_t code_point, std::string_view encoded) { append_escaped(out, code_point, encoded); });
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
