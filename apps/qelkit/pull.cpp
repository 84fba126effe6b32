#include "apps/qelkit/pull.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <functional>
#include <memory>
#include <optional>

#include "apps/qelkit/cli.hpp"
#include "apps/qelkit/table.hpp"
#include "qelkit/history/days.hpp"
#include "qelkit/history/history.hpp"

namespace qelkit::cli {

const char* const kPullHelp = R"(Usage: qelkit pull [ACCOUNT...] --from DATE [--to DATE] [--db URL] [--jobs N]
                   [--tz ZONE] [--shard K/N] [--progress live|plain] [--quiet]

Pulls the statistics of every stored account (or of the ACCOUNTs named), for
each day from --from to --to (both included), into a statistics history: the
detailed statistics at the start of the day and every page of the statistics
list for the day. Each account-day is written in one transaction that
replaces what an earlier pull of that day wrote, so a pull can be run again
(after a failure, or every day from cron) without doubling anything. Every
pull, failed or not, is recorded in the history's pulls table.

Days: a date's day starts at its midnight in --tz ZONE, an IANA time-zone
name (default UTC); the list covers that midnight to the last second before
the next. The platform's days are UTC days: a detailed row's date is the UTC
day of the instant asked for, so with a zone east of UTC the rows of DATE may
carry the day before. The pulled day is kept beside the rows.

Options:
  --from DATE     the first day, YYYY-MM-DD (required)
  --to DATE       the last day (default: --from)
  --db URL        the history: an SQLite file (default qelkit.sqlite in the
                  current directory; also sqlite:PATH), or a PostgreSQL
                  database, postgresql://USER@HOST/DB (a libpq URI), which
                  several hosts may pull into at once
  --jobs N        accounts pulled at a time (default 2); each fetches six
                  detail pages at a time
  --tz ZONE       the zone whose midnight starts a day (default UTC)
  --shard K/N     only the accounts whose stable hash falls in shard K of N,
                  so N hosts with 1/N to N/N pull every account once
  --progress MODE live: one line that updates (the default on a terminal);
                  plain: a line per finished account-day (the default when
                  standard error is not a terminal)
  --quiet         no progress and no summary unless something failed
  -h, --help      show this help

The last line on standard error sums the pull up and names the account-days
that failed. A failed account-day (an expired login, a platform out of reach)
does not stop the others.

Exit status: 0 every account-day pulled; 2 wrong command line; 3 an account
is not stored; 4 a stored login does not decrypt; 5 the platform was out of
reach or busy; 6 the platform refused (for example an expired login: run
qelkit login); 8 the data file is unreadable; 1 the history could not be
opened or written, or another failure. When several account-days failed, the
status is that of the first.
)";

namespace {

using history::Day;
using history::DayResult;
using history::Progress;

struct PullExit {
  int code;
  std::string message;
};

PullExit pull_usage(const std::string& message) { return PullExit{kUsage, message + " (see qelkit pull --help)"}; }

void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

int parse_int(const std::string& option, const std::string& text, int low) {
  int v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size() || v < low) {
    throw pull_usage(option + " must be a whole number from " + std::to_string(low) + ", not \"" + text + "\"");
  }
  return v;
}

// The exit status for a failed account-day's outcome: that of its error kind.
int exit_code_of(const std::string& outcome) {
  for (const ErrorKindInfo& info : kErrorKinds) {
    if (info.name == outcome) return info.exit_status;
  }
  return kFailure;
}

