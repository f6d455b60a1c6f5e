#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::support {

// A UTC instant to the nanosecond.
struct Instant {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
  std::int32_t nanoseconds = 0;
  auto operator<=>(const Instant&) const = default;
};

// "YYYY-MM-DDTHH:MM:SS" then ".fff", ".ffffff" or ".fffffffff" (the shortest
// of these that is exact; none for a whole second) and "Z".
std::string format_timestamp(Instant instant);

// "YYYY-MM" of the instant.
std::string format_year_month(Instant instant);

// An RFC 3339 date-time: date, "T", "t" or " ", time with an optional
// fraction, and a mandatory offset ("Z", "z" or +hh:mm / -hh:mm).
std::optional<Instant> parse_rfc3339(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction and no offset, taken as UTC.
std::optional<Instant> parse_naive_utc(std::string_view text);

// The text of an `isoformat()` call as a bound: a final "Z" read as "+00:00",
// an RFC 3339 date-time, else a naive date-time taken as UTC.
std::optional<Instant> parse_instant_bound(std::string_view text);

}  // namespace worktree_runtime::support
