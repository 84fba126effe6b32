#include "qelkit/common/taskspawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "qelkit/common/errors.hpp"

namespace qelkit {

namespace {

// Nested lists deeper than this are refused, both when writing and reading a
// script, so that neither side can be driven into deep recursion.
constexpr int kMaxListDepth = 64;

std::string errno_text(int err) { return std::generic_category().message(err); }

[[noreturn]] void throw_system(const std::string& what, int err) {
  throw SystemError(what + ": " + errno_text(err));
}

// A text shown in a message: JSON-quoted, so it is one line whatever it holds.
std::string shown(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A close-on-exec copy of `fd` numbered 3 or above, so that moving it onto a
// standard stream in the child never collides with another stream.
Fd dup_above_std(int fd, const char* stream) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) {
    throw_system(std::string("cannot use descriptor ") + std::to_string(fd) + " for the child's " + stream, errno);
  }
  return Fd(copy);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool is_identifier(std::string_view s) {
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (s.empty() || !alpha(s.front())) return false;
  return std::all_of(s.begin(), s.end(), [&](char c) { return alpha(c) || digit(c); });
}

bool is_dotted_name(std::string_view s) {
  while (true) {
    auto dot = s.find('.');
    if (!is_identifier(s.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    s.remove_prefix(dot + 1);
  }
}

void check_names(std::string_view module_name, std::string_view class_name) {
  if (!is_dotted_name(module_name)) {
    throw InvalidArgumentError("module name " + shown(module_name) + " is not a dotted name of identifiers");
  }
  if (!is_identifier(class_name)) {
    throw InvalidArgumentError("class name " + shown(class_name) + " is not an identifier");
  }
}

// JSON text literal; refuses bytes that are not UTF-8.
std::string text_literal(const std::string& text, const char* what) {
  try {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    throw InvalidArgumentError(std::string(what) + " is not valid UTF-8: " + shown(text));
  }
}

// Refuses anything that is not a text, a finite number or a list of them.
void check_argument(const Json& v, int depth) {
  switch (v.type()) {
    case Json::value_t::string:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return;
    case Json::value_t::number_float:
      if (!std::isfinite(v.get<double>())) {
        throw InvalidArgumentError("argument " + v.dump() + " is not a finite number");
      }
      return;
    case Json::value_t::array:
      if (depth >= kMaxListDepth) {
        throw InvalidArgumentError("arguments nest lists deeper than " + std::to_string(kMaxListDepth) + " levels");
      }
      for (const auto& e : v) check_argument(e, depth + 1);
      return;
    default:
      throw InvalidArgumentError(std::string("an argument of type ") + v.type_name() +
                                 " has no literal in a child script (texts, numbers and lists only)");
  }
}

void append_literal(std::string& out, const Json& v) {
  if (v.is_string()) {
    out += text_literal(v.get_ref<const std::string&>(), "an argument text");
  } else if (v.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& e : v) {
      if (!first) out += ", ";
      first = false;
      append_literal(out, e);
    }
    out += ']';
  } else {
    out += v.dump();  // numbers only, checked by check_argument
  }
}

std::string current_dir() {
  std::error_code ec;
  auto dir = std::filesystem::current_path(ec);
  if (ec) throw SystemError("cannot read the current working directory: " + ec.message());
  return dir.string();
}

std::string own_executable() {
  std::string buf(256, '\0');
  while (true) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) throw_system("cannot find the host executable (/proc/self/exe)", errno);
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return st;  // waitpid without WUNTRACED reports nothing else
}

// ---- reaping of dropped children ----

// Children whose reaper thread could not be created; collected without
// blocking whenever the launcher is used again.
std::mutex& orphans_mutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<pid_t>& orphans() {
  static auto* v = new std::vector<pid_t>;
  return *v;
}

void reap_orphans() noexcept {
  try {
    std::lock_guard<std::mutex> lock(orphans_mutex());
    auto& list = orphans();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](pid_t pid) {
                                int st;
                                return ::waitpid(pid, &st, WNOHANG) != 0;  // ended, or not ours any more
                              }),
               list.end());
  } catch (...) {
  }
}

