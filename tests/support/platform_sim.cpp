#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "qelkit/common/transport.hpp"

#ifndef QELKIT_PLATFORM_SIM_PATH
#define QELKIT_PLATFORM_SIM_PATH ""
#endif

namespace qelkit::testing {
namespace {

std::optional<std::string> get_env(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v ? std::optional<std::string>(v) : std::nullopt;
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

std::string describe_exit(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return "stopped";
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

PlatformSim* g_sim = nullptr;

// A request-log entry of a server behind the front, described as the front
// received the request (entries of requests made to the server directly stay
// as they are): its header lines, ALPN and protocol, from the
// X-Front-* headers the front added.
Json as_the_front_saw_it(const Json& entry) {
  Json out = entry;
  Json upstream = Json::array();
  std::optional<Json> received;
  for (const Json& h : entry.at("headers")) {
    const std::string& name = h.at(0).get_ref<const std::string&>();
    const std::string& value = h.at(1).get_ref<const std::string&>();
    if (same_name(name, "X-Front-Headers")) {
      received = Json::parse(value);
    } else if (same_name(name, "X-Front-Alpn")) {
      out["alpn"] = value;
    } else if (same_name(name, "X-Front-Protocol")) {
      out["protocol"] = value;
    } else {
      upstream.push_back(h);
    }
  }
  if (!received) return entry;  // it came to the server directly
  out["headers"] = *received;
  out["upstream_headers"] = upstream;
  return out;
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(get_env(name_)) {
  set_env(name_, value);
}

ScopedEnv::~ScopedEnv() { set_env(name_, previous_); }

PlatformSim::PlatformSim(Options options) {
  const std::string program = QELKIT_PLATFORM_SIM_PATH;
  if (program.empty()) throw std::runtime_error("platform-sim was not built with the tests");

  std::string pattern = (std::filesystem::temp_directory_path() / "qelkit-sim-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("cannot make a temporary directory: " + std::string(std::strerror(errno)));
  }
  dir_ = pattern;
  ca_file_ = dir_ + "/platform-sim.pem";
  key_file_ = dir_ + "/platform-sim.key";
  ready_file_ = dir_ + "/ready";

  std::vector<std::string> args = {program,          "--port",       "0",
                                   "--cert-out",     ca_file_,       "--ready-file",
                                   ready_file_,      "--seed",       std::to_string(options.seed),
                                   "--accounts",     std::to_string(options.accounts),
                                   "--latency-ms",   std::to_string(options.latency_ms)};
  if (options.auto_confirm_after) {
    args.push_back("--auto-confirm-after");
    args.push_back(std::to_string(*options.auto_confirm_after));
  }
  if (options.http2_front) {
    args.push_back("--key-out");
    args.push_back(key_file_);
  }
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork platform-sim: " + std::string(std::strerror(errno)));
  if (pid_ == 0) {
    // The server must not outlive a test program that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (true) {
    std::ifstream in(ready_file_);
    if (in && std::getline(in, origin_) && !origin_.empty()) break;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::filesystem::remove_all(dir_);
      throw std::runtime_error("platform-sim " + describe_exit(status) + " before it was ready");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      throw std::runtime_error("platform-sim was not ready within 20 seconds");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  direct_origin_ = origin_;
  if (options.http2_front) {
    try {
      front_ = std::make_unique<NginxFront>(direct_origin_, ca_file_, key_file_);
    } catch (...) {
      stop();
      throw;
    }
    origin_ = front_->origin();
  }
}

PlatformSim::~PlatformSim() { stop(); }

void PlatformSim::stop() noexcept {
  front_.reset();
  stop_server(pid_, dir_);
}

void PlatformSim::export_environment() const {
  set_env("QELKIT_PLATFORM_ORIGIN", origin_);
  set_env("QELKIT_CA_FILE", ca_file_);
}

Json PlatformSim::control(std::string_view op, const Json& args) const {
  HttpRequest request;
  request.method = "POST";
  request.url = origin_ + std::string(kControlPrefix) + std::string(op);
  request.headers = {{"Content-Type", "application/json"}};
  request.json = args;
  HttpResponse response = curl_transport().perform(request);
  Json answer;
  try {
    answer = Json::parse(response.body);
  } catch (const Json::exception&) {
    throw std::runtime_error("platform-sim control " + std::string(op) + ": answer is not JSON: " + response.body);
  }
  if (response.status != 200) {
    throw std::runtime_error("platform-sim control " + std::string(op) + " refused (HTTP " +
                             std::to_string(response.status) + "): " + answer.value("error", response.body));
  }
  return answer;
}

void PlatformSim::reset() const { control("reset"); }

void PlatformSim::script(std::string_view path, const Json& replies) const {
  Json args = Json::object();
  args["path"] = path;
  args["replies"] = replies.is_array() ? replies : Json::array({replies});
  control("script", args);
}

void PlatformSim::set_latency(int ms, std::optional<std::string> path) const {
  Json args = Json::object();
  args["ms"] = ms;
  if (path) args["path"] = *path;
  control("latency", args);
}

std::vector<Json> PlatformSim::requests(std::optional<std::string> path) const {
  Json args = Json::object();
  if (path) args["path"] = *path;
  std::vector<Json> log = control("requests", args).at("requests").get<std::vector<Json>>();
  if (front_) {
    for (Json& entry : log) entry = as_the_front_saw_it(entry);
  }
  return log;
}

std::vector<Json> PlatformSim::client_hellos() const {
  return control("client_hellos").at("client_hellos").get<std::vector<Json>>();
}

Json PlatformSim::client_hello_for(const Json& request) const {
  Json args = Json::object();
  args["connection"] = request.at("connection");
  Json hellos = control("client_hellos", args).at("client_hellos");
  if (hellos.empty()) throw std::runtime_error("no ClientHello recorded for connection " + request.at("connection").dump());
  return hellos.back();
}

Json PlatformSim::confirm(std::string_view token, int account) const {
  Json args = Json::object();
  args["token"] = token;
  args["account"] = account;
  return control("confirm", args);
}

Json PlatformSim::cancel(std::string_view token) const {
  Json args = Json::object();
  args["token"] = token;
  return control("cancel", args);
}

void PlatformSim::expire_session(std::string_view session_id) const {
  Json args = Json::object();
  args["session_id"] = session_id;
  control("expire_session", args);
}

Json PlatformSim::accounts() const { return control("accounts").at("accounts"); }

Json PlatformSim::logins() const { return control("logins"); }

void PlatformSim::set_download_rows(int account, std::int64_t total, std::optional<std::int64_t> ts) const {
  Json args = Json::object();
  args["account"] = account;
  args["total"] = total;
  if (ts) args["ts"] = *ts;
  control("rows", args);
}

void PlatformSim::set_list_total(int account, std::int64_t total) const {
  Json args = Json::object();
  args["account"] = account;
  args["total"] = total;
  control("list_total", args);
}

Json PlatformSim::expected_rows(int account, std::int64_t ts) const {
  Json args = Json::object();
  args["account"] = account;
  args["ts"] = ts;
  return control("expected_rows", args);
}

Json PlatformSim::expected_list(int account, std::int64_t start, std::int64_t end) const {
  Json args = Json::object();
  args["account"] = account;
  args["startTs"] = start;
  args["endTs"] = end;
  return control("expected_list", args);
}

std::optional<std::string> header_of(const Json& request, std::string_view name) {
  for (const Json& h : request.at("headers")) {
    if (same_name(h.at(0).get_ref<const std::string&>(), name)) return h.at(1).get<std::string>();
  }
  return std::nullopt;
}

std::vector<std::string> header_names(const Json& request) {
  std::vector<std::string> names;
  for (const Json& h : request.at("headers")) names.push_back(h.at(0).get<std::string>());
  return names;
}

PlatformSimEnvironment::PlatformSimEnvironment(PlatformSim::Options options) : options_(std::move(options)) {}

PlatformSimEnvironment::~PlatformSimEnvironment() {
  if (g_sim == (sim_ ? &*sim_ : nullptr)) g_sim = nullptr;
}

void PlatformSimEnvironment::SetUp() {
  sim_.emplace(options_);
  origin_env_.emplace("QELKIT_PLATFORM_ORIGIN", sim_->origin());
  ca_env_.emplace("QELKIT_CA_FILE", sim_->ca_file());
  g_sim = &*sim_;
}

void PlatformSimEnvironment::TearDown() {
  g_sim = nullptr;
  ca_env_.reset();
  origin_env_.reset();
  sim_.reset();
}

PlatformSim& PlatformSimEnvironment::sim() {
  if (!g_sim) throw std::logic_error("the substitute platform is not running (install PlatformSimEnvironment)");
  return *g_sim;
}

PlatformSimEnvironment* PlatformSimEnvironment::install(PlatformSim::Options options) {
  auto* env = new PlatformSimEnvironment(std::move(options));
  ::testing::AddGlobalTestEnvironment(env);
  return env;
}

}  // namespace qelkit::testing
