// The two writers with one step of their file work failing: what each leaves
// on disk, and what the audit writer says on standard error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "audit/audit_log.hpp"
#include "bindings/binding_store.hpp"
#include "platform/file_system.hpp"
#include "scratch_directory.hpp"

namespace worktree_runtime {
namespace {

namespace fs = std::filesystem;
using platform::Directory;
using platform::SystemError;
using platform::SystemResult;
using platform::UniqueFd;

// The file operations a writer makes, each of which a test can make fail.
enum class Step {
  open_directory,
  open_log,
  read,
  lock_file,
  lock_log,
  create,
  open_for_append,
  create_if_missing,
  write,
  sync,
  sync_directory,
  rename,
  rename_without_replacing,
  remove,
  list,
};

// The real file system, except that the chosen steps fail with the chosen
// error, every time or only the first `times` times.
class FailingSteps : public platform::FileSystem {
 public:
  FailingSteps(std::set<Step> steps, SystemError error, int times = -1)
      : steps_(std::move(steps)), error_(error), times_(times) {}

  SystemResult<Directory> open_beneath(std::string_view root, std::string_view relative,
                                       Directory::Missing missing) const override {
    if (fails(Step::open_directory)) return error_;
    return FileSystem::open_beneath(root, relative, missing);
  }
  SystemResult<UniqueFd> open_for_append_beneath(std::string_view root, std::string_view relative) const override {
    if (fails(Step::open_log)) return error_;
    return FileSystem::open_for_append_beneath(root, relative);
  }
  platform::FileContent read_file(const Directory& directory, std::string_view name,
                                  std::size_t max_bytes) const override {
    if (fails(Step::read)) return {platform::FileContent::Status::failed, {}};
    return FileSystem::read_file(directory, name, max_bytes);
  }
  SystemResult<platform::FileLock> lock_file(const Directory& directory, std::string_view name) const override {
    if (fails(Step::lock_file)) return error_;
    return FileSystem::lock_file(directory, name);
  }
  SystemResult<void> lock_whole_file(const UniqueFd& fd) const override {
    if (fails(Step::lock_log)) return error_;
    return FileSystem::lock_whole_file(fd);
  }
  SystemResult<UniqueFd> create_exclusive(const Directory& directory, std::string_view name) const override {
    if (fails(Step::create)) return error_;
    return FileSystem::create_exclusive(directory, name);
  }
  SystemResult<UniqueFd> open_for_append(const Directory& directory, std::string_view name) const override {
    if (fails(Step::open_for_append)) return error_;
    return FileSystem::open_for_append(directory, name);
  }
  SystemResult<void> create_if_missing(const Directory& directory, std::string_view name) const override {
    if (fails(Step::create_if_missing)) return error_;
    return FileSystem::create_if_missing(directory, name);
  }
  SystemResult<void> write_all(const UniqueFd& fd, std::string_view bytes) const override {
    if (fails(Step::write)) return error_;
    return FileSystem::write_all(fd, bytes);
  }
  SystemResult<void> sync(const UniqueFd& fd) const override {
    if (fails(Step::sync)) return error_;
    return FileSystem::sync(fd);
  }
  SystemResult<void> sync_directory(const Directory& directory) const override {
    if (fails(Step::sync_directory)) return error_;
    return FileSystem::sync_directory(directory);
  }
  SystemResult<void> rename_replacing(const Directory& directory, std::string_view from,
                                      std::string_view to) const override {
    if (fails(Step::rename)) return error_;
    return FileSystem::rename_replacing(directory, from, to);
  }
  SystemResult<void> rename_without_replacing(const Directory& directory, std::string_view from,
                                              std::string_view to) const override {
    if (fails(Step::rename_without_replacing)) return error_;
    return FileSystem::rename_without_replacing(directory, from, to);
  }
  SystemResult<void> remove_file(const Directory& directory, std::string_view name) const override {
    if (fails(Step::remove)) return error_;
    return FileSystem::remove_file(directory, name);
  }
  SystemResult<std::vector<platform::DirectoryEntry>> list(const Directory& directory) const override {
    if (fails(Step::list)) return error_;
    return FileSystem::list(directory);
  }

 private:
  bool fails(Step step) const {
    if (!steps_.contains(step) || times_ == 0) return false;
    if (times_ > 0) --times_;
    return true;
  }

