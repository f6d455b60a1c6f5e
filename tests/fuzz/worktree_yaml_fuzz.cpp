// config/worktree.yaml. Whatever the text, reading it ends, and a base that an
// override selects is a text that can name a path. The environment is a fixed
// snapshot and nothing is joined or canonicalised: no file is touched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "infrastructure/worktree_config_loader.hpp"
#include "support/text.hpp"

using namespace worktree_runtime;

namespace {

// A property every input must keep; its failure is a finding, like a crash.
void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "%s does not hold\n", property);
  std::abort();
}

const domain::EnvSnapshot kEnvironment{{"CI", "1"}, {"GITHUB_ACTIONS", "true"}, {"RUNNER", "x"}, {"EMPTY", ""}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<infrastructure::WorktreeConfig> config = infrastructure::parse_worktree_config(text);
  if (!config) return 0;
  if (const std::optional<std::string_view> base = infrastructure::select_config_base(*config, kEnvironment)) {
    require(!base->empty(), "a selected base is not empty");
    require(base->find('\0') == std::string_view::npos, "a selected base holds no NUL");
    require(support::is_valid_utf8(*base), "a selected base is UTF-8");
  }
  return 0;
}
