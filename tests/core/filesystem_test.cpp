#include "platform/filesystem.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "scratch_directory.hpp"

namespace worktree_runtime::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string content_of(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

Directory opened(const std::string& path) {
  SystemResult<Directory> directory = Directory::open(path, Directory::Missing::fail);
  EXPECT_TRUE(directory) << path;
  return std::move(*directory);
}

// The error number of a failed call; 0 for success.
template <class T>
int error_number(const SystemResult<T>& result) {
  return result ? 0 : result.error().number;
}

// An opener gives 0 when it opened the file, else the error number, or -1
// when it tells no reason.
struct OpenerCase {
  const char* name;
  std::function<int(const Directory&, const std::string&)> open;
};

const OpenerCase kOpeners[] = {
    {"open_for_append",
     [](const Directory& d, const std::string& name) { return error_number(d.open_for_append(name)); }},
    {"create_exclusive",
     [](const Directory& d, const std::string& name) { return error_number(d.create_exclusive(name)); }},
    {"create_if_missing",
     [](const Directory& d, const std::string& name) { return error_number(d.create_if_missing(name)); }},
    {"file_lock", [](const Directory& d, const std::string& name) { return error_number(FileLock::acquire(d, name)); }},
    {"read_file",
     [](const Directory& d, const std::string& name) {
       return d.read_file(name, 1024).status != FileContent::Status::failed ? 0 : -1;
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
  EXPECT_NE(GetParam().open(directory, "to-file"), 0);
  EXPECT_NE(GetParam().open(directory, "to-nothing"), 0);
  EXPECT_EQ(content_of(at("victim")), "precious");
  EXPECT_FALSE(fs::exists(at("absent")));
  EXPECT_EQ(GetParam().open(directory, "plain"), 0);
}

// A FIFO nobody reads would swallow a short write and block a long one, and
// opening one for reading waits for a writer: it is refused at once.
TEST_P(EveryOpener, RefusesAFifoWithoutWaiting) {
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0666), 0);
  const Directory directory = opened(root_.string());
  EXPECT_NE(GetParam().open(directory, "fifo"), 0);
  EXPECT_TRUE(fs::is_fifo(at("fifo")));
}

TEST_P(EveryOpener, TakesOnlyOneComponentAsAName) {
  fs::create_directory(at("sub"));
  const Directory directory = opened(root_.string());
  for (const char* name : {"", ".", "..", "sub/file"}) {
    const int error = GetParam().open(directory, name);
    EXPECT_NE(error, 0) << name;
    if (error != -1) {
      EXPECT_EQ(error, EINVAL) << name;
    }
  }
  EXPECT_FALSE(fs::exists(at("sub/file")));
}

INSTANTIATE_TEST_SUITE_P(Openers, EveryOpener, testing::ValuesIn(kOpeners),
                         [](const testing::TestParamInfo<OpenerCase>& opener) {
                           return std::string(opener.param.name);
                         });

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
    EXPECT_EQ(error_number(Directory::open_beneath(at("repo"), ".state/shared/audit", missing)), ELOOP);
  }
  const std::string log = linked + "/log";
  EXPECT_EQ(Directory::read_file_beneath(at("repo"), log, 1024).status, FileContent::Status::failed);
  EXPECT_EQ(error_number(Directory::open_for_append_beneath(at("repo"), log)), ELOOP);
  EXPECT_EQ(content_of(at("elsewhere/log")), "theirs");
  EXPECT_EQ(std::distance(fs::directory_iterator(at("elsewhere")), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(Components, OpenBeneath, testing::Values(".state", ".state/shared", ".state/shared/audit"));

TEST_F(OpenBeneath, FollowsLinksToAndAboveTheRootAndMakesWhatIsMissing) {
  fs::create_directory(at("real"));
  fs::create_symlink(at("real"), at("root-link"));
  SystemResult<Directory> made = Directory::open_beneath(at("root-link/new-root"), "a/b", Directory::Missing::create);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->path(), at("root-link/new-root/a/b"));
  EXPECT_TRUE(made->create_if_missing("file"));
  EXPECT_TRUE(fs::exists(at("real/new-root/a/b/file")));
  EXPECT_TRUE(Directory::open_for_append_beneath(at("root-link/new-root"), "a/b/file"));
  EXPECT_EQ(Directory::read_file_beneath(at("root-link/new-root"), "a/b/file", 16).status, FileContent::Status::read);
  EXPECT_EQ(Directory::read_file_beneath(at("root-link/new-root"), "a/none/file", 16).status,
            FileContent::Status::missing);
  EXPECT_EQ(error_number(Directory::open_beneath(at("real"), "missing/x", Directory::Missing::fail)), ENOENT);
  EXPECT_EQ(error_number(Directory::open_beneath(at("real"), "new-root/../new-root", Directory::Missing::fail)),
            EINVAL);
}

TEST_F(OpenBeneath, TakesAnEmptyRootAsTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  const SystemResult<Directory> made = Directory::open_beneath("", "a/b", Directory::Missing::create);
  fs::current_path(previous);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->path(), "a/b");
  EXPECT_TRUE(fs::is_directory(at("a/b")));
}

