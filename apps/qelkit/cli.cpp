#include "apps/qelkit/cli.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <string>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "apps/qelkit/console/console.hpp"
#include "apps/qelkit/private_file.hpp"
#include "apps/qelkit/pull.hpp"
#include "apps/qelkit/table.hpp"
#include "apps/qelkit/terminal_qr.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/log.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/accounts.hpp"
#include "qelkit/sdk/login.hpp"
#include "qelkit/common/platform_codes.hpp"
#include "qelkit/sdk/statistics.hpp"

namespace qelkit::cli {
namespace {

// ---------------------------------------------------------------------------
// Help texts

constexpr const char* kMainHelp = R"(Usage: qelkit <command> [options]

A command-line host for the qelkit SDK: log a creator account in by QR code
and read its native-drama statistics.

Commands:
  login      show a login QR code; with --wait, wait for the login and
             print the id of the account it stored
  accounts   list the stored accounts; with --check, each one's display
             name and whether its login is still live
  logout     forget the stored login of an account
  keepalive  send the platform's heartbeat for stored accounts
  stats      one page of an account's per-drama statistics for a time span
  detail     every page of an account's detailed statistics at one time
             (or at the start of each day of a span)
  pull       every stored account's statistics, day by day, into a
             statistics history (SQLite, or PostgreSQL for a team)
  console    a web console on 127.0.0.1: accounts, logins, pulls, charts
  help       show this help, or a command's help (qelkit help stats)

Run 'qelkit <command> --help' for the options of a command.

  -v, --verbose  (anywhere on the line) log each platform request, retry and
                 busy wait on standard error, as QELKIT_LOG=info does;
                 QELKIT_LOG=debug logs more. No log line holds a session id,
                 cookie, login token or the data file's content.

Stored logins live in json/data.json under the current directory.
The platform is reached at %s
(QELKIT_PLATFORM_ORIGIN overrides it; QELKIT_CA_FILE names a PEM file of
extra trusted certificates).

Exit status:
  0  success
  1  any other failure (for example a file that cannot be written)
  2  the command line is wrong
  3  no stored login for the account
  4  the stored login does not decrypt
  5  the platform cannot be reached or stayed busy (also when only some
     detail pages could not be fetched)
  6  the platform refused the request (for example an expired login) or
     answered unexpectedly
  7  login --wait: no login was confirmed in time
  8  the data file (json/data.json) exists but is unreadable
  9  login --wait: the login was cancelled on the phone or its code expired
  10 login --wait: the platform did not grant the account's data
  11 login --wait: the login could not be completed or stored
)";

constexpr const char* kLoginHelp = R"(Usage: qelkit login [--png FILE] [--wait [--json]] [--qr STYLE] [--print-link]

Asks the platform for a login code and shows it as a QR code. Scan it with
the platform's phone app and confirm the login: it then completes in the
background and stores the account in json/data.json under the current
directory.

Options:
  --png FILE  also save the QR image, as PNG, in FILE (readable by you
              only: whoever decodes it can take the login over)
  --qr STYLE  how to draw the code: colour (black on white, for any theme;
              the default on a terminal that takes colours), or, without
              colours, dark or light (the terminal's background; the
              default then follows COLORFGBG, else dark)
  --wait      wait until this login has an outcome (at most 300 s for the
              confirmation), then print the id of the account it stored on
              standard output (its display name goes to standard error);
              the QR code goes to standard error when standard output is
              not a terminal, so id=$(qelkit login --wait) shows the code
              and keeps the id
  --json      with --wait: print the outcome as one JSON object instead:
              {"outcome": "stored", "account_id": ..., "display_name": ...,
              "message": ...}, or "ended", "unconfirmed", "refused" (with
              "code") or "failed"
  --print-link  also print the confirm link the code holds, as one line
              after the code (on the same stream), for testing without a
              phone: the substitute platform's confirm control takes the
              token at its end
  -h, --help  show this help

Exit status: 0 done; 5 platform unreachable; 6 platform refused a login
code; with --wait: 7 not confirmed within 300 s, 9 cancelled on the phone or
the code expired, 10 the platform did not grant the account's data, 11 the
login could not be completed or stored; 1 other failure.
)";

constexpr const char* kAccountsHelp = R"(Usage: qelkit accounts [--check] [--json]

Lists the accounts stored in json/data.json under the current directory, one
per line, in the order they were first stored: the id, and after a tab the
display name that the last check found (kept in json/names.json), when one
did.

Options:
  --check     ask the platform about each account, a few at a time: shows a
              table of the account id, its display name and whether its
              login is live or expired (an expired one must log in again;
              it shows the name from its last successful check)
  --json      print JSON for scripts: a list of the ids, or with --check a
              list of {"account", "display_name" (null when none), "state"
              ("live", "expired" or "error"), "error" (with "error" only)}
  -h, --help  show this help

