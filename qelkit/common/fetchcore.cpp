#include "qelkit/common/fetchcore.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/log.hpp"
#include "qelkit/common/platform_codes.hpp"
#include "qelkit/common/internal/qr_image.hpp"

namespace qelkit {
namespace {

constexpr int kAttempts = 3;          // pty's default: total attempts
constexpr double kRetryDelay = 1.0;   // pty's default: seconds x attempt
constexpr int kMaxBusyRetries = 10;
constexpr double kBusyPause = 3.0;

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string hex_byte(unsigned char c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[c >> 4] + kDigits[c & 0xF];
}

// A JSON value for a message, cut short: replies can be large.
std::string brief(const Json& v) {
  std::string text = v.dump();
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  return text;
}

// The path of `url` for the log: no origin, and no query, which may hold a
// login token.
std::string logged_path(std::string_view url) {
  std::string_view rest = url;
  if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    rest.remove_prefix(scheme + 3);
    const auto slash = rest.find('/');
    rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
  }
  return std::string(rest.substr(0, rest.find_first_of("?#")));
}

// A message for the log with `url` shown as its path only.
std::string without_url(std::string text, const std::string& url) {
  const std::string path = logged_path(url);
  for (auto at = text.find(url); at != std::string::npos; at = text.find(url, at + path.size())) {
    text.replace(at, url.size(), path);
  }
  return text;
}

long long ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// One request's line in the log; `err_code` is "-" where none was read.
void log_request(std::string_view method, const std::string& url, long status, std::string_view err_code, int attempt,
                 long long ms, std::size_t bytes) {
  if (!logging(LogLevel::info)) return;
  log_event(LogLevel::info, "request",
            {{"method", method},
             {"path", logged_path(url)},
             {"status", std::to_string(status)},
             {"errCode", err_code},
             {"attempt", std::to_string(attempt)},
             {"ms", std::to_string(ms)},
             {"bytes", std::to_string(bytes)}});
}

// A request that got no answer, in the log.
void log_failure(std::string_view method, const std::string& url, const TransportError& e, int attempt,
                 long long ms) {
  if (!logging(LogLevel::info)) return;
  log_event(LogLevel::info, "request",
            {{"method", method},
             {"path", logged_path(url)},
             {"error", without_url(e.what(), url)},
             {"attempt", std::to_string(attempt)},
             {"ms", std::to_string(ms)}});
}

// The attempt that answered, for a caller that logs it once it has read the
// reply's errCode.
struct Answered {
  int attempt = 0;
  long long ms = 0;
};

// pty with the reason of the last failed attempt kept for messages. Each
// attempt is logged; the one that answers only when `answered` is null.
std::optional<Reply> send_with_retries(const std::string& url, const RequestOptions& options, int max_retries,
                                       double delay, std::string* last_failure, Answered* answered = nullptr) {
  if (max_retries <= 0) return std::nullopt;
  const HttpRequest request{"POST", url, options.headers, options.json, options.impersonate};
  for (int attempt = 1; attempt <= max_retries; ++attempt) {
    if (logging(LogLevel::debug)) {
      log_event(LogLevel::debug, "send",
                {{"method", request.method}, {"path", logged_path(url)}, {"attempt", std::to_string(attempt)}});
    }
    const auto start = std::chrono::steady_clock::now();
    try {
      HttpResponse response = current_transport().perform(request);
      const long long ms = ms_since(start);
      if (response.status <= 201) {
        if (answered) {
          *answered = Answered{attempt, ms};
        } else {
          log_request(request.method, url, response.status, "-", attempt, ms, response.body.size());
        }
        return Reply(std::move(response), url_for_messages(url));
      }
      log_request(request.method, url, response.status, "-", attempt, ms, response.body.size());
      if (last_failure) *last_failure = "HTTP status " + std::to_string(response.status);
    } catch (const TransportError& e) {
      log_failure(request.method, url, e, attempt, ms_since(start));
      if (last_failure) *last_failure = e.what();
    }
    if (attempt < max_retries) {
      const double pause = delay * attempt;
      if (logging(LogLevel::info)) {
        log_event(LogLevel::info, "retry",
                  {{"method", request.method},
                   {"path", logged_path(url)},
                   {"attempt", std::to_string(attempt)},
                   {"of", std::to_string(max_retries)},
                   {"pause_s", Json(pause).dump()}});
      }
      current_clock().sleep(pause);
    }
  }
  return std::nullopt;
}

// One platform request through the retry routine: the reply and its body,
// which must be a JSON object.
struct PlatformReply {
  Reply reply;
  Json doc;
};

PlatformReply post(std::string_view path, Headers headers, std::optional<Json> body = std::nullopt) {
  const std::string url = platform_origin() + std::string(path);
  RequestOptions options{std::move(headers), std::string(SpiderDriver::kImpersonate), std::move(body)};
  std::string last_failure = "no attempt made";
  Answered answered;
  std::optional<Reply> reply = send_with_retries(url, options, kAttempts, kRetryDelay, &last_failure, &answered);
  const std::string shown = url_for_messages(url);
  if (!reply) {
    throw NoReplyError("no reply from " + shown + " after " + std::to_string(kAttempts) +
                       " attempts (last: " + last_failure + ")");
  }
  std::optional<Json> doc;
  try {
    doc = reply->json();
  } catch (...) {
    log_request("POST", url, reply->status_code(), "-", answered.attempt, answered.ms, reply->text().size());
    throw;
  }
  if (logging(LogLevel::info)) {
    const auto code = doc->is_object() ? doc->find("errCode") : doc->end();
    const std::string err_code = code != doc->end() && code->is_number_integer() ? code->dump() : "-";
    log_request("POST", url, reply->status_code(), err_code, answered.attempt, answered.ms, reply->text().size());
  }
  if (!doc->is_object()) throw ProtocolError("reply from " + shown + " is not a JSON object: " + brief(*doc));
  return {std::move(*reply), std::move(*doc)};
}

std::int64_t integer_at(const Json& v, std::string_view key, std::string_view url) {
  const bool fits = v.is_number_integer() &&
                    (!v.is_number_unsigned() ||
                     v.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
  if (!fits) {
    throw ProtocolError("\"" + std::string(key) + "\" in the reply from " + std::string(url) +
                        " is not an integer: " + brief(v));
  }
  return v.get<std::int64_t>();
}

std::int64_t err_code(const Json& doc, std::string_view url) {
  auto it = doc.find("errCode");
  if (it == doc.end()) throw ProtocolError("reply from " + std::string(url) + " lacks \"errCode\"");
  return integer_at(*it, "errCode", url);
}

const Json& data_object(const Json& doc, std::string_view url) {
  auto it = doc.find("data");
  if (it == doc.end()) throw ProtocolError("reply from " + std::string(url) + " lacks \"data\"");
  if (!it->is_object()) {
    throw ProtocolError("\"data\" in the reply from " + std::string(url) + " is not an object: " + brief(*it));
  }
  return *it;
}

const Json& data_member(const Json& doc, std::string_view key, std::string_view url) {
  const Json& data = data_object(doc, url);
  auto it = data.find(key);
  if (it == data.end()) {
    throw ProtocolError("reply from " + std::string(url) + " lacks \"data." + std::string(key) + "\"");
  }
  return *it;
}

std::string endpoint(std::string_view path) { return platform_origin() + std::string(path); }

// The value of the first "<name>=<value>;" in text, where <value> is one or
// more characters other than ';'; empty when there is none.
std::string cookie_value(std::string_view text, std::string_view name) {
  for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
    const size_t begin = at + name.size();
    const size_t end = text.find(';', begin);
    if (end == std::string_view::npos) return {};  // no ';' anywhere after: nothing later can match
    if (end > begin) return std::string(text.substr(begin, end - begin));
  }
  return {};
}

// Whether the arrays and objects of a JSON text nest deeper than `limit`;
// brackets inside strings do not count. Only meaningful for valid JSON, which
// is all it is asked about before the text is parsed.
bool nests_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------- Reply

Reply::Reply(HttpResponse response, std::string url) : response_(std::move(response)), url_(std::move(url)) {}

long Reply::status_code() const { return response_.status; }
const std::string& Reply::text() const { return response_.body; }
const std::string& Reply::url() const { return url_; }

Json Reply::json() const {
  const std::string from = url_.empty() ? std::string("reply") : "reply from " + url_;
  if (nests_deeper_than(response_.body, kMaxDepth)) {
    throw ProtocolError(from + " nests deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  // Counted as the parser goes, so an oversized reply is never built whole.
  std::size_t values = 0;
  std::vector<std::size_t> members;  // members so far of each open object (0 for arrays)
  std::string too_large;
  const Json::parser_callback_t bound = [&](int, Json::parse_event_t event, Json&) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        members.push_back(0);
        break;
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        if (!members.empty()) members.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!members.empty() && ++members.back() > kMaxMembers) {
          too_large = "has an object of more than " + std::to_string(kMaxMembers) + " members";
        }
        break;
      case Json::parse_event_t::value:
        break;
    }
    if (event != Json::parse_event_t::object_end && event != Json::parse_event_t::array_end && ++values > kMaxValues) {
      too_large = "holds more than " + std::to_string(kMaxValues) + " values";
    }
    if (!too_large.empty()) throw ProtocolError(from + " " + too_large);
    return true;
  };
  try {
    return Json::parse(response_.body, bound);
  } catch (const nlohmann::json::exception& e) {
    throw ProtocolError(from + " is not JSON: " + e.what());
  }
}

