#include "tests/support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace qelkit::testing {
namespace {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                       const EnvChanges& env, std::chrono::seconds timeout) {
  static int counter = 0;
  const std::string stem = "run-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  const auto out_path = cwd / (stem + ".out");
  const auto err_path = cwd / (stem + ".err");
  std::vector<std::string> argv_text = args;
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  ProgramRun run;
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : env) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "cannot fork to run " << args.at(0);
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int wstatus = 0;
  bool timed_out = false;
  while (true) {
    pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << args.at(0) << " timed out";
      timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!timed_out && WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (!timed_out && WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
  run.out = slurp(out_path);
  run.err = slurp(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return run;
}

void stop_server(pid_t& pid, std::string& dir) noexcept {
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
  }
  if (!dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    dir.clear();
  }
}

std::vector<std::pair<int, char>> children() {
  std::vector<std::pair<int, char>> out;
  const int self = ::getpid();
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(e.path() / "stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == self) out.emplace_back(std::stoi(name), state);
  }
  return out;
}

}  // namespace qelkit::testing
