// Every allocation of a core operation, failed in turn, in this process: the
// failure reaches the caller as std::bad_alloc (MemoryError in Python), or for
// the audit writer as its fail-open line, and never ends the process; the
// files on disk are whole, the old state or the new; and the same operation
// run again gives what it gave without the failure, so nothing that the
// process keeps or reuses was left broken.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "audit/audit_line_reader.hpp"
#include "audit/audit_log.hpp"
#include "audit/audit_record.hpp"
#include "bindings/binding.hpp"
#include "bindings/binding_registry.hpp"
#include "bindings/binding_store.hpp"
#include "failing_allocator.hpp"
#include "git/worktree_list_reader.hpp"
#include "locations/file_names.hpp"
#include "locations/project_settings.hpp"
#include "locations/worktree_bases.hpp"
#include "scratch_directory.hpp"
#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"
#include "settings/worktree_config_loader.hpp"
#include "support/input_limits.hpp"
#include "support/json_tree.hpp"

namespace worktree_runtime {
namespace {

namespace fs = std::filesystem;
using bindings::WorktreeBinding;

// Far more allocations than any operation below makes: a run that still
// reaches its armed allocation here never completes.
constexpr std::size_t kMostAllocations = 100000;

// ---------------------------------------------------------------------------
// Files

std::string read_text(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return "<missing>";
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The names of the files in the directory of `path`, sorted.
std::string neighbours(const fs::path& path) {
  std::vector<std::string> names;
  if (fs::is_directory(path.parent_path())) {
    for (const fs::directory_entry& entry : fs::directory_iterator(path.parent_path())) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += name + "\n";
  return text;
}

// Standard error, into a temporary file while the object lives.
class CapturedStandardError {
 public:
  CapturedStandardError() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  CapturedStandardError(const CapturedStandardError&) = delete;
  CapturedStandardError& operator=(const CapturedStandardError&) = delete;
  ~CapturedStandardError() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::fclose(file_);
  }

  std::string text() const {
    struct stat status {};
    ::fstat(::fileno(file_), &status);
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t read = ::pread(::fileno(file_), text.data(), text.size(), 0);
    text.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
    return text;
  }

 private:
  std::FILE* file_;
  int saved_;
};

// ---------------------------------------------------------------------------
// What the operations return, as text to compare

std::string describe(const WorktreeBinding& binding) {
  std::string text;
  for (const auto& [key, value, required] : bindings::binding_text_fields(binding))
    text += std::string(key) + "=" + *value + " ";
  return text + "schema_version=" + std::to_string(binding.schema_version);
}

std::string describe(const std::optional<WorktreeBinding>& binding) { return binding ? describe(*binding) : "none"; }

std::string describe(const std::vector<WorktreeBinding>& bindings) {
  std::string text;
  for (const WorktreeBinding& binding : bindings) text += describe(binding) + "\n";
  return text;
}

std::string describe(const support::Result<WorktreeBinding>& binding) {
  return binding.ok() ? describe(binding.value()) : "error: " + binding.error().message;
}

std::string describe(const bindings::BindingValidationResult& verdict) {
  return std::string(verdict.ok ? "ok " : "refused ") + verdict.reason_code + " " + verdict.message + " " +
         describe(verdict.binding);
}

std::string describe(const audit::AuditLineFields& fields) {
  std::string text;
  audit::for_each_audit_field([&]<std::size_t Index>(audit::AuditFieldAt<Index>) {
    using Field = audit::AuditFieldAt<Index>;
    const auto& value = audit::line_field<Index>(fields);
    text += std::string(Field::kName) + "=";
    if constexpr (Field::kKind == audit::AuditFieldKind::kFlag) {
      text += value ? "true" : "false";
    } else if (!value) {
      text += "-";
    } else if constexpr (Field::kKind == audit::AuditFieldKind::kInteger ||
                         Field::kKind == audit::AuditFieldKind::kNullableInteger) {
      text += std::to_string(*value);
    } else {
      text += *value;
    }
    text += " ";
  });
  return text;
}

std::string describe(const std::vector<audit::StoredAuditRecord>& records) {
  std::string text;
  for (const audit::StoredAuditRecord& record : records) text += describe(record.fields()) + "\n";
  return text;
}

std::string describe(const std::vector<std::string>& texts) {
  std::string text;
  for (const std::string& item : texts) text += item + ";";
  return text;
}

std::string describe(const settings::GitHubPolicy& policy) {
  return describe(policy.pr_title_prefixes) + " " + describe(policy.main_branches) + " " +
         (policy.pr_title_issue_suffix_required ? "suffix " : "no-suffix ") + describe(policy.required_sections_issue) +
         " " + describe(policy.required_sections_pr);
}

std::string describe(const std::optional<std::string>& text) { return text ? *text : "none"; }

std::string describe(const support::Result<std::vector<git::WorktreeListEntry>>& entries) {
  if (!entries.ok()) return "error: " + entries.error().message;
  std::string text;
  for (const git::WorktreeListEntry& entry : entries.value()) {
    text += entry.worktree + " " + describe(entry.branch) + " " + entry.head + (entry.bare ? " bare" : "") +
            (entry.detached ? " detached" : "") + (entry.locked ? " locked " + describe(entry.lock_reason) : "") +
            (entry.prunable ? " prunable" : "") + "\n";
  }
  return text;
}

std::string describe(const std::string& text) { return text; }

// ---------------------------------------------------------------------------
// The operations

// One core operation over real files.
class Operation {
 public:
  virtual ~Operation() = default;
  // Lays its files out afresh.
  virtual void prepare() = 0;
  // Runs the operation and keeps what it returns: the one part run armed.
  virtual void run() = 0;
  // What the last run returned.
  virtual std::string result() const = 0;
  // The document the operation reads or writes, as it is on disk now.
  virtual std::string state() const = 0;
  // The files beside that document: a write that failed may leave its
  // temporary file there, which the next writer removes.
  virtual std::string neighbours() const = 0;
};

// Where an operation keeps its document; none for one that reads only its
// own text or configuration.
using DocumentPath = std::function<fs::path()>;

// The text with every timestamp blanked: each append stamps the clock.
std::string without_timestamps(std::string text) {
  const std::string key = R"("timestamp":")";
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + key.size())) {
    const std::size_t start = at + key.size();
    const std::size_t end = text.find('"', start);
    if (end == std::string::npos) break;
    text.erase(start, end - start);
  }
  return text;
}

