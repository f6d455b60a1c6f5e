#pragma once

#include <string>
#include <string_view>

namespace worktree_runtime::support {

// Removes, at both ends, the characters with the Unicode White_Space property.
// Bytes that are not valid UTF-8 are never white space.
std::string_view trim_white_space(std::string_view text);

bool is_blank(std::string_view text);

// Returns `bytes` as valid UTF-8: each maximal ill-formed subsequence becomes
// U+FFFD, the way CPython's "replace" error handler decodes.
std::string to_valid_utf8(std::string_view bytes);

}  // namespace worktree_runtime::support
