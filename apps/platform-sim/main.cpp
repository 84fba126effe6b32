// platform-sim: a substitute for the platform's creator-assistant back end,
// serving its protocol over HTTPS on 127.0.0.1 for tests and demonstrations.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "sim_platform.hpp"
#include "sim_server.hpp"
#include "sim_tls.hpp"

namespace {

constexpr const char* kUsage = R"(usage: platform-sim [options]

Serves the platform's creator-assistant endpoints over HTTPS on 127.0.0.1
with a self-signed certificate made at start. Prints its origin
(https://127.0.0.1:PORT) on standard output once it accepts connections.

options:
  --port N                 port to listen on (default 8443; 0 picks a free one)
  --seed N                 seed of the generated accounts and statistics (default 1)
  --accounts N             number of accounts (default 4)
  --cert-out FILE          write the certificate (PEM) there; point QELKIT_CA_FILE at it
  --key-out FILE           write the certificate's private key (PEM, mode 0600) there,
                           for a TLS front that serves the same certificate
  --ready-file FILE        write the origin there once ready (atomically)
  --auto-confirm-after S   confirm every login token S seconds after it was issued
  --auto-confirm-account N confirm automatic logins for account N (default: rotate)
  --token-ttl S            seconds an unconfirmed login token lives (default 300)
  --latency-ms N           delay every platform answer by N milliseconds
  --threads N              connection threads (default 32)
  --help                   show this text

The phone's confirm page is /mobile/confirm_login.html?token=T. Tests drive
the server through JSON calls under /__control/ (see README.md).
)";

[[noreturn]] void usage_error(const std::string& message) {
  std::cerr << "platform-sim: " << message << "\n(try --help)\n";
  std::exit(2);
}

long long to_number(const std::string& option, const char* text, long long min, long long max) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) {
    usage_error(option + " needs a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return v;
}

double to_seconds(const std::string& option, const char* text) {
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0) || v > 1e7) {
    usage_error(option + " needs a number of seconds, 0 or more");
  }
  return v;
}

platform_sim::Options parse(int argc, char** argv) {
  platform_sim::Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (i + 1 >= argc) usage_error("unknown option or missing value: " + a);
    const char* v = argv[++i];
    if (a == "--port") o.port = static_cast<int>(to_number(a, v, 0, 65535));
    else if (a == "--seed") o.seed = static_cast<std::uint64_t>(to_number(a, v, 0, LLONG_MAX));
    else if (a == "--accounts") o.accounts = static_cast<int>(to_number(a, v, 1, 1000));
    else if (a == "--cert-out") o.cert_out = v;
    else if (a == "--key-out") o.key_out = v;
    else if (a == "--ready-file") o.ready_file = v;
    else if (a == "--auto-confirm-after") o.auto_confirm_after = to_seconds(a, v);
    else if (a == "--auto-confirm-account") o.auto_confirm_account = static_cast<int>(to_number(a, v, 0, 999));
    else if (a == "--token-ttl") o.token_ttl = to_seconds(a, v);
    else if (a == "--latency-ms") o.latency_ms = static_cast<int>(to_number(a, v, 0, 600000));
    else if (a == "--threads") o.threads = static_cast<int>(to_number(a, v, 1, 1024));
    else usage_error("unknown option: " + a);
  }
  return o;
}

// Writes `text` to `path` through a temporary file and a rename, so a reader
// never sees a partial file.
bool write_atomically(const std::string& path, const std::string& text, bool is_private = false) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  {
    if (is_private) {
      // Created owner-only before anything is written into it.
      int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) return false;
      ::close(fd);
    }
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  platform_sim::Options options = parse(argc, argv);

  // Writes to a client that went away must fail, not kill the server; the
  // stop signals are taken by one thread so that shutdown is orderly.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    platform_sim::TlsIdentity identity = platform_sim::make_identity();
    if (!options.cert_out.empty() && !write_atomically(options.cert_out, identity.cert_pem)) {
      std::cerr << "platform-sim: cannot write the certificate to " << options.cert_out << ": " << std::strerror(errno)
                << "\n";
      return 1;
    }
    if (!options.key_out.empty() &&
        !write_atomically(options.key_out, platform_sim::private_key_pem(identity), /*is_private=*/true)) {
      std::cerr << "platform-sim: cannot write the private key to " << options.key_out << ": " << std::strerror(errno)
                << "\n";
      return 1;
    }
    if (options.auto_confirm_account >= options.accounts) usage_error("--auto-confirm-account is not an account");

    platform_sim::Platform platform(options);
    platform_sim::HttpsServer server(platform, identity, options.threads);
    int port = server.bind(options.port);
    std::string origin = "https://127.0.0.1:" + std::to_string(port);

    if (!options.ready_file.empty() && !write_atomically(options.ready_file, origin + "\n")) {
      std::cerr << "platform-sim: cannot write the ready file " << options.ready_file << ": " << std::strerror(errno)
                << "\n";
      return 1;
    }
    if (options.cert_out.empty()) {
      std::cerr << "platform-sim: certificate not written (use --cert-out FILE and QELKIT_CA_FILE=FILE)\n";
    }
    std::cout << origin << std::endl;

    // INT, TERM or HUP (blocked everywhere, pending until taken here) stops
    // the server; a stop asked before the server runs would be lost, so it
    // is asked again until the server has ended. The thread is joined before
    // the server goes: when the server ends another way, a TERM of its own
    // wakes it.
    std::atomic<bool> ended{false};
    std::thread stopper([&server, &ended, stop_signals] {
      int sig = 0;
      sigwait(&stop_signals, &sig);
      while (!ended) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    bool ok = server.run();
    ended = true;
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    if (!options.ready_file.empty()) std::remove(options.ready_file.c_str());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "platform-sim: " << e.what() << "\n";
    return 1;
  }
}
