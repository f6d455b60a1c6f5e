// The timestamp texts of audit records and of the reader's time bounds.
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "support/time.hpp"

using namespace worktree_runtime::support;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)parse_naive_utc(text);
  (void)parse_instant_bound(text);
  if (const std::optional<Instant> instant = parse_rfc3339(text)) {
    // What the writer makes of an instant reads back as that instant.
    const std::string formatted = format_timestamp(*instant);
    if (const std::optional<Instant> again = parse_rfc3339(formatted)) FUZZ_REQUIRE(*again == *instant);
    (void)format_year_month(*instant);
  }
  return 0;
}
