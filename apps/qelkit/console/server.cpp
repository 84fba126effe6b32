#include "apps/qelkit/console/server.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "apps/qelkit/console/assets.hpp"
#include "apps/qelkit/console/events.hpp"
#include "apps/qelkit/console/svg.hpp"
#include "apps/qelkit/table.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/utc_time.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/history/history.hpp"
#include "qelkit/sdk/accounts.hpp"
#include "qelkit/sdk/login.hpp"

namespace qelkit::console {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kPageTokensKept = 256;
constexpr int kMaxRangeDays = 366;
const char* const kPageHeader = "X-Qelkit-Page";

// ---------------------------------------------------------------------------
// Small helpers

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) throw std::runtime_error("cannot draw a random token");
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : raw) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool same_secret(const std::string& given, const std::string& expected) {
  return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}


// The value of cookie `name` in the request's Cookie headers.
std::optional<std::string> cookie(const httplib::Request& req, const std::string& name) {
  const auto range = req.headers.equal_range("Cookie");
  for (auto it = range.first; it != range.second; ++it) {
    const std::string& header = it->second;
    std::size_t pos = 0;
    while (pos < header.size()) {
      std::size_t end = header.find(';', pos);
      if (end == std::string::npos) end = header.size();
      std::string pair = header.substr(pos, end - pos);
      pair.erase(0, pair.find_first_not_of(' '));
      if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
        return pair.substr(name.size() + 1);
      }
      pos = end + 1;
    }
  }
  return std::nullopt;
}

// A platform day "YYYY-MM-DD", checked.
std::optional<std::chrono::sys_days> parse_day(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  const std::chrono::year_month_day ymd{std::chrono::year(std::stoi(text.substr(0, 4))),
                                        std::chrono::month(static_cast<unsigned>(std::stoi(text.substr(5, 2)))),
                                        std::chrono::day(static_cast<unsigned>(std::stoi(text.substr(8, 2))))};
  if (!ymd.ok()) return std::nullopt;
  return std::chrono::sys_days(ymd);
}

std::string day_text(std::chrono::sys_days day) {
  const std::chrono::year_month_day ymd(day);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()));
  return buf;
}

// A request the page got wrong: the status and the words shown.
struct Refusal {
  int status;
  std::string message;
};

// The two days of a span from the query, checked: from <= to, at most a year.
std::pair<std::chrono::sys_days, std::chrono::sys_days> span_of(const httplib::Request& req) {
  const auto from = parse_day(req.get_param_value("from"));
  const auto to = parse_day(req.get_param_value("to"));
  if (!from || !to) throw Refusal{400, "the days must be dates YYYY-MM-DD"};
  if (*from > *to) throw Refusal{400, "the first day is after the last"};
  if ((*to - *from).count() >= kMaxRangeDays) throw Refusal{400, "choose at most 366 days"};
  return {*from, *to};
}

std::string account_param(const httplib::Request& req) {
  std::string account = req.get_param_value("account");
  if (account.empty()) throw Refusal{400, "no account chosen"};
  return account;
}

// Words for a failure, for the page: the kind's words and the message saying
// what failed and where; never a trace and never a secret (the SDK's messages
// name accounts and files, not logins).
std::string failure_words(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Refusal& r) {
    return r.message;
  } catch (const Error& e) {
    std::string words(error_kind_info(e.kind()).words);
    if (e.kind() == ErrorKind::transport || e.kind() == ErrorKind::no_reply) words += " at " + platform_origin();
    return words + ": " + e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unexpected failure";
  }
}

// The HTTP status that goes with a failure.
int failure_status(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Refusal& r) {
    return r.status;
  } catch (const Error& e) {
    switch (e.kind()) {
      case ErrorKind::account_not_stored: return 404;
      case ErrorKind::invalid_argument: return 400;
      case ErrorKind::transport: case ErrorKind::no_reply: case ErrorKind::protocol: case ErrorKind::platform:
      case ErrorKind::platform_busy: case ErrorKind::login_expired: case ErrorKind::conversion:
        return 502;
      default: return 500;
    }
  } catch (...) {
    return 500;
  }
}

void send_json(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json; charset=utf-8");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
  send_json(res, Json{{"error", message}}, status);
}

