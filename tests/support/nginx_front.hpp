// An HTTP/2 front for the substitute platform, for tests.
//
// The substitute platform speaks HTTP/1.1 only. NginxFront runs Debian's
// nginx as the current user, in a private directory (configuration, pid, logs
// and temporary files), with HTTP/2 over TLS on a free loopback port; it
// serves the platform's certificate and proxies every request to the
// platform. The listening socket is bound here and handed to nginx, so the
// port is known before nginx starts and no other program can take it.
//
// What the front adds on the way to the platform, as request headers that the
// fixture reads back out of the platform's request log:
//   X-Front-Headers   the request's header lines as nginx received them, in
//                     order: a JSON list of [name, value] pairs
//   X-Front-Protocol  the client's protocol ("HTTP/2.0")
//   X-Front-Alpn      the protocol agreed by ALPN ("h2")
// The platform is asked for uncompressed replies and nginx compresses them
// (br, else gzip), unless the platform encoded a reply itself (a scripted
// "content_encoding"), which passes through as it is. Request paths under "/__front/gzip/" and "/__front/br/" reach
// the platform without that prefix, compressed with that coding only.
#pragma once

#include <sys/types.h>

#include <string>

namespace qelkit::testing {

class NginxFront {
 public:
  // Starts nginx in front of `upstream` ("https://127.0.0.1:PORT"), serving
  // the certificate and key in the two PEM files, and waits (at most 20 s)
  // until it runs. Throws std::runtime_error, with nginx's error log, when
  // nginx is missing, refuses the configuration or dies first.
  NginxFront(const std::string& upstream, const std::string& cert_file, const std::string& key_file);
  // Stops nginx (SIGTERM, SIGKILL after 5 s), reaps it, removes its directory.
  ~NginxFront();
  NginxFront(const NginxFront&) = delete;
  NginxFront& operator=(const NginxFront&) = delete;

  const std::string& origin() const { return origin_; }  // "https://127.0.0.1:PORT"
  pid_t pid() const { return pid_; }
  // nginx's error log so far.
  std::string error_log() const;

 private:
  void stop() noexcept;

  std::string dir_;
  std::string origin_;
  pid_t pid_ = -1;
};

// True when the environment variable QELKIT_TEST_FRONT is "h2": the test
// fixtures then put an NginxFront before every substitute platform.
bool http2_front_requested();

}  // namespace qelkit::testing