int terminal_columns() {
  struct winsize w {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
  return 80;
}

std::string duration_text(std::int64_t seconds) {
  if (seconds < 120) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string day_line(const DayResult& r) {
  std::string line = r.day + " " + terminal_safe(r.account) + ": ";
  if (r.ok) {
    return line + "ok, " + std::to_string(r.detail_rows) + " detailed rows, " + std::to_string(r.list_rows) +
           " list entries\n";
  }
  return line + "failed (" + r.outcome + "): " + terminal_safe(r.error) + "\n";
}

// "acct-2 2026-03-01 to 2026-03-03 (login_expired; run qelkit login)", one
// part per account and outcome, consecutive days joined.
std::string failed_text(const std::vector<DayResult>& results) {
  std::string text;
  for (std::size_t i = 0; i < results.size();) {
    const DayResult& first = results[i];
    if (first.ok) {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < results.size() && !results[j].ok && results[j].account == first.account &&
           results[j].outcome == first.outcome &&
           *history::parse_day(results[j].day) == *history::parse_day(results[j - 1].day) + 1) {
      ++j;
    }
    if (!text.empty()) text += "; ";
    text += terminal_safe(first.account) + " " + first.day + (j - i > 1 ? " to " + results[j - 1].day : "") + " (" +
            first.outcome + (first.outcome == "login_expired" ? ": run qelkit login" : "") + ")";
    i = j;
  }
  return text;
}

int pull(const std::vector<std::string>& args) {
  history::PullOptions o;
  std::string db = "qelkit.sqlite", mode;
  bool quiet = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inline_value;
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      inline_value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) throw pull_usage(a + " needs a value");
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kPullHelp, stdout);
      return kOk;
    } else if (a == "--from") {
      o.from = value();
    } else if (a == "--to") {
      o.to = value();
    } else if (a == "--db") {
      db = value();
    } else if (a == "--jobs") {
      o.jobs = parse_int("--jobs", value(), 1);
    } else if (a == "--tz") {
      o.tz = value();
    } else if (a == "--shard") {
      const std::string s = value();
      const auto slash = s.find('/');
      if (slash == std::string::npos) throw pull_usage("--shard takes K/N, not \"" + s + "\"");
      o.shard_index = parse_int("--shard's K", s.substr(0, slash), 1);
      o.shard_count = parse_int("--shard's N", s.substr(slash + 1), 1);
      if (o.shard_index > o.shard_count) throw pull_usage("--shard " + s + ": K is more than N");
    } else if (a == "--progress") {
      mode = value();
      if (mode != "live" && mode != "plain") throw pull_usage("--progress is live or plain, not \"" + mode + "\"");
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw pull_usage("unknown option " + a);
    } else {
      o.accounts.push_back(a);
    }
  }
  if (o.from.empty()) throw pull_usage("--from DATE is required");
  if (o.to.empty()) o.to = o.from;
  for (const std::string* d : {&o.from, &o.to}) {
    if (!history::parse_day(*d)) throw pull_usage("not a date (YYYY-MM-DD): \"" + *d + "\"");
  }
  if (*history::parse_day(o.to) < *history::parse_day(o.from)) throw pull_usage("--to is before --from");
  if (!history::known_zone(o.tz)) throw pull_usage("unknown time zone \"" + o.tz + "\" (an IANA name such as Asia/Shanghai)");

  const bool live = !quiet && (mode == "live" || (mode.empty() && ::isatty(STDERR_FILENO) == 1));
  const bool plain = !quiet && !live;
  std::unique_ptr<history::History> h = history::History::open(db);

  auto last_shown = std::chrono::steady_clock::time_point{};
  bool line_shown = false;
  auto on_progress = [&](const Progress& p) {
    if (plain) {
      if (p.finished) say(day_line(*p.finished));
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!p.finished && now - last_shown < std::chrono::milliseconds(100)) return;
    last_shown = now;
    const std::int64_t secs = p.elapsed.count() / 1000;
    const std::string head = "pull: " + std::to_string(p.accounts_done) + "/" + std::to_string(p.accounts_total) +
                             " accounts, " + std::to_string(p.days_done) + "/" + std::to_string(p.days_total) +
                             " days; ";
    std::string tail = std::to_string(p.pages) + " batches, " + std::to_string(p.rows) + " rows; " + duration_text(secs);
    if (p.days_done > 0 && p.days_done < p.days_total) {
      tail += ", about " + duration_text(secs * (p.days_total - p.days_done) / p.days_done) + " left";
    }
    std::string line = head + terminal_safe(p.account) + " " + p.day + "; " + tail;
    // One line that fits, or \r would not return to its start: the account goes first.
    if (display_width(line) >= terminal_columns()) line = head + p.day + "; " + tail;
    say("\r\x1b[K" + line);
    line_shown = true;
  };
  history::PullSummary summary;
  try {
    summary = h->pull(o, quiet ? std::function<void(const Progress&)>() : on_progress);
  } catch (...) {
    if (line_shown) say("\r\x1b[K");
    throw;
  }
  if (line_shown) say("\r\x1b[K");

  if (summary.results.empty()) {
    say(o.shard_count > 1 ? "qelkit pull: no account falls in shard " + std::to_string(o.shard_index) + "/" +
                                std::to_string(o.shard_count) + "\n"
                          : "qelkit pull: no stored logins; run qelkit login\n");
    return kOk;
  }
  std::size_t failed = 0;
  std::optional<int> code;
  for (const DayResult& r : summary.results) {
    if (r.ok) continue;
    ++failed;
    if (!code) code = exit_code_of(r.outcome);
  }
  const std::string counts = std::to_string(summary.results.size()) + " account-days into " + terminal_safe(db);
  if (failed > 0) {
    say("qelkit pull: " + std::to_string(failed) + " of " + counts + " failed: " + failed_text(summary.results) +
        "\n");
    return *code;
  }
  if (!quiet) say("qelkit pull: " + counts + " pulled, all ok\n");
  return kOk;
}

}  // namespace

int run_pull(const std::vector<std::string>& args) {
  try {
    return pull(args);
  } catch (const PullExit& e) {
    say("qelkit: " + e.message + "\n");
    return e.code;
  } catch (const InvalidArgumentError& e) {
    say("qelkit: " + terminal_safe(e.what()) + " (see qelkit pull --help)\n");
    return kUsage;
  } catch (const DataFileError& e) {
    say("qelkit: " + terminal_safe(e.what()) + "\n");
    return kUnreadableData;
  } catch (const std::exception& e) {
    say("qelkit: " + terminal_safe(e.what()) + "\n");
    return kFailure;
  }
}

std::vector<std::int64_t> detail_instants(const std::string& time, const std::string& from, const std::string& to,
                                          const std::string& tz) {
  const std::string zone = tz.empty() ? "UTC" : tz;
  std::vector<std::int64_t> out;
  if (from.empty()) {
    if (history::parse_day(time)) return {history::day_start(time, zone)};
    const std::optional<std::int64_t> t = parse_time(time);
    if (!t) throw InvalidArgumentError("TIME must be epoch seconds or a date YYYY-MM-DD, not \"" + time + "\"");
    return {*t};
  }
  for (const Day& d : history::day_range(from, to.empty() ? from : to)) out.push_back(history::day_start(d, zone));
  return out;
}

}  // namespace qelkit::cli
