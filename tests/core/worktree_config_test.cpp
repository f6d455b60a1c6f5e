#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "infrastructure/worktree_config_loader.hpp"
#include "scratch_directory.hpp"

namespace worktree_runtime::infrastructure {
namespace {

namespace fs = std::filesystem;

// A repository root in a fresh directory, with config/worktree.yaml written on demand.
class WorktreeConfigFile : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    fs::create_directory(root_ / "config");
  }

  void write(const std::string& text) { std::ofstream(root_ / "config" / "worktree.yaml", std::ios::binary) << text; }

  std::optional<std::string> base(const std::string& text, const std::optional<domain::EnvSnapshot>& env) {
    write(text);
    const std::optional<WorktreeConfig> config = load_worktree_config(root_.string());
    if (!config) return std::nullopt;
    return resolve_config_base(*config, root_.string(), env);
  }
};

const char* const kDetected =
    "worktree:\n"
    "  overrides:\n"
    "    - detection: {env_vars_any: [WORKTREE_CONFIG_TEST_RUNNER]}\n"
    "      base: wt/detected\n";

TEST_F(WorktreeConfigFile, DetectionReadsTheSnapshotGiven) {
  EXPECT_EQ(base(kDetected, domain::EnvSnapshot{{"WORKTREE_CONFIG_TEST_RUNNER", "x"}}), at("wt/detected"));
  EXPECT_EQ(base(kDetected, domain::EnvSnapshot{{"WORKTREE_CONFIG_TEST_RUNNER", ""}}), std::nullopt);
  EXPECT_EQ(base(kDetected, domain::EnvSnapshot{{"worktree_config_test_runner", "x"}}), std::nullopt);
  // An empty snapshot means that nothing is set, whatever the process holds.
  ::setenv("WORKTREE_CONFIG_TEST_RUNNER", "live", 1);
  EXPECT_EQ(base(kDetected, domain::EnvSnapshot{}), std::nullopt);
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
                 domain::EnvSnapshot{}),
            at("y"));
}

TEST_F(WorktreeConfigFile, LoadingFailsQuietly) {
  EXPECT_FALSE(load_worktree_config(std::nullopt).has_value());
  EXPECT_FALSE(load_worktree_config(at("missing")).has_value());
  EXPECT_FALSE(load_worktree_config(root_.string()).has_value());  // no file yet
  fs::create_directory(root_ / "config" / "worktree.yaml");
  EXPECT_FALSE(load_worktree_config(root_.string()).has_value());
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
  EXPECT_EQ(load_worktree_config(root_.string()).has_value(), GetParam().loads);
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

struct BaseCase {
  const char* name;
  std::string text;
  std::optional<std::string> relative;  // below the root, or absolute
};

void PrintTo(const BaseCase& c, std::ostream* out) { *out << c.name; }

class WorktreeConfigBase : public WorktreeConfigFile, public testing::WithParamInterface<BaseCase> {};

TEST_P(WorktreeConfigBase, ChoosesTheFirstOverrideThatApplies) {
  const domain::EnvSnapshot env{{"SET", "1"}, {"EMPTY", ""}, {"1", "1"}, {"true", "1"}};
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

}  // namespace
}  // namespace worktree_runtime::infrastructure