Exit status: 0 done (also with no stored login, and when some logins have
expired); 8 the data file is unreadable; 2 wrong command line. With --check,
when an account could not be checked, the others are still shown and the
status is that of the first failure: 4 stored login does not decrypt; 5
platform unreachable; 6 platform refused; 1 other failure.
)";

constexpr const char* kLogoutHelp = R"(Usage: qelkit logout ACCOUNT

Forgets the stored login of ACCOUNT: removes it from json/data.json under the
current directory and leaves the other accounts as they are. The platform is
not asked; the account can log in again at any time.

  ACCOUNT     a stored account id (see qelkit accounts)

Options:
  -h, --help  show this help

Exit status: 0 done; 2 wrong command line; 3 account not stored; 8 the data
file is unreadable (it is left untouched); 1 other failure (for example the
file cannot be written).
)";

constexpr const char* kKeepaliveHelp = R"(Usage: qelkit keepalive [ACCOUNT...]

Sends the platform's online heartbeat with the stored login of each ACCOUNT,
or of every stored account when none is named, and prints the id of each
account it was sent for. The platform answers a heartbeat with no status, so
"sent" does not mean that the login is still valid (an expired one is sent
too): qelkit accounts --check tells, and keepalive says so on standard error.

  ACCOUNT     a stored account id (see qelkit accounts)

Options:
  -h, --help  show this help

Exit status: 0 done (also with no stored login); 2 wrong command line. When
the heartbeat could not be sent for an account, the others are still served
and the status is that of the first failure: 3 account not stored; 4 stored
login does not decrypt; 5 platform unreachable; 8 data file unreadable; 1
other failure.
)";

constexpr const char* kStatsHelp = R"(Usage: qelkit stats ACCOUNT START END [--page N | --all-pages] [--json | --csv]

Shows one page (five entries) of the account's per-drama statistics for the
span from START to END: drama name, views, IAA income and mount income.

  ACCOUNT     a stored account id (see qelkit accounts)
  START, END  epoch seconds, or a date YYYY-MM-DD (midnight, local time)

Options:
  --page N    the page to show, counted from 1 (default 1)
  --all-pages every page of the span, up to the first that is not full
  --json      print the rows as JSON
  --csv       print CSV (RFC 4180) with a header record
  -h, --help  show this help

Exit status: 0 done; 2 wrong command line; 3 account not stored; 4 stored
login does not decrypt; 5 platform unreachable or busy; 6 platform refused
(for example an expired login); 8 data file unreadable; 1 other failure.
)";

constexpr const char* kDetailHelp = R"(Usage: qelkit detail ACCOUNT TIME [--tz ZONE] [--columns LIST] [--json | --csv]
       qelkit detail ACCOUNT --from DATE [--to DATE] [--tz ZONE] [--columns LIST] [--json | --csv]

Shows every page of the account's detailed native-drama statistics at TIME,
or at the start of each day from --from to --to (both included), one row
per drama and day (dates as YYYY-MM-DD, account ids as text). Pages are
fetched six at a time; on a terminal a live count of the rows fetched is
shown on standard error.

  ACCOUNT     a stored account id (see qelkit accounts)
  TIME        epoch seconds, or a date YYYY-MM-DD (the start of that day)

A date's day starts at its midnight in --tz ZONE, an IANA time-zone name
(default UTC, whatever TZ says). The platform's days are UTC days: a row's
date is the UTC day of the instant asked for.

Options:
  --from DATE the first day, YYYY-MM-DD, instead of TIME
  --to DATE   the last day (default: --from)
  --tz ZONE   the zone whose midnight starts a day (default UTC)
  --columns LIST  only these columns, in this order (table and CSV), for a
                  table that fits the terminal, e.g.
                  --columns date,drama_name,drama_read_count,iaa_income; of
                  date, qel_id, drama_name, is_mount, feed_read_count,
                  drama_read_count, iaa_income, mount_income, qel_nickname
  --json      print {"code": 0, "data": rows} as JSON
  --csv       print CSV (RFC 4180) with a header record
  -h, --help  show this help

Exit status: 0 done; 2 wrong command line; 3 account not stored; 4 stored
login does not decrypt; 5 platform unreachable or busy (also when only some
pages could not be fetched); 6 platform refused (for example an expired
login, or a page refused); 8 data file unreadable; 1 other failure. Nothing
is printed on standard output unless every page was fetched.
)";

const std::vector<std::string> kStatsColumns = {"drama_name", "view_number", "iaa_income", "mount_income"};
const std::vector<std::string> kDetailColumns = {"date",           "qel_id",          "drama_name",
                                                 "is_mount",       "feed_read_count", "drama_read_count",
                                                 "iaa_income",     "mount_income",    "qel_nickname"};

