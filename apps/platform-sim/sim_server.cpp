// The only translation unit that includes the HTTP library.
#include "sim_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace platform_sim {
namespace {

// What the server knows about one TLS connection while it serves it.
struct Connection {
  std::uint64_t id = 0;
  std::string alpn;
  // The bytes of the current request's head, captured as the HTTP library
  // reads them (it reads the request line and headers one byte at a time, so
  // the capture ends exactly at the blank line).
  std::string capture;
  bool recording = false;
  HeaderList headers;
  bool headers_ok = false;

  void take_headers() {
    recording = false;
    headers.clear();
    headers_ok = false;
    std::size_t pos = capture.find('\n');  // past the request line
    while (pos != std::string::npos && pos + 1 <= capture.size()) {
      std::size_t start = pos + 1;
      std::size_t end = capture.find('\n', start);
      if (end == std::string::npos) break;
      std::string line = capture.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) {
        headers_ok = true;
        break;
      }
      std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        std::size_t b = value.find_first_not_of(" \t");
        std::size_t e = value.find_last_not_of(" \t");
        headers.emplace_back(line.substr(0, colon), b == std::string::npos ? "" : value.substr(b, e - b + 1));
      }
      pos = end;
    }
    capture.clear();
  }
};

thread_local Connection* tl_connection = nullptr;

