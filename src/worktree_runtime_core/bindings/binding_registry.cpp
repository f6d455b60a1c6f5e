#include "bindings/binding_registry.hpp"

#include "bindings/binding_store.hpp"
#include "git/git.hpp"
#include "locations/file_names.hpp"
#include "locations/repository_context.hpp"
#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/json.hpp"
#include "support/json_document.hpp"
#include "support/json_tree.hpp"
#include "support/runtime_variables.hpp"
#include "support/text.hpp"

namespace worktree_runtime::bindings {
namespace {

using nlohmann::json;

constexpr std::string_view kEnvironmentFallbackCommitIsh = "env-fallback";

support::CoreError registration_failure(std::string_view reason_code) {
  return {std::string(reason_code) + ": " + std::string(reason_message(reason_code)), {}};
}

}  // namespace

std::optional<SessionMetadata> read_session_metadata(std::string_view text) {
  support::Result<json> read = support::read_json_document(text);
  if (!read.ok()) return std::nullopt;
  const support::JsonTree metadata(std::move(read.value()));
  const std::string* worktree_path = support::string_member(*metadata, "worktree_path");
  const std::string* branch = support::string_member(*metadata, "branch");
  if (branch == nullptr) branch = support::string_member(*metadata, "branch_name");
  if (worktree_path == nullptr || branch == nullptr || support::is_blank(*worktree_path)) return std::nullopt;
  const std::string* source_ref = support::string_member(*metadata, "source_ref");
  return SessionMetadata{*worktree_path, *branch, source_ref ? *source_ref : ""};
}

namespace {

// Registers the binding in the repository that `repository` describes.
support::Result<WorktreeBinding> register_in(const locations::RepositoryContext& repository,
                                             std::string_view session_id, std::string_view worktree_path,
                                             std::string_view branch, std::optional<std::string_view> state_path,
                                             std::string_view source_ref) {
  const std::string worktree = paths::normalize_path(worktree_path);
  const std::string common_dir = git::run_git(worktree, {"rev-parse", "--path-format=absolute", "--git-common-dir"});
  if (common_dir.empty()) return registration_failure("WORKTREE_GIT_COMMON_DIR_MISSING");
  const std::string session_state =
      state_path ? std::string(*state_path) : paths::join_path(worktree, repository.session_state_relative_path);
  WorktreeBinding binding = build_binding(session_id, worktree, branch, session_state, common_dir,
                                          repository.main_worktree_root, source_ref, std::nullopt);
  // A binding that the store's reading would skip is never stored: no one
  // could see it.
  if (const std::optional<std::string_view> missing = first_missing_field(binding))
    return missing_field_error(*missing);
  const BindingValidationResult verdict =
      validate_binding(binding, worktree, support::EnvSnapshot{{std::string(support::kWorktreeVariable), worktree}},
                       true, {}, common_dir);
  if (!verdict.ok) return registration_failure(verdict.reason_code);
  upsert(binding_store_of(repository), binding);
  return binding;
}

// The session's metadata file below `base_directory`, registered into the
// repository's store. Nothing for a session identifier that is not one
// ordinary path component: it never forms a path outside the sessions
// directory. The file is reached from `base_directory` without following a
// symbolic link.
std::optional<WorktreeBinding> recover_from_metadata(const locations::RepositoryContext& repository,
                                                     std::string_view session_id, std::string_view base_directory) {
  if (!paths::is_path_component(session_id)) return std::nullopt;
  const std::string metadata_file =
      locations::session_metadata_path(repository.session_state_relative_path, session_id);
  const platform::FileContent content =
      platform::Directory::read_file_beneath(base_directory, metadata_file, support::kJsonDocumentByteLimit);
  const std::optional<SessionMetadata> metadata =
      content.status == platform::FileContent::Status::read ? read_session_metadata(content.bytes) : std::nullopt;
  if (!metadata) return std::nullopt;
  support::Result<WorktreeBinding> registered = register_in(repository, session_id, metadata->worktree_path,
                                                            metadata->branch, std::nullopt, metadata->source_ref);
  if (!registered.ok()) return std::nullopt;
  return std::move(registered.value());
}

// Looked for below the normalised root, then below its main worktree.
std::optional<WorktreeBinding> recover_in(const locations::RepositoryContext& repository, std::string_view session_id,
                                          std::string_view root) {
  if (auto recovered = recover_from_metadata(repository, session_id, root)) return recovered;
  if (root == repository.main_worktree_root) return std::nullopt;
  return recover_from_metadata(repository, session_id, repository.main_worktree_root);
}

// The binding that QUORBEL_WORKTREE and QUORBEL_BRANCH describe, when the
// environment names a worktree.
std::optional<WorktreeBinding> binding_from_environment(std::string_view session_id,
                                                        const std::optional<support::EnvSnapshot>& env,
                                                        std::string_view root) {
  if (!env) return std::nullopt;
  const platform::Environment environment = platform::Environment::of(*env);
  const std::optional<std::string> named_worktree = environment.non_blank(support::kWorktreeVariable);
  if (!named_worktree) return std::nullopt;
  const std::string worktree = paths::normalize_path(*named_worktree);
  const std::string branch = environment.value(support::kBranchVariable).value_or("");
  const std::string state_path =
      paths::join_path(worktree, locations::resolve_repository_context(worktree).session_state_relative_path);
  return build_binding(session_id, worktree, branch, state_path, "", root, kEnvironmentFallbackCommitIsh, std::nullopt);
}

}  // namespace

support::Result<WorktreeBinding> register_binding(std::string_view session_id, std::string_view worktree_path,
                                                  std::string_view branch, std::string_view repo_root,
                                                  std::optional<std::string_view> state_path,
                                                  std::string_view source_ref) {
  return register_in(locations::resolve_repository_context(paths::normalize_path(repo_root)), session_id, worktree_path,
                     branch, state_path, source_ref);
}

std::optional<WorktreeBinding> load_binding(std::string_view session_id, std::string_view repo_root) {
  return load(open_binding_store(repo_root), session_id);
}

std::vector<WorktreeBinding> list_bindings(std::string_view repo_root) { return list(open_binding_store(repo_root)); }

std::optional<WorktreeBinding> remove_binding(std::string_view session_id, std::string_view repo_root) {
  return remove(open_binding_store(repo_root), session_id);
}

std::optional<WorktreeBinding> recover_binding(std::string_view session_id, std::string_view repo_root) {
  const std::string root = paths::normalize_path(repo_root);
  return recover_in(locations::resolve_repository_context(root), session_id, root);
}

BindingValidationResult validate_current_binding(const CurrentBindingRequest& request) {
  const std::string root = paths::normalize_path(request.repo_root);
  std::optional<WorktreeBinding> binding;
  if (request.session_id) {
    const locations::RepositoryContext repository = locations::resolve_repository_context(root);
    binding = load(binding_store_of(repository), *request.session_id);
    if (!binding) binding = recover_in(repository, *request.session_id, root);
    if (!binding) {
      if (request.require_registered_binding) return make_verdict("WORKTREE_BINDING_MISSING", std::nullopt);
      binding = binding_from_environment(*request.session_id, request.env, root);
    }
  } else {
    binding = binding_from_environment("", request.env, root);
  }
  if (!binding) return make_verdict("WORKTREE_ENV_MISSING", std::nullopt);
  return validate_binding(*binding, request.cwd, request.env, request.check_git,
                          {request.require_env_worktree, request.require_git_state});
}

}  // namespace worktree_runtime::bindings
