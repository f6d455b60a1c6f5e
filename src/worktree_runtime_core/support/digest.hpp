#pragma once

#include <string>
#include <string_view>

namespace worktree_runtime::support {

// The SHA-1 digest of `bytes` as 40 lower-case hexadecimal digits; throws
// std::bad_alloc when OpenSSL cannot allocate.
std::string sha1_hex(std::string_view bytes);

}  // namespace worktree_runtime::support
