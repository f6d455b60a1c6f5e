#include "support/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace worktree_runtime::support {
namespace {

class TrimWhiteSpace : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(trim_white_space(input), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimWhiteSpace,
    testing::Values(std::tuple{"", ""}, std::tuple{" \t\r\n\v\f", ""}, std::tuple{"  a b  ", "a b"},
                    std::tuple{"\xC2\x85"
                               "a"
                               "\xC2\xA0",
                               "a"},  // NEL, NO-BREAK SPACE
                    std::tuple{"\xE1\x9A\x80"
                               "a"
                               "\xE3\x80\x80",
                               "a"},  // OGHAM SPACE MARK, IDEOGRAPHIC SPACE
                    std::tuple{"\xE2\x80\x8A"
                               "a"
                               "\xE2\x80\xAF",
                               "a"},                                         // HAIR SPACE, NARROW NO-BREAK SPACE
                    std::tuple{"\xE2\x80\xA8\xE2\x80\xA9\xE2\x81\x9F", ""},  // LINE/PARAGRAPH SEPARATOR, MMSP
                    // Not White_Space: ZERO WIDTH SPACE, the information separators, BOM.
                    std::tuple{"\xE2\x80\x8B", "\xE2\x80\x8B"}, std::tuple{"\x1C\x1F", "\x1C\x1F"},
                    std::tuple{"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
                    // Ill-formed bytes are never white space.
                    std::tuple{"\x85 a \xA0", "\x85 a \xA0"}, std::tuple{" \xE2\x80", "\xE2\x80"}));

class ToValidUtf8 : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(ToValidUtf8, ReplacesEachMaximalIllFormedSubsequence) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(to_valid_utf8(input), expected);
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, ToValidUtf8,
    testing::Values(std::tuple{"plain/path", "plain/path"},
                    std::tuple{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    std::tuple{"a\xFF"
                               "b",
                               std::string("a") + kReplacement + "b"},
                    std::tuple{"\xE2\x82", std::string(kReplacement)},  // truncated sequence
                    std::tuple{"\xE2\x82"
                               "A",
                               std::string(kReplacement) + "A"},
                    std::tuple{"\xC0\xAF", std::string(kReplacement) + kReplacement},                     // overlong
                    std::tuple{"\xED\xA0\x80", std::string(kReplacement) + kReplacement + kReplacement},  // surrogate
                    std::tuple{"\xF4\x90\x80\x80",
                               std::string(kReplacement) + kReplacement + kReplacement + kReplacement},
                    std::tuple{std::string("a\0b", 3), std::string("a\0b", 3)}));

}  // namespace
}  // namespace worktree_runtime::support