// An entry in the way of a rename, and what it is, links not followed.
struct TakenName {
  const char* name;
  void (*make)(const fs::path& path);
  fs::file_type type;
};

const TakenName kTakenNames[] = {
    {"File", [](const fs::path& path) { std::ofstream(path, std::ios::binary) << "old"; }, fs::file_type::regular},
    {"Directory", [](const fs::path& path) { fs::create_directory(path); }, fs::file_type::directory},
    {"LinkToTheSource", [](const fs::path& path) { fs::create_symlink("from", path); }, fs::file_type::symlink},
    {"LinkToNothing", [](const fs::path& path) { fs::create_symlink("absent", path); }, fs::file_type::symlink},
};

void PrintTo(const TakenName& taken, std::ostream* out) { *out << taken.name; }

class RenameOntoATakenName : public ScratchDirectory, public testing::WithParamInterface<TakenName> {};

TEST_P(RenameOntoATakenName, IsRefusedAndLeavesBothEntriesWhole) {
  std::ofstream(at("from"), std::ios::binary) << "new";
  GetParam().make(at("taken"));
  EXPECT_EQ(error_number(opened(root_.string()).rename_without_replacing("from", "taken")), EEXIST);
  EXPECT_EQ(content_of(at("from")), "new");
  EXPECT_EQ(fs::symlink_status(at("taken")).type(), GetParam().type);
  if (GetParam().type == fs::file_type::regular) {
    EXPECT_EQ(content_of(at("taken")), "old");
  }
  EXPECT_FALSE(fs::exists(at("absent")));
}

INSTANTIATE_TEST_SUITE_P(Entries, RenameOntoATakenName, testing::ValuesIn(kTakenNames),
                         [](const testing::TestParamInfo<TakenName>& taken) { return std::string(taken.param.name); });

class DirectoryFiles : public ScratchDirectory {};

TEST_F(DirectoryFiles, RenameWithoutReplacingTakesAFreeName) {
  std::ofstream(at("from"), std::ios::binary) << "new";
  EXPECT_TRUE(opened(root_.string()).rename_without_replacing("from", "free"));
  EXPECT_EQ(content_of(at("free")), "new");
  EXPECT_FALSE(fs::exists(at("from")));
}