  std::set<Step> steps_;
  SystemError error_;
  mutable int times_;
};

// The names in `directory`, sorted.
std::set<std::string> names_in(const fs::path& directory) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// ---------------------------------------------------------------- the store

constexpr std::string_view kStoreText = R"({
  "bindings": [
    {
      "branch": "feature",
      "commit_ish": "HEAD",
      "git_common_dir": "/repo/.git",
      "main_worktree": "/repo",
      "schema_version": 2,
      "session_id": "kept",
      "state_path": "/repo/.p/state/velmorin",
      "worktree": "/wt/kept"
    }
  ],
  "schema_version": 2
}
)";

bindings::WorktreeBinding new_binding() {
  return bindings::build_binding("new", "/wt/new", "topic", "/repo/.p/state/velmorin", "/repo/.git", "/repo", "HEAD",
                                 std::nullopt);
}

class StoreWriter : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    fs::create_directories(folder());
    write_text_file(folder() / "bindings.json", kStoreText);
  }

  fs::path folder() const { return root_ / ".p/state/worktree-runtime"; }
  bindings::WorktreeBindingStore store() const {
    return {root_.string(), (folder() / "bindings.json").string(), ".p/state/worktree-runtime"};
  }

  // The store file is exactly as it was, and nothing but the lock is beside it.
  void expect_store_untouched() const {
    EXPECT_EQ(file_text(folder() / "bindings.json"), kStoreText);
    std::set<std::string> names = names_in(folder());
    names.erase("bindings.json.lock");
    EXPECT_EQ(names, std::set<std::string>{"bindings.json"});
  }
};

struct StoreFailure {
  const char* name;
  std::set<Step> steps;
  SystemError error;
};

void PrintTo(const StoreFailure& failure, std::ostream* out) { *out << failure.name; }

const StoreFailure kStoreFailures[] = {
    {"OpenDirectory", {Step::open_directory}, {EACCES}},
    {"Lock", {Step::lock_file}, {ENOLCK}},
    {"Read", {Step::read}, {EIO}},
    {"Create", {Step::create}, {EACCES}},
    {"EveryTemporaryNameTaken", {Step::create}, {EEXIST}},
    {"Write", {Step::write}, {ENOSPC}},
    {"WriteNothing", {Step::write}, SystemError::nothing_written()},
    {"Sync", {Step::sync}, {EIO}},
    {"Rename", {Step::rename}, {EXDEV}},
};

class StoreWriterStep : public StoreWriter, public testing::WithParamInterface<StoreFailure> {};

TEST_P(StoreWriterStep, UpsertLeavesTheOldStoreWholeAndNoTemporaryFile) {
  const FailingSteps files(GetParam().steps, GetParam().error);
  bindings::upsert(store(), new_binding(), files);
  expect_store_untouched();
  EXPECT_FALSE(bindings::load(store(), "new"));
}

TEST_P(StoreWriterStep, RemoveLeavesTheOldStoreWholeAndNoTemporaryFile) {
  const FailingSteps files(GetParam().steps, GetParam().error);
  (void)bindings::remove(store(), "kept", files);
  expect_store_untouched();
  EXPECT_TRUE(bindings::load(store(), "kept"));
}

INSTANTIATE_TEST_SUITE_P(Steps, StoreWriterStep, testing::ValuesIn(kStoreFailures),
                         [](const testing::TestParamInfo<StoreFailure>& failure) { return failure.param.name; });

TEST_F(StoreWriter, ATemporaryFileThatCouldNotBeRemovedIsRemovedByTheNextWriter) {
  bindings::upsert(store(), new_binding(), FailingSteps({Step::write, Step::remove}, {EIO}));
  EXPECT_EQ(file_text(folder() / "bindings.json"), kStoreText);
  EXPECT_EQ(names_in(folder()).size(), 3u);  // the store, its lock and the temporary file
  bindings::upsert(store(), new_binding());
  EXPECT_TRUE(bindings::load(store(), "kept"));
  EXPECT_TRUE(bindings::load(store(), "new"));
  EXPECT_EQ(names_in(folder()), (std::set<std::string>{"bindings.json", "bindings.json.lock"}));
}

