// Runs a piece of a test in a forked child, for what must not touch the test
// process itself (its user, its mounts).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>

namespace qelkit::testing {

// Runs `body` in a forked child and returns what it returned: "" for
// success or what went wrong (an exception it throws, in words).
inline std::string in_forked_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "cannot make a pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "cannot fork";
  if (pid == 0) {
    ::close(fds[0]);
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("exception: ") + e.what();
    }
    if (result.empty()) result = "ok";
    ssize_t ignored = ::write(fds[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string result;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) result.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (result.empty()) return "the child ended without a result (status " + std::to_string(status) + ")";
  return result == "ok" ? "" : result;
}

}  // namespace qelkit::testing