std::string document_state(const DocumentPath& path) {
  return path ? without_timestamps(read_text(path())) : std::string();
}

template <class Result>
class Call final : public Operation {
 public:
  Call(std::function<void()> prepare, std::function<Result()> call, DocumentPath document)
      : prepare_(std::move(prepare)), call_(std::move(call)), document_(std::move(document)) {}

  void prepare() override {
    kept_.reset();
    prepare_();
  }
  void run() override { kept_.emplace(call_()); }
  std::string result() const override { return kept_ ? describe(*kept_) : "<nothing>"; }
  std::string state() const override { return document_state(document_); }
  std::string neighbours() const override { return document_ ? worktree_runtime::neighbours(document_()) : ""; }

 private:
  std::function<void()> prepare_;
  std::function<Result()> call_;
  DocumentPath document_;
  std::optional<Result> kept_;
};

template <class Call_>
std::unique_ptr<Operation> call(std::function<void()> prepare, Call_ operation, DocumentPath document = {}) {
  using Result = std::invoke_result_t<Call_>;
  return std::make_unique<Call<Result>>(std::move(prepare), std::move(operation), std::move(document));
}

// The paths of every test: the repository's main/ on branch main and linked/
// on feature, its store, the shared audit log, and a project with settings.
struct Layout {
  explicit Layout(const fs::path& scratch)
      : root(scratch),
        main((scratch / "main").string()),
        linked((scratch / "linked").string()),
        store(bindings::open_binding_store(main)),
        log(scratch / "shared" / "audit" / std::string(locations::kActiveLogName)),
        project((scratch / "project").string()) {}

  fs::path root;
  std::string main;
  std::string linked;
  bindings::WorktreeBindingStore store;
  fs::path log;
  std::string project;
};

std::string binding_entry(const Layout& layout, const std::string& session, const std::string& commit_ish) {
  return R"({"session_id": ")" + session + R"(", "worktree": ")" + layout.linked +
         R"(", "branch": "feature", "state_path": ")" + layout.linked + R"(/.quorbel/state/velmorin", )" +
         R"("git_common_dir": ")" + layout.main + R"(/.git", "main_worktree": ")" + layout.main +
         R"(", "commit_ish": ")" + commit_ish + R"(", "schema_version": 2)";
}

