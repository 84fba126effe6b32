// The platform's codes, by name.
//
// Two numbering schemes meet here. The platform's replies carry an "errCode"
// (0 for success, six-digit codes for its failures); SpiderDriver turns the
// ones callers act on into the small "code" of its status records, which is
// what the facade and stored files have always shown.
#pragma once

#include <cstdint>

namespace qelkit {

// errCode: the session id is no longer accepted (expired or ended).
inline constexpr std::int64_t kErrSessionInvalid = 300334;
// errCodes: the platform is busy and asks for the request again.
inline constexpr std::int64_t kErrBusy[] = {300200, 300201, 300202, 300203};

// Status record code: the login is no longer accepted (kErrSessionInvalid).
inline constexpr std::int64_t kCodeLoginExpired = 300;
// Status record code of a statistics page that stayed busy through every
// re-request. The platform may also send errCode 303 itself: the record is
// the same, and the re-request loop tells which (SpiderDriver::owin).
inline constexpr std::int64_t kCodeStillBusy = 303;
// Status record code: the platform refused to issue a login token.
inline constexpr std::int64_t kCodeTokenRefused = 100;

}  // namespace qelkit
