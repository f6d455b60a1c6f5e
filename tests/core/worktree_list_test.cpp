#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "git/worktree_list_reader.hpp"
#include "scratch_directory.hpp"

namespace worktree_runtime::git {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using Fields = std::tuple<std::string, std::optional<std::string>, std::string, bool, bool, bool,
                          std::optional<std::string>, bool>;

Fields fields(const WorktreeListEntry& entry) {
  return {entry.worktree, entry.branch, entry.head,        entry.bare,
          entry.detached, entry.locked, entry.lock_reason, entry.prunable};
}

// An expected entry: a path, a branch and a head, then the flags that are set.
struct Expected {
  explicit Expected(std::string path, std::optional<std::string> branch_name = std::nullopt, std::string head_ = "")
      : worktree(std::move(path)), branch(std::move(branch_name)), head(std::move(head_)) {}

  Expected with_bare() const {
    Expected e = *this;
    e.bare = true;
    return e;
  }
  Expected with_detached() const {
    Expected e = *this;
    e.detached = true;
    return e;
  }
  Expected with_lock(std::optional<std::string> reason) const {
    Expected e = *this;
    e.locked = true;
    e.lock_reason = std::move(reason);
    return e;
  }
  Expected with_prunable() const {
    Expected e = *this;
    e.prunable = true;
    return e;
  }

  Fields as_fields() const { return {worktree, branch, head, bare, detached, locked, lock_reason, prunable}; }

  std::string worktree;
  std::optional<std::string> branch;
  std::string head;
  bool bare = false;
  bool detached = false;
  bool locked = false;
  std::optional<std::string> lock_reason;
  bool prunable = false;
};

struct PorcelainCase {
  const char* name;
  std::string text;
  std::vector<Expected> entries;
};

void PrintTo(const PorcelainCase& c, std::ostream* out) { *out << c.name; }

class Porcelain : public testing::TestWithParam<PorcelainCase> {};

TEST_P(Porcelain, ParsesIntoEntries) {
  const auto result = parse_worktree_porcelain(GetParam().text);
  ASSERT_TRUE(result.ok()) << result.error().message;
  std::vector<Fields> actual;
  for (const WorktreeListEntry& entry : result.value()) actual.push_back(fields(entry));
  std::vector<Fields> expected;
  for (const Expected& entry : GetParam().entries) expected.push_back(entry.as_fields());
  EXPECT_EQ(actual, expected);
}

const std::string kHead(40, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, Porcelain,
    testing::Values(
        PorcelainCase{
            "two records",
            "worktree /r\nHEAD " + kHead + "\nbranch refs/heads/main\n\nworktree /l\nHEAD " + kHead + "\ndetached\n",
            {Expected("/r", "main", kHead), Expected("/l", std::nullopt, kHead).with_detached()}},
        PorcelainCase{"carriage returns only at line ends are removed",
                      "worktree /a\rb\r\r\nlocked x\ry \r\n",
                      {Expected("/a\rb").with_lock("x\ry")}},
        PorcelainCase{
            "a line of carriage returns flushes", "worktree /a\n\r\nworktree /b\r", {Expected("/a"), Expected("/b")}},
        PorcelainCase{"bytes pass through unchanged",
                      "worktree /caf\xC3\xA9\0x\nbranch refs/heads/\xE6\x9C\xA8\n"s,
                      {Expected("/caf\xC3\xA9\0x"s, "\xE6\x9C\xA8")}},
        PorcelainCase{"lock reason trimmed of Unicode white space",
                      "worktree /a\nlocked \xE2\x80\x83reason\xC2\xA0\xE3\x80\x80\n",
                      {Expected("/a").with_lock("reason")}},
        PorcelainCase{"a zero-width space is not white space",
                      "worktree /a\nlocked \xE2\x80\x8B\n",
                      {Expected("/a").with_lock("\xE2\x80\x8B")}},
        PorcelainCase{"prunable keeps no reason",
                      "worktree /a\nprunable gitdir points nowhere\n",
                      {Expected("/a").with_prunable()}},
        PorcelainCase{"bare drops a branch given before and after",
                      "branch refs/heads/x\nworktree /b\nbare\n",
                      {Expected("/b").with_bare()}},
        PorcelainCase{"refs/heads/ exactly", "worktree /a\nbranch refs/heads/\n", {Expected("/a", "")}},
        PorcelainCase{
            "remote ref kept whole", "worktree /a\nbranch refs/remotes/o/m\n", {Expected("/a", "refs/remotes/o/m")}},
        PorcelainCase{"short keys are not keys", "worktree /a\nHEAD\nbranch\nlocke\nprunabl\n", {Expected("/a")}},
        PorcelainCase{"empty text", "", {}}, PorcelainCase{"blank lines only", "\n\n\r\n", {}}));

class UnparseablePorcelain : public testing::TestWithParam<std::string> {};

TEST_P(UnparseablePorcelain, FailsWithTheMissingWorktreeMessage) {
  const auto result = parse_worktree_porcelain(GetParam());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "worktree record missing required 'worktree' line");
}

