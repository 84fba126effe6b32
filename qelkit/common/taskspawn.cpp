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

#include "qelkit/common/internal/child_script.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/fd.hpp"

namespace qelkit {

namespace {

using detail::args_from_environment_line;
using detail::check_argument;
using detail::check_names;
using detail::shown;
using detail::text_literal;

using detail::errno_text;
using detail::throw_system;
using Fd = detail::UniqueFd;

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

}  // namespace

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
  return script_around(project_root, module_name, class_name, method_name, args_from_environment_line(kChildArgsVariable));
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
                                 StdStream stdout_, StdStream stderr_, const std::vector<PassedFd>& passed) {
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

  // Passed descriptors are copied above the numbers they take in the child
  // (3, 4, ...), so that no move onto one of those numbers overwrites another
  // still to be moved.
  const int first_free = 3 + static_cast<int>(passed.size());
  std::vector<Fd> passed_copies;
  std::vector<std::string> passed_entries;
  for (std::size_t i = 0; i < passed.size(); ++i) {
    const std::string& name = passed[i].variable;
    if (name.empty() || name.find('=') != std::string::npos) {
      throw InvalidArgumentError("passed descriptor variable " + shown(name) + " is empty or holds '='");
    }
    int copy = ::fcntl(passed[i].fd, F_DUPFD_CLOEXEC, first_free);
    if (copy < 0) throw_system("cannot pass descriptor " + std::to_string(passed[i].fd) + " to the child", errno);
    passed_copies.emplace_back(copy);
    passed_entries.push_back(name + "=" + std::to_string(3 + i));
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
  for (std::size_t i = 0; i < passed_copies.size() && rc == 0; ++i) {
    rc = ::posix_spawn_file_actions_adddup2(&actions, passed_copies[i].get(), 3 + static_cast<int>(i));
  }
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, first_free);
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &empty);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &defaults);
  if (rc == 0) rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) throw_system("cannot prepare a child process", rc);

  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  if (module_name == "qelkit" || module_name.starts_with("qelkit.")) {
    for (const std::string& option : host.own_task_options) argv.push_back(const_cast<char*>(option.c_str()));
  }
  argv.insert(argv.end(), {const_cast<char*>("-c"), const_cast<char*>(script.c_str()), nullptr});
  // The host's environment as it is now, with the arguments' variable set
  // (replacing one the host may have inherited); the host's own is untouched.
  const std::string args_name = std::string(kChildArgsVariable) + "=";
  auto replaced = [&](std::string_view entry) {
    if (entry.starts_with(args_name)) return true;
    for (const PassedFd& p : passed) {
      if (entry.size() > p.variable.size() && entry.starts_with(p.variable) && entry[p.variable.size()] == '=') {
        return true;
      }
    }
    return false;
  };
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!replaced(*e)) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(args_entry.c_str()));
  for (const std::string& entry : passed_entries) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  // The image is taken from /proc/self/exe, so the child runs the very build
  // the host runs even if the file has since been replaced; argv[0] names it.
  // A named host executable is started by its own path (an interpreter finds
  // its installation from it).
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, host.executable.empty() ? "/proc/self/exe" : program.c_str(), &actions, &attr, argv.data(),
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

}  // namespace qelkit
