#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::paths {

// The one normalisation every compared or stored path passes through: the
// canonical form when the path exists, the canonical parent plus the final
// name when only the last component is missing, else the input unchanged.
// Blank input gives the empty text. Never fails.
std::string normalize_path(std::string_view raw);

// The first 12 hexadecimal digits of the SHA-1 digest of the normalised path.
std::string path_fingerprint(std::string_view input);

// A path whose last component is an ordinary name, split into the path
// before it (trailing separators dropped, a root kept whole; empty for a
// single relative name) and that name.
struct FinalNameSplit {
  std::string_view parent;
  std::string_view name;
};
std::optional<FinalNameSplit> split_final_name(std::string_view path);

// Whether `name` is one ordinary path component: not empty, not "." or "..",
// without a separator or NUL. Only such a name may be joined below a
// directory and stay there.
bool is_path_component(std::string_view name);

// The directory that holds the file at `path`: "." for a bare name, "/" for
// a name directly below the root.
std::string parent_directory(std::string_view path);

// Removes a Windows extended-length prefix ("\\?\", "\\?\UNC\") that the
// text carries, keeping it where a long path still needs it.
std::string strip_extended_prefix(std::string text);

// `name` below `base` with one separator between them; an absolute `name`
// replaces the base, an empty base leaves `name` as it is, and an empty
// `name` leaves the base with a trailing separator.
std::string join_path(std::string_view base, std::string_view name);

}  // namespace worktree_runtime::paths
