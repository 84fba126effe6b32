// `qelkit pull`: every stored account's statistics, day by day, into the
// statistics history; and the day rules that `qelkit detail` shares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelkit::cli {

extern const char* const kPullHelp;

// Runs `qelkit pull` with the arguments after "pull"; returns the exit status.
int run_pull(const std::vector<std::string>& args);

// The instants `qelkit detail` asks for: TIME alone (epoch seconds, or a date
// meaning the start of that day in `tz`), or the start of every day from
// `from` to `to` (both included; `to` empty: `from` alone). Throws
// InvalidArgumentError for a date or zone that is wrong.
std::vector<std::int64_t> detail_instants(const std::string& time, const std::string& from, const std::string& to,
                                          const std::string& tz);

}  // namespace qelkit::cli
