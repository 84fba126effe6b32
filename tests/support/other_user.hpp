// Runs a piece of a test as an unprivileged user, for the cases where file
// permissions matter (root would pass every permission check). The body runs
// in a forked child, as "nobody" when the test runs as root and as the
// current user otherwise; it returns "" for success or what went wrong.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace qelkit::testing {

constexpr uid_t kOtherUid = 65534;  // nobody
constexpr gid_t kOtherGid = 65534;  // nogroup

// The uid the body of as_unprivileged() runs with.
inline uid_t unprivileged_uid() { return ::geteuid() == 0 ? kOtherUid : ::geteuid(); }

inline std::string as_unprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "cannot make a pipe";
  pid_t pid = ::fork();
  if (pid < 0) return "cannot fork";
  if (pid == 0) {
    ::close(fds[0]);
    std::string result;
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)) {
      result = "cannot switch to the unprivileged user";
    } else {
      try {
        result = body();
      } catch (const std::exception& e) {
        result = std::string("exception: ") + e.what();
      }
    }
    if (result.empty()) result = "ok";
    ssize_t ignored = ::write(fds[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string result;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0) break;
    result.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (result.empty()) return "the child ended without a result (status " + std::to_string(status) + ")";
  return result == "ok" ? "" : result;
}

}  // namespace qelkit::testing
