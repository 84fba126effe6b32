// The statistics history end to end: the built `qelkit pull` against the
// substitute platform, into SQLite and into a PostgreSQL server of the
// test's own. One table of scenarios, each run against both databases.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/history/days.hpp"
#include "qelkit/history/history.hpp"
#include "qelkit/history/internal/store.hpp"
#include "qelkit/sdk/statistics.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/postgres_server.hpp"
#include "tests/support/process.hpp"
#include "tests/support/work_dir.hpp"

namespace qelkit::history {
namespace {

namespace fs = std::filesystem;
using testing::PlatformSim;
using testing::PlatformSimEnvironment;

PlatformSim::Options sim_options() {
  PlatformSim::Options options;
  options.auto_confirm_after = 0.2;  // `qelkit login --wait` logs the accounts in
  return options;
}
const auto* const kSim = PlatformSimEnvironment::install(sim_options());
PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

// One PostgreSQL server for the whole program; every scenario gets a database.
testing::PostgresServer* g_pg = nullptr;
class PostgresEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_pg = new testing::PostgresServer(); }
  void TearDown() override { delete g_pg; }
};
const auto* const kPg = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

const std::vector<std::string> kDays = {"2026-02-27", "2026-02-28", "2026-03-01", "2026-03-02"};  // over a month's end

// A started `qelkit` that the test may wait for or kill.
struct Started {
  pid_t pid = -1;
  int wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class HistoryPull : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 public:  // for the scenarios' table
  void SetUp() override {
    ASSERT_NE(g_pg, nullptr);
    sim().reset();
    static int databases = 0;
    url_ = std::get<1>(GetParam()) == "sqlite" ? (work_.path() / "history.sqlite").string()
                                               : g_pg->create_database("h" + std::to_string(++databases));
    for (int i = 0; i < 3; ++i) {
      testing::ProgramRun r = run({"login", "--wait"});
      ASSERT_EQ(r.status, 0) << r.err;
      ids_.push_back(r.out.substr(0, r.out.find('\n')));
    }
    ASSERT_EQ(std::set<std::string>(ids_.begin(), ids_.end()).size(), 3u);
  }

