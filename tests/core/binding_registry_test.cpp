#include "bindings/binding_registry.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scratch_directory.hpp"

namespace worktree_runtime::bindings {
namespace {

namespace fs = std::filesystem;

const char* const kStoreOfMain = "main/.quorbel/state/worktree-runtime/bindings.json";

std::string missing_field(const char* key) { return std::string("missing required worktree binding field: ") + key; }

// main/ on branch main and linked/ on branch feature, in a scratch directory
// that git looks no higher than.
class Registry : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    make_repository_with_linked_worktree();
  }

  // Runs a case's set-up script, when it has one.
  void set_up_case(std::string_view script) {
    if (!script.empty()) shell(std::string(script));
  }

  // The binding that registration derives for a session in a worktree below
  // the scratch directory.
  WorktreeBinding derived(std::string_view session_id, const std::string& worktree, std::string_view branch,
                          std::string_view commit_ish) const {
    return build_binding(session_id, at(worktree), branch, at(worktree + "/.quorbel/state/velmorin"), at("main/.git"),
                         at("main"), commit_ish, std::nullopt);
  }
};

// A binding's whole record, for comparison.
nlohmann::json record_of(const WorktreeBinding& binding) {
  nlohmann::json record = binding_to_json(binding);
  record["schema_version"] = binding.schema_version;
  return record;
}

struct RegistrationCase {
  const char* name;
  const char* setup;  // run with sh in the scratch directory first
  std::string session_id;
  std::string worktree;  // below the scratch directory
  std::string branch;
  std::optional<std::string> state_path;
  std::string error;  // empty when the binding is registered
};

void PrintTo(const RegistrationCase& registration, std::ostream* out) { *out << registration.name; }

class Registration : public Registry, public testing::WithParamInterface<RegistrationCase> {};

const std::string kCommonDirMissing = "WORKTREE_GIT_COMMON_DIR_MISSING: worktree git common dir is required";
const std::string kBranchMismatch = "WORKTREE_BRANCH_MISMATCH: git branch does not match worktree binding";

