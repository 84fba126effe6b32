// Browser impersonation profiles for stock libcurl (internal to fetchcore).
//
// When no impersonating libcurl is available, the curl transport makes a
// request look as much like the named browser as stock libcurl + OpenSSL
// allow: TLS versions, cipher order, groups, signature algorithms and
// extensions, ALPN h2 with HTTP/2, and the browser's default request
// headers in the browser's order. One table entry per profile name.
#pragma once

#include <span>
#include <string_view>
#include <utility>

#include "qelkit/common/transport.hpp"

namespace qelkit::detail {

struct BrowserProfile {
  std::string_view name;
  const char* tls13_ciphers;         // OpenSSL TLS 1.3 suite names, in order
  const char* tls12_ciphers;         // OpenSSL cipher list, in order
  const char* groups;                // key-exchange groups, in order
  const char* sigalgs;               // signature algorithms, in order
  std::span<const std::pair<std::string_view, std::string_view>> headers;  // default headers, in order
};

// The profile of that name, or nullptr when there is none.
const BrowserProfile* find_browser_profile(std::string_view name);

// `base` with `top` applied: a header of `top` whose name matches one of
// `base` (case-insensitively) replaces it in its place; the others follow in
// their order. Later duplicates within `top` replace earlier ones the same way.
Headers merge_headers(const Headers& base, const Headers& top);

}  // namespace qelkit::detail
