#include "git/git.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "scratch_directory.hpp"

namespace worktree_runtime::git {
namespace {

namespace fs = std::filesystem;

// Real repositories in a fresh directory that git does not look above.
class GitRepositories : public GitScratchDirectory {};

TEST_F(GitRepositories, MainWorktreeRootIsFoundFromEveryWorktree) {
  make_repository_with_linked_worktree();
  shell("mkdir main/sub && ln -s main alias");
  EXPECT_EQ(resolve_main_worktree_root(at("main")), at("main"));
  EXPECT_EQ(resolve_main_worktree_root(at("main/sub")), at("main"));
  EXPECT_EQ(resolve_main_worktree_root(at("linked")), at("main"));
  EXPECT_EQ(resolve_main_worktree_root(at("alias")), at("main"));
}

TEST_F(GitRepositories, MainWorktreeRootFallsBackToItsArgument) {
  shell(
      "git init -q --bare bare.git && mkdir plain && mkdir store && git init -q --separate-git-dir=store/gitdir "
      "separate");
  EXPECT_EQ(resolve_main_worktree_root(at("bare.git")), at("bare.git"));
  EXPECT_EQ(resolve_main_worktree_root(at("plain/")), at("plain/"));
  EXPECT_EQ(resolve_main_worktree_root(at("separate")), at("separate"));
  EXPECT_EQ(resolve_main_worktree_root(at("missing")), at("missing"));
}

TEST_F(GitRepositories, RepoRootPrefersTheExplicitRootThenTheVariable) {
  make_repository_with_linked_worktree();
  const fs::path previous = fs::current_path();
  fs::current_path(root_ / "linked");
  EXPECT_EQ(resolve_repo_root("relative/missing"), "relative/missing");
  EXPECT_EQ(resolve_repo_root(std::nullopt), at("linked"));
  ::setenv("QUORBEL_REPO_ROOT", "", 1);
  EXPECT_EQ(resolve_repo_root(""), at("linked"));
  ::setenv("QUORBEL_REPO_ROOT", "not/normalised/", 1);
  EXPECT_EQ(resolve_repo_root(std::nullopt), "not/normalised/");
  ::setenv("QUORBEL_REPO_ROOT", "bad\xFF", 1);
  EXPECT_EQ(resolve_repo_root(std::nullopt), at("linked"));
  ::unsetenv("QUORBEL_REPO_ROOT");
  fs::current_path(previous);
}

TEST_F(GitRepositories, RunGitTrimsOutputAndHidesFailures) {
  make_repository_with_linked_worktree();
  EXPECT_EQ(run_git(at("linked"), {"branch", "--show-current"}), "feature");
  EXPECT_EQ(run_git(at("linked"), {"rev-parse", "--verify", "no-such-ref"}), "");
  EXPECT_EQ(run_git(at("missing"), {"status"}), "");
}

}  // namespace
}  // namespace worktree_runtime::git
