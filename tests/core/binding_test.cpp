#include "bindings/binding.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scratch_directory.hpp"

namespace worktree_runtime::bindings {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A member's JSON text by key; nullopt takes the member out.
using MemberChanges = std::map<std::string, std::optional<std::string>>;

// The JSON text of a valid binding object, with members changed, added or
// taken out. Values are JSON texts, so that numbers no double holds can be
// written as they would stand in a file.
std::string payload(const MemberChanges& changes = {}) {
  MemberChanges members = {
      {"session_id", R"("s1")"},
      {"worktree", R"("/nonexistent-root/wt")"},
      {"branch", R"("feat/x")"},
      {"state_path", R"("/nonexistent-root/wt/state")"},
      {"git_common_dir", R"("/nonexistent-root/main/.git")"},
      {"main_worktree", R"("/nonexistent-root/main")"},
      {"commit_ish", R"("abc123")"},
      {"schema_version", "2"},
  };
  for (const auto& [key, value] : changes) members[key] = value;
  std::string text = "{";
  for (const auto& [key, value] : members) {
    if (!value) continue;
    if (text.size() > 1) text += ", ";
    text += json(key).dump() + ": " + *value;
  }
  return text + "}";
}

std::map<std::string, std::string> text_fields(const WorktreeBinding& binding) {
  std::map<std::string, std::string> fields;
  for (const BindingTextField& field : binding_text_fields(binding)) fields[field.key] = *field.value;
  return fields;
}

struct ReadCase {
  const char* name;
  MemberChanges changes;
  // The text fields that differ from the unchanged payload's.
  std::map<std::string, std::string> fields;
};

void PrintTo(const ReadCase& read, std::ostream* out) { *out << read.name; }

class BindingRead : public testing::TestWithParam<ReadCase> {};

TEST_P(BindingRead, TakesTheRecordsMembersAndIgnoresTheRest) {
  const support::Result<WorktreeBinding> read = binding_from_json_text(payload(GetParam().changes));
  ASSERT_TRUE(read.ok()) << read.error().message;
  std::map<std::string, std::string> expected = text_fields(binding_from_json_text(payload()).value());
  for (const auto& [key, value] : GetParam().fields) expected.at(key) = value;
  EXPECT_EQ(text_fields(read.value()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, BindingRead,
    testing::Values(
        ReadCase{"unchanged",
                 {},
                 {{"session_id", "s1"},
                  {"worktree", "/nonexistent-root/wt"},
                  {"branch", "feat/x"},
                  {"state_path", "/nonexistent-root/wt/state"},
                  {"git_common_dir", "/nonexistent-root/main/.git"},
                  {"main_worktree", "/nonexistent-root/main"},
                  {"commit_ish", "abc123"}}},
        ReadCase{"older_member_names",
                 {{"worktree", std::nullopt},
                  {"worktree_path", R"("/legacy/wt")"},
                  {"main_worktree", std::nullopt},
                  {"repo_root", R"("/legacy/main")"},
                  {"commit_ish", std::nullopt},
                  {"source_ref", R"("v1")"}},
                 {{"worktree", "/legacy/wt"}, {"main_worktree", "/legacy/main"}, {"commit_ish", "v1"}}},
        ReadCase{"current_names_beat_the_older_ones", {{"worktree_path", R"("/x")"}, {"repo_root", R"("/y")"}}, {}},
        // A present commit_ish decides whatever its value.
        ReadCase{"commit_ish_null_hides_source_ref",
                 {{"commit_ish", "null"}, {"source_ref", R"("v1")"}},
                 {{"commit_ish", ""}}},
        ReadCase{"commit_ish_not_a_string", {{"commit_ish", "5"}}, {{"commit_ish", ""}}},
        ReadCase{"source_ref_not_a_string", {{"commit_ish", std::nullopt}, {"source_ref", "7"}}, {{"commit_ish", ""}}},
        ReadCase{"commit_ish_absent", {{"commit_ish", std::nullopt}}, {{"commit_ish", ""}}},
        ReadCase{"commit_ish_blank_kept", {{"commit_ish", R"("  ")"}}, {{"commit_ish", "  "}}},
        ReadCase{"git_common_dir_absent", {{"git_common_dir", std::nullopt}}, {{"git_common_dir", ""}}},
        ReadCase{"git_common_dir_null", {{"git_common_dir", "null"}}, {{"git_common_dir", ""}}},
        ReadCase{"git_common_dir_an_array", {{"git_common_dir", R"(["/x"])"}}, {{"git_common_dir", ""}}},
        // Required members are kept whole, white space around them included.
        ReadCase{"session_id_with_spaces", {{"session_id", R"(" s1 ")"}}, {{"session_id", " s1 "}}},
        ReadCase{"session_id_zero_width_space", {{"session_id", R"("\u200b")"}}, {{"session_id", "\u200b"}}},
        ReadCase{"branch_with_tab_and_line_feed", {{"branch", R"("\tb\n")"}}, {{"branch", "\tb\n"}}},
        ReadCase{"unknown_members", {{"extra", R"({"nested": [1, 2e400]})"}, {"Branch", R"("other")"}}, {}}),
    [](const testing::TestParamInfo<ReadCase>& tested) { return std::string(tested.param.name); });

struct RefusedCase {
  const char* name;
  std::string text;
  std::string message;
};

void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.name; }

class BindingRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(BindingRefused, NamesTheFirstProblemInReadingOrder) {
  const support::Result<WorktreeBinding> read = binding_from_json_text(GetParam().text);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().message, GetParam().message);
}

std::string missing(const char* key) { return std::string("missing required worktree binding field: ") + key; }

const std::string kNotAnObject = "worktree binding payload must be an object";

INSTANTIATE_TEST_SUITE_P(
    Payloads, BindingRefused,
    testing::Values(
        RefusedCase{"session_id_absent", payload({{"session_id", std::nullopt}}), missing("session_id")},
        RefusedCase{"session_id_blank", payload({{"session_id", R"("   ")"}}), missing("session_id")},
        RefusedCase{"session_id_unicode_white_space", payload({{"session_id", R"("\u3000\u00a0\u0085\u2029")"}}),
                    missing("session_id")},
        RefusedCase{"session_id_a_number", payload({{"session_id", "5"}}), missing("session_id")},
        RefusedCase{"session_id_past_every_number_range", payload({{"session_id", "1" + std::string(400, '0')}}),
                    missing("session_id")},
        RefusedCase{"session_id_null", payload({{"session_id", "null"}}), missing("session_id")},
        // The older name is the one asked for once the current one is absent.
        RefusedCase{"worktree_absent", payload({{"worktree", std::nullopt}}), missing("worktree_path")},
        RefusedCase{"worktree_path_blank", payload({{"worktree", std::nullopt}, {"worktree_path", R"(" ")"}}),
                    missing("worktree_path")},
        RefusedCase{"worktree_empty_beside_a_valid_older_member",
                    payload({{"worktree", R"("")"}, {"worktree_path", R"("/valid")"}}), missing("worktree")},
        RefusedCase{"worktree_null_beside_a_valid_older_member",
                    payload({{"worktree", "null"}, {"worktree_path", R"("/valid")"}}), missing("worktree")},
        RefusedCase{"branch_empty", payload({{"branch", R"("")"}}), missing("branch")},
        RefusedCase{"branch_absent", payload({{"branch", std::nullopt}}), missing("branch")},
        RefusedCase{"state_path_line_feed", payload({{"state_path", R"("\n")"}}), missing("state_path")},
        RefusedCase{"state_path_an_array", payload({{"state_path", R"(["/x"])"}}), missing("state_path")},
        RefusedCase{"main_worktree_absent", payload({{"main_worktree", std::nullopt}}), missing("repo_root")},
        RefusedCase{"repo_root_a_number", payload({{"main_worktree", std::nullopt}, {"repo_root", "1"}}),
                    missing("repo_root")},
        RefusedCase{"main_worktree_false_beside_a_valid_older_member",
                    payload({{"main_worktree", "false"}, {"repo_root", R"("/valid")"}}), missing("main_worktree")},
        RefusedCase{"session_before_worktree", payload({{"session_id", R"("")"}, {"worktree", R"("")"}}),
                    missing("session_id")},
        RefusedCase{"worktree_before_branch", payload({{"worktree", std::nullopt}, {"branch", std::nullopt}}),
                    missing("worktree_path")},
        RefusedCase{"branch_before_state_path_and_main_worktree",
                    payload({{"branch", std::nullopt}, {"state_path", std::nullopt}, {"main_worktree", std::nullopt}}),
                    missing("branch")},
        RefusedCase{"state_path_before_main_worktree", payload({{"state_path", "0"}, {"main_worktree", std::nullopt}}),
                    missing("state_path")},
        RefusedCase{"an_array", "[" + payload() + "]", kNotAnObject}, RefusedCase{"a_string", R"("{}")", kNotAnObject},
        RefusedCase{"a_number", "5", kNotAnObject}, RefusedCase{"null", "null", kNotAnObject},
        RefusedCase{"true", "true", kNotAnObject}),
    [](const testing::TestParamInfo<RefusedCase>& tested) { return std::string(tested.param.name); });

class MalformedPayload : public testing::TestWithParam<std::string> {};

TEST_P(MalformedPayload, IsAnInvalidPayload) {
  const support::Result<WorktreeBinding> read = binding_from_json_text(GetParam());
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(read.error().message.starts_with("invalid payload: ")) << read.error().message;
}

INSTANTIATE_TEST_SUITE_P(Texts, MalformedPayload,
                         testing::Values("", "{", payload() + " {}", "\xEF\xBB\xBF" + payload(),
                                         payload() + std::string(1, '\0'), payload({{"extra", "[NaN]"}}),
                                         payload({{"branch", "\"\xFF\""}}),
                                         payload({{"extra", std::string(2049, '[') + std::string(2049, ']')}})));

struct SchemaVersionCase {
  std::optional<std::string> text;
  std::int64_t kept;
};

void PrintTo(const SchemaVersionCase& version, std::ostream* out) { *out << version.text.value_or("(absent)"); }

class SchemaVersionRead : public testing::TestWithParam<SchemaVersionCase> {};

// Any integer a 64-bit signed number holds is kept; anything else is the
// current version.
TEST_P(SchemaVersionRead, KeepsA64BitIntegerElseTheCurrentVersion) {
  const support::Result<WorktreeBinding> read = binding_from_json_text(payload({{"schema_version", GetParam().text}}));
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_EQ(read.value().schema_version, GetParam().kept);
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Versions, SchemaVersionRead,
    testing::Values(SchemaVersionCase{std::nullopt, 2}, SchemaVersionCase{"null", 2}, SchemaVersionCase{"7", 7},
                    SchemaVersionCase{"0", 0}, SchemaVersionCase{"-0", 0}, SchemaVersionCase{"-5", -5},
                    SchemaVersionCase{"9223372036854775807", kMax}, SchemaVersionCase{"9223372036854775808", 2},
                    SchemaVersionCase{"18446744073709551616", 2}, SchemaVersionCase{"-9223372036854775808", kMin},
                    SchemaVersionCase{"-9223372036854775809", 2}, SchemaVersionCase{"1e400", 2},
                    SchemaVersionCase{"3.0", 2}, SchemaVersionCase{R"("3")", 2}, SchemaVersionCase{"true", 2},
                    SchemaVersionCase{"[3]", 2}));

struct BlankFieldCase {
  const char* name;
  WorktreeBinding binding;
  std::optional<std::string> missing;
};

void PrintTo(const BlankFieldCase& blank, std::ostream* out) { *out << blank.name; }

class BlankField : public testing::TestWithParam<BlankFieldCase> {};

// What registration refuses is exactly what the store's reading would skip:
// a binding with a blank required field, named by the first in field order.
TEST_P(BlankField, IsRefusedAlikeBeforeStoringAndOnReading) {
  EXPECT_EQ(first_missing_field(GetParam().binding), GetParam().missing);
  const support::Result<WorktreeBinding> read = binding_from_json_text(binding_to_json(GetParam().binding).dump());
  EXPECT_EQ(read.ok() ? std::nullopt : std::optional(read.error().message),
            GetParam().missing ? std::optional(missing(GetParam().missing->c_str())) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Bindings, BlankField,
    testing::Values(BlankFieldCase{"none", {"s", "/w", "b", "/s", "", "/m", "", 2}, std::nullopt},
                    BlankFieldCase{"session_id", {" ", "/w", "b", "/s", "", "/m", "", 2}, "session_id"},
                    BlankFieldCase{"worktree", {"s", "", "b", "/s", "", "/m", "", 2}, "worktree"},
                    BlankFieldCase{"branch", {"s", "/w", "\t\n", "/s", "", "/m", "", 2}, "branch"},
                    BlankFieldCase{"state_path", {"s", "/w", "b", "", "", "/m", "", 2}, "state_path"},
                    BlankFieldCase{"main_worktree", {"s", "/w", "b", "/s", "", "\u3000", "", 2}, "main_worktree"},
                    BlankFieldCase{"the_first_of_several", {"s", "/w", "", "", "/g", "", " ", 2}, "branch"},
                    // The optional texts may be blank.
                    BlankFieldCase{
                        "git_common_dir_and_commit_ish", {"s", "/w", "b", "/s", " ", "/m", " ", 2}, std::nullopt}),
    [](const testing::TestParamInfo<BlankFieldCase>& tested) { return std::string(tested.param.name); });

TEST(BindingWrite, HasTheSevenTextFieldsAndAlwaysTheCurrentSchemaVersion) {
  const WorktreeBinding binding{" s ", "/w", "b", "/s", "", "/m", "c\t", 7};
  EXPECT_EQ(binding_to_json(binding), json({{"session_id", " s "},
                                            {"worktree", "/w"},
                                            {"branch", "b"},
                                            {"state_path", "/s"},
                                            {"git_common_dir", ""},
                                            {"main_worktree", "/m"},
                                            {"commit_ish", "c\t"},
                                            {"schema_version", 2}}));
}

TEST(BindingWrite, ReadsBackAsTheSameRecordWithTheCurrentVersion) {
  const WorktreeBinding binding{"s\xC3\xA9\x01",
                                "/nonexistent-root/w",
                                "\xE3\x83\x96",
                                "/nonexistent-root/s",
                                "",
                                "/nonexistent-root/m",
                                "c",
                                -3};
  const support::Result<WorktreeBinding> read = binding_from_json_text(binding_to_json(binding).dump());
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_EQ(text_fields(read.value()), text_fields(binding));
  EXPECT_EQ(read.value().schema_version, kCurrentSchemaVersion);
}

// A real directory, a link to it, and a name that does not exist yet.
class BindingPaths : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    fs::create_directory(root_ / "real");
    fs::create_directory_symlink(root_ / "real", root_ / "alias");
  }
};

