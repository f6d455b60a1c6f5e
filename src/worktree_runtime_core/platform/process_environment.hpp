#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/env_snapshot.hpp"
#include "support/time.hpp"

namespace worktree_runtime::platform {

// Where a rule reads its variables: a snapshot that the caller took (of
// Python's os.environ, or a dict it was given), or the live process
// environment. Each rule reads through one of these, never from both sources;
// the user's home is always the live one's.
class Environment {
 public:
  // The live process environment, read at each lookup.
  static Environment live() { return Environment(nullptr); }
  // Exactly the entries of `snapshot`, which must outlive the view.
  static Environment of(const support::EnvSnapshot& snapshot) { return Environment(&snapshot); }
  static Environment of(const support::EnvSnapshot&& snapshot) = delete;
  // The snapshot when there is one, else the live environment.
  static Environment snapshot_or_live(const std::optional<support::EnvSnapshot>& snapshot) {
    return Environment(snapshot ? &*snapshot : nullptr);
  }

  // The value of `name`; absent when it is unset. A snapshot matches names
  // exactly; a live value that is not UTF-8 counts as unset.
  std::optional<std::string> value(std::string_view name) const;
  // The value when it is set and not empty.
  std::optional<std::string> non_empty(std::string_view name) const;
  // The value trimmed of white space, when that leaves something.
  std::optional<std::string> non_blank(std::string_view name) const;

 private:
  explicit Environment(const support::EnvSnapshot* snapshot) : snapshot_(snapshot) {}

  const support::EnvSnapshot* snapshot_;
};

// The process's current directory, or nothing when it cannot be determined
// (it was removed, say). Bytes that are not UTF-8 come back as U+FFFD.
std::optional<std::string> current_directory();

std::int64_t process_id();

// The UTC wall clock, to the nanosecond.
support::Instant utc_now();

// Writes `line` to the process's standard error in one call; a failure is
// ignored (a closed stream must not disturb the caller).
void write_standard_error(std::string_view line);

}  // namespace worktree_runtime::platform
