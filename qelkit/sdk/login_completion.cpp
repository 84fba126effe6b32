// The child side of a login: the completion's steps and the outcome report.
#include "qelkit/sdk/internal/login_completion.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/internal/fd.hpp"
#include "qelkit/common/log.hpp"
#include "qelkit/common/text.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

using detail::member;
using detail::record_code;
using detail::text_form;

constexpr double kPollInterval = 2.0;
constexpr double kPollLimit = 300.0;

// The login object reads an outcome line of at most 64 KiB: the child cuts
// the display name it reports to kMaxReportedText bytes and the message to
// four times that, and never stores an account id longer than
// kMaxReportedText.
constexpr std::size_t kMaxReportedText = 1024;

// `text` cut to at most `limit` bytes, never inside a UTF-8 character.
std::string cut_text(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

}  // namespace

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
    done.outcome = make_outcome(LoginOutcome::Kind::ended,
                        "the platform ended the login: it was cancelled on the phone or the code expired");
    done.outcome.code = 4;
    return done;
  }
  if (status != 1) {
    done.outcome = make_outcome(LoginOutcome::Kind::unconfirmed, "no login was confirmed within " +
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
    done.outcome = make_outcome(LoginOutcome::Kind::refused, "the platform did not grant the account data (code " +
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
  done.outcome = make_outcome(LoginOutcome::Kind::stored, "stored the login of account " + account_id);
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
  detail::write_all(channel, line);
  ::close(channel);
}

LoginOutcome failed_outcome(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return make_outcome(LoginOutcome::Kind::failed, e.what());
  } catch (...) {
    return make_outcome(LoginOutcome::Kind::failed, "the login completion failed with an unknown exception");
  }
}

}  // namespace detail

}  // namespace qelkit