std::vector<std::string> Reply::header_values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : response_.headers) {
    if (same_name(n, name)) values.push_back(v);
  }
  return values;
}

// ---------------------------------------------------------------- SpiderDriver

Headers SpiderDriver::set_dead() const {
  return {
      {"Content-Type", "application/json; charset=utf-8"},
      {"Accept", "*/*"},
      {"Connection", "keep-alive"},
  };
}

Headers SpiderDriver::set_dead(std::string_view a) const {
  // Checked before anything is built: a CR or LF here would let the session
  // id add headers of its own. The id itself is a secret and stays out of the
  // message.
  for (size_t i = 0; i < a.size(); ++i) {
    const auto c = static_cast<unsigned char>(a[i]);
    if (is_control(c)) {
      throw InvalidArgumentError("session id holds the control character " + hex_byte(c) + " at position " +
                                 std::to_string(i) + " and cannot be sent in a Cookie header");
    }
  }
  Headers headers = set_dead();
  if (!a.empty()) headers.emplace_back("Cookie", "sessionid=" + std::string(a));
  return headers;
}

Headers SpiderDriver::set_dead(std::int64_t a) const { return set_dead(std::string_view(std::to_string(a))); }

std::optional<Reply> SpiderDriver::pty(const std::string& url, const RequestOptions& options, int max_retries,
                                       double delay) const {
  return send_with_retries(url, options, max_retries, delay, nullptr);
}

