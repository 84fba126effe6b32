#include "apps/qelkit/console/console.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "apps/qelkit/console/server.hpp"

extern char** environ;

namespace qelkit::console {

const char* const kHelp = R"(Usage: qelkit console [--port N] [--db URL] [--open]

Serves a web console on 127.0.0.1 until Ctrl-C: the stored accounts and
whether their logins live, new logins by QR code, daily pulls of the
statistics history with live progress, and income charts per account.

It prints a URL with an access token; open it in a browser on this machine.
The token is kept in a cookie of that browser; without it every request is
refused. The console works offline: its page comes with qelkit.

Options:
  --port N    the port to listen on (default: a free one)
  --db URL    the statistics history (default qelkit.sqlite in the current
              directory; postgresql://... for a shared one)
  --open      also open the URL in the desktop's browser (xdg-open)
  -h, --help  show this help

Stored logins live in json/data.json under the current directory. Days are
the platform's days (UTC); times are shown in the browser's time zone.

Exit status: 0 stopped with Ctrl-C; 1 the console could not start (port in
use, history unreadable); 2 wrong command line.
)";

namespace {

int usage(const std::string& message) {
  std::fprintf(stderr, "qelkit: %s (see qelkit console --help)\n", message.c_str());
  return 2;
}

// Opens the URL in the desktop's browser without putting the token on a
// command line (which every local user can read): xdg-open gets a private
// file that forwards to it.
void open_in_browser(const std::string& url) {
  char dir_template[] = "/tmp/qelkit-console-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (!dir) {
    std::fprintf(stderr, "qelkit: cannot open a browser (%s); open the URL yourself\n", std::strerror(errno));
    return;
  }
  const std::string file = std::string(dir) + "/open.html";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const std::string page = "<!doctype html><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"0;url=" +
                           url + "\"><title>qelkit console</title><a href=\"" + url + "\">qelkit console</a>\n";
  const bool written = fd >= 0 && ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  if (fd >= 0) ::close(fd);
  pid_t pid = -1;
  const std::string target = "file://" + file;
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(target.c_str()), nullptr};
  if (!written || ::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "qelkit: cannot start xdg-open; open the URL yourself\n");
    ::unlink(file.c_str());
    ::rmdir(dir);
    return;
  }
  // The browser reads the file at once; it is removed when the console stops.
  std::thread([pid, file, d = std::string(dir)] {
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    ::unlink(file.c_str());
    ::rmdir(d.c_str());
  }).detach();
}

}  // namespace

int run(const std::vector<std::string>& args) {
  Options options;
  bool open = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--open") {
      open = true;
    } else if (a == "--port" || a == "--db") {
      if (i + 1 >= args.size()) return usage("option " + a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--db") {
        if (v.empty()) return usage("--db needs a database");
        options.db = v;
      } else {
        int port = -1;
        auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
        if (ec != std::errc() || p != v.data() + v.size() || port < 0 || port > 65535) {
          return usage("--port must be a port number from 0 to 65535, not \"" + v + "\"");
        }
        options.port = port;
      }
    } else {
      return usage("unexpected argument \"" + a + "\" for qelkit console");
    }
  }

  // Ctrl-C and TERM are taken by one thread, which stops the server; a
  // second one ends the process at once.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::unique_ptr<Server> server;
  try {
    server = std::make_unique<Server>(options);
    server->bind();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelkit: the console cannot start: %s\n", e.what());
    return 1;
  }
  std::printf("qelkit console: open %s\n(Ctrl-C stops it)\n", server->url().c_str());
  std::fflush(stdout);
  if (open) open_in_browser(server->url());

  std::atomic<bool> finished{false};
  std::mutex stopping_m;  // the server outlives a stop() in progress
  std::thread signals([&] {
    bool stopping = false;
    while (true) {
      int sig = 0;
      if (::sigwait(&stop_signals, &sig) != 0) continue;
      if (finished) return;
      if (stopping) ::_exit(130);
      stopping = true;
      std::fputs("qelkit console: stopping (waiting for work in progress; Ctrl-C again ends it at once)\n", stderr);
      std::lock_guard<std::mutex> lock(stopping_m);
      server->stop();
    }
  });
  const bool served = server->serve();
  {
    std::lock_guard<std::mutex> lock(stopping_m);
    server.reset();  // waits for the work threads
  }
  finished = true;
  ::pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  if (!served) {
    std::fputs("qelkit: the console stopped serving unexpectedly\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace qelkit::console