TEST_F(StoreWriter, AFailedFlushOfTheFolderKeepsTheReplacedStore) {
  bindings::upsert(store(), new_binding(), FailingSteps({Step::sync_directory}, {EIO}));
  EXPECT_TRUE(bindings::load(store(), "kept"));
  EXPECT_TRUE(bindings::load(store(), "new"));
  EXPECT_EQ(names_in(folder()), (std::set<std::string>{"bindings.json", "bindings.json.lock"}));
}

// ------------------------------------------------------------ the audit log

constexpr std::string_view kLogText = "{\"earlier\":1}\n{\"earlier\":2}\n";

audit::AuditEventInput event() {
  return {.kind = "worktree.create",
          .branch = "main",
          .worktree_path = "/w/new",
          .invoker = "cli",
          .outcome = "ok",
          .session_id = "s-1",
          .correlation_id = std::nullopt,
          .elapsed_ms = std::nullopt,
          .extra_json = std::nullopt};
}

// An audit directory named by the environment, holding a log.
class AuditWriter : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    ::setenv("VELMORIN_SHARED_DIR", root_.c_str(), 1);
    fs::create_directory(audit_dir());
    write_text_file(log_path(), kLogText);
  }
  void TearDown() override {
    ::unsetenv("VELMORIN_SHARED_DIR");
    ScratchDirectory::TearDown();
  }

  fs::path audit_dir() const { return root_ / "audit"; }
  fs::path log_path() const { return audit_dir() / "worktree-events.ndjson"; }
  Directory opened_audit_dir() const {
    SystemResult<Directory> directory = Directory::open(audit_dir().string(), Directory::Missing::fail);
    EXPECT_TRUE(directory);
    return std::move(*directory);
  }

  // What the append wrote to standard error.
  std::string append_with(const platform::FileSystem& files) {
    testing::internal::CaptureStderr();
    audit::append_audit_event(event(), files);
    return testing::internal::GetCapturedStderr();
  }
};

struct AppendFailure {
  const char* name;
  std::set<Step> steps;
  SystemError error;
  const char* reported;
};

void PrintTo(const AppendFailure& failure, std::ostream* out) { *out << failure.name; }

const AppendFailure kAppendFailures[] = {
    {"MakeDirectory",
     {Step::open_log, Step::open_directory},
     {EACCES},
     "[WORKTREE-AUDIT-FAILOPEN] mkdir: Permission denied (os error 13)\n"},
    {"OpenLog",
     {Step::open_log, Step::open_for_append},
     {ENXIO},
     "[WORKTREE-AUDIT-FAILOPEN] lock: No such device or address (os error 6)\n"},
    {"Lock", {Step::lock_log}, {ENOLCK}, "[WORKTREE-AUDIT-FAILOPEN] lock: No locks available (os error 37)\n"},
    {"Write", {Step::write}, {ENOSPC}, "[WORKTREE-AUDIT-FAILOPEN] write: No space left on device (os error 28)\n"},
    {"WriteNothing",
     {Step::write},
     SystemError::nothing_written(),
     "[WORKTREE-AUDIT-FAILOPEN] write: failed to write whole buffer\n"},
};

class AuditAppendStep : public AuditWriter, public testing::WithParamInterface<AppendFailure> {};

TEST_P(AuditAppendStep, ReportsTheStepAndItsReasonAndLeavesTheLogWhole) {
  EXPECT_EQ(append_with(FailingSteps(GetParam().steps, GetParam().error)), GetParam().reported);
  EXPECT_EQ(file_text(log_path()), kLogText);
}

INSTANTIATE_TEST_SUITE_P(Steps, AuditAppendStep, testing::ValuesIn(kAppendFailures),
                         [](const testing::TestParamInfo<AppendFailure>& failure) { return failure.param.name; });

