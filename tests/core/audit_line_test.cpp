#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "audit/audit_line_reader.hpp"
#include "audit/audit_record.hpp"

namespace worktree_runtime::audit {

// What a failed comparison shows of the fields.
void PrintTo(const AuditLineFields& fields, std::ostream* out) {
  const auto text = [](const std::optional<std::string_view>& view) {
    return view ? "\"" + std::string(*view) + "\"" : std::string("absent");
  };
  const auto number = [](const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : std::string("absent");
  };
  *out << "{branch=" << text(fields.branch) << " cwd=" << text(fields.cwd) << " host=" << text(fields.host)
       << " session_id=" << text(fields.session_id) << " pid=" << number(fields.pid)
       << " elapsed_ms=" << number(fields.elapsed_ms) << " truncated=" << fields.truncated
       << " extra=" << text(fields.extra) << "}";
}

namespace {

// A line in the writer's layout, with the JSON text of some members changed.
std::string line_with(std::vector<std::pair<std::string, std::string>> changes) {
  std::vector<std::pair<std::string, std::string>> members = {
      {"branch", R"("main")"},
      {"correlation_id", "null"},
      {"cwd", R"("/w")"},
      {"elapsed_ms", "5"},
      {"extra", "null"},
      {"host", R"("h")"},
      {"invoker", R"("cli")"},
      {"kind", R"("worktree.create")"},
      {"outcome", R"("ok")"},
      {"parent_pid", "null"},
      {"pid", "42"},
      {"schema_version", R"("v1")"},
      {"session_id", R"("s-1")"},
      {"timestamp", R"("2025-03-01T00:00:00Z")"},
      {"truncated", "false"},
      {"worktree_path", R"("/w/t")"},
  };
  for (const auto& [key, value] : changes) {
    for (auto& member : members) {
      if (member.first == key) member.second = value;
    }
  }
  std::string line = "{";
  for (const auto& [key, value] : members) line += (line.size() > 1 ? ",\"" : "\"") + key + "\":" + value;
  return line + "}";
}

// The fields with the payload written again by the general parser: the
// payload is handed on as text to be parsed, where a number may be spelt
// either way ("1.50" or "1.5"). Key order and repeated keys stay as they are.
AuditLineFields with_canonical_payload(AuditLineFields fields, std::string& storage) {
  if (fields.extra) {
    simdjson::dom::parser parser;
    storage = simdjson::minify(parser.parse(std::string(*fields.extra)).value());
    fields.extra = storage;
  }
  return fields;
}

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct LineCase {
  std::string name;
  std::string line;
  bool in_layout;
  friend void PrintTo(const LineCase& line_case, std::ostream* out) { *out << line_case.line; }
};

class OwnLayout : public testing::TestWithParam<LineCase> {};

// The fast reading of a line must never differ from the general parser's:
// where it cannot be sure, it leaves the line to that parser.
TEST_P(OwnLayout, ReadsWhatTheGeneralParserReadsOrLeavesTheLine) {
  const LineCase& line_case = GetParam();
  const std::optional<AuditLineFields> fast = read_own_layout(line_case.line);
  ASSERT_EQ(fast.has_value(), line_case.in_layout);
  AuditLineReader reader;
  const std::optional<AuditLineFields> general = reader.read_any_json(line_case.line);
  if (fast) {
    ASSERT_TRUE(general);
    std::string fast_payload, general_payload;
    EXPECT_EQ(with_canonical_payload(*fast, fast_payload), with_canonical_payload(*general, general_payload));
  }
  AuditLineReader second_reader;
  EXPECT_EQ(second_reader.read(line_case.line), fast ? fast : general);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OwnLayout,
    testing::Values(
        LineCase{"Plain", line_with({}), true},
        LineCase{"NonAsciiAndLongTexts",
                 line_with({{"branch", "\"feature/ünïcode-straße-0123456789abcdefghijklmnop\""},
                            {"cwd", "\"" + std::string(300, 'c') + "\""}}),
                 true},
        LineCase{"NullsAndTrue", line_with({{"elapsed_ms", "null"}, {"session_id", "null"}, {"truncated", "true"}}),
                 true},
        LineCase{"IntegerLimits", line_with({{"pid", "-9223372036854775808"}, {"parent_pid", "9223372036854775807"}}),
                 true},
        LineCase{"Payload", line_with({{"extra", R"({"a":[1,-2.5,{"b":null}],"c":true,"d":"é","e":{}})"}}), true},
        LineCase{"ScalarPayloads", line_with({{"extra", "[\"text\",0,-0.5,-0.0,1.0,1.50,false,[]]"}}), true},
        LineCase{"LongIntegerAndFraction", line_with({{"extra", "[123456789012345678,1234567890123456789012.5]"}}),
                 true},
        LineCase{"PayloadWithNegativeZero", line_with({{"extra", "[-0]"}}), false},
        LineCase{"PayloadWithLongInteger", line_with({{"extra", "[1234567890123456789]"}}), false},
        LineCase{"NestedWithinLimit", line_with({{"extra", nested_arrays(30)}}), true},
        LineCase{"EscapedQuote", line_with({{"branch", R"("a\"b")"}}), false},
        LineCase{"EscapeAfterALongRun", line_with({{"cwd", R"("/0123456789abcdefghijklmnop\nq")"}}), false},
        LineCase{"ControlCharacter", line_with({{"host", "\"a\tb\""}}), false},
        LineCase{"NegativeZero", line_with({{"pid", "-0"}}), false},
        LineCase{"LeadingZero", line_with({{"pid", "042"}}), false},
        LineCase{"PastSixtyFourBits", line_with({{"pid", "9223372036854775808"}}), false},
        LineCase{"Fraction", line_with({{"elapsed_ms", "1.0"}}), false},
        LineCase{"Exponent", line_with({{"elapsed_ms", "1e3"}}), false},
        LineCase{"TextWhereNumberBelongs", line_with({{"pid", R"("42")"}}), false},
        LineCase{"NumberWhereTextBelongs", line_with({{"session_id", "5"}}), false},
        LineCase{"PayloadWithSpace", line_with({{"extra", R"({"a": 1})"}}), false},
        LineCase{"PayloadWithHugeInteger", line_with({{"extra", R"({"n":123456789012345678901})"}}), false},
        LineCase{"PayloadWithHugeExponent", line_with({{"extra", R"({"n":1e400})"}}), false},
        LineCase{"PayloadWithEscape", line_with({{"extra", R"({"s":"\u00e9"})"}}), false},
        LineCase{"PayloadTooDeep", line_with({{"extra", nested_arrays(40)}}), false},
        LineCase{"PayloadTrailingComma", line_with({{"extra", "[1,]"}}), false},
        LineCase{"BareWordPayload", line_with({{"extra", "nul"}}), false},
        LineCase{"TrailingText", line_with({}) + "x", false},
        LineCase{"MembersReordered",
                 R"({"correlation_id":null,"branch":"main","cwd":"/w","elapsed_ms":5,"extra":null,"host":"h",)"
                 R"("invoker":"cli","kind":"k","outcome":"ok","parent_pid":null,"pid":42,"schema_version":"v1",)"
                 R"("session_id":"s","timestamp":"2025-03-01T00:00:00Z","truncated":false,"worktree_path":"/w/t"})",
                 false}),
    [](const testing::TestParamInfo<LineCase>& param_info) { return param_info.param.name; });

// Lines close to the layout, made by inserting, replacing or deleting a few
// tokens of well-formed lines: wherever the fast reading takes one, the
// general parser reads the same fields from it.
TEST(OwnLayout, AgreesWithTheGeneralParserOnMutatedLines) {
  const std::vector<std::string> originals = {
      line_with({}),
      line_with({{"extra", R"({"a":[1,-2.5,{"b":null}],"c":true,"d":"é"})"}, {"correlation_id", R"("c")"}}),
      line_with({{"pid", "-9223372036854775808"}, {"elapsed_ms", "null"}, {"truncated", "true"}}),
  };
  const std::vector<std::string> tokens = {"\"", "\\", "{", "}", "[", "]",    ":", ",",  "-",    ".", "0",
                                           "7",  "e",  "+", "t", "n", "null", " ", "\t", "\x01", "é", "\\u0041"};
  std::mt19937 random(20250301);
  const auto below = [&random](std::size_t bound) { return static_cast<std::size_t>(random() % bound); };
  AuditLineReader reader;
  int taken = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string line = originals[below(originals.size())];
    for (std::size_t edit = below(3) + 1; edit > 0; --edit) {
      const std::size_t position = below(line.size());
      const std::string& token = tokens[below(tokens.size())];
      switch (below(3)) {
        case 0:
          line.insert(position, token);
          break;
        case 1:
          line.replace(position, 1, token);
          break;
        default:
          line.erase(position, 1);
      }
    }
    // The reader refuses a whole text that is not UTF-8 before reading lines.
    if (!simdjson::validate_utf8(line.data(), line.size())) continue;
    const std::optional<AuditLineFields> fast = read_own_layout(line);
    if (!fast) continue;
    ++taken;
    const std::optional<AuditLineFields> general = reader.read_any_json(line);
    ASSERT_TRUE(general) << line;
    std::string fast_payload, general_payload;
    ASSERT_EQ(with_canonical_payload(*fast, fast_payload), with_canonical_payload(*general, general_payload)) << line;
  }
  EXPECT_GT(taken, 100);  // the mutations also reach lines the fast reading takes
}

TEST(OwnLayout, ReadsEveryLineTheWriterWrites) {
  const std::vector<std::optional<std::string>> payloads = {std::nullopt, R"({"z":1,"a":{"y":[1,2],"b":"é"}})",
                                                            R"("just text")", R"([1,2.5,null])"};
  for (const std::optional<std::string>& payload : payloads) {
    const StampedEvent event = build_audit_record({.kind = "session.bind",
                                                   .branch = "feature/ß",
                                                   .worktree_path = "/w/t",
                                                   .invoker = "cli",
                                                   .outcome = "ok",
                                                   .session_id = "s-1",
                                                   .correlation_id = std::nullopt,
                                                   .elapsed_ms = 12,
                                                   .extra_json = payload},
                                                  support::Instant{1740787200, 123000000});
    std::string line = serialize_audit_line(event);
    line.pop_back();  // the line feed
    const std::optional<AuditLineFields> fields = read_own_layout(line);
    ASSERT_TRUE(fields) << line;
    EXPECT_EQ(fields->extra, event.record.extra.value_or("null"));
  }
}

// A value for the field at `Index` that no other field holds and that its
// type does not hold by default.
template <std::size_t Index>
WrittenAuditValue<AuditFieldAt<Index>::kKind> distinct_value() {
  using Field = AuditFieldAt<Index>;
  const std::string text = "value of " + std::string(Field::kName);
  if constexpr (Field::kKind == AuditFieldKind::kText || Field::kKind == AuditFieldKind::kNullableText) {
    return text;
  } else if constexpr (Field::kKind == AuditFieldKind::kInteger || Field::kKind == AuditFieldKind::kNullableInteger) {
    return -1000 - static_cast<std::int64_t>(Index);
  } else if constexpr (Field::kKind == AuditFieldKind::kFlag) {
    return true;
  } else {
    static_assert(Field::kKind == AuditFieldKind::kPayload);
    return R"({"field":")" + text + R"(","list":[1,-2.5,null]})";
  }
}

// Every field the writer writes, both readers read back as it was written.
TEST(OwnLayout, ReadsBackEveryFieldAsWritten) {
  StampedEvent event;
  for_each_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    event.record.*std::get<Index>(kAuditRecordMembers) = distinct_value<Index>();
  });
  std::string line = serialize_audit_line(event);
  line.pop_back();  // the line feed
  const std::optional<AuditLineFields> fast = read_own_layout(line);
  ASSERT_TRUE(fast) << line;
  AuditLineReader reader;
  EXPECT_EQ(reader.read_any_json(line), fast);
  for_each_audit_field([&]<std::size_t Index>(AuditFieldAt<Index>) {
    const auto& written = event.record.*std::get<Index>(kAuditRecordMembers);
    const auto& read = line_field<Index>(*fast);
    if constexpr (AuditFieldAt<Index>::kKind == AuditFieldKind::kFlag) {
      EXPECT_EQ(read, written) << AuditFieldAt<Index>::kName;
    } else {
      ASSERT_TRUE(read) << AuditFieldAt<Index>::kName;
      EXPECT_EQ(*read, written) << AuditFieldAt<Index>::kName;
    }
  });
}

struct NumberCase {
  std::string name;
  std::string line;
  std::optional<std::int64_t> AuditLineFields::*unread;
  friend void PrintTo(const NumberCase& number_case, std::ostream* out) { *out << number_case.line; }
};

class IntegerPastSixtyFourBits : public testing::TestWithParam<NumberCase> {};

// simdjson refuses such integers, with an error that differs between its
// releases; the line is read all the same, the field as no 64-bit integer.
TEST_P(IntegerPastSixtyFourBits, LeavesOnlyItsFieldUnread) {
  const NumberCase& number_case = GetParam();
  AuditLineReader reader;
  const std::string plain = line_with({});
  std::optional<AuditLineFields> expected = reader.read(plain);
  ASSERT_TRUE(expected);
  (*expected).*number_case.unread = std::nullopt;
  EXPECT_EQ(reader.read(number_case.line), expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, IntegerPastSixtyFourBits,
                         testing::Values(NumberCase{"Unsigned", line_with({{"pid", "18446744073709551616"}}),
                                                    &AuditLineFields::pid},
                                         NumberCase{"Negative", line_with({{"elapsed_ms", "-9223372036854775809"}}),
                                                    &AuditLineFields::elapsed_ms},
                                         NumberCase{"Long", line_with({{"elapsed_ms", std::string(30, '9')}}),
                                                    &AuditLineFields::elapsed_ms}),
                         [](const testing::TestParamInfo<NumberCase>& param_info) { return param_info.param.name; });

TEST(AuditLineReader, ReadsAPayloadIntegerPastSixtyFourBitsAsFloatingPoint) {
  AuditLineReader reader;
  const std::optional<AuditLineFields> fields = reader.read(line_with({{"extra", R"({"n":123456789012345678901})"}}));
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->extra, R"({"n":1.2345678901234568e+20})");
}

// A byte order mark is not JSON white space, though newer simdjson releases
// look past it.
TEST(AuditLineReader, RefusesALineThatStartsWithAByteOrderMark) {
  AuditLineReader reader;
  EXPECT_FALSE(reader.read("\xEF\xBB\xBF" + line_with({})));
  EXPECT_FALSE(reader.read("\xEF\xBB\xBF" + line_with({{"elapsed_ms", "1.0"}})));
}

TEST(StoredAuditRecord, KeepsEveryFieldAndFillsTheTextsARecordMayLack) {
  AuditLineReader reader;
  const std::string line = line_with({{"schema_version", "null"}, {"correlation_id", R"("c")"}});
  const std::optional<AuditLineFields> fields = reader.read(line);
  ASSERT_TRUE(fields && fields->is_record());
  AuditLineFields expected = *fields;
  expected.schema_version = "";
  StoredAuditRecord stored(*fields);
  const StoredAuditRecord moved = std::move(stored);
  EXPECT_EQ(moved.fields(), expected);
  EXPECT_EQ(moved.timestamp(), "2025-03-01T00:00:00Z");
}

}  // namespace
}  // namespace worktree_runtime::audit