void* reap_one(void* arg) {
  auto pid = static_cast<pid_t>(reinterpret_cast<std::intptr_t>(arg));
  int st;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

// Waits for `pid` in the background: a small detached thread blocked in
// waitpid for exactly this child. Signals are blocked in that thread so the
// host's handlers keep running on its own threads.
void hand_to_reaper(pid_t pid) noexcept {
  int st;
  pid_t r = ::waitpid(pid, &st, WNOHANG);
  if (r == pid || (r < 0 && errno == ECHILD)) return;

  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) {
    try {
      std::lock_guard<std::mutex> lock(orphans_mutex());
      orphans().push_back(pid);
    } catch (...) {
    }
    return;
  }
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  long min_stack = ::sysconf(_SC_THREAD_STACK_MIN);
  ::pthread_attr_setstacksize(&attr, std::max<std::size_t>(64 * 1024, min_stack > 0 ? min_stack : 0));
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  int rc = ::pthread_create(&thread, &attr, &reap_one, reinterpret_cast<void*>(static_cast<std::intptr_t>(pid)));
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    try {
      std::lock_guard<std::mutex> lock(orphans_mutex());
      orphans().push_back(pid);
    } catch (...) {
    }
  }
}

// Blocks SIGPIPE on this thread for its lifetime, so that writing to a pipe
// whose reader is gone gives EPIPE instead of killing the host; a SIGPIPE
// raised meanwhile is consumed unless one was already pending.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!was_pending_) {
      timespec zero{};
      while (::sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

// ---- the child's side ----

// Line 0 stands for the arguments taken from the environment.
[[noreturn]] void bad_line(int line, const std::string& why) {
  if (line == 0) {
    throw InvalidArgumentError(std::string("malformed child arguments (") + kChildArgsVariable + "): " + why);
  }
  throw InvalidArgumentError("malformed child script: line " + std::to_string(line) + ": " + why);
}

std::string_view strip(std::string_view line, int n, std::string_view prefix, std::string_view suffix) {
  if (line.size() < prefix.size() + suffix.size() || line.substr(0, prefix.size()) != prefix ||
      line.substr(line.size() - suffix.size()) != suffix) {
    bad_line(n, "expected " + shown(std::string(prefix) + "..." + std::string(suffix)) + ", found " + shown(line));
  }
  return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
}

Json parse_literal(std::string_view text, int n) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (text.empty() || space(text.front()) || space(text.back())) {
    bad_line(n, "literal " + shown(text) + " is empty or has surrounding white space");
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    bad_line(n, "literal " + shown(text) + " is not JSON: " + e.what());
  }
}

std::string text_from(std::string_view literal, int n, const char* what) {
  Json v = parse_literal(literal, n);
  if (!v.is_string()) bad_line(n, std::string(what) + " must be a JSON text, found " + shown(literal));
  return v.get<std::string>();
}

// An argument list: a JSON list of what check_argument accepts.
Json args_literal(std::string_view text, int n) {
  Json args = parse_literal(text, n);
  if (!args.is_array()) bad_line(n, "the arguments must be a JSON list, found " + shown(text));
  try {
    check_argument(args, 0);
  } catch (const InvalidArgumentError& e) {
    bad_line(n, e.what());
  }
  return args;
}

// Takes the arguments' variable out of this process's environment: a copy of
// its value, or nullopt when it is not set. The value's bytes are
// overwritten before the variable is removed, so neither a later reader of
// this process's environment nor a process it starts sees them.
std::optional<std::string> take_args_variable() {
  char* value = std::getenv(kChildArgsVariable);
  if (value == nullptr) return std::nullopt;
  std::string copy(value);
  ::explicit_bzero(value, copy.size());
  ::unsetenv(kChildArgsVariable);
  return copy;
}

ChildScript*& running_script() {
  static ChildScript* script = nullptr;
  return script;
}

// One line for standard error: control characters become spaces.
std::string one_line(std::string s) {
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return s;
}

