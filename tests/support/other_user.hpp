// Runs a piece of a test as an unprivileged user, for the cases where file
// permissions matter (root would pass every permission check). The body runs
// in a forked child, as "nobody" when the test runs as root and as the
// current user otherwise; it returns "" for success or what went wrong.
#pragma once

#include <grp.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/forked.hpp"

namespace qelkit::testing {

constexpr uid_t kOtherUid = 65534;  // nobody
constexpr gid_t kOtherGid = 65534;  // nogroup

// The uid the body of as_unprivileged() runs with.
inline uid_t unprivileged_uid() { return ::geteuid() == 0 ? kOtherUid : ::geteuid(); }

inline std::string as_unprivileged(const std::function<std::string()>& body) {
  return in_forked_child([&]() -> std::string {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGid) != 0 || ::setuid(kOtherUid) != 0)) {
      return "cannot switch to the unprivileged user";
    }
    return body();
  });
}

}  // namespace qelkit::testing
