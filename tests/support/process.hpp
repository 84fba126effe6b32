// Runs a program as a subprocess for a test: in a given directory, with
// extra environment settings, standard input empty and standard output and
// error collected, killed when it outlives a (generous) deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qelkit::testing {

struct ProgramRun {
  int status = -1;  // exit status; -1 when killed by a signal or timed out
  int signal = 0;   // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;  // nothing: unset

// argv[0] is the program's path. Reports a test failure on time-out.
ProgramRun run_program(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                       const EnvChanges& env = {}, std::chrono::seconds timeout = std::chrono::seconds(60));

// Stops a server started by a fixture: SIGTERM, then SIGKILL after 5 s,
// reaped; then removes its private directory. Clears both.
void stop_server(pid_t& pid, std::string& dir) noexcept;

// Children of this process, with their states ('Z' for a zombie).
std::vector<std::pair<int, char>> children();

}  // namespace qelkit::testing