TEST_F(AuditWriter, AnAppendThatFailsNowhereWritesOneLineAndReportsNothing) {
  EXPECT_EQ(append_with(platform::FileSystem()), "");
  const std::string log = file_text(log_path());
  ASSERT_TRUE(log.starts_with(kLogText));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

// ------------------------------------------------------------- the rotation

// The active log's records are all still somewhere in the directory: in the
// active log or in exactly one archive.
void expect_records_kept(const fs::path& directory) {
  std::string kept;
  for (const std::string& name : names_in(directory)) {
    if (name.ends_with(".ndjson")) kept += file_text(directory / name);
  }
  EXPECT_EQ(kept, kLogText);
}

struct RotationFailure {
  const char* name;
  Step step;
  std::set<std::string> kinds_left;  // "log", "archive", "sentinel"
};

void PrintTo(const RotationFailure& failure, std::ostream* out) { *out << failure.name; }

// What kinds of entry the directory holds.
std::set<std::string> kinds_in(const fs::path& directory) {
  std::set<std::string> kinds;
  for (const std::string& name : names_in(directory)) {
    if (name == "worktree-events.ndjson") {
      kinds.insert("log");
    } else if (name == "worktree-events.ndjson.rotating") {
      kinds.insert("sentinel");
    } else if (name.starts_with("worktree-events.") && name.ends_with(".ndjson")) {
      kinds.insert("archive");
    } else {
      kinds.insert(name);
    }
  }
  return kinds;
}

const RotationFailure kRotationFailures[] = {
    // Without the sentinel there is no rotation: the log stays where it is.
    {"Sentinel", Step::create, {"log"}},
    // A log that cannot be moved keeps its records in place.
    {"Move", Step::rename_without_replacing, {"log"}},
    // The next append creates the log again.
    {"NewLog", Step::create_if_missing, {"archive"}},
    // The sentinel left behind is removed once it is old.
    {"RemoveSentinel", Step::remove, {"log", "archive", "sentinel"}},
};

class AuditRotationStep : public AuditWriter, public testing::WithParamInterface<RotationFailure> {};

TEST_P(AuditRotationStep, KeepsEveryRecord) {
  audit::rotate_audit_log(opened_audit_dir(), FailingSteps({GetParam().step}, {EIO}));
  expect_records_kept(audit_dir());
  EXPECT_EQ(kinds_in(audit_dir()), GetParam().kinds_left);
}

INSTANTIATE_TEST_SUITE_P(Steps, AuditRotationStep, testing::ValuesIn(kRotationFailures),
                         [](const testing::TestParamInfo<RotationFailure>& failure) { return failure.param.name; });

TEST_F(AuditWriter, ARotationMovesTheLogToTheNextFreeArchiveName) {
  audit::rotate_audit_log(opened_audit_dir(), FailingSteps({Step::rename_without_replacing}, {EEXIST}, 2));
  expect_records_kept(audit_dir());
  std::set<std::string> names = names_in(audit_dir());
  ASSERT_EQ(names.size(), 2u);
  names.erase("worktree-events.ndjson");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names.begin()->ends_with(".3.ndjson")) << *names.begin();
  EXPECT_EQ(file_text(log_path()), "");
}

// ---------------------------------------------------------------- pruning

// Four archives of 60 MiB each (sparse), past the 200 MiB budget.
void make_archives_past_the_budget(const fs::path& directory) {
  for (const char* month : {"2026-01", "2026-02", "2026-03", "2026-04"}) {
    const fs::path archive = directory / ("worktree-events." + std::string(month) + ".ndjson");
    write_text_file(archive, "");
    fs::resize_file(archive, 60u << 20);
  }
}

struct PruneFailure {
  const char* name;
  Step step;
  const char* reported;
};

void PrintTo(const PruneFailure& failure, std::ostream* out) { *out << failure.name; }

const PruneFailure kPruneFailures[] = {
    {"List", Step::list, "[WORKTREE-AUDIT-FAILOPEN] prune-list: Permission denied (os error 13)\n"},
    {"Delete", Step::remove, "[WORKTREE-AUDIT-FAILOPEN] prune-delete: Permission denied (os error 13)\n"},
};

class AuditPruneStep : public AuditWriter, public testing::WithParamInterface<PruneFailure> {};

TEST_P(AuditPruneStep, ReportsTheStepAndDeletesNothing) {
  make_archives_past_the_budget(audit_dir());
  const std::set<std::string> before = names_in(audit_dir());
  testing::internal::CaptureStderr();
  audit::prune_audit_archives(opened_audit_dir(), FailingSteps({GetParam().step}, {EACCES}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().reported);
  EXPECT_EQ(names_in(audit_dir()), before);
}

INSTANTIATE_TEST_SUITE_P(Steps, AuditPruneStep, testing::ValuesIn(kPruneFailures),
                         [](const testing::TestParamInfo<PruneFailure>& failure) { return failure.param.name; });

}  // namespace
}  // namespace worktree_runtime
