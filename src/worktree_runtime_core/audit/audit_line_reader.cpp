#include "audit/audit_line_reader.hpp"

#include <cassert>
#include <charconv>
#include <cstring>
#include <new>
#include <numeric>

#include "audit/audit_record.hpp"
#include "support/input_limits.hpp"
#include "support/json.hpp"
#include "support/json_document.hpp"
#include "support/json_tree.hpp"
#include "support/text.hpp"

namespace worktree_runtime::audit {

// The writer bounds a line's nesting by what this reader's parser reads.
static_assert(support::kMaxAuditLineNesting == simdjson::DEFAULT_MAX_DEPTH);
namespace {

// Deeper payloads are left to the general parser, which knows its own limit.
constexpr int kMaxPayloadDepth = 32;
// An integer of at most this many digits fits 64 bits, and every JSON reader
// reads it alike; the general parser reads longer ones as floating point.
constexpr std::size_t kMaxIntegerDigits = 18;

using support::is_digit;

// A cursor over a line in the writer's layout. Every step either consumes
// what it expects or answers false, and the line is then not in the layout.
class LayoutCursor {
 public:
  explicit LayoutCursor(std::string_view text) : rest_(text) {}

  bool at_end() const { return rest_.empty(); }

  // A literal of the layout; its length is known when compiling.
  template <std::size_t Size>
  bool literal(const char (&text)[Size]) {
    return consume<Size - 1>(text);
  }
  template <std::size_t Length>
  bool literal(const std::array<char, Length>& text) {
    return consume<Length>(text.data());
  }

  bool string(std::optional<std::string_view>& out) {
    if (!literal("\"")) return false;
    const std::size_t length = support::plain_json_string_run(rest_);
    if (length == rest_.size() || rest_[length] != '"') return false;
    out = rest_.substr(0, length);
    rest_.remove_prefix(length + 1);
    return true;
  }

  bool nullable_string(std::optional<std::string_view>& out) { return literal("null") || string(out); }

  // -?(0|[1-9][0-9]*) within 64 bits. "-0" is left to the general parser.
  bool integer(std::optional<std::int64_t>& out) {
    const std::size_t sign = rest_.starts_with('-') ? 1 : 0;
    if (rest_.size() <= sign || !is_digit(rest_[sign])) return false;
    if (rest_[sign] == '0' && (sign == 1 || (rest_.size() > 1 && is_digit(rest_[1])))) return false;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), value);
    if (error != std::errc{}) return false;
    out = value;
    rest_.remove_prefix(static_cast<std::size_t>(end - rest_.data()));
    return true;
  }

  bool nullable_integer(std::optional<std::int64_t>& out) { return literal("null") || integer(out); }

  bool boolean(bool& out) {
    out = literal("true");
    return out || literal("false");
  }

  // One compact JSON value, its text in `out`.
  bool value(std::optional<std::string_view>& out) {
    const std::string_view start = rest_;
    if (!skip_value(0)) return false;
    out = start.substr(0, start.size() - rest_.size());
    return true;
  }

 private:
  template <std::size_t Length>
  bool consume(const char* text) {
    if (rest_.size() < Length || std::memcmp(rest_.data(), text, Length) != 0) return false;
    rest_.remove_prefix(Length);
    return true;
  }

  bool skip_value(int depth) {
    if (rest_.empty() || depth > kMaxPayloadDepth) return false;
    std::optional<std::string_view> ignored;
    switch (rest_.front()) {
      case '{':
        return skip_object(depth + 1);
      case '[':
        return skip_array(depth + 1);
      case '"':
        return string(ignored);
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return skip_number();
    }
  }

  bool skip_object(int depth) {
    rest_.remove_prefix(1);
    if (literal("}")) return true;
    std::optional<std::string_view> key;
    do {
      if (!string(key) || !literal(":") || !skip_value(depth)) return false;
    } while (literal(","));
    return literal("}");
  }

