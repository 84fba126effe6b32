// The console's web server: routes, the access checks in front of them, and
// the work behind them (account checks, logins, pulls) on threads of its own.
#pragma once

#include <memory>
#include <string>

namespace qelkit::console {

struct Options {
  int port = 0;                      // 0: a free one
  std::string db = "qelkit.sqlite";  // the statistics history
};

class Server {
 public:
  // Opens the history (creating its schema) and draws the access token.
  // Throws qelkit::Error when the history cannot be opened.
  explicit Server(Options options);
  ~Server();  // stops, cancels running logins and waits for the work threads
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1; returns the port. Throws std::runtime_error when
  // the port cannot be had.
  int bind();
  // The URL to open: http://127.0.0.1:PORT/?token=TOKEN.
  std::string url() const;
  // Serves until stop(); returns false when serving failed.
  bool serve();
  // Safe from any thread (and before serve()).
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qelkit::console
