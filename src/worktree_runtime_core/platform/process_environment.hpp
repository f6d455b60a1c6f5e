#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/env_snapshot.hpp"
#include "support/time.hpp"

namespace worktree_runtime::platform {

// The value of a variable of the live process environment; absent when it is
// unset or its value is not UTF-8 text.
std::optional<std::string> environment_variable(const char* name);

// A copy of the live process environment; entries that are not UTF-8 are left out.
support::EnvSnapshot environment_snapshot();

// The process's current directory, or nothing when it cannot be determined
// (it was removed, say). Bytes that are not UTF-8 come back as U+FFFD.
std::optional<std::string> current_directory();

std::int64_t process_id();

// The UTC wall clock, to the nanosecond.
support::Instant utc_now();

// Writes `line` to the process's standard error in one call; a failure is
// ignored (a closed stream must not disturb the caller).
void write_standard_error(std::string_view line);

// The system's description of an error number: its text, then " (os error N)".
std::string describe_error(int error_number);

}  // namespace worktree_runtime::platform
