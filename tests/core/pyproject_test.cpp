#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"
#include "support/input_limits.hpp"

namespace worktree_runtime::settings {
namespace {

using support::kMaxTomlNesting;
using support::kMaxTomlTableSegments;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t index = 0; index < times; ++index) text += piece;
  return text;
}

// "a.a.a" with `segments` segments.
std::string dotted(std::size_t segments) { return "a" + repeated(".a", segments - 1); }

// Sets both settings, so that a file read as invalid shows as the defaults.
const std::string kConfigured =
    "[tool.velmorin]\n"
    "project_id = \"configured\"\n"
    "[tool.velmorin.github_policy]\n"
    "main_branches = [\"trunk\"]\n";

// The segments of its two table headers.
constexpr std::size_t kConfiguredTableSegments = 5;

GitHubPolicy configured_policy() {
  GitHubPolicy policy = default_github_policy();
  policy.main_branches = {"trunk"};
  return policy;
}

void expect_read_as_invalid(const std::string& text) {
  EXPECT_EQ(project_id_from_pyproject(text), kLegacyProjectId);
  EXPECT_EQ(github_policy_from_pyproject(text), default_github_policy());
}

void expect_read_as_configured(const std::string& text) {
  EXPECT_EQ(project_id_from_pyproject(text), "configured");
  EXPECT_EQ(github_policy_from_pyproject(text), configured_policy());
}

struct NamedText {
  const char* name;
  std::string text;
};

std::string name_of(const testing::TestParamInfo<NamedText>& info) { return info.param.name; }

// What follows the settings in a file that must read as invalid TOML.
class HostileTail : public testing::TestWithParam<NamedText> {};

