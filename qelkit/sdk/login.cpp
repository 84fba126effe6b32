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
#include "qelkit/common/internal/fd.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/log.hpp"
#include "qelkit/common/text.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/internal/login_completion.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

using detail::member;
using detail::record_code;
using detail::text_form;

// An outcome line longer than this is not one the child writes.
constexpr std::size_t kMaxOutcomeLine = 64 * 1024;
// How much of the child's standard error is kept for a failure message.
constexpr std::size_t kStderrTail = 2048;

using detail::system_message;
using detail::UniqueFd;

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
  UniqueFd channel;  // read end of the outcome pipe
  UniqueFd errors;   // read end of the child's standard error
  std::string line;
  std::string error_tail;
  std::optional<LoginOutcome> outcome;
  bool own_program = false;  // the child is the host's own executable (no interpreter named)

  // The descriptors close, and child's destructor hands a running child to
  // the reaper.

  // Reads what is there from `fd` into `sink`; false at end of stream.
  bool read_some(UniqueFd& fd, std::string& sink, bool tail) {
    std::array<char, 4096> buf;
    ssize_t n;
    do {
      n = ::read(fd.get(), buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) {
      fd.reset();
      return false;
    }
    // The child's log lines reach this process's standard error, as they
    // would if it wrote there itself (the pipe delivers each line whole).
    if (tail && logging(LogLevel::info)) (void)!::write(STDERR_FILENO, buf.data(), static_cast<std::size_t>(n));
    sink.append(buf.data(), static_cast<std::size_t>(n));
    if (tail && sink.size() > kStderrTail) sink.erase(0, sink.size() - kStderrTail);
    if (!tail && sink.size() > kMaxOutcomeLine) {
      fd.reset();  // not a line the child writes; judged by the exit status
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
    LoginOutcome o = detail::make_outcome(LoginOutcome::Kind::failed, std::move(message));
    o.exit_status = status;
    return o;
  }

  // Reads both streams until the outcome is known or `deadline` passes (none:
  // no limit). The outcome is known when the channel reaches its end: from the
  // line, or else from the exit status once standard error has ended too.
  bool pump(std::optional<std::chrono::steady_clock::time_point> deadline) {
    while (!outcome) {
      if (!channel.valid()) {
        if (auto r = reported()) {
          outcome = std::move(*r);
          errors.reset();  // what the child still writes there is not needed
          break;
        }
        if (!errors.valid()) {
          outcome = unreported(child->wait());
          break;
        }
      }
      std::array<pollfd, 2> fds{};
      nfds_t count = 0;
      if (channel.valid()) fds[count++] = {channel.get(), POLLIN, 0};
      if (errors.valid()) fds[count++] = {errors.get(), POLLIN, 0};
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
        if (fds[i].fd == channel.get()) {
          read_some(channel, line, false);
        } else {
          read_some(errors, error_tail, true);
        }
      }
      if (last_look && channel.valid()) return false;
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
  state->modules = SpiderDriver().qr_modules(state->link);

  // Two pipes, read ends kept here: the outcome channel and the child's
  // standard error (kept for the message of a child that dies unreported).
  detail::Pipe out = detail::make_pipe("cannot make the login's outcome channel");
  detail::Pipe err = detail::make_pipe("cannot make a pipe for the login child's standard error");
  state->channel = std::move(out.read);
  state->errors = std::move(err.read);
  state->child.emplace(TaskFactory().create_task(
      std::string(detail::kLoginTaskModule), std::string(detail::kLoginTaskClass),
      std::string(detail::kLoginTaskMethod), Json::array({token}), StdStream::inherit(), StdStream::inherit(),
      StdStream::from_fd(err.write.get()), {PassedFd{out.write.get(), detail::kLoginOutcomeVariable}}));
  // The write ends close on return: only the child holds them then, so each
  // pipe ends when it does.
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
  while (s.channel.valid()) s.read_some(s.channel, s.line, false);
  s.errors.reset();
  if (auto r = s.reported()) {
    s.outcome = std::move(*r);
  } else {
    s.outcome = detail::make_outcome(LoginOutcome::Kind::cancelled, "the login was cancelled");
  }
  return *s.outcome;
}

}  // namespace qelkit
