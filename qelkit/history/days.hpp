// Days of the statistics history and the instants that start them.
//
// A day is a calendar date "YYYY-MM-DD". It starts at its first instant in a
// time zone named as in the IANA time-zone database ("UTC", "Asia/Shanghai"),
// read from the system's zoneinfo files: midnight, or the first instant after
// it where a clock change skips midnight. The platform's days are UTC days.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelkit::history {

// Days since 1970-01-01 of a valid "YYYY-MM-DD" (years 1970 to 9999); no
// value for anything else, including dates that do not exist (2026-02-30).
std::optional<std::int64_t> parse_day(std::string_view text);
// "YYYY-MM-DD" of days since 1970-01-01.
std::string format_day(std::int64_t days);

// Every day from `from` to `to`, both included. Throws InvalidArgumentError
// for a day that does not parse or a `to` before `from`.
std::vector<std::string> day_range(const std::string& from, const std::string& to);

// Whether `zone` names a zone of the zoneinfo database ("UTC" always does).
bool known_zone(const std::string& zone);

// Epoch seconds at which `day` starts in `zone`. Throws InvalidArgumentError
// for a day that does not parse or an unknown zone. Switches the process's
// TZ for a moment (under a lock, then back): call it before starting threads
// that read the environment, as the pull does.
std::int64_t day_start(const std::string& day, const std::string& zone);

// The shard (1 to `count`) of an account: a stable hash (64-bit FNV-1a of
// the id's bytes) modulo `count`, plus 1. The same on every host and build.
int shard_of(std::string_view account, int count);

}  // namespace qelkit::history
