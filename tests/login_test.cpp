// The login object against the substitute platform, with the real child
// process completing each login: every outcome, concurrent logins, cancel,
// a dropped login, and a child that dies without reporting.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/login.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::Login;
using qelkit::LoginOutcome;
using qelkit::SpiderDriver;
using qelkit::testing::PlatformSim;
using qelkit::testing::PlatformSimEnvironment;
using qelkit::testing::ScopedEnv;
using Kind = LoginOutcome::Kind;

// Set for a login child of this program: its polling runs on a clock whose
// pauses pass at once, so the 300-second limit is reached in moments.
constexpr const char* kFastClockVariable = "QELKIT_LOGIN_TEST_FAST_CLOCK";

// Set for a login child of this program: it behaves as a host whose main
// does not call qelkit::handle_child_task.
constexpr const char* kForgetfulHostVariable = "QELKIT_LOGIN_TEST_FORGETFUL_HOST";

PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

std::string text_of(const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

std::string token_of(const Login& login) {
  const std::string& link = login.link();
  return link.substr(link.find("token=") + 6);
}

std::optional<std::string> read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The login children of this process (their command line names the facade's
// module), by pid.
std::vector<int> login_children() {
  std::vector<int> found;
  const std::string me = std::to_string(::getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto cmdline = read_text("/proc/" + pid + "/cmdline");
    const auto stat = read_text("/proc/" + pid + "/stat");
    if (!cmdline || !stat || cmdline->find("qelkit.sdk.qelfacade") == std::string::npos) continue;
    const auto paren = stat->rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat->substr(paren + 2));
    std::string state, ppid;
    fields >> state >> ppid;
    if (ppid == me) found.push_back(std::stoi(pid));
  }
  return found;
}

// Polls (bounded) until `done` holds.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Every child of this process, whatever it runs.
std::set<int> child_pids() {
  std::set<int> found;
  const std::string me = std::to_string(::getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto stat = read_text("/proc/" + pid + "/stat");
    const auto paren = stat ? stat->rfind(')') : std::string::npos;
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat->substr(paren + 2));
    std::string state, ppid;
    fields >> state >> ppid;
    if (ppid == me) found.insert(std::stoi(pid));
  }
  return found;
}

// The one login child started since `before` (a snapshot of child_pids()),
// once it runs the login (its command line names the facade's module).
std::optional<int> new_login_child(const std::set<int>& before) {
  std::optional<int> child;
  eventually([&] {
    for (int pid : login_children()) {
      if (!before.count(pid)) child = pid;
    }
    return child.has_value();
  });
  return child;
}


Json stored() { return qelkit::JsonFileHandler::load_data("data.json"); }

class LoginE2E : public ::testing::Test {
 protected:
  void SetUp() override { sim().reset(); }
  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-login-test"};
};

// The QR code in both forms holds the link; a confirmed login reports the
// account it stored, with the platform's nickname, and keeps reporting it.
TEST_F(LoginE2E, StoredReportsTheAccountAndItsDisplayName) {
  Login login = Login::start();
  const std::string prefix = sim().origin() + "/mobile/confirm_login.html?token=";
  ASSERT_EQ(login.link().rfind(prefix, 0), 0u) << login.link();
  EXPECT_EQ(qelkit::testing::decode_qr_data_url(login.data_url()), login.link());

  // The module matrix, drawn with a quiet zone, reads back as the same link
  // and is the symbol of the PNG (module for module).
  const auto& modules = login.modules();
  ASSERT_FALSE(modules.empty());
  const std::uint32_t side = static_cast<std::uint32_t>(modules.size() + 8) * 4;
  qelkit::testing::GrayImage drawn{side, side, std::vector<std::uint8_t>(std::size_t{side} * side, 255)};
  for (std::size_t y = 0; y < modules.size(); ++y) {
    ASSERT_EQ(modules[y].size(), modules.size());
    for (std::size_t x = 0; x < modules.size(); ++x) {
      if (!modules[y][x]) continue;
      for (std::uint32_t py = 0; py < 4; ++py)
        for (std::uint32_t px = 0; px < 4; ++px)
          drawn.pixels[(static_cast<std::size_t>(y + 4) * 4 + py) * side + (x + 4) * 4 + px] = 0;
    }
  }
  EXPECT_EQ(qelkit::testing::decode_qr_gray(drawn), login.link());
  const auto png = qelkit::testing::read_png_gray(qelkit::testing::data_url_bytes(login.data_url()));
  ASSERT_EQ(png.width, (modules.size() + 8) * 10);
  for (std::size_t y = 0; y < modules.size(); ++y)
    for (std::size_t x = 0; x < modules.size(); ++x)
      ASSERT_EQ(png.at(static_cast<std::uint32_t>((x + 4) * 10 + 5), static_cast<std::uint32_t>((y + 4) * 10 + 5)) < 128,
                modules[y][x])
          << "module " << x << "," << y;

  EXPECT_FALSE(login.outcome());
  sim().confirm(token_of(login), 1);
  const LoginOutcome outcome = login.wait();
  const Json account = sim().accounts()[1];
  ASSERT_EQ(outcome.kind, Kind::stored) << outcome.message;
  EXPECT_EQ(outcome.account_id, text_of(account["uniqId"]));
  ASSERT_TRUE(outcome.display_name);
  EXPECT_EQ(*outcome.display_name, account["nickname"].get<std::string>());
  EXPECT_TRUE(stored().contains(outcome.account_id));
  EXPECT_EQ(login.wait().account_id, outcome.account_id);
  ASSERT_TRUE(login.outcome());
  EXPECT_EQ(login.cancel().kind, Kind::stored) << "a stored login is not undone by cancel";
  EXPECT_EQ(LoginOutcome::from_json(outcome.to_json()).to_json(), outcome.to_json());
}