// A text from the platform in a download meant for spreadsheets: one that
// starts like a formula (=, +, -, @, tab or CR) gets a leading apostrophe, so
// that a spreadsheet shows the text instead of evaluating it.
std::string sheet_text(const std::string& text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) return "'" + text;
  return text;
}

std::string csv_line(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + cli::csv_field(fields[i]);
  return out + "\r\n";
}

std::string csv_value(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

void send_csv(httplib::Response& res, const std::string& file_name, std::string body) {
  res.set_header("Content-Disposition", "attachment; filename=\"" + file_name + "\"");
  res.set_content(std::move(body), "text/csv; charset=utf-8");
}

// Threads for work that outlives a request; all joined at the end. What a
// piece of work throws goes to `failed`, in words, never past the thread.
class Workers {
 public:
  explicit Workers(std::function<void(const std::string&)> failed) : failed_(std::move(failed)) {}
  ~Workers() { join_all(); }
  void spawn(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(m_);
    // Reap the ones that are done, so a long session keeps few.
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (*it->done) {
        it->thread.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back(Worker{std::thread([this, work = std::move(work), done] {
                                try {
                                  work();
                                } catch (...) {
                                  failed_(failure_words(std::current_exception()));
                                }
                                *done = true;
                              }),
                              done});
  }
  void join_all() {
    std::list<Worker> all;
    {
      std::lock_guard<std::mutex> lock(m_);
      all.swap(threads_);
    }
    for (auto& w : all) w.thread.join();
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::function<void(const std::string&)> failed_;
  std::mutex m_;
  std::list<Worker> threads_;
};

}  // namespace

// ---------------------------------------------------------------------------

struct Server::Impl {
  Options options;
  httplib::Server http;
  EventHub hub;
  int port = 0;
  std::string host, origin, access_token, cookie_name;
  std::atomic<bool> stopping{false};

  // What the console knows of each account beyond the data file.
  struct AccountState {
    std::string state = "unknown";  // live, expired, error, unknown
    std::string error, checked;
    std::optional<std::string> name;
    bool checking = false;
  };
  struct LoginRun {
    std::string id;
    std::atomic<bool> cancel{false};
  };
  struct PullState {
    bool running = false;
    Json progress;  // the latest progress event
    Json summary;   // the last pull's summary
  };

  std::mutex m;  // guards the members below
  std::map<std::string, AccountState> accounts;
  bool checking_all = false;
  std::deque<std::string> page_tokens;
  std::map<std::string, std::shared_ptr<LoginRun>> logins;
  PullState pull;
  std::mutex history_m;  // one reader of the history at a time
  std::unique_ptr<history::History> reader;
  // Last: joined first, while the rest still stands.
  Workers workers{[this](const std::string& words) { hub.publish("notice", Json{{"error", words}}); }};

  explicit Impl(Options o) : options(std::move(o)) {
    access_token = random_hex(24);
    reader = history::History::open(options.db);
  }

  // -------------------------------------------------------------------------
  // Access checks, before any route.

  bool page_token_known(const std::string& token) {
    std::lock_guard<std::mutex> lock(m);
    for (const auto& t : page_tokens) {
      if (same_secret(token, t)) return true;
    }
    return false;
  }

  std::string new_page_token() {
    std::string token = random_hex(16);
    std::lock_guard<std::mutex> lock(m);
    page_tokens.push_back(token);
    if (page_tokens.size() > kPageTokensKept) page_tokens.pop_front();
    return token;
  }

  static void refuse(const httplib::Request& req, httplib::Response& res, const std::string& message) {
    if (req.path.rfind("/api/", 0) == 0) {
      send_error(res, 403, message);
    } else {
      res.status = 403;
      res.set_content("<!doctype html><meta charset=\"utf-8\"><title>qelkit console</title><p>" + xml_escape(message) +
                          "</p>\n",
                      "text/html; charset=utf-8");
    }
  }

  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    // A name that resolves to 127.0.0.1 must not make this a page of another site.
    if (req.get_header_value("Host") != host) {
      refuse(req, res, "This console answers only at " + host + ".");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_param("token")) {
      if (req.method != "GET" || !same_secret(req.get_param_value("token"), access_token)) {
        refuse(req, res, "The access token is not this console's. Open the URL that qelkit console printed.");
        return httplib::Server::HandlerResponse::Handled;
      }
      // The token becomes a cookie, and leaves the address bar and history.
      res.set_header("Set-Cookie", cookie_name + "=" + access_token + "; Path=/; HttpOnly; SameSite=Strict");
      res.set_redirect("/", 303);
      return httplib::Server::HandlerResponse::Handled;
    }
    const auto given = cookie(req, cookie_name);
    if (!given || !same_secret(*given, access_token)) {
      refuse(req, res, "This console needs its access token. Open the URL that qelkit console printed.");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      if (req.method != "POST") {
        refuse(req, res, "Only GET and POST are served.");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.get_header_value("Origin") != origin) {
        refuse(req, res, "Changes are taken only from the console's own page.");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!page_token_known(req.get_header_value(kPageHeader))) {
        refuse(req, res, "This page is out of date: reload it.");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // -------------------------------------------------------------------------
  // Accounts

  // The rows of these accounts (all stored ones when empty), as the page shows them.
  Json rows(const std::vector<std::string>& ids) {
    Json out = Json::array();
    std::map<std::string, std::optional<history::PullRecord>> last;
    std::map<std::string, std::string> unread;  // the history could not say
    {
      std::lock_guard<std::mutex> lock(history_m);
      for (const auto& id : ids) {
        try {
          last[id] = reader->last_pull(id);
        } catch (...) {
          unread[id] = failure_words(std::current_exception());
        }
      }
    }
    std::lock_guard<std::mutex> lock(m);
    for (const auto& id : ids) {
      const AccountState& s = accounts[id];
      Json row = Json::object();
      row["id"] = id;
      std::optional<std::string> name = s.name;
      if (!name) name = Accounts::remembered_name(id);
      row["name"] = name ? Json(*name) : Json(nullptr);
      row["state"] = s.state;
      row["error"] = s.error;
      row["checked"] = s.checked;
      row["checking"] = s.checking;
      if (const auto& p = last[id]) {
        row["last_pull"] = Json{{"day", p->day},         {"kind", p->kind},         {"outcome", p->outcome},
                                {"error", p->error},     {"finished", p->finished}, {"rows", p->rows}};
      } else {
        row["last_pull"] = nullptr;
      }
      if (auto it = unread.find(id); it != unread.end()) row["last_pull_error"] = it->second;
      out.push_back(std::move(row));
    }
    return out;
  }

  void publish_row(const std::string& id) { hub.publish("account", rows({id}).at(0)); }

  void set_checking(const std::vector<std::string>& ids) {
    {
      std::lock_guard<std::mutex> lock(m);
      for (const auto& id : ids) accounts[id].checking = true;
    }
    for (const auto& id : ids) publish_row(id);
  }

  void check_one(const std::string& id) {
    AccountState result;
    try {
      const AccountCheck c = Accounts::check(id);
      result.state = c.live() ? "live" : "expired";
      result.name = c.display_name;
    } catch (...) {
      result.state = "error";
      result.error = failure_words(std::current_exception());
    }
    {
      std::lock_guard<std::mutex> lock(m);
      AccountState& s = accounts[id];
      s.state = result.state;
      s.error = result.error;
      if (result.name) s.name = result.name;  // an expired login keeps the name it had
      s.checked = detail::utc_now_text();
      s.checking = false;
    }
    publish_row(id);
  }

  // Checks every stored account, a few at a time, in the background.
  void check_all() {
    {
      std::lock_guard<std::mutex> lock(m);
      if (checking_all) return;
      checking_all = true;
    }
    workers.spawn([this] {
      std::vector<std::string> ids;
      try {
        ids = Accounts::list();
      } catch (...) {
        hub.publish("notice", Json{{"error", failure_words(std::current_exception())}});
      }
      set_checking(ids);
      std::atomic<std::size_t> next{0};
      std::vector<std::thread> team;
      for (int i = 0; i < std::min<int>(static_cast<int>(Accounts::kCheckParallelism), static_cast<int>(ids.size())); ++i) {
        team.emplace_back([&] {
          for (std::size_t k; !stopping && (k = next++) < ids.size();) check_one(ids[k]);
        });
      }
      for (auto& t : team) t.join();
      std::lock_guard<std::mutex> lock(m);
      checking_all = false;
      for (const auto& id : ids) accounts[id].checking = false;
    });
  }

  std::string stored_account(const std::string& id) {
    const auto ids = Accounts::list();
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) throw Refusal{404, "account " + id + " is not stored"};
    return id;
  }

  // -------------------------------------------------------------------------
  // Logins

  Json start_login() {
    Login login = Login::start();
    auto run = std::make_shared<LoginRun>();
    run->id = random_hex(8);
    Json answer = Json{{"id", run->id}, {"qr", qr_svg(login.modules())}};
    {
      std::lock_guard<std::mutex> lock(m);
      logins[run->id] = run;
    }
    hub.publish("login", Json{{"id", run->id}, {"state", "waiting"}});
    workers.spawn([this, run, login = std::make_shared<Login>(std::move(login))] {
      std::optional<LoginOutcome> outcome;
      while (!outcome) {
        outcome = (run->cancel || stopping) ? login->cancel() : login->wait(200ms);
      }
      Json event = Json{{"id", run->id}, {"state", outcome->kind_name()}, {"message", outcome->message}};
      if (outcome->kind == LoginOutcome::Kind::stored) {
        event["account"] = outcome->account_id;
        event["name"] = outcome->display_name ? Json(*outcome->display_name) : Json(nullptr);
        {
          std::lock_guard<std::mutex> lock(m);
          AccountState& s = accounts[outcome->account_id];
          s.state = "live";
          s.error.clear();
          if (outcome->display_name) s.name = outcome->display_name;
          s.checked = detail::utc_now_text();
        }
      }
      hub.publish("login", event);
      if (outcome->kind == LoginOutcome::Kind::stored && !stopping) check_one(outcome->account_id);
      std::lock_guard<std::mutex> lock(m);
      logins.erase(run->id);
    });
    return answer;
  }

  void cancel_login(const std::string& id) {
    std::lock_guard<std::mutex> lock(m);
    auto it = logins.find(id);
    if (it == logins.end()) throw Refusal{404, "this login has already ended"};
    it->second->cancel = true;
  }

  // -------------------------------------------------------------------------
  // Pulls

  Json start_pull(const std::string& from, const std::string& to) {
    const auto a = parse_day(from), b = parse_day(to);
    if (!a || !b) throw Refusal{400, "the days must be dates YYYY-MM-DD"};
    if (*a > *b) throw Refusal{400, "the first day is after the last"};
    if ((*b - *a).count() >= kMaxRangeDays) throw Refusal{400, "choose at most 366 days"};
    const auto ids = Accounts::list();
    if (ids.empty()) throw Refusal{409, "there is no stored account to pull: add one first"};
    {
      std::lock_guard<std::mutex> lock(m);
      if (pull.running) throw Refusal{409, "a pull is already running: one at a time"};
      pull.running = true;
      const auto days = static_cast<std::size_t>((*b - *a).count() + 1);
      pull.progress = Json{{"from", from},        {"to", to},
                           {"accounts_total", ids.size()}, {"days_total", ids.size() * days},
                           {"days_done", 0}};
      pull.summary = nullptr;
    }
    hub.publish("pull", pull_progress());
    workers.spawn([this, from, to, ids] {
      Json summary = Json{{"from", from}, {"to", to}};
      try {
        history::PullOptions options;
        options.accounts = ids;
        options.from = from;
        options.to = to;
        auto last_sent = std::chrono::steady_clock::now() - 1s;
        const auto history = history::History::open(this->options.db);
        const history::PullSummary result = history->pull(options, [&](const history::Progress& p) {
          Json progress = Json{{"from", from},          {"to", to},
                               {"accounts_done", p.accounts_done}, {"accounts_total", p.accounts_total},
                               {"days_done", p.days_done},         {"days_total", p.days_total},
                               {"account", p.account},             {"day", p.day},
                               {"pages", p.pages},                 {"rows", p.rows},
                               {"elapsed_ms", p.elapsed.count()}};
          {
            std::lock_guard<std::mutex> lock(m);
            pull.progress = progress;
          }
          // Every finished account-day, and otherwise a few updates a second.
          const auto now = std::chrono::steady_clock::now();
          if (p.finished || now - last_sent >= 250ms) {
            last_sent = now;
            hub.publish("pull", Json{{"running", true}, {"progress", progress}});
          }
        });
        Json failed = Json::array();
        std::int64_t ok = 0, rows_total = 0;
        for (const auto& r : result.results) {
          rows_total += r.detail_rows + r.list_rows;
          if (r.ok) {
            ++ok;
          } else {
            failed.push_back(Json{{"account", r.account}, {"day", r.day}, {"outcome", r.outcome}, {"error", r.error}});
          }
        }
        summary["ok"] = ok;
        summary["rows"] = rows_total;
        summary["failed"] = std::move(failed);
      } catch (...) {
        summary["error"] = failure_words(std::current_exception());
      }
      {
        std::lock_guard<std::mutex> lock(m);
        pull.running = false;
        pull.summary = summary;
      }
      hub.publish("pull", pull_progress());
      for (const auto& id : ids) publish_row(id);
    });
    return pull_progress();
  }

  Json pull_progress() {
    std::lock_guard<std::mutex> lock(m);
    return Json{{"running", pull.running}, {"progress", pull.progress}, {"summary", pull.summary}};
  }

  // -------------------------------------------------------------------------
  // Statistics

  Json income(const std::string& account, std::chrono::sys_days from, std::chrono::sys_days to) {
    std::vector<history::DayIncome> pulled;
    {
      std::lock_guard<std::mutex> lock(history_m);
      pulled = reader->daily_income(account, day_text(from), day_text(to));
    }
    std::map<std::string, const history::DayIncome*> by_day;
    for (const auto& d : pulled) by_day[d.day] = &d;
    std::vector<ChartDay> chart;
    Json days = Json::array();
    std::int64_t iaa = 0, mount = 0;
    for (auto day = from; day <= to; day += std::chrono::days(1)) {
      ChartDay c;
      c.day = day_text(day);
      Json row = Json{{"day", c.day}};
      if (auto it = by_day.find(c.day); it != by_day.end()) {
        const history::DayIncome& d = *it->second;
        if (d.failed) {
          c.state = ChartDay::State::failed;
          c.note = d.error;
          row["state"] = "failed";
          row["error"] = d.error;
        } else {
          c.state = ChartDay::State::ok;
          c.iaa = d.iaa_income;
          c.mount = d.mount_income;
          iaa += d.iaa_income;
          mount += d.mount_income;
          row["state"] = "ok";
          row["iaa_income"] = d.iaa_income;
          row["mount_income"] = d.mount_income;
          row["rows"] = d.rows;
        }
      } else {
        row["state"] = "missing";
      }
      chart.push_back(std::move(c));
      days.push_back(std::move(row));
    }
    return Json{{"account", account}, {"from", day_text(from)}, {"to", day_text(to)}, {"days", std::move(days)},
                {"iaa_income", iaa},  {"mount_income", mount},  {"svg", income_chart_svg(chart)}};
  }

  std::vector<history::DramaTotal> top(const std::string& account, const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(history_m);
    return reader->top_dramas(account, from, to, 10);
  }

  // -------------------------------------------------------------------------
  // Routes

  void routes() {
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
    http.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr failure) {
      const int status = failure_status(failure);
      const std::string words = failure_words(failure);
      if (req.path.rfind("/api/", 0) == 0) {
        send_error(res, status, words);
      } else {
        res.status = status;
        res.set_content(words + "\n", "text/plain; charset=utf-8");
      }
    });

    // Statuses the routes did not word themselves (no such path, too large).
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      const std::string words = res.status == 404   ? "There is no such page or action in the console."
                                : res.status == 413 ? "The request is too large."
                                                    : "The console could not serve this request.";
      if (req.path.rfind("/api/", 0) == 0) {
        send_error(res, res.status, words);
      } else {
        res.set_content(words + "\n", "text/plain; charset=utf-8");
      }
      return httplib::Server::HandlerResponse::Handled;
    }));

    http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      std::string html(asset("index.html"));
      const std::string mark = "{{PAGE_TOKEN}}";
      html.replace(html.find(mark), mark.size(), new_page_token());
      res.set_content(html, "text/html; charset=utf-8");
    });
    http.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(asset("app.js")), "text/javascript; charset=utf-8");
    });
    http.Get("/app.css", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(asset("app.css")), "text/css; charset=utf-8");
    });

    http.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
      struct Stream {
        bool greeted = false;
        std::uint64_t after = 0;
      };
      auto stream = std::make_shared<Stream>();
      res.set_header("X-Accel-Buffering", "no");
      res.set_chunked_content_provider("text/event-stream", [this, stream](std::size_t, httplib::DataSink& sink) {
        std::string out;
        if (!stream->greeted) {
          // The state as it is now, then every change after it.
          stream->after = hub.last();
          stream->greeted = true;
          Json hello = Json{{"accounts", Json::array()}, {"pull", pull_progress()}};
          try {
            hello["accounts"] = snapshot();
          } catch (...) {
            hello["error"] = failure_words(std::current_exception());
          }
          out = "event: hello\ndata: " + hello.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
        } else {
          const auto events = hub.next(stream->after, 15s);
          if (!events) {
            sink.done();
            return true;
          }
          for (const Event& e : *events) {
            out += "event: " + e.type + "\ndata: " + e.data + "\n\n";
            stream->after = e.id;
          }
          if (events->empty()) out = ": still here\n\n";
        }
        return sink.write(out.data(), out.size());
      });
    });

    http.Get("/api/accounts", [this](const httplib::Request&, httplib::Response& res) { send_json(res, snapshot()); });
    http.Post("/api/accounts/check", [this](const httplib::Request&, httplib::Response& res) {
      check_all();
      send_json(res, Json{{"ok", true}}, 202);
    });
    http.Post(R"(/api/accounts/([^/]+)/(check|heartbeat|forget))",
              [this](const httplib::Request& req, httplib::Response& res) {
                const std::string id = stored_account(req.matches[1]);
                const std::string action = req.matches[2];
                if (action == "check") {
                  set_checking({id});
                  check_one(id);
                  send_json(res, rows({id}).at(0));
                } else if (action == "heartbeat") {
                  Accounts::heartbeat(id);
                  send_json(res, Json{{"ok", true}, {"message", "heartbeat sent (it does not tell whether the login "
                                                                "still works: check does)"}});
                } else {
                  if (!Accounts::forget(id)) throw Refusal{404, "account " + id + " is not stored"};
                  {
                    std::lock_guard<std::mutex> lock(m);
                    accounts.erase(id);
                  }
                  hub.publish("forgotten", Json{{"id", id}});
                  send_json(res, Json{{"ok", true}});
                }
              });

    http.Post("/api/logins", [this](const httplib::Request&, httplib::Response& res) { send_json(res, start_login()); });
    http.Post(R"(/api/logins/([0-9a-f]+)/cancel)", [this](const httplib::Request& req, httplib::Response& res) {
      cancel_login(req.matches[1]);
      send_json(res, Json{{"ok", true}});
    });

    http.Get("/api/pull", [this](const httplib::Request&, httplib::Response& res) { send_json(res, pull_progress()); });
    http.Post("/api/pull", [this](const httplib::Request& req, httplib::Response& res) {
      const Json body = Json::parse(req.body, nullptr, false);
      if (!body.is_object() || !body.contains("from") || !body["from"].is_string()) {
        throw Refusal{400, "say which days to pull"};
      }
      const std::string from = body["from"].get<std::string>();
      const std::string to = body.contains("to") && body["to"].is_string() ? body["to"].get<std::string>() : from;
      send_json(res, start_pull(from, to), 202);
    });

    http.Get("/api/income", [this](const httplib::Request& req, httplib::Response& res) {
      const auto [from, to] = span_of(req);
      send_json(res, income(account_param(req), from, to));
    });
    http.Get("/api/top", [this](const httplib::Request& req, httplib::Response& res) {
      const auto [from, to] = span_of(req);
      Json rows_out = Json::array();
      for (const auto& d : top(account_param(req), day_text(from), day_text(to))) {
        rows_out.push_back(Json{{"drama_name", d.drama_name},
                                {"iaa_income", d.iaa_income},
                                {"mount_income", d.mount_income},
                                {"feed_read_count", d.feed_read_count},
                                {"drama_read_count", d.drama_read_count}});
      }
      send_json(res, Json{{"from", day_text(from)}, {"to", day_text(to)}, {"rows", std::move(rows_out)}});
    });
    http.Get("/api/income.csv", [this](const httplib::Request& req, httplib::Response& res) {
      const auto [from, to] = span_of(req);
      const std::string account = account_param(req);
      const Json data = income(account, from, to);
      std::string csv = csv_line({"day", "state", "iaa_income", "mount_income", "rows", "error"});
      for (const Json& d : data["days"]) {
        csv += csv_line({d["day"].get<std::string>(), d["state"].get<std::string>(), csv_value(d.value("iaa_income", Json())),
                         csv_value(d.value("mount_income", Json())), csv_value(d.value("rows", Json())),
                         sheet_text(d.value("error", std::string()))});
      }
      send_csv(res, "income-" + account + "-" + day_text(from) + "-" + day_text(to) + ".csv", std::move(csv));
    });
    http.Get("/api/top.csv", [this](const httplib::Request& req, httplib::Response& res) {
      const auto [from, to] = span_of(req);
      const std::string account = account_param(req);
      std::string csv = csv_line({"drama_name", "iaa_income", "mount_income", "feed_read_count", "drama_read_count"});
      for (const auto& d : top(account, day_text(from), day_text(to))) {
        csv += csv_line({sheet_text(d.drama_name), std::to_string(d.iaa_income), std::to_string(d.mount_income),
                         std::to_string(d.feed_read_count), std::to_string(d.drama_read_count)});
      }
      send_csv(res, "top-dramas-" + account + "-" + day_text(from) + "-" + day_text(to) + ".csv", std::move(csv));
    });
    http.Get("/api/detail.csv", [this](const httplib::Request& req, httplib::Response& res) {
      const auto [from, to] = span_of(req);
      const std::string account = account_param(req);
      std::string csv = csv_line({"day", "position", "date", "qel_id", "drama_name", "is_mount", "feed_read_count",
                                  "drama_read_count", "iaa_income", "mount_income", "qel_nickname"});
      {
        std::lock_guard<std::mutex> lock(history_m);
        reader->detail_rows(account, day_text(from), day_text(to), [&](const history::StoredDetailRow& r) {
          csv += csv_line({r.day, std::to_string(r.position), sheet_text(r.row.date), sheet_text(r.row.qel_id),
                           sheet_text(r.row.drama_name),
                           r.row.is_mount ? "1" : "0", std::to_string(r.row.feed_read_count),
                           std::to_string(r.row.drama_read_count), std::to_string(r.row.iaa_income),
                           std::to_string(r.row.mount_income), sheet_text(r.row.qel_nickname)});
        });
      }
      send_csv(res, "detail-" + account + "-" + day_text(from) + "-" + day_text(to) + ".csv", std::move(csv));
    });
  }

  Json snapshot() {
    std::vector<std::string> ids = Accounts::list();
    return rows(ids);
  }

  static std::string_view asset(std::string_view name) {
    for (const Asset& a : assets()) {
      if (a.name == name) return a.body;
    }
    throw std::logic_error("asset missing from the build");
  }
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) { impl_->routes(); }

