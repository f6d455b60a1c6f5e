// git's porcelain worktree listing, as git or a stand-in prints it.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "git/worktree_list_reader.hpp"

using namespace worktree_runtime::git;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_worktree_porcelain(text);
  const auto evaluated = evaluate_worktree_list_output({text, "", 0}, "/repo");
  FUZZ_REQUIRE(parsed.ok() == evaluated.ok());
  if (parsed.ok()) {
    FUZZ_REQUIRE(parsed.value().size() == evaluated.value().size());
    for (const WorktreeListEntry& entry : parsed.value()) FUZZ_REQUIRE(!entry.bare || !entry.branch);
  }
  (void)evaluate_worktree_list_output({text, text, 128}, "/repo");
  return 0;
}