[[noreturn]] void end_child(int status, const std::string& failure) {
  std::cout.flush();
  std::fflush(stdout);
  if (status != 0) {
    std::string line = "qelkit child task: " + one_line(failure) + "\n";
    std::fputs(line.c_str(), stderr);
  }
  std::cerr.flush();
  std::fflush(stderr);
  std::exit(status);
}

}  // namespace

std::string decode_utf8_replace(std::string_view bytes) {
  // The serializer's "replace" policy turns each maximal invalid subsequence
  // into one U+FFFD; parsing the result back undoes the JSON escaping.
  return Json::parse(Json(std::string(bytes)).dump(-1, ' ', false, Json::error_handler_t::replace))
      .get<std::string>();
}

// ---- Process ----

Process::Process(Process&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      status_(std::exchange(o.status_, std::nullopt)),
      in_(std::exchange(o.in_, -1)),
      out_(std::exchange(o.out_, -1)),
      err_(std::exchange(o.err_, -1)) {}

Process& Process::operator=(Process&& o) noexcept {
  if (this != &o) {
    release();
    pid_ = std::exchange(o.pid_, -1);
    status_ = std::exchange(o.status_, std::nullopt);
    in_ = std::exchange(o.in_, -1);
    out_ = std::exchange(o.out_, -1);
    err_ = std::exchange(o.err_, -1);
  }
  return *this;
}

Process::~Process() { release(); }

void Process::release() {
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
  if (pid_ > 0 && !status_) {
    hand_to_reaper(pid_);
    reap_orphans();
  }
  pid_ = -1;
  status_.reset();
}

int Process::wait() {
  if (status_) return *status_;
  if (pid_ <= 0) throw InvalidArgumentError("this process handle holds no child");
  int st = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &st, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) throw_system("cannot wait for child process " + std::to_string(pid_), errno);
  status_ = decode_status(st);
  return *status_;
}

std::optional<int> Process::poll() {
  if (status_) return status_;
  if (pid_ <= 0) throw InvalidArgumentError("this process handle holds no child");
  int st = 0;
  pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r < 0 && errno != EINTR) throw_system("cannot poll child process " + std::to_string(pid_), errno);
  if (r == pid_) status_ = decode_status(st);
  return status_;
}

void Process::write_stdin(std::string_view text) {
  if (in_ < 0) throw InvalidArgumentError("the child's standard input is not an open pipe");
  SigpipeGuard guard;
  while (!text.empty()) {
    ssize_t n = ::write(in_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_system("cannot write to the standard input of child process " + std::to_string(pid_), errno);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Process::close_stdin() { close_fd(in_); }

std::string Process::read_all(int& fd, const char* name) {
  if (fd < 0) throw InvalidArgumentError(std::string("the child's ") + name + " is not a pipe");
  std::string bytes;
  std::array<char, 65536> buf;
  while (true) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_system(std::string("cannot read the ") + name + " of child process " + std::to_string(pid_), errno);
    }
    if (n == 0) break;
    bytes.append(buf.data(), static_cast<std::size_t>(n));
  }
  return decode_utf8_replace(bytes);
}

std::string Process::read_stdout_all() { return read_all(out_, "standard output"); }

std::string Process::read_stderr_all() { return read_all(err_, "standard error"); }

std::pair<std::string, std::string> Process::communicate(std::string_view input) {
  SigpipeGuard guard;
  if (in_ >= 0) {
    if (input.empty()) {
      close_fd(in_);
    } else {
      int flags = ::fcntl(in_, F_GETFL);
      if (flags < 0 || ::fcntl(in_, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw_system("cannot prepare the standard input of child process " + std::to_string(pid_), errno);
      }
    }
  }
  std::string out, err;
  bool out_open = out_ >= 0, err_open = err_ >= 0;
  std::array<char, 65536> buf;
  while (in_ >= 0 || out_open || err_open) {
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    if (in_ >= 0) fds[count++] = {in_, POLLOUT, 0};
    if (out_open) fds[count++] = {out_, POLLIN, 0};
    if (err_open) fds[count++] = {err_, POLLIN, 0};
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      throw_system("cannot wait for the pipes of child process " + std::to_string(pid_), errno);
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == in_) {
        ssize_t n = ::write(in_, input.data(), std::min<std::size_t>(input.size(), 65536));
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
          if (errno != EPIPE) {
            throw_system("cannot write to the standard input of child process " + std::to_string(pid_), errno);
          }
          input = {};  // the child stopped reading: the rest is not wanted
        } else if (n > 0) {
          input.remove_prefix(static_cast<std::size_t>(n));
        }
        if (input.empty()) close_fd(in_);
        continue;
      }
      ssize_t n = ::read(fd, buf.data(), buf.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        throw_system("cannot read the output of child process " + std::to_string(pid_), errno);
      }
      std::string& sink = fd == out_ ? out : err;
      if (n == 0) {
        (fd == out_ ? out_open : err_open) = false;
      } else {
        sink.append(buf.data(), static_cast<std::size_t>(n));
      }
    }
  }
  wait();
  return {decode_utf8_replace(out), decode_utf8_replace(err)};
}

