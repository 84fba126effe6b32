// The two seams under the platform client: the HTTP transport and the clock.
//
// Both are process-wide, with a real default (libcurl; the system clock), and
// can be replaced for the length of a scope with ScopedTransport and
// ScopedClock, so that code which makes its own SpiderDriver objects (the
// facade, the page workers, the fan-out) is testable without real waiting.
// Overrides nest; the innermost one wins. Installing and removing an override
// is thread-safe, but an override must outlive every call that may use it.
// Implementations must be safe to call from several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qelkit/common/json.hpp"

namespace qelkit {

// Header lines in order; names keep the case they were given.
using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;             // "GET" or "POST"
  std::string url;                // absolute https URL
  Headers headers;                // sent on top of the impersonation profile's headers
  std::optional<Json> json;       // request body, sent as JSON text when present
  std::string impersonate;        // browser profile name, "" for none
};

struct HttpResponse {
  long status = 0;                // HTTP status code
  std::string body;               // decoded body bytes
  Headers headers;                // every response header line, in order (last response after redirects)
  std::string http_version;       // protocol of the final response: "1.0", "1.1", "2" or "3" ("" if unknown)
};

// Performs one HTTP exchange. Throws TransportError for every failure below
// HTTP (connection, DNS, TLS, time-out); an HTTP error status is a response,
// not a failure. An unknown impersonation profile throws InvalidArgumentError.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual HttpResponse perform(const HttpRequest& request) = 0;
};

// Wall-clock time and sleeping. Every pause qelkit makes goes through here.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() = 0;                 // seconds since the epoch, with fractions
  virtual void sleep(double seconds) = 0;   // blocks the calling thread
};

// The transport and clock in force right now.
Transport& current_transport();
Clock& current_clock();

// The real defaults.
//
// curl_transport(): libcurl, one easy handle per request and nothing kept
// between requests (no connection reuse, no cookies). Redirects are followed
// to https only (at most 10; one to another scheme, such as plain http, is a
// TransportError naming it), the body is decoded as the server encoded it
// (gzip, deflate, br, zstd) and may be at most 64 MiB once decoded (a larger
// one stops the transfer and is a TransportError), and the headers returned
// are those of the final response. Each
// request may take at most 30 s in all; the environment variable
// QELKIT_HTTP_TIMEOUT_MS (milliseconds) may shorten that limit, never lengthen
// it. Certificates are always verified, against the system's trusted
// certificates plus the PEM certificates in the file named by QELKIT_CA_FILE
// when it is set. The system's are libcurl's CA directory (hashed by subject
// name, read as a chain needs them) when it has one, else its CA bundle.
// A non-empty `impersonate` names a browser profile ("chrome142"): with an
// impersonating libcurl the profile is applied by libcurl itself; with stock
// libcurl the nearest equivalent is used (the browser's TLS parameters, ALPN
// h2 with HTTP/2, and its default headers in its order). The request's headers
// are sent on top of the profile's: a header of the same name (compared
// case-insensitively) takes the profile header's place, the others follow.
// Headers holding CR, LF or NUL, a method other than GET or POST and an
// unknown profile are refused with InvalidArgumentError before anything is
// sent; every libcurl failure is a TransportError carrying libcurl's wording
// and the URL.
Transport& curl_transport();
Clock& system_clock();

// Installs `t` as the process-wide transport until destroyed.
class ScopedTransport {
 public:
  explicit ScopedTransport(Transport& t);
  ~ScopedTransport();
  ScopedTransport(const ScopedTransport&) = delete;
  ScopedTransport& operator=(const ScopedTransport&) = delete;

 private:
  Transport* previous_;
};

// Installs `c` as the process-wide clock until destroyed.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& c);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

// What the real transport is built on, for diagnostics such as
// `qelkit --version`. Never throws for lack of a platform or network.
struct TransportInfo {
  std::string libcurl;         // libcurl's version, e.g. "7.88.1"
  std::string tls;             // the TLS library libcurl uses, e.g. "OpenSSL/3.0.19"
  std::string http2;           // the HTTP/2 library, e.g. "nghttp2/1.52.0"; "" without HTTP/2
  bool impersonating = false;  // built against a libcurl that impersonates browsers itself
  std::string impersonation;   // that mode in words: what is applied and what is missing
  std::string ca_file;         // QELKIT_CA_FILE when set and non-empty, else ""
  std::string ca_path;         // libcurl's default CA directory when it exists: the system's certificates
  std::string ca_bundle;       // else libcurl's default CA bundle ("" when none is built in)
};
TransportInfo transport_info();

// The platform's HTTPS origin, e.g. "https://127.0.0.1:8443", without a
// trailing slash: the environment variable QELKIT_PLATFORM_ORIGIN when set and
// non-empty, else the origin compiled in. Read at every call.
std::string platform_origin();

// `url` as messages show it: every query parameter's value is replaced by
// "<hidden>" (the login-status query carries the login token, which would let
// whoever reads a message take the login over). Pure; any thread.
std::string url_for_messages(std::string_view url);

}  // namespace qelkit
