// The substitute platform as a test fixture.
//
// PlatformSim starts the platform-sim program as a child process on a free
// loopback port with a fresh certificate, waits until it accepts connections,
// and stops it again. PlatformSimEnvironment wraps one PlatformSim as a
// GoogleTest global environment and points the platform client at it through
// QELKIT_PLATFORM_ORIGIN and QELKIT_CA_FILE, so any test program can run its
// cases against real HTTPS:
//
//   const auto* const kSim = qelkit::testing::PlatformSimEnvironment::install();
//   ...
//   auto& sim = qelkit::testing::PlatformSimEnvironment::sim();
//   sim.reset();
//
// The control helpers talk to the server's control interface (paths under
// "/__control/") through the real libcurl transport without impersonation, so
// they use the QELKIT_CA_FILE in force: a test that unsets it (ScopedEnv) must
// let it come back before the next control call. Helpers throw
// std::runtime_error when the server refuses a control call. Use from one
// thread at a time.
//
// With Options::http2_front (on by default when QELKIT_TEST_FRONT=h2), the
// server is reached through an NginxFront speaking HTTP/2: origin() is the
// front's, control calls and the tests' own requests go through it, and each
// request-log entry describes the request as the front received it from the
// client (see requests()). The ClientHellos logged are then the front's own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/json.hpp"
#include "tests/support/nginx_front.hpp"

namespace qelkit::testing {

// Sets (or, with no value, unsets) an environment variable for the life of
// the object and restores the earlier state afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

class PlatformSim {
 public:
  struct Options {
    std::uint64_t seed = 1;
    int accounts = 4;
    std::optional<double> auto_confirm_after;  // seconds; none: tokens wait for a confirm
    int latency_ms = 0;
    std::vector<std::string> extra_args;       // further command-line options
    bool http2_front = http2_front_requested();  // reach the server through nginx over HTTP/2
  };

  static constexpr std::string_view kControlPrefix = "/__control/";

  // Starts the server and waits (at most 20 s) until it is ready. Throws
  // std::runtime_error when it cannot be started or dies first.
  explicit PlatformSim(Options options);
  PlatformSim() : PlatformSim(Options{}) {}
  // Stops the server (SIGTERM, SIGKILL after 5 s) and reaps it.
  ~PlatformSim();
  PlatformSim(const PlatformSim&) = delete;
  PlatformSim& operator=(const PlatformSim&) = delete;

  const std::string& origin() const { return origin_; }    // "https://127.0.0.1:PORT", the front's if any
  const std::string& direct_origin() const { return direct_origin_; }  // the server's own, never the front's
  bool behind_front() const { return front_ != nullptr; }
  const std::string& ca_file() const { return ca_file_; }  // the server's certificate (PEM)
  const std::string& key_file() const { return key_file_; }  // its private key (PEM), with http2_front only
  pid_t pid() const { return pid_; }

  // Sets QELKIT_PLATFORM_ORIGIN and QELKIT_CA_FILE for this process.
  void export_environment() const;

  // One control call: POSTs `args` to /__control/<op> and returns the JSON
  // answer.
  Json control(std::string_view op, const Json& args = Json::object()) const;

  // Forgets tokens, sessions, scripts, latencies, row counts and both logs.
  void reset() const;
  // Queues scripted answers for requests to `path` (query ignored), served in
  // order before the platform's own. `replies` is one reply object or a list;
  // members: "status" (HTTP), "body" (raw text, sent instead of an envelope),
  // "errCode" and "data" (the envelope), "set_cookie" (list of Set-Cookie
  // values), "headers" (object), "content_type", "delay_ms", "count"
  // (repeats), "real" (answer as the platform would, then apply "status",
  // "set_cookie" and "delay_ms"), "cut_after" (announce the whole body, send
  // only this many bytes, then close the connection), "body_repeat" (send
  // the raw "body" this many times over, generated as it goes out; with
  // "content_encoding" "gzip", a small reply that decodes to a huge one,
  // between "body_head" and "body_tail" when given).
  void script(std::string_view path, const Json& replies) const;
  // Delays every answer (or those to `path`) by `ms` milliseconds.
  void set_latency(int ms, std::optional<std::string> path = std::nullopt) const;

