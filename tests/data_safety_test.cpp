// The data file and the host's resources under real processes: login
// completions killed or stopped mid-write, racing on one file, readers
// meeting a rewrite in place, a login child meeting a hostile data file, and
// a thousand logins started and dropped by one host.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fake_login.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/work_dir.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sanitized.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::QelDriver;

constexpr const char* kModule = "tests.data_safety";

// In a child: one login through the real locked update of json/data.json.
void store_login(const std::string& session, const std::string& uniq) {
  qelkit::testing::complete_fake_login(session, uniq);
}

// Two documents of different shapes, so that no mix of their bytes is a
// valid document, each spanning many pages.
const Json& shaped_document(int which) {
  static const Json* const docs[] = {
      new Json{{"a", std::string(50000, 'a')}, {"n", 1}},
      new Json(Json::array({std::string(65000, 'b'), 2})),
  };
  return *docs[which % 2];
}

std::vector<qelkit::ChildTask> child_tasks() {
  std::vector<qelkit::ChildTask> table = qelkit::child_task_table();
  table.push_back({kModule, "Login", "store",
                   [](const Json& a) { store_login(a[0].get<std::string>(), a[1].get<std::string>()); }, 2});
  // Stores prefix0, prefix1, ... and appends each id to the progress file
  // once it is stored.
  table.push_back({kModule, "Login", "store_many",
                   [](const Json& a) {
                     const std::string prefix = a[0].get<std::string>();
                     std::ofstream progress(a[2].get<std::string>(), std::ios::app);
                     for (int i = 0; i < a[1].get<int>(); ++i) {
                       const std::string id = prefix + std::to_string(i);
                       store_login("S-" + id, id);
                       progress << id << std::endl;
                     }
                   },
                   3});
  // Rewrites json/data.json with the two shaped documents in turn, every
  // 2 ms, until killed; in place when the file has a second link.
  table.push_back({kModule, "Writer", "alternate",
                   [](const Json&) {
                     for (int i = 1;; ++i) {
                       qelkit::JsonFileHandler::save_data(shaped_document(i), "data.json");
                       std::this_thread::sleep_for(std::chrono::milliseconds(2));
                     }
                   },
                   0});
  return table;
}

int open_fds() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

using qelkit::testing::children;

class DataSafety : public ::testing::Test {
 protected:
  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-safety"};
};

TEST_F(DataSafety, SixteenCompletionsRacingOnOneFileAllLand) {
  std::vector<qelkit::Process> running;
  std::set<std::string> expected;
  for (int i = 0; i < 16; ++i) {
    const std::string id = "racer-" + std::to_string(i);
    expected.insert(id);
    running.push_back(qelkit::TaskFactory().create_task(kModule, "Login", "store", Json::array({"S-" + id, id})));
  }
  for (auto& p : running) EXPECT_EQ(p.wait(), 0);
  Json doc = qelkit::JsonFileHandler::load_data_strict("data.json");
  std::set<std::string> got;
  for (const auto& [k, v] : doc.items()) got.insert(k);
  EXPECT_EQ(got, expected);
}

