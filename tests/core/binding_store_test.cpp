#include "bindings/binding_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "scratch_directory.hpp"
#include "support/input_limits.hpp"
#include "support/json_document.hpp"

namespace worktree_runtime::bindings {
namespace {

using nlohmann::json;

std::size_t rendered_size(std::size_t bindings) {
  json entries = json::array();
  for (std::size_t index = 0; index < bindings; ++index) {
    entries.push_back(binding_to_json(build_binding("s", "", "b", "/", "", "", "", std::nullopt)));
  }
  return render_binding_document({{"bindings", entries}, {"schema_version", kCurrentSchemaVersion}})->size();
}

// Whatever the upserts, a store that fits the byte cap holds fewer values
// than its readers take: the writer never makes a store that reads as
// unreadable by its own count of values.
TEST(BindingStoreBounds, EveryStoreWithinTheByteCapIsWithinTheValueBound) {
  const std::size_t smallest_binding = rendered_size(2) - rendered_size(1);
  const std::size_t values_per_binding = 1 + binding_to_json(build_binding("s", "", "b", "/", "", "", "", {})).size();
  const std::size_t document_values = 3;  // the root, "bindings", "schema_version"
  EXPECT_LT(support::kJsonDocumentByteLimit / smallest_binding * values_per_binding + document_values,
            support::kMaxJsonDocumentValues);
}

struct DocumentCase {
  const char* name;
  std::string text;
  bool replaceable;
};

class BindingDocumentText : public testing::TestWithParam<DocumentCase> {};

// Malformed text reads as the default document and may be replaced; text
// past a bound of the readers reads the same but is never replaced.
TEST_P(BindingDocumentText, IsReplaceableOnlyWhenWithinTheBounds) {
  const BindingDocument document = binding_document_from_text(GetParam().text);
  EXPECT_EQ(document.replaceable, GetParam().replaceable);
  EXPECT_EQ((*document.value)["bindings"], json::array());
  EXPECT_EQ(binding_of_session_in_text(GetParam().text, "s"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Texts, BindingDocumentText,
                         testing::Values(DocumentCase{"malformed", "{\"bindings\": [", true},
                                         DocumentCase{"not_an_object", "[]", true},
                                         DocumentCase{"nested_past_the_bound",
                                                      "{\"x\": " + std::string(support::kMaxJsonNesting, '[') +
                                                          std::string(support::kMaxJsonNesting, ']') + "}",
                                                      false},
                                         DocumentCase{"malformed_and_nested_past_the_bound",
                                                      "{\"x\": " + std::string(support::kMaxJsonNesting, '['), false}),
                         [](const testing::TestParamInfo<DocumentCase>& text) { return std::string(text.param.name); });

namespace fs = std::filesystem;

const char* const kStoreRelativePath = ".quorbel/state/worktree-runtime/bindings.json";
const char* const kLockRelativePath = ".quorbel/state/worktree-runtime/bindings.json.lock";

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A binding told apart from the others of its session by its commit_ish.
WorktreeBinding labelled(std::string_view session_id, std::string_view label) {
  return build_binding(session_id, "/nonexistent-root/w", "main", "/nonexistent-root/w/state", "",
                       "/nonexistent-root/main", label, std::nullopt);
}

std::string entry(std::string_view session_id, std::string_view label) {
  return binding_to_json(labelled(session_id, label)).dump();
}

// A valid entry but for its session_id member(s), written as given.
std::string entry_with_session_members(std::string_view members, std::string_view label) {
  json object = binding_to_json(labelled("", label));
  object.erase("session_id");
  return "{" + std::string(members) + ", " + object.dump().substr(1);
}

// A store file as someone else may have written it: one line, a foreign
// member, an old schema version. Any rewrite changes these bytes.
std::string store_document(const std::vector<std::string>& entries, std::string_view foreign) {
  std::string text = R"({"bindings": [)";
  for (std::size_t index = 0; index < entries.size(); ++index) text += (index == 0 ? "" : ", ") + entries[index];
  return text + R"(], "foreign": )" + std::string(foreign) + R"(, "schema_version": 1})" + "\n";
}

support::JsonTree parsed(std::string_view text) {
  support::Result<json> read = support::read_json_document(text);
  EXPECT_TRUE(read.ok()) << read.error().message;
  return support::JsonTree(read.ok() ? std::move(read.value()) : json());
}

std::vector<std::string> labels_of(const std::vector<WorktreeBinding>& bindings) {
  std::vector<std::string> labels;
  for (const WorktreeBinding& binding : bindings) labels.push_back(binding.commit_ish);
  return labels;
}

std::vector<std::string> label_of(const std::optional<WorktreeBinding>& binding) {
  return binding ? std::vector<std::string>{binding->commit_ish} : std::vector<std::string>{};
}

// The store of a scratch directory outside any repository, which is its own
// main worktree.
class StoreFile : public GitScratchDirectory {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    store_ = open_binding_store(root_.string());
  }

  fs::path store_path() const { return root_ / kStoreRelativePath; }

  WorktreeBindingStore store_;
};

TEST_F(StoreFile, LivesBelowTheRootInTheLegacyStateDirectory) {
  EXPECT_EQ(store_.root, root_.string());
  EXPECT_EQ(store_.path, at(kStoreRelativePath));
}

TEST_F(StoreFile, NothingIsCreatedUntilTheFirstUpsert) {
  EXPECT_TRUE(list(store_).empty());
  EXPECT_FALSE(load(store_, "s").has_value());
  EXPECT_FALSE(remove(store_, "s").has_value());
  EXPECT_TRUE(fs::is_empty(root_));
  upsert(store_, labelled("s", "first"));
  EXPECT_EQ(label_of(load(store_, "s")), std::vector<std::string>{"first"});
}

// The store file the operation cases start from: valid entries; entries of
// a session that are not bindings, before and after valid ones; entries
// that are not objects or name no session.
const std::vector<std::string> kEntries = {
    entry("s1", "s1-first"),                                                     // 0
    entry("s2", "s2-only"),                                                      // 1
    R"({"session_id": "s1", "branch": 3})",                                      // 2
    entry("s1", "s1-second"),                                                    // 3
    entry(" s1", "spaced"),                                                      // 4
    entry("S1", "upper"),                                                        // 5
    R"({"session_id": "t", "worktree": "/w"})",                                  // 6
    entry("t", "t-second"),                                                      // 7
    "7",                                                                         // 8
    "[]",                                                                        // 9
    R"("text")",                                                                 // 10
    "null",                                                                      // 11
    R"({"worktree": "/no-session"})",                                            // 12
    entry_with_session_members(R"("session_id": 5)", "number-id"),               // 13
    entry_with_session_members(R"("session_id": "\u0075")", "escaped-u"),        // 14
    entry_with_session_members(R"("session_id": "d", "session_id": "e")", "e"),  // 15: the last key counts
    entry_with_session_members(R"("session_id": "f", "session_id": 5)", "f"),    // 16
};

// The entries of kEntries in order but the ones taken, then the upserted
// entry of a session when one is named.
std::vector<std::string> entries_without(std::set<std::size_t> taken,
                                         std::optional<std::string> upserted_session = std::nullopt) {
  std::vector<std::string> kept;
  for (std::size_t index = 0; index < kEntries.size(); ++index) {
    if (!taken.contains(index)) kept.push_back(kEntries[index]);
  }
  if (upserted_session) kept.push_back(entry(*upserted_session, "upserted"));
  return kept;
}

using Operation = std::function<std::vector<std::string>(const WorktreeBindingStore&)>;

Operation load_of(std::string session_id) {
  return [=](const WorktreeBindingStore& store) { return label_of(load(store, session_id)); };
}

Operation remove_of(std::string session_id) {
  return [=](const WorktreeBindingStore& store) { return label_of(remove(store, session_id)); };
}

Operation upsert_of(std::string session_id) {
  return [=](const WorktreeBindingStore& store) {
    upsert(store, labelled(session_id, "upserted"));
    return std::vector<std::string>{};
  };
}

struct OperationCase {
  const char* name;
  Operation operation;
  std::vector<std::string> returned;
  // The entries of the file afterwards; absent when it is not written.
  std::optional<std::vector<std::string>> entries_after;
};

void PrintTo(const OperationCase& operation, std::ostream* out) { *out << operation.name; }

const OperationCase kOperations[] = {
    {"load_finds_the_first_entry_of_the_session", load_of("s1"), {"s1-first"}, std::nullopt},
    {"load_of_an_invalid_first_entry_finds_nothing", load_of("t"), {}, std::nullopt},
    {"load_matches_the_session_exactly", load_of(" s1"), {"spaced"}, std::nullopt},
    {"load_matches_an_escaped_session", load_of("u"), {"escaped-u"}, std::nullopt},
    {"load_matches_the_last_of_repeated_keys", load_of("e"), {"e"}, std::nullopt},
    {"load_ignores_an_earlier_repeated_key", load_of("d"), {}, std::nullopt},
    {"load_ignores_a_key_repeated_with_another_type", load_of("f"), {}, std::nullopt},
    {"load_of_an_unknown_session", load_of("unknown"), {}, std::nullopt},
    {"list_skips_what_is_not_a_binding",
     [](const WorktreeBindingStore& store) { return labels_of(list(store)); },
     {"s1-first", "s2-only", "s1-second", "spaced", "upper", "t-second", "escaped-u", "e"},
     std::nullopt},
    {"upsert_replaces_every_entry_of_the_session_by_one_at_the_end",
     upsert_of("s1"),
     {},
     entries_without({0, 2, 3}, "s1")},
    {"upsert_of_a_new_session_appends", upsert_of("new"), {}, entries_without({}, "new")},
    {"upsert_matches_the_last_of_repeated_keys", upsert_of("e"), {}, entries_without({15}, "e")},
    {"remove_takes_the_first_entry_and_returns_it", remove_of("s1"), {"s1-first"}, entries_without({0})},
    {"remove_takes_an_invalid_first_entry_and_returns_nothing", remove_of("t"), {}, entries_without({6})},
    {"remove_matches_the_last_of_repeated_keys", remove_of("e"), {"e"}, entries_without({15})},
    {"remove_of_an_unknown_session_writes_nothing", remove_of("unknown"), {}, std::nullopt},
};

// A member the store does not know, carried through every rewrite. Some
// make the document one that only the full reader reads.
struct ForeignMember {
  const char* name;
  std::string text;
};

void PrintTo(const ForeignMember& foreign, std::ostream* out) { *out << foreign.name; }

const ForeignMember kForeignMembers[] = {
    {"plain", R"({"keep": [1, "x", {}]})"},
    {"integer_past_64_bits", "[1180591620717411303424, -1180591620717411303424]"},
    {"number_past_double", "[1e400, -2E+999]"},
    {"nested_past_1024_levels", nested_arrays(1500)},
};

class StoreOperation : public StoreFile,
                       public testing::WithParamInterface<std::tuple<OperationCase, ForeignMember>> {};

// load, list, upsert and remove read the same file the same way, whichever
// reader the document needs.
TEST_P(StoreOperation, AgreesOnTheSameFile) {
  const auto& [operation, foreign] = GetParam();
  const std::string before = store_document(kEntries, foreign.text);
  write_text_file(store_path(), before);
  EXPECT_EQ(operation.operation(store_), operation.returned);
  const std::string after = file_text(store_path());
  if (!operation.entries_after) {
    EXPECT_EQ(after, before);
    return;
  }
  const support::JsonTree written = parsed(after);
  json expected_entries = json::array();
  for (const std::string& expected : *operation.entries_after) expected_entries.push_back(*parsed(expected));
  EXPECT_EQ((*written)["bindings"], expected_entries);
  EXPECT_EQ((*written)["foreign"], *parsed(foreign.text));
  EXPECT_EQ((*written)["schema_version"], kCurrentSchemaVersion);
  EXPECT_EQ(written->size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreOperation,
                         testing::Combine(testing::ValuesIn(kOperations), testing::ValuesIn(kForeignMembers)),
                         [](const testing::TestParamInfo<std::tuple<OperationCase, ForeignMember>>& tested) {
                           return std::string(std::get<0>(tested.param).name) + "__" + std::get<1>(tested.param).name;
                         });

TEST_F(StoreFile, AnEntryIsWrittenWithTheCurrentSchemaVersion) {
  WorktreeBinding binding = labelled("s", "c");
  binding.schema_version = 7;
  upsert(store_, binding);
  EXPECT_EQ((*parsed(file_text(store_path())))["bindings"][0]["schema_version"], kCurrentSchemaVersion);
  EXPECT_EQ(load(store_, "s")->schema_version, kCurrentSchemaVersion);
}

// Whatever stood as the document's version, even a container, a write
// makes it the current one.
TEST_F(StoreFile, AWriteSetsTheDocumentsVersion) {
  write_text_file(store_path(), R"({"bindings": [], "schema_version": {"deep": [[1]]}})");
  upsert(store_, labelled("s", "c"));
  EXPECT_EQ((*parsed(file_text(store_path())))["schema_version"], kCurrentSchemaVersion);
}

// Each file below the scratch directory: its kind and, for a regular file,
// its size and a digest of its bytes. Links are not followed.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(item.path(), root).string();
    const fs::file_status status = item.symlink_status();
    if (fs::is_symlink(status)) {
      tree[name] = "link to " + fs::read_symlink(item.path()).string();
    } else if (fs::is_regular_file(status)) {
      const std::string content = file_text(item.path());
      tree[name] = std::to_string(content.size()) + " bytes " + std::to_string(std::hash<std::string>{}(content));
    } else {
      tree[name] = fs::is_directory(status) ? "directory" : "special";
    }
  }
  return tree;
}

const std::string kValidStore = store_document({entry("s", "stored")}, "{}");

struct UnreadableCase {
  const char* name;
  std::function<void(const fs::path& root)> make;
};

void PrintTo(const UnreadableCase& unreadable, std::ostream* out) { *out << unreadable.name; }

const UnreadableCase kUnreadableStores[] = {
    {"link_at_the_store_file",
     [](const fs::path& root) {
       write_text_file(root / "elsewhere" / "bindings.json", kValidStore);
       fs::create_directories((root / kStoreRelativePath).parent_path());
       fs::create_symlink(root / "elsewhere" / "bindings.json", root / kStoreRelativePath);
     }},
    {"link_at_the_store_folder",
     [](const fs::path& root) {
       write_text_file(root / "elsewhere" / "bindings.json", kValidStore);
       fs::create_directories(root / ".quorbel" / "state");
       fs::create_directory_symlink(root / "elsewhere", root / ".quorbel" / "state" / "worktree-runtime");
     }},
    {"link_at_the_state_directory",
     [](const fs::path& root) {
       write_text_file(root / "elsewhere" / "state" / "worktree-runtime" / "bindings.json", kValidStore);
       fs::create_directory_symlink(root / "elsewhere", root / ".quorbel");
     }},
    {"file_at_the_store_folder",
     [](const fs::path& root) { write_text_file((root / kStoreRelativePath).parent_path(), kValidStore); }},
    {"directory_at_the_store_file",
     [](const fs::path& root) { write_text_file(root / kStoreRelativePath / "precious", kValidStore); }},
    {"fifo_at_the_store_file",
     [](const fs::path& root) {
       fs::create_directories((root / kStoreRelativePath).parent_path());
       ASSERT_EQ(::mkfifo((root / kStoreRelativePath).c_str(), 0666), 0);
     }},
    {"past_the_byte_cap",
     [](const fs::path& root) {
       std::string text = kValidStore;
       text.resize(support::kJsonDocumentByteLimit + 1, ' ');
       write_text_file(root / kStoreRelativePath, text);
     }},
    {"nested_past_the_bound",
     [](const fs::path& root) {
       write_text_file(root / kStoreRelativePath,
                       store_document({entry("s", "stored")}, nested_arrays(support::kMaxJsonNesting)));
     }},
    {"more_values_than_the_bound",
     [](const fs::path& root) {
       std::string values = "[0";
       for (std::size_t index = 1; index < support::kMaxJsonDocumentValues; ++index) values += ",0";
       write_text_file(root / kStoreRelativePath, store_document({entry("s", "stored")}, values + "]"));
     }},
};

class UnreadableStore : public StoreFile, public testing::WithParamInterface<UnreadableCase> {};

// A store that cannot be read, or that is not reached through folders
// without a link, may hold other sessions' bindings: it reads as none, and
// nothing is written over it, through it or beside it (but the lock, in the
// store's own folder).
TEST_P(UnreadableStore, ReadsAsNoBindingsAndIsNeverReplaced) {
  GetParam().make(root_);
  std::map<std::string, std::string> before = tree_of(root_);
  EXPECT_TRUE(list(store_).empty());
  EXPECT_FALSE(load(store_, "s").has_value());
  upsert(store_, labelled("other", "c"));
  upsert(store_, labelled("s", "c"));
  EXPECT_FALSE(remove(store_, "s").has_value());
  EXPECT_TRUE(list(store_).empty());
  std::map<std::string, std::string> after = tree_of(root_);
  before.erase(kLockRelativePath);
  after.erase(kLockRelativePath);
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableStore, testing::ValuesIn(kUnreadableStores),
                         [](const testing::TestParamInfo<UnreadableCase>& tested) {
                           return std::string(tested.param.name);
                         });

// Names of the store's temporary files, and names that only look like one.
const std::set<std::string> kStaleTemporaryFiles = {".tmpAb12Z9.tmp", ".tmp000000.tmp", ".tmpzzzzzz.tmp"};
const std::set<std::string> kOtherFiles = {".tmpshort.tmp",   ".tmpAb12Z9.tmp.keep", "notes.tmp",     ".tmpAb-12Z.tmp",
                                           ".tmpAb12Z9x.tmp", "x.tmpAb12Z9.tmp",     ".TMPAb12Z9.TMP"};

std::set<std::string> names_in(const fs::path& directory) {
  std::set<std::string> names;
  for (const fs::directory_entry& item : fs::directory_iterator(directory)) names.insert(item.path().filename());
  return names;
}

struct WriterCase {
  const char* name;
  std::function<void(const WorktreeBindingStore&)> write;
};

void PrintTo(const WriterCase& writer, std::ostream* out) { *out << writer.name; }

const WriterCase kWriters[] = {
    {"upsert", [](const WorktreeBindingStore& store) { upsert(store, labelled("new", "c")); }},
    {"remove", [](const WorktreeBindingStore& store) { EXPECT_TRUE(remove(store, "s").has_value()); }},
};

// A writer killed between creating its temporary file and renaming it
// leaves the file behind; the next writer that holds the lock removes it.
class StaleTemporaryFile : public StoreFile, public testing::WithParamInterface<WriterCase> {
 protected:
  void SetUp() override {
    StoreFile::SetUp();
    write_text_file(store_path(), kValidStore);
    for (const auto& names : {kStaleTemporaryFiles, kOtherFiles}) {
      for (const std::string& name : names) write_text_file(store_path().parent_path() / name, "x");
    }
  }
};

TEST_P(StaleTemporaryFile, IsRemovedByTheNextWriter) {
  GetParam().write(store_);
  std::set<std::string> expected = kOtherFiles;
  expected.insert({"bindings.json", "bindings.json.lock"});
  EXPECT_EQ(names_in(store_path().parent_path()), expected);
}

// Without the lock another writer may be inside its write: its file stays,
// and nothing is written.
TEST_P(StaleTemporaryFile, StaysWhenTheLockCannotBeTaken) {
  fs::create_symlink(at("lock-elsewhere"), store_path().parent_path() / "bindings.json.lock");
  GetParam().write(store_);
  std::set<std::string> expected = kOtherFiles;
  expected.insert(kStaleTemporaryFiles.begin(), kStaleTemporaryFiles.end());
  expected.insert({"bindings.json", "bindings.json.lock"});
  EXPECT_EQ(names_in(store_path().parent_path()), expected);
  EXPECT_EQ(file_text(store_path()), kValidStore);
  EXPECT_FALSE(fs::exists(at("lock-elsewhere")));
}

INSTANTIATE_TEST_SUITE_P(Writers, StaleTemporaryFile, testing::ValuesIn(kWriters),
                         [](const testing::TestParamInfo<WriterCase>& tested) {
                           return std::string(tested.param.name);
                         });

}  // namespace
}  // namespace worktree_runtime::bindings