bool wait_for(int sock, short events, int timeout_ms) {
  pollfd p{sock, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

void socket_address(int sock, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  int r = peer ? ::getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len)
               : ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
  if (r != 0) return;
  char buf[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    port = ntohs(a->sin6_port);
  }
  ip = buf;
}

class TlsStream final : public httplib::Stream {
 public:
  TlsStream(int sock, SSL* ssl, Connection& conn, int read_ms, int write_ms)
      : sock_(sock), ssl_(ssl), conn_(conn), read_ms_(read_ms), write_ms_(write_ms) {}

  bool is_readable() const override { return SSL_pending(ssl_) > 0 || wait_for(sock_, POLLIN, read_ms_); }
  bool is_writable() const override { return wait_for(sock_, POLLOUT, write_ms_); }

  ssize_t read(char* ptr, size_t size) override {
    for (int tries = 0; tries < 8; ++tries) {
      if (!is_readable()) return -1;
      int n = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (n > 0) {
        if (conn_.recording) conn_.capture.append(ptr, static_cast<std::size_t>(n));
        return n;
      }
      int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_ZERO_RETURN) return 0;
      if (err != SSL_ERROR_WANT_READ) return -1;
    }
    return -1;
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    return n > 0 ? n : -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { socket_address(sock_, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { socket_address(sock_, false, ip, port); }
  socket_t socket() const override { return sock_; }

 private:
  int sock_;
  SSL* ssl_;
  Connection& conn_;
  int read_ms_;
  int write_ms_;
};

// httplib's server with our own TLS termination in place of its SSLServer's.
class TlsHttpServer final : public httplib::Server {
 public:
  explicit TlsHttpServer(SSL_CTX* ctx) : ctx_(ctx) {}

  // stop(), and let kept-alive connections end at once (the library reports
  // running until every connection thread has finished).
  void halt() {
    halted_ = true;
    stop();
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    Connection conn;
    conn.id = ++next_connection_;
    timeval tv{10, 0};  // bounds a stalled handshake
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // Headers and body go out as separate TLS records; without this the
    // second waits for the client's delayed ACK.
    int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = false;
    if (SSL* ssl = SSL_new(ctx_)) {
      SSL_set_fd(ssl, sock);
      SSL_set_app_data(ssl, &conn);
      if (SSL_accept(ssl) == 1) {
        const unsigned char* proto = nullptr;
        unsigned proto_len = 0;
        SSL_get0_alpn_selected(ssl, &proto, &proto_len);
        conn.alpn.assign(reinterpret_cast<const char*>(proto), proto_len);
        int read_ms = static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000);
        int write_ms = static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000);
        TlsStream strm(sock, ssl, conn, read_ms, write_ms);
        auto setup = [&](httplib::Request& req) {
          req.ssl = ssl;
          conn.take_headers();
          // A request without Content-Length or Transfer-Encoding has no body
          // (RFC 9112, 6.3); the library would otherwise read until the
          // client closes, and a bodiless POST would hang.
          if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
            req.set_header("Content-Length", "0");
          }
        };
        for (std::size_t left = keep_alive_max_count_; left > 0 && !halted_; --left) {
          if (!next_request(ssl, sock)) break;
          conn.capture.clear();
          conn.recording = true;
          conn.headers_ok = false;
          bool closed = false;
          bool last = left == 1;
          tl_connection = &conn;
          ok = process_request(strm, last, closed, setup);
          tl_connection = nullptr;
          if (!ok || closed || last) break;
        }
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }

  // Waits for the next request on a kept-alive connection, in short slices
  // so that stop() is not held up by idle connections.
  bool next_request(SSL* ssl, int sock) const {
    if (SSL_pending(ssl) > 0) return true;
    for (long waited = 0; waited < keep_alive_timeout_sec_ * 1000 && !halted_; waited += 100) {
      if (wait_for(sock, POLLIN, 100)) return true;
    }
    return false;
  }

  SSL_CTX* ctx_;
  std::atomic<std::uint64_t> next_connection_{0};
  std::atomic<bool> halted_{false};
};

}  // namespace

struct HttpsServer::Impl {
  Platform& platform;
  ClientHelloSink sink;
  SslCtxPtr ctx;
  std::unique_ptr<TlsHttpServer> server;
  int listening = -1;  // the listening socket, once made
};

HttpsServer::HttpsServer(Platform& platform, const TlsIdentity& identity, int threads)
    : impl_(new Impl{platform, {}, nullptr, nullptr, -1}) {
  impl_->sink = [&platform](SSL* ssl, Json summary) {
    auto* conn = static_cast<Connection*>(SSL_get_app_data(ssl));
    platform.record_client_hello(conn ? conn->id : 0, std::move(summary));
  };
  impl_->ctx = make_server_context(identity, &impl_->sink);
  impl_->server = std::make_unique<TlsHttpServer>(impl_->ctx.get());
  TlsHttpServer& svr = *impl_->server;

  std::size_t pool = static_cast<std::size_t>(threads > 0 ? threads : 1);
  svr.new_task_queue = [pool] { return new httplib::ThreadPool(pool); };
  svr.set_payload_max_length(64 * 1024 * 1024);  // room for scripted replies of tens of MiB
  svr.set_keep_alive_timeout(5);
  // The HTTP library listens with a backlog of 5: clients opening a few dozen
  // one-shot connections at once (several accounts' pages, six at a time)
  // would have connection requests dropped and retried a second later, which
  // no real platform front does. The listening socket is noted as it is made;
  // bind() raises its backlog.
  svr.set_socket_options([impl = impl_.get()](socket_t sock) {
    httplib::default_socket_options(sock);
    impl->listening = sock;
  });

  auto handle = [&platform](const httplib::Request& req, httplib::Response& res) {
    Request r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    r.http_version = req.version;
    if (auto q = req.target.find('?'); q != std::string::npos) r.query = req.target.substr(q + 1);
    Connection* conn = tl_connection;
    if (conn && conn->headers_ok) {
      r.headers = conn->headers;
    } else {
      // Should not happen; fall back to the library's name-sorted headers.
      r.headers_in_received_order = false;
      for (const auto& [k, v] : req.headers) {
        if (k != "REMOTE_ADDR" && k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT") r.headers.emplace_back(k, v);
      }
    }
    r.alpn = conn ? conn->alpn : "";
    r.connection = conn ? conn->id : 0;
    r.params = req.params;
    r.body = req.body;

    Reply reply = r.path.rfind(Platform::kControlPrefix, 0) == 0 ? platform.control(r) : platform.serve(r);
    if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
    res.status = reply.status;
    for (const auto& c : reply.set_cookies) res.headers.emplace("Set-Cookie", c);
    for (const auto& [k, v] : reply.headers) res.headers.emplace(k, v);
    const bool encoded = std::any_of(reply.headers.begin(), reply.headers.end(), [](const auto& h) {
      return h.first == "Content-Encoding";
    });
    if (reply.body_repeat > 1) {
      // The body many times over, made as it goes out: a reply of any size
      // without holding it.
      const std::uint64_t size = reply.body_repeat * reply.body.size();
      const std::size_t unit = reply.body.size();
      auto run = std::make_shared<std::string>();
      while (run->size() < 65536 + unit) *run += reply.body;
      res.set_content_provider(size, reply.content_type,
                               [run, unit, size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 const std::size_t n = std::min<std::uint64_t>({length, 65536, size - offset});
                                 return sink.write(run->data() + offset % unit, n);
                               });
    } else if (encoded && !(reply.cut_after && *reply.cut_after < reply.body.size())) {
      // Already encoded: sent as it is. The library compresses bodies given
      // whole, but leaves those of a provider with a known length alone.
      auto body = std::make_shared<std::string>(std::move(reply.body));
      res.set_content_provider(body->size(), reply.content_type,
                               [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 return sink.write(body->data() + offset, std::min(length, body->size() - offset));
                               });
    } else if (reply.cut_after && *reply.cut_after < reply.body.size()) {
      // Announce the whole body, send only its start, then drop the connection.
      auto body = std::make_shared<std::string>(std::move(reply.body));
      std::size_t cut = *reply.cut_after;
      res.set_content_provider(body->size(), reply.content_type,
                               [body, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset < cut) sink.write(body->data() + offset, cut - offset);
                                 return offset < cut;  // false: the library closes the connection
                               });
    } else {
      res.set_content(reply.body, reply.content_type);
    }
  };
  for (const char* pattern : {".*"}) {
    svr.Get(pattern, handle);
    svr.Post(pattern, handle);
    svr.Put(pattern, handle);
    svr.Patch(pattern, handle);
    svr.Delete(pattern, handle);
    svr.Options(pattern, handle);
  }
  svr.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    Json j = Json::object();
    j["errCode"] = -1;
    j["errMsg"] = what;
    j["data"] = Json::object();
    res.status = 500;
    res.set_content(dump(j), "application/json; charset=utf-8");
  });
}

HttpsServer::~HttpsServer() = default;

int HttpsServer::bind(int port) {
  bool ok = port == 0 ? (port = impl_->server->bind_to_any_port("127.0.0.1")) > 0
                      : impl_->server->bind_to_port("127.0.0.1", port);
  if (!ok) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  if (::listen(impl_->listening, SOMAXCONN) != 0) {
    throw std::runtime_error("cannot raise the listen backlog on 127.0.0.1:" + std::to_string(port) + ": " +
                             std::strerror(errno));
  }
  return port;
}

bool HttpsServer::run() { return impl_->server->listen_after_bind(); }

void HttpsServer::stop() { impl_->server->halt(); }

}  // namespace platform_sim
