#include "settings/project_id_resolver.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "settings/pyproject.hpp"
#include "support/text.hpp"

namespace worktree_runtime::settings {
namespace {

constexpr std::size_t kMaxProjectIdLength = 64;

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// File path text to raw identifier, for the life of the process: never evicted,
// never replaced. The lock is held across the read of a file
// so concurrent first resolutions read it once and agree.
class ProjectIdMemo {
 public:
  template <class Resolve>
  std::string find_or_insert(std::string_view root, Resolve resolve) {
    const std::lock_guard lock(mutex_);
    if (const auto found = identifiers_.find(root); found != identifiers_.end()) return found->second;
    return identifiers_.emplace(std::string(root), resolve()).first->second;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> identifiers_;
};

ProjectIdMemo& memo() {
  static ProjectIdMemo instance;
  return instance;
}

// `[tool.velmorin] project_id` when it is a non-empty string, else the legacy
// identifier.
std::string project_id_in(const std::optional<toml::table>& document) {
  if (!document) return std::string(kLegacyProjectId);
  std::optional<std::string> configured = (*document)["tool"]["velmorin"]["project_id"].value_exact<std::string>();
  if (!configured || configured->empty()) return std::string(kLegacyProjectId);
  return std::move(*configured);
}

bool is_project_id_tail_character(char character) {
  return (character >= 'a' && character <= 'z') || (character >= '0' && character <= '9') || character == '_' ||
         character == '-';
}

}  // namespace

std::string project_id_of_file(std::string_view path) {
  return memo().find_or_insert(path, [&] { return project_id_in(read_pyproject(path)); });
}

std::string project_id_from_pyproject(std::string_view text) { return project_id_in(parse_pyproject(text)); }

support::Result<std::string> validate_project_id(std::string_view raw) {
  const bool valid = !raw.empty() && raw.size() <= kMaxProjectIdLength && raw.front() >= 'a' && raw.front() <= 'z' &&
                     std::all_of(raw.begin() + 1, raw.end(), is_project_id_tail_character);
  if (valid) return std::string(raw);
  return support::CoreError{
      "project_id " + support::quoted_literal(raw) + " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'",
      std::string(kProjectIdInvalidReason), support::ErrorKind::invalid_project_id};
}

}  // namespace worktree_runtime::settings