Json SpiderDriver::ale() const {
  const std::string url = endpoint(kLoginCodePath);
  const Json doc = post(kLoginCodePath, set_dead()).doc;
  if (err_code(doc, url) != 0) return Json{{"code", kCodeTokenRefused}};
  const Json& token = data_member(doc, "token", url);
  if (!token.is_string()) {
    throw ProtocolError("\"data.token\" in the reply from " + url + " is not text: " + brief(token));
  }
  return Json{{"code", 0}, {"data", token}};
}

std::string SpiderDriver::gqb(std::string_view a) const { return detail::png_data_url(detail::qr_png(a)); }

std::vector<std::vector<bool>> SpiderDriver::qr_modules(std::string_view a) const { return detail::qr_modules(a); }

Json SpiderDriver::als(std::string_view token) const {
  // The token goes into the query as it is; refuse only what would change
  // the URL's structure or break the request line.
  for (size_t i = 0; i < token.size(); ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (is_control(c) || c == ' ' || c == '#' || c == '&') {
      throw InvalidArgumentError("login token holds the character " + hex_byte(c) + " at position " +
                                 std::to_string(i) + ", which cannot stand unescaped in the status URL");
    }
  }
  const std::string path = std::string(kLoginStatusPath) + "?token=" + std::string(token);
  const std::string url = url_for_messages(endpoint(path));  // for messages: the token is a secret
  const PlatformReply r = post(path, set_dead());
  // The status is read whatever errCode says.
  const std::int64_t code = err_code(r.doc, url);
  const std::int64_t status = integer_at(data_member(r.doc, "status", url), "data.status", url);
  if (code != 0 || status != 1) return Json{{"code", status}};
  // Confirmed: the record of the first Set-Cookie value, which always counts
  // as found, even when that value carries no session cookie.
  const std::vector<std::string> cookies = r.reply.header_values("Set-Cookie");
  if (cookies.empty()) return Json{{"code", -1}, {"data", nullptr}};
  return Json{{"code", status}, {"data", fo(cookies.front())}};
}