// Two sessions' bindings among entries that are none, nested values in and
// between them, a key given twice. A number no double holds makes load's
// fast scan give way to the full reader.
std::string store_document(const Layout& layout, bool number_past_double) {
  return R"({"bindings": [)" + binding_entry(layout, "s-1", "") +
         R"(, "notes": [9, [9]], "notes": {"seen": [1, [2, {"deep": [3, {}]}]], "size": )" +
         (number_past_double ? "1e400" : "12") + R"(}},
  [1, 2, {"x": {"y": []}}],
  )" + binding_entry(layout, "s-2", "abc") +
         R"(}
], "schema_version": 2, "history": {"a": [[], {}, [[1]]]}})";
}

WorktreeBinding changed_binding(const Layout& layout) {
  return bindings::build_binding("s-1", layout.linked, "feature", layout.linked + "/elsewhere", layout.main + "/.git",
                                 layout.main, "def", std::nullopt);
}

std::function<void()> lay_out_store(const Layout& layout, bool number_past_double = false) {
  return [&layout, number_past_double] { write_text(layout.store.path, store_document(layout, number_past_double)); };
}

DocumentPath store_document_path(const Layout& layout) {
  return [&layout] { return fs::path(layout.store.path); };
}

// A lost session, registered again from its metadata.
void lay_out_session_metadata(const Layout& layout) {
  write_text(fs::path(layout.main) / ".quorbel/state/velmorin/sessions/s-9/metadata.json",
             R"({"worktree_path": ")" + layout.linked +
                 R"(", "branch_name": "feature", "source_ref": "r", "extra": {"nested": [[{}], {"a": [1]}]}})");
}

std::string audit_line(const std::string& timestamp, const std::string& branch, const std::string& extra) {
  return R"({"worktree_path":"/w/t","branch":")" + branch + R"(","timestamp":")" + timestamp +
         R"(","kind":"session.bind","pid":7,"invoker":"cli","outcome":"ok","extra":)" + extra + "}";
}

// Lines in the writer's layout and in others, out of order, some no record,
// one with an integer past 64 bits, and a torn last line.
std::string audit_log_text() {
  const audit::StampedEvent own = audit::build_audit_record({.kind = "session.bind",
                                                             .branch = "main",
                                                             .worktree_path = "/w/own",
                                                             .invoker = "cli",
                                                             .outcome = "ok",
                                                             .session_id = "s-1",
                                                             .correlation_id = std::nullopt,
                                                             .elapsed_ms = 5,
                                                             .extra_json = R"({"k":[1,{"v":"x"}]})"},
                                                            support::Instant{1740873600, 0});
  return audit_line("2025-03-03T00:00:00Z", "main", R"({"n":[1,{"m":[2]}]})") + "\n" +
         audit::serialize_audit_line(own) +
         audit_line("2025-03-01T00:00:00Z", "main", R"({"big":123456789012345678901234567890,"l":[[1]]})") + "\n" +
         "not json\n" + R"({"kind":"only"})" + "\n\n" + audit_line("2025-03-04T00:00:00Z", "other", "null") + "\n" +
         R"({"timestamp":"2025-03-0)";
}

void lay_out_project(const Layout& layout) {
  write_text(fs::path(layout.project) / "pyproject.toml",
             "[tool.velmorin]\nproject_id = \"proj\"\n\n[tool.velmorin.github_policy]\n"
             "pr_title_prefixes = [\"feat\", \"fix\"]\nmain_branches = [\"trunk\"]\n"
             "pr_title_issue_suffix_required = false\n\n[tool.velmorin.github_policy.required_sections]\n"
             "issue = [\"Goal\"]\npr = [\"Summary\", \"Tests\"]\n");
  write_text(fs::path(layout.project) / "config/worktree.yaml",
             "worktree:\n"
             "  overrides:\n"
             "    - &first {detection: {env_vars_any: [NOT_SET_HERE]}, base: wt/never}\n"
             "    - *first\n"
             "    - detection: {env_vars_any: [ALLOCATION_TEST_RUNNER, CI]}\n"
             "      base: wt/detected\n");
}

const support::EnvSnapshot kCiEnvironment = {{"CI", "1"}, {"ALLOCATION_TEST_RUNNER", "yes"}};

// The arguments of each operation are made before it runs: only the
// operation's own allocations are failed.