// An account record without a nickname has no display name.
TEST_F(LoginE2E, AnAccountWithoutANicknameHasNoDisplayName) {
  Json user = sim().accounts()[2]["finderUser"];
  user["nickname"] = "";
  sim().script(std::string(SpiderDriver::kAuthDataPath), Json{{"errCode", 0}, {"data", {{"finderUser", user}}}});
  Login login = Login::start();
  sim().confirm(token_of(login), 2);
  const LoginOutcome outcome = login.wait();
  ASSERT_EQ(outcome.kind, Kind::stored) << outcome.message;
  EXPECT_EQ(outcome.account_id, text_of(user["uniqId"]));
  EXPECT_FALSE(outcome.display_name);
}

// Status 4: cancelled on the phone, or the code expired on the platform.
TEST_F(LoginE2E, TheEndOfTheLoginOnThePlatformIsReported) {
  Login login = Login::start();
  sim().cancel(token_of(login));
  const LoginOutcome cancelled = login.wait();
  EXPECT_EQ(cancelled.kind, Kind::ended) << cancelled.message;
  EXPECT_EQ(cancelled.code, 4);

  // A platform whose tokens live one second.
  PlatformSim::Options options;
  options.extra_args = {"--token-ttl", "1"};
  PlatformSim short_lived(options);
  ScopedEnv origin("QELKIT_PLATFORM_ORIGIN", short_lived.origin());
  ScopedEnv ca("QELKIT_CA_FILE", short_lived.ca_file());
  Login expiring = Login::start();
  const LoginOutcome expired = expiring.wait();
  EXPECT_EQ(expired.kind, Kind::ended) << expired.message;
  EXPECT_FALSE(fs::exists("json/data.json"));
}

// The platform does not grant the account data: an expired session (300) or
// another errCode; nothing is stored either way.
TEST_F(LoginE2E, ARefusedAuthorisationIsReportedWithItsCode) {
  for (const std::int64_t errcode : {300334, 300001}) {
    sim().script(std::string(SpiderDriver::kAuthDataPath), Json{{"errCode", errcode}});
    Login login = Login::start();
    sim().confirm(token_of(login), 0);
    const LoginOutcome outcome = login.wait();
    EXPECT_EQ(outcome.kind, Kind::refused) << outcome.message;
    EXPECT_EQ(outcome.code, errcode == 300334 ? 300 : errcode);
    EXPECT_EQ(outcome.account_id, "");
  }
  EXPECT_FALSE(fs::exists("json/data.json"));
}

