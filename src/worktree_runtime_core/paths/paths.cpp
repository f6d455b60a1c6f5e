#include "paths/paths.hpp"

#include <optional>

#include "platform/filesystem.hpp"
#include "support/digest.hpp"
#include "support/text.hpp"

namespace worktree_runtime::paths {
namespace {

constexpr char kSeparator = '/';
constexpr std::size_t kFingerprintLength = 12;
constexpr std::size_t kExtendedPathLimit = 260;
constexpr std::string_view kExtendedPrefix = "\\\\?\\";
constexpr std::string_view kExtendedUncPrefix = "\\\\?\\UNC\\";

// Drops trailing separators and trailing "." components, which are not
// components of their own; a root, and a "." that is the first component, stay.
std::string_view without_trailing_non_components(std::string_view path) {
  while (path.size() > 1) {
    if (path.back() == kSeparator) {
      path.remove_suffix(1);
    } else if (path.ends_with("/.")) {
      path.remove_suffix(1);
    } else {
      break;
    }
  }
  return path;
}

std::string join_final_name(std::string parent, std::string_view name) {
  if (!parent.ends_with(kSeparator)) parent.push_back(kSeparator);
  parent.append(name);
  return parent;
}

std::string resolve_best_effort(std::string_view raw) {
  if (auto canonical = platform::canonicalize(raw)) return *std::move(canonical);
  // Only one missing level is resolved: a missing grandparent is not looked for.
  if (const auto split = split_final_name(raw); split && !split->parent.empty()) {
    if (auto canonical_parent = platform::canonicalize(split->parent)) {
      return join_final_name(*std::move(canonical_parent), split->name);
    }
  }
  return std::string(raw);
}

}  // namespace

std::optional<FinalNameSplit> split_final_name(std::string_view path) {
  path = without_trailing_non_components(path);
  const std::size_t separator = path.rfind(kSeparator);
  const std::size_t name_start = separator == std::string_view::npos ? 0 : separator + 1;
  const std::string_view name = path.substr(name_start);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  std::string_view parent = path.substr(0, name_start);
  return FinalNameSplit{without_trailing_non_components(parent), name};
}

bool is_path_component(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string parent_directory(std::string_view path) {
  const std::size_t separator = path.rfind(kSeparator);
  if (separator == std::string_view::npos) return ".";
  return std::string(separator == 0 ? path.substr(0, 1) : path.substr(0, separator));
}

std::string strip_extended_prefix(std::string text) {
  if (text.starts_with(kExtendedUncPrefix)) {
    return "\\\\" + text.substr(kExtendedUncPrefix.size());
  }
  if (text.starts_with(kExtendedPrefix) && text.size() - kExtendedPrefix.size() < kExtendedPathLimit) {
    return text.substr(kExtendedPrefix.size());
  }
  return text;
}

std::string normalize_path(std::string_view raw) {
  if (support::is_blank(raw)) return {};
  return strip_extended_prefix(resolve_best_effort(raw));
}

std::string path_fingerprint(std::string_view input) {
  return support::sha1_hex(normalize_path(input)).substr(0, kFingerprintLength);
}

std::string join_path(std::string_view base, std::string_view name) {
  if (base.empty() || name.starts_with('/')) return std::string(name);
  std::string joined(base);
  if (!joined.ends_with('/')) joined += '/';
  joined += name;
  return joined;
}

}  // namespace worktree_runtime::paths
