// Runs a piece of a test on a tiny file system of its own (a full disk, for
// tests of what a failed write leaves behind).
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/forked.hpp"

namespace qelkit::testing {

// Runs `body` in a forked process with a mount namespace of its own, in which
// a tmpfs of `kib` KiB is mounted on `dir` and made the working directory.
// Returns "" or what went wrong (a namespace or mount that cannot be had
// included: the test needs them).
inline std::string on_small_tmpfs(const std::filesystem::path& dir, int kib, const std::function<std::string()>& body) {
  std::filesystem::create_directories(dir);
  return in_forked_child([&]() -> std::string {
    const std::string size = "size=" + std::to_string(kib) + "k";
    if (::unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of its own: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("cannot make the mounts private: ") + std::strerror(errno);
    }
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
      return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    if (::chdir(dir.c_str()) != 0) return "cannot enter the tmpfs";
    return body();
  });
}

}  // namespace qelkit::testing
