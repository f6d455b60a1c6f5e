#include "locations/repository_context.hpp"

#include <gtest/gtest.h>

#include <string>

#include "scratch_directory.hpp"

namespace worktree_runtime::locations {
namespace {

// main/ (identifier "proj", not committed) and linked/ (identifier "own",
// not committed), bare.git, and plain/ outside any repository.
class RepositoryContextOf : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    make_repository_with_linked_worktree();
    shell("mkdir -p linked/sub plain && git init -q --bare bare.git");
    write_text_file(root_ / "main" / "pyproject.toml", "[tool.velmorin]\nproject_id = \"proj\"\n");
    write_text_file(root_ / "linked" / "pyproject.toml", "[tool.velmorin]\nproject_id = \"own\"\n");
  }

  void expect_context(const std::string& directory, const std::string& main_worktree, const std::string& state) {
    SCOPED_TRACE(directory);
    const RepositoryContext context = resolve_repository_context(at(directory));
    EXPECT_EQ(context.main_worktree_root, at(main_worktree));
    EXPECT_EQ(context.store_relative_directory, state + "/state/worktree-runtime");
    EXPECT_EQ(context.session_state_relative_path, state + "/state/velmorin");
  }
};

// Every worktree of a repository shares the main worktree's store and
// names its session state area after the main worktree's identifier.
TEST_F(RepositoryContextOf, AnyWorktreeIsItsRepositorysMainWorktree) {
  expect_context("main", "main", ".proj");
  expect_context("linked", "main", ".proj");
  expect_context("linked/sub", "main", ".proj");
}

// Where git names no main worktree, the directory is its own.
TEST_F(RepositoryContextOf, ADirectoryWithoutAMainWorktreeIsItsOwn) {
  expect_context("plain", "plain", ".quorbel");
  expect_context("bare.git", "bare.git", ".quorbel");
  expect_context("missing", "missing", ".quorbel");
}

}  // namespace
}  // namespace worktree_runtime::locations
