#include "support/time.hpp"

#include <array>
#include <charconv>

namespace worktree_runtime::support {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

bool is_leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
  constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// The decimal digits of a non-negative `value`, zero-padded to `width`.
void append_digits(std::string& out, std::int64_t value, int width) {
  std::array<char, 20> digits;
  const std::size_t count =
      static_cast<std::size_t>(std::to_chars(digits.data(), digits.end(), value).ptr - digits.data());
  if (count < static_cast<std::size_t>(width)) out.append(static_cast<std::size_t>(width) - count, '0');
  out.append(digits.data(), count);
}

// A cursor over the text being parsed.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool at_end() const { return position_ == text_.size(); }
  bool peek(char wanted) const { return position_ < text_.size() && text_[position_] == wanted; }
  bool take(char wanted) {
    if (!peek(wanted)) return false;
    ++position_;
    return true;
  }
  bool take_any_of(std::string_view wanted, char& taken) {
    if (at_end() || wanted.find(text_[position_]) == std::string_view::npos) return false;
    taken = text_[position_++];
    return true;
  }
  // Exactly `count` digits.
  std::optional<unsigned> digits(int count) {
    unsigned value = 0;
    for (int index = 0; index < count; ++index) {
      if (at_end() || text_[position_] < '0' || text_[position_] > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(text_[position_++] - '0');
    }
    return value;
  }
  // One or more digits read as a fraction of a second; digits past the ninth are dropped.
  std::optional<std::int32_t> fraction() {
    std::int32_t nanoseconds = 0;
    int count = 0;
    while (!at_end() && text_[position_] >= '0' && text_[position_] <= '9') {
      if (count < 9) nanoseconds = nanoseconds * 10 + (text_[position_] - '0');
      ++count;
      ++position_;
    }
    if (count == 0) return std::nullopt;
    for (int pad = count; pad < 9; ++pad) nanoseconds *= 10;
    return nanoseconds;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

struct LocalDateTime {
  std::int64_t seconds;  // as if the local time were UTC
  std::int32_t nanoseconds;
};

// Date, separator and time of day, with an optional fraction.
std::optional<LocalDateTime> read_date_time(Reader& reader, std::string_view separators) {
  const auto year = reader.digits(4);
  if (!year || !reader.take('-')) return std::nullopt;
  const auto month = reader.digits(2);
  if (!month || *month < 1 || *month > 12 || !reader.take('-')) return std::nullopt;
  const auto day = reader.digits(2);
  char separator;
  if (!day || *day < 1 || *day > days_in_month(*year, *month) || !reader.take_any_of(separators, separator)) {
    return std::nullopt;
  }
  const auto hour = reader.digits(2);
  if (!hour || *hour > 23 || !reader.take(':')) return std::nullopt;
  const auto minute = reader.digits(2);
  if (!minute || *minute > 59 || !reader.take(':')) return std::nullopt;
  const auto second = reader.digits(2);
  if (!second || *second > 60) return std::nullopt;  // 60: a leap second
  std::int32_t nanoseconds = 0;
  if (reader.take('.')) {
    const auto fraction = reader.fraction();
    if (!fraction) return std::nullopt;
    nanoseconds = *fraction;
  }
  const std::int64_t seconds =
      days_from_civil(*year, *month, *day) * kSecondsPerDay + *hour * 3600 + *minute * 60 + *second;
  return LocalDateTime{seconds, nanoseconds};
}

}  // namespace

std::string format_timestamp(Instant instant) {
  const std::int64_t days =
      instant.seconds >= 0 ? instant.seconds / kSecondsPerDay : (instant.seconds - kSecondsPerDay + 1) / kSecondsPerDay;
  const std::int64_t second_of_day = instant.seconds - days * kSecondsPerDay;
  const CivilDate date = civil_from_days(days);
  std::string text;
  text.reserve(31);
  append_digits(text, date.year, 4);
  text += '-';
  append_digits(text, date.month, 2);
  text += '-';
  append_digits(text, date.day, 2);
  text += 'T';
  append_digits(text, second_of_day / 3600, 2);
  text += ':';
  append_digits(text, second_of_day / 60 % 60, 2);
  text += ':';
  append_digits(text, second_of_day % 60, 2);
  if (const std::int32_t nanoseconds = instant.nanoseconds; nanoseconds != 0) {
    text += '.';
    if (nanoseconds % 1000000 == 0) {
      append_digits(text, nanoseconds / 1000000, 3);
    } else if (nanoseconds % 1000 == 0) {
      append_digits(text, nanoseconds / 1000, 6);
    } else {
      append_digits(text, nanoseconds, 9);
    }
  }
  text += 'Z';
  return text;
}

std::string format_year_month(Instant instant) { return format_timestamp(instant).substr(0, 7); }

std::optional<Instant> parse_rfc3339(std::string_view text) {
  Reader reader(text);
  const std::optional<LocalDateTime> local = read_date_time(reader, "Tt ");
  if (!local) return std::nullopt;
  std::int64_t offset_seconds = 0;
  char sign;
  if (!reader.take('Z') && !reader.take('z')) {
    if (!reader.take_any_of("+-", sign)) return std::nullopt;
    const auto hours = reader.digits(2);
    if (!hours || *hours > 23 || !reader.take(':')) return std::nullopt;
    const auto minutes = reader.digits(2);
    if (!minutes || *minutes > 59) return std::nullopt;
    offset_seconds = (sign == '-' ? -1 : 1) * static_cast<std::int64_t>(*hours * 3600 + *minutes * 60);
  }
  if (!reader.at_end()) return std::nullopt;
  return Instant{local->seconds - offset_seconds, local->nanoseconds};
}

std::optional<Instant> parse_naive_utc(std::string_view text) {
  Reader reader(text);
  const std::optional<LocalDateTime> local = read_date_time(reader, "T");
  if (!local || !reader.at_end()) return std::nullopt;
  return Instant{local->seconds, local->nanoseconds};
}

std::optional<Instant> parse_instant_bound(std::string_view text) {
  std::string offset_form(text);
  if (offset_form.ends_with('Z')) offset_form.replace(offset_form.size() - 1, 1, "+00:00");
  if (auto instant = parse_rfc3339(offset_form)) return instant;
  return parse_naive_utc(offset_form);
}

}  // namespace worktree_runtime::support