// A child that cannot store: "json" is a plain file.
TEST_F(LoginE2E, AChildThatCannotStoreReportsTheFailure) {
  std::ofstream("json") << "not a directory";
  Login login = Login::start();
  sim().confirm(token_of(login), 0);
  const LoginOutcome outcome = login.wait();
  ASSERT_EQ(outcome.kind, Kind::failed);
  const std::string id = text_of(sim().accounts()[0]["uniqId"]);
  EXPECT_NE(outcome.message.find("could not write the login of account " + id), std::string::npos)
      << outcome.message;
  EXPECT_FALSE(outcome.exit_status) << "the child reported, so its exit status is not the news";
  EXPECT_EQ(*read_text("json"), "not a directory");
}

// The 300-second limit, on a child whose clock skips its pauses.
TEST_F(LoginE2E, ALoginNotConfirmedInTimeIsReportedAsSuch) {
  std::optional<Login> login;
  {
    ScopedEnv fast(kFastClockVariable, "1");
    login.emplace(Login::start());
  }
  const LoginOutcome outcome = login->wait();
  EXPECT_EQ(outcome.kind, Kind::unconfirmed) << outcome.message;
  EXPECT_GE(sim().requests(std::string(SpiderDriver::kLoginStatusPath)).size(), 100u);
}

// Two logins at once, to two accounts, each learn their own account.
TEST_F(LoginE2E, ConcurrentLoginsEachReportTheirOwnAccount) {
  Login first = Login::start();
  Login second = Login::start();
  sim().confirm(token_of(second), 3);
  sim().confirm(token_of(first), 2);
  const LoginOutcome a = first.wait();
  const LoginOutcome b = second.wait();
  ASSERT_EQ(a.kind, Kind::stored) << a.message;
  ASSERT_EQ(b.kind, Kind::stored) << b.message;
  EXPECT_EQ(a.account_id, text_of(sim().accounts()[2]["uniqId"]));
  EXPECT_EQ(b.account_id, text_of(sim().accounts()[3]["uniqId"]));
  const Json doc = stored();
  EXPECT_TRUE(doc.contains(a.account_id) && doc.contains(b.account_id)) << doc.dump();
}

// A wait that times out says so and can be repeated; cancel ends the child.
TEST_F(LoginE2E, AWaitCanTimeOutAndTheLoginCanBeCancelled) {
  const std::set<int> before = child_pids();
  Login login = Login::start();
  EXPECT_FALSE(login.wait(std::chrono::milliseconds(0)));
  EXPECT_FALSE(login.wait(std::chrono::milliseconds(100)));
  const std::optional<int> child = new_login_child(before);
  ASSERT_TRUE(child);
  const LoginOutcome outcome = login.cancel();
  EXPECT_EQ(outcome.kind, Kind::cancelled) << outcome.message;
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(*child))) << "the child was killed and reaped";
  EXPECT_EQ(login.wait().kind, Kind::cancelled);
  EXPECT_EQ(login.wait(std::chrono::milliseconds(0))->kind, Kind::cancelled);
  // The platform still waits for this token: confirming it stores nothing.
  sim().confirm(token_of(login), 0);
  EXPECT_FALSE(fs::exists("json/data.json"));
}

// A dropped login goes on in its child and stores the account.
TEST_F(LoginE2E, ADroppedLoginStillCompletes) {
  std::string token;
  std::optional<int> child;
  {
    const std::set<int> before = child_pids();
    Login login = Login::start();
    token = token_of(login);
    child = new_login_child(before);
  }
  ASSERT_TRUE(child);
  sim().confirm(token, 1);
  const std::string id = text_of(sim().accounts()[1]["uniqId"]);
  EXPECT_TRUE(eventually([&] { return stored().contains(id); }));
  const std::string proc = "/proc/" + std::to_string(*child);
  EXPECT_TRUE(eventually([&] { return !fs::exists(proc); })) << "the child ended and was reaped";
}

// A child that dies without reporting: failed, with the signal.
TEST_F(LoginE2E, AChildThatDiesUnreportedIsAFailureWithItsSignal) {
  const std::set<int> before = child_pids();
  Login login = Login::start();
  const std::optional<int> child = new_login_child(before);
  ASSERT_TRUE(child);
  ASSERT_EQ(::kill(*child, SIGKILL), 0);
  const LoginOutcome outcome = login.wait();
  EXPECT_EQ(outcome.kind, Kind::failed);
  EXPECT_EQ(outcome.exit_status, -SIGKILL);
  EXPECT_NE(outcome.message.find("without reporting"), std::string::npos) << outcome.message;
  EXPECT_NE(outcome.message.find("signal 9"), std::string::npos) << outcome.message;
}

