#include "sim_platform.hpp"
#include "sim_encoding.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace platform_sim {
namespace {

constexpr const char* kLoginCodePath = "/cgi-bin/mmfinderassistant-bin/auth/auth_login_code";
constexpr const char* kLoginStatusPath = "/cgi-bin/mmfinderassistant-bin/auth/auth_login_status";
constexpr const char* kAuthDataPath = "/cgi-bin/mmfinderassistant-bin/auth/auth_data";
constexpr const char* kHeartbeatPath = "/cgi-bin/mmfinderassistant-bin/online_heartbeat";
constexpr const char* kListPath =
    "/micro/content/cgi-bin/mmfinderassistant-bin/component/get-finder-native-drama-statistics-list";
constexpr const char* kDownloadPath =
    "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic";
constexpr const char* kConfirmPagePath = "/mobile/confirm_login.html";

// The platform's error codes as this server uses them.
constexpr int kErrBadRequest = 300001;     // body not JSON, missing or wrong-typed key
constexpr int kErrBadCursor = 300002;      // pageBuffer that does not decode
constexpr int kErrUnknownToken = 300003;   // login token never issued
constexpr int kErrNotFound = 300004;       // no such endpoint
constexpr int kErrMethod = 300005;         // wrong HTTP method
constexpr int kErrSession = 300334;        // session unknown or expired

constexpr std::size_t kLogLimit = 20000;

double wall_now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// URL- and cookie-safe random text (Base64url without padding).
std::string random_id(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) throw std::runtime_error("RAND_bytes failed");
  std::string b64(4 * ((bytes + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), raw.data(), static_cast<int>(raw.size()));
  b64.resize(static_cast<std::size_t>(n));
  for (char& c : b64) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  while (!b64.empty() && b64.back() == '=') b64.pop_back();
  return b64;
}

Reply json_reply(const Json& j, int status = 200) {
  Reply r;
  r.status = status;
  r.body = dump(j);
  return r;
}

Reply envelope(int err, Json data, const std::string& msg) {
  Json j = Json::object();
  j["errCode"] = err;
  j["errMsg"] = msg;
  j["data"] = std::move(data);
  return json_reply(j);
}

Reply ok(Json data) { return envelope(0, std::move(data), "ok"); }

struct ControlError : std::runtime_error {
  ControlError(int s, const std::string& m) : std::runtime_error(m), status(s) {}
  int status;
};

std::string html_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

Reply html_reply(int status, const std::string& title, const std::string& body) {
  Reply r;
  r.status = status;
  r.content_type = "text/html; charset=utf-8";
  r.body = "<!doctype html>\n<html><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
           html_escape(title) + "</title></head>\n<body>\n<h1>" + html_escape(title) + "</h1>\n" + body +
           "</body></html>\n";
  return r;
}

std::optional<std::string> param(const Request& r, const std::string& name) {
  auto it = r.params.find(name);
  if (it == r.params.end()) return std::nullopt;
  return it->second;
}

// The session cookie's value, from every Cookie header of the request.
std::optional<std::string> session_cookie(const Request& r) {
  for (const auto& [k, v] : r.headers) {
    if (k.size() != 6 || !std::equal(k.begin(), k.end(), "cookie", [](char a, char b) { return std::tolower(a) == b; }))
      continue;
    std::size_t pos = 0;
    while (pos <= v.size()) {
      std::size_t end = v.find(';', pos);
      if (end == std::string::npos) end = v.size();
      std::string pair = v.substr(pos, end - pos);
      std::size_t b = pair.find_first_not_of(" \t");
      if (b != std::string::npos) {
        pair = pair.substr(b);
        if (pair.rfind("sessionid=", 0) == 0) {
          std::string value = pair.substr(10);
          while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
          return value;
        }
      }
      pos = end + 1;
    }
  }
  return std::nullopt;
}

// The request body as a JSON object, or the bad-request reply.
std::optional<Json> body_object(const Request& r, Reply& error) {
  try {
    Json j = Json::parse(r.body);
    if (j.is_object()) return j;
    error = envelope(kErrBadRequest, Json::object(), "request body is not a JSON object");
  } catch (const Json::exception&) {
    error = envelope(kErrBadRequest, Json::object(), "request body is not JSON");
  }
  return std::nullopt;
}

int int_arg(const Json& args, const char* key, std::optional<int> fallback) {
  auto it = args.find(key);
  if (it == args.end() || it->is_null()) {
    if (fallback) return *fallback;
    throw ControlError(400, std::string("missing \"") + key + "\"");
  }
  auto v = parse_integer(*it);
  if (!v || *v < INT32_MIN || *v > INT32_MAX) throw ControlError(400, std::string("\"") + key + "\" is not an integer");
  return static_cast<int>(*v);
}

std::int64_t int64_arg(const Json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end()) throw ControlError(400, std::string("missing \"") + key + "\"");
  auto v = parse_integer(*it);
  if (!v) throw ControlError(400, std::string("\"") + key + "\" is not an integer");
  return *v;
}