// git's common directory first, then whether the store could read the
// binding back, then the binding against the worktree; a refused binding
// leaves the store as it was.
TEST_P(Registration, ChecksGitThenTheRecordThenTheWorktree) {
  const RegistrationCase& registration = GetParam();
  set_up_case(registration.setup);
  ASSERT_TRUE(register_binding("s0", at("main"), "main", at("main"), std::nullopt, "").ok());
  const std::string before = file_text(at(kStoreOfMain));
  const support::Result<WorktreeBinding> registered =
      register_binding(registration.session_id, at(registration.worktree), registration.branch, at("linked"),
                       registration.state_path, "ref");
  if (!registration.error.empty()) {
    ASSERT_FALSE(registered.ok());
    EXPECT_EQ(registered.error().message, registration.error);
    EXPECT_EQ(file_text(at(kStoreOfMain)), before);
    return;
  }
  ASSERT_TRUE(registered.ok()) << registered.error().message;
  WorktreeBinding expected = derived(registration.session_id, registration.worktree, registration.branch, "ref");
  if (registration.state_path) expected.state_path = *registration.state_path;
  EXPECT_EQ(record_of(registered.value()), record_of(expected));
  const std::optional<WorktreeBinding> loaded = load_binding(registration.session_id, at("main"));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(record_of(*loaded), record_of(expected));
  EXPECT_EQ(list_bindings(at("linked")).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Registration,
    testing::Values(
        RegistrationCase{"a_missing_worktree_before_any_field", "", "", "missing", "", "", kCommonDirMissing},
        RegistrationCase{"a_worktree_outside_any_repository", "mkdir plain", "s1", "plain", "feature", std::nullopt,
                         kCommonDirMissing},
        RegistrationCase{"a_blank_session_before_the_branch_check", "", " \t", "linked", "main", std::nullopt,
                         missing_field("session_id")},
        RegistrationCase{"a_blank_branch_before_the_branch_check", "", "s1", "linked", "", std::nullopt,
                         missing_field("branch")},
        RegistrationCase{"a_blank_state_path_before_the_branch_check", "", "s1", "linked", "main", " ",
                         missing_field("state_path")},
        RegistrationCase{"another_branch", "", "s1", "linked", "main", std::nullopt, kBranchMismatch},
        RegistrationCase{"a_detached_head_takes_any_branch", "git -C linked checkout -q --detach", "s1", "linked",
                         "whatever", std::nullopt, ""},
        RegistrationCase{"a_linked_worktree_on_its_branch", "", "s1", "linked", "feature", std::nullopt, ""},
        RegistrationCase{"the_main_worktree_on_its_branch", "", "s1", "main", "main", std::nullopt, ""},
        RegistrationCase{"a_given_state_path", "", "s1", "linked", "feature", "/nonexistent-root/state", ""}),
    [](const testing::TestParamInfo<RegistrationCase>& tested) { return std::string(tested.param.name); });

TEST_F(Registry, RegisteringASessionAgainKeepsOneEntryAtTheEnd) {
  ASSERT_TRUE(register_binding("s1", at("linked"), "feature", at("main"), std::nullopt, "first").ok());
  ASSERT_TRUE(register_binding("s2", at("main"), "main", at("main"), std::nullopt, "").ok());
  ASSERT_TRUE(register_binding("s1", at("linked"), "feature", at("linked"), std::nullopt, "second").ok());
  std::vector<std::pair<std::string, std::string>> stored;
  for (const WorktreeBinding& binding : list_bindings(at("linked"))) {
    stored.emplace_back(binding.session_id, binding.commit_ish);
  }
  EXPECT_EQ(stored, (std::vector<std::pair<std::string, std::string>>{{"s2", ""}, {"s1", "second"}}));
  EXPECT_EQ(remove_binding("s1", at("linked"))->commit_ish, "second");
  EXPECT_FALSE(load_binding("s1", at("main")).has_value());
}

const char* const kSessionMetadata = ".quorbel/state/velmorin/sessions/s1/metadata.json";

std::string metadata_text(const char* worktree, const char* branch, const char* source_ref) {
  return std::string(R"({"worktree_path": "{root}/)") + worktree + R"(", "branch": ")" + branch +
         R"(", "source_ref": ")" + source_ref + R"("})";
}

struct RecoveryCase {
  const char* name;
  const char* setup;  // run with sh in the scratch directory first
  // Files below the scratch directory and their texts.
  std::vector<std::pair<std::string, std::string>> files;
  std::string session_id;
  std::string root;  // below the scratch directory
  // The source_ref of the metadata that the binding was recovered from.
  std::optional<std::string> recovered_from;
};

void PrintTo(const RecoveryCase& recovery, std::ostream* out) { *out << recovery.name; }

class Recovery : public Registry, public testing::WithParamInterface<RecoveryCase> {};

// The session's metadata below the given root first, then below its main
// worktree; what is recovered is registered, what is not leaves no store.
TEST_P(Recovery, LooksBelowTheRootThenBelowTheMainWorktree) {
  const RecoveryCase& recovery = GetParam();
  set_up_case(recovery.setup);
  fs::create_directories(at(recovery.root));
  for (const auto& [path, text] : recovery.files) write_text_file(at(path), placed(text, root_.string()));
  const std::optional<WorktreeBinding> recovered = recover_binding(recovery.session_id, at(recovery.root));
  if (!recovery.recovered_from) {
    EXPECT_FALSE(recovered.has_value()) << recovered->commit_ish;
    EXPECT_FALSE(fs::exists(at(kStoreOfMain)));
    return;
  }
  ASSERT_TRUE(recovered.has_value());
  EXPECT_EQ(record_of(*recovered),
            record_of(derived(recovery.session_id, "linked", "feature", *recovery.recovered_from)));
  const std::optional<WorktreeBinding> stored = load_binding(recovery.session_id, at("main"));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(record_of(*stored), record_of(*recovered));
}

const std::string kAtLinked = metadata_text("linked", "feature", "at-linked");
const std::string kAtMain = metadata_text("linked", "feature", "at-main");

