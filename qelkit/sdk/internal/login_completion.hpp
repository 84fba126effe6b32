// The login completion's steps and its outcome channel (internal to qelfacade),
// shared by QelDriver::ce and Login.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "qelkit/sdk/login_outcome.hpp"

namespace qelkit::detail {

// The child task that completes a login: the facade's row of the child-task
// table, started by QelDriver::get_login_qrcode_base64 and by Login alike.
inline constexpr std::string_view kLoginTaskModule = "qelkit.sdk.qelfacade";
inline constexpr std::string_view kLoginTaskClass = "QelDriver";
inline constexpr std::string_view kLoginTaskMethod = "ce";

// The environment variable that names, in a child started by Login, the
// inherited descriptor the child writes its outcome line to.
inline constexpr const char* kLoginOutcomeVariable = "QELKIT_LOGIN_OUTCOME_FD";

// The confirm-login link of `token`, as the phone opens it.
std::string confirm_link(const std::string& token);

// What the login completion came to, short of a failure.
struct Completion {
  LoginOutcome outcome;  // stored, ended, unconfirmed or refused
  // The platform refused the account data with an errCode other than the
  // expired session's: the facade's completion reports that as a failure.
  bool refused_unexpectedly = false;
};

// The login completion: polls the status of `token` every 2 seconds for up to
// 300 seconds (through the process-wide clock); once confirmed takes the
// session id, fetches the account data and stores the encrypted session id
// under the account id. Failures (the platform unreachable or answering
// unreadably, a session id that is not UTF-8, the data file not writable)
// are thrown as qelkit errors.
Completion complete_login(const std::string& token);

// The outcome channel of this process, when a Login started it: the
// descriptor named by kLoginOutcomeVariable, which is taken out of the
// environment and made close-on-exec. nullopt in a child the facade started
// (and when the variable names no open pipe).
std::optional<int> take_outcome_channel();

// Writes `outcome` as one JSON line to the channel and closes it. A host
// that has gone away (a dropped Login) is no failure: SIGPIPE is ignored and
// a write error ends the report quietly.
void report_outcome(int channel, const LoginOutcome& outcome);

// An outcome of `kind` with `message`.
LoginOutcome make_outcome(LoginOutcome::Kind kind, std::string message);

// The failed outcome of the error being handled (call inside a catch).
LoginOutcome failed_outcome(const std::exception_ptr& error);

}  // namespace qelkit::detail
