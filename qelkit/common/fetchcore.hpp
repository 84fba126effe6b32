// SpiderDriver: the platform client, the only code in qelkit that speaks HTTP.
//
// Every exchange with the platform's creator-assistant back end goes through
// here: the shared request headers with the session cookie (set_dead), the
// retrying request routine (pty), and one operation per endpoint. Platform
// outcomes come back as status records (Json objects with an integer "code"
// and usually "data"); "no record at all" is an empty std::optional. Failures
// are exceptions: no reply after every attempt (NoReplyError), a body that is
// not JSON or lacks a key the operation reads (ProtocolError).
//
// The operations that talk to the platform send their requests to
// platform_origin() + the endpoint path, each asking for the browser
// impersonation profile "chrome142", through pty with its default rule (three
// attempts, pauses of 1 s and 2 s), except owit, which sends one request. A
// reply that never comes is a NoReplyError naming the endpoint and the last
// failure; a body that is not a JSON object, or a key the operation reads that
// is missing or of the wrong type, is a ProtocolError naming the key and the
// endpoint. Session ids and login tokens are secrets and never appear in
// messages (URLs are shown with their query values hidden).
//
// A SpiderDriver has no state: make one per call or share one between threads,
// it makes no difference. All requests go through the process-wide transport,
// and all pauses through the process-wide clock (transport.hpp), each request
// asking for the browser impersonation profile "chrome142".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/json.hpp"
#include "qelkit/common/transport.hpp"

namespace qelkit {

// A reply accepted by pty (HTTP status at most 201).
class Reply {
 public:
  // `url` is where the reply came from; it only names the source in messages
  // (pty gives it with its query values hidden, see url_for_messages).
  explicit Reply(HttpResponse response, std::string url = {});

  long status_code() const;
  const std::string& text() const;
  const std::string& url() const;
  // The body parsed as JSON; throws ProtocolError (naming the URL) when it is
  // not JSON, nests arrays and objects deeper than kMaxDepth levels (the
  // JSON library copies, compares and prints values recursively, so a deeper
  // reply could exhaust the stack of whoever handles it), holds more than
  // kMaxValues values (every value and object key counts: a small body such
  // as 64 MiB of "[]," would otherwise take gigabytes once parsed), or has an
  // object of more than kMaxMembers members. A real reply holds a few
  // hundred values.
  Json json() const;
  static constexpr int kMaxDepth = 512;
  static constexpr std::size_t kMaxValues = 100'000;
  static constexpr std::size_t kMaxMembers = 1'000;
  // Every value of the named header, in the order the reply carries them;
  // the name is matched case-insensitively.
  std::vector<std::string> header_values(std::string_view name) const;

 private:
  HttpResponse response_;
  std::string url_;
};

// The named request options that pty hands to the transport.
struct RequestOptions {
  Headers headers;
  std::string impersonate;
  std::optional<Json> json;
};

class SpiderDriver {
 public:
  // Endpoint paths, appended to the platform origin.
  static constexpr std::string_view kLoginCodePath = "/cgi-bin/mmfinderassistant-bin/auth/auth_login_code";
  static constexpr std::string_view kLoginStatusPath = "/cgi-bin/mmfinderassistant-bin/auth/auth_login_status";
  static constexpr std::string_view kAuthDataPath = "/cgi-bin/mmfinderassistant-bin/auth/auth_data";
  static constexpr std::string_view kHeartbeatPath = "/cgi-bin/mmfinderassistant-bin/online_heartbeat";
  static constexpr std::string_view kStatisticsListPath =
      "/micro/content/cgi-bin/mmfinderassistant-bin/component/get-finder-native-drama-statistics-list";
  static constexpr std::string_view kStatisticsDownloadPath =
      "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic";
  static constexpr std::string_view kImpersonate = "chrome142";

  SpiderDriver() = default;

  // The shared request headers, in order: Content-Type, Accept, Connection,
  // and Cookie "sessionid=<a>" when a non-empty session id is given. A
  // session id holding a control character is refused with
  // InvalidArgumentError (it would break the header).
  Headers set_dead() const;
  Headers set_dead(std::string_view a) const;
  Headers set_dead(std::int64_t a) const;

  // POSTs to `url` up to `max_retries` times (the total number of attempts),
  // sleeping `delay` x attempt seconds after each failed attempt but the
  // last. Returns the first reply whose HTTP status is at most 201, or no
  // value when every attempt failed or was refused (max_retries <= 0 sends
  // nothing). Only TransportError is swallowed; any other failure leaves at
  // once.
  std::optional<Reply> pty(const std::string& url, const RequestOptions& options = {},
                           int max_retries = 3, double delay = 1) const;

  // Asks for a login token: {"code": 0, "data": token} or {"code": 100}.
  Json ale() const;

  // The PNG QR code of `a` as a data URL ("data:image/png;base64,..."): the
  // smallest symbol that holds `a` at error-correction level M, modules of
  // 10 x 10 pixels, a quiet zone of 4 modules, black on white. Every byte of
  // `a` is encoded, NUL included. Sends nothing. Throws InvalidArgumentError
  // when `a` is empty or does not fit the largest symbol.
  std::string gqb(std::string_view a) const;

  // The modules of the same QR symbol gqb draws for `a`, without the quiet
  // zone: rows top to bottom, each left to right, true for a dark module.
  // Throws as gqb does.
  std::vector<std::vector<bool>> qr_modules(std::string_view a) const;

  // Login status of `token`: {"code": 1, "data": cookie record} when
  // confirmed (the record of the first Set-Cookie value), {"code": -1,
  // "data": null} when confirmed without Set-Cookie, {"code": status}
  // otherwise. The token goes into the query unescaped; a token holding a
  // control character, a space, '#' or '&' would change the URL and is
  // refused with InvalidArgumentError.
  Json als(std::string_view token) const;

  // The cookie record {"session_id", "wx_uin"} found in one Set-Cookie value:
  // the first "sessionid=<value>;" and "wxuin=<value>;" anywhere in `text`,
  // empty text for a cookie that is not there (or not followed by ';').
  static Json fo(std::string_view text);

  // Authorisation data: {"code": 0, "data": finderUser}, {"code": 300} for
  // errCode 300334, or no value for any other errCode, which then goes to
  // *refused_code when given.
  std::optional<Json> add(std::string_view a, std::int64_t* refused_code = nullptr) const;

  // Sends the online heartbeat once (no retry, reply not read); returns true.
  // A transport failure propagates as TransportError.
  bool owit(std::string_view a) const;

  // Statistics list: {"code": 0, "data": list}, {"code": 300}, or no value
  // for any other errCode, which then goes to *refused_code when given.
  std::optional<Json> iast(std::string_view a, const Json& b, std::int64_t* refused_code = nullptr) const;

  // One page of the statistics download, waiting out busy answers:
  // {"code": 0, "data": data}, {"code": 300}, {"code": 303, "data": []}
  // after eleven busy answers, {"code": errCode, "data": []} otherwise (an
  // errCode of 303 too). *stayed_busy, when given, is set to whether the
  // busy answers ran out the re-requests: it tells the two 303s apart.
  Json owin(std::string_view a, const Json& b, bool* stayed_busy = nullptr) const;
};

}  // namespace qelkit
