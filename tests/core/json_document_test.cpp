#include "support/json_document.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/input_limits.hpp"

namespace worktree_runtime::support {
namespace {

using nlohmann::json;

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class OrdinaryDocument : public testing::TestWithParam<std::string> {};

// What the store has always written: nlohmann's own reading and layout.
TEST_P(OrdinaryDocument, ReadsAndRendersAsNlohmannDoes) {
  const Result<json> document = read_json_document(GetParam());
  ASSERT_TRUE(document.ok()) << document.error().message;
  const json expected = json::parse(GetParam());
  EXPECT_EQ(document.value(), expected);
  EXPECT_EQ(render_json_indented(document.value(), kJsonDocumentByteLimit),
            expected.dump(2, ' ', false, json::error_handler_t::replace));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, OrdinaryDocument,
    testing::Values(
        R"({"bindings": [], "schema_version": 2})", "{}", "[]", R"([{}, [], [[]], {"a": {}}])",
        " \t\r\n{\"z\": 1, \"a\": [true, false, null]} \n", R"({"a": 1, "a": 2, "b": {"a": [1], "a": 3}})",
        R"(["\"\\\/\b\f\n\r\t\u0000\u001f\u00e9\ud83d\ude00", "caf\u00e9 \u2028 ü 😀", ""])",
        R"([0, -0, 1, -1, 18446744073709551615, -9223372036854775808, 0.5, -1.25e-3, 1E2, 1e+2, 123.456e7])",
        R"({"deep": [[[[{"x": [1, {"y": null}]}]]]]})", "\"plain\"", "3.5", "null"));

class MalformedDocument : public testing::TestWithParam<std::string> {};

TEST_P(MalformedDocument, IsRefusedWithADescription) {
  const Result<json> document = read_json_document(GetParam());
  ASSERT_FALSE(document.ok());
  EXPECT_FALSE(document.error().message.empty());
}

INSTANTIATE_TEST_SUITE_P(Documents, MalformedDocument,
                         testing::Values("", "   ", "\xEF\xBB\xBF{}", std::string("{}\0\0", 4), "{} x", "{}{}", "[1,]",
                                         "{\"a\":1,}", "{'a': 1}", "{\"a\" 1}", "{1: 2}", "[01]", "[1.]", "[.5]", "[-]",
                                         "[1e]", "[+1]", "NaN", "[Infinity]", "[tru]", "[", "{", "\"open", "\"\\x\"",
                                         "\"\\u12\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"",
                                         "\"tab\there\"", "\"\xFF\"", "[1] // note", "\v[]", "\xC2\xA0[]"));

TEST(JsonDocumentNesting, ReadsUpToTheBoundAndRefusesDeeper) {
  Result<json> at_bound = read_json_document(nested_arrays(kMaxJsonNesting));
  ASSERT_TRUE(at_bound.ok());
  EXPECT_TRUE(render_json_indented(at_bound.value(), std::size_t{1} << 30));
  EXPECT_EQ(render_json_indented(json::array({std::move(at_bound.value())}), std::size_t{1} << 30), std::nullopt);
  EXPECT_EQ(read_json_document(nested_arrays(kMaxJsonNesting + 1)).error().reason_code, kJsonPastBoundReason);
  EXPECT_EQ(read_json_document("[1,]").error().reason_code, "");
  std::string objects;
  for (std::size_t level = 0; level < kMaxJsonNesting + 1; ++level) objects += "{\"a\":";
  objects += "1" + std::string(kMaxJsonNesting + 1, '}');
  EXPECT_FALSE(read_json_document(objects).ok());
}

TEST(JsonDocumentNesting, FarDeeperInputIsRefusedWithoutExhaustingTheStack) {
  EXPECT_FALSE(read_json_document(std::string(1'000'000, '[')).ok());
  EXPECT_FALSE(read_json_document("[18446744073709551616, " + nested_arrays(200'000) + "]").ok());
}

TEST(JsonDocumentNesting, ADocumentAtTheBoundRendersWithinAFewMegabytes) {
  const Result<json> document = read_json_document(nested_arrays(kMaxJsonNesting));
  ASSERT_TRUE(document.ok());
  const std::optional<std::string> rendered = render_json_indented(document.value(), kJsonDocumentByteLimit);
  ASSERT_TRUE(rendered);
  EXPECT_LT(rendered->size(), std::size_t{9} << 20);
}

// Indentation grows with depth: 20,000 small values 2,000 levels down, 40 KB
// of text, would take 80 MB written out.
TEST(JsonDocumentRendering, StopsAtItsBudget) {
  std::string values = "0";
  for (int index = 1; index < 20'000; ++index) values += ",0";
  const Result<json> document = read_json_document(std::string(2000, '[') + values + std::string(2000, ']'));
  ASSERT_TRUE(document.ok());
  EXPECT_EQ(render_json_indented(document.value(), std::size_t{1} << 20), std::nullopt);
  EXPECT_TRUE(render_json_indented(document.value(), std::size_t{1} << 30));
}

// The reader and the renderer agree on where the bound lies: what is
// rendered reads back, and a document past the bound is told from a
// malformed one.
TEST(JsonDocumentValues, ReadsUpToTheBoundAndRefusesMore) {
  std::string values = "[0";
  for (std::size_t index = 1; index < kMaxJsonDocumentValues - 1; ++index) values += ",0";
  Result<json> at_bound = read_json_document(values + "]");
  ASSERT_TRUE(at_bound.ok());
  EXPECT_TRUE(render_json_indented(at_bound.value(), kJsonDocumentByteLimit));
  const Result<json> past_bound = read_json_document(values + ",0]");
  ASSERT_FALSE(past_bound.ok());
  EXPECT_EQ(past_bound.error().reason_code, kJsonPastBoundReason);
  at_bound.value().push_back(0);
  EXPECT_EQ(render_json_indented(at_bound.value(), kJsonDocumentByteLimit), std::nullopt);
}

class RawNumber : public testing::TestWithParam<std::string> {};

// Numbers no double or 64-bit integer holds survive a rewrite as written.
TEST_P(RawNumber, KeepsItsTextThroughARewrite) {
  const Result<json> document = read_json_document("{\"n\": [" + GetParam() + "]}");
  ASSERT_TRUE(document.ok()) << document.error().message;
  EXPECT_EQ(render_json_indented(document.value(), kJsonDocumentByteLimit),
            "{\n  \"n\": [\n    " + GetParam() + "\n  ]\n}");
}

INSTANTIATE_TEST_SUITE_P(Numbers, RawNumber,
                         testing::Values("1e400", "-1e400", "1E+999", "18446744073709551616", "-9223372036854775809",
                                         "123456789012345678901234567890", "1e-400"));

TEST(JsonExceeds, CountsBracketsAndSeparatorsOutsideStringsOnly) {
  constexpr std::size_t kMany = 1000;
  EXPECT_FALSE(json_exceeds(R"({"a": "[[[[,,,,[[[[", "b": "\"[[[["})", 1, 3));
  EXPECT_TRUE(json_exceeds(R"({"a": [{}]})", 2, kMany));
  EXPECT_FALSE(json_exceeds(R"({"a": [{}]})", 3, kMany));
  EXPECT_FALSE(json_exceeds(R"([[]] [[]] [[]])", 2, kMany));
  EXPECT_TRUE(json_exceeds(std::string(5000, '['), 1024, kMany * 10));
  EXPECT_FALSE(json_exceeds("[1,2,3]", 1, 4));
  EXPECT_TRUE(json_exceeds("[1,2,3,4]", 1, 4));
}

}  // namespace
}  // namespace worktree_runtime::support