Server::~Server() {
  stop();
  impl_->workers.join_all();
}

int Server::bind() {
  Impl& s = *impl_;
  // Connections wait in a pool of their own; event streams hold one each.
  s.http.new_task_queue = [] { return new httplib::ThreadPool(24); };
  s.http.set_payload_max_length(64 * 1024);
  s.http.set_keep_alive_timeout(5);
  const int port = s.options.port == 0 ? s.http.bind_to_any_port("127.0.0.1")
                                        : (s.http.bind_to_port("127.0.0.1", s.options.port) ? s.options.port : -1);
  if (port <= 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1" +
                             (s.options.port ? ":" + std::to_string(s.options.port) + " (is it in use?)" : std::string()));
  }
  s.port = port;
  s.host = "127.0.0.1:" + std::to_string(port);
  s.origin = "http://" + s.host;
  // Cookies ignore ports: each console's cookie has a name of its own.
  s.cookie_name = "qelkit_console_" + std::to_string(port);
  return port;
}

std::string Server::url() const { return impl_->origin + "/?token=" + impl_->access_token; }

bool Server::serve() { return impl_->stopping ? true : impl_->http.listen_after_bind(); }

void Server::stop() {
  Impl& s = *impl_;
  s.stopping = true;
  s.hub.close();
  s.http.stop();
}

}  // namespace qelkit::console
