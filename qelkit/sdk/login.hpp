// Login: a QR login that the host can wait for.
//
// Login::start() asks the platform for a login token and starts the login
// completion in a child process of the host, exactly as
// QelDriver::get_login_qrcode_base64() does (the same child task, the same
// lock, data file and encryption), but keeps the child's handle. The host
// shows the code (link(), data_url() or modules()), then learns how the login
// ended from wait():
//
//   qelkit::Login login = qelkit::Login::start();
//   show(login.data_url());
//   qelkit::LoginOutcome outcome = login.wait();
//   if (outcome.kind == qelkit::LoginOutcome::Kind::stored) use(outcome.account_id);
//
// How the outcome travels: the login keeps the read end of a pipe whose write
// end the child inherits (its number is named in the child's environment).
// The child runs the same steps as QelDriver::ce (poll the status, take the
// session, fetch the account data, store it) and writes one JSON line with
// the outcome of exactly this login to that pipe before it ends; the login
// reads the pipe to its end and takes the exit status from the child. A
// child that ends without writing its line is a failed outcome naming its exit
// status or signal. The data file is never compared, so several logins at
// once each learn their own account.
//
// The child's standard error goes to the login object, which keeps its end
// for the message of a child that dies unreported; with the log on
// (QELKIT_LOG, see qelkit/common/log.hpp) what the child writes there is
// passed on to this process's standard error while the login is waited for.
//
// A Login that is dropped before its outcome is known leaves the child
// running: the login still completes and is stored, and the child is reaped
// in the background, as with the facade.
//
// Thread safety: a Login is used by one thread at a time; different Login
// objects are independent. Every descriptor a Login holds is close-on-exec.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/json.hpp"
#include "qelkit/sdk/login_outcome.hpp"

namespace qelkit {

class Login {
 public:
  // Asks the platform for a login token and starts the login completion.
  // A data file that exists but does not read as a JSON object is a
  // DataFileError naming it, before a token is asked for: the login would
  // have to move it aside, and the logins it holds would silently go out of
  // use (the message says how to move it aside or repair it).
  // Throws PlatformError (code 100) when the platform refuses a token (no
  // child is started), NoReplyError or ProtocolError when it cannot be
  // reached or answers in a way that cannot be read, and SystemError when the
  // child cannot be started.
  static Login start();

  // A moved-from Login may only be assigned to or destroyed.
  Login(Login&&) noexcept;
  Login& operator=(Login&&) noexcept;
  Login(const Login&) = delete;
  Login& operator=(const Login&) = delete;
  // Closes the outcome channel; a child still running is left to finish on
  // its own (and reaped in the background).
  ~Login();

  // The confirm-login link the phone opens (what the QR code holds).
  const std::string& link() const;
  // The QR code of link() as a PNG data URL (SpiderDriver::gqb).
  const std::string& data_url() const;
  // The modules of the same QR symbol, without a quiet zone: rows top to
  // bottom, each left to right, true for a dark module. A drawing needs a
  // light quiet zone of four modules around them.
  const std::vector<std::vector<bool>>& modules() const;

  // Waits for the outcome and returns it. Later calls return the same
  // outcome at once.
  LoginOutcome wait();
  // Waits at most `timeout`; returns nullopt when the outcome is not known by
  // then (the login goes on, and wait() may be called again).
  std::optional<LoginOutcome> wait(std::chrono::milliseconds timeout);
  // The outcome when known, without waiting.
  std::optional<LoginOutcome> outcome() const;

  // Ends the login: kills the child and reaps it. Returns the cancelled
  // outcome, or the outcome already known or reported before the child ended
  // (a login stored just before the cancel stays stored and is reported as
  // such). Later waits return the same outcome.
  LoginOutcome cancel();

 private:
  struct State;
  explicit Login(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace qelkit