std::unique_ptr<Operation> store_upsert(const Layout& layout) {
  return call(
      lay_out_store(layout),
      [&layout, binding = changed_binding(layout)] {
        bindings::upsert(layout.store, binding);
        return std::string("done");
      },
      store_document_path(layout));
}

std::unique_ptr<Operation> store_remove(const Layout& layout) {
  return call(
      lay_out_store(layout), [&layout] { return bindings::remove(layout.store, "s-2"); }, store_document_path(layout));
}

std::unique_ptr<Operation> store_list(const Layout& layout) {
  return call(
      lay_out_store(layout), [&layout] { return bindings::list(layout.store); }, store_document_path(layout));
}

std::unique_ptr<Operation> store_load_scanned(const Layout& layout) {
  return call(
      lay_out_store(layout), [&layout] { return bindings::load(layout.store, "s-2"); }, store_document_path(layout));
}

std::unique_ptr<Operation> store_load_read_in_full(const Layout& layout) {
  return call(
      lay_out_store(layout, true), [&layout] { return bindings::load(layout.store, "s-1"); },
      store_document_path(layout));
}

std::unique_ptr<Operation> register_binding(const Layout& layout) {
  return call(
      lay_out_store(layout),
      [&layout] {
        return bindings::register_binding("s-3", layout.linked, "feature", layout.main, std::nullopt, "ref");
      },
      store_document_path(layout));
}

std::unique_ptr<Operation> recover_binding(const Layout& layout) {
  return call(
      [&layout] {
        lay_out_store(layout)();
        lay_out_session_metadata(layout);
      },
      [&layout] { return bindings::recover_binding("s-9", layout.main); }, store_document_path(layout));
}

std::unique_ptr<Operation> validate_current_binding(const Layout& layout, const std::string& session) {
  return call(
      [&layout] {
        lay_out_store(layout)();
        lay_out_session_metadata(layout);
      },
      [request =
           bindings::CurrentBindingRequest{
               .session_id = session,
               .repo_root = layout.main,
               .cwd = layout.linked,
               .env = support::EnvSnapshot{{"QUORBEL_WORKTREE", layout.linked}, {"QUORBEL_BRANCH", "feature"}},
               .check_git = true,
           }] { return bindings::validate_current_binding(request); },
      store_document_path(layout));
}

std::unique_ptr<Operation> validate_stored_binding(const Layout& layout) {
  return validate_current_binding(layout, "s-1");
}

std::unique_ptr<Operation> validate_recovered_binding(const Layout& layout) {
  return validate_current_binding(layout, "s-9");
}

std::unique_ptr<Operation> append_audit_event(const Layout& layout) {
  return call([&layout] { write_text(layout.log, audit_log_text()); },
              [] {
                audit::append_audit_event({.kind = "worktree.create",
                                           .branch = "main",
                                           .worktree_path = "/w/new",
                                           .invoker = "cli",
                                           .outcome = "ok",
                                           .session_id = "s-1",
                                           .correlation_id = "c-1",
                                           .elapsed_ms = 12,
                                           .extra_json = R"({"z":[1,{"a":[2,3]}],"token":"t","z":{"b":[4]}})"});
                return std::string("done");
              },
              [&layout] { return layout.log; });
}

std::unique_ptr<Operation> read_audit_records(const Layout& layout) {
  return call([&layout] { write_text(layout.log, audit_log_text()); },
              [] {
                return audit::read_audit_records({.branch = "main",
                                                  .worktree_path = std::nullopt,
                                                  .since = support::Instant{1740700800, 0},
                                                  .until = std::nullopt});
              },
              [&layout] { return layout.log; });
}

std::unique_ptr<Operation> binding_from_payload(const Layout& layout) {
  return call([] {},
              [payload = R"({"session_id": "s-5", "worktree_path": ")" + layout.linked +
                         R"(", "branch": "feature", "state_path": "/s", "repo_root": ")" + layout.main +
                         R"(", "extra": [[1, {"a": {}}], []], "extra": {"b": [[2]]}})"] {
                return bindings::binding_from_json_text(payload);
              });
}

std::unique_ptr<Operation> list_worktrees(const Layout& layout) {
  return call([] {}, [&layout] { return git::list_worktrees(layout.main); });
}

std::unique_ptr<Operation> github_policy(const Layout& layout) {
  return call([&layout] { lay_out_project(layout); },
              [&layout] { return locations::resolve_github_policy(layout.project); });
}

