// The command-line host against a hostile platform (replies built to exhaust
// memory, leak a token or spoof the terminal) and hostile neighbours (a link
// planted where the QR image goes). Runs the built `qelkit` as a subprocess.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/qelkit/cli.hpp"
#include "qelkit/common/docstore.hpp"
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

std::string path_of(std::string_view endpoint) { return std::string(endpoint); }

// A download page of `rows` small valid rows that says there is more, sent
// gzip-compressed.
Json page_of_rows(int rows) {
  const std::string row =
      R"({"date":"2026-03-01","finderQelid":"q","dramaName":"d","finderNickname":"n","feedReadCount":1})";
  return {{"body", row + ","},
          {"body_repeat", rows - 1},
          {"body_head", R"({"errCode":0,"data":{"continueFlag":true,"dataRows":[)"},
          {"body_tail", row + "]}}"},
          {"content_encoding", "gzip"},
          {"count", 6}};
}

// An envelope whose account record is `user`.
Json auth_reply(const Json& user) { return {{"errCode", 0}, {"data", {{"finderUser", user}}}}; }

struct HostileCase {
  const char* what;
  bool logged_in;  // a stored login first (its id replaces "ACCOUNT" in args)
  std::function<void(const std::string& account)> script;
  std::vector<std::string> args;
  int exit;
  std::function<std::string(const testing::ProgramRun&)> problem;  // "" when the run is sound
};

std::string lacks(const std::string& text, const std::string& part) {
  return text.find(part) == std::string::npos ? "" : "shows \"" + part + "\"";
}
std::string needs(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos ? "" : "does not show \"" + part + "\"";
}

TEST(CliAttack, AHostilePlatformNeitherExhaustsMemoryNorLeaksNorSpoofsTheTerminal) {
  auto& sim = kSim->sim();
  const std::string c1_del_bidi = "\u009b31m\x7f\u202e";
  const std::vector<HostileCase> cases{
      {"a list reply that parses into 21 million empty lists", true,
       [&](const std::string&) {
         sim.script(path_of(SpiderDriver::kStatisticsListPath),
                    {{"body", "[],"},
                     {"body_repeat", 21 * 1024 * 1024},
                     {"body_head", R"({"errCode":0,"data":{"list":[)"},
                     {"body_tail", "[]]}}"},
                     {"content_encoding", "gzip"}});
       },
       {"stats", "ACCOUNT", "1772323200", "1772409600"}, cli::kRefused,
       [](const testing::ProgramRun& r) {
         return needs(r.err, std::string(SpiderDriver::kStatisticsListPath) + " holds more than 100000 values");
       }},
      {"download pages of 2,000 rows each that say there is more", true,
       [&](const std::string&) { sim.script(path_of(SpiderDriver::kStatisticsDownloadPath), page_of_rows(2000)); },
       {"detail", "ACCOUNT", "1772323200"}, cli::kRefused,
       [](const testing::ProgramRun& r) {
         return needs(r.err, "holds 2000 rows, more than the 1000 a page may hold") + lacks(r.out, "2026-03-01");
       }},
      {"an account record with a nickname of 1 MB", false,
       [&](const std::string&) {
         sim.script(path_of(SpiderDriver::kAuthDataPath),
                    auth_reply({{"uniqId", "long-name"}, {"nickname", std::string(1 << 20, 'n')}}));
       },
       {"login", "--wait"}, cli::kOk,
       [](const testing::ProgramRun& r) {
         return needs(r.out, "long-name\n") + needs(r.err, "Logged in as " + std::string(1024, 'n') + " (") +
                (JsonFileHandler::load_data("data.json").contains("long-name") ? "" : "not stored");
       }},
      {"a login status that answers HTTP 500", false,
       [&](const std::string&) { sim.script(path_of(SpiderDriver::kLoginStatusPath), {{"status", 500}, {"count", 3}}); },
       {"login", "--wait"}, cli::kLoginFailed,
       [&](const testing::ProgramRun& r) {
         std::string problem = needs(r.err, "auth_login_status?token=<hidden> after 3 attempts");
         for (const Json& login : sim.logins()["logins"]) problem += lacks(r.err, login["token"].get<std::string>());
         return problem;
       }},
      {"an account record without uniqId", true,
       [&](const std::string&) { sim.script(path_of(SpiderDriver::kAuthDataPath), auth_reply({{"nickname", "someone"}})); },
       {"accounts", "--check"}, cli::kRefused,
       [](const testing::ProgramRun& r) {
         return needs(r.err, "has no uniqId, so it cannot confirm whose login it is") + lacks(r.out, "live") +
                needs(r.out, "error");
       }},
      {"C1, DEL and bidirectional controls in an error line", true,
       [&](const std::string&) {
         sim.script(path_of(SpiderDriver::kStatisticsListPath), {{"body", Json::array({c1_del_bidi}).dump()}});
       },
       {"stats", "ACCOUNT", "1772323200", "1772409600"}, cli::kRefused,
       [&](const testing::ProgramRun& r) {
         const std::string shown = r.out + r.err;
         return needs(r.err, "is not a JSON object") + lacks(shown, "\u009b") + lacks(shown, "\x7f") +
                lacks(shown, "\u202e");
       }},
      {"a bidirectional control in a live account's display name", true,
       [&](const std::string& account) {
         sim.script(path_of(SpiderDriver::kAuthDataPath), auth_reply({{"uniqId", account}, {"nickname", "gpj.\u202eexe"}}));
       },
       {"accounts", "--check"}, cli::kOk,
       [](const testing::ProgramRun& r) { return lacks(r.out, "\u202e") + needs(r.out, "gpj.\uFFFDexe"); }},
  };

  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    sim.reset();
    testing::ScopedWorkDir dir("qelkit-cli-attack");
    std::string account;
    if (c.logged_in) {
      const testing::ProgramRun login = run_cli({"login", "--wait"});
      ASSERT_EQ(login.status, 0) << login.err;
      account = login.out.substr(0, login.out.find('\n'));
    }
    c.script(account);
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (a == "ACCOUNT") a = account;
    }
    const testing::ProgramRun r = run_cli(args);
    EXPECT_EQ(r.status, c.exit) << r.err;
    EXPECT_EQ(c.problem(r), "") << "out: " << r.out.substr(0, 2000) << "\nerr: " << r.err.substr(0, 2000);
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
