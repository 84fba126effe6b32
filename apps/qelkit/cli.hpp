// The command-line host over the facade: `qelkit login | accounts | stats |
// detail`.
//
// run() is the whole program after the child-task entry: it parses the
// arguments, calls the facade, prints the result and maps every failure to one
// line on standard error and a distinct exit status (ExitCode).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qelkit::cli {

enum ExitCode : int {
  kOk = 0,
  kFailure = 1,          // anything else (a file that cannot be written, ...)
  kUsage = 2,            // the command line is wrong
  kUnknownAccount = 3,   // no stored login for the account
  kUndecryptable = 4,    // the stored login does not decrypt
  kUnreachable = 5,      // the platform cannot be reached or stayed busy (also for some detail pages)
  kRefused = 6,          // the platform refused (an expired login, an errCode), or answered unexpectedly
  kLoginTimeout = 7,     // login --wait: no login confirmed in time
  kUnreadableData = 8,   // the data file exists but cannot be read as stored logins
  kLoginEnded = 9,       // login --wait: cancelled on the phone, or the code expired
  kLoginRefused = 10,    // login --wait: the platform did not grant the account's data
  kLoginFailed = 11,     // login --wait: the login could not be completed or stored
};

// How long the login completion waits for a confirmation (its own polling
// limit); `login --wait` waits for the completion's outcome.
inline constexpr int kLoginWaitSeconds = 300;

// A time on the command line: epoch seconds (an optional "-" and decimal
// digits), or a date YYYY-MM-DD meaning midnight local time (as mktime gives
// it). No value for anything else, including dates that do not exist
// (2026-02-30).
std::optional<std::int64_t> parse_time(std::string_view text);

// Runs the command line; returns the exit status.
int run(int argc, char** argv);

}  // namespace qelkit::cli