// Lines of `path` (the ids a child reported as stored).
std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(DataSafety, ACompletionKilledAtAnyMomentLosesNothingStoredBefore) {
  std::mt19937 random(20261207);
  std::set<std::string> stored;
  // A file of about 1 MiB, so that a rewrite takes long enough for some
  // kills to land inside it.
  Json initial = Json::object();
  for (int i = 0; i < 1000; ++i) {
    initial["pre-" + std::to_string(i)] = std::string(1000, 'x');
    stored.insert("pre-" + std::to_string(i));
  }
  qelkit::JsonFileHandler::save_data(initial, "data.json");
  // True while a writer's temporary copy of the data file exists.
  auto writing = [] {
    for (const auto& e : fs::directory_iterator("json")) {
      if (e.path().filename().string().rfind(".data.json.tmp-", 0) == 0) return true;
    }
    return false;
  };
  int killed_writing = 0;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string progress = "progress-" + std::to_string(round);
    qelkit::Process child = qelkit::TaskFactory().create_task(
        kModule, "Login", "store_many", Json::array({"r" + std::to_string(round) + "-", 40, progress}));
    if (round % 2 == 0) {
      // Inside its write: the moment its temporary copy of the file exists.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!writing() && std::chrono::steady_clock::now() < deadline) {
      }
      killed_writing += writing() ? 1 : 0;
    } else {
      // At a random moment of its life: before, between or inside its locked
      // rewrites (each a key derivation of ~20 ms, then about 1 MiB read and
      // written).
      std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 300000)(random)));
    }
    ::kill(child.pid(), SIGKILL);
    child.wait();
    for (const std::string& id : lines_of(progress)) stored.insert(id);

    Json doc;
    ASSERT_NO_THROW(doc = qelkit::JsonFileHandler::load_data_strict("data.json"));
    ASSERT_TRUE(doc.is_object());
    std::set<std::string> present;
    for (const auto& [k, v] : doc.items()) present.insert(k);
    for (const std::string& id : stored) ASSERT_TRUE(present.count(id)) << id;
    // Clear what a killed writer left behind, so the next round sees only its own.
    for (const auto& e : fs::directory_iterator("json")) {
      if (e.path().filename().string().rfind(".data.json.tmp-", 0) == 0) fs::remove(e.path());
    }
  }
  EXPECT_GE(killed_writing, 10);
  for (const auto& e : fs::directory_iterator("json")) {
    EXPECT_EQ(e.path().filename().string().find(".unreadable-"), std::string::npos) << "file moved aside: " << e.path();
  }
}

TEST_F(DataSafety, ReadersDoNotTakeAFileBeingRewrittenInPlaceForAnInvalidOne) {
  qelkit::JsonFileHandler::save_data(shaped_document(0), "data.json");
  fs::create_hard_link("json/data.json", "second-link.json");  // so it is rewritten in place
  qelkit::Process writer = qelkit::TaskFactory().create_task(kModule, "Writer", "alternate", Json::array());
  int invalid = 0;
  std::string first;
  for (int i = 0; i < 2000; ++i) {
    try {
      qelkit::JsonFileHandler::load_data_strict("data.json");
    } catch (const qelkit::ProtocolError& e) {
      if (invalid++ == 0) first = e.what();
    }
  }
  const bool writing = !writer.poll();
  ::kill(writer.pid(), SIGKILL);
  writer.wait();
  EXPECT_TRUE(writing) << "the writer ended early";
  EXPECT_EQ(invalid, 0) << first;
}

