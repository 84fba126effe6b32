// The current time as UTC text, for log lines and records (internal:
// header-only, so it adds no link edge).
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace qelkit::detail {

// "2026-03-01T08:15:30Z", or with milliseconds "2026-03-01T08:15:30.123Z".
inline std::string utc_now_text(bool with_milliseconds = false) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  if (with_milliseconds) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    n += static_cast<std::size_t>(std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms)));
  }
  std::snprintf(text + n, sizeof text - n, "Z");
  return text;
}

}  // namespace qelkit::detail
