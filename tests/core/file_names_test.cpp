#include "locations/file_names.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

namespace worktree_runtime::locations {
namespace {

class TemporaryFileName : public testing::TestWithParam<std::tuple<std::string, bool>> {};

// A writer removes every file of this form under the store's lock: a name
// that is not one of its own must never match.
TEST_P(TemporaryFileName, IsOnlyTheStoresOwnForm) {
  const auto& [name, temporary] = GetParam();
  EXPECT_EQ(is_temporary_file_name(name), temporary);
}

INSTANTIATE_TEST_SUITE_P(Names, TemporaryFileName,
                         testing::Values(std::tuple{".tmpAb12Z9.tmp", true}, std::tuple{".tmp000000.tmp", true},
                                         std::tuple{".tmpzzzzzz.tmp", true}, std::tuple{".tmpshort.tmp", false},
                                         std::tuple{".tmpAb12Z9x.tmp", false}, std::tuple{".tmpAb-12Z.tmp", false},
                                         std::tuple{".tmpAb 12Z.tmp", false},
                                         std::tuple{".tmpAb12Z\xC3\xA9.tmp", false},
                                         std::tuple{".tmpAb12Z9.tmp.keep", false}, std::tuple{"x.tmpAb12Z9.tmp", false},
                                         std::tuple{".TMPAb12Z9.TMP", false}, std::tuple{"bindings.json", false},
                                         std::tuple{"bindings.json.lock", false}, std::tuple{"", false}));

TEST(TemporaryFileName, EveryNewNameHasTheFormAndTheyDiffer) {
  std::set<std::string> names;
  for (int count = 0; count < 1000; ++count) {
    const std::string name = temporary_file_name();
    EXPECT_TRUE(is_temporary_file_name(name)) << name;
    names.insert(name);
  }
  EXPECT_GT(names.size(), 990u);
}

class ArchiveName : public testing::TestWithParam<std::tuple<std::string, bool>> {};

// Pruning deletes only archives: never the active log, its rotation
// sentinel, or a file of another name.
TEST_P(ArchiveName, IsAnArchiveOnlyInTheArchivesForm) {
  const auto& [name, archive] = GetParam();
  EXPECT_EQ(is_archive_name(name), archive);
}

INSTANTIATE_TEST_SUITE_P(Names, ArchiveName,
                         testing::Values(std::tuple{"worktree-events.2026-01.ndjson", true},
                                         std::tuple{"worktree-events.2026-01.2.ndjson", true},
                                         std::tuple{"worktree-events.2026-12.17.ndjson", true},
                                         std::tuple{"worktree-events.ndjson", false},
                                         std::tuple{"worktree-events.ndjson.rotating", false},
                                         std::tuple{"worktree-events.2026-01.ndjson.tmp", false},
                                         std::tuple{"Worktree-events.2026-01.ndjson", false},
                                         std::tuple{"other-events.2026-01.ndjson", false},
                                         std::tuple{"worktree-events.2026-01.json", false}, std::tuple{"", false}));

TEST(ArchiveName, TheMonthsFirstArchiveHasNoNumberAndLaterOnesDo) {
  EXPECT_EQ(archive_name("2026-01", 1), "worktree-events.2026-01.ndjson");
  EXPECT_EQ(archive_name("2026-01", 2), "worktree-events.2026-01.2.ndjson");
  EXPECT_EQ(archive_name("2026-01", 10), "worktree-events.2026-01.10.ndjson");
  for (const int number : {1, 2, 10}) EXPECT_TRUE(is_archive_name(archive_name("2026-01", number))) << number;
}

TEST(SessionMetadataPath, IsBelowTheSessionsFolderOfTheStateArea) {
  EXPECT_EQ(session_metadata_path(".quorbel/state/velmorin", "s1"),
            ".quorbel/state/velmorin/sessions/s1/metadata.json");
  EXPECT_EQ(session_metadata_path(".proj/state/velmorin", "a-b_c"),
            ".proj/state/velmorin/sessions/a-b_c/metadata.json");
}

}  // namespace
}  // namespace worktree_runtime::locations