// ---- TaskFactory ----

namespace {

std::mutex& child_host_mutex() {
  static auto* m = new std::mutex;
  return *m;
}
ChildHost& child_host_setting() {
  static auto* host = new ChildHost;
  return *host;
}

}  // namespace

void set_child_host(ChildHost host) {
  std::lock_guard<std::mutex> lock(child_host_mutex());
  child_host_setting() = std::move(host);
}

ChildHost child_host() {
  std::lock_guard<std::mutex> lock(child_host_mutex());
  return child_host_setting();
}

namespace {

// The six lines around the fourth, which binds `args`.
std::string script_around(const std::string& project_root, const std::string& module_name,
                          const std::string& class_name, const std::string& method_name,
                          const std::string& args_line) {
  check_names(module_name, class_name);
  std::string script = "import sys\nsys.path.insert(0, ";
  script += text_literal(project_root, "the project root");
  script += ")\nfrom ";
  script += module_name;
  script += " import ";
  script += class_name;
  script += "\n";
  script += args_line;
  script += "\nobj = ";
  script += class_name;
  script += "()\ngetattr(obj, ";
  script += text_literal(method_name, "the method name");
  script += ")(*args)\n";
  return script;
}

// The fourth line that takes the arguments from the environment: valid
// Python, which pops the variable so the child's own children do not inherit
// it; the C++ runner recognises it character for character.
const std::string& args_from_environment_line() {
  static const std::string* line = new std::string(
      "args = __import__(\"json\").loads(__import__(\"os\").environ.pop(" +
      text_literal(kChildArgsVariable, "the variable name") + "))");
  return *line;
}

}  // namespace

std::string TaskFactory::child_args_text(const Json& method_args) {
  if (!method_args.is_null() && !method_args.is_array()) {
    throw InvalidArgumentError(std::string("method arguments must be a list, not ") + method_args.type_name());
  }
  const Json args = method_args.is_null() ? Json::array() : method_args;
  check_argument(args, 0);
  std::string text;
  append_literal(text, args);
  return text;
}

std::string TaskFactory::build_script(const std::string& project_root, const std::string& module_name,
                                      const std::string& class_name, const std::string& method_name) {
  return script_around(project_root, module_name, class_name, method_name, args_from_environment_line());
}

std::string TaskFactory::build_script(const std::string& project_root, const std::string& module_name,
                                      const std::string& class_name, const std::string& method_name,
                                      const Json& method_args) {
  check_names(module_name, class_name);
  const std::string args = child_args_text(method_args);
  return script_around(project_root, module_name, class_name, method_name, "args = " + args);
}