std::string text_arg(const Json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) throw ControlError(400, std::string("missing text \"") + key + "\"");
  return it->get<std::string>();
}

template <typename T>
void push_bounded(std::deque<T>& log, T entry) {
  log.push_back(std::move(entry));
  while (log.size() > kLogLimit) log.pop_front();
}

}  // namespace

std::string dump(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

Platform::Platform(Options options)
    : options_(std::move(options)),
      data_(options_.seed, options_.accounts),
      started_(wall_now()),
      latency_ms_(options_.latency_ms) {}

void Platform::record_client_hello(std::uint64_t connection, Json summary) {
  std::lock_guard<std::mutex> lock(m_);
  Json entry = Json::object();
  entry["seq"] = ++hello_seq_;
  entry["connection"] = connection;
  entry["time"] = wall_now();
  for (auto& [k, v] : summary.items()) entry[k] = v;
  push_bounded(hellos_, std::move(entry));
}

Reply Platform::serve(const Request& r) {
  double now = wall_now();
  std::lock_guard<std::mutex> lock(m_);

  Json entry = Json::object();
  entry["seq"] = ++request_seq_;
  entry["connection"] = r.connection;
  entry["time"] = now;
  entry["method"] = r.method;
  entry["path"] = r.path;
  entry["query"] = r.query;
  entry["target"] = r.target;
  entry["http_version"] = r.http_version;
  entry["alpn"] = r.alpn;
  entry["headers_in_received_order"] = r.headers_in_received_order;
  Json headers = Json::array();
  for (const auto& [k, v] : r.headers) headers.push_back(Json::array({k, v}));
  entry["headers"] = std::move(headers);
  entry["body"] = r.body;
  push_bounded(requests_, std::move(entry));

  int latency = latency_ms_;
  if (auto it = path_latency_.find(r.path); it != path_latency_.end()) latency += it->second;

  std::optional<Scripted> script;
  if (auto it = scripts_.find(r.path); it != scripts_.end() && !it->second.empty()) {
    script = std::move(it->second.front());
    it->second.pop_front();
  }

  Reply reply;
  if (script && !script->real) {
    reply.status = script->status;
    if (script->body) {
      reply.body = *script->body;
      reply.content_type = "text/plain; charset=utf-8";
    } else {
      Json j = Json::object();
      j["errCode"] = script->err_code;
      j["errMsg"] = "scripted";
      j["data"] = script->data;
      reply.body = dump(j);
    }
  } else {
    reply = real_reply(r, now);
    if (script && script->status_given) reply.status = script->status;
  }
  if (script) {
    if (script->set_cookies) reply.set_cookies = *script->set_cookies;
    if (script->content_type) reply.content_type = *script->content_type;
    for (const auto& h : script->headers) reply.headers.push_back(h);
    reply.delay_ms += script->delay_ms;
    reply.cut_after = script->cut_after;
    if (script->content_encoding) {
      reply.body = script->body_repeat > 1 ? encode_repeated(reply.body, script->body_repeat, *script->content_encoding,
                                                             script->body_head, script->body_tail)
                                           : encode_body(reply.body, *script->content_encoding);
      reply.headers.emplace_back("Content-Encoding", *script->content_encoding);
    } else {
      reply.body_repeat = script->body_repeat;
    }
  }
  reply.delay_ms += latency;
  return reply;
}

Reply Platform::real_reply(const Request& r, double now) {
  struct Route {
    const char* path;
    const char* method;
  };
  static constexpr Route kRoutes[] = {
      {kLoginCodePath, "POST"}, {kLoginStatusPath, "POST"}, {kAuthDataPath, "POST"},
      {kHeartbeatPath, "GET"},  {kListPath, "POST"},        {kDownloadPath, "POST"},
  };
  if (r.path == kConfirmPagePath) return confirm_page(r, now);
  for (const Route& route : kRoutes) {
    if (r.path != route.path) continue;
    if (r.method != route.method) {
      Reply e = envelope(kErrMethod, Json::object(), std::string("use ") + route.method);
      e.status = 405;
      e.headers.emplace_back("Allow", route.method);
      return e;
    }
    if (r.path == kLoginCodePath) return login_code(now);
    if (r.path == kLoginStatusPath) return login_status(r, now);
    if (r.path == kAuthDataPath) return auth_data(r);
    if (r.path == kHeartbeatPath) return heartbeat(r);
    if (r.path == kListPath) return statistics_list(r);
    return statistics_download(r);
  }
  Reply e = envelope(kErrNotFound, Json::object(), "no such endpoint");
  e.status = 404;
  return e;
}

Reply Platform::login_code(double now) {
  Login login;
  login.token = random_id(24);
  login.seq = login_seq_++;
  login.issued = now;
  Json data = Json::object();
  data["token"] = login.token;
  data["expireTime"] = static_cast<std::int64_t>(now + options_.token_ttl);
  logins_[login.token] = login;
  return ok(std::move(data));
}

void Platform::settle(Login& login, double now) {
  if (login.status != LoginStatus::waiting) return;
  if (options_.auto_confirm_after >= 0 && now - login.issued >= options_.auto_confirm_after) {
    int account = options_.auto_confirm_account >= 0
                      ? options_.auto_confirm_account % options_.accounts
                      : static_cast<int>(login.seq % static_cast<std::uint64_t>(options_.accounts));
    confirm(login, account);
  } else if (now - login.issued >= options_.token_ttl) {
    login.status = LoginStatus::ended;
  }
}

std::string Platform::confirm(Login& login, int account) {
  Session s;
  s.id = random_id(30);
  s.account = account;
  s.created = wall_now();
  sessions_[s.id] = s;
  login.status = LoginStatus::confirmed;
  login.account = account;
  login.session_id = s.id;
  return s.id;
}

Reply Platform::login_status(const Request& r, double now) {
  auto token = param(r, "token");
  Json ended = Json::object();
  ended["status"] = static_cast<int>(LoginStatus::ended);
  if (!token) return envelope(kErrUnknownToken, ended, "missing token");
  auto it = logins_.find(*token);
  if (it == logins_.end()) return envelope(kErrUnknownToken, ended, "unknown token");
  Login& login = it->second;
  ++login.polls;
  settle(login, now);
  Json data = Json::object();
  data["status"] = static_cast<int>(login.status);
  Reply reply = ok(std::move(data));
  if (login.status == LoginStatus::confirmed) {
    const Account& a = data_.accounts()[static_cast<std::size_t>(login.account)];
    reply.set_cookies.push_back("sessionid=" + login.session_id + "; Path=/; Secure; HttpOnly; SameSite=None");
    reply.set_cookies.push_back("wxuin=" + a.wxuin + "; Path=/; Secure; SameSite=None");
  }
  return reply;
}

Platform::Session* Platform::session_of(const Request& r) {
  auto sid = session_cookie(r);
  if (!sid) return nullptr;
  auto it = sessions_.find(*sid);
  if (it == sessions_.end() || !it->second.valid) return nullptr;
  ++it->second.requests;
  return &it->second;
}

Reply Platform::auth_data(const Request& r) {
  Session* s = session_of(r);
  if (!s) return envelope(kErrSession, Json::object(), "session expired");
  Json data = Json::object();
  data["finderUser"] = data_.accounts()[static_cast<std::size_t>(s->account)].finder_user;
  return ok(std::move(data));
}

Reply Platform::heartbeat(const Request& r) {
  Session* s = session_of(r);
  if (!s) return envelope(kErrSession, Json::object(), "session expired");
  ++s->heartbeats;
  return ok(Json::object());
}

Reply Platform::statistics_list(const Request& r) {
  Session* s = session_of(r);
  if (!s) return envelope(kErrSession, Json::object(), "session expired");
  Reply error;
  auto body = body_object(r, error);
  if (!body) return error;
  auto field = [&](const char* key, std::int64_t fallback) -> std::optional<std::int64_t> {
    auto it = body->find(key);
    if (it == body->end()) return fallback;
    return parse_integer(*it);
  };
  auto page_size = field("pageSize", 10);
  auto current = field("currentPage", 1);
  auto start = body->contains("startTs") ? parse_integer((*body)["startTs"]) : std::nullopt;
  auto end = body->contains("endTs") ? parse_integer((*body)["endTs"]) : std::nullopt;
  if (!page_size || *page_size < 1 || *page_size > 100 || !current || !start || !end) {
    return envelope(kErrBadRequest, Json::object(), "bad pageSize, currentPage, startTs or endTs");
  }
  std::int64_t page = std::max<std::int64_t>(*current, 1);
  std::int64_t total = list_total(s->account);
  Json list = Json::array();
  if (page <= total / *page_size + 1) {
    for (std::int64_t i = (page - 1) * *page_size; i < std::min(total, page * *page_size); ++i) {
      list.push_back(data_.list_entry(s->account, *start, *end, i));
    }
  }
  Json data = Json::object();
  data["list"] = std::move(list);
  data["totalCount"] = total;
  return ok(std::move(data));
}

Reply Platform::statistics_download(const Request& r) {
  Session* s = session_of(r);
  if (!s) return envelope(kErrSession, Json::object(), "session expired");
  Reply error;
  auto body = body_object(r, error);
  if (!body) return error;
  auto start = body->contains("startTs") ? parse_integer((*body)["startTs"]) : std::nullopt;
  if (!start || (body->contains("endTs") && !parse_integer((*body)["endTs"]))) {
    return envelope(kErrBadRequest, Json::object(), "bad startTs or endTs");
  }
  Cursor cursor;
  if (auto it = body->find("pageBuffer"); it != body->end()) {
    std::optional<Cursor> decoded;
    if (it->is_string()) decoded = decode_cursor(it->get_ref<const std::string&>());
    if (!decoded) return envelope(kErrBadCursor, Json::object(), "bad pageBuffer");
    cursor = *decoded;
  }
  std::int64_t total = row_total(s->account, *start);
  Json rows = Json::array();
  std::uint64_t end = cursor.offset;
  if (cursor.offset < static_cast<std::uint64_t>(total)) {
    end = std::min<std::uint64_t>(static_cast<std::uint64_t>(total), cursor.offset + cursor.page_size);
    for (std::uint64_t i = cursor.offset; i < end; ++i) {
      rows.push_back(data_.download_row(s->account, *start, static_cast<std::int64_t>(i)));
    }
  }
  Json data = Json::object();
  data["continueFlag"] = end < static_cast<std::uint64_t>(total);
  data["dataRows"] = std::move(rows);
  data["totalCount"] = total;
  return ok(std::move(data));
}

Reply Platform::confirm_page(const Request& r, double now) {
  auto token = param(r, "token");
  auto it = token ? logins_.find(*token) : logins_.end();
  if (it == logins_.end()) {
    return html_reply(404, "Login link not valid", "<p>This login link is unknown or has been replaced.</p>\n");
  }
  Login& login = it->second;
  settle(login, now);
  std::string safe_token = html_escape(login.token);
  if (r.method == "POST" && login.status == LoginStatus::waiting) {
    std::string action = param(r, "action").value_or("confirm");
    if (action == "cancel") {
      login.status = LoginStatus::ended;
    } else {
      auto acc = parse_integer(Json(param(r, "account").value_or("0")));
      if (!acc || *acc < 0 || *acc >= options_.accounts) {
        return html_reply(400, "Unknown account", "<p>Choose one of the listed accounts.</p>\n");
      }
      confirm(login, static_cast<int>(*acc));
    }
  } else if (r.method != "GET" && r.method != "POST") {
    return html_reply(405, "Method not allowed", "");
  }
  if (login.status == LoginStatus::confirmed) {
    const Account& a = data_.accounts()[static_cast<std::size_t>(login.account)];
    return html_reply(200, "Login confirmed",
                      "<p>Logged in as <b>" + html_escape(a.nickname) + "</b>. You can return to your computer.</p>\n");
  }
  if (login.status == LoginStatus::ended) {
    return html_reply(200, "Login ended", "<p>This login was cancelled or has expired.</p>\n");
  }
  std::string form = "<p>A computer asks to log in to the creator assistant.</p>\n"
                     "<form method=\"post\" action=\"" + std::string(kConfirmPagePath) + "\">\n"
                     "<input type=\"hidden\" name=\"token\" value=\"" + safe_token + "\">\n"
                     "<label>Account <select name=\"account\">\n";
  for (const Account& a : data_.accounts()) {
    form += "<option value=\"" + std::to_string(a.index) + "\">" + html_escape(a.nickname) + " (" +
            html_escape(a.id_text) + ")</option>\n";
  }
  form += "</select></label>\n"
          "<button name=\"action\" value=\"confirm\">Confirm login</button>\n"
          "<button name=\"action\" value=\"cancel\">Cancel</button>\n</form>\n";
  return html_reply(200, "Confirm login", form);
}

std::int64_t Platform::row_total(int account, std::int64_t ts) const {
  if (auto it = rows_at_.find({account, ts}); it != rows_at_.end()) return it->second;
  if (auto it = rows_any_.find(account); it != rows_any_.end()) return it->second;
  return data_.default_row_total(account, ts);
}

std::int64_t Platform::list_total(int account) const {
  if (auto it = list_totals_.find(account); it != list_totals_.end()) return it->second;
  return data_.default_list_total(account);
}

int Platform::account_arg(const Json& args, std::optional<int> fallback) const {
  if (auto it = args.find("uniq_id"); it != args.end()) {
    std::string text = it->is_string() ? it->get<std::string>() : it->dump();
    const Account* a = data_.find(text);
    if (!a) throw ControlError(404, "no account with uniqId " + text);
    return a->index;
  }
  int k = int_arg(args, "account", fallback);
  if (k < 0 || k >= options_.accounts) throw ControlError(404, "no account " + std::to_string(k));
  return k;
}

Json Platform::login_json(const Login& login) const {
  Json j = Json::object();
  j["token"] = login.token;
  j["status"] = static_cast<int>(login.status);
  j["issued"] = login.issued;
  j["polls"] = login.polls;
  j["account"] = login.account >= 0 ? Json(login.account) : Json(nullptr);
  j["session_id"] = login.session_id;
  if (login.account >= 0) {
    const Account& a = data_.accounts()[static_cast<std::size_t>(login.account)];
    j["uniqId"] = a.uniq_id;
    j["wxuin"] = a.wxuin;
  }
  return j;
}

Platform::Scripted Platform::parse_scripted(const Json& j) const {
  if (!j.is_object()) throw ControlError(400, "a scripted reply is a JSON object");
  Scripted s;
  for (const auto& [k, v] : j.items()) {
    if (k == "status") {
      auto n = parse_integer(v);
      if (!n || *n < 100 || *n > 599) throw ControlError(400, "\"status\" must be an HTTP status");
      s.status = static_cast<int>(*n);
      s.status_given = true;
    } else if (k == "body") {
      if (!v.is_string()) throw ControlError(400, "\"body\" must be text");
      s.body = v.get<std::string>();
    } else if (k == "errCode") {
      s.err_code = v;
    } else if (k == "data") {
      s.data = v;
    } else if (k == "set_cookie") {
      std::vector<std::string> cookies;
      if (!v.is_array()) throw ControlError(400, "\"set_cookie\" must be a list of texts");
      for (const Json& c : v) {
        if (!c.is_string()) throw ControlError(400, "\"set_cookie\" must be a list of texts");
        cookies.push_back(c.get<std::string>());
      }
      s.set_cookies = std::move(cookies);
    } else if (k == "headers") {
      if (!v.is_object()) throw ControlError(400, "\"headers\" must be an object of texts");
      for (const auto& [hk, hv] : v.items()) {
        if (!hv.is_string()) throw ControlError(400, "\"headers\" must be an object of texts");
        s.headers.emplace_back(hk, hv.get<std::string>());
      }
    } else if (k == "content_type") {
      if (!v.is_string()) throw ControlError(400, "\"content_type\" must be text");
      s.content_type = v.get<std::string>();
    } else if (k == "delay_ms") {
      auto n = parse_integer(v);
      if (!n || *n < 0 || *n > 600000) throw ControlError(400, "\"delay_ms\" must be 0 to 600000");
      s.delay_ms = static_cast<int>(*n);
    } else if (k == "cut_after") {
      auto n = parse_integer(v);
      if (!n || *n < 0) throw ControlError(400, "\"cut_after\" must be a byte count");
      s.cut_after = static_cast<std::size_t>(*n);
    } else if (k == "content_encoding") {
      if (!v.is_string() || !is_known_encoding(v.get<std::string>())) {
        throw ControlError(400, "\"content_encoding\" must be \"gzip\", \"br\" or \"zstd\"");
      }
      s.content_encoding = v.get<std::string>();
    } else if (k == "body_repeat") {
      auto n = parse_integer(v);
      if (!n || *n < 1 || *n > (std::int64_t{1} << 40)) throw ControlError(400, "\"body_repeat\" must be 1 to 2^40");
      s.body_repeat = static_cast<std::uint64_t>(*n);
    } else if (k == "body_head" || k == "body_tail") {
      if (!v.is_string()) throw ControlError(400, "\"" + k + "\" must be text");
      (k == "body_head" ? s.body_head : s.body_tail) = v.get<std::string>();
    } else if (k == "real") {
      if (!v.is_boolean()) throw ControlError(400, "\"real\" must be true or false");
      s.real = v.get<bool>();
    } else if (k != "count") {
      throw ControlError(400, "unknown key \"" + k + "\" in a scripted reply");
    }
  }
  if (s.body_repeat > 1) {
    if (!s.body || s.body->empty() || s.real) throw ControlError(400, "\"body_repeat\" needs a non-empty raw \"body\"");
    if (s.cut_after) throw ControlError(400, "\"body_repeat\" and \"cut_after\" do not go together");
    if (s.content_encoding && *s.content_encoding != "gzip") {
      throw ControlError(400, "\"body_repeat\" is compressed with gzip only");
    }
  }
  if ((!s.body_head.empty() || !s.body_tail.empty()) && (s.body_repeat < 2 || !s.content_encoding)) {
    throw ControlError(400, "\"body_head\" and \"body_tail\" go with \"body_repeat\" and \"content_encoding\" gzip");
  }
  return s;
}

Reply Platform::control(const Request& r) {
  std::string op = r.path.substr(std::string_view(kControlPrefix).size());
  Json args = Json::object();
  try {
    if (!r.body.empty()) {
      args = Json::parse(r.body);
      if (!args.is_object()) throw ControlError(400, "the control body must be a JSON object");
    }
    for (const auto& [k, v] : r.params) {
      if (!args.contains(k)) args[k] = v;
    }
    std::lock_guard<std::mutex> lock(m_);
    return control_op(op, args, wall_now());
  } catch (const ControlError& e) {
    return json_reply(Json{{"error", e.what()}}, e.status);
  } catch (const Json::exception& e) {
    return json_reply(Json{{"error", std::string("bad JSON: ") + e.what()}}, 400);
  }
}

Reply Platform::control_op(const std::string& op, const Json& args, double now) {
  if (op == "reset") {
    logins_.clear();
    sessions_.clear();
    scripts_.clear();
    path_latency_.clear();
    latency_ms_ = options_.latency_ms;
    rows_at_.clear();
    rows_any_.clear();
    list_totals_.clear();
    requests_.clear();
    hellos_.clear();
    return json_reply(Json{{"ok", true}});
  }
  if (op == "info") {
    Json j = Json::object();
    j["seed"] = options_.seed;
    j["accounts"] = options_.accounts;
    j["token_ttl"] = options_.token_ttl;
    j["auto_confirm_after"] = options_.auto_confirm_after;
    j["latency_ms"] = latency_ms_;
    j["uptime"] = now - started_;
    j["control_prefix"] = kControlPrefix;
    return json_reply(j);
  }
  if (op == "script") {
    std::string path = text_arg(args, "path");
    if (path.empty() || path[0] != '/') throw ControlError(400, "\"path\" must start with /");
    Json replies = args.contains("replies") ? args["replies"] : Json::array({args.value("reply", Json::object())});
    if (!replies.is_array()) throw ControlError(400, "\"replies\" must be a list");
    std::vector<Scripted> parsed;
    for (const Json& j : replies) {
      int count = int_arg(j.is_object() ? j : Json::object(), "count", 1);
      if (count < 0 || count > 10000) throw ControlError(400, "\"count\" must be 0 to 10000");
      Scripted s = parse_scripted(j);
      for (int i = 0; i < count; ++i) parsed.push_back(s);
    }
    auto& queue = scripts_[path];
    for (auto& s : parsed) queue.push_back(std::move(s));
    return json_reply(Json{{"queued", queue.size()}});
  }
  if (op == "latency") {
    int ms = int_arg(args, "ms", std::nullopt);
    if (ms < 0 || ms > 600000) throw ControlError(400, "\"ms\" must be 0 to 600000");
    if (args.contains("path")) {
      path_latency_[text_arg(args, "path")] = ms;
    } else {
      latency_ms_ = ms;
    }
    return json_reply(Json{{"ok", true}});
  }
  if (op == "requests" || op == "client_hellos") {
    const auto& log = op == "requests" ? requests_ : hellos_;
    std::optional<std::string> path;
    if (args.contains("path")) path = text_arg(args, "path");
    std::int64_t since = args.contains("since") ? int64_arg(args, "since") : 0;
    std::optional<std::int64_t> connection;
    if (args.contains("connection")) connection = int64_arg(args, "connection");
    Json list = Json::array();
    for (const Json& e : log) {
      if (e["seq"].get<std::int64_t>() <= since) continue;
      if (path && e.value("path", "") != *path) continue;
      if (connection && e["connection"].get<std::int64_t>() != *connection) continue;
      list.push_back(e);
    }
    return json_reply(Json{{op, std::move(list)}});
  }
  if (op == "confirm" || op == "cancel") {
    std::string token = text_arg(args, "token");
    auto it = logins_.find(token);
    if (it == logins_.end()) throw ControlError(404, "unknown token");
    Login& login = it->second;
    settle(login, now);
    if (login.status != LoginStatus::waiting) throw ControlError(409, "the login is no longer waiting");
    if (op == "confirm") {
      confirm(login, account_arg(args, 0));
    } else {
      login.status = LoginStatus::ended;
    }
    return json_reply(login_json(login));
  }
  if (op == "expire_session") {
    auto it = sessions_.find(text_arg(args, "session_id"));
    if (it == sessions_.end()) throw ControlError(404, "unknown session");
    it->second.valid = false;
    return json_reply(Json{{"ok", true}});
  }
  if (op == "logins") {
    Json logins = Json::array(), sessions = Json::array();
    for (auto& [token, login] : logins_) {
      settle(login, now);
      logins.push_back(login_json(login));
    }
    std::sort(logins.begin(), logins.end(), [](const Json& a, const Json& b) { return a["issued"] < b["issued"]; });
    for (const auto& [id, s] : sessions_) {
      Json j = Json::object();
      j["session_id"] = id;
      j["account"] = s.account;
      j["uniqId"] = data_.accounts()[static_cast<std::size_t>(s.account)].uniq_id;
      j["valid"] = s.valid;
      j["heartbeats"] = s.heartbeats;
      j["requests"] = s.requests;
      sessions.push_back(std::move(j));
    }
    return json_reply(Json{{"logins", std::move(logins)}, {"sessions", std::move(sessions)}});
  }
  if (op == "accounts") {
    Json list = Json::array();
    for (const Account& a : data_.accounts()) {
      Json j = Json::object();
      j["account"] = a.index;
      j["uniqId"] = a.uniq_id;
      j["id_text"] = a.id_text;
      j["nickname"] = a.nickname;
      j["wxuin"] = a.wxuin;
      j["finderUser"] = a.finder_user;
      j["dramas"] = a.dramas;
      list.push_back(std::move(j));
    }
    return json_reply(Json{{"accounts", std::move(list)}});
  }
  if (op == "rows") {
    int account = account_arg(args, std::nullopt);
    std::int64_t total = int64_arg(args, "total");
    if (total < 0 || total > 1'000'000) throw ControlError(400, "\"total\" must be 0 to 1000000");
    if (args.contains("ts")) {
      rows_at_[{account, int64_arg(args, "ts")}] = total;
    } else {
      rows_any_[account] = total;
    }
    return json_reply(Json{{"ok", true}});
  }
  if (op == "list_total") {
    int account = account_arg(args, std::nullopt);
    std::int64_t total = int64_arg(args, "total");
    if (total < 0 || total > 1'000'000) throw ControlError(400, "\"total\" must be 0 to 1000000");
    list_totals_[account] = total;
    return json_reply(Json{{"ok", true}});
  }
  if (op == "expected_rows") {
    int account = account_arg(args, std::nullopt);
    std::int64_t ts = int64_arg(args, "ts");
    std::int64_t total = row_total(account, ts);
    Json rows = Json::array(), normalised = Json::array();
    for (std::int64_t i = 0; i < total; ++i) {
      rows.push_back(data_.download_row(account, ts, i));
      normalised.push_back(normalise_download_row(rows.back()));
    }
    Json j = Json::object();
    j["account"] = account;
    j["ts"] = ts;
    j["total"] = total;
    j["rows"] = std::move(rows);
    j["normalised"] = std::move(normalised);
    return json_reply(j);
  }
  if (op == "expected_list") {
    int account = account_arg(args, std::nullopt);
    std::int64_t start = int64_arg(args, "startTs"), end = int64_arg(args, "endTs");
    std::int64_t total = list_total(account);
    Json list = Json::array();
    for (std::int64_t i = 0; i < total; ++i) list.push_back(data_.list_entry(account, start, end, i));
    return json_reply(Json{{"account", account}, {"total", total}, {"list", std::move(list)}});
  }
  throw ControlError(404, "unknown control operation \"" + op + "\"");
}

}  // namespace platform_sim
