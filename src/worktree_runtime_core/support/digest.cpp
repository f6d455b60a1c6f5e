#include "support/digest.hpp"

#include <openssl/evp.h>

#include <array>
#include <new>

namespace worktree_runtime::support {
namespace {

// Fetched once and kept for the life of the process: an implicit fetch on
// every digest costs more than hashing a path.
// The built-in implementation serves when no provider offers one.
const EVP_MD* sha1_algorithm() {
  static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return fetched != nullptr ? fetched : EVP_sha1();
}

}  // namespace

std::string sha1_hex(std::string_view bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digest_length = 0;
  // With the algorithm at hand, digesting bytes in memory fails when OpenSSL
  // cannot allocate its context; an empty digest would pass for a result.
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &digest_length, sha1_algorithm(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest_length);
  for (unsigned int index = 0; index < digest_length; ++index) {
    hex.push_back(kHexDigits[digest[index] >> 4]);
    hex.push_back(kHexDigits[digest[index] & 0x0F]);
  }
  return hex;
}

}  // namespace worktree_runtime::support
