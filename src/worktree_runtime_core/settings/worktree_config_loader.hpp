#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process_environment.hpp"

namespace worktree_runtime::settings {

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

// The configuration that `text` holds; nothing when it is not valid UTF-8, not
// one well-formed YAML document, nests sequences and mappings deeper than
// support::kMaxYamlNesting, or has a duplicated mapping key.
std::optional<WorktreeConfig> parse_worktree_config(std::string_view text);

// The configuration in the file at `path`, by parse_worktree_config; nothing
// when it is missing or unreadable.
std::optional<WorktreeConfig> read_worktree_config(std::string_view path);

// The `base` text of the first override that applies in `env`; nothing when no
// override settles it, or when the one that does has a base that is not a
// string or holds a NUL character. The text lives as long as `config`.
std::optional<std::string_view> select_config_base(const WorktreeConfig& config, const platform::Environment& env);

// The base directory of the first override that applies in `env`, joined to
// the root and canonicalised when it exists; nothing when no override settles
// it.
std::optional<std::string> resolve_config_base(const WorktreeConfig& config, std::string_view repo_root,
                                               const platform::Environment& env);

}  // namespace worktree_runtime::settings
