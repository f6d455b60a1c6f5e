#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "settings/project_id_resolver.hpp"
#include "support/text.hpp"

namespace worktree_runtime {
namespace {

class ValidProjectId : public testing::TestWithParam<std::string> {};

TEST_P(ValidProjectId, IsReturnedUnchanged) {
  const auto result = settings::validate_project_id(GetParam());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, ValidProjectId, testing::Values("a", "quorbel", "a0_-z", "z" + std::string(63, '9')));

class InvalidProjectId : public testing::TestWithParam<std::string> {};

TEST_P(InvalidProjectId, FailsWithTheReasonAndTheQuotedIdentifier) {
  const auto result = settings::validate_project_id(GetParam());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().reason_code, "PROJECT_ID_INVALID");
  EXPECT_EQ(result.error().message, "project_id " + support::quoted_literal(GetParam()) +
                                        " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'");
}

INSTANTIATE_TEST_SUITE_P(Cases, InvalidProjectId,
                         testing::Values("", "z" + std::string(64, '9'), "Ab", "aB", "9a", "_a", "-a", "a b", " a",
                                         "a.b", "caf\xC3\xA9", std::string("a\0b", 3)));

class QuotedLiteral : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(QuotedLiteral, EscapesWhatWouldBeInvisibleOrAmbiguous) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(support::quoted_literal(input), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuotedLiteral,
                         testing::Values(std::tuple{"AB", R"("AB")"}, std::tuple{R"(a"b\c)", R"("a\"b\\c")"},
                                         std::tuple{"\t\r\n", R"("\t\r\n")"},
                                         std::tuple{std::string("\0", 1), R"("\0")"},
                                         std::tuple{"\x01\x7F", R"("\u{1}\u{7f}")"}, std::tuple{"it's", R"("it's")"},
                                         std::tuple{"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
                                         std::tuple{"\xC2\xA0\xE2\x80\x8B\xE2\x80\xA8", R"("\u{a0}\u{200b}\u{2028}")"},
                                         std::tuple{"\xEE\x80\x80\xF4\x8F\xBF\xBF", R"("\u{e000}\u{10ffff}")"}));

TEST(QuotedList, BracketsAndSeparatesTheLiterals) {
  EXPECT_EQ(support::quoted_list(std::vector<std::string>{}), "[]");
  EXPECT_EQ(support::quoted_list(std::vector<std::string>{"main", "ma\"ster"}), R"(["main", "ma\"ster"])");
}

}  // namespace
}  // namespace worktree_runtime