// A data file that does not read: no login starts, nothing is asked of the
// platform; one damaged while the login runs is moved aside, and the outcome
// says where. No message quotes the file's content.
TEST_F(LoginE2E, AnUnreadableDataFileStopsTheStartAndIsReportedWhenMovedAside) {
  const std::string secret = "SECRETxENCRYPTEDxVALUE";
  const std::string cut = "{\"a\": \"enc1\", \"b\": \"enc2\", \"c\": \"" + secret;
  fs::create_directory("json");
  const std::string path = fs::absolute("json/data.json").string();
  for (const std::string& bytes : {cut, "\xEF\xBB\xBF{\"a\": \"" + secret + "\"}"}) {
    std::ofstream("json/data.json", std::ios::binary | std::ios::trunc) << bytes;
    try {
      Login::start();
      ADD_FAILURE() << "a login started";
    } catch (const qelkit::DataFileError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_NE(std::string(e.what()).find("move it aside (mv " + path), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("SECRET"), std::string::npos) << e.what();
    }
    EXPECT_EQ(*read_text("json/data.json"), bytes);
  }
  EXPECT_TRUE(sim().requests().empty()) << "no token was asked for";

  qelkit::JsonFileHandler::save_private_data(Json{{"a", "enc1"}}, "data.json");
  Login login = Login::start();
  std::ofstream("json/data.json", std::ios::binary | std::ios::trunc) << cut;
  sim().confirm(token_of(login), 0);
  const LoginOutcome outcome = login.wait();
  ASSERT_EQ(outcome.kind, Kind::stored) << outcome.message;
  ASSERT_TRUE(outcome.moved_aside);
  const std::string& said = *outcome.moved_aside;
  EXPECT_NE(said.find("the data file " + path + " was unreadable"), std::string::npos) << said;
  EXPECT_NE(said.find("no longer used until it is repaired"), std::string::npos) << said;
  EXPECT_EQ(said.find("SECRET"), std::string::npos) << said;
  const auto to = said.find("moved aside to ");
  ASSERT_NE(to, std::string::npos) << said;
  const std::string aside = said.substr(to + 15, said.find(';', to) - to - 15);
  EXPECT_EQ(read_text(aside), cut) << aside;
  EXPECT_EQ(stored(), (Json{{outcome.account_id, stored()[outcome.account_id]}}));
  EXPECT_EQ(LoginOutcome::from_json(outcome.to_json()).moved_aside, outcome.moved_aside);
}

// A child that ends without a word: the host's main most likely never handed
// its -c start to qelkit, and the message says so.
TEST_F(LoginE2E, AChildThatExitsUnreportedPointsToTheChildTaskEntry) {
  std::optional<Login> login;
  {
    ScopedEnv forgetful(kForgetfulHostVariable, "1");
    login.emplace(Login::start());
  }
  const LoginOutcome outcome = login->wait();
  EXPECT_EQ(outcome.kind, Kind::failed);
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_NE(outcome.message.find("main probably does not call qelkit::handle_child_task(argc, argv) first"),
            std::string::npos)
      << outcome.message;
}

// A refused token starts nothing.
TEST_F(LoginE2E, ARefusedTokenIsAPlatformError) {
  sim().script(std::string(SpiderDriver::kLoginCodePath), Json{{"errCode", 1}});
  const std::set<int> before = child_pids();
  try {
    Login::start();
    ADD_FAILURE() << "no error";
  } catch (const qelkit::PlatformError& e) {
    EXPECT_EQ(e.code(), 100);
  }
  // A child that had been started would exist by now (the launcher returns
  // after the child is made); children of earlier tests may only have gone.
  for (int pid : child_pids()) EXPECT_TRUE(before.count(pid)) << "a child was started: " << pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* fast = std::getenv(kFastClockVariable); fast && *fast) {
    static qelkit::testing::FakeClock clock;
  }
  // A host that forgets the child-task entry: its -c start runs on as a
  // normal start, which here ends at once.
  if (std::getenv(kForgetfulHostVariable) && argc > 1 && std::string_view(argv[1]) == "-c") return 0;
  qelkit::handle_child_task(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  PlatformSimEnvironment::install();
  return RUN_ALL_TESTS();
}