INSTANTIATE_TEST_SUITE_P(
    Cases, Recovery,
    testing::Values(
        RecoveryCase{"below_the_given_root",
                     "",
                     {{std::string("linked/") + kSessionMetadata, kAtLinked}},
                     "s1",
                     "linked",
                     "at-linked"},
        RecoveryCase{"below_the_main_worktree_next",
                     "",
                     {{std::string("main/") + kSessionMetadata, kAtMain}},
                     "s1",
                     "linked",
                     "at-main"},
        RecoveryCase{"the_given_root_first",
                     "",
                     {{std::string("linked/") + kSessionMetadata, kAtLinked},
                      {std::string("main/") + kSessionMetadata, kAtMain}},
                     "s1",
                     "linked",
                     "at-linked"},
        RecoveryCase{"past_metadata_that_registration_refuses",
                     "",
                     {{std::string("linked/") + kSessionMetadata, metadata_text("linked", "wrong", "at-linked")},
                      {std::string("main/") + kSessionMetadata, kAtMain}},
                     "s1",
                     "linked",
                     "at-main"},
        RecoveryCase{"past_metadata_that_is_not_json",
                     "",
                     {{std::string("linked/") + kSessionMetadata, "{not json"},
                      {std::string("main/") + kSessionMetadata, kAtMain}},
                     "s1",
                     "linked",
                     "at-main"},
        RecoveryCase{"not_below_linked_worktrees_of_the_main_one",
                     "",
                     {{std::string("linked/") + kSessionMetadata, kAtLinked}},
                     "s1",
                     "main",
                     std::nullopt},
        RecoveryCase{"not_below_the_top_of_the_roots_worktree",
                     "",
                     {{std::string("linked/") + kSessionMetadata, kAtLinked}},
                     "s1",
                     "linked/sub",
                     std::nullopt},
        RecoveryCase{"not_for_a_blank_branch",
                     "git -C linked checkout -q --detach",
                     {{std::string("linked/") + kSessionMetadata, metadata_text("linked", "", "at-linked")}},
                     "s1",
                     "linked",
                     std::nullopt},
        RecoveryCase{"not_for_a_worktree_outside_any_repository",
                     "mkdir plain",
                     {{std::string("linked/") + kSessionMetadata, metadata_text("plain", "feature", "at-linked")}},
                     "s1",
                     "linked",
                     std::nullopt},
        RecoveryCase{"not_through_a_link_at_the_sessions_folder",
                     "mkdir -p elsewhere/s1 linked/.quorbel/state/velmorin && ln -s \"$PWD/elsewhere\" "
                     "linked/.quorbel/state/velmorin/sessions",
                     {{"elsewhere/s1/metadata.json", kAtLinked}},
                     "s1",
                     "linked",
                     std::nullopt},
        // A session identifier that is not one path component forms no path.
        RecoveryCase{"not_for_an_empty_session",
                     "",
                     {{"linked/.quorbel/state/velmorin/sessions/metadata.json", kAtLinked}},
                     "",
                     "linked",
                     std::nullopt},
        RecoveryCase{"not_for_a_session_of_two_dots",
                     "",
                     {{"linked/.quorbel/state/velmorin/metadata.json", kAtLinked}},
                     "..",
                     "linked",
                     std::nullopt},
        RecoveryCase{"not_for_a_session_of_two_components",
                     "",
                     {{"linked/.quorbel/state/velmorin/sessions/a/b/metadata.json", kAtLinked}},
                     "a/b",
                     "linked",
                     std::nullopt}),
    [](const testing::TestParamInfo<RecoveryCase>& tested) { return std::string(tested.param.name); });

struct MetadataCase {
  const char* name;
  std::string text;
  // worktree_path, branch, source_ref; absent when the text names no worktree.
  std::optional<std::array<std::string, 3>> read;
};

void PrintTo(const MetadataCase& metadata, std::ostream* out) { *out << metadata.name; }

class SessionMetadataText : public testing::TestWithParam<MetadataCase> {};

TEST_P(SessionMetadataText, NamesAWorktreeAndABranch) {
  const std::optional<SessionMetadata> read = read_session_metadata(GetParam().text);
  ASSERT_EQ(read.has_value(), GetParam().read.has_value());
  if (!read) return;
  EXPECT_EQ((std::array{read->worktree_path, read->branch, read->source_ref}), *GetParam().read);
}