TEST_F(BindingPaths, ReadingNormalisesTheFourPathFields) {
  const support::Result<WorktreeBinding> read =
      binding_from_json_text(payload({{"worktree", json(at("alias") + "/").dump()},
                                      {"state_path", json(at("alias") + "/./x").dump()},
                                      {"git_common_dir", json(at("later") + "/").dump()},
                                      {"main_worktree", json(at("real/../alias")).dump()}}));
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_EQ(read.value().worktree, at("real"));
  EXPECT_EQ(read.value().state_path, at("real/x"));
  EXPECT_EQ(read.value().git_common_dir, at("later"));
  EXPECT_EQ(read.value().main_worktree, at("real"));
}

TEST_F(BindingPaths, BuildingNormalisesThePathsAndKeepsTheOtherTexts) {
  const WorktreeBinding binding = build_binding(" s 1 ", at("alias") + "/", " feat/x ", at("alias") + "/./sub/",
                                                at("alias") + "//", "  ", "  HEAD~1 ", std::nullopt);
  EXPECT_EQ(text_fields(binding), (std::map<std::string, std::string>{{"session_id", " s 1 "},
                                                                      {"worktree", at("real")},
                                                                      {"branch", " feat/x "},
                                                                      {"state_path", at("real/sub")},
                                                                      {"git_common_dir", at("real")},
                                                                      {"main_worktree", ""},
                                                                      {"commit_ish", "  HEAD~1 "}}));
  EXPECT_EQ(binding.schema_version, kCurrentSchemaVersion);
  EXPECT_EQ(build_binding("s", "", "b", "", "", "", "", 9).schema_version, 9);
}

// A binding handed back in is normalised anew: a link that appeared since
// it was made is resolved.
TEST_F(BindingPaths, RebuildingNormalisesAgain) {
  const WorktreeBinding before = build_binding("s", at("later"), "b", at("later/state"), "", at("real"), "", 4);
  ASSERT_EQ(before.worktree, at("later"));
  fs::create_directory_symlink(root_ / "real", root_ / "later");
  fs::create_directory(root_ / "real" / "state");
  const WorktreeBinding after = rebuild_binding(before);
  EXPECT_EQ(after.worktree, at("real"));
  EXPECT_EQ(after.state_path, at("real/state"));
  EXPECT_EQ(after.schema_version, 4);
}

}  // namespace
}  // namespace worktree_runtime::bindings
