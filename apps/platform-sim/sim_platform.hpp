// The substitute platform's behaviour, apart from HTTP and TLS: login tokens
// and sessions, the endpoints' replies, the phone's confirm page, scripted
// replies and latencies, the request and ClientHello logs, and the control
// interface that tests drive it with.
//
// One Platform serves every connection thread; all its operations are
// thread-safe (one mutex). Replies carry the delay to wait before they are
// sent, so that no lock is held while a slow answer is being played.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_data.hpp"

namespace platform_sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Options {
  int port = 8443;                 // 0 picks a free port
  std::uint64_t seed = 1;
  int accounts = 4;
  std::string cert_out;            // where the certificate's PEM goes
  std::string key_out;             // where the private key's PEM goes (for a TLS front)
  std::string ready_file;          // where the origin goes once the server listens
  double auto_confirm_after = -1;  // seconds after issue; negative: never
  int auto_confirm_account = -1;   // negative: rotate through the accounts
  double token_ttl = 300;          // seconds a waiting token lives
  int latency_ms = 0;              // added to every platform answer
  int threads = 32;                // connection threads
};

// One HTTP request as the server received it.
struct Request {
  std::string method;
  std::string path;                // decoded path, no query
  std::string query;               // raw query text after '?'
  std::string target;              // raw request target
  std::string http_version;
  std::string alpn;                // protocol agreed in the TLS handshake
  HeaderList headers;              // in the order received
  bool headers_in_received_order = true;
  std::multimap<std::string, std::string> params;  // decoded query (and form) parameters
  std::string body;
  std::uint64_t connection = 0;
};

struct Reply {
  int status = 200;
  std::string content_type = "application/json; charset=utf-8";
  std::string body;
  std::vector<std::string> set_cookies;
  HeaderList headers;
  int delay_ms = 0;                // wait this long before answering
  std::optional<std::size_t> cut_after;  // announce the whole body, send this many bytes, close
  std::uint64_t body_repeat = 1;   // the body is sent this many times over, generated as it goes out
};

// JSON text that never throws on bad UTF-8 from a client.
std::string dump(const Json& value, int indent = -1);

class Platform {
 public:
  static constexpr const char* kControlPrefix = "/__control/";

  explicit Platform(Options options);

  const Options& options() const { return options_; }
  const DataSet& data() const { return data_; }

  // Platform endpoints, the confirm page and anything else outside the
  // control prefix. Every such request is logged.
  Reply serve(const Request& request);

  // The control interface (paths under kControlPrefix); not logged.
  Reply control(const Request& request);

  // Records the ClientHello of a connection.
  void record_client_hello(std::uint64_t connection, Json summary);

 private:
  enum class LoginStatus { waiting = 0, confirmed = 1, ended = 4 };
  struct Login {
    std::string token;
    std::uint64_t seq = 0;
    double issued = 0;
    LoginStatus status = LoginStatus::waiting;
    int account = -1;
    std::string session_id;
    int polls = 0;
  };
  struct Session {
    std::string id;
    int account = 0;
    bool valid = true;
    double created = 0;
    int heartbeats = 0;
    int requests = 0;
  };
  struct Scripted {
    int status = 200;
    std::optional<std::string> body;  // raw body; otherwise an envelope of err_code and data
    Json err_code = 0;
    Json data = Json::object();
    std::optional<std::vector<std::string>> set_cookies;
    HeaderList headers;
    std::optional<std::string> content_type;
    int delay_ms = 0;
    std::optional<std::size_t> cut_after;
    std::optional<std::string> content_encoding;  // "gzip", "br" or "zstd": the body is sent compressed
    std::uint64_t body_repeat = 1;    // the raw body, this many times over (huge replies, compression bombs)
    std::string body_head, body_tail;  // around the repeated body (gzip only): a bomb that is valid JSON
    bool real = false;                // answer as the platform would, then apply status/cookies/delay
    bool status_given = false;
  };

  // Endpoint behaviour; the mutex is held.
  Reply real_reply(const Request& r, double now);
  Reply login_code(double now);
  Reply login_status(const Request& r, double now);
  Reply auth_data(const Request& r);
  Reply heartbeat(const Request& r);
  Reply statistics_list(const Request& r);
  Reply statistics_download(const Request& r);
  Reply confirm_page(const Request& r, double now);

  Session* session_of(const Request& r);
  void settle(Login& login, double now);
  std::string confirm(Login& login, int account);
  int account_arg(const Json& args, std::optional<int> fallback) const;
  std::int64_t row_total(int account, std::int64_t ts) const;
  std::int64_t list_total(int account) const;
  Json login_json(const Login& login) const;
  Scripted parse_scripted(const Json& j) const;
  Reply control_op(const std::string& op, const Json& args, double now);

  const Options options_;
  const DataSet data_;
  const double started_;

  std::mutex m_;
  std::uint64_t login_seq_ = 0;
  std::map<std::string, Login> logins_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, std::deque<Scripted>> scripts_;
  std::map<std::string, int> path_latency_;
  int latency_ms_;
  std::map<std::pair<int, std::int64_t>, std::int64_t> rows_at_;   // (account, ts) -> total
  std::map<int, std::int64_t> rows_any_;                            // account -> total
  std::map<int, std::int64_t> list_totals_;
  std::uint64_t request_seq_ = 0;
  std::deque<Json> requests_;
  std::uint64_t hello_seq_ = 0;
  std::deque<Json> hellos_;
};

}  // namespace platform_sim
