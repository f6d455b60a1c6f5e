#include "settings/pyproject.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "platform/filesystem.hpp"
#include "support/input_limits.hpp"
#include "support/text.hpp"

namespace worktree_runtime::settings {
namespace {

bool is_blank(char character) { return character == ' ' || character == '\t'; }

using support::is_digit;
using support::is_hex_digit;
using support::is_octal_digit;

bool is_letter_or_digit(char character) {
  return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') || is_digit(character);
}

bool is_bare_key_character(char character) {
  return is_letter_or_digit(character) || character == '_' || character == '-';
}

// The characters of numbers, booleans, dates and times.
bool is_scalar_character(char character) {
  return is_bare_key_character(character) || character == '+' || character == '.' || character == ':';
}

bool is_binary_digit(char character) { return character == '0' || character == '1'; }

// Each `take` removes its part from the front of `rest` and says whether it
// was there; on false, `rest` may have lost a part of it.
bool take(std::string_view& rest, std::string_view part) {
  if (!rest.starts_with(part)) return false;
  rest.remove_prefix(part.size());
  return true;
}

bool take_one_of(std::string_view& rest, std::string_view characters) {
  if (rest.empty() || characters.find(rest.front()) == std::string_view::npos) return false;
  rest.remove_prefix(1);
  return true;
}

bool take_digits(std::string_view& rest, std::size_t count) {
  for (std::size_t index = 0; index < count; ++index) {
    if (rest.empty() || !is_digit(rest.front())) return false;
    rest.remove_prefix(1);
  }
  return true;
}

// One digit or more.
bool take_plain_digit_run(std::string_view& rest) {
  if (!take_digits(rest, 1)) return false;
  while (take_digits(rest, 1)) {
  }
  return true;
}

// Digits, single underscores between them allowed.
bool take_digit_run(std::string_view& rest, bool (*is_digit_of_base)(char)) {
  if (rest.empty() || !is_digit_of_base(rest.front())) return false;
  rest.remove_prefix(1);
  while (true) {
    if (!rest.empty() && is_digit_of_base(rest.front())) {
      rest.remove_prefix(1);
    } else if (rest.size() >= 2 && rest[0] == '_' && is_digit_of_base(rest[1])) {
      rest.remove_prefix(2);
    } else {
      return true;
    }
  }
}

bool is_number(std::string_view rest) {
  if (take(rest, "0x")) return take_digit_run(rest, is_hex_digit) && rest.empty();
  if (take(rest, "0o")) return take_digit_run(rest, is_octal_digit) && rest.empty();
  if (take(rest, "0b")) return take_digit_run(rest, is_binary_digit) && rest.empty();
  take_one_of(rest, "+-");
  if (rest == "inf" || rest == "nan") return true;
  if (!take(rest, "0") && !take_digit_run(rest, is_digit)) return false;
  if (take(rest, ".") && !take_digit_run(rest, is_digit)) return false;
  if (take_one_of(rest, "eE")) {
    take_one_of(rest, "+-");
    if (!take_digit_run(rest, is_digit)) return false;
  }
  return rest.empty();
}

// HH:MM:SS with an optional fraction, then an offset when `offset` allows one.
bool is_time(std::string_view rest, bool offset) {
  if (!(take_digits(rest, 2) && take(rest, ":") && take_digits(rest, 2) && take(rest, ":") && take_digits(rest, 2))) {
    return false;
  }
  if (take(rest, ".") && !take_plain_digit_run(rest)) return false;
  if (rest.empty() || (offset && (rest == "Z" || rest == "z"))) return true;
  return offset && take_one_of(rest, "+-") && take_digits(rest, 2) && take(rest, ":") && take_digits(rest, 2) &&
         rest.empty();
}

bool is_date_or_time(std::string_view text) {
  std::string_view rest = text;
  if (!(take_digits(rest, 4) && take(rest, "-") && take_digits(rest, 2) && take(rest, "-") && take_digits(rest, 2))) {
    return is_time(text, false);
  }
  return rest.empty() || (take_one_of(rest, "Tt ") && is_time(rest, true));
}

// Whether `text` has the shape of a TOML integer, float, boolean, date or
// time. The library tells these apart by the characters they hold, then parses
// each on assumptions that only these shapes keep.
bool is_scalar(std::string_view text) {
  return text == "true" || text == "false" || is_number(text) || is_date_or_time(text);
}

bool is_escape_letter(char character) {
  return character == 'b' || character == 't' || character == 'n' || character == 'f' || character == 'r' ||
         character == '"' || character == '\\' || character == 'u' || character == 'U';
}

bool is_ascii(char character) { return static_cast<unsigned char>(character) < 0x80; }

// The TOML escape of a code point: \uXXXX, or \UXXXXXXXX past U+FFFF.
std::string unicode_escape(char32_t code_point) {
  const int digits = code_point > 0xFFFF ? 8 : 4;
  std::string escape = digits == 8 ? "\\U" : "\\u";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) escape += "0123456789ABCDEF"[(code_point >> shift) & 0xF];
  return escape;
}

// Walks a UTF-8 text the way the TOML library's parser will (where strings and
// comments begin and end, which segments form keys, what nests in what) and
// keeps from the library what it cannot take:
// - A character outside ASCII that is outside strings and comments, where TOML
//   never allows one. The library classifies such a character as white space
//   or not with undefined behaviour for U+00A1-U+0499, U+2C5E-U+3057 and
//   U+FB26-U+FEFE.
// - The same classification reaches the character after a backslash in a
//   multi-line basic string: a character outside ASCII there is an invalid
//   escape, unless it is the first one after a line-ending backslash and the
//   white space that follows it. That is valid TOML, and reaches the library
//   as its \u escape, which reads the same.
// - Nesting past kMaxTomlNesting: the library recurses once per level when it
//   builds, finishes and destroys the document.
// - A number, boolean, date or time that TOML does not allow: the library
//   classifies a value by its characters and then parses it on assumptions
//   (in places asserted, in places given to the compiler) that only TOML's
//   own shapes keep.
// - Table-naming key segments past kMaxTomlTableSegments: the library looks
//   each up in lists that it searches from the start.
// Anything else invalid is left for the library to report.
class TomlGuard {
 public:
  explicit TomlGuard(std::string_view text) : text_(text) {}

