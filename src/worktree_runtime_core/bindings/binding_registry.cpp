#include "bindings/binding_registry.hpp"

#include "bindings/binding_store.hpp"
#include "git/git.hpp"
#include "locations/state_layout.hpp"
#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "support/input_limits.hpp"
#include "support/json.hpp"
#include "support/json_document.hpp"
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
  const support::Result<json> metadata = support::read_json_document(text);
  if (!metadata.ok()) return std::nullopt;
  const std::string* worktree_path = support::string_member(metadata.value(), "worktree_path");
  const std::string* branch = support::string_member(metadata.value(), "branch");
  if (branch == nullptr) branch = support::string_member(metadata.value(), "branch_name");
  if (worktree_path == nullptr || branch == nullptr || support::is_blank(*worktree_path)) return std::nullopt;
  const std::string* source_ref = support::string_member(metadata.value(), "source_ref");
  return SessionMetadata{*worktree_path, *branch, source_ref ? *source_ref : ""};
}

support::Result<WorktreeBinding> register_binding(std::string_view session_id, std::string_view worktree_path,
                                                  std::string_view branch, std::string_view repo_root,
                                                  std::optional<std::string_view> state_path,
                                                  std::string_view source_ref) {
  const std::string worktree = paths::normalize_path(worktree_path);
  const std::string main_worktree = git::resolve_main_worktree_root(paths::normalize_path(repo_root));
  const std::string common_dir = git::run_git(worktree, {"rev-parse", "--path-format=absolute", "--git-common-dir"});
  if (common_dir.empty()) return registration_failure("WORKTREE_GIT_COMMON_DIR_MISSING");
  const std::string session_state =
      state_path ? std::string(*state_path)
                 : paths::join_path(worktree, locations::session_state_relative_path(main_worktree));
  WorktreeBinding binding =
      build_binding(session_id, worktree, branch, session_state, common_dir, main_worktree, source_ref, std::nullopt);
  // A binding that the store's reading would skip is never stored: no one
  // could see it.
  if (support::Result<WorktreeBinding> readable = binding_from_json(binding_to_json(binding)); !readable.ok()) {
    return readable.error();
  }
  const BindingValidationResult verdict = validate_binding(
      binding, worktree, support::EnvSnapshot{{std::string(support::kWorktreeVariable), worktree}}, true, {});
  if (!verdict.ok) return registration_failure(verdict.reason_code);
  upsert(open_binding_store(main_worktree), binding);
  return binding;
}

std::optional<WorktreeBinding> load_binding(std::string_view session_id, std::string_view repo_root) {
  return load(open_binding_store(repo_root), session_id);
}

std::vector<WorktreeBinding> list_bindings(std::string_view repo_root) { return list(open_binding_store(repo_root)); }

std::optional<WorktreeBinding> remove_binding(std::string_view session_id, std::string_view repo_root) {
  return remove(open_binding_store(repo_root), session_id);
}

std::optional<WorktreeBinding> recover_binding_from_metadata(std::string_view session_id,
                                                             std::string_view base_directory,
                                                             std::string_view main_worktree_root) {
  if (!paths::is_path_component(session_id)) return std::nullopt;
  const std::string path = paths::join_path(
      paths::join_path(paths::join_path(base_directory, locations::session_state_relative_path(main_worktree_root)),
                       "sessions/" + std::string(session_id)),
      "metadata.json");
  const std::optional<std::string> text = platform::read_file(path, support::kJsonDocumentByteLimit);
  const std::optional<SessionMetadata> metadata = text ? read_session_metadata(*text) : std::nullopt;
  if (!metadata) return std::nullopt;
  support::Result<WorktreeBinding> registered = register_binding(
      session_id, metadata->worktree_path, metadata->branch, main_worktree_root, std::nullopt, metadata->source_ref);
  if (!registered.ok()) return std::nullopt;
  return std::move(registered.value());
}

std::optional<WorktreeBinding> recover_binding(std::string_view session_id, std::string_view repo_root) {
  const std::string root = paths::normalize_path(repo_root);
  const std::string main_worktree = git::resolve_main_worktree_root(root);
  if (auto recovered = recover_binding_from_metadata(session_id, root, main_worktree)) return recovered;
  if (root == main_worktree) return std::nullopt;
  return recover_binding_from_metadata(session_id, main_worktree, main_worktree);
}

std::optional<WorktreeBinding> binding_from_environment(std::string_view session_id,
                                                        const std::optional<support::EnvSnapshot>& env,
                                                        std::string_view repo_root) {
  if (!env || env->empty()) return std::nullopt;
  const auto named_worktree = env->find(std::string(support::kWorktreeVariable));
  if (named_worktree == env->end() || support::is_blank(named_worktree->second)) return std::nullopt;
  const std::string worktree = paths::normalize_path(support::trim_white_space(named_worktree->second));
  const auto named_branch = env->find(std::string(support::kBranchVariable));
  const std::string branch = named_branch != env->end() ? named_branch->second : std::string();
  const std::string state_path =
      paths::join_path(worktree, locations::session_state_relative_path(git::resolve_main_worktree_root(worktree)));
  return build_binding(session_id, worktree, branch, state_path, "", paths::normalize_path(repo_root),
                       kEnvironmentFallbackCommitIsh, std::nullopt);
}

BindingValidationResult validate_current_binding(const CurrentBindingRequest& request) {
  std::optional<WorktreeBinding> binding;
  if (request.session_id) {
    binding = load_binding(*request.session_id, request.repo_root);
    if (!binding) binding = recover_binding(*request.session_id, request.repo_root);
    if (!binding) {
      if (request.require_registered_binding) return make_verdict("WORKTREE_BINDING_MISSING", std::nullopt);
      binding = binding_from_environment(*request.session_id, request.env, request.repo_root);
    }
  } else {
    binding = binding_from_environment("", request.env, request.repo_root);
  }
  if (!binding) return make_verdict("WORKTREE_ENV_MISSING", std::nullopt);
  return validate_binding(*binding, request.cwd, request.env, request.check_git,
                          {request.require_env_worktree, request.require_git_state});
}

}  // namespace worktree_runtime::bindings
