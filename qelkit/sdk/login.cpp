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
#include "qelkit/common/text.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/login_completion.hpp"
#include "qelkit/sdk/stored_logins.hpp"

namespace qelkit {
namespace {

using detail::member;
using detail::record_code;
using detail::text_form;

// An outcome line longer than this is not one the child writes.
constexpr std::size_t kMaxOutcomeLine = 64 * 1024;
// How much of the child's standard error is kept for a failure message.
constexpr std::size_t kStderrTail = 2048;

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
    LoginOutcome o = detail::make_outcome(LoginOutcome::Kind::failed, std::move(message));
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
  Json record = SpiderDriver().ale();
  const int code = record_code(record, "login code");
  if (code != 0) {
    throw PlatformError(code, "the platform refused to issue a login code (code " + std::to_string(code) + ")");
  }
  const std::string token = text_form(member(record, "data", "login code"), "the login token");

  auto state = std::make_unique<State>();
  state->link = detail::confirm_link(token);
  state->data_url = SpiderDriver().gqb(state->link);
  state->modules = SpiderDriver().qr_modules(state->link);

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
    s.outcome = detail::make_outcome(LoginOutcome::Kind::cancelled, "the login was cancelled");
  }
  return *s.outcome;
}

}  // namespace qelkit
