// `qelkit console`: a web console on 127.0.0.1 over the SDK's accounts and
// logins and the statistics history.
#pragma once

#include <string>
#include <vector>

namespace qelkit::console {

// The command's help text.
extern const char* const kHelp;

// Runs `qelkit console [--port N] [--db URL] [--open]` (args without the
// command's name) until SIGINT or SIGTERM; returns the exit status.
int run(const std::vector<std::string>& args);

}  // namespace qelkit::console
