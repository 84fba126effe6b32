// The diagnostic log: what qelkit does, one line per event on standard error,
// for people and cron jobs. It is off unless the environment variable
// QELKIT_LOG says "info" or "debug" (read at each event; child processes
// inherit it). Every platform request logs one line at info:
//
//   qelkit 2026-04-12T08:30:00.123Z info request method=POST path=/api/x status=200 errCode=0 attempt=1 ms=42 bytes=312
//
// and so do the pauses between attempts (event "retry") and the waits while
// the platform is busy (event "busy"); debug adds the finer steps (event
// "send" as each attempt goes out, "login_status" for each status poll of a
// login). A line is: "qelkit", the UTC
// time with milliseconds, the level, the event, then key=value fields in a
// fixed order per event; a value holding a space, a quote, a backslash or
// '=' is written in double quotes with \" and \\ escaped, and control
// characters show as \xHH. Lines of several threads never interleave (each is
// one write).
//
// Never logged: session ids, cookies, login tokens (a path is logged without
// its query), request and reply bodies, and the data file's content.
//
// Thread safety: every call stands alone and may run on any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace qelkit {

enum class LogLevel { off, info, debug };

// The level QELKIT_LOG asks for: "info" or "debug"; anything else is off.
LogLevel log_level();

// Whether a line of `level` is written now.
inline bool logging(LogLevel level) { return level != LogLevel::off && log_level() >= level; }

using LogFields = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Writes one line for `event` with `fields`, when `level` is on (see above).
// Failures to write are ignored.
void log_event(LogLevel level, std::string_view event, LogFields fields);

}  // namespace qelkit
