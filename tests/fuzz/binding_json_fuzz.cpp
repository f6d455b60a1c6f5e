// A binding's JSON form, as PyWorktreeBinding.from_dict hands it over. A
// binding read back from its own JSON form is the same binding.
#include <cstdint>
#include <string_view>

#include "bindings/binding.hpp"
#include "fuzz_check.hpp"

using namespace worktree_runtime::bindings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const worktree_runtime::support::Result<WorktreeBinding> binding = binding_from_json_text(text);
  if (!binding.ok()) return 0;
  const worktree_runtime::support::Result<WorktreeBinding> again = binding_from_json(binding_to_json(binding.value()));
  FUZZ_REQUIRE(again.ok());
  FUZZ_REQUIRE(again.value().session_id == binding.value().session_id);
  FUZZ_REQUIRE(again.value().branch == binding.value().branch);
  FUZZ_REQUIRE(again.value().commit_ish == binding.value().commit_ish);
  return 0;
}