  // The text for the library, or nothing when it must not see it.
  std::optional<std::string> checked_text() && {
    if (text_.starts_with(support::kByteOrderMark)) at_ = support::kByteOrderMark.size();  // the library skips a byte order mark
    if (!document()) return std::nullopt;
    screened_.append(text_.substr(copied_));
    return std::move(screened_);
  }

 private:
  // An array or inline table not yet closed.
  struct Container {
    char closer;
    std::size_t depth;
  };

  enum class Expect { value, key, separator };

  bool at_end() const { return at_ == text_.size(); }

  char peek(std::size_t ahead = 0) const { return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0'; }

  bool take(char character) {
    if (at_end() || text_[at_] != character) return false;
    ++at_;
    return true;
  }

  void skip_blanks() {
    while (is_blank(peek())) ++at_;
  }

  bool line_break() {
    if (peek() == '\r' && peek(1) == '\n') ++at_;
    return take('\n');
  }

  // A comment, up to its line break.
  void skip_comment() {
    while (!at_end() && text_[at_] != '\n') ++at_;
  }

  // Blanks; inside an array or inline table also line breaks and comments.
  void skip_space(bool across_lines) {
    while (true) {
      skip_blanks();
      if (!across_lines) return;
      if (peek() == '#') {
        skip_comment();
      } else if (!line_break()) {
        return;
      }
    }
  }

  bool document() {
    while (!at_end()) {
      skip_blanks();
      if (at_end() || line_break()) continue;
      if (peek() == '#') {
        skip_comment();
        continue;
      }
      if (!(peek() == '[' ? table_header() : key_value_pair()) || !end_of_line()) return false;
    }
    return true;
  }

  bool end_of_line() {
    skip_blanks();
    if (peek() == '#') skip_comment();
    return at_end() || line_break();
  }

  bool table_header() {
    ++at_;
    const bool array_of_tables = take('[');
    const std::optional<std::size_t> segments = key(0);
    if (!segments || !take(']') || (array_of_tables && !take(']'))) return false;
    header_depth_ = *segments;
    return count_table_segments(*segments);
  }

  bool key_value_pair() {
    const std::optional<std::size_t> segments = key(header_depth_);
    if (!segments || !count_table_segments(*segments - 1)) return false;
    skip_blanks();
    return take('=') && value(header_depth_ + *segments);
  }

  // A key below `depth`, with the blanks around it: its number of segments.
  std::optional<std::size_t> key(std::size_t depth) {
    std::size_t segments = 0;
    do {
      skip_blanks();
      if (!key_segment() || depth + ++segments > support::kMaxTomlNesting) return std::nullopt;
      skip_blanks();
    } while (take('.'));
    return segments;
  }

  bool key_segment() {
    const char first = peek();
    if (first == '"' || first == '\'') return !(peek(1) == first && peek(2) == first) && single_line_string();
    const std::size_t start = at_;
    while (is_bare_key_character(peek())) ++at_;
    return at_ > start;
  }

  bool count_table_segments(std::size_t segments) {
    table_segments_ += segments;
    return table_segments_ <= support::kMaxTomlTableSegments;
  }

  // The value of a key at `depth`, with everything nested in it.
  bool value(std::size_t depth) {
    std::vector<Container>& open = open_containers_;
    Expect expect = Expect::value;
    while (true) {
      skip_space(!open.empty());
      if (!open.empty() && take(open.back().closer)) {
        open.pop_back();
        expect = Expect::separator;
        continue;
      }
      switch (expect) {
        case Expect::value:
          if (peek() == '[' || peek() == '{') {
            if (depth > support::kMaxTomlNesting) return false;
            const char closer = text_[at_++] == '[' ? ']' : '}';
            open.push_back({closer, depth});
            expect = closer == ']' ? Expect::value : Expect::key;
            ++depth;  // an array's elements
            break;
          }
          if (!(peek() == '"' || peek() == '\'' ? string() : scalar())) return false;
          expect = Expect::separator;
          break;
        case Expect::key: {
          const std::optional<std::size_t> segments = key(open.back().depth);
          if (!segments || !count_table_segments(*segments - 1)) return false;
          skip_blanks();
          if (!take('=')) return false;
          depth = open.back().depth + *segments;
          expect = Expect::value;
          break;
        }
        case Expect::separator:
          if (open.empty()) return true;
          if (!take(',')) return false;
          depth = open.back().depth + 1;
          expect = open.back().closer == ']' ? Expect::value : Expect::key;
          break;
      }
    }
  }

  // A number, boolean, date or time.
  bool scalar() {
    const std::size_t start = at_;
    while (is_scalar_character(peek()) || (at_ > start && space_before_time())) ++at_;
    return is_scalar(text_.substr(start, at_ - start));
  }

  // A date and a time may stand apart by one space.
  bool space_before_time() const { return peek() == ' ' && is_digit(peek(1)) && is_digit(peek(2)) && peek(3) == ':'; }

  bool string() {
    const char quote = peek();
    if (peek(1) != quote || peek(2) != quote) return single_line_string();
    at_ += 3;
    return multi_line_string(quote);
  }

  bool single_line_string() {
    const char quote = text_[at_++];
    while (!at_end()) {
      const char character = text_[at_++];
      if (character == quote) return true;
      if (character == '\n' || character == '\r') return false;
      if (character == '\\' && quote == '"' && !take_if_escape_letter()) return false;
    }
    return false;
  }

  bool take_if_escape_letter() {
    if (!is_escape_letter(peek())) return false;
    ++at_;
    return true;
  }

  bool multi_line_string(char quote) {
    while (!at_end()) {
      if (peek() == quote) {
        const std::size_t quotes = quote_run(quote);
        if (quotes >= 3) return quotes <= 5;  // the closing delimiter and at most two quotes before it
        continue;
      }
      if (text_[at_++] == '\\' && quote == '"' && !take_if_escape_letter() && !line_ending_backslash()) return false;
    }
    return false;
  }

  std::size_t quote_run(char quote) {
    const std::size_t start = at_;
    while (take(quote)) {
    }
    return at_ - start;
  }

  // After a backslash: blanks, a line break, then any blanks and line breaks,
  // all of which the string leaves out.
  bool line_ending_backslash() {
    skip_blanks();
    if (!line_break()) return false;
    do skip_blanks();
    while (line_break());
    escape_character_outside_ascii();
    return true;
  }

  void escape_character_outside_ascii() {
    if (at_end() || is_ascii(text_[at_])) return;
    const auto lead = static_cast<unsigned char>(text_[at_]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    auto code_point = static_cast<char32_t>(lead & (0x7F >> length));
    for (std::size_t index = 1; index < length; ++index) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(text_[at_ + index]) & 0x3F);
    }
    screened_.append(text_.substr(copied_, at_ - copied_));
    screened_ += unicode_escape(code_point);
    at_ += length;
    copied_ = at_;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t header_depth_ = 0;
  std::size_t table_segments_ = 0;
  // Those of the value being walked; empty between values.
  std::vector<Container> open_containers_;
  // The text for the library: `text_` up to `copied_`, with escapes in place.
  std::string screened_;
  std::size_t copied_ = 0;
};

}  // namespace

std::optional<toml::table> parse_pyproject(std::string_view text) {
  if (!support::is_valid_utf8(text)) return std::nullopt;
  const std::optional<std::string> checked = TomlGuard(text).checked_text();
  if (!checked) return std::nullopt;
  try {
    return toml::parse(*checked);
  } catch (const toml::parse_error&) {
    return std::nullopt;
  }
}

std::optional<toml::table> read_pyproject(std::string_view path) {
  const std::optional<std::string> text = platform::read_file(path, support::kConfigurationFileByteLimit);
  if (!text) return std::nullopt;
  return parse_pyproject(*text);
}

}  // namespace worktree_runtime::settings