// ---------------------------------------------------------------------------
// Failures

// A failure that ends the command: its exit status and one line of text.
struct Exit {
  int code;
  std::string message;
};

Exit usage(const std::string& command, const std::string& message) {
  std::string help = command.empty() ? "qelkit --help" : "qelkit " + command + " --help";
  return Exit{kUsage, message + " (see " + help + ")"};
}

// ---------------------------------------------------------------------------
// Argument parsing

struct OptionSpec {
  std::string name;  // "--page"
  bool takes_value;
};

struct Parsed {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // name -> value ("" for flags)
  bool has(const std::string& name) const { return options.count(name) != 0; }
};

bool looks_negative_number(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

Parsed parse_options(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs) {
  Parsed parsed;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-" || looks_negative_number(arg)) {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.options["--help"] = "";
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const OptionSpec* option = nullptr;
    for (const auto& s : specs) {
      if (s.name == name) option = &s;
    }
    if (!option) throw usage(command, "unknown option " + name + " for qelkit " + command);
    if (option->takes_value) {
      if (!value) {
        if (i + 1 >= args.size()) throw usage(command, "option " + name + " needs a value");
        value = args[++i];
      }
      parsed.options[name] = *value;
    } else {
      if (value) throw usage(command, "option " + name + " takes no value");
      parsed.options[name] = "";
    }
  }
  return parsed;
}

std::int64_t time_argument(const std::string& command, const std::string& what, const std::string& text) {
  if (auto t = parse_time(text)) return *t;
  throw usage(command, what + " must be epoch seconds or a date YYYY-MM-DD, not \"" + text + "\"");
}

enum class Format { Table, Json, Csv };

Format output_format(const std::string& command, const Parsed& p) {
  if (p.has("--json") && p.has("--csv")) throw usage(command, "choose one of --json and --csv");
  if (p.has("--json")) return Format::Json;
  if (p.has("--csv")) return Format::Csv;
  return Format::Table;
}

// ---------------------------------------------------------------------------
// Output