  // The request log, oldest first, optionally only for `path`. Each entry:
  // "seq", "connection", "method", "path", "query", "target", "alpn",
  // "headers" ([name, value] pairs in the order received), "body". For
  // requests that came through the front, "headers" are the lines as the front received them, "alpn"
  // is the client's ALPN at the front, "protocol" the client's protocol
  // ("HTTP/2.0"), and "upstream_headers" what the server itself received.
  std::vector<Json> requests(std::optional<std::string> path = std::nullopt) const;
  // Every ClientHello seen, oldest first: "connection", "cipher_suites" and
  // "cipher_suite_ids", "extensions", "supported_groups",
  // "signature_algorithms", "alpn", "supported_versions", "key_share_groups".
  std::vector<Json> client_hellos() const;
  // The ClientHello of the connection that carried `request` (a log entry).
  Json client_hello_for(const Json& request) const;

  // Plays the phone: confirms `token` for account `account` (index) and
  // returns the login ("session_id", "uniqId", "wxuin", ...).
  Json confirm(std::string_view token, int account = 0) const;
  Json cancel(std::string_view token) const;
  void expire_session(std::string_view session_id) const;

  // The generated accounts: "account", "uniqId", "id_text", "nickname",
  // "wxuin", "finderUser", "dramas".
  Json accounts() const;
  // Issued tokens ("logins") and sessions ("sessions").
  Json logins() const;

  // Makes the statistics download hold exactly `total` rows for the account
  // (at time stamp `ts` only, when given).
  void set_download_rows(int account, std::int64_t total, std::optional<std::int64_t> ts = std::nullopt) const;
  // Makes the statistics list hold exactly `total` entries for the account.
  void set_list_total(int account, std::int64_t total) const;
  // What the download serves for the account at `ts`: "total", "rows" (as
  // sent) and "normalised" (as the page worker should turn them).
  Json expected_rows(int account, std::int64_t ts) const;
  // Every entry of the account's statistics list for the span: "total", "list".
  Json expected_list(int account, std::int64_t start, std::int64_t end) const;

 private:
  void stop() noexcept;

  std::string dir_;
  std::string ca_file_;
  std::string key_file_;
  std::string ready_file_;
  std::string origin_;
  std::string direct_origin_;
  std::unique_ptr<NginxFront> front_;
  pid_t pid_ = -1;
};

// The value of header `name` (case-insensitive) in a request-log entry.
std::optional<std::string> header_of(const Json& request, std::string_view name);
// The header names of a request-log entry, in the order received.
std::vector<std::string> header_names(const Json& request);

// One PlatformSim for a whole test program, started before the first test.
class PlatformSimEnvironment : public ::testing::Environment {
 public:
  explicit PlatformSimEnvironment(PlatformSim::Options options = {});
  ~PlatformSimEnvironment() override;

  // Starts the server and exports QELKIT_PLATFORM_ORIGIN and QELKIT_CA_FILE.
  void SetUp() override;
  // Stops the server and restores both variables.
  void TearDown() override;

  // The running server; throws std::logic_error when there is none.
  static PlatformSim& sim();

  // Registers a new environment with GoogleTest (which owns it). Call before
  // RUN_ALL_TESTS, e.g. from a namespace-scope initialiser.
  static PlatformSimEnvironment* install(PlatformSim::Options options = {});

 private:
  PlatformSim::Options options_;
  std::optional<PlatformSim> sim_;
  std::optional<ScopedEnv> origin_env_;
  std::optional<ScopedEnv> ca_env_;
};

}  // namespace qelkit::testing