using Read = std::array<std::string, 3>;

INSTANTIATE_TEST_SUITE_P(
    Texts, SessionMetadataText,
    testing::Values(
        MetadataCase{"branch", R"({"worktree_path": "/w", "branch": "b"})", Read{"/w", "b", ""}},
        MetadataCase{"branch_name", R"({"worktree_path": "/w", "branch_name": "b"})", Read{"/w", "b", ""}},
        MetadataCase{"branch_before_branch_name", R"({"worktree_path": "/w", "branch": "a", "branch_name": "b"})",
                     Read{"/w", "a", ""}},
        MetadataCase{"branch_name_when_branch_is_not_a_string",
                     R"({"worktree_path": "/w", "branch": 5, "branch_name": "b"})", Read{"/w", "b", ""}},
        MetadataCase{"branch_name_when_branch_is_null",
                     R"({"worktree_path": "/w", "branch": null, "branch_name": "b"})", Read{"/w", "b", ""}},
        MetadataCase{"a_blank_branch_is_read", R"({"worktree_path": "/w", "branch": ""})", Read{"/w", "", ""}},
        MetadataCase{"texts_kept_untrimmed", R"({"worktree_path": " /w ", "branch": " b ", "source_ref": " v2 "})",
                     Read{" /w ", " b ", " v2 "}},
        MetadataCase{"source_ref_not_a_string", R"({"worktree_path": "/w", "branch": "b", "source_ref": 12})",
                     Read{"/w", "b", ""}},
        MetadataCase{"commit_ish_is_not_read", R"({"worktree_path": "/w", "branch": "b", "commit_ish": "c"})",
                     Read{"/w", "b", ""}},
        MetadataCase{"no_branch", R"({"worktree_path": "/w"})", std::nullopt},
        MetadataCase{"no_branch_of_text", R"({"worktree_path": "/w", "branch": 5, "branch_name": ["b"]})",
                     std::nullopt},
        MetadataCase{"no_worktree_path", R"({"branch": "b"})", std::nullopt},
        MetadataCase{"an_empty_worktree_path", R"({"worktree_path": "", "branch": "b"})", std::nullopt},
        MetadataCase{"a_blank_worktree_path", R"({"worktree_path": " \t\u3000", "branch": "b"})", std::nullopt},
        MetadataCase{"a_null_worktree_path", R"({"worktree_path": null, "branch": "b"})", std::nullopt},
        MetadataCase{"an_array", R"([{"worktree_path": "/w", "branch": "b"}])", std::nullopt},
        MetadataCase{"malformed", R"({"worktree_path": "/w", "branch": "b")", std::nullopt},
        MetadataCase{"a_byte_order_mark", "\xEF\xBB\xBF{\"worktree_path\": \"/w\", \"branch\": \"b\"}", std::nullopt},
        MetadataCase{"not_utf8", "{\"worktree_path\": \"\xFF\", \"branch\": \"b\"}", std::nullopt},
        MetadataCase{"empty", "", std::nullopt}),
    [](const testing::TestParamInfo<MetadataCase>& tested) { return std::string(tested.param.name); });

struct SourceCase {
  const char* name;
  bool stored;    // s1 registered with source_ref "stored"
  bool metadata;  // s1's metadata below linked, with source_ref "metadata"
  std::optional<std::string> session_id;
  bool require_registered_binding;
  bool environment_names_the_worktree;
  std::string reason_code;
  // The commit_ish of the binding checked; absent when there is none.
  std::optional<std::string> checked;
  // The commit_ish of s1's stored binding afterwards: a recovered binding is
  // registered on the way.
  std::string stored_after;
};

void PrintTo(const SourceCase& source, std::ostream* out) { *out << source.name; }

class CurrentBindingSource : public Registry, public testing::WithParamInterface<SourceCase> {};

