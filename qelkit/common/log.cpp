#include "qelkit/common/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace qelkit {
namespace {

void append_value(std::string& line, std::string_view value) {
  bool quote = value.empty();
  for (char c : value) {
    if (c == ' ' || c == '"' || c == '\\' || c == '=') quote = true;
  }
  if (quote) line += '"';
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      line += hex;
    } else {
      if (quote && (c == '"' || c == '\\')) line += '\\';
      line += c;
    }
  }
  if (quote) line += '"';
}

std::string utc_now_ms() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
  return text;
}

}  // namespace

LogLevel log_level() {
  const char* value = std::getenv("QELKIT_LOG");
  if (value == nullptr) return LogLevel::off;
  const std::string_view v(value);
  if (v == "debug") return LogLevel::debug;
  if (v == "info") return LogLevel::info;
  return LogLevel::off;
}

void log_event(LogLevel level, std::string_view event, LogFields fields) {
  if (!logging(level)) return;
  std::string line = "qelkit " + utc_now_ms() + (level == LogLevel::debug ? " debug " : " info ");
  line += event;
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    append_value(line, value);
  }
  line += '\n';
  // One write per line, so that lines of several threads stay whole.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace qelkit
