// File descriptors and the system's wording of errno, for the libraries'
// system calls (internal: header-only, so it adds no link edge).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "qelkit/common/errors.hpp"

namespace qelkit::detail {

// The system's wording of errno value `err` ("No such file or directory").
inline std::string errno_text(int err) { return std::generic_category().message(err); }

// "<what>: <errno text>", the shape of every system failure's message.
inline std::string system_message(const std::string& what, int err) { return what + ": " + errno_text(err); }

[[noreturn]] inline void throw_system(const std::string& what, int err) {
  throw SystemError(system_message(what, err));
}

// Writes all of `text` to `fd`, going on after an interrupted or short
// write; false (errno says why) when a write fails.
inline bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Owns one file descriptor (-1: none) and closes it when dropped or reset.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A pipe whose two ends are close-on-exec; throws SystemError naming `what`.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
inline Pipe make_pipe(const std::string& what) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) throw_system(what, errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace qelkit::detail