  bool skip_array(int depth) {
    rest_.remove_prefix(1);
    if (literal("]")) return true;
    do {
      if (!skip_value(depth)) return false;
    } while (literal(","));
    return literal("]");
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?, without exponent; an integer short enough
  // to fit 64 bits. The integer "-0" is left to the general parser, which
  // reads it as floating point.
  bool skip_number() {
    const bool negative = rest_.starts_with('-');
    std::size_t index = negative ? 1 : 0;
    const std::size_t integer_start = index;
    while (index < rest_.size() && is_digit(rest_[index])) ++index;
    const std::size_t integer_digits = index - integer_start;
    if (integer_digits == 0 || (integer_digits > 1 && rest_[integer_start] == '0')) return false;
    if (index < rest_.size() && rest_[index] == '.') {
      const std::size_t fraction_start = ++index;
      while (index < rest_.size() && is_digit(rest_[index])) ++index;
      if (index == fraction_start) return false;
    } else if (integer_digits > kMaxIntegerDigits || (negative && rest_[integer_start] == '0')) {
      return false;
    }
    if (index < rest_.size() && (rest_[index] == 'e' || rest_[index] == 'E')) return false;
    rest_.remove_prefix(index);
    return true;
  }

  std::string_view rest_;
};

std::optional<std::int64_t> signed_integer(simdjson::dom::element value) {
  if (value.is_int64()) return value.get_int64().value_unsafe();
  return std::nullopt;
}

std::optional<std::string_view> string_of(simdjson::dom::element value) {
  if (!value.is_string()) return std::nullopt;
  return value.get_string().value_unsafe();
}

// The value of a member as the general parser reads it; a payload is kept
// as its element, written out once its last member is known.
template <AuditFieldKind Kind>
void read_general_value(ReadAuditValue<Kind>& out, simdjson::dom::element value,
                        std::optional<simdjson::dom::element>& payload) {
  if constexpr (Kind == AuditFieldKind::kText || Kind == AuditFieldKind::kNullableText) {
    out = string_of(value);
  } else if constexpr (Kind == AuditFieldKind::kInteger || Kind == AuditFieldKind::kNullableInteger) {
    out = signed_integer(value);
  } else if constexpr (Kind == AuditFieldKind::kFlag) {
    out = value.is_bool() && value.get_bool().value_unsafe();
  } else {
    static_assert(Kind == AuditFieldKind::kPayload);
    payload = value;
  }
}

// A member whose key names no field is passed over.
void read_member(AuditLineFields& fields, std::string_view key, simdjson::dom::element value,
                 std::optional<simdjson::dom::element>& payload) {
  any_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    using Field = AuditFieldAt<Index>;
    if (key != Field::kName) return false;
    read_general_value<Field::kKind>(line_field<Index>(fields), value, payload);
    return true;
  });
}

// The one field whose value is any JSON: the reader keeps one payload text.
constexpr std::size_t kPayloadIndex = [] {
  const auto is_payload = [](const AuditField& field) { return field.kind == AuditFieldKind::kPayload; };
  static_assert(std::ranges::count_if(kAuditFields, is_payload) == 1);
  return static_cast<std::size_t>(std::ranges::find_if(kAuditFields, is_payload) - std::ranges::begin(kAuditFields));
}();

// The value of a member in the writer's own layout.
template <AuditFieldKind Kind>
bool read_layout_value(LayoutCursor& cursor, ReadAuditValue<Kind>& out) {
  if constexpr (Kind == AuditFieldKind::kText) {
    return cursor.string(out);
  } else if constexpr (Kind == AuditFieldKind::kNullableText) {
    return cursor.nullable_string(out);
  } else if constexpr (Kind == AuditFieldKind::kInteger) {
    return cursor.integer(out);
  } else if constexpr (Kind == AuditFieldKind::kNullableInteger) {
    return cursor.nullable_integer(out);
  } else if constexpr (Kind == AuditFieldKind::kFlag) {
    return cursor.boolean(out);
  } else {
    static_assert(Kind == AuditFieldKind::kPayload);
    return cursor.value(out);
  }
}

}  // namespace

StoredAuditRecord::StoredAuditRecord(const AuditLineFields& fields) {
  assert(fields.is_record());
  // Each text's length first, in its slot; their running sums are where the
  // texts end, in slot order.
  for_each_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    constexpr StoredAs stored = stored_as(AuditFieldAt<Index>::kKind);
    constexpr std::size_t slot = stored_slot(Index);
    const auto& value = line_field<Index>(fields);
    if constexpr (stored == StoredAs::kText) {
      text_ends_[slot] = value.value_or("").size();
      present_texts_[slot] = value.has_value();
    } else if constexpr (stored == StoredAs::kInteger) {
      integers_[slot] = value;
    } else {
      flags_[slot] = value;
    }
  });
  std::partial_sum(text_ends_.begin(), text_ends_.end(), text_ends_.begin());
  texts_ = std::make_unique_for_overwrite<char[]>(text_ends_.back());
  for_each_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    if constexpr (stored_as(AuditFieldAt<Index>::kKind) == StoredAs::kText) {
      constexpr std::size_t slot = stored_slot(Index);
      const std::string_view text = line_field<Index>(fields).value_or("");
      std::memcpy(texts_.get() + text_ends_[slot] - text.size(), text.data(), text.size());
    }
  });
}

