// The login token is a credential: whoever reads it while a login is pending
// can poll the login status and receive the creator's session. Another local
// user watching every process during real logins must never see it: not on
// a command line (which every user may read), not in an environment (which
// the kernel keeps private to the process's user).
//
// This program is a C++ host: its logins start children of itself. The
// Python host's logins are watched the same way in python/tests.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/work_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::testing::PlatformSim;
using qelkit::testing::PlatformSimEnvironment;

PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

const auto* const kSimEnvironment = PlatformSimEnvironment::install();

// What the start of a child task's command line looks like.
const std::string kChildMark = std::string("-c") + '\0' + "import sys\n";

std::string read_fd(int fd) {
  std::string all;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    all.append(buf, static_cast<std::size_t>(n));
  }
  return all;
}

// Reads a /proc file of another process; nullopt with errno set when it
// cannot be opened.
std::optional<std::string> read_proc(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text = read_fd(fd);
  ::close(fd);
  return text;
}

// The parent of process `pid`, or -1.
int parent_of(const std::string& pid) {
  const auto stat = read_proc("/proc/" + pid + "/stat");
  const auto paren = stat ? stat->rfind(')') : std::string::npos;
  if (paren == std::string::npos || paren + 4 >= stat->size()) return -1;
  return std::atoi(stat->c_str() + paren + 4);
}

// Child tasks of process `parent` (by pid) with their command lines.
std::map<std::string, std::string> child_tasks_of(int parent) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto cmdline = read_proc("/proc/" + pid + "/cmdline");
    if (cmdline && cmdline->find(kChildMark) != std::string::npos && parent_of(pid) == parent) {
      found.emplace(pid, *cmdline);
    }
  }
  return found;
}

// A process of another user (nobody) that reads every process's command
// line, over and over, and tries the environment of every child task it
// finds, until finish() is called. It reports every command line it saw, the
// child tasks by pid, and what it could or could not read of their
// environments.
class Spy {
 public:
  Spy() {
    int stop[2], report[2];
    if (::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(stop[1]);
      ::close(report[0]);
      std::string result = watch(stop[0], report[1]);
      ssize_t ignored = ::write(report[1], result.data(), result.size());
      (void)ignored;
      ::_exit(0);
    }
    ::close(stop[0]);
    ::close(report[1]);
    stop_ = stop[1];
    report_ = report[0];
    char ready = 0;  // one byte once the first sweep is done
    if (::read(report_, &ready, 1) != 1) throw std::runtime_error("the spy did not start");
  }
  ~Spy() {
    if (pid_ > 0) finish();
  }

  Json finish() {
    ::close(stop_);
    const std::string text = read_fd(report_);
    ::close(report_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return Json::parse(text);
  }

 private:
  static std::string watch(int stop_fd, int report_fd) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(qelkit::testing::kOtherGid) != 0 ||
        ::setuid(qelkit::testing::kOtherUid) != 0) {
      return Json{{"error", "cannot switch to the unprivileged user"}}.dump();
    }
    const int host = ::getppid();
    std::set<std::string> cmdlines, environments;
    std::map<std::string, std::string> children;  // the host's child tasks: pid -> command line
    long denied = 0, sweeps = 0;
    for (bool stopping = false; !stopping;) {
      pollfd p{stop_fd, POLLIN, 0};
      stopping = ::poll(&p, 1, 0) > 0;  // the last sweep runs after the stop
      for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto cmdline = read_proc("/proc/" + pid + "/cmdline");
        if (!cmdline || cmdline->empty()) continue;
        cmdlines.insert(*cmdline);
        if (cmdline->find(kChildMark) == std::string::npos || parent_of(pid) != host) continue;
        children.emplace(pid, *cmdline);
        if (const auto env = read_proc("/proc/" + pid + "/environ")) {
          environments.insert(*env);
        } else if (errno == EACCES) {
          ++denied;
        }
      }
      if (sweeps++ == 0 && ::write(report_fd, "+", 1) != 1) return "{}";
    }
    Json out = {{"cmdlines", cmdlines}, {"children", children}, {"environments", environments},
                {"denied", denied}, {"sweeps", sweeps}};
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
  }

  pid_t pid_ = -1;
  int stop_ = -1;
  int report_ = -1;
};


bool eventually(const std::function<bool()>& cond) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

TEST(LoginToken, AnotherUserWatchingThirtyLoginsNeverSeesAToken) {
  if (::geteuid() != 0) GTEST_SKIP() << "not root: the spy cannot run as another user";
  qelkit::testing::ScopedWorkDir work_dir("qelkit-login-token");
  sim().reset();

  Spy spy;
  constexpr int kLogins = 30;
  for (int i = 0; i < kLogins; ++i) ASSERT_EQ(qelkit::QelDriver::get_login_qrcode_base64()["code"], 0);
  std::vector<std::string> tokens;
  const Json issued = sim().logins()["logins"];
  for (const Json& login : issued) tokens.push_back(login["token"].get<std::string>());
  ASSERT_EQ(tokens.size(), static_cast<std::size_t>(kLogins));
  // Each child polls for 2 s before its first request: it is watched while
  // its login is pending, then completes it.
  for (int i = 0; i < kLogins; ++i) sim().confirm(tokens[static_cast<std::size_t>(i)], i % 4);
  ASSERT_TRUE(eventually([] { return qelkit::JsonFileHandler::load_data("data.json").size() == 4; }));
  ASSERT_TRUE(eventually([] { return child_tasks_of(::getpid()).empty(); }));
  const Json settled = sim().logins()["logins"];
  for (const Json& login : settled) EXPECT_EQ(login["status"], 1) << login;

  const Json seen = spy.finish();
  ASSERT_FALSE(seen.contains("error")) << seen["error"];
  // The spy saw every child's command line...
  EXPECT_EQ(seen["children"].size(), static_cast<std::size_t>(kLogins)) << seen["children"].dump();
  // ...and no token anywhere, and no child's environment.
  for (const std::string& token : tokens) {
    for (const Json& cmdline : seen["cmdlines"]) {
      EXPECT_EQ(cmdline.get<std::string>().find(token), std::string::npos) << "token on a command line";
    }
  }
  EXPECT_EQ(seen["environments"], Json::array());
  EXPECT_GE(seen["denied"].get<long>(), kLogins);
}

}  // namespace

int main(int argc, char** argv) {
  qelkit::handle_child_task(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
