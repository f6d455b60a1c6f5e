#include "platform/filesystem.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

Directory opened(const std::string& path) {
  std::optional<Directory> directory = Directory::open(path, Directory::Missing::fail);
  EXPECT_TRUE(directory) << path;
  return std::move(*directory);
}

struct OpenerCase {
  const char* name;
  std::function<bool(const Directory&, const std::string&)> open;
};

const OpenerCase kOpeners[] = {
    {"open_for_append", [](const Directory& d, const std::string& name) { return bool(d.open_for_append(name)); }},
    {"create_exclusive", [](const Directory& d, const std::string& name) { return bool(d.create_exclusive(name)); }},
    {"create_if_missing", [](const Directory& d, const std::string& name) { return d.create_if_missing(name); }},
    {"file_lock", [](const Directory& d, const std::string& name) { return FileLock(d, name).locked(); }},
    {"read_file",
     [](const Directory& d, const std::string& name) {
       return d.read_file(name, 1024).status != FileContent::Status::failed;
     }},
};

class EveryOpener : public ScratchDirectory, public testing::WithParamInterface<OpenerCase> {};

// A link at the name a file is opened by is refused, whether it points at a
// file of someone else's or at a name that does not exist yet.
TEST_P(EveryOpener, NeverFollowsALinkAtTheName) {
  std::ofstream(at("victim"), std::ios::binary) << "precious";
  fs::create_symlink(at("victim"), at("to-file"));
  fs::create_symlink(at("absent"), at("to-nothing"));
  const Directory directory = opened(root_.string());
  EXPECT_FALSE(GetParam().open(directory, "to-file"));
  EXPECT_FALSE(GetParam().open(directory, "to-nothing"));
  EXPECT_EQ(content_of(at("victim")), "precious");
  EXPECT_FALSE(fs::exists(at("absent")));
  EXPECT_TRUE(GetParam().open(directory, "plain"));
}

// A FIFO nobody reads would swallow a short write and block a long one, and
// opening one for reading waits for a writer: it is refused at once.
TEST_P(EveryOpener, RefusesAFifoWithoutWaiting) {
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0666), 0);
  const Directory directory = opened(root_.string());
  EXPECT_FALSE(GetParam().open(directory, "fifo"));
  EXPECT_TRUE(fs::is_fifo(at("fifo")));
}

TEST_P(EveryOpener, TakesOnlyOneComponentAsAName) {
  fs::create_directory(at("sub"));
  const Directory directory = opened(root_.string());
  for (const char* name : {"", ".", "..", "sub/file"}) {
    errno = 0;
    EXPECT_FALSE(GetParam().open(directory, name)) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
  EXPECT_FALSE(fs::exists(at("sub/file")));
}

INSTANTIATE_TEST_SUITE_P(Openers, EveryOpener, testing::ValuesIn(kOpeners),
                         [](const testing::TestParamInfo<OpenerCase>& opener) { return std::string(opener.param.name); });

class OpenBeneath : public ScratchDirectory, public testing::WithParamInterface<const char*> {};

// A link at any component below the root, to a directory or to nothing, is
// refused with ELOOP, and nothing is made where it points.
TEST_P(OpenBeneath, RefusesALinkAtAnyComponent) {
  const std::string linked = GetParam();
  fs::create_directories(at("repo/" + linked).substr(0, at("repo/" + linked).rfind('/')));
  fs::create_directory(at("elsewhere"));
  fs::create_symlink(at("elsewhere"), at("repo/" + linked));
  std::ofstream(at("elsewhere/log"), std::ios::binary) << "theirs";
  for (const Directory::Missing missing : {Directory::Missing::fail, Directory::Missing::create}) {
    errno = 0;
    EXPECT_FALSE(Directory::open_beneath(at("repo"), ".state/shared/audit", missing));
    EXPECT_EQ(errno, ELOOP);
  }
  const std::string log = linked + "/log";
  EXPECT_EQ(Directory::read_file_beneath(at("repo"), log, 1024).status, FileContent::Status::failed);
  errno = 0;
  EXPECT_FALSE(Directory::open_for_append_beneath(at("repo"), log));
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(content_of(at("elsewhere/log")), "theirs");
  EXPECT_EQ(std::distance(fs::directory_iterator(at("elsewhere")), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(Components, OpenBeneath, testing::Values(".state", ".state/shared", ".state/shared/audit"));

TEST_F(OpenBeneath, FollowsLinksToAndAboveTheRootAndMakesWhatIsMissing) {
  fs::create_directory(at("real"));
  fs::create_symlink(at("real"), at("root-link"));
  std::optional<Directory> made = Directory::open_beneath(at("root-link/new-root"), "a/b", Directory::Missing::create);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->path(), at("root-link/new-root/a/b"));
  EXPECT_TRUE(made->create_if_missing("file"));
  EXPECT_TRUE(fs::exists(at("real/new-root/a/b/file")));
  EXPECT_TRUE(Directory::open_for_append_beneath(at("root-link/new-root"), "a/b/file"));
  EXPECT_EQ(Directory::read_file_beneath(at("root-link/new-root"), "a/b/file", 16).status, FileContent::Status::read);
  EXPECT_EQ(Directory::read_file_beneath(at("root-link/new-root"), "a/none/file", 16).status,
            FileContent::Status::missing);
  errno = 0;
  EXPECT_FALSE(Directory::open_beneath(at("real"), "missing/x", Directory::Missing::fail));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(Directory::open_beneath(at("real"), "new-root/../new-root", Directory::Missing::fail));
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(OpenBeneath, TakesAnEmptyRootAsTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  const std::optional<Directory> made = Directory::open_beneath("", "a/b", Directory::Missing::create);
  fs::current_path(previous);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->path(), "a/b");
  EXPECT_TRUE(fs::is_directory(at("a/b")));
}

class DirectoryFiles : public ScratchDirectory {};

TEST_F(DirectoryFiles, RenameWithoutReplacingRefusesATakenNameAndTakesAFreeOne) {
  std::ofstream(at("from"), std::ios::binary) << "new";
  std::ofstream(at("taken"), std::ios::binary) << "old";
  const Directory directory = opened(root_.string());
  errno = 0;
  EXPECT_FALSE(directory.rename_without_replacing("from", "taken"));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(content_of(at("taken")), "old");
  EXPECT_TRUE(directory.rename_without_replacing("from", "free"));
  EXPECT_EQ(content_of(at("free")), "new");
  EXPECT_FALSE(fs::exists(at("from")));
}

TEST_F(DirectoryFiles, LastByteIsReadFromTheEndOfTheOpenFile) {
  const UniqueFd empty = opened(root_.string()).open_for_append("log");
  EXPECT_EQ(read_last_byte(empty), std::nullopt);
  ASSERT_TRUE(write_all(empty, "line\ntorn"));
  EXPECT_EQ(read_last_byte(empty), 'n');
}

}  // namespace
}  // namespace worktree_runtime::platform
