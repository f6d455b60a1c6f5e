#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "scratch_directory.hpp"
#include "settings/worktree_config_loader.hpp"
#include "support/input_limits.hpp"

namespace worktree_runtime::settings {
namespace {

namespace fs = std::filesystem;

// A repository root in a fresh directory, with config/worktree.yaml written on demand.
class WorktreeConfigFile : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    fs::create_directory(root_ / "config");
  }

  std::string path() const { return at("config/worktree.yaml"); }
  void write(const std::string& text) { std::ofstream(path(), std::ios::binary) << text; }

  std::optional<std::string> base(const std::string& text, const std::optional<support::EnvSnapshot>& env) {
    write(text);
    const std::optional<WorktreeConfig> config = read_worktree_config(path());
    if (!config) return std::nullopt;
    return resolve_config_base(*config, root_.string(), platform::Environment::snapshot_or_live(env));
  }
};

const char* const kDetected =
    "worktree:\n"
    "  overrides:\n"
    "    - detection: {env_vars_any: [WORKTREE_CONFIG_TEST_RUNNER]}\n"
    "      base: wt/detected\n";

TEST_F(WorktreeConfigFile, DetectionReadsTheSnapshotGiven) {
  EXPECT_EQ(base(kDetected, support::EnvSnapshot{{"WORKTREE_CONFIG_TEST_RUNNER", "x"}}), at("wt/detected"));
  EXPECT_EQ(base(kDetected, support::EnvSnapshot{{"WORKTREE_CONFIG_TEST_RUNNER", ""}}), std::nullopt);
  EXPECT_EQ(base(kDetected, support::EnvSnapshot{{"worktree_config_test_runner", "x"}}), std::nullopt);
  // An empty snapshot means that nothing is set, whatever the process holds.
  ::setenv("WORKTREE_CONFIG_TEST_RUNNER", "live", 1);
  EXPECT_EQ(base(kDetected, support::EnvSnapshot{}), std::nullopt);
  ::unsetenv("WORKTREE_CONFIG_TEST_RUNNER");
}

TEST_F(WorktreeConfigFile, AbsentSnapshotReadsTheLiveEnvironment) {
  ::unsetenv("WORKTREE_CONFIG_TEST_RUNNER");
  EXPECT_EQ(base(kDetected, std::nullopt), std::nullopt);
  ::setenv("WORKTREE_CONFIG_TEST_RUNNER", "live", 1);
  EXPECT_EQ(base(kDetected, std::nullopt), at("wt/detected"));
  ::unsetenv("WORKTREE_CONFIG_TEST_RUNNER");
}

TEST_F(WorktreeConfigFile, AnEmptySnapshotStillAppliesOverridesWithoutDetection) {
  EXPECT_EQ(base("worktree:\n  overrides:\n    - {detection: {env_vars_any: [A]}, base: x}\n    - {base: y}\n",
                 support::EnvSnapshot{}),
            at("y"));
}

TEST_F(WorktreeConfigFile, LoadingFailsQuietly) {
  EXPECT_FALSE(read_worktree_config(at("missing/config/worktree.yaml")).has_value());
  EXPECT_FALSE(read_worktree_config(path()).has_value());  // no file yet
  fs::create_directory(path());
  EXPECT_FALSE(read_worktree_config(path()).has_value());
}

struct LoadCase {
  const char* name;
  std::string text;
  bool loads;
};

void PrintTo(const LoadCase& c, std::ostream* out) { *out << c.name; }

class WorktreeConfigLoad : public WorktreeConfigFile, public testing::WithParamInterface<LoadCase> {};

TEST_P(WorktreeConfigLoad, LoadsOneWellFormedDocument) {
  write(GetParam().text);
  EXPECT_EQ(read_worktree_config(path()).has_value(), GetParam().loads);
}

INSTANTIATE_TEST_SUITE_P(Cases, WorktreeConfigLoad,
                         testing::Values(LoadCase{"empty file", "", true},
                                         LoadCase{"one document", "worktree: {}\n", true},
                                         LoadCase{"explicit markers", "%YAML 1.1\n---\nworktree: {}\n...\n", true},
                                         LoadCase{"two documents", "a: 1\n---\nb: 2\n", false},
                                         LoadCase{"syntax error", "a: [1\n", false},
                                         LoadCase{"tab indentation", "a:\n\t- b\n", false},
                                         LoadCase{"duplicate key", "a: 1\nb: 2\na: 3\n", false},
                                         LoadCase{"duplicate nested key", "a:\n  - {k: 1, k: 2}\n", false},
                                         LoadCase{"same key in two mappings", "a: {k: 1}\nb: {k: 2}\n", true},
                                         LoadCase{"not UTF-8", "a: caf\xE9\n", false}));

