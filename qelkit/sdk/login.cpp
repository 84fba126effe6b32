#include "qelkit/sdk/login.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/log.hpp"
#include "qelkit/common/qr_image.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/login_completion.hpp"
#include "qelkit/sdk/stored_logins.hpp"

namespace qelkit {
namespace {

using detail::member;
using detail::record_code;
using detail::text_form;

constexpr double kPollInterval = 2.0;
constexpr double kPollLimit = 300.0;

// An outcome line longer than this is not one the child writes: it cuts
// the display name it reports to kMaxReportedText bytes and the message to
// four times that, and an account id longer than kMaxReportedText is never
// stored.
constexpr std::size_t kMaxOutcomeLine = 64 * 1024;
constexpr std::size_t kMaxReportedText = 1024;
// How much of the child's standard error is kept for a failure message.
constexpr std::size_t kStderrTail = 2048;

constexpr std::array<const char*, 6> kKindNames = {"stored", "ended", "unconfirmed", "refused", "failed", "cancelled"};

LoginOutcome make(LoginOutcome::Kind kind, std::string message) {
  LoginOutcome o;
  o.kind = kind;
  o.message = std::move(message);
  return o;
}

// `text` cut to at most `limit` bytes, never inside a UTF-8 character.
std::string cut_text(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string system_message(const std::string& what, int err) {
  return what + ": " + std::generic_category().message(err);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string signal_text(int status) {
  if (status >= 0) return "exit status " + std::to_string(status);
  const char* name = ::sigabbrev_np(-status);
  return "signal " + std::to_string(-status) + (name ? std::string(" (SIG") + name + ")" : std::string());
}

// The last non-empty line of a child's standard error, without control
// characters.
std::string last_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (auto lf = text.rfind('\n'); lf != std::string::npos) text.erase(0, lf + 1);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return decode_utf8_replace(text);
}

}  // namespace

// ---- the outcome ----

const char* LoginOutcome::name(Kind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : "failed";
}

Json LoginOutcome::to_json() const {
  Json j = Json::object();
  j["outcome"] = name(kind);
  if (kind == Kind::stored) {
    j["account_id"] = account_id;
    j["display_name"] = display_name ? Json(*display_name) : Json(nullptr);
  }
  if (kind == Kind::refused || kind == Kind::ended) j["code"] = code;
  j["message"] = message;
  if (exit_status) j["exit_status"] = *exit_status;
  if (moved_aside) j["moved_aside"] = *moved_aside;
  return j;
}

LoginOutcome LoginOutcome::from_json(const Json& value) {
  if (!value.is_object()) throw ProtocolError("login outcome: not a JSON object");
  auto text = [&](const char* key) -> std::string {
    auto it = value.find(key);
    if (it == value.end() || !it->is_string()) {
      throw ProtocolError(std::string("login outcome: \"") + key + "\" is missing or not text");
    }
    return it->get<std::string>();
  };
  LoginOutcome o;
  const std::string kind = text("outcome");
  std::size_t i = 0;
  while (i < kKindNames.size() && kind != kKindNames[i]) ++i;
  if (i == kKindNames.size()) throw ProtocolError("login outcome: unknown outcome \"" + kind + "\"");
  o.kind = static_cast<Kind>(i);
  o.message = text("message");
  if (o.kind == Kind::stored) {
    o.account_id = text("account_id");
    auto name = value.find("display_name");
    if (name != value.end() && name->is_string() && !name->get_ref<const std::string&>().empty()) {
      o.display_name = name->get<std::string>();
    }
  }
  if (auto c = value.find("code"); c != value.end()) {
    if (!c->is_number_integer()) throw ProtocolError("login outcome: \"code\" is not an integer");
    o.code = c->get<std::int64_t>();
  }
  if (auto s = value.find("exit_status"); s != value.end()) {
    if (!s->is_number_integer()) throw ProtocolError("login outcome: \"exit_status\" is not an integer");
    o.exit_status = s->get<int>();
  }
  if (auto m = value.find("moved_aside"); m != value.end()) {
    if (!m->is_string()) throw ProtocolError("login outcome: \"moved_aside\" is not text");
    o.moved_aside = m->get<std::string>();
  }
  return o;
}

// ---- the completion's steps (run in the child) ----

namespace detail {

std::string confirm_link(const std::string& token) {
  return platform_origin() + "/mobile/confirm_login.html?token=" + token;
}

Completion complete_login(const std::string& token) {
  Clock& clock = current_clock();
  const double start = clock.now();
  Json last;
  int status = 0;
  while (clock.now() - start < kPollLimit) {
    clock.sleep(kPollInterval);
    last = SpiderDriver().als(token);
    status = record_code(last, "login status");
    if (logging(LogLevel::debug)) log_event(LogLevel::debug, "login_status", {{"status", std::to_string(status)}});
    if (status == 1 || status == 4) break;
  }
  Completion done;
  if (status == 4) {
    done.outcome = make(LoginOutcome::Kind::ended,
                        "the platform ended the login: it was cancelled on the phone or the code expired");
    done.outcome.code = 4;
    return done;
  }
  if (status != 1) {
    done.outcome = make(LoginOutcome::Kind::unconfirmed, "no login was confirmed within " +
                                                             std::to_string(static_cast<int>(kPollLimit)) + " seconds");
    return done;
  }

  // Poll: confirmed. Session: the id from the captured cookie.
  const Json& session_value = member(member(last, "data", "login status"), "session_id", "login status: data");
  if (!session_value.is_string()) throw ProtocolError("login status: the session id is not text");
  const std::string session_id = session_value.get<std::string>();
  // Stored, it would be of no use: decryption gives back only valid UTF-8
  // text, so every later query would fail.
  if (decode_utf8_replace(session_id) != session_id) {
    throw ProtocolError("login status: the session id is not valid UTF-8 text; nothing was stored");
  }

  // Account data.
  std::int64_t refused_code = 0;
  std::optional<Json> auth = SpiderDriver().add(session_id, &refused_code);
  if (!auth || record_code(*auth, "authorisation data") != 0) {
    const std::int64_t code = auth ? record_code(*auth, "authorisation data") : refused_code;
    done.outcome = make(LoginOutcome::Kind::refused, "the platform did not grant the account data (code " +
                                                         std::to_string(code) + "); nothing was stored");
    done.outcome.code = code;
    done.refused_unexpectedly = !auth;
    return done;
  }
  const Json& account = member(*auth, "data", "authorisation data");
  const std::string encrypted = storage_crypto().encrypt(session_id);
  const std::string account_id =
      text_form(member(account, "uniqId", "authorisation data: finderUser"), "the account's uniqId");
  if (account_id.size() > kMaxReportedText) {
    throw ProtocolError("authorisation data: the account's uniqId is " + std::to_string(account_id.size()) +
                        " bytes long, more than an account id may be (" + std::to_string(kMaxReportedText) +
                        "); nothing was stored");
  }
  std::optional<std::string> display_name;
  if (auto nick = account.find("nickname"); nick != account.end() && nick->is_string() &&
                                            !nick->get_ref<const std::string&>().empty()) {
    display_name = nick->get<std::string>();
  }

  // Store.
  std::string moved_aside;
  try {
    update_stored_logins([&](Json& stored) { stored[account_id] = encrypted; }, Unreadable::move_aside,
                         &moved_aside);
  } catch (const Error& e) {
    throw SystemError("could not write the login of account " + account_id + ": " + e.what());
  }
  done.outcome = make(LoginOutcome::Kind::stored, "stored the login of account " + account_id);
  done.outcome.account_id = account_id;
  done.outcome.display_name = std::move(display_name);
  if (!moved_aside.empty()) {
    done.outcome.message += "; " + moved_aside;
    done.outcome.moved_aside = std::move(moved_aside);
  }
  return done;
}

std::optional<int> take_outcome_channel() {
  const char* value = std::getenv(kLoginOutcomeVariable);
  if (value == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long fd = std::strtol(value, &end, 10);
  const bool number = errno == 0 && end != value && *end == '\0';
  ::unsetenv(kLoginOutcomeVariable);
  if (!number || fd < 3 || fd > INT_MAX) return std::nullopt;
  // Only a pipe is a login's channel: a value inherited by accident must not
  // send the line into some other file this process has open.
  struct stat st {};
  if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode)) return std::nullopt;
  // Ours alone: nothing this process starts inherits it.
  const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
  if (flags < 0 || ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC) < 0) return std::nullopt;
  return static_cast<int>(fd);
}

void report_outcome(int channel, const LoginOutcome& outcome) {
  // A host that dropped its Login has closed the other end; this process is
  // a login child and writes to no pipe whose loss should end it.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  // Bounded, so that the line always reaches the login object whole (the
  // display name and messages carry platform text of any length).
  LoginOutcome bounded = outcome;
  bounded.message = cut_text(std::move(bounded.message), 4 * kMaxReportedText);
  if (bounded.display_name) bounded.display_name = cut_text(std::move(*bounded.display_name), kMaxReportedText);
  std::string line = bounded.to_json().dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(channel, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(channel);
}

LoginOutcome failed_outcome(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return make(LoginOutcome::Kind::failed, e.what());
  } catch (...) {
    return make(LoginOutcome::Kind::failed, "the login completion failed with an unknown exception");
  }
}

}  // namespace detail

