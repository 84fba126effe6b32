// Stored accounts: listing, checking and heart-beating against the
// substitute platform with logins stored by real login children, and
// forgetting on real files: beside logins completing at the same moment,
// killed at any moment, in a read-only directory, and refusing files it
// must not touch.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/sdk/accounts.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/sanitized.hpp"
#include "tests/support/work_dir.hpp"
#include "tests/support/files.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::AccountCheck;
using qelkit::Accounts;
using qelkit::Json;
using qelkit::JsonFileHandler;
using qelkit::testing::PlatformSimEnvironment;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kModule = "tests.accounts";

qelkit::testing::PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

using qelkit::testing::read_file;

Json stored() { return JsonFileHandler::load_data_strict("data.json"); }

unsigned mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Stored logins "<prefix>0".."<prefix>n-1", each with a value of `size` bytes.
Json pool(const std::string& prefix, int n, std::size_t size = 40) {
  Json doc = Json::object();
  for (int i = 0; i < n; ++i) doc[prefix + std::to_string(i)] = std::string(size, 'e');
  return doc;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<qelkit::ChildTask> child_tasks() {
  std::vector<qelkit::ChildTask> table = qelkit::child_task_table();
  // Forgets <prefix><from> .. <prefix><to - 1> in turn and appends each id
  // to the progress file once it is forgotten.
  table.push_back({kModule, "Forget", "many",
                   [](const Json& a) {
                     const std::string prefix = a[0].get<std::string>();
                     std::ofstream progress(a[3].get<std::string>(), std::ios::app);
                     for (int i = a[1].get<int>(); i < a[2].get<int>(); ++i) {
                       const std::string id = prefix + std::to_string(i);
                       if (!Accounts::forget(id)) throw qelkit::Error("not stored: " + id);
                       progress << i << std::endl;
                     }
                   },
                   4});
  return table;
}

class StoredAccounts : public ::testing::Test {
 protected:
  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-accounts"};
};

TEST_F(StoredAccounts, ForgetRemovesOneMemberAndKeepsTheRestPrivate) {
  // No data file: nothing listed, nothing forgotten, nothing made.
  EXPECT_TRUE(Accounts::list().empty());
  EXPECT_FALSE(Accounts::forget("a"));
  EXPECT_FALSE(fs::exists("json"));

  JsonFileHandler::save_data(Json{{"a", "enc-a"}, {"b", "enc-b"}, {"c", "enc-c"}}, "data.json");
  ASSERT_EQ(::chmod("json/data.json", 0644), 0);  // as an older build may have left it
  EXPECT_THAT(Accounts::list(), ElementsAre("a", "b", "c"));

  EXPECT_TRUE(Accounts::forget("b"));
  EXPECT_EQ(stored(), (Json{{"a", "enc-a"}, {"c", "enc-c"}}));
  EXPECT_EQ(mode_of("json/data.json"), 0600u) << "a file of credentials is its owner's alone";
  EXPECT_FALSE(Accounts::forget("b"));
  EXPECT_THAT(Accounts::list(), ElementsAre("a", "c"));

  // A file that others may write is not ours to rewrite.
  ASSERT_EQ(::chmod("json/data.json", 0666), 0);
  const std::string before = read_file("json/data.json");
  EXPECT_THROW(Accounts::forget("a"), qelkit::SystemError);
  EXPECT_EQ(read_file("json/data.json"), before);

  // Operations that need a stored login name the account that is missing,
  // without asking anyone.
  ASSERT_EQ(::chmod("json/data.json", 0600), 0);
  try {
    Accounts::check("b");
    ADD_FAILURE() << "check of an account that is not stored";
  } catch (const qelkit::AccountNotStoredError& e) {
    EXPECT_EQ(e.account(), "b");
    EXPECT_THAT(e.what(), HasSubstr("no stored login for account b"));
  }
  EXPECT_THROW(Accounts::heartbeat("b"), qelkit::AccountNotStoredError);
}

TEST_F(StoredAccounts, AnUnreadableDataFileIsReportedAndLeftExactlyAsItIs) {
  fs::create_directory("json");
  for (const std::string& bytes : {std::string("{\"a\": \"enc"), std::string("\xEF\xBB\xBF{\"a\": \"x\"}"),
                                   std::string("[\"a\"]")}) {
    SCOPED_TRACE(bytes);
    std::ofstream("json/data.json", std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_THROW(Accounts::list(), qelkit::DataFileError);
    EXPECT_THROW(Accounts::check("a"), qelkit::DataFileError);
    EXPECT_THROW(Accounts::heartbeat("a"), qelkit::DataFileError);
    try {
      Accounts::forget("a");
      ADD_FAILURE() << "forget of an unreadable file";
    } catch (const qelkit::DataFileError& e) {
      EXPECT_EQ(e.path(), fs::absolute("json/data.json").string());
    }
    EXPECT_EQ(read_file("json/data.json"), bytes);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("json")) names.push_back(e.path().filename().string());
    EXPECT_THAT(names, ElementsAre("data.json")) << "nothing moved aside, no lock file";
  }
}

TEST_F(StoredAccounts, ForgetWorksInAReadOnlyDirectoryLikeALogin) {
  ASSERT_EQ(::chown(work_dir_.path().c_str(), qelkit::testing::unprivileged_uid(), static_cast<gid_t>(-1)), 0);
  const std::string outcome = qelkit::testing::as_unprivileged([]() -> std::string {
    JsonFileHandler::save_private_data(pool("k", 3), "data.json");
    if (::chmod("json", 0555) != 0) return "chmod";
    const bool forgotten = Accounts::forget("k1");
    const Json after = stored();
    const bool lock_file = fs::exists("json/data.json.lock");
    ::chmod("json", 0755);
    if (!forgotten) return "k1 was not forgotten";
    if (after != Json{{"k0", std::string(40, 'e')}, {"k2", std::string(40, 'e')}}) return "stored: " + after.dump();
    if (lock_file) return "a lock file appeared";
    return "";
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(StoredAccounts, AForgetKilledAtAnyMomentLeavesEveryOtherAccount) {
  std::mt19937 random(20260412);
  // About 300 KiB, so that a kill often lands inside a rewrite.
  const int n = 300;
  JsonFileHandler::save_private_data(pool("p", n, 1000), "data.json");
  std::size_t forgotten = 0;
  const int rounds = qelkit::testing::repetitions(12, 4);
  for (int round = 0; round < rounds && forgotten < n - 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string progress = "progress-" + std::to_string(round);
    qelkit::Process child = qelkit::TaskFactory().create_task(
        kModule, "Forget", "many", Json::array({"p", static_cast<int>(forgotten), n, progress}));
    // Once it has forgotten one (so that every round gets on), at a random
    // moment: between or inside its locked rewrites.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (lines_of(progress).empty() && !child.poll() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 100000)(random)));
    ::kill(child.pid(), SIGKILL);
    child.wait();

    Json doc;
    ASSERT_NO_THROW(doc = stored());
    // Forgetting goes in order: every account up to the last one reported
    // is gone, the one in flight may be, and every later one is there.
    std::size_t gone = 0;
    while (gone < static_cast<std::size_t>(n) && !doc.contains("p" + std::to_string(gone))) ++gone;
    for (int i = static_cast<int>(gone); i < n; ++i) ASSERT_TRUE(doc.contains("p" + std::to_string(i))) << i;
    for (const std::string& reported : lines_of(progress)) EXPECT_LT(std::stoul(reported), gone);
    ASSERT_GE(gone, forgotten);
    forgotten = gone;
  }
  EXPECT_GE(forgotten, static_cast<std::size_t>(rounds)) << "every round forgets at least one account";
}

// ---------------------------------------------------------------------------
// Against the substitute platform, with logins stored by real login children

class AccountsOnThePlatform : public StoredAccounts {
 protected:
  void SetUp() override { sim().reset(); }

  struct Login {
    std::string id;
    std::string session;
    qelkit::Process child;
  };

  // Asks for a token and starts the login completion for it in a child.
  static std::pair<std::string, qelkit::Process> start_login() {
    Json record = qelkit::SpiderDriver().ale();
    const std::string token = record.at("data").get<std::string>();
    return {token, qelkit::TaskFactory().create_task("qelkit.sdk.qelfacade", "QelDriver", "ce", Json::array({token}))};
  }

  static std::string id_of(int account) {
    const Json id = sim().accounts()[account]["uniqId"];
    return id.is_string() ? id.get<std::string>() : id.dump();
  }

  // A login of platform account `account`, confirmed on the phone and stored
  // by its child, which has ended.
  static Login log_in(int account) {
    auto [token, child] = start_login();
    const Json confirmed = sim().confirm(token, account);
    EXPECT_EQ(child.wait(), 0);
    return Login{id_of(account), confirmed.at("session_id").get<std::string>(), std::move(child)};
  }
};

TEST_F(AccountsOnThePlatform, ForgetWhileLoginsCompleteKeepsBothChanges) {
  // Accounts are forgotten one after another, without a pause, while three
  // real logins store theirs: no forget may drop a new login, and no login
  // may bring a forgotten account back.
  std::set<std::string> expected;
  int added = 0;
  // More accounts to forget, stored under the same lock as a login's.
  auto add_batch = [&] {
    qelkit::detail::update_stored_logins([&](Json& doc) {
      for (int i = 0; i < 500; ++i, ++added) {
        doc["old-" + std::to_string(added)] = std::string(40, 'e');
        expected.insert("old-" + std::to_string(added));
      }
    });
  };
  add_batch();
  std::vector<qelkit::Process> children;
  for (int account = 0; account < 3; ++account) {
    auto [token, child] = start_login();
    sim().confirm(token, account);
    children.push_back(std::move(child));
    expected.insert(id_of(account));
  }
  auto all_done = [&] {
    for (auto& c : children)
      if (!c.poll()) return false;
    return true;
  };
  int forgotten = 0;
  for (bool done = false; !done;) {
    done = all_done();  // read before the forget, so that one forget runs after the last login
    if (forgotten == added) add_batch();
    const std::string id = "old-" + std::to_string(forgotten++);
    ASSERT_TRUE(Accounts::forget(id)) << id;
    expected.erase(id);
  }
  for (auto& c : children) EXPECT_EQ(c.wait(), 0);

  const Json doc = stored();
  std::set<std::string> got;
  for (const auto& [id, value] : doc.items()) got.insert(id);
  EXPECT_EQ(got, expected);
}

TEST_F(AccountsOnThePlatform, CheckTellsLiveFromExpiredWithTheDisplayName) {
  const Login first = log_in(1);
  const Login second = log_in(2);
  EXPECT_THAT(Accounts::list(), ElementsAre(first.id, second.id));

  const std::size_t before = sim().requests(std::string(qelkit::SpiderDriver::kAuthDataPath)).size();
  const AccountCheck live = Accounts::check(first.id);
  EXPECT_TRUE(live.live());
  EXPECT_EQ(live.account, first.id);
  EXPECT_EQ(live.display_name, sim().accounts()[1]["nickname"].get<std::string>());
  const auto asked = sim().requests(std::string(qelkit::SpiderDriver::kAuthDataPath));
  ASSERT_EQ(asked.size(), before + 1);
  EXPECT_EQ(qelkit::testing::header_of(asked.back(), "Cookie"), "sessionid=" + first.session);

  sim().expire_session(first.session);
  const AccountCheck expired = Accounts::check(first.id);
  EXPECT_FALSE(expired.live());
  EXPECT_EQ(expired.state, AccountCheck::State::expired);
  EXPECT_EQ(expired.display_name, std::nullopt);
  EXPECT_TRUE(Accounts::check(second.id).live()) << "the other login is untouched";

  // The platform's account record as it may come: a nickname with escape
  // sequences (kept exact: showing it safely is the display's business), an
  // empty one or none, another account's record, another refusal.
  const std::string path(qelkit::SpiderDriver::kAuthDataPath);
  const std::string hostile = "\x1b]0;owned\x07\x1b[2Jname";
  sim().script(path, Json{{"errCode", 0}, {"data", {{"finderUser", {{"uniqId", second.id}, {"nickname", hostile}}}}}});
  EXPECT_EQ(Accounts::check(second.id).display_name, hostile);
  sim().script(path, Json::array({Json{{"errCode", 0}, {"data", {{"finderUser", {{"uniqId", second.id}, {"nickname", ""}}}}}},
                                  Json{{"errCode", 0}, {"data", {{"finderUser", {{"uniqId", second.id}}}}}}}));
  for (int i = 0; i < 2; ++i) {
    const AccountCheck nameless = Accounts::check(second.id);
    EXPECT_TRUE(nameless.live());
    EXPECT_EQ(nameless.display_name, std::nullopt);
  }
  sim().script(path, Json{{"errCode", 0}, {"data", {{"finderUser", {{"uniqId", first.id}, {"nickname", "x"}}}}}});
  EXPECT_THROW(
      {
        try {
          Accounts::check(second.id);
        } catch (const qelkit::ProtocolError& e) {
          EXPECT_THAT(e.what(), HasSubstr("belongs to account " + first.id));
          throw;
        }
      },
      qelkit::ProtocolError);
  sim().script(path, Json{{"errCode", 123}});
  try {
    Accounts::check(second.id);
    ADD_FAILURE() << "a refusal read as an answer";
  } catch (const qelkit::PlatformError& e) {
    EXPECT_EQ(e.code(), 123);
  }

  // A stored value that does not decrypt names the account.
  Json doc = stored();
  doc[second.id] = doc[first.id].get<std::string>().substr(0, 40) + "AAAA";
  JsonFileHandler::save_private_data(doc, "data.json");
  EXPECT_THROW(Accounts::check(second.id), qelkit::Error);
}

TEST_F(AccountsOnThePlatform, ChecksRememberTheDisplayNameBesideTheDataFile) {
  const Login first = log_in(1);
  const Login second = log_in(2);
  const std::string name = sim().accounts()[1]["nickname"].get<std::string>();
  EXPECT_EQ(Accounts::remembered_name(first.id), std::nullopt) << "nothing checked yet";

  // Several at a time, one result per account in the order given, a failure
  // in its own slot.
  const auto results = Accounts::check_all({first.id, "not-stored", second.id}, 2);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].account, first.id);
  ASSERT_TRUE(results[0].check && results[0].check->live());
  EXPECT_EQ(results[0].check->display_name, name);
  EXPECT_FALSE(results[1].check);
  EXPECT_THROW(std::rethrow_exception(results[1].failure), qelkit::AccountNotStoredError);
  ASSERT_TRUE(results[2].check && results[2].check->live());
  EXPECT_FALSE(results[2].failure);

  // The side file: names and the time of the check, nothing of the data file.
  const Json names = JsonFileHandler::load_data_strict("names.json");
  EXPECT_EQ(names[first.id]["display_name"], name);
  EXPECT_THAT(names[first.id]["checked"].get<std::string>(),
              ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"));
  EXPECT_EQ(read_file("json/names.json").find(stored()[first.id].get<std::string>()), std::string::npos);
  EXPECT_EQ(stored().size(), 2u) << "the data file keeps its format";

  // An expired login keeps the name it had; forgetting drops it.
  sim().expire_session(first.session);
  EXPECT_FALSE(Accounts::check(first.id).live());
  EXPECT_EQ(Accounts::remembered_name(first.id), name);
  ASSERT_TRUE(Accounts::forget(first.id));
  EXPECT_EQ(Accounts::remembered_name(first.id), std::nullopt);
  EXPECT_TRUE(Accounts::remembered_name(second.id).has_value());

  // A damaged side file reads as no names and never fails a check.
  std::ofstream("json/names.json", std::ios::trunc) << "{\"cut";
  EXPECT_EQ(Accounts::remembered_name(second.id), std::nullopt);
  EXPECT_TRUE(Accounts::check(second.id).live());
  EXPECT_TRUE(Accounts::remembered_name(second.id).has_value()) << "the next check rewrites it";
}

TEST_F(AccountsOnThePlatform, HeartbeatReachesThePlatformWithTheStoredSession) {
  const Login login = log_in(0);
  const std::string path(qelkit::SpiderDriver::kHeartbeatPath);
  EXPECT_TRUE(sim().requests(path).empty());
  Accounts::heartbeat(login.id);
  const auto beats = sim().requests(path);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(qelkit::testing::header_of(beats[0], "Cookie"), "sessionid=" + login.session);
  const Json logins = sim().logins();
  for (const Json& s : logins["sessions"]) {
    if (s["session_id"] == login.session) {
      EXPECT_EQ(s["heartbeats"], 1);
    }
  }

  // Out of reach: the transport's failure, not a silent success.
  qelkit::testing::ScopedEnv origin("QELKIT_PLATFORM_ORIGIN", "https://127.0.0.1:1");
  EXPECT_THROW(Accounts::heartbeat(login.id), qelkit::TransportError);
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<qelkit::ChildTask> table = child_tasks();
  qelkit::run_child_task(argc, argv, table);
  ::testing::InitGoogleTest(&argc, argv);
  PlatformSimEnvironment::install();
  return RUN_ALL_TESTS();
}
