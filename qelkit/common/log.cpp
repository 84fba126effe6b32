#include "qelkit/common/log.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qelkit/common/internal/fd.hpp"
#include "qelkit/common/internal/utc_time.hpp"

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
  std::string line = "qelkit " + detail::utc_now_text(true) + (level == LogLevel::debug ? " debug " : " info ");
  line += event;
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    append_value(line, value);
  }
  line += '\n';
  // One write per line, so that lines of several threads stay whole.
  detail::write_all(STDERR_FILENO, line);
}

}  // namespace qelkit