// ---- the login object (host side) ----

struct Login::State {
  std::string link;
  std::string data_url;
  std::vector<std::vector<bool>> modules;
  std::optional<Process> child;
  int channel = -1;  // read end of the outcome pipe
  int errors = -1;   // read end of the child's standard error
  std::string line;
  std::string error_tail;
  std::optional<LoginOutcome> outcome;
  bool own_program = false;  // the child is the host's own executable (no interpreter named)

  ~State() {
    close_fd(channel);
    close_fd(errors);
    // child's destructor hands a running child to the reaper
  }

  // Reads what is there from `fd` into `sink`; false at end of stream.
  bool read_some(int& fd, std::string& sink, bool tail) {
    std::array<char, 4096> buf;
    ssize_t n;
    do {
      n = ::read(fd, buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) {
      close_fd(fd);
      return false;
    }
    // The child's log lines reach this process's standard error, as they
    // would if it wrote there itself (the pipe delivers each line whole).
    if (tail && logging(LogLevel::info)) (void)!::write(STDERR_FILENO, buf.data(), static_cast<std::size_t>(n));
    sink.append(buf.data(), static_cast<std::size_t>(n));
    if (tail && sink.size() > kStderrTail) sink.erase(0, sink.size() - kStderrTail);
    if (!tail && sink.size() > kMaxOutcomeLine) {
      close_fd(fd);  // not a line the child writes; judged by the exit status
      return false;
    }
    return true;
  }

  // The reported outcome, when the line reads as one.
  std::optional<LoginOutcome> reported() const {
    if (line.empty() || line.back() != '\n') return std::nullopt;
    try {
      return LoginOutcome::from_json(Json::parse(line));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  // The outcome of a child that ended without a report.
  LoginOutcome unreported(int status) const {
    std::string message = "the login child ended without reporting an outcome (" + signal_text(status) + ")";
    const std::string err = last_line(error_tail);
    if (!err.empty()) message += ": " + err;
    // A child that ran the completion reports before it exits; one that
    // exits on its own without a word most likely never got to run it.
    if (own_program && status >= 0) {
      message += "; the child is this program started with -c and a script, so its main probably does not call "
                 "qelkit::handle_child_task(argc, argv) first (it must, before anything else)";
    }
    LoginOutcome o = make(LoginOutcome::Kind::failed, std::move(message));
    o.exit_status = status;
    return o;
  }

  // Reads both streams until the outcome is known or `deadline` passes (none:
  // no limit). The outcome is known when the channel reaches its end: from the
  // line, or else from the exit status once standard error has ended too.
  bool pump(std::optional<std::chrono::steady_clock::time_point> deadline) {
    while (!outcome) {
      if (channel < 0) {
        if (auto r = reported()) {
          outcome = std::move(*r);
          close_fd(errors);  // what the child still writes there is not needed
          break;
        }
        if (errors < 0) {
          outcome = unreported(child->wait());
          break;
        }
      }
      std::array<pollfd, 2> fds{};
      nfds_t count = 0;
      if (channel >= 0) fds[count++] = {channel, POLLIN, 0};
      if (errors >= 0) fds[count++] = {errors, POLLIN, 0};
      // Past the deadline, what is already there is still read once.
      int ms = -1;
      bool last_look = false;
      if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
        last_look = left.count() <= 0;
        ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
      }
      const int r = ::poll(fds.data(), count, ms);
      if (r < 0) {
        if (errno == EINTR) continue;
        throw SystemError(system_message("cannot wait for the login child " + std::to_string(child->pid()), errno));
      }
      if (r == 0) return false;
      for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == channel) {
          read_some(channel, line, false);
        } else {
          read_some(errors, error_tail, true);
        }
      }
      if (last_look && channel >= 0) return false;
    }
    return true;
  }
};