std::unique_ptr<Operation> project_id(const Layout&) {
  return call([] {},
              [] {
                return settings::project_id_from_pyproject(
                    "[project]\nname = \"x\"\n[tool.velmorin]\nproject_id = \"named\"\nother = [1, {a = [2]}]\n");
              });
}

std::unique_ptr<Operation> worktree_config(const Layout& layout) {
  return call([&layout] { lay_out_project(layout); },
              [&layout]() -> std::optional<std::string> {
                const std::optional<settings::WorktreeConfig> config =
                    settings::read_worktree_config(layout.project + "/config/worktree.yaml");
                if (!config) return std::nullopt;
                return settings::resolve_config_base(*config, layout.project,
                                                     platform::Environment::of(kCiEnvironment));
              });
}

std::unique_ptr<Operation> worktree_base(const Layout& layout) {
  return call([&layout] { lay_out_project(layout); },
              [&layout] {
                return locations::resolve_worktree_base(std::nullopt, layout.project, layout.root.string(),
                                                        kCiEnvironment);
              });
}

// ---------------------------------------------------------------------------
// The test

struct Scenario {
  const char* name;
  std::unique_ptr<Operation> (*make)(const Layout& layout);
  // The audit writer never fails, not even when memory runs out: its
  // fail-open line stands for the failure.
  bool fails_open = false;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    {"StoreUpsert", &store_upsert},
    {"StoreRemove", &store_remove},
    {"StoreList", &store_list},
    {"StoreLoadScanned", &store_load_scanned},
    {"StoreLoadReadInFull", &store_load_read_in_full},
    {"RegisterBinding", &register_binding},
    {"RecoverBinding", &recover_binding},
    {"ValidateStoredBinding", &validate_stored_binding},
    {"ValidateRecoveredBinding", &validate_recovered_binding},
    {"AppendAuditEvent", &append_audit_event, true},
    {"ReadAuditRecords", &read_audit_records},
    {"BindingFromPayload", &binding_from_payload},
    {"ListWorktrees", &list_worktrees},
    {"GitHubPolicy", &github_policy},
    {"ProjectIdFromPyproject", &project_id},
    {"WorktreeConfig", &worktree_config},
    {"WorktreeBase", &worktree_base},
};

struct ArmedRun {
  bool reached;  // the armed allocation was made, and failed
  bool threw;
  std::string standard_error;
};

// Standard error is captured only where a fail-open line may be the
// outcome: elsewhere it stays free for the message of a terminate.
ArmedRun run_armed(Operation& operation, std::size_t k, bool fails_open) {
  const std::optional<CapturedStandardError> captured =
      fails_open ? std::make_optional<CapturedStandardError>() : std::nullopt;
  bool threw = false;
  failing_allocator::arm(k);
  try {
    operation.run();
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  const bool reached = failing_allocator::disarm();
  return {reached, threw, captured ? captured->text() : std::string()};
}

class AllocationFailure : public GitScratchDirectory, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    GitScratchDirectory::SetUp();
    make_repository_with_linked_worktree();
    ::setenv("VELMORIN_SHARED_DIR", at("shared").c_str(), 1);
    ::unsetenv("QUORBEL_SHARED_DIR");
    ::setenv("COMPUTERNAME", "box", 1);
  }
};

TEST_P(AllocationFailure, FailsWithBadAllocAndLeavesFilesWholeAndTheProcessUsable) {
  const Layout layout(root_);
  const std::unique_ptr<Operation> operation = GetParam().make(layout);
  operation->prepare();
  const std::string state_before = operation->state();
  operation->run();
  const std::string baseline = operation->result();
  const std::string state_after = operation->state();
  const std::string neighbours_after = operation->neighbours();

  std::size_t k = 1;
  for (;; ++k) {
    ASSERT_LT(k, kMostAllocations) << "the operation never completed";
    operation->prepare();
    const ArmedRun armed = run_armed(*operation, k, GetParam().fails_open);
    if (!armed.reached) {
      // The operation completed before its k-th allocation.
      EXPECT_FALSE(armed.threw);
      EXPECT_EQ(operation->result(), baseline);
      EXPECT_EQ(operation->state(), state_after);
      EXPECT_EQ(operation->neighbours(), neighbours_after);
      break;
    }
    SCOPED_TRACE("with allocation " + std::to_string(k) + " failed");
    EXPECT_FALSE(GetParam().fails_open && armed.threw) << "the writer threw";
    const std::string state = operation->state();
    EXPECT_TRUE(state == state_before || state == state_after) << state;
    if (!armed.threw) {
      // A failure absorbed by a fallback must change nothing that is seen.
      const bool failed_open = armed.standard_error.find("[WORKTREE-AUDIT-FAILOPEN] ") != std::string::npos;
      if (!failed_open) {
        EXPECT_EQ(operation->result(), baseline);
        EXPECT_EQ(state, state_after);
      }
    }
    // Run again, from the state left when it is the one the operation
    // started from, else from a fresh one: it gives what it gave, and
    // removes whatever the failed run left beside the document.
    if (state != state_before) operation->prepare();
    operation->run();
    EXPECT_EQ(operation->result(), baseline);
    EXPECT_EQ(operation->state(), state_after);
    EXPECT_EQ(operation->neighbours(), neighbours_after);
    if (HasFailure()) break;
  }
  EXPECT_GT(k, 1U) << "the operation allocates nothing";
}