TEST_P(HostileTail, ReadsAsInvalid) { expect_read_as_invalid(kConfigured + GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    DeeperThanAnyFile, HostileTail,
    testing::Values(NamedText{"DottedKeyOf40kSegments", dotted(40000) + " = 1\n"},
                    NamedText{"TableHeaderOf40kSegments", "[" + dotted(40000) + "]\n"},
                    NamedText{"ArrayOfTablesHeaderOf40kSegments", "[[" + dotted(40000) + "]]\n"},
                    // The library finishes no inline table; it only overflows destroying one.
                    NamedText{"DottedKeyOf400kSegmentsInInlineTable", "x = {" + dotted(400000) + " = 1}\n"},
                    NamedText{"InlineTablesNested40kDeep",
                              "x = " + repeated("{a = ", 40000) + "1" + repeated("}", 40000) + "\n"},
                    NamedText{"ArraysNested40kDeep", "x = " + repeated("[", 40000) + repeated("]", 40000) + "\n"}),
    name_of);

// The library looks up each table that a dotted key runs through in a list of
// all such tables: here the last of many, again and again.
std::string many_lookups_of_the_last_table(std::size_t tables) {
  std::string text;
  for (std::size_t index = 0; index < tables; ++index) text += "t" + std::to_string(index) + ".x = 1\n";
  for (std::size_t index = 0; index < tables; ++index) {
    text += "t" + std::to_string(tables - 1) + ".y" + std::to_string(index) + " = 1\n";
  }
  return text;
}

INSTANTIATE_TEST_SUITE_P(SlowerThanLinear, HostileTail,
                         testing::Values(NamedText{"ManyLookupsOfTheLastTable",
                                                   many_lookups_of_the_last_table(kMaxTomlTableSegments / 2 + 1)}),
                         name_of);

// TOML allows characters outside ASCII only in strings and comments; the
// library misclassifies some of them wherever else it meets them.
INSTANTIATE_TEST_SUITE_P(OutsideAsciiWhereTomlHasNone, HostileTail,
                         testing::Values(NamedText{"U048CAlone", "\xD2\x8C"}, NamedText{"BareKey", "\xC3\x9C = 1\n"},
                                         NamedText{"Header", "[\xC3\x9C]\n"}, NamedText{"Value", "x = \xC3\x9C\n"},
                                         NamedText{"AfterNumber", "x = 1\xC3\x9C\n"},
                                         NamedText{"AfterBoolean", "x = true\xE3\x80\x81\n"},
                                         NamedText{"AfterQuotedKey", "\"x\"\xC3\x9C = 1\n"},
                                         NamedText{"InArray", "x = [1, \xEF\xB9\x90]\n"},
                                         NamedText{"NoBreakSpaceAsBlank", "x\xC2\xA0= 1\n"},
                                         NamedText{"EscapedInMultiLineString", "x = \"\"\"\\\xC3\x9C\"\"\"\n"}),
                         name_of);

// A file shaped by `make` reads as configured at `bound` and as invalid one past it.
struct BoundedShape {
  const char* name;
  std::string (*make)(std::size_t);
  std::size_t bound;
};

std::string shape_name(const testing::TestParamInfo<BoundedShape>& info) { return info.param.name; }

class Bound : public testing::TestWithParam<BoundedShape> {};

TEST_P(Bound, IsTheLastThatReads) {
  const BoundedShape& shape = GetParam();
  expect_read_as_configured(shape.make(shape.bound) + kConfigured);
  expect_read_as_invalid(shape.make(shape.bound + 1) + kConfigured);
}

INSTANTIATE_TEST_SUITE_P(
    Nesting, Bound,
    testing::Values(
        BoundedShape{"DottedKey", [](std::size_t levels) { return dotted(levels) + " = 1\n"; }, kMaxTomlNesting},
        BoundedShape{"TableHeader", [](std::size_t levels) { return "[" + dotted(levels) + "]\n"; }, kMaxTomlNesting},
        BoundedShape{"ArrayOfTablesHeader", [](std::size_t levels) { return "[[" + dotted(levels) + "]]\n"; },
                     kMaxTomlNesting},
        BoundedShape{"ArraysOfTablesInOneAnother",
                     [](std::size_t levels) {
                       std::string text;
                       for (std::size_t level = 1; level <= levels; ++level) text += "[[" + dotted(level) + "]]\n";
                       return text;
                     },
                     kMaxTomlNesting},
        BoundedShape{"HeaderAndDottedKey",
                     [](std::size_t levels) {
                       return "[" + dotted(levels / 2) + "]\n" + dotted(levels - levels / 2) + " = 1\n";
                     },
                     kMaxTomlNesting},
        BoundedShape{"Arrays",
                     [](std::size_t levels) { return "x = " + repeated("[", levels) + repeated("]", levels) + "\n"; },
                     kMaxTomlNesting},
        BoundedShape{"InlineTables",
                     [](std::size_t levels) {
                       return "x = " + repeated("{a = ", levels - 1) + "1" + repeated("}", levels - 1) + "\n";
                     },
                     kMaxTomlNesting},
        BoundedShape{"DottedKeyInInlineTable",
                     [](std::size_t levels) { return "x = {" + dotted(levels - 1) + " = 1}\n"; }, kMaxTomlNesting}),
    shape_name);

INSTANTIATE_TEST_SUITE_P(TableSegments, Bound,
                         testing::Values(BoundedShape{"Headers",
                                                      [](std::size_t segments) {
                                                        std::string text;
                                                        for (std::size_t index = 0; index < segments; ++index) {
                                                          text += "[t" + std::to_string(index) + "]\n";
                                                        }
                                                        return text;
                                                      },
                                                      kMaxTomlTableSegments - kConfiguredTableSegments},
                                         BoundedShape{"DottedKeys",
                                                      [](std::size_t segments) {
                                                        std::string text;
                                                        for (std::size_t index = 0; index < segments; ++index) {
                                                          text += "t" + std::to_string(index) + ".x = 1\n";
                                                        }
                                                        return text;
                                                      },
                                                      kMaxTomlTableSegments - kConfiguredTableSegments}),
                         shape_name);

// Valid TOML around the guard's edges: each configures the project identifier
// "\xD2\x8C\xC3\x9C" (two characters the library would misclassify outside
// strings), spelled in its own way.
class ConfiguredProjectId : public testing::TestWithParam<NamedText> {};

TEST_P(ConfiguredProjectId, ReadsVerbatim) {
  EXPECT_EQ(project_id_from_pyproject(GetParam().text), "\xD2\x8C\xC3\x9C");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, ConfiguredProjectId,
    testing::Values(
        NamedText{"BasicString", "[tool.velmorin]\nproject_id = \"\xD2\x8C\xC3\x9C\"\n"},
        NamedText{"LiteralString", "[tool.velmorin]\nproject_id = '\xD2\x8C\xC3\x9C'\n"},
        NamedText{"Escapes", "[tool.velmorin]\nproject_id = \"\\u048C\\U000000DC\"\n"},
        NamedText{"MultiLineLiteral", "[tool.velmorin]\nproject_id = '''\n\xD2\x8C\xC3\x9C'''\n"},
        NamedText{"LineEndingBackslash", "[tool.velmorin]\nproject_id = \"\"\"\\\n    \xD2\x8C\xC3\x9C\"\"\"\n"},
        NamedText{"LineEndingBackslashesAndBlankLines",
                  "[tool.velmorin]\nproject_id = \"\"\"\xD2\x8C\\  \r\n\t\n  \\\n \xC3\x9C\"\"\"\n"},
        NamedText{"CommentsAndQuotedKeys",
                  "# \xD2\x8C\n[\"tool\" . 'velmorin'] # \xC3\x9C\n\"project_id\" = \"\xD2\x8C\xC3\x9C\" # \xD2\x8C\n"},
        NamedText{"DottedKeysAndOtherValues",
                  "\xEF\xBB\xBF"
                  "created = 1979-05-27 07:32:00.5-07:00\n"
                  "tool.other = { a = [1, 2.5e-3, -inf, 0x1F, \"\"\"\"x\"\"\"\"\"], b.c = '''''y''''' }\n"
                  "tool.velmorin.project_id = \"\xD2\x8C\xC3\x9C\"\n"
                  "list = [\n  true, # \xC3\x9C\n  [],\n]\n"}),
    name_of);

// Every shape of number, boolean, date and time that TOML allows reads; the
// guard passes no other to the library.
class ValidScalar : public testing::TestWithParam<const char*> {};

TEST_P(ValidScalar, Reads) { expect_read_as_configured(std::string("x = [") + GetParam() + "]\n" + kConfigured); }

INSTANTIATE_TEST_SUITE_P(Shapes, ValidScalar,
                         testing::Values("+99", "42", "0", "-17", "+0", "-0", "1_000", "5_349_221", "1_2_3_4_5",
                                         "0xDEADBEEF", "0xdead_beef", "0o01234567", "0o7_55", "0b1101_0110", "+1.0",
                                         "3.1415", "-0.01", "0.0", "-0.0", "5e+22", "1e06", "-2E-2", "0e0", "6.626e-34",
                                         "224_617.445_991_228", "1e1_0", "inf", "+inf", "-inf", "nan", "+nan", "-nan",
                                         "true", "false", "1979-05-27T07:32:00Z", "1979-05-27T00:32:00-07:00",
                                         "1979-05-27T00:32:00.999999+07:00", "1979-05-27 07:32:00Z",
                                         "1979-05-27t07:32:00z", "1979-05-27T07:32:00", "1979-05-27 00:32:00.999999",
                                         "1979-05-27", "07:32:00", "00:32:00.999999", "1979-05-27, 07:32:00"));

TEST(LineEndingBackslash, LeavesOutOnlyBlanksAndLineBreaks) {
  const auto read = [](const std::string& continuation) {
    return project_id_from_pyproject("[tool.velmorin]\nproject_id = \"\"\"a\\\n" + continuation + "\"\"\"\n");
  };
  EXPECT_EQ(read("\xC2\xA0z"), "a\xC2\xA0z");  // TOML's blanks are space and tab
  EXPECT_EQ(read(" \xF0\x9F\x98\x80z"), "a\xF0\x9F\x98\x80z");
  EXPECT_EQ(read("\t\"z"), "a\"z");
}

TEST(RealisticPyproject, ReadsEverySetting) {
  const std::string text =
      "[build-system]\n"
      "requires = [\"scikit-build-core>=0.10\"]\n"
      "build-backend = \"scikit_build_core.build\"\n\n"
      "[project]\n"
      "name = \"bench-project\"\n"
      "description = \"\"\"\\\n    A project of a realistic size\"\"\"\n"
      "license = { text = \"MIT\" }\n"
      "authors = [{ name = \"Bench Author\", email = \"bench@example.com\" }]\n"
      "classifiers = [\n    \"Programming Language :: Python :: 3\",  # the only one\n]\n\n"
      "[tool.ruff.lint]\nselect = [\"E\", \"F\"]\n\n"
      "[[tool.mypy.overrides]]\nmodule = [\"a.*\"]\nignore_missing_imports = true\n\n"
      "[tool.velmorin]\nproject_id = \"bench\"\n\n"
      "[tool.velmorin.github_policy]\n"
      "pr_title_prefixes = [\"feat\", \"fix\", 7]\n"
      "main_branches = [\"main\", \"trunk\"]\n"
      "pr_title_issue_suffix_required = false\n\n"
      "[tool.velmorin.github_policy.required_sections]\n"
      "issue = [\"Goal\", \"Risks\"]\n";
  EXPECT_EQ(project_id_from_pyproject(text), "bench");
  GitHubPolicy expected = default_github_policy();
  expected.pr_title_prefixes = {"feat", "fix"};
  expected.main_branches = {"main", "trunk"};
  expected.pr_title_issue_suffix_required = false;
  expected.required_sections_issue = {"Goal", "Risks"};
  EXPECT_EQ(github_policy_from_pyproject(text), expected);
}

}  // namespace
}  // namespace worktree_runtime::settings
