#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace worktree_runtime {

// The bytes of a file; empty when it cannot be read.
inline std::string file_text(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Writes `text` as the whole file at `path`, making the folders on the way.
inline void write_text_file(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// `text` with every "{root}" in it replaced by `root`: test tables name
// paths below a scratch directory that exists only once the test runs.
inline std::string placed(std::string text, const std::string& root) {
  constexpr std::string_view kMark = "{root}";
  for (std::size_t at = text.find(kMark); at != std::string::npos; at = text.find(kMark, at + root.size())) {
    text.replace(at, kMark.size(), root);
  }
  return text;
}

// The process's current directory moved for a scope, and back afterwards.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::filesystem::path& directory) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
  }
  ~ScopedCurrentDirectory() { std::filesystem::current_path(previous_); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// A fresh, canonical directory per test, removed afterwards.
class ScratchDirectory : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "core-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = std::filesystem::canonical(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string at(const std::string& relative) const { return (root_ / relative).string(); }

  std::filesystem::path root_;
};

// A scratch directory for real git: git looks no higher and reads no user or
// system configuration.
class GitScratchDirectory : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    ::setenv("GIT_CEILING_DIRECTORIES", root_.c_str(), 1);
    ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    ::setenv("HOME", root_.c_str(), 1);
    ::unsetenv("QUORBEL_REPO_ROOT");
  }

  // Runs `script` with sh in the scratch directory; it must succeed.
  void shell(const std::string& script) {
    const std::string command = "cd '" + root_.string() + "' && (" + script + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << script;
  }

  // main/ with one commit on main, and linked/ on branch feature.
  void make_repository_with_linked_worktree() {
    shell(
        "git init -q -b main main && git -C main -c user.email=a@b -c user.name=n commit -q --allow-empty -m i"
        " && git -C main worktree add -q ../linked -b feature");
  }
};

}  // namespace worktree_runtime