Process TaskFactory::create_task(const std::string& module_name, const std::string& class_name,
                                 const std::string& method_name, const Json& method_args, StdStream stdin_,
                                 StdStream stdout_, StdStream stderr_) {
  reap_orphans();
  const ChildHost host = child_host();
  const std::string root = current_dir();
  const std::string script =
      build_script(host.module_root.empty() ? root : host.module_root, module_name, class_name, method_name);
  const std::string args_entry = std::string(kChildArgsVariable) + "=" + child_args_text(method_args);
  const std::string program = host.executable.empty() ? own_executable() : host.executable;

  static constexpr const char* kStreamNames[3] = {"standard input", "standard output", "standard error"};
  const StdStream streams[3] = {stdin_, stdout_, stderr_};
  Fd child_end[3], host_end[3];
  for (int i = 0; i < 3; ++i) {
    switch (streams[i].kind) {
      case StdStream::Kind::inherit:
        break;
      case StdStream::Kind::fd:
        child_end[i] = dup_above_std(streams[i].fd, kStreamNames[i]);
        break;
      case StdStream::Kind::pipe: {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) < 0) throw_system(std::string("cannot make a pipe for the child's ") + kStreamNames[i], errno);
        Fd read_end(p[0]), write_end(p[1]);
        Fd& child_side = i == 0 ? read_end : write_end;
        host_end[i] = std::move(i == 0 ? write_end : read_end);
        child_end[i] = child_side.get() >= 3 ? std::move(child_side) : dup_above_std(child_side.get(), kStreamNames[i]);
        break;
      }
    }
  }

  posix_spawn_file_actions_t actions;
  if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) throw_system("cannot prepare a child process", rc);
  posix_spawnattr_t attr;
  if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    throw_system("cannot prepare a child process", rc);
  }
  struct Cleanup {
    posix_spawn_file_actions_t* a;
    posix_spawnattr_t* b;
    ~Cleanup() {
      ::posix_spawn_file_actions_destroy(a);
      ::posix_spawnattr_destroy(b);
    }
  } cleanup{&actions, &attr};

  int rc = ::posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
  for (int i = 0; i < 3 && rc == 0; ++i) {
    if (child_end[i].get() >= 0) rc = ::posix_spawn_file_actions_adddup2(&actions, child_end[i].get(), i);
  }
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &empty);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &defaults);
  if (rc == 0) rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) throw_system("cannot prepare a child process", rc);

  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                  nullptr};
  // The host's environment as it is now, with the arguments' variable set
  // (replacing one the host may have inherited); the host's own is untouched.
  const std::string args_name = std::string(kChildArgsVariable) + "=";
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with(args_name)) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(args_entry.c_str()));
  envp.push_back(nullptr);
  // The image is taken from /proc/self/exe, so the child runs the very build
  // the host runs even if the file has since been replaced; argv[0] names it.
  // A named host executable is started by its own path (an interpreter finds
  // its installation from it).
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, host.executable.empty() ? "/proc/self/exe" : program.c_str(), &actions, &attr, argv,
                     envp.data());
  if (rc != 0) throw_system("cannot start child process " + program, rc);
  return Process(pid, host_end[0].release(), host_end[1].release(), host_end[2].release());
}

void TaskFactory::create_task_with_output(const std::string& module_name, const std::string& class_name,
                                          const std::string& method_name, const Json& method_args,
                                          const std::string& stdout_path, const std::string& stderr_path) {
  auto open_output = [](const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw_system("cannot open " + shown(path) + " for writing", errno);
    return Fd(fd);
  };
  Fd out_file, err_file;
  if (!stdout_path.empty()) out_file = open_output(stdout_path);
  if (!stderr_path.empty()) err_file = open_output(stderr_path);  // on failure out_file closes on unwind

  auto as_stream = [](const Fd& f) { return f.get() >= 0 ? StdStream::from_fd(f.get()) : StdStream::inherit(); };
  try {
    Process child = create_task(module_name, class_name, method_name, method_args, StdStream::inherit(),
                                as_stream(out_file), as_stream(err_file));
    out_file.reset();
    err_file.reset();
    // The handle is dropped here: the child runs on, and is reaped when it ends.
  } catch (...) {
    out_file.reset();
    err_file.reset();
    throw;
  }
}

// ---- child side ----