Login::Login(std::unique_ptr<State> state) : state_(std::move(state)) {}
Login::Login(Login&&) noexcept = default;
Login& Login::operator=(Login&&) noexcept = default;
Login::~Login() = default;

Login Login::start() {
  detail::stored_logins();  // an unreadable data file: DataFileError, and no token is asked for
  Json record = SpiderDriver().ale();
  const int code = record_code(record, "login code");
  if (code != 0) {
    throw PlatformError(code, "the platform refused to issue a login code (code " + std::to_string(code) + ")");
  }
  const std::string token = text_form(member(record, "data", "login code"), "the login token");

  auto state = std::make_unique<State>();
  state->own_program = child_host().executable.empty();
  state->link = detail::confirm_link(token);
  state->data_url = SpiderDriver().gqb(state->link);
  state->modules = detail::qr_modules(state->link);

  // Two pipes, read ends kept here: the outcome channel and the child's
  // standard error (kept for the message of a child that dies unreported).
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) < 0) throw SystemError(system_message("cannot make the login's outcome channel", errno));
  state->channel = out[0];
  if (::pipe2(err, O_CLOEXEC) < 0) {
    ::close(out[1]);
    throw SystemError(system_message("cannot make a pipe for the login child's standard error", errno));
  }
  state->errors = err[0];
  try {
    state->child.emplace(TaskFactory().create_task(
        std::string(detail::kLoginTaskModule), std::string(detail::kLoginTaskClass),
        std::string(detail::kLoginTaskMethod), Json::array({token}), StdStream::inherit(), StdStream::inherit(),
        StdStream::from_fd(err[1]), {PassedFd{out[1], detail::kLoginOutcomeVariable}}));
  } catch (...) {
    ::close(out[1]);
    ::close(err[1]);
    throw;
  }
  // Only the child holds the write ends now, so each pipe ends when it does.
  ::close(out[1]);
  ::close(err[1]);
  return Login(std::move(state));
}

const std::string& Login::link() const { return state_->link; }
const std::string& Login::data_url() const { return state_->data_url; }
const std::vector<std::vector<bool>>& Login::modules() const { return state_->modules; }

LoginOutcome Login::wait() {
  state_->pump(std::nullopt);
  return *state_->outcome;
}

std::optional<LoginOutcome> Login::wait(std::chrono::milliseconds timeout) {
  if (!state_->pump(std::chrono::steady_clock::now() + timeout)) return std::nullopt;
  return state_->outcome;
}

std::optional<LoginOutcome> Login::outcome() const { return state_->outcome; }

LoginOutcome Login::cancel() {
  State& s = *state_;
  if (s.outcome) return *s.outcome;
  // Not yet waited for, so the pid is still this child's.
  if (!s.child->poll()) ::kill(s.child->pid(), SIGKILL);
  s.child->wait();
  // The child is gone: what it wrote before it died can be read to the end.
  while (s.channel >= 0) s.read_some(s.channel, s.line, false);
  close_fd(s.errors);
  if (auto r = s.reported()) {
    s.outcome = std::move(*r);
  } else {
    s.outcome = make(LoginOutcome::Kind::cancelled, "the login was cancelled");
  }
  return *s.outcome;
}

}  // namespace qelkit