// Renames racing onto one free name: one takes it, every other is refused and
// keeps its source.
TEST_F(DirectoryFiles, OfRacingRenamesWithoutReplacingExactlyOneTakesTheName) {
  constexpr int kRacers = 8;
  for (int racer = 0; racer < kRacers; ++racer) std::ofstream(at(std::to_string(racer))) << racer;
  const Directory directory = opened(root_.string());
  std::latch start(kRacers);
  std::atomic<int> winners = 0;
  std::vector<std::thread> racers;
  for (int racer = 0; racer < kRacers; ++racer) {
    racers.emplace_back([&, racer] {
      start.arrive_and_wait();
      if (directory.rename_without_replacing(std::to_string(racer), "target")) ++winners;
    });
  }
  for (std::thread& racer : racers) racer.join();
  EXPECT_EQ(winners, 1);
  int sources_left = 0;
  for (int racer = 0; racer < kRacers; ++racer) {
    if (!fs::exists(at(std::to_string(racer)))) {
      EXPECT_EQ(content_of(at("target")), std::to_string(racer));
      continue;
    }
    EXPECT_EQ(content_of(at(std::to_string(racer))), std::to_string(racer));
    ++sources_left;
  }
  EXPECT_EQ(sources_left, kRacers - 1);
}

TEST_F(DirectoryFiles, LastByteIsReadFromTheEndOfTheOpenFile) {
  const SystemResult<UniqueFd> log = opened(root_.string()).open_for_append("log");
  ASSERT_TRUE(log);
  const UniqueFd& empty = *log;
  EXPECT_EQ(read_last_byte(empty), std::nullopt);
  ASSERT_TRUE(write_all(empty, "line\ntorn"));
  EXPECT_EQ(read_last_byte(empty), 'n');
}

// Holds an exclusive lock on "counter.lock" of a directory, through an open
// file description of its own, while it runs `work`. False when it could not.
struct LockerCase {
  const char* name;
  bool (*while_locked)(const Directory& directory, const std::function<void()>& work);
};

const LockerCase kLockers[] = {
    {"lock_whole_file",
     [](const Directory& directory, const std::function<void()>& work) {
       const SystemResult<UniqueFd> fd = directory.open_for_append("counter.lock");
       if (!fd || !lock_whole_file(*fd)) return false;
       work();
       return true;
     }},
    {"FileLock",
     [](const Directory& directory, const std::function<void()>& work) {
       const SystemResult<FileLock> lock = FileLock::acquire(directory, "counter.lock");
       if (!lock) return false;
       work();
       return true;
     }},
};

void PrintTo(const LockerCase& locker, std::ostream* out) { *out << locker.name; }

// Adds one to the number in the file, taking its time: two additions that
// overlap lose one of them.
void add_one(const std::string& path) {
  long count = 0;
  std::ifstream(path) >> count;
  std::this_thread::sleep_for(100us);
  std::ofstream(path, std::ios::trunc) << count + 1;
}

constexpr int kLockingThreads = 2;
constexpr int kAdditions = 25;

// Threads that each add one to "count" `kAdditions` times, each time under a
// lock of their own; false when a lock could not be taken.
bool add_under_locks(const LockerCase& locker, const std::string& root) {
  const Directory directory = opened(root);
  std::atomic<bool> all_locked = true;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kLockingThreads; ++thread) {
    threads.emplace_back([&] {
      for (int addition = 0; addition < kAdditions; ++addition) {
        if (!locker.while_locked(directory, [&] { add_one(root + "/count"); })) all_locked = false;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return all_locked;
}

class EveryLocker : public ScratchDirectory, public testing::WithParamInterface<LockerCase> {};

// Two processes, each with two threads: every lock excludes every other,
// whichever thread or process holds it.
TEST_P(EveryLocker, ExcludesOtherOpenFileDescriptionsOfThisProcessAndOthers) {
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) ::_exit(add_under_locks(GetParam(), root_.string()) ? 0 : 1);
  EXPECT_TRUE(add_under_locks(GetParam(), root_.string()));
  int status = 0;
  ASSERT_EQ(::waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  long count = 0;
  std::ifstream(at("count")) >> count;
  EXPECT_EQ(count, 2 * kLockingThreads * kAdditions);
}

INSTANTIATE_TEST_SUITE_P(Lockers, EveryLocker, testing::ValuesIn(kLockers),
                         [](const testing::TestParamInfo<LockerCase>& locker) {
                           return std::string(locker.param.name);
                         });

}  // namespace
}  // namespace worktree_runtime::platform
