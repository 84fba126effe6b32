// A bind mount of one file over another for the length of a scope (the way
// containers mount single files). Needs the right to mount: ok() is false,
// with the system's reason in error(), where that is missing.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace qelkit::testing {

class ScopedBindMount {
 public:
  ScopedBindMount(const std::filesystem::path& source, const std::filesystem::path& target) : target_(target) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~ScopedBindMount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  ScopedBindMount(const ScopedBindMount&) = delete;
  ScopedBindMount& operator=(const ScopedBindMount&) = delete;

  bool ok() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::filesystem::path target_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace qelkit::testing