ChildScript parse_child_script(std::string_view script) {
  if (script.empty() || script.back() != '\n') {
    throw InvalidArgumentError("malformed child script: it does not end with a line feed");
  }
  std::vector<std::string_view> lines;
  std::string_view rest = script.substr(0, script.size() - 1);
  while (true) {
    auto lf = rest.find('\n');
    lines.push_back(rest.substr(0, lf));
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  if (lines.size() != 6) {
    throw InvalidArgumentError("malformed child script: expected 6 lines, found " + std::to_string(lines.size()));
  }

  ChildScript s;
  if (lines[0] != "import sys") bad_line(1, "expected \"import sys\", found " + shown(lines[0]));
  s.project_root = text_from(strip(lines[1], 2, "sys.path.insert(0, ", ")"), 2, "the project root");

  std::string_view import = strip(lines[2], 3, "from ", "");
  auto sep = import.find(" import ");
  if (sep == std::string_view::npos) bad_line(3, "expected \"from <module> import <class>\", found " + shown(lines[2]));
  s.module_name = std::string(import.substr(0, sep));
  s.class_name = std::string(import.substr(sep + 8));
  try {
    check_names(s.module_name, s.class_name);
  } catch (const InvalidArgumentError& e) {
    bad_line(3, e.what());
  }

  if (lines[3] == args_from_environment_line()) {
    s.args = Json::array();
    s.args_from_environment = true;
  } else {
    s.args = args_literal(strip(lines[3], 4, "args = ", ""), 4);
  }

  if (lines[4] != "obj = " + s.class_name + "()") {
    bad_line(5, "expected " + shown("obj = " + s.class_name + "()") + ", found " + shown(lines[4]));
  }
  s.method_name = text_from(strip(lines[5], 6, "getattr(obj, ", ")(*args)"), 6, "the method name");
  return s;
}

Json parse_child_args(std::string_view text) { return args_literal(text, 0); }

const ChildScript* current_child_script() { return running_script(); }

void run_child_task(int argc, char** argv, const std::vector<ChildTask>& table) {
  if (argc != 3 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr || std::string_view(argv[1]) != "-c") {
    return;
  }
  // First of all, so that nothing this process starts can inherit it.
  const std::optional<std::string> args_text = take_args_variable();
  std::string failure;
  try {
    static ChildScript script;
    script = parse_child_script(argv[2]);
    if (script.args_from_environment) {
      if (!args_text) {
        throw InvalidArgumentError(std::string("the arguments are missing: ") + kChildArgsVariable + " is not set");
      }
      script.args = parse_child_args(*args_text);
    }
    const ChildTask* task = nullptr;
    bool module_known = false, class_known = false;
    for (const auto& row : table) {
      if (row.module_name != script.module_name) continue;
      module_known = true;
      if (row.class_name != script.class_name) continue;
      class_known = true;
      if (row.method_name == script.method_name) {
        task = &row;
        break;
      }
    }
    if (!module_known) {
      failure = "no module named " + shown(script.module_name);
    } else if (!class_known) {
      failure = "module " + shown(script.module_name) + " has no class " + shown(script.class_name);
    } else if (task == nullptr) {
      failure = "class " + shown(script.class_name) + " has no operation " + shown(script.method_name);
    } else if (!task->run) {
      failure = "operation " + shown(script.method_name) + " has nothing to run";
    } else if (task->arg_count >= 0 && script.args.size() != static_cast<std::size_t>(task->arg_count)) {
      failure = script.class_name + "." + script.method_name + " takes " + std::to_string(task->arg_count) +
                " argument(s), " + std::to_string(script.args.size()) + " given";
    } else {
      running_script() = &script;
      const std::string where = script.module_name + "." + script.class_name + "." + script.method_name;
      try {
        task->run(script.args);
      } catch (const std::exception& e) {
        end_child(1, where + " failed: " + e.what());
      } catch (...) {
        end_child(1, where + " failed with an unknown exception");
      }
      end_child(0, "");
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // Not a child script this host can run: a wrong command line.
  end_child(2, failure);
}

}  // namespace qelkit
