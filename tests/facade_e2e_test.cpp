// The whole login and statistics road against the substitute platform, over
// real TLS, with the real child process completing each login.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::QelDriver;
using qelkit::testing::PlatformSim;
using qelkit::testing::PlatformSimEnvironment;

PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

std::string text_of(const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

class FacadeE2E : public ::testing::Test {
 protected:
  void SetUp() override { sim().reset(); }

  // Starts a login and returns its token, read back from the QR image.
  static std::string start_login() {
    Json record = QelDriver::get_login_qrcode_base64();
    EXPECT_EQ(record["code"], 0);
    const std::string url = record["data"].get<std::string>();
    EXPECT_EQ(url.rfind("data:image/png;base64,", 0), 0u);
    const std::string link = qelkit::testing::decode_qr_data_url(url);
    const std::string prefix = sim().origin() + "/mobile/confirm_login.html?token=";
    EXPECT_EQ(link.rfind(prefix, 0), 0u) << link;
    return link.substr(prefix.size());
  }

  // Waits (bounded) until the data file holds `count` accounts.
  static Json wait_for_accounts(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    Json doc;
    while (std::chrono::steady_clock::now() < deadline) {
      doc = qelkit::JsonFileHandler::load_data("data.json");
      if (doc.is_object() && doc.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return doc;
  }

  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-facade-e2e"};
};

TEST_F(FacadeE2E, QrLoginStoresTheSessionThePlatformIssued) {
  const std::string token = start_login();
  sim().confirm(token, 1);
  Json doc = wait_for_accounts(1);
  const Json account = sim().accounts()[1];
  const std::string id = text_of(account["uniqId"]);
  ASSERT_TRUE(doc.contains(id)) << doc.dump();

  // The stored value decrypts to the issued session: the list query sends it.
  std::string issued;
  const Json logins = sim().logins()["logins"];
  for (const Json& l : logins)
    if (l["token"] == token) issued = l["session_id"].get<std::string>();
  ASSERT_FALSE(issued.empty());
  Json rows = QelDriver::get_data_statistic(id, 1764547200, 1764633600);
  auto list_requests = sim().requests(std::string(qelkit::SpiderDriver::kStatisticsListPath));
  ASSERT_EQ(list_requests.size(), 1u);
  EXPECT_EQ(qelkit::testing::header_of(list_requests[0], "Cookie"), "sessionid=" + issued);

  // The rows are the platform's entries, reduced to four members.
  Json expected = sim().expected_list(1, 1764547200, 1764633600)["list"];
  ASSERT_EQ(rows.size(), std::min<std::size_t>(5, expected.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i]["drama_name"], expected[i]["dramaInfo"]["dramaName"]);
    EXPECT_EQ(rows[i]["view_number"], expected[i].contains("readCount") ? qelkit::to_integer(expected[i]["readCount"]) : 0);
  }
}

TEST_F(FacadeE2E, EightLoginsConfirmedTogetherAllLand) {
  std::vector<std::string> tokens;
  for (int i = 0; i < 8; ++i) tokens.push_back(start_login());
  for (int i = 0; i < 8; ++i) sim().confirm(tokens[i], i);
  Json doc = wait_for_accounts(8);
  std::set<std::string> expected;
  for (int i = 0; i < 8; ++i) expected.insert(text_of(sim().accounts()[i]["uniqId"]));
  std::set<std::string> got;
  for (const auto& [k, v] : doc.items()) got.insert(k);
  EXPECT_EQ(got, expected);
}

TEST_F(FacadeE2E, DetailedStatisticsEqualThePlatformsRowsInOrder) {
  const std::string token = start_login();
  sim().confirm(token, 2);
  Json doc = wait_for_accounts(1);
  const std::string id = text_of(sim().accounts()[2]["uniqId"]);
  ASSERT_TRUE(doc.contains(id));

  const std::int64_t ts = 1764547200;
  sim().set_download_rows(2, 250, ts);  // 13 pages: three batches
  Json result = QelDriver::get_detailed_data_statistic(id, ts);
  Json expected = sim().expected_rows(2, ts)["normalised"];
  ASSERT_EQ(expected.size(), 250u);
  ASSERT_TRUE(result.is_object());
  EXPECT_EQ(result["code"], 0);
  EXPECT_EQ(result["data"], expected);
  EXPECT_EQ(sim().requests(std::string(qelkit::SpiderDriver::kStatisticsDownloadPath)).size(), 18u);
}

// A host whose main returns while a detailed query runs on a non-daemon
// thread: the process waits for the thread before any library clean-up, so
// every row arrives and the process ends normally. With the query on a
// daemon thread the process may end first, but never by a crash or a
// sanitizer report (its workers must not touch torn-down globals).
TEST_F(FacadeE2E, AHostReturningFromMainWhileAQueryRunsEndsCleanly) {
  const std::string token = start_login();
  sim().confirm(token, 3);
  Json doc = wait_for_accounts(1);
  const std::string id = text_of(sim().accounts()[3]["uniqId"]);
  ASSERT_TRUE(doc.contains(id));
  const std::int64_t ts = 1764547200;
  sim().set_download_rows(3, 250, ts);
  sim().set_latency(40, std::string(qelkit::SpiderDriver::kStatisticsDownloadPath));

  // Returning at once, and once the query's connections are under way.
  for (const char* pause : {"0", "150", "400"}) {
    auto run = qelkit::testing::run_program({QELKIT_EXITING_HOST_PATH, id, std::to_string(ts), "waited", pause},
                                            work_dir_.path());
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "rows 250\n") << run.err;
    EXPECT_EQ(run.err, "");
  }
  for (const char* pause : {"0", "150", "400"}) {
    auto run = qelkit::testing::run_program({QELKIT_EXITING_HOST_PATH, id, std::to_string(ts), "daemon", pause},
                                            work_dir_.path());
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == "" || run.out == "rows 250\n") << run.out;
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  qelkit::handle_child_task(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  PlatformSim::Options options;
  options.seed = 7;
  options.accounts = 8;
  PlatformSimEnvironment::install(options);
  return RUN_ALL_TESTS();
}
