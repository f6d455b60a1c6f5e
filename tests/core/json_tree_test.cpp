#include "support/json_tree.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/input_limits.hpp"

namespace worktree_runtime::support {
namespace {

using nlohmann::json;

class ParsedJson : public testing::TestWithParam<std::string> {};

TEST_P(ParsedJson, ReadsAsNlohmannsParseDoes) {
  const std::optional<JsonTree> tree = parse_json(GetParam());
  ASSERT_TRUE(tree) << GetParam();
  EXPECT_EQ(**tree, json::parse(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParsedJson,
    testing::Values("null", "[]", "{}", R"("caf\u00e9 😀")", "\xEF\xBB\xBF[1]",
                    R"({"a": [1, {"b": [[], {}, [[2]]]}], "c": {"d": "e"}})",
                    R"({"a": [1, [2]], "b": 0, "a": {"c": [3]}, "a": 4})",
                    "[18446744073709551615, 18446744073709551616, -9223372036854775809, 1e300, -0, 0.5]"));

class NotJson : public testing::TestWithParam<std::string> {};

TEST_P(NotJson, IsNothing) { EXPECT_FALSE(parse_json(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Texts, NotJson,
                         testing::Values("", "[1,]", R"({"a":})", "[] x", "{} {}", "1e400", "[NaN]", R"({"a": [1})"));

// `depth` arrays inside one another, each holding two members first.
json nested(std::size_t depth) {
  json root = json::array();
  json* innermost = &root;
  for (std::size_t level = 1; level < depth; ++level) {
    innermost->push_back(1);
    innermost->push_back(json::parse(R"({"k": [2]})"));
    innermost = &innermost->emplace_back(json::array());
  }
  return root;
}

class DismantledTree : public testing::TestWithParam<std::size_t> {};

TEST_P(DismantledTree, HoldsNothingAfterwards) {
  json tree = nested(GetParam());
  dismantle(tree);
  EXPECT_EQ(tree, json::array());
}

// Within the nesting bound, and past it, where nlohmann's destructor frees
// what lies deeper.
INSTANTIATE_TEST_SUITE_P(Depths, DismantledTree, testing::Values(1, 2, 3, kMaxJsonNesting - 1, kMaxJsonNesting + 10));

TEST(DismantledTree, LeavesScalarsAsTheyAre) {
  for (json scalar : {json(), json(true), json(3), json(2.5), json("text")}) {
    const json before = scalar;
    dismantle(scalar);
    EXPECT_EQ(scalar, before);
  }
}

TEST(JsonTreeOwnership, MovesAndAssignsTheTreeWhole) {
  JsonTree first(json::parse(R"({"a": [1, {"b": [2]}]})"));
  JsonTree second(json::parse("[3, [4]]"));
  first = std::move(second);
  EXPECT_EQ(*first, json::parse("[3, [4]]"));
  const JsonTree third(std::move(first));
  EXPECT_EQ(*third, json::parse("[3, [4]]"));
  EXPECT_TRUE(third->is_array());
}

}  // namespace
}  // namespace worktree_runtime::support
