// Runs a piece of a test on a tiny file system of its own (a full disk, for
// tests of what a failed write leaves behind).
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

namespace qelkit::testing {

// Runs `body` in a forked process with a mount namespace of its own, in which
// a tmpfs of `kib` KiB is mounted on `dir` and made the working directory.
// Returns "" or what went wrong; "skip: <why>" where the namespace or the
// mount cannot be had.
inline std::string on_small_tmpfs(const std::filesystem::path& dir, int kib, const std::function<std::string()>& body) {
  std::filesystem::create_directories(dir);
  int result_pipe[2];
  if (::pipe(result_pipe) != 0) return "cannot make a pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "cannot fork";
  if (pid == 0) {
    ::close(result_pipe[0]);
    const std::string size = "size=" + std::to_string(kib) + "k";
    std::string result;
    if (::unshare(CLONE_NEWNS) != 0) {
      result = std::string("skip: no mount namespace of its own: ") + std::strerror(errno);
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      result = std::string("skip: cannot make the mounts private: ") + std::strerror(errno);
    } else if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
      result = std::string("skip: cannot mount a tmpfs: ") + std::strerror(errno);
    } else if (::chdir(dir.c_str()) != 0) {
      result = "cannot enter the tmpfs";
    } else {
      try {
        result = body();
      } catch (const std::exception& e) {
        result = std::string("exception: ") + e.what();
      }
    }
    if (result.empty()) result = "ok";
    ssize_t ignored = ::write(result_pipe[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(result_pipe[1]);
  std::string result;
  char buf[512];
  for (ssize_t n; (n = ::read(result_pipe[0], buf, sizeof buf)) > 0;) result.append(buf, static_cast<std::size_t>(n));
  ::close(result_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (result.empty()) return "the child ended without a result (status " + std::to_string(status) + ")";
  return result == "ok" ? "" : result;
}

}  // namespace qelkit::testing