TEST_F(DataSafety, AKilledWritersTemporaryGoesWithTheNextWriteALiveWritersStays) {
  Json initial = Json::object();
  for (int i = 0; i < 1000; ++i) initial["pre-" + std::to_string(i)] = std::string(1000, 'x');
  qelkit::JsonFileHandler::save_data(initial, "data.json");
  auto temporaries = [] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("json")) {
      const std::string name = e.path().filename().string();
      if (name.rfind(".data.json.tmp-", 0) == 0) names.push_back(name);
    }
    return names;
  };
  // Whether a writer holds the lock on its temporary `name`. One stopped
  // between creating the file and locking it has not claimed it yet: the
  // next writer may rightly take it for a killed writer's and remove it.
  auto locked_by_writer = [](const std::string& name) {
    const int fd = ::open(("json/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the lock if this took it
    return held;
  };
  // A login child stopped inside its write: the moment its temporary exists
  // and is locked.
  int round = 0;
  auto stopped_while_writing = [&]() -> std::optional<qelkit::Process> {
    for (int attempt = 0; attempt < 20; ++attempt) {
      const std::string prefix = "w" + std::to_string(round++) + "-";
      qelkit::Process child = qelkit::TaskFactory().create_task(kModule, "Login", "store_many",
                                                                Json::array({prefix, 40, "progress-" + prefix}));
      while (temporaries().empty() && !child.poll()) {
      }
      ::kill(child.pid(), SIGSTOP);
      // kill() returns before the child has stopped: until it has, it may
      // still finish this write and take its temporary away.
      siginfo_t stopped{};
      ::waitid(P_PID, static_cast<id_t>(child.pid()), &stopped, WSTOPPED | WEXITED | WNOWAIT);
      const std::vector<std::string> now = temporaries();
      if (now.size() == 1 && locked_by_writer(now[0])) return child;
      ::kill(child.pid(), SIGKILL);
      child.wait();
      for (const std::string& name : temporaries()) fs::remove("json/" + name);  // that attempt's leftovers
    }
    return std::nullopt;
  };

  // A stopped writer is alive: its temporary stays through another write,
  // and once resumed the writer completes.
  std::optional<qelkit::Process> writer = stopped_while_writing();
  ASSERT_TRUE(writer) << "never caught a writer inside its write";
  const std::vector<std::string> live = temporaries();
  ASSERT_EQ(live.size(), 1u);
  qelkit::JsonFileHandler::save_data(initial, "data.json");
  EXPECT_EQ(temporaries(), live);
  ::kill(writer->pid(), SIGCONT);
  EXPECT_EQ(writer->wait(), 0);
  EXPECT_TRUE(temporaries().empty());

  // A killed one's goes with the next write: a login's, or a plain one.
  for (const char* next : {"login", "save_data"}) {
    SCOPED_TRACE(next);
    std::optional<qelkit::Process> killed = stopped_while_writing();
    ASSERT_TRUE(killed) << "never caught a writer inside its write";
    ::kill(killed->pid(), SIGKILL);
    killed->wait();
    ASSERT_EQ(temporaries().size(), 1u);
    if (std::string(next) == "login") {
      qelkit::Process login = qelkit::TaskFactory().create_task(kModule, "Login", "store", Json::array({"S", "after"}));
      EXPECT_EQ(login.wait(), 0);
    } else {
      qelkit::JsonFileHandler::save_data(initial, "data.json");
    }
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
  }
}

TEST_F(DataSafety, ALoginChildMovesADeeplyNestedDataFileAsideAndStoresTheLogin) {
  fs::create_directory("json");
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "{\"a\": ";
  deep += "1" + std::string(100000, '}');
  std::ofstream("json/data.json") << deep;

  qelkit::Process child = qelkit::TaskFactory().create_task(kModule, "Login", "store", Json::array({"S-1", "acct-1"}));
  EXPECT_EQ(child.wait(), 0);
  Json doc;
  ASSERT_NO_THROW(doc = qelkit::JsonFileHandler::load_data_strict("data.json"));
  EXPECT_EQ(doc.size(), 1u);
  EXPECT_TRUE(doc.contains("acct-1"));
  std::vector<fs::path> aside;
  for (const auto& e : fs::directory_iterator("json")) {
    if (e.path().filename().string().rfind("data.json.unreadable-", 0) == 0) aside.push_back(e.path());
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(fs::file_size(aside[0]), deep.size());
}

TEST_F(DataSafety, AThousandLoginsStartedAndDroppedLeaveNoZombieAndNoDescriptor) {
  // Each child polls a closed port, gives up after its retries and ends.
  qelkit::testing::ScopedEnv origin("QELKIT_PLATFORM_ORIGIN", "https://127.0.0.1:1");
  qelkit::testing::FakeTransport transport;
  int issued = 0;
  transport.set_handler([&](const qelkit::HttpRequest&) {
    return qelkit::testing::json_response({{"errCode", 0}, {"data", {{"token", "t" + std::to_string(issued++)}}}});
  });
  // The children report their failure on the host's standard error: keep the
  // log readable by sending it elsewhere for the run.
  std::fflush(stderr);
  int saved_stderr = ::dup(2);
  int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(devnull, 2);
  ::close(devnull);
  const int fds_before = open_fds();

  // A thousand logins; a quarter of that under a sanitizer, where every
  // child is several times slower to start.
  const int waves = qelkit::testing::repetitions(4, 1);
  for (int wave = 0; wave < waves; ++wave) {
    for (int i = 0; i < 250; ++i) {
      Json r = QelDriver::get_login_qrcode_base64();
      ASSERT_EQ(r["code"], 0);
    }
    // Let the wave end before the next one, to bound the number of processes.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!children().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  const int fds_after = open_fds();
  std::vector<std::pair<int, char>> left = children();
  ::dup2(saved_stderr, 2);
  ::close(saved_stderr);

  EXPECT_EQ(issued, 250 * waves);
  EXPECT_TRUE(left.empty()) << left.size() << " children left, the first in state " << left.front().second;
  EXPECT_EQ(fds_after, fds_before);
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<qelkit::ChildTask> table = child_tasks();
  qelkit::run_child_task(argc, argv, table);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
