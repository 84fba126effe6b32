#include "qelkit/history/days.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>

#include "qelkit/common/errors.hpp"

namespace qelkit::history {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the civil
// calendar algorithms of H. Hinnant's date library notes, public domain).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::string zoneinfo_dir() {
  const char* dir = std::getenv("TZDIR");
  return dir && *dir ? dir : "/usr/share/zoneinfo";
}

// TZ is process-wide: the zone is switched only under this lock, and back.
std::mutex tz_mutex;

}  // namespace

std::optional<std::int64_t> parse_day(std::string_view t) {
  auto digits = [&](std::size_t at, std::size_t n, unsigned& out) {
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      out = out * 10 + static_cast<unsigned>(t[i] - '0');
    }
    return true;
  };
  unsigned y = 0, m = 0, d = 0;
  if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !digits(0, 4, y) || !digits(5, 2, m) || !digits(8, 2, d)) {
    return std::nullopt;
  }
  if (y < 1970 || m < 1 || m > 12 || d < 1) return std::nullopt;
  const std::int64_t days = days_from_civil(y, m, d);
  if (format_day(days) != t) return std::nullopt;  // 2026-02-30 comes back as March 2nd
  return days;
}

std::string format_day(std::int64_t days) {
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  civil_from_days(days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  return buf;
}

std::vector<std::string> day_range(const std::string& from, const std::string& to) {
  const auto first = parse_day(from);
  if (!first) throw InvalidArgumentError("not a date (YYYY-MM-DD): \"" + from + "\"");
  const auto last = parse_day(to);
  if (!last) throw InvalidArgumentError("not a date (YYYY-MM-DD): \"" + to + "\"");
  if (*last < *first) throw InvalidArgumentError("the last day " + to + " is before the first day " + from);
  std::vector<std::string> days;
  for (std::int64_t d = *first; d <= *last; ++d) days.push_back(format_day(d));
  return days;
}

bool known_zone(const std::string& zone) {
  if (zone == "UTC") return true;
  // A name, not a path: glibc would read any file, and takes an unknown
  // name silently as UTC.
  if (zone.empty() || zone.front() == '/' || zone.find("..") != std::string::npos ||
      zone.find_first_of(" :,<>") != std::string::npos) {
    return false;
  }
  std::ifstream in(zoneinfo_dir() + "/" + zone, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::string_view(magic, 4) == "TZif";
}

std::int64_t day_start(const std::string& day, const std::string& zone) {
  const auto days = parse_day(day);
  if (!days) throw InvalidArgumentError("not a date (YYYY-MM-DD): \"" + day + "\"");
  if (zone == "UTC") return *days * 86400;
  if (!known_zone(zone)) {
    throw InvalidArgumentError("unknown time zone \"" + zone + "\" (an IANA name such as UTC or Asia/Shanghai, from " +
                               zoneinfo_dir() + ")");
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  civil_from_days(*days, y, m, d);
  std::tm tm{};
  tm.tm_year = static_cast<int>(y - 1900);
  tm.tm_mon = static_cast<int>(m) - 1;
  tm.tm_mday = static_cast<int>(d);
  tm.tm_isdst = -1;

  std::lock_guard<std::mutex> lock(tz_mutex);
  const char* previous = std::getenv("TZ");
  const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
  std::time_t start = std::mktime(&tm);
  // Where a clock change skips midnight, mktime may land before the day
  // (normalising 00:00 back across the gap): the day starts after the gap.
  if (tm.tm_mday != static_cast<int>(d)) {
    std::tm next{};
    localtime_r(&start, &next);
    while (next.tm_mday != static_cast<int>(d)) {
      start += 60;
      localtime_r(&start, &next);
    }
  }
  if (saved) {
    ::setenv("TZ", saved->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
  return static_cast<std::int64_t>(start);
}

int shard_of(std::string_view account, int count) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : account) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return static_cast<int>(h % static_cast<std::uint64_t>(count < 1 ? 1 : count)) + 1;
}

}  // namespace qelkit::history
