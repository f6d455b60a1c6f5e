// A session's metadata.json, read when a lost binding is recovered.
#include <cstdint>
#include <string_view>

#include "bindings/binding_registry.hpp"
#include "fuzz_check.hpp"
#include "support/text.hpp"

using namespace worktree_runtime;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto metadata = bindings::read_session_metadata(text)) {
    FUZZ_REQUIRE(!support::is_blank(metadata->worktree_path));
    FUZZ_REQUIRE(support::is_valid_utf8(metadata->branch));
  }
  return 0;
}
