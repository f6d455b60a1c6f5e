#include "platform/filesystem.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "scratch_directory.hpp"

namespace worktree_runtime::platform {
namespace {

namespace fs = std::filesystem;

std::string content_of(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

struct WriterCase {
  const char* name;
  std::function<bool(const std::string&)> open;
};

class SymlinkAtFinalName : public ScratchDirectory, public testing::WithParamInterface<WriterCase> {};

// A link at the name a writer opens is refused, whether it points at a file
// of someone else's or at a name that does not exist yet.
TEST_P(SymlinkAtFinalName, IsNeverFollowed) {
  std::ofstream(at("victim"), std::ios::binary) << "precious";
  fs::create_symlink(at("victim"), at("to-file"));
  fs::create_symlink(at("absent"), at("to-nothing"));
  EXPECT_FALSE(GetParam().open(at("to-file")));
  EXPECT_FALSE(GetParam().open(at("to-nothing")));
  EXPECT_EQ(content_of(at("victim")), "precious");
  EXPECT_FALSE(fs::exists(at("absent")));
  EXPECT_TRUE(GetParam().open(at("plain")));
}

INSTANTIATE_TEST_SUITE_P(
    Writers, SymlinkAtFinalName,
    testing::Values(WriterCase{"open_for_append", [](const std::string& path) { return bool(open_for_append(path)); }},
                    WriterCase{"create_exclusive",
                               [](const std::string& path) { return bool(create_exclusive(path)); }},
                    WriterCase{"create_if_missing", [](const std::string& path) { return create_if_missing(path); }},
                    WriterCase{"file_lock", [](const std::string& path) { return FileLock(path).locked(); }}),
    [](const testing::TestParamInfo<WriterCase>& writer) { return std::string(writer.param.name); });

class RenameWithoutReplacing : public ScratchDirectory {};

TEST_F(RenameWithoutReplacing, RefusesATakenNameAndTakesAFreeOne) {
  std::ofstream(at("from"), std::ios::binary) << "new";
  std::ofstream(at("taken"), std::ios::binary) << "old";
  errno = 0;
  EXPECT_FALSE(rename_without_replacing(at("from"), at("taken")));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(content_of(at("taken")), "old");
  EXPECT_TRUE(rename_without_replacing(at("from"), at("free")));
  EXPECT_EQ(content_of(at("free")), "new");
  EXPECT_FALSE(fs::exists(at("from")));
}

class LastByte : public ScratchDirectory {};

TEST_F(LastByte, IsReadFromTheEndOfTheOpenFile) {
  const UniqueFd empty = open_for_append(at("log"));
  EXPECT_EQ(read_last_byte(empty), std::nullopt);
  ASSERT_TRUE(write_all(empty, "line\ntorn"));
  EXPECT_EQ(read_last_byte(empty), 'n');
}

}  // namespace
}  // namespace worktree_runtime::platform
