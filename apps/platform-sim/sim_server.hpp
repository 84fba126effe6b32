// The HTTPS front of the substitute platform: an HTTP/1.1 server on
// 127.0.0.1 over OpenSSL that hands every request to a Platform.
//
// TLS is terminated here rather than by the HTTP library, so that each request
// can be logged with its header lines in the order they arrived (the library
// keeps headers sorted by name) and tied to its connection's ClientHello.
#pragma once

#include <memory>

#include "sim_platform.hpp"
#include "sim_tls.hpp"

namespace platform_sim {

class HttpsServer {
 public:
  // `platform` and `identity` must outlive the server.
  HttpsServer(Platform& platform, const TlsIdentity& identity, int threads);
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Binds 127.0.0.1:`port` (0: a free port) and starts listening; returns the
  // port. Connections made from now on are queued until run() accepts them.
  // Throws std::runtime_error when the port cannot be bound.
  int bind(int port);

  // Serves until stop(); returns false when serving failed.
  bool run();

  // Stops run() from any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform_sim