std::string repeated(std::string_view piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// `depth` flow sequences inside one another.
std::string nested_flow_sequences(std::size_t depth) { return repeated("[", depth) + repeated("]", depth); }

// `depth` flow mappings inside one another, each the value of key a.
std::string nested_flow_mappings(std::size_t depth) { return repeated("{a: ", depth) + "b" + repeated("}", depth); }

// `depth` block sequences inside one another: "- - - x" on one line.
std::string nested_block_sequences(std::size_t depth) { return repeated("- ", depth) + "x\n"; }

// `depth` block mappings inside one another, each indented below its key.
std::string nested_block_mappings(std::size_t depth) {
  std::string text;
  for (std::size_t level = 0; level < depth; ++level) text += std::string(level, ' ') + "a:\n";
  return text + std::string(depth, ' ') + "b\n";
}

constexpr std::size_t kDeepest = support::kMaxYamlNesting;

// Nesting past the bound is malformed, however deep; at the bound it is read.
INSTANTIATE_TEST_SUITE_P(
    Nesting, WorktreeConfigLoad,
    testing::Values(LoadCase{"flow sequences at the bound", nested_flow_sequences(kDeepest), true},
                    LoadCase{"flow sequences past the bound", nested_flow_sequences(kDeepest + 1), false},
                    LoadCase{"70k flow sequences", nested_flow_sequences(70'000), false},
                    LoadCase{"flow mappings at the bound", nested_flow_mappings(kDeepest), true},
                    LoadCase{"flow mappings past the bound", nested_flow_mappings(kDeepest + 1), false},
                    LoadCase{"100k flow mappings", nested_flow_mappings(100'000), false},
                    LoadCase{"unclosed 100k flow mappings", repeated("{", 100'000), false},
                    LoadCase{"block sequences at the bound", nested_block_sequences(kDeepest), true},
                    LoadCase{"block sequences past the bound", nested_block_sequences(kDeepest + 1), false},
                    LoadCase{"100k block sequences", nested_block_sequences(100'000), false},
                    LoadCase{"block mappings at the bound", nested_block_mappings(kDeepest), true},
                    LoadCase{"block mappings past the bound", nested_block_mappings(kDeepest + 1), false}));

// Anchors and aliases, read as the libyaml document loader reads them.
INSTANTIATE_TEST_SUITE_P(
    Aliases, WorktreeConfigLoad,
    testing::Values(LoadCase{"alias to an earlier anchor", "a: &x 1\nb: *x\n", true},
                    LoadCase{"alias before its anchor", "a: *x\nb: &x 1\n", false},
                    LoadCase{"undefined alias", "a: *x\n", false},
                    LoadCase{"anchor defined twice", "a: &x 1\nb: &x 2\n", false},
                    LoadCase{"collection holding itself", "a: &x [*x]\n", true},
                    LoadCase{"duplicate key through an alias", "k: &k a\nm: {*k : 1, a: 2}\n", false},
                    LoadCase{"duplicate key inside an aliased mapping", "m: &m {a: 1, a: 2}\nn: *m\n", false},
                    LoadCase{"duplicate key inside a key", "? {a: 1, a: 2}\n: 1\n", false},
                    LoadCase{"equal collections as keys", "? [a]\n: 1\n? [a]\n: 2\n", true},
                    LoadCase{"two null keys", "? \n: 1\n? \n: 2\n", false},
                    LoadCase{"undefined tag handle", "a: !e!x 1\n", false}));

struct BaseCase {
  const char* name;
  std::string text;
  std::optional<std::string> relative;  // below the root, or absolute
};

void PrintTo(const BaseCase& c, std::ostream* out) { *out << c.name; }

class WorktreeConfigBase : public WorktreeConfigFile, public testing::WithParamInterface<BaseCase> {};

TEST_P(WorktreeConfigBase, ChoosesTheFirstOverrideThatApplies) {
  const support::EnvSnapshot env{{"SET", "1"}, {"EMPTY", ""}, {"1", "1"}, {"true", "1"}};
  std::optional<std::string> expected;
  if (const auto& relative = GetParam().relative) {
    expected = relative->starts_with('/') ? *relative : at(*relative);
  }
  EXPECT_EQ(base(GetParam().text, env), expected);
}

std::string overrides(const std::string& items) { return "worktree:\n  overrides:\n" + items; }

INSTANTIATE_TEST_SUITE_P(
    Cases, WorktreeConfigBase,
    testing::Values(
        BaseCase{"unconditional", overrides("    - base: a\n"), "a"},
        BaseCase{"detected", overrides("    - {detection: {env_vars_any: [EMPTY, SET]}, base: a}\n"), "a"},
        BaseCase{"not detected", overrides("    - {detection: {env_vars_any: [EMPTY, UNSET]}, base: a}\n"),
                 std::nullopt},
        BaseCase{"empty list", overrides("    - {detection: {env_vars_any: []}, base: a}\n    - {base: b}\n"), "b"},
        BaseCase{"non-string names", overrides("    - {detection: {env_vars_any: [1, true]}, base: a}\n"),
                 std::nullopt},
        BaseCase{"quoted names are strings", overrides("    - {detection: {env_vars_any: ['1']}, base: a}\n"), "a"},
        BaseCase{"empty base continues", overrides("    - {base: ''}\n    - {base: b}\n"), "b"},
        BaseCase{"null base ends", overrides("    - {base: null}\n    - {base: b}\n"), std::nullopt},
        BaseCase{"numeric base ends", overrides("    - {base: 7}\n    - {base: b}\n"), std::nullopt},
        BaseCase{"string override ends", overrides("    - b\n    - {base: b}\n"), std::nullopt},
        BaseCase{"absolute base", overrides("    - {base: /nonexistent-config-base/x}\n"),
                 "/nonexistent-config-base/x"},
        BaseCase{"tagged", "!doc\nworktree: !w\n  overrides: !o\n    - !x {base: !b a}\n", "a"},
        BaseCase{"null document", "", std::nullopt}, BaseCase{"overrides missing", "worktree: {}\n", std::nullopt}));

// Anchors a0 to a<count - 1> on the scalars wt0 to wt<count - 1>, and an
// override whose base is an alias of the last one.
std::string many_anchors(std::size_t count) {
  std::string text = "anchors: [";
  for (std::size_t i = 0; i < count; ++i) text += "&a" + std::to_string(i) + " wt" + std::to_string(i) + ", ";
  return text + "]\n" + overrides("    - base: *a" + std::to_string(count - 1) + "\n");
}

// Nine levels of ten aliases to the level below: a billion mappings when
// expanded, each with the same keys.
std::string billion_laughs() {
  std::string text = "l0: &l0 {k0: lol, k1: lol, k2: lol}\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string below = "*l" + std::to_string(level - 1);
    text += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " {";
    for (int i = 0; i < 10; ++i) text += "k" + std::to_string(i) + ": " + below + ", ";
    text += "}\n";
  }
  return text + overrides("    - {base: wt, laughs: *l9}\n");
}

// `count` numbered keys of one mapping, each with a null value: "k0: , k1: , ".
std::string numbered_keys(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += "k" + std::to_string(i) + ": , ";
  return text;
}

// After `before`, `count` overrides `item` that never apply, then one that does.
std::string many_overrides(const std::string& before, std::string_view item, std::size_t count) {
  return before + "worktree: {overrides: [" + repeated(item, count) + "{base: found}]}\n";
}

constexpr std::size_t kAliases = 16'000;

// A node reached through many aliases is judged once: none of these takes
// more than a moment.
INSTANTIATE_TEST_SUITE_P(
    SharedNodes, WorktreeConfigBase,
    testing::Values(BaseCase{"16k aliases to an override with 16k names",
                             many_overrides("o: &o {detection: {env_vars_any: [" + repeated("a, ", kAliases) + "]}}\n",
                                            "*o, ", kAliases),
                             "found"},
                    BaseCase{"16k aliases to an override with 16k keys",
                             many_overrides("o: &o {" + numbered_keys(kAliases) + "detection: {env_vars_any: [a]}}\n",
                                            "*o, ", kAliases),
                             "found"},
                    BaseCase{"16k overrides sharing a list of 16k names",
                             many_overrides("l: &l [" + repeated("a, ", kAliases) + "]\n",
                                            "{detection: {env_vars_any: *l}}, ", kAliases),
                             "found"},
                    BaseCase{"16k overrides sharing a detection with 16k keys",
                             many_overrides("d: &d {" + numbered_keys(kAliases) + "env_vars_any: [a]}\n",
                                            "{detection: *d}, ", kAliases),
                             "found"},
                    BaseCase{"16k aliases to a 200k-digit name",
                             many_overrides("n: &n " + std::string(200'000, '7') + "\n",
                                            "{detection: {env_vars_any: [" + repeated("*n, ", kAliases) + "]}}, ", 1),
                             "found"},
                    BaseCase{"the first of aliased overrides that applies",
                             many_overrides("o: &o {detection: {env_vars_any: [a, SET]}, base: first}\n", "*o, ", 3),
                             "first"}));

INSTANTIATE_TEST_SUITE_P(
    Hostile, WorktreeConfigBase,
    testing::Values(BaseCase{"40k-digit number", overrides("    - base: " + std::string(40'000, '7') + "\n"),
                             std::nullopt},
                    BaseCase{"40k-digit string", overrides("    - base: " + std::string(40'000, '7') + "x\n"),
                             std::string(40'000, '7') + "x"},
                    BaseCase{"50k anchors", many_anchors(50'000), "wt49999"},
                    BaseCase{"billion laughs", billion_laughs(), "wt"},
                    BaseCase{"NUL in base ends", overrides("    - {base: \"w\\0t\"}\n    - {base: b}\n"), std::nullopt},
                    BaseCase{"NUL in a detection name",
                             overrides("    - {detection: {env_vars_any: [\"SET\\0\"]}, "
                                       "base: a}\n    - {base: b}\n"),
                             "b"}));

struct PlainScalarCase {
  const char* text;
  bool is_string;
};

void PrintTo(const PlainScalarCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class WorktreeConfigPlainScalar : public WorktreeConfigFile, public testing::WithParamInterface<PlainScalarCase> {};

// A plain base that the YAML core schema reads as null, a boolean or a number
// is not a string, and ends the search.
TEST_P(WorktreeConfigPlainScalar, ReadsNullsBooleansAndNumbersAsNonStrings) {
  const std::string text = GetParam().text;
  const std::optional<std::string> expected = GetParam().is_string ? std::optional(at(text)) : std::nullopt;
  EXPECT_EQ(base(overrides("    - base: " + text + "\n    - base: later\n"), support::EnvSnapshot{}), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorktreeConfigPlainScalar,
    testing::Values(PlainScalarCase{"~", false}, PlainScalarCase{"null", false}, PlainScalarCase{"Null", false},
                    PlainScalarCase{"NULL", false}, PlainScalarCase{"nULL", true}, PlainScalarCase{"true", false},
                    PlainScalarCase{"True", false}, PlainScalarCase{"TRUE", false}, PlainScalarCase{"tRUE", true},
                    PlainScalarCase{"false", false}, PlainScalarCase{"False", false}, PlainScalarCase{"FALSE", false},
                    PlainScalarCase{"yes", true}, PlainScalarCase{"0", false}, PlainScalarCase{"-12", false},
                    PlainScalarCase{"+7", false}, PlainScalarCase{"--7", true}, PlainScalarCase{"1_000", true},
                    PlainScalarCase{"0o17", false}, PlainScalarCase{"0o8", true}, PlainScalarCase{"0o", true},
                    PlainScalarCase{"-0o7", true}, PlainScalarCase{"0x1fA", false}, PlainScalarCase{"0xg", true},
                    PlainScalarCase{"0x", true}, PlainScalarCase{"+0x1", true}, PlainScalarCase{"0X1", true},
                    PlainScalarCase{"1.", false}, PlainScalarCase{".5", false}, PlainScalarCase{"-1.5", false},
                    PlainScalarCase{"1.5.5", true}, PlainScalarCase{"1e5", false}, PlainScalarCase{"1.5E-3", false},
                    PlainScalarCase{".5e+2", false}, PlainScalarCase{"1.e2", false}, PlainScalarCase{".e5", true},
                    PlainScalarCase{"1e", true}, PlainScalarCase{"1e+", true}, PlainScalarCase{"e5", true},
                    PlainScalarCase{"+.", true}, PlainScalarCase{"-.inf", false}, PlainScalarCase{".Inf", false},
                    PlainScalarCase{"+.INF", false}, PlainScalarCase{".iNF", true}, PlainScalarCase{"inf", true},
                    PlainScalarCase{".nan", false}, PlainScalarCase{".NaN", false}, PlainScalarCase{".NAN", false},
                    PlainScalarCase{"-.nan", true}, PlainScalarCase{"nan", true}));

}  // namespace
}  // namespace worktree_runtime::settings