INSTANTIATE_TEST_SUITE_P(Cases, UnparseablePorcelain,
                         testing::Values("HEAD x\n", "worktree /a\n\nbranch refs/heads/b", "worktree /a\n\nbare\n",
                                         "worktree /a\n\r\nprunable\n\nworktree /b\n", "worktree\nHEAD x\n"));

struct EvaluationCase {
  const char* name;
  WorktreeListOutput output;
  std::string message;
};

void PrintTo(const EvaluationCase& c, std::ostream* out) { *out << c.name; }

class FailedEvaluation : public testing::TestWithParam<EvaluationCase> {};

TEST_P(FailedEvaluation, NamesTheRoot) {
  const auto result = evaluate_worktree_list_output(GetParam().output, "/srv/r oot/");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, support::ErrorKind::worktree_list);
  EXPECT_EQ(result.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedEvaluation,
    testing::Values(EvaluationCase{"exit code with trimmed stderr",
                                   {"worktree /a\n",
                                    " \xE3\x80\x80"
                                    "fatal: x\n\t",
                                    128},
                                   "git worktree list --porcelain exited 128 in /srv/r oot/: fatal: x"},
                    EvaluationCase{"most negative exit code",
                                   {"", "", INT_MIN},
                                   "git worktree list --porcelain exited -2147483648 in /srv/r oot/: "},
                    EvaluationCase{"largest exit code",
                                   {"", "e", INT_MAX},
                                   "git worktree list --porcelain exited 2147483647 in /srv/r oot/: e"},
                    EvaluationCase{"unparseable",
                                   {"HEAD x\n", "warning: ignored\n", 0},
                                   "unparseable git worktree list --porcelain output for /srv/r oot/: "
                                   "worktree record missing required 'worktree' line"}));

TEST(WorktreeListEvaluation, SuccessIgnoresStandardError) {
  const auto result = evaluate_worktree_list_output({"worktree /a\n", "warning: x\n", 0}, "/r");
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result.value().size(), 1u);
  EXPECT_EQ(result.value()[0].worktree, "/a");
}

// Real git in a fresh directory that git does not look above.
class WorktreeListGit : public GitScratchDirectory {};

TEST_F(WorktreeListGit, ListsMainAndLinkedWorktrees) {
  shell(
      "git init -q -b main main && git -C main -c user.email=a@b -c user.name=n commit -q --allow-empty -m i"
      " && git -C main worktree add -q ../linked -b feature && git -C main worktree lock --reason held ../linked");
  const auto entries = list_worktrees((root_ / "main").string());
  ASSERT_TRUE(entries.ok()) << entries.error().message;
  ASSERT_EQ(entries.value().size(), 2u);
  EXPECT_EQ(entries.value()[0].worktree, (root_ / "main").string());
  EXPECT_EQ(entries.value()[0].branch, "main");
  EXPECT_EQ(entries.value()[0].head.size(), 40u);
  EXPECT_EQ(entries.value()[1].worktree, (root_ / "linked").string());
  EXPECT_EQ(entries.value()[1].branch, "feature");
  EXPECT_TRUE(entries.value()[1].locked);
  EXPECT_EQ(entries.value()[1].lock_reason, "held");
}

TEST_F(WorktreeListGit, OutsideARepositoryGitsExitCodeIsKept) {
  const auto output = run_worktree_list(root_.string());
  ASSERT_TRUE(output.ok()) << output.error().message;
  EXPECT_EQ(output.value().exit_code, 128);
  EXPECT_TRUE(output.value().standard_output.empty());
  EXPECT_NE(output.value().standard_error.find("not a git repository"), std::string::npos);
  const auto entries = evaluate_worktree_list_output(output.value(), root_.string());
  ASSERT_FALSE(entries.ok());
  EXPECT_EQ(
      entries.error().message.rfind("git worktree list --porcelain exited 128 in " + root_.string() + ": fatal: ", 0),
      0u)
      << entries.error().message;
}

}  // namespace
}  // namespace worktree_runtime::git