// The store first, then recovery from the metadata, then (when a registered
// binding is not required, or no session is named) the environment.
TEST_P(CurrentBindingSource, IsTheStoreThenRecoveryThenTheEnvironment) {
  const SourceCase& source = GetParam();
  if (source.stored) {
    ASSERT_TRUE(register_binding("s1", at("linked"), "feature", at("main"), std::nullopt, "stored").ok());
  }
  if (source.metadata) {
    write_text_file(at(std::string("linked/") + kSessionMetadata),
                    placed(metadata_text("linked", "feature", "metadata"), root_.string()));
  }
  support::EnvSnapshot env;
  if (source.environment_names_the_worktree) env = {{"QUORBEL_WORKTREE", at("linked")}, {"QUORBEL_BRANCH", "feature"}};
  CurrentBindingRequest request;
  request.session_id = source.session_id;
  request.repo_root = at("linked");
  request.cwd = at("linked");
  request.env = env;
  request.check_git = true;
  request.require_registered_binding = source.require_registered_binding;
  const BindingValidationResult verdict = validate_current_binding(request);
  EXPECT_EQ(verdict.reason_code, source.reason_code);
  EXPECT_EQ(verdict.binding ? std::optional(verdict.binding->commit_ish) : std::nullopt, source.checked);
  const std::optional<WorktreeBinding> stored = load_binding("s1", at("main"));
  EXPECT_EQ(stored ? stored->commit_ish : "(none)", source.stored_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CurrentBindingSource,
    testing::Values(SourceCase{"the_stored_binding_before_the_metadata", true, true, "s1", true, true,
                               "WORKTREE_BINDING_OK", "stored", "stored"},
                    SourceCase{"the_stored_binding_without_an_environment", true, false, "s1", true, false,
                               "WORKTREE_BINDING_OK", "stored", "stored"},
                    SourceCase{"the_recovered_binding", false, true, "s1", true, true, "WORKTREE_BINDING_OK",
                               "metadata", "metadata"},
                    SourceCase{"a_registered_binding_required", false, false, "s1", true, true,
                               "WORKTREE_BINDING_MISSING", std::nullopt, "(none)"},
                    SourceCase{"the_environment_when_none_is_required", false, false, "s1", false, true,
                               "WORKTREE_BINDING_OK", "env-fallback", "(none)"},
                    SourceCase{"the_environment_naming_no_worktree", false, false, "s1", false, false,
                               "WORKTREE_ENV_MISSING", std::nullopt, "(none)"},
                    SourceCase{"only_the_environment_without_a_session", true, true, std::nullopt, true, true,
                               "WORKTREE_BINDING_OK", "env-fallback", "stored"},
                    SourceCase{"no_binding_without_a_session_or_an_environment", false, true, std::nullopt, true, false,
                               "WORKTREE_ENV_MISSING", std::nullopt, "(none)"}),
    [](const testing::TestParamInfo<SourceCase>& tested) { return std::string(tested.param.name); });

// The environment's binding: its worktree normalised, its branch as given,
// the state area below the worktree, no common directory, and the root as
// the caller gave it (normalised) for the main worktree. Nothing is stored.
TEST_F(Registry, TheEnvironmentsBindingIsBuiltFromTheVariablesAndTheGivenRoot) {
  CurrentBindingRequest request;
  request.session_id = "s7";
  request.repo_root = at("main") + "/";
  request.cwd = at("linked");
  request.env = support::EnvSnapshot{{"QUORBEL_WORKTREE", "  " + at("linked") + "/ "}, {"QUORBEL_BRANCH", " feature "}};
  request.require_registered_binding = false;
  const BindingValidationResult verdict = validate_current_binding(request);
  ASSERT_TRUE(verdict.binding.has_value());
  EXPECT_EQ(record_of(*verdict.binding),
            record_of(build_binding("s7", at("linked"), " feature ", at("linked/.quorbel/state/velmorin"), "",
                                    at("main"), "env-fallback", std::nullopt)));
  // The variable is trimmed for the check, the binding's branch is not.
  EXPECT_EQ(verdict.reason_code, "WORKTREE_BRANCH_ENV_MISMATCH");
  EXPECT_FALSE(fs::exists(at(kStoreOfMain)));
}

}  // namespace
}  // namespace worktree_runtime::bindings
