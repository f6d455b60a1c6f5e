#include "paths/paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "scratch_directory.hpp"

namespace worktree_runtime::locations {
namespace {

namespace fs = std::filesystem;

// A fresh directory tree per test: root/existing/child and root/link -> existing.
class NormalizePath : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    fs::create_directories(root_ / "existing" / "child");
    fs::create_directory_symlink(root_ / "existing", root_ / "link");
  }
};

TEST_F(NormalizePath, BlankInputGivesEmptyText) {
  EXPECT_EQ(paths::normalize_path(""), "");
  EXPECT_EQ(paths::normalize_path(" \t\n"), "");
  EXPECT_EQ(paths::normalize_path("\xE3\x80\x80"), "");
}

TEST_F(NormalizePath, ExistingPathsBecomeCanonical) {
  const std::string canonical = at("existing/child");
  EXPECT_EQ(paths::normalize_path(canonical), canonical);
  EXPECT_EQ(paths::normalize_path(canonical + "/"), canonical);
  EXPECT_EQ(paths::normalize_path(canonical + "//."), canonical);
  EXPECT_EQ(paths::normalize_path(at("link/child")), canonical);
  EXPECT_EQ(paths::normalize_path(at("existing/../existing/./child")), canonical);
  EXPECT_EQ(paths::normalize_path("/"), "/");
}

TEST_F(NormalizePath, MissingLastComponentJoinsCanonicalParent) {
  EXPECT_EQ(paths::normalize_path(at("link/missing")), at("existing/missing"));
  EXPECT_EQ(paths::normalize_path(at("link/missing/")), at("existing/missing"));
  EXPECT_EQ(paths::normalize_path(at("existing/./missing/.")), at("existing/missing"));
  EXPECT_EQ(paths::normalize_path(at("link/./Missing Name")), at("existing/Missing Name"));
}

TEST_F(NormalizePath, DeeperMissingPathsStayUnchanged) {
  const std::string deeper = at("link/missing/deeper/");
  EXPECT_EQ(paths::normalize_path(deeper), deeper);
  EXPECT_EQ(paths::normalize_path(at("existing/missing/..")), at("existing/missing/.."));
  EXPECT_EQ(paths::normalize_path("no-such-relative-name"), "no-such-relative-name");
  EXPECT_EQ(paths::normalize_path(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST_F(NormalizePath, RelativePathsResolveAgainstCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  EXPECT_EQ(paths::normalize_path("link/child/"), at("existing/child"));
  EXPECT_EQ(paths::normalize_path("./missing"), at("missing"));
  EXPECT_EQ(paths::normalize_path("missing/deeper"), "missing/deeper");
  fs::current_path(previous);
}

class StripExtendedPrefix : public testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(StripExtendedPrefix, KeepsThePrefixOnlyWhereALongPathNeedsIt) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(paths::strip_extended_prefix(input), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StripExtendedPrefix,
    testing::Values(std::tuple{R"(\\?\C:\work)", R"(C:\work)"},
                    std::tuple{R"(\\?\UNC\server\share\x)", R"(\\server\share\x)"},
                    std::tuple{R"(\\?\UNC\server\)" + std::string(300, 'x'), R"(\\server\)" + std::string(300, 'x')},
                    std::tuple{R"(\\?\)" + std::string(259, 'x'), std::string(259, 'x')},
                    std::tuple{R"(\\?\)" + std::string(260, 'x'), R"(\\?\)" + std::string(260, 'x')},
                    std::tuple{R"(\\.\C:\work)", R"(\\.\C:\work)"}, std::tuple{"/plain", "/plain"}));

TEST(PathFingerprint, IsTheSha1PrefixOfTheNormalisedPath) {
  EXPECT_EQ(paths::path_fingerprint(""), "da39a3ee5e6b");  // SHA-1 of no bytes
  EXPECT_EQ(paths::path_fingerprint("  "), "da39a3ee5e6b");
  EXPECT_EQ(paths::path_fingerprint("/"), "42099b4af021");
  EXPECT_EQ(paths::path_fingerprint("//"), paths::path_fingerprint("/"));
}

}  // namespace
}  // namespace worktree_runtime::locations