bool is_tty(FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool colours_wanted(FILE* stream) {
  const char* no_color = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return is_tty(stream) && !(no_color && *no_color) && !(term && std::strcmp(term, "dumb") == 0);
}

void put(FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

// A status line on standard error that rewrites itself; only on a terminal.
// A signal that asks qelkit to end (Ctrl-C, TERM, a closed terminal) while a
// login is waited for: the login's child is cancelled before qelkit exits,
// so that no login completes unseen after qelkit has gone (its child would
// otherwise poll on, in a directory that may be gone too).
volatile std::sig_atomic_t stop_signal = 0;

class StopSignals {
 public:
  StopSignals() {
    struct sigaction note {};
    note.sa_handler = [](int sig) { stop_signal = sig; };
    ::sigemptyset(&note.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      ::sigaction(kSignals[i], nullptr, &previous_[i]);
      // An ignored SIGINT (a background job of a script) stays ignored.
      if (kSignals[i] == SIGINT && previous_[i].sa_handler == SIG_IGN) continue;
      ::sigaction(kSignals[i], &note, nullptr);
    }
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
};

class StatusLine {
 public:
  StatusLine() : live_(is_tty(stderr)) {}
  ~StatusLine() { clear(); }
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  bool live() const { return live_; }
  void show(const std::string& text) {
    if (!live_) return;
    put(stderr, "\r\x1b[K" + text);
    std::fflush(stderr);
    shown_ = true;
  }
  void clear() {
    if (!shown_) return;
    put(stderr, "\r\x1b[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  bool live_;
  bool shown_ = false;
};

// Prints a line at a time: the rows are the one copy of the result.
// The columns --columns chose from `all` (every one without it).
std::vector<std::string> chosen_columns(const std::string& command, const Parsed& p, Format format,
                                        const std::vector<std::string>& all) {
  if (!p.has("--columns")) return all;
  if (format == Format::Json) throw usage(command, "--columns goes with the table or --csv, not --json");
  std::vector<std::string> chosen;
  const std::string& list = p.options.at("--columns");
  for (std::size_t start = 0;;) {
    const std::size_t comma = list.find(',', start);
    const std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (std::find(all.begin(), all.end(), name) == all.end()) {
      std::string known;
      for (const std::string& c : all) known += (known.empty() ? "" : ", ") + c;
      throw usage(command, "--columns: no column \"" + terminal_safe(name) + "\" (the columns: " + known + ")");
    }
    chosen.push_back(name);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return chosen;
}

void print_rows(Format format, const std::vector<std::string>& columns, const Json& rows,
                const Json& facade_result) {
  const LineSink out = [](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); };
  switch (format) {
    case Format::Json:
      render_json(facade_result, out);
      out("\n");
      break;
    case Format::Csv:
      if (is_tty(stdout)) {
        // Read on the terminal, not kept: exact only into a file or a pipe.
        render_csv(columns, rows, [&](std::string_view record) {
          const std::string_view end = "\r\n";
          if (record.ends_with(end)) record.remove_suffix(end.size());
          out(terminal_safe(record) + std::string(end));
        });
      } else {
        render_csv(columns, rows, out);
      }
      break;
    case Format::Table:
      render_table(columns, rows, out);
      if (rows.empty()) put(stderr, "no statistics found\n");
      break;
  }
}

// ---------------------------------------------------------------------------
// Facade failures -> exit status

// " for page 2" or " for pages 0, 1": the pages a detailed query could not fetch.
std::string failed_pages_note(const Error& e) {
  const auto& failed = e.failed_pages();
  if (failed.empty()) return "";
  std::string note = failed.size() == 1 ? " for page " : " for pages ";
  for (std::size_t i = 0; i < failed.size(); ++i) note += (i ? ", " : "") + std::to_string(failed[i].page);
  return note;
}

// The exit status of each kind is the kind table's; these are the ones the
// command's help names.
static_assert(error_kind_info(ErrorKind::account_not_stored).exit_status == kUnknownAccount);
static_assert(error_kind_info(ErrorKind::stored_login).exit_status == kUndecryptable);
static_assert(error_kind_info(ErrorKind::no_reply).exit_status == kUnreachable);
static_assert(error_kind_info(ErrorKind::platform_busy).exit_status == kUnreachable);
static_assert(error_kind_info(ErrorKind::platform).exit_status == kRefused);
static_assert(error_kind_info(ErrorKind::data_file).exit_status == kUnreadableData);
static_assert(error_kind_info(ErrorKind::error).exit_status == kFailure);

// The command's exit for a qelkit failure: the kind's status, and one line
// saying what to do. `what` names what was asked of the platform.
Exit error_exit(const Error& e, const std::string& what) {
  std::string message;
  switch (e.kind()) {
    case ErrorKind::login_expired:
      message = "the login of account " + static_cast<const LoginExpiredError&>(e).account() +
                " has expired; run qelkit login";
      break;
    case ErrorKind::data_file:
      message = e.what();  // it says how to repair the file or move it aside
      break;
    case ErrorKind::platform_busy:
      message = "the platform stayed busy and did not serve " + what + failed_pages_note(e) + "; try again later";
      break;
    case ErrorKind::platform:
      message = "the platform refused " + what + " (errCode " +
                std::to_string(static_cast<const PlatformError&>(e).code()) + failed_pages_note(e) + ")";
      break;
    case ErrorKind::no_reply:
    case ErrorKind::transport:
      message = "cannot reach the platform at " + platform_origin() + ": " + e.what();
      break;
    case ErrorKind::stored_login:
      message = "the stored login for account " + static_cast<const StoredLoginError&>(e).account() +
                " does not decrypt (written by another build, or damaged); run qelkit login again";
      break;
    case ErrorKind::account_not_stored:
      message = "no stored login for account " + static_cast<const AccountNotStoredError&>(e).account() +
                "; run qelkit login";
      break;
    case ErrorKind::protocol:
    case ErrorKind::conversion:
    case ErrorKind::page_limit:
      message = std::string("the platform's answer was not understood: ") + e.what();
      break;
    case ErrorKind::error:
    case ErrorKind::decoding:
    case ErrorKind::invalid_argument:
    case ErrorKind::authentication:
    case ErrorKind::system:
      message = e.what();
      break;
  }
  // It may quote the account id or the platform.
  return Exit{error_kind_info(e.kind()).exit_status, terminal_safe(message)};
}

// The exit for the failure in flight (inside a catch) of a library call.
Exit failure_exit(const std::string& what) {
  try {
    throw;
  } catch (const Error& e) {
    return error_exit(e, what);
  } catch (const std::exception& e) {
    return Exit{kFailure, terminal_safe(e.what())};
  }
}

// ---------------------------------------------------------------------------
// Commands

std::string login_refusal(std::int64_t code) {
  if (code == kCodeTokenRefused) return "the platform refused to issue a login code";
  return "the platform refused the login (code " + std::to_string(code) + ")";
}

// The modules of a login's QR symbol, with the standard quiet zone, for drawing.
QrModules drawable(const std::vector<std::vector<bool>>& symbol) {
  constexpr int kQuiet = 4;
  QrModules qr;
  const int width = static_cast<int>(symbol.size());
  qr.size = width + 2 * kQuiet;
  qr.quiet = kQuiet;
  qr.module_px = 1;
  qr.dark.assign(static_cast<std::size_t>(qr.size) * static_cast<std::size_t>(qr.size), false);
  for (int y = 0; y < width; ++y) {
    const auto& row = symbol[static_cast<std::size_t>(y)];
    for (int x = 0; x < width && x < static_cast<int>(row.size()); ++x) {
      qr.dark[static_cast<std::size_t>(y + kQuiet) * static_cast<std::size_t>(qr.size) + (x + kQuiet)] =
          row[static_cast<std::size_t>(x)];
    }
  }
  return qr;
}

// The exit of a login that stored nothing; its message is printed as it is,
// so platform text in it is made terminal-safe here.
Exit login_exit(const LoginOutcome& outcome) {
  switch (outcome.kind) {
    case LoginOutcome::Kind::ended:
      return Exit{kLoginEnded, "the login was cancelled on the phone or its code expired; run qelkit login again"};
    case LoginOutcome::Kind::unconfirmed:
      return Exit{kLoginTimeout, "no login was confirmed within " + std::to_string(kLoginWaitSeconds) +
                                     " seconds; run qelkit login again"};
    case LoginOutcome::Kind::refused:
      return Exit{kLoginRefused, "the platform did not grant the account's data (code " +
                                     std::to_string(outcome.code) + "); nothing was stored"};
    default:
      return Exit{kLoginFailed, "the login could not be completed: " + terminal_safe(outcome.message)};
  }
}

// The outcome for scripts: JSON, ASCII only, so nothing from the platform can
// reach the terminal as a control sequence.
std::string outcome_json(const LoginOutcome& outcome) {
  return outcome.to_json().dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}

// Writes the QR image to --png's file, when one was asked for.
void save_png(std::optional<PrivateFile>& file, const std::string& png) {
  if (!file) return;
  try {
    file->commit(png);
  } catch (const std::runtime_error& e) {
    throw Exit{kFailure, e.what()};
  }
}

int cmd_login(const Parsed& p) {
  if (!p.positional.empty()) throw usage("login", "unexpected argument \"" + p.positional.front() + "\"");
  const bool wait = p.has("--wait");
  const bool json = p.has("--json");
  if (json && !wait) throw usage("login", "--json goes with --wait");
  FILE* qr_stream = (wait && !is_tty(stdout)) ? stderr : stdout;
  QrStyle qr_style = default_qr_style(colours_wanted(qr_stream), std::getenv("COLORFGBG"));
  if (p.has("--qr")) {
    const std::string& name = p.options.at("--qr");
    const auto style = parse_qr_style(name);
    if (!style) throw usage("login", "--qr must be colour, dark or light, not \"" + name + "\"");
    qr_style = *style;
  }

  // Prepare the PNG file first, so a bad path fails before a login is
  // started. The image is as secret as the login: its owner's alone.
  std::optional<PrivateFile> png_file;
  if (p.has("--png")) {
    try {
      png_file.emplace(p.options.at("--png"));
    } catch (const std::runtime_error& e) {
      throw Exit{kFailure, e.what()};
    }
  }
  // A login never starts while the data file does not read: the login child
  // would move it aside, and the logins it holds would go out of use.
  try {
    Accounts::list();
  } catch (...) {
    throw failure_exit("the data file");
  }
  const bool print_link = p.has("--print-link");
  // Only a login that is waited for is cancelled by a signal: without --wait
  // it completes in the background.
  std::optional<StopSignals> stop_signals;
  if (wait) stop_signals.emplace();
  std::optional<Login> login;
  try {
    login.emplace(Login::start());
  } catch (const PlatformError& e) {
    throw Exit{kRefused, login_refusal(e.code())};
  } catch (...) {
    throw failure_exit("the login code request");
  }
  const auto started = std::chrono::steady_clock::now();
  save_png(png_file, png_from_data_url(login->data_url()));
  // The code, one line of text and the cursor's line fit the terminal.
  const TerminalSize screen = terminal_size(::fileno(qr_stream));
  put(qr_stream, render_half_blocks(drawable(login->modules()), qr_style, screen.rows - 2, screen.columns));
  if (print_link) put(qr_stream, terminal_safe(login->link()) + "\n");
  std::fflush(qr_stream);
  if (!wait) {
    // The login completes in the background; dropping it leaves it running.
    put(stderr, "Scan it with the phone app and confirm; the login then lands in json/data.json.\n");
    return kOk;
  }
  put(stderr, "Scan the code with the platform's phone app and confirm the login.\n");

  StatusLine status;
  if (!status.live()) put(stderr, "Waiting up to 300 s for the login to be confirmed...\n");
  std::fflush(stderr);
  // The completion ends by itself (confirmed, ended, refused, failed, or
  // after its own 300 s); the wait only pauses to refresh the status line.
  std::optional<LoginOutcome> outcome;
  while (!(outcome = login->wait(std::chrono::milliseconds(250)))) {
    if (const int sig = stop_signal) {
      outcome = login->cancel();  // the outcome it had reported, if any, stands
      if (outcome->kind == LoginOutcome::Kind::stored) break;
      status.clear();
      throw Exit{128 + sig, "the login was cancelled (signal " + std::to_string(sig) + ")"};
    }
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    status.show("Waiting for the login to be confirmed on the phone... " + std::to_string(waited) +
                " s (gives up after " + std::to_string(kLoginWaitSeconds) + " s)");
  }
  status.clear();
  if (json) put(stdout, outcome_json(*outcome));
  if (outcome->moved_aside) put(stderr, "qelkit: " + terminal_safe(*outcome->moved_aside) + "\n");
  if (outcome->kind != LoginOutcome::Kind::stored) throw login_exit(*outcome);

  const std::string id = terminal_safe(outcome->account_id);
  if (!json) put(stdout, id + "\n");
  put(stderr, outcome->display_name ? "Logged in as " + terminal_safe(*outcome->display_name) + " (account " + id + ")\n"
                                    : "Logged in: account " + id + "\n");
  return kOk;
}

// JSON text for scripts: the exact texts, escaped as JSON needs.
std::string json_text(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

int cmd_accounts(const Parsed& p) {
  if (!p.positional.empty()) {
    throw usage("accounts", "unexpected argument \"" + terminal_safe(p.positional.front()) + "\"");
  }
  const bool as_json = p.has("--json");
  std::vector<std::string> ids;
  try {
    ids = Accounts::list();
  } catch (...) {
    throw failure_exit("the data file");
  }
  if (ids.empty() && !as_json) put(stderr, "no stored logins; run qelkit login\n");

  if (!p.has("--check")) {
    if (as_json) {
      put(stdout, json_text(Json(ids)) + "\n");
    } else {
      for (const std::string& id : ids) {
        const std::optional<std::string> name = Accounts::remembered_name(id);
        put(stdout, terminal_safe(id) + (name ? "\t" + terminal_safe(*name) : std::string()) + "\n");
      }
    }
    return kOk;
  }

  // Each account is checked even when another could not be: the first
  // failure (in the order listed) sets the exit status, every one is reported.
  std::optional<Exit> first_failure;
  Json rows = Json::array();
  for (const AccountCheckResult& result : Accounts::check_all(ids)) {
    const std::string& id = result.account;
    Json row = Json::object();
    row["account"] = id;
    row["display_name"] = nullptr;
    try {
      if (result.failure) std::rethrow_exception(result.failure);
      const AccountCheck& checked = *result.check;
      // An expired login shows the name its last successful check found.
      const std::optional<std::string> name = checked.live() ? checked.display_name : Accounts::remembered_name(id);
      if (name) row["display_name"] = *name;
      row["state"] = checked.live() ? "live" : "expired";
    } catch (...) {
      Exit failure = failure_exit("the check of account " + id);
      row["state"] = "error";
      row["error"] = failure.message;
      put(stderr, "qelkit: " + failure.message + "\n");
      if (!first_failure) first_failure = std::move(failure);
    }
    rows.push_back(std::move(row));
  }
  if (as_json) {
    put(stdout, json_text(rows) + "\n");
  } else if (!rows.empty()) {
    put(stdout, render_table({"account", "display_name", "state"}, rows));
  }
  return first_failure ? first_failure->code : kOk;
}

int cmd_logout(const Parsed& p) {
  if (p.positional.size() != 1) throw usage("logout", "expected one ACCOUNT");
  const std::string& account = p.positional[0];
  bool forgotten = false;
  try {
    forgotten = Accounts::forget(account);
  } catch (const Error& e) {
    Exit exit = error_exit(e, "the data file");
    if (e.kind() == ErrorKind::data_file) exit.message = terminal_safe(e.what()) + "; it was left as it is";
    throw exit;
  } catch (...) {
    throw failure_exit("the data file");
  }
  if (!forgotten) {
    throw Exit{kUnknownAccount, "no stored login for account " + terminal_safe(account) + "; nothing to forget"};
  }
  put(stderr, "forgot the stored login of account " + terminal_safe(account) + "\n");
  return kOk;
}

int cmd_keepalive(const Parsed& p) {
  std::vector<std::string> ids = p.positional;
  if (ids.empty()) {
    try {
      ids = Accounts::list();
    } catch (...) {
      throw failure_exit("the data file");
    }
    if (ids.empty()) put(stderr, "no stored logins; run qelkit login\n");
  }
  std::optional<Exit> first_failure;
  for (const std::string& id : ids) {
    try {
      Accounts::heartbeat(id);
      put(stdout, terminal_safe(id) + "\n");
    } catch (...) {
      Exit failure = failure_exit("the heartbeat of account " + id);
      put(stderr, "qelkit: " + failure.message + "\n");
      if (!first_failure) first_failure = std::move(failure);
    }
  }
  if (!ids.empty()) {
    put(stderr, "a heartbeat does not tell whether a login is still valid (the platform answers it with no "
                "status); run qelkit accounts --check to see which logins are live\n");
  }
  return first_failure ? first_failure->code : kOk;
}

Json list_rows(const std::vector<ListEntry>& entries) {
  Json rows = Json::array();
  for (const ListEntry& e : entries) {
    rows.push_back(Json{{"drama_name", e.drama_name},
                        {"view_number", e.view_number},
                        {"iaa_income", e.iaa_income},
                        {"mount_income", e.mount_income}});
  }
  return rows;
}

int cmd_stats(const Parsed& p) {
  if (p.positional.size() != 3) throw usage("stats", "expected ACCOUNT START END");
  const std::string& account = p.positional[0];
  const std::int64_t start = time_argument("stats", "START", p.positional[1]);
  const std::int64_t end = time_argument("stats", "END", p.positional[2]);
  if (start > end) throw usage("stats", "START is after END");
  std::int64_t page = 1;
  const bool all_pages = p.has("--all-pages");
  if (p.has("--page")) {
    if (all_pages) throw usage("stats", "choose one of --page and --all-pages");
    const std::string& text = p.options.at("--page");
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), page);
    if (ec != std::errc() || ptr != text.data() + text.size() || page < 1) {
      throw usage("stats", "--page must be a whole number from 1, not \"" + text + "\"");
    }
  }
  const Format format = output_format("stats", p);

  Json rows;
  try {
    rows = list_rows(all_pages ? Statistics::list_all(account, start, end)
                               : Statistics::list(account, start, end, page));
  } catch (...) {
    throw failure_exit("the statistics query");
  }
  print_rows(format, kStatsColumns, rows, rows);
  return kOk;
}

// The typed rows as the table, CSV and JSON printers take them; each row is
// moved out, so the rows are held once.
void append_detail_rows(Json& out, std::vector<DetailRow>&& rows) {
  auto& array = out.get_ref<Json::array_t&>();
  array.reserve(array.size() + rows.size());
  for (DetailRow& r : rows) {
    Json row = Json::object();
    row["date"] = std::move(r.date);
    row["qel_id"] = std::move(r.qel_id);
    row["drama_name"] = std::move(r.drama_name);
    row["is_mount"] = r.is_mount;
    row["feed_read_count"] = r.feed_read_count;
    row["drama_read_count"] = r.drama_read_count;
    row["iaa_income"] = r.iaa_income;
    row["mount_income"] = r.mount_income;
    row["qel_nickname"] = std::move(r.qel_nickname);
    array.push_back(std::move(row));
  }
  rows.clear();
}

int cmd_detail(const Parsed& p) {
  const bool span = p.has("--from");
  if (p.positional.size() != (span ? 1u : 2u)) throw usage("detail", span ? "expected ACCOUNT" : "expected ACCOUNT TIME");
  if (!span && p.has("--to")) throw usage("detail", "--to goes with --from");
  const std::string& account = p.positional[0];
  auto option = [&p](const char* name) { return p.has(name) ? p.options.at(name) : std::string(); };
  std::vector<std::int64_t> times;
  try {
    times = detail_instants(span ? "" : p.positional[1], option("--from"), option("--to"), option("--tz"));
  } catch (const InvalidArgumentError& e) {
    throw usage("detail", terminal_safe(e.what()));
  }
  const Format format = output_format("detail", p);
  const std::vector<std::string> columns = chosen_columns("detail", p, format, kDetailColumns);

  // Nothing goes to standard output unless every page came, so the rows are
  // gathered; on a terminal a live count runs on standard error (the sink
  // runs on the query's thread while this one waits for the query).
  StatusLine status;
  Json result = Json::object();
  result["code"] = 0;
  result["data"] = Json::array();
  Json& rows = result["data"];
  try {
    for (const std::int64_t time : times) {  // one day's rows after another, as one result
      Statistics::detail(account, time, [&](std::vector<DetailRow>&& batch) {
        append_detail_rows(rows, std::move(batch));
        status.show("Fetching detailed statistics: " + std::to_string(rows.size()) + " rows");
      });
    }
  } catch (...) {
    status.clear();
    throw failure_exit("the detailed statistics download");
  }
  status.clear();
  print_rows(format, columns, rows, result);
  return kOk;
}

struct Command {
  const char* name;
  const char* help;
  std::vector<OptionSpec> options;
  int (*run)(const Parsed&);
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"login",
       kLoginHelp,
       {{"--png", true}, {"--wait", false}, {"--json", false}, {"--qr", true}, {"--print-link", false}},
       &cmd_login},
      {"accounts", kAccountsHelp, {{"--check", false}, {"--json", false}}, &cmd_accounts},
      {"logout", kLogoutHelp, {}, &cmd_logout},
      {"keepalive", kKeepaliveHelp, {}, &cmd_keepalive},
      {"stats", kStatsHelp, {{"--page", true}, {"--all-pages", false}, {"--json", false}, {"--csv", false}},
       &cmd_stats},
      {"detail", kDetailHelp,
       {{"--columns", true}, {"--json", false}, {"--csv", false}, {"--from", true}, {"--to", true}, {"--tz", true}},
       &cmd_detail},
  };
  return table;
}

const Command* find_command(const std::string& name) {
  for (const auto& c : commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string main_help() {
  const std::string origin = platform_origin();
  std::vector<char> buf(std::strlen(kMainHelp) + origin.size() + 1);
  std::snprintf(buf.data(), buf.size(), kMainHelp, origin.c_str());
  return buf.data();
}

int dispatch(std::vector<std::string> args) {
  // -v anywhere: the log at info, for this process and the login child it
  // starts (a debug level already asked for stays).
  const auto verbose = std::remove_if(args.begin(), args.end(),
                                      [](const std::string& a) { return a == "-v" || a == "--verbose"; });
  if (verbose != args.end()) {
    args.erase(verbose, args.end());
    if (!logging(LogLevel::info)) ::setenv("QELKIT_LOG", "info", 1);
  }
  if (args.empty()) throw usage("", "no command given");
  const std::string& first = args[0];
  if (first == "-h" || first == "--help") {
    put(stdout, main_help());
    return kOk;
  }
  if (first == "--version") {
    // The version, then what requests go out with: the libraries under the
    // transport, how far the browser is impersonated, and where to.
    const TransportInfo t = transport_info();
    std::string text = "qelkit 0.1.0\n";
    text += "libcurl " + t.libcurl + " (TLS: " + t.tls + "; HTTP/2: " + (t.http2.empty() ? "none" : t.http2) + ")\n";
    text += "impersonation: " + t.impersonation + "\n";
    text += "platform origin: " + platform_origin() + "\n";
    const std::string bundle = !t.ca_path.empty()     ? "system certificates in " + t.ca_path
                               : !t.ca_bundle.empty() ? "system bundle " + t.ca_bundle
                                                      : "no system certificates";
    text += "CA file: " + (t.ca_file.empty() ? bundle + " (QELKIT_CA_FILE not set)" : t.ca_file + " (QELKIT_CA_FILE), with the " + bundle) + "\n";
    put(stdout, text);
    return kOk;
  }
  if (first == "help") {
    if (args.size() == 1) {
      put(stdout, main_help());
      return kOk;
    }
    if (args[1] == "pull") {
      put(stdout, kPullHelp);
      return kOk;
    }
    if (args[1] == "console") return console::run({"--help"});
    const Command* c = find_command(args[1]);
    if (!c) throw usage("", "unknown command \"" + args[1] + "\"");
    put(stdout, c->help);
    return kOk;
  }
  if (first == "pull") return run_pull({args.begin() + 1, args.end()});
  if (first == "console") return console::run({args.begin() + 1, args.end()});
  const Command* c = find_command(first);
  if (!c) throw usage("", "unknown command \"" + first + "\"");
  const Parsed parsed = parse_options(first, {args.begin() + 1, args.end()}, c->options);
  if (parsed.has("--help")) {
    put(stdout, c->help);
    return kOk;
  }
  return c->run(parsed);
}

}  // namespace

std::optional<std::int64_t> parse_time(std::string_view text) {
  auto all_digits = [](std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (all_digits(text) || (text.size() > 1 && text[0] == '-' && all_digits(text.substr(1)))) {
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
  }
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !all_digits(text.substr(0, 4)) ||
      !all_digits(text.substr(5, 2)) || !all_digits(text.substr(8, 2))) {
    return std::nullopt;
  }
  const int year = std::stoi(std::string(text.substr(0, 4)));
  const int month = std::stoi(std::string(text.substr(5, 2)));
  const int day = std::stoi(std::string(text.substr(8, 2)));
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  // mktime normalises 2026-02-30 to March 2nd; such a date does not exist.
  if (tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  int code;
  try {
    code = dispatch(args);
  } catch (const Exit& e) {
    // Messages may quote platform text: one line, nothing a terminal obeys.
    std::fflush(stdout);
    put(stderr, "qelkit: " + terminal_safe(e.message) + "\n");
    return e.code;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    put(stderr, "qelkit: " + terminal_safe(e.what()) + "\n");
    return kFailure;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    put(stderr, std::string("qelkit: cannot write the output: ") + std::strerror(errno) + "\n");
    return kFailure;
  }
  return code;
}

}  // namespace qelkit::cli