  testing::ProgramRun run(std::vector<std::string> args) {
    args.insert(args.begin(), QELKIT_CLI_PATH);
    return testing::run_program(args, work_.path(), {}, std::chrono::seconds(300));
  }
  std::vector<std::string> pull_args(const std::string& from, const std::string& to) const {
    return {"pull", "--from", from, "--to", to, "--db", url_, "--progress", "plain"};
  }
  testing::ProgramRun pull(const std::string& from, const std::string& to, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = pull_args(from, to);
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
  Started start(const std::string& from, const std::string& to) {
    std::vector<std::string> args = pull_args(from, to);
    args.insert(args.begin(), QELKIT_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Started s;
    EXPECT_EQ(posix_spawn(&s.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return s;
  }

  // The history holds exactly what the SDK's typed queries answer for the
  // account-day (`pulled`) or nothing at all.
  void expect_day(History& h, const std::string& account, const Day& day, bool pulled = true) {
    std::vector<DetailRow> stored;
    h.detail_rows(account, day, day, [&](const StoredDetailRow& r) { stored.push_back(r.row); });
    const std::int64_t start = day_start(day, "UTC");
    if (!pulled) {
      EXPECT_TRUE(stored.empty() && h.list_rows(account, day).empty()) << account << " " << day;
      return;
    }
    EXPECT_EQ(stored, Statistics::detail(account, start)) << account << " " << day;
    EXPECT_EQ(h.list_rows(account, day), Statistics::list_all(account, start, start + 86399)) << account << " " << day;
  }

  testing::ScopedWorkDir work_{"qelkit-history-test"};
  std::string url_;
  std::vector<std::string> ids_;
};

using Scenario = std::function<void(HistoryPull&)>;

// The scenarios, each run against SQLite and PostgreSQL.
const std::map<std::string, Scenario>& scenarios();

TEST_P(HistoryPull, Scenario) { scenarios().at(std::get<0>(GetParam()))(*this); }

const std::map<std::string, Scenario>& scenarios() {
  static const std::map<std::string, Scenario> table = {
      {"EveryAccountAndDayLandsAndARerunReplacesIt",
       [](HistoryPull& t) {
         for (int round = 1; round <= 2; ++round) {
           testing::ProgramRun r = t.pull(kDays.front(), kDays.back());
           ASSERT_EQ(r.status, 0) << r.err;
           EXPECT_NE(r.err.find("qelkit pull: 12 account-days into "), std::string::npos) << r.err;
           auto h = History::open(t.url_);
           for (const auto& id : t.ids_)
             for (const auto& day : kDays) t.expect_day(*h, id, day);
           const auto pulls = h->pulls("", kDays.front(), kDays.back());
           EXPECT_EQ(pulls.size(), 24u * round);
           for (const auto& p : pulls) EXPECT_EQ(p.outcome, "ok") << p.account << " " << p.day << " " << p.error;
         }
       }},
      {"AnExpiredLoginIsRecordedAndTheOthersLand",
       [](HistoryPull& t) {
         const Json logins = sim().logins();
         for (const auto& s : logins["sessions"]) {
           const Json& uniq = s["uniqId"];
           if ((uniq.is_string() ? uniq.get<std::string>() : uniq.dump()) == t.ids_[1])
             sim().expire_session(s["session_id"].get<std::string>());
         }
         testing::ProgramRun r = t.pull(kDays[1], kDays[2]);
         EXPECT_EQ(r.status, 6) << r.err;
         const std::string last = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
         EXPECT_EQ(last, "qelkit pull: 2 of 6 account-days into " + t.url_ + " failed: " + t.ids_[1] + " " + kDays[1] +
                             " to " + kDays[2] + " (login_expired: run qelkit login)\n");
         auto h = History::open(t.url_);
         for (const auto& p : h->pulls(t.ids_[1], kDays[1], kDays[2])) EXPECT_EQ(p.outcome, "login_expired");
         EXPECT_EQ(h->daily_income(t.ids_[1], kDays[1], kDays[2]).at(0).failed, true);
         for (const auto& day : {kDays[1], kDays[2]}) {
           t.expect_day(*h, t.ids_[0], day);
           t.expect_day(*h, t.ids_[1], day, false);
           t.expect_day(*h, t.ids_[2], day);
         }
       }},
      {"AKilledPullLeavesEveryDayCompleteOrAbsent",
       [](HistoryPull& t) {
         sim().set_latency(150);
         for (int i = 0; i < 3; ++i)
           for (const auto& day : kDays) sim().set_download_rows(i, 300, day_start(day, "UTC"));
         Started p = t.start(kDays.front(), kDays.back());
         // Kill it once a few account-days have landed, the others mid-way.
         auto h = History::open(t.url_);
         const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         while (h->pulls("", kDays.front(), kDays.back()).size() < 4 && std::chrono::steady_clock::now() < deadline)
           std::this_thread::sleep_for(std::chrono::milliseconds(20));
         ::kill(p.pid, SIGKILL);
         p.wait();
         sim().set_latency(0);
         h = History::open(t.url_);
         std::set<std::pair<std::string, Day>> landed;
         for (const auto& r : h->pulls("", kDays.front(), kDays.back())) landed.insert({r.account, r.day});
         EXPECT_GE(landed.size(), 2u);
         EXPECT_LT(landed.size(), 12u);
         for (const auto& id : t.ids_)
           for (const auto& day : kDays) t.expect_day(*h, id, day, landed.count({id, day}) > 0);
       }},
      {"TwoPullsOfTheSameDaysAtOnceDoubleNothing",
       [](HistoryPull& t) {
         Started a = t.start(kDays[0], kDays[1]), b = t.start(kDays[0], kDays[1]);
         EXPECT_EQ(a.wait(), 0);
         EXPECT_EQ(b.wait(), 0);
         auto h = History::open(t.url_);
         EXPECT_EQ(h->pulls("", kDays[0], kDays[1]).size(), 24u);
         for (const auto& id : t.ids_)
           for (const auto& day : {kDays[0], kDays[1]}) t.expect_day(*h, id, day);
       }},
      {"TwoShardsCoverEveryAccountOnce",
       [](HistoryPull& t) {
         for (const char* shard : {"1/2", "2/2"}) EXPECT_EQ(t.pull(kDays[0], kDays[0], {"--shard", shard}).status, 0);
         std::multiset<std::string> pulled;
         for (const auto& r : History::open(t.url_)->pulls("", kDays[0], kDays[0]))
           if (r.kind == "detail") pulled.insert(r.account);
         EXPECT_EQ(pulled, std::multiset<std::string>(t.ids_.begin(), t.ids_.end()));
       }},
  };
  return table;
}

std::vector<std::string> scenario_names() {
  std::vector<std::string> names;
  for (const auto& [name, run] : scenarios()) names.push_back(name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(BothDatabases, HistoryPull,
                         ::testing::Combine(::testing::ValuesIn(scenario_names()),
                                            ::testing::Values("sqlite", "postgresql")),
                         [](const auto& info) { return std::get<0>(info.param) + "_" + std::get<1>(info.param); });

// A day's first instant in a zone, also where a clock change skips midnight.
TEST(HistoryDays, ADayStartsAtItsFirstInstantInTheZone) {
  const struct {
    const char* day;
    const char* zone;
    std::int64_t start;
  } cases[] = {
      {"2026-03-01", "UTC", 1772323200},
      {"2026-03-01", "Asia/Shanghai", 1772294400},      // 16:00 UTC the day before
      {"2026-03-08", "America/New_York", 1772946000},   // still EST at midnight
      {"2026-09-06", "America/Santiago", 1788667200},   // midnight skipped: 01:00 -03
      {"2024-02-29", "Europe/Berlin", 1709161200},
  };
  for (const auto& c : cases) EXPECT_EQ(day_start(c.day, c.zone), c.start) << c.day << " " << c.zone;
  for (const char* zone : {"Nowhere/Else", "../../etc/passwd", "/usr/share/zoneinfo/UTC", ""})
    EXPECT_THROW(day_start("2026-03-01", zone), InvalidArgumentError) << zone;
  for (const char* day : {"2026-02-29", "2026-13-01", "2026-3-01", "1969-12-31"})
    EXPECT_THROW(day_range(day, "2027-01-01"), InvalidArgumentError) << day;
  EXPECT_EQ(day_range("2026-02-27", "2026-03-02").size(), 4u);
  EXPECT_THROW(day_range("2026-03-02", "2026-03-01"), InvalidArgumentError);
}

// A database written by a newer build is refused and left as it is.
TEST(HistorySchema, ANewerSchemaIsRefusedAndNotAltered) {
  testing::ScopedWorkDir work("qelkit-history-schema");
  for (const std::string& url : {(work.path() / "h.sqlite").string(), g_pg->create_database("newer")}) {
    {
      Store store(parse_target(url));
      store.sql() << "UPDATE qelkit_schema SET version = 7";
    }
    try {
      History::open(url);
      ADD_FAILURE() << "opened " << url;
    } catch (const HistoryError& e) {
      EXPECT_NE(std::string(e.what()).find("written by a newer qelkit (schema 7); this build reads up to 1"),
                std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace qelkit::history
