// The command-line host against a hostile platform (replies built to exhaust
// memory, leak a token or spoof the terminal) and hostile neighbours (a link
// planted where the QR image goes). Runs the built `qelkit` as a subprocess.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/qelkit/cli.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"

namespace qelkit {
namespace {

namespace fs = std::filesystem;
using testing::PlatformSimEnvironment;

const auto* const kSim = [] {
  testing::PlatformSim::Options options;
  options.auto_confirm_after = 0.5;
  return PlatformSimEnvironment::install(options);
}();

testing::ProgramRun run_cli(std::vector<std::string> args) {
  args.insert(args.begin(), QELKIT_CLI_PATH);
  return testing::run_program(args, fs::current_path(), {}, std::chrono::seconds(120));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A gzip reply that decodes to head, `unit` `count` times, then tail.
Json bomb(const std::string& head, const std::string& unit, int count, const std::string& tail) {
  return {{"body", unit}, {"body_repeat", count}, {"body_head", head}, {"body_tail", tail},
          {"content_encoding", "gzip"}, {"count", 6}};
}
Json auth_reply(const Json& user) { return {{"errCode", 0}, {"data", {{"finderUser", user}}}}; }

TEST(CliAttack, AHostilePlatformNeitherExhaustsMemoryNorLeaksNorSpoofsTheTerminal) {
  auto& sim = kSim->sim();
  const std::string list(SpiderDriver::kStatisticsListPath), auth(SpiderDriver::kAuthDataPath);
  const std::string row = R"({"date":"d","finderQelid":"q","dramaName":"n","finderNickname":"n","feedReadCount":1})";
  struct Case {
    const char* what;
    std::function<void(const std::string& account)> script;  // the account logged in first, "" for login
    std::vector<std::string> args;  // "ACCOUNT" stands for that account
    int exit;
    std::vector<std::string> shown, hidden;  // in standard output or error
  };
  const Case cases[] = {
      {"a list reply that parses into 21 million empty lists",
       [&](const std::string&) { sim.script(list, bomb(R"({"errCode":0,"data":{"list":[)", "[],", 21 << 20, "[]]}}")); },
       {"stats", "ACCOUNT", "1", "2"}, cli::kRefused, {list + " holds more than 100000 values"}, {}},
      {"download pages of 2,000 rows that say there is more",
       [&](const std::string&) {
         sim.script(std::string(SpiderDriver::kStatisticsDownloadPath),
                    bomb(R"({"errCode":0,"data":{"continueFlag":true,"dataRows":[)", row + ",", 1999, row + "]}}"));
       },
       {"detail", "ACCOUNT", "1"}, cli::kRefused, {"holds 2000 rows, more than the 1000 a page may hold"}, {}},
      {"an account record with a nickname of 1 MB",
       [&](const std::string&) { sim.script(auth, auth_reply({{"uniqId", "u"}, {"nickname", std::string(1 << 20, 'n')}})); },
       {"login", "--wait"}, cli::kOk, {"u\n", "Logged in as " + std::string(1024, 'n') + " ("}, {}},
      {"a login status that answers HTTP 500",
       [&](const std::string&) { sim.script(std::string(SpiderDriver::kLoginStatusPath), {{"status", 500}, {"count", 3}}); },
       {"login", "--wait"}, cli::kLoginFailed, {"auth_login_status?token=<hidden> after 3 attempts"}, {}},
      {"an account record without uniqId",
       [&](const std::string&) { sim.script(auth, auth_reply({{"nickname", "someone"}})); },
       {"accounts", "--check"}, cli::kRefused, {"has no uniqId, so it cannot confirm whose login it is", "error"}, {"live"}},
      {"C1, DEL and a bidirectional control in an error line",
       [&](const std::string&) { sim.script(list, {{"body", "[\"\u009b31m\x7f\u202e\"]"}}); },
       {"stats", "ACCOUNT", "1", "2"}, cli::kRefused, {"is not a JSON object"}, {"\u009b", "\x7f", "\u202e"}},
      {"a bidirectional control in a display name",
       [&](const std::string& account) { sim.script(auth, auth_reply({{"uniqId", account}, {"nickname", "gpj.\u202eexe"}})); },
       {"accounts", "--check"}, cli::kOk, {"gpj.\uFFFDexe"}, {"\u202e"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim.reset();
    testing::ScopedWorkDir dir("qelkit-cli-attack");
    std::string account;
    if (std::find(c.args.begin(), c.args.end(), "login") == c.args.end()) {
      const testing::ProgramRun login = run_cli({"login", "--wait"});
      ASSERT_EQ(login.status, 0) << login.err;
      account = login.out.substr(0, login.out.find('\n'));
    }
    c.script(account);
    std::vector<std::string> args = c.args;
    std::replace(args.begin(), args.end(), std::string("ACCOUNT"), account);
    const testing::ProgramRun r = run_cli(args);
    EXPECT_EQ(r.status, c.exit) << r.err;
    std::vector<std::string> hidden = c.hidden;
    const Json logins = sim.logins();  // kept: the loop walks a member of it
    for (const Json& login : logins["logins"]) hidden.push_back(login["token"].get<std::string>());
    for (const std::string& part : c.shown) EXPECT_NE((r.out + r.err).find(part), std::string::npos) << part;
    for (const std::string& part : hidden) EXPECT_EQ((r.out + r.err).find(part), std::string::npos) << part;
  }
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  std::printf("peak resident memory of the largest qelkit run: %ld MiB\n", usage.ru_maxrss / 1024);
}

// The QR image is as secret as the login: whoever decodes it first can take
// the login over. It is created for its owner only, and a file or link that
// another user left under its name is replaced, never written through.
TEST(CliAttack, TheQrImageIsPrivateAndNeverWrittenThroughAPlantedLink) {
  kSim->sim().reset();
  testing::ScopedWorkDir dir("qelkit-cli-png");
  std::ofstream("victim") << "the other user's file";
  fs::create_symlink(fs::absolute("victim"), "qr.png");
  ASSERT_EQ(::lchown("qr.png", testing::kOtherUid, testing::kOtherGid), 0);
  const mode_t old_umask = ::umask(022);
  const testing::ProgramRun r = run_cli({"login", "--wait", "--png", "qr.png"});
  ::umask(old_umask);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file("victim"), "the other user's file");
  struct stat st {};
  ASSERT_EQ(::lstat("qr.png", &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(testing::decode_qr_png(read_file("qr.png")).rfind(kSim->sim().origin() + "/mobile/confirm_login.html", 0),
            0u);
  for (const auto& entry : fs::directory_iterator(".")) {
    EXPECT_NE(entry.path().filename().string().rfind(".qr.png", 0), 0u) << "a temporary was left behind";
  }
}

}  // namespace
}  // namespace qelkit
