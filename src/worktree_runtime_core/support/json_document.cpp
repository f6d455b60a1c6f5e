#include "support/json_document.hpp"

#include <charconv>
#include <vector>

#include "support/input_limits.hpp"
#include "support/json.hpp"
#include "support/json_tree.hpp"
#include "support/text.hpp"

namespace worktree_runtime::support {
namespace {

using nlohmann::json;

bool is_json_white_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Made by the converting constructor: json::binary() marks its result binary
// before allocating the value, and when that allocation fails, the result is
// destroyed as a binary value that it does not hold.
json raw_number(std::string_view text) {
  return json::binary_t(json::binary_t::container_type(text.begin(), text.end()), kRawNumberSubtype);
}

bool is_raw_number(const json& value) {
  return value.is_binary() && value.get_binary().has_subtype() && value.get_binary().subtype() == kRawNumberSubtype;
}

// A single pass over the text. Containers are kept on an explicit stack, so
// the nesting bound, not the call stack, limits how deep a document goes.
class DocumentReader {
 public:
  explicit DocumentReader(std::string_view text) : text_(text) {}

  Result<json> read() {
    if (!is_valid_utf8(text_)) return CoreError{"invalid UTF-8", {}};
    // Held in a JsonTree until it is whole: a tree left unfinished by an
    // error or by running out of memory is freed without allocating.
    JsonTree root;
    json* slot = &*root;
    skip_white_space();
    while (true) {
      if (!read_value(*slot)) return failure();
      if (opened_) {
        opened_ = false;
        if (open_.size() == kMaxJsonNesting) {
          past_bound_ = true;
          return failure("nesting deeper than the bound");
        }
        open_.push_back(slot);
        skip_white_space();
        if (consume(closing_of(*slot))) {
          open_.pop_back();
        } else {
          slot = first_slot(*slot);
          if (slot == nullptr) return failure();
          continue;
        }
      }
      slot = next_slot();
      if (slot == nullptr) break;
    }
    if (!error_.empty()) return failure();
    skip_white_space();
    if (position_ != text_.size()) return failure();
    return std::move(*root);
  }

 private:
  static char closing_of(const json& container) { return container.is_object() ? '}' : ']'; }

  CoreError failure(std::string_view what = "unexpected character") {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(position_);
    return {error_, past_bound_ ? std::string(kJsonPastBoundReason) : std::string()};
  }

  char peek() const { return position_ < text_.size() ? text_[position_] : '\0'; }
  bool at_end() const { return position_ >= text_.size(); }

  bool consume(char expected) {
    if (at_end() || text_[position_] != expected) return false;
    ++position_;
    return true;
  }

  void skip_white_space() {
    while (!at_end() && is_json_white_space(text_[position_])) ++position_;
  }

  // Where the first member or element of a just-opened container goes.
  json* first_slot(json& container) {
    if (container.is_array()) return &container.get_ref<json::array_t&>().emplace_back();
    return member_slot(container);
  }

  // After a value: closes the containers that end here and returns where the
  // next value goes, or null at the end of the document or on an error.
  json* next_slot() {
    while (!open_.empty()) {
      skip_white_space();
      json& container = *open_.back();
      if (consume(',')) {
        skip_white_space();
        if (container.is_array()) return &container.get_ref<json::array_t&>().emplace_back();
        return member_slot(container);
      }
      if (!consume(closing_of(container))) {
        failure();
        return nullptr;
      }
      open_.pop_back();
    }
    return nullptr;
  }

  // Reads `"key" :` and returns the member's place; a repeated key's value
  // is replaced, so the last occurrence counts. The value replaced is
  // dismantled first, as assigning over a container would free it by
  // allocating.
  json* member_slot(json& object) {
    std::string key;
    if (!consume('"') || !read_string_body(key)) {
      failure();
      return nullptr;
    }
    skip_white_space();
    if (!consume(':')) {
      failure();
      return nullptr;
    }
    skip_white_space();
    json& member = object.get_ref<json::object_t&>()[std::move(key)];
    dismantle(member);
    member = json();
    return &member;
  }

  // One value into `slot`; a container is only opened (see `opened_`).
  bool read_value(json& slot) {
    if (++values_ > kMaxJsonDocumentValues) {
      past_bound_ = true;
      return false;
    }
    switch (peek()) {
      case '{':
        ++position_;
        slot = json::object();
        opened_ = true;
        return true;
      case '[':
        ++position_;
        slot = json::array();
        opened_ = true;
        return true;
      case '"': {
        ++position_;
        std::string text;
        if (!read_string_body(text)) return false;
        slot = std::move(text);
        return true;
      }
      case 't':
        return read_literal("true", true, slot);
      case 'f':
        return read_literal("false", false, slot);
      case 'n':
        return read_literal("null", nullptr, slot);
      default:
        return read_number(slot);
    }
  }

  bool read_literal(std::string_view word, json value, json& slot) {
    if (text_.substr(position_, word.size()) != word) return false;
    position_ += word.size();
    slot = std::move(value);
    return true;
  }