AuditLineFields StoredAuditRecord::fields() const {
  AuditLineFields fields;
  for_each_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    constexpr StoredAs stored = stored_as(AuditFieldAt<Index>::kKind);
    constexpr std::size_t slot = stored_slot(Index);
    auto& value = line_field<Index>(fields);
    if constexpr (stored == StoredAs::kText) {
      if (present_texts_[slot]) {
        value = text(slot);
      } else if constexpr (AuditFieldAt<Index>::kKind == AuditFieldKind::kText) {
        value = std::string_view();
      }
    } else if constexpr (stored == StoredAs::kInteger) {
      value = integers_[slot];
    } else {
      value = flags_[slot];
    }
  });
  return fields;
}

std::optional<AuditLineFields> read_own_layout(std::string_view line) {
  AuditLineFields fields;
  LayoutCursor cursor(line);
  const bool in_layout = all_line_members([&]<std::size_t Position>(AuditLineMember<Position>) {
                           using Member = AuditLineMember<Position>;
                           return cursor.literal(Member::kLead) &&
                                  read_layout_value<Member::kKind>(cursor, line_field<Member::kIndex>(fields));
                         }) &&
                         cursor.literal("}") && cursor.at_end();
  if (!in_layout) return std::nullopt;
  return fields;
}

std::optional<AuditLineFields> AuditLineReader::read(std::string_view line) {
  if (std::optional<AuditLineFields> fields = read_own_layout(line)) return fields;
  return read_any_json(line);
}

std::optional<AuditLineFields> AuditLineReader::read_any_json(std::string_view line) {
  // Not JSON, though newer simdjson releases look past the mark.
  if (line.starts_with(support::kByteOrderMark)) return std::nullopt;
  // Copied into a buffer kept from line to line, with the padding the
  // parser reads past the end.
  line_buffer_.reserve(line.size() + simdjson::SIMDJSON_PADDING);
  line_buffer_.assign(line);
  simdjson::dom::element value;
  simdjson::error_code error = unless_out_of_memory(
      parser_.parse(line_buffer_.data(), line_buffer_.size(), /*realloc_if_needed=*/false).get(value));
  if (error != simdjson::SUCCESS) {
    // simdjson refuses integers past 64 bits, which the JSON grammar allows,
    // and names that failure differently from one release to the next: the
    // general parser judges every line simdjson refuses. Written again with
    // such integers as floating point, a line it takes reads as what it is.
    // The nesting is bounded first, as simdjson bounds it, since writing the
    // value again recurses once per level, and so is the count of values,
    // each of which costs a node of the tree.
    if (support::json_exceeds(line, support::kMaxAuditLineNesting, support::kMaxJsonValues)) return std::nullopt;
    const std::optional<support::JsonTree> reparsed = support::parse_json(line);
    if (!reparsed) return std::nullopt;
    const std::string widened = compact_json(**reparsed);
    error = unless_out_of_memory(parser_.parse(widened).get(value));
  }
  simdjson::dom::object object;
  if (error != simdjson::SUCCESS || value.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  AuditLineFields fields;
  std::optional<simdjson::dom::element> payload;
  for (const auto field : object) read_member(fields, field.key, field.value, payload);
  if (payload) {
    extra_text_ = simdjson::minify(*payload);
    line_field<kPayloadIndex>(fields) = extra_text_;
  }
  return fields;
}

simdjson::error_code AuditLineReader::unless_out_of_memory(simdjson::error_code error) {
  if (error != simdjson::MEMALLOC) return error;
  // A parser whose buffers failed to grow part way may keep a capacity that
  // its buffers no longer have: the next line would be read into them. A
  // new parser allocates afresh on its first line.
  parser_ = simdjson::dom::parser();
  throw std::bad_alloc();
}

}  // namespace worktree_runtime::audit