Json SpiderDriver::fo(std::string_view text) {
  return Json{{"session_id", cookie_value(text, "sessionid=")}, {"wx_uin", cookie_value(text, "wxuin=")}};
}

std::optional<Json> SpiderDriver::add(std::string_view a, std::int64_t* refused_code) const {
  const std::string url = endpoint(kAuthDataPath);
  const Json doc = post(kAuthDataPath, set_dead(a)).doc;
  const std::int64_t code = err_code(doc, url);
  if (code == kErrSessionInvalid) return Json{{"code", kCodeLoginExpired}};
  if (code == 0) return Json{{"code", 0}, {"data", data_member(doc, "finderUser", url)}};
  if (refused_code) *refused_code = code;
  return std::nullopt;
}

bool SpiderDriver::owit(std::string_view a) const {
  const HttpRequest request{"GET", endpoint(kHeartbeatPath), set_dead(a), std::nullopt, std::string(kImpersonate)};
  const auto start = std::chrono::steady_clock::now();
  try {
    const HttpResponse response = current_transport().perform(request);  // the answer is not looked at
    log_request(request.method, request.url, response.status, "-", 1, ms_since(start), response.body.size());
  } catch (const TransportError& e) {
    log_failure(request.method, request.url, e, 1, ms_since(start));
    throw;
  }
  return true;
}

std::optional<Json> SpiderDriver::iast(std::string_view a, const Json& b, std::int64_t* refused_code) const {
  const std::string url = endpoint(kStatisticsListPath);
  const Json doc = post(kStatisticsListPath, set_dead(a), b).doc;
  const std::int64_t code = err_code(doc, url);
  if (code == kErrSessionInvalid) return Json{{"code", kCodeLoginExpired}};
  if (code == 0) return Json{{"code", 0}, {"data", data_member(doc, "list", url)}};
  if (refused_code) *refused_code = code;
  return std::nullopt;
}

Json SpiderDriver::owin(std::string_view a, const Json& b, bool* stayed_busy) const {
  const std::string url = endpoint(kStatisticsDownloadPath);
  const Headers headers = set_dead(a);
  if (stayed_busy) *stayed_busy = false;
  for (int busy = 0;;) {
    const Json doc = post(kStatisticsDownloadPath, headers, b).doc;
    const std::int64_t code = err_code(doc, url);
    if (std::find(std::begin(kErrBusy), std::end(kErrBusy), code) != std::end(kErrBusy)) {
      if (busy >= kMaxBusyRetries) {
        if (stayed_busy) *stayed_busy = true;
        return Json{{"code", kCodeStillBusy}, {"data", Json::array()}};
      }
      ++busy;
      if (logging(LogLevel::info)) {
        log_event(LogLevel::info, "busy",
                  {{"path", logged_path(url)},
                   {"errCode", std::to_string(code)},
                   {"wait", std::to_string(busy)},
                   {"of", std::to_string(kMaxBusyRetries)},
                   {"pause_s", Json(kBusyPause).dump()}});
      }
      current_clock().sleep(kBusyPause);
      continue;
    }
    if (code == kErrSessionInvalid) return Json{{"code", kCodeLoginExpired}};
    if (code == 0) return Json{{"code", 0}, {"data", data_object(doc, url)}};
    return Json{{"code", code}, {"data", Json::array()}};
  }
}

}  // namespace qelkit
