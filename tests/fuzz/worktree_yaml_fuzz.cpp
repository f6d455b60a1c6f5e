// config/worktree.yaml. Whatever the text, reading it ends, and a base that an
// override selects is a text that can name a path. The environment is a fixed
// snapshot and nothing is joined or canonicalised: no file is touched.
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "settings/worktree_config_loader.hpp"
#include "support/text.hpp"

using namespace worktree_runtime;

namespace {

const support::EnvSnapshot kEnvironment{{"CI", "1"}, {"GITHUB_ACTIONS", "true"}, {"RUNNER", "x"}, {"EMPTY", ""}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<settings::WorktreeConfig> config = settings::parse_worktree_config(text);
  if (!config) return 0;
  if (const std::optional<std::string_view> base =
          settings::select_config_base(*config, platform::Environment::of(kEnvironment))) {
    FUZZ_REQUIRE(!base->empty());
    FUZZ_REQUIRE(base->find('\0') == std::string_view::npos);
    FUZZ_REQUIRE(support::is_valid_utf8(*base));
  }
  return 0;
}
