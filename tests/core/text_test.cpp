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

class LowerCase : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(LowerCase, MapsEachCharacterToItsFullLowerCase) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(lower_case(input), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LowerCase,
    testing::Values(std::tuple{"", ""}, std::tuple{"AZaz09_{\"}", "azaz09_{\"}"},
                    std::tuple{"I\xC4\xB0", "ii\xCC\x87"},   // I, I WITH DOT ABOVE: its full mapping, no Turkish
                    std::tuple{"\xE2\x84\xAA", "k"},         // KELVIN SIGN
                    std::tuple{"\xE2\x84\xAB", "\xC3\xA5"},  // ANGSTROM SIGN
                    std::tuple{"\xE2\x84\xA6", "\xCF\x89"},  // OHM SIGN
                    std::tuple{"\xCF\xB4", "\xCE\xB8"},      // CAPITAL THETA SYMBOL
                    std::tuple{"\xE1\xBA\x9E\xC3\x9F", "\xC3\x9F\xC3\x9F"},  // CAPITAL SHARP S, sharp s
                    std::tuple{"\xC7\x85", "\xC7\x86"},                      // titlecase DŽ
                    std::tuple{"\xE1\xBE\x88", "\xE1\xBE\x80"},              // ALPHA WITH PSILI AND PROSGEGRAMMENI
                    std::tuple{"\xCD\x85", "\xCD\x85"},                      // COMBINING YPOGEGRAMMENI stays
                    std::tuple{"\xCE\xA3", "\xCF\x83"}, std::tuple{"A\xCE\xA3", "a\xCF\x83"},  // SIGMA, never final
                    std::tuple{"\xE1\x8E\xA0", "\xEA\xAD\xB0"},                                // CHEROKEE A
                    std::tuple{"\xE1\xB2\x90", "\xE1\x83\x90"},                                // GEORGIAN MTAVRULI AN
                    std::tuple{"\xEF\xBC\xA1", "\xEF\xBD\x81"},                                // FULLWIDTH A
                    std::tuple{"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                        // DESERET LONG I
                    std::tuple{"\xF0\x9E\xA4\x80", "\xF0\x9E\xA4\xA2"},                        // ADLAM ALIF
                    std::tuple{"\xCD\xB8\xEE\x80\x80", "\xCD\xB8\xEE\x80\x80"},  // unassigned, private use
                    std::tuple{"A\xFF\xE2\x82"
                               "B",
                               std::string("a") + kReplacement + kReplacement + "b"}));

class QuotedCharacter : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(QuotedCharacter, EscapesByGeneralCategory) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(quoted_literal(input), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotedCharacter,
    testing::Values(std::tuple{"\xC2\x85", R"("\u{85}")"},                                     // Cc
                    std::tuple{"\xC2\xAD\xD8\x9C\xEF\xBB\xBF", R"("\u{ad}\u{61c}\u{feff}")"},  // Cf
                    std::tuple{"\xF3\xA0\x80\x81", R"("\u{e0001}")"},                          // Cf, plane 14
                    std::tuple{"\xF3\xB0\x80\x80", R"("\u{f0000}")"},                          // Co, plane 15
                    std::tuple{"\xCD\xB8\xEF\xBF\xBF", R"("\u{378}\u{ffff}")"},                // Cn
                    std::tuple{"\xE3\x80\x80\xE2\x80\xA9", R"("\u{3000}\u{2029}")"},           // Zs, Zp
                    std::tuple{"\xED\xA0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},               // an encoded surrogate
                    // Letters, marks, symbols and punctuation stay as they are.
                    std::tuple{"e\xCC\x81\xF0\x9F\x98\x80\xC2\xBF\xE1\xBB\xB9",
                               "\"e\xCC\x81\xF0\x9F\x98\x80\xC2\xBF\xE1\xBB\xB9\""},
                    std::tuple{"\xF0\x9F\x9B\x9C", "\"\xF0\x9F\x9B\x9C\""}));  // WIRELESS, assigned in Unicode 15.0

}  // namespace
}  // namespace worktree_runtime::support
