#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "domain/environment.hpp"

namespace worktree_runtime::infrastructure {

// The parsed config/worktree.yaml of a repository: one YAML document as a
// node tree, navigated where it is used.
class WorktreeConfig {
 public:
  struct Document;
  explicit WorktreeConfig(std::unique_ptr<Document> document);
  WorktreeConfig(WorktreeConfig&&) noexcept;
  WorktreeConfig& operator=(WorktreeConfig&&) noexcept;
  ~WorktreeConfig();

  const Document& document() const { return *document_; }

 private:
  std::unique_ptr<Document> document_;
};

// config/worktree.yaml below the root; nothing when it is missing,
// unreadable, not one well-formed document, or has a duplicated mapping key.
std::optional<WorktreeConfig> load_worktree_config(std::optional<std::string_view> repo_root);

// The base directory of the first override that applies in `env` (a snapshot
// of the live environment when absent), joined to the root and canonicalised
// when it exists; nothing when no override settles it.
std::optional<std::string> resolve_config_base(const WorktreeConfig& config, std::string_view repo_root,
                                               const std::optional<domain::EnvSnapshot>& env);

}  // namespace worktree_runtime::infrastructure