INSTANTIATE_TEST_SUITE_P(CoreOperations, AllocationFailure, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& scenario) { return scenario.param.name; });

std::string wide_array(std::size_t count) {
  std::string text = "[";
  for (std::size_t index = 0; index < count; ++index) text += "{\"n\": [" + std::to_string(index) + "]},";
  text.back() = ']';
  return text;
}

// Arrays `depth` deep, each holding an object that holds an array: the
// document nests two levels deeper than `depth`.
std::string nested_arrays(std::size_t depth) {
  std::string text;
  for (std::size_t level = 0; level < depth; ++level) text += "[0, {\"k\": [1]}, ";
  text += "[]";
  for (std::size_t level = 0; level < depth; ++level) text += "]";
  return text;
}

// Freeing a tree held in a JsonTree, or assigning over it, allocates nothing,
// however wide or deep the tree.
TEST(JsonTreeFreeing, AllocatesNothing) {
  const std::string texts[] = {
      "[]",
      R"({"a": [1, {"b": [[], {}, [[2]]]}], "c": {"d": "e"}, "f": 1e300})",
      wide_array(10000),
      nested_arrays(support::kMaxJsonNesting - 2),
  };
  for (const std::string& text : texts) {
    std::optional<support::JsonTree> tree = support::parse_json(text);
    std::optional<support::JsonTree> replaced = support::parse_json(text);
    ASSERT_TRUE(tree && replaced) << text.substr(0, 80);
    failing_allocator::arm(1);
    *replaced = support::JsonTree();
    tree.reset();
    EXPECT_FALSE(failing_allocator::disarm()) << text.substr(0, 80);
  }
}

// The audit reader's parser allocates on its first line and grows to the
// longest line it has read. When either runs out of memory, that throws, and
// the same reader reads on.
TEST(AuditLineReaderAllocationFailure, ReadsOnAfterALineThatRanOutOfMemory) {
  std::string long_payload = "[";
  for (int index = 0; index < 2000; ++index) long_payload += std::to_string(index) + ",";
  long_payload.back() = ']';
  const std::string short_line = audit_line("2025-03-01T00:00:00Z", "main", "[1]");
  const std::string long_line = audit_line("2025-03-02T00:00:00Z", "main", long_payload);
  const auto read = [](audit::AuditLineReader& reader, const std::string& line) {
    const std::optional<audit::AuditLineFields> fields = reader.read_any_json(line);
    return fields ? describe(*fields) : "none";
  };
  audit::AuditLineReader fresh;
  const std::string expected_long = read(fresh, long_line);
  const std::string expected_short = read(fresh, short_line);
  for (const bool grows : {false, true}) {
    for (std::size_t k = 1;; ++k) {
      ASSERT_LT(k, kMostAllocations);
      audit::AuditLineReader reader;
      if (grows) read(reader, short_line);
      failing_allocator::arm(k);
      try {
        reader.read_any_json(long_line);
      } catch (const std::bad_alloc&) {
      }
      if (!failing_allocator::disarm()) break;
      SCOPED_TRACE(std::string(grows ? "growing" : "first line") + ", with allocation " + std::to_string(k) +
                   " failed");
      EXPECT_EQ(read(reader, short_line), expected_short);
      EXPECT_EQ(read(reader, long_line), expected_long);
    }
  }
}

}  // namespace
}  // namespace worktree_runtime
