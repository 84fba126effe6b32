#include "tests/support/nginx_front.hpp"
#include "tests/support/process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace qelkit::testing {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kModules = "/usr/lib/nginx/modules";

// Hands nginx the header lines in the order they arrived.
constexpr const char* kHeadersScript = R"(function received(r) {
  return JSON.stringify(r.rawHeadersIn);
}
export default { received };
)";

std::string errno_text() { return std::strerror(errno); }

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The location body that proxies to the platform.
std::string proxy_block(const std::string& upstream, const std::string& cert_file) {
  return "      proxy_pass " + upstream + ";\n" +
         "      proxy_http_version 1.1;\n"
         "      proxy_set_header Connection \"\";\n"
         "      proxy_set_header Host $http_host;\n"
         "      proxy_set_header Accept-Encoding \"\";\n"  // the front compresses, not the platform
         "      proxy_set_header X-Front-Headers $front_headers;\n"
         "      proxy_set_header X-Front-Protocol $server_protocol;\n"
         "      proxy_set_header X-Front-Alpn $ssl_alpn_protocol;\n"
         "      proxy_ssl_verify on;\n"
         "      proxy_ssl_trusted_certificate " + cert_file + ";\n" +
         "      proxy_ssl_name localhost;\n"
         "      proxy_read_timeout 120s;\n";
}

std::string config(const std::string& dir, int port, const std::string& upstream, const std::string& cert_file,
                   const std::string& key_file) {
  const std::string types = "application/json text/plain text/html";
  std::string c;
  // A master and one worker (nginx crashes when a lone process takes over an
  // inherited socket); as root the worker would switch to "nobody" and lose
  // access to the private directory, so it stays the current user.
  c += "daemon off;\nmaster_process on;\nworker_processes 1;\n";
  if (::geteuid() == 0) {
    if (const passwd* pw = ::getpwuid(0)) c += std::string("user ") + pw->pw_name + ";\n";
  }
  c += "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log info;\n";
  c += std::string("load_module ") + kModules + "/ngx_http_js_module.so;\n";
  c += std::string("load_module ") + kModules + "/ngx_http_brotli_filter_module.so;\n";
  c += "events { worker_connections 512; }\n";
  c += "http {\n";
  c += "  access_log " + dir + "/access.log;\n";
  for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    c += std::string("  ") + t + "_temp_path " + dir + "/" + t + ";\n";
  }
  c += "  js_import front from " + dir + "/headers.js;\n";
  c += "  js_set $front_headers front.received;\n";
  c += "  client_max_body_size 64m;\n";
  c += "  gzip on; gzip_proxied any; gzip_min_length 1; gzip_types " + types + ";\n";
  c += "  brotli on; brotli_min_length 1; brotli_types " + types + ";\n";
  c += "  server {\n";
  c += "    listen 127.0.0.1:" + std::to_string(port) + " ssl http2;\n";
  c += "    ssl_certificate " + cert_file + ";\n    ssl_certificate_key " + key_file + ";\n";
  c += "    ssl_protocols TLSv1.2 TLSv1.3;\n";
  c += "    location / {\n" + proxy_block(upstream, cert_file) + "    }\n";
  c += "    location /__front/gzip/ {\n      brotli off;\n      rewrite ^/__front/gzip(/.*)$ $1 break;\n" +
       proxy_block(upstream, cert_file) + "    }\n";
  c += "    location /__front/br/ {\n      gzip off;\n      rewrite ^/__front/br(/.*)$ $1 break;\n" +
       proxy_block(upstream, cert_file) + "    }\n";
  c += "  }\n}\n";
  return c;
}

std::string describe_exit(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("was killed by signal ") + strsignal(WTERMSIG(status));
  return "stopped";
}

}  // namespace

bool http2_front_requested() {
  const char* v = std::getenv("QELKIT_TEST_FRONT");
  return v && std::string_view(v) == "h2";
}

NginxFront::NginxFront(const std::string& upstream, const std::string& cert_file, const std::string& key_file) {
  if (::access(kNginx, X_OK) != 0) {
    throw std::runtime_error(std::string("nginx is not installed at ") + kNginx + " (./qelkit.sh setup installs it)");
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "qelkit-front-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory: " + errno_text());
  dir_ = pattern;

  // The listening socket: bound here, inherited by nginx, which takes over
  // an inherited socket whose address matches a listen directive.
  int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) {
    stop();
    throw std::runtime_error("cannot make a socket: " + errno_text());
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(sock, 511) != 0 ||
      ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string why = errno_text();
    ::close(sock);
    stop();
    throw std::runtime_error("cannot listen on a loopback port: " + why);
  }
  const int port = ntohs(addr.sin_port);
  origin_ = "https://127.0.0.1:" + std::to_string(port);

  try {
    write_file(dir_ + "/headers.js", kHeadersScript);
    write_file(dir_ + "/nginx.conf", config(dir_, port, upstream, cert_file, key_file));
  } catch (...) {
    ::close(sock);
    stop();
    throw;
  }

  std::vector<std::string> args = {kNginx, "-p", dir_ + "/", "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment, with the inherited socket named the way nginx reads it.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::string_view(*e).rfind("NGINX=", 0) != 0) env.emplace_back(*e);
  }
  env.push_back("NGINX=" + std::to_string(sock) + ";");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    const std::string why = errno_text();
    ::close(sock);
    stop();
    throw std::runtime_error("cannot fork nginx: " + why);
  }
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test program
    if (::getppid() != parent) ::_exit(1);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(sock);

  // nginx writes its pid file once the configuration is in force, just
  // before it starts serving; connections made earlier wait in the backlog.
  const std::string pid_file = dir_ + "/nginx.pid";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(pid_file)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      const std::string log = error_log();
      stop();
      throw std::runtime_error("nginx " + describe_exit(status) + " before it was ready:\n" + log);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      const std::string log = error_log();
      stop();
      throw std::runtime_error("nginx was not ready within 20 seconds:\n" + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

NginxFront::~NginxFront() { stop(); }

std::string NginxFront::error_log() const { return dir_.empty() ? "" : read_file(dir_ + "/error.log"); }

void NginxFront::stop() noexcept {
  stop_server(pid_, dir_);
}

}  // namespace qelkit::testing