  std::size_t digits() {
    const std::size_t start = position_;
    while (!at_end() && is_digit(text_[position_])) ++position_;
    return position_ - start;
  }

  bool read_number(json& slot) {
    const std::size_t start = position_;
    const bool negative = consume('-');
    if (consume('0')) {
      if (is_digit(peek())) return false;
    } else if (digits() == 0) {
      return false;
    }
    bool integral = true;
    if (consume('.')) {
      integral = false;
      if (digits() == 0) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++position_;
      integral = false;
      if (!consume('+')) consume('-');
      if (digits() == 0) return false;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + position_;
    if (integral && negative) {
      std::int64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) return slot = value, true;
    } else if (integral) {
      std::uint64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) return slot = value, true;
    } else {
      double value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) return slot = value, true;
    }
    slot = raw_number(std::string_view(first, static_cast<std::size_t>(last - first)));
    return true;
  }

  // Four hexadecimal digits after "\u".
  bool read_code_unit(std::uint32_t& unit) {
    if (text_.size() - position_ < 4) return false;
    unit = 0;
    for (int index = 0; index < 4; ++index) {
      const int value = hex_value(text_[position_++]);
      if (value < 0) return false;
      unit = unit * 16 + static_cast<std::uint32_t>(value);
    }
    return true;
  }

  // A "\u" escape, with the low half of a surrogate pair when the first unit
  // is a high half. A lone half is an error.
  bool read_unicode_escape(std::string& out) {
    std::uint32_t unit = 0;
    if (!read_code_unit(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!consume('\\') || !consume('u') || !read_code_unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, unit);
    return true;
  }

  // The rest of a string whose opening quote is consumed.
  bool read_string_body(std::string& out) {
    while (true) {
      const std::size_t run = plain_json_string_run(text_.substr(position_));
      out.append(text_.data() + position_, run);
      position_ += run;
      if (at_end()) return false;
      const char c = text_[position_++];
      if (c == '"') return true;
      if (c != '\\' || at_end()) return false;
      switch (text_[position_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          if (!read_unicode_escape(out)) return false;
          break;
        default:
          return false;
      }
    }
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::vector<json*> open_;
  std::size_t values_ = 0;
  bool opened_ = false;
  bool past_bound_ = false;
  std::string error_;
};

// nlohmann's own serializer writes every scalar, so that strings and numbers
// read exactly as dump() writes them.
class IndentedRenderer {
 public:
  IndentedRenderer(std::string& out, std::size_t max_bytes)
      : out_(out),
        max_bytes_(max_bytes),
        scalars_(nlohmann::detail::output_adapter<char>(out), ' ', json::error_handler_t::replace) {}

  // False once the text passes the budget, or the document a bound of the
  // reader (it would not read back); the text is then left unfinished.
  bool render(const json& value, std::size_t indent) {
    if (++values_ > kMaxJsonDocumentValues || (value.is_structured() && indent / 2 >= kMaxJsonNesting)) return false;
    if (is_raw_number(value)) {
      const json::binary_t& text = value.get_binary();
      out_.append(text.begin(), text.end());
    } else if (value.is_object() && !value.empty()) {
      out_ += "{\n";
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
        separate(first, indent + 2);
        scalars_.dump(json(key), false, false, 0);
        out_ += ": ";
        if (!render(member, indent + 2)) return false;
      }
      close('}', indent);
    } else if (value.is_array() && !value.empty()) {
      out_ += "[\n";
      bool first = true;
      for (const json& element : value.get_ref<const json::array_t&>()) {
        separate(first, indent + 2);
        if (!render(element, indent + 2)) return false;
      }
      close(']', indent);
    } else {
      scalars_.dump(value, false, false, 0);
    }
    return out_.size() <= max_bytes_;
  }

 private:
  void separate(bool& first, std::size_t indent) {
    if (!first) out_ += ",\n";
    first = false;
    out_.append(indent, ' ');
  }

  void close(char closing, std::size_t indent) {
    out_ += '\n';
    out_.append(indent, ' ');
    out_ += closing;
  }

  std::string& out_;
  std::size_t max_bytes_;
  std::size_t values_ = 0;
  nlohmann::detail::serializer<json> scalars_;
};

}  // namespace

Result<json> read_json_document(std::string_view text) { return DocumentReader(text).read(); }

std::optional<std::string> render_json_indented(const json& document, std::size_t max_bytes) {
  std::string out;
  if (!IndentedRenderer(out, max_bytes).render(document, 0)) return std::nullopt;
  return out;
}

bool json_exceeds(std::string_view text, std::size_t max_nesting, std::size_t max_values) {
  std::size_t depth = 0;
  std::size_t values = 1;
  bool in_string = false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
    if (in_string) {
      if (c == '\\') {
        ++index;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_nesting || ++values > max_values) return true;
    } else if (c == ',') {
      if (++values > max_values) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace worktree_runtime::support
