// The whole login and statistics road against the substitute platform, over
// real TLS, with the real child process completing each login.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"
#include "tests/support/net.hpp"

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

// The normalised rows of pages 0-5 without page `failed` (20 rows a page).
Json batch_without_page(const Json& expected, std::int64_t failed) {
  Json out = Json::array();
  for (std::size_t i = 0; i < 120 && i < expected.size(); ++i) {
    if (static_cast<std::int64_t>(i / 20) != failed) out.push_back(expected[i]);
  }
  return out;
}

std::vector<std::int64_t> pages_of(const std::vector<qelkit::FailedPage>& failed) {
  std::vector<std::int64_t> out;
  for (const auto& f : failed) out.push_back(f.page);
  return out;
}

const std::vector<std::int64_t> kFirstBatch = {0, 1, 2, 3, 4, 5};

// A loopback port with nothing listening on it.
using qelkit::testing::closed_port;

class FacadeFailuresE2E : public FacadeE2E {
 protected:
  static constexpr int kAccount = 4;
  static constexpr std::int64_t kTs = 1764547200;

  void SetUp() override {
    FacadeE2E::SetUp();
    const std::string token = start_login();
    sim().confirm(token, kAccount);
    id_ = text_of(sim().accounts()[kAccount]["uniqId"]);
    ASSERT_TRUE(wait_for_accounts(1).contains(id_));
    sim().set_download_rows(kAccount, 1000, kTs);
    expected_ = sim().expected_rows(kAccount, kTs)["normalised"];
  }

  std::size_t downloads() const { return sim().requests(download_).size(); }

  std::string id_;
  Json expected_;
  const std::string download_{qelkit::SpiderDriver::kStatisticsDownloadPath};
  const std::string list_{qelkit::SpiderDriver::kStatisticsListPath};
};

TEST_F(FacadeFailuresE2E, OnePageRefusedOrWithABadRowFailsTheQueryWithTheRestOfItsBatch) {
  qelkit::testing::FakeClock clock;
  {
    SCOPED_TRACE("one page refused");
    sim().script(download_, {{"errCode", 300500}});  // whichever page asks first
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "a refused page must fail the query";
    } catch (const qelkit::PlatformError& e) {
      EXPECT_EQ(e.code(), 300500);
      ASSERT_EQ(e.failed_pages().size(), 1u);
      EXPECT_EQ(e.rows(), batch_without_page(expected_, e.failed_pages()[0].page));
    }
    EXPECT_EQ(downloads(), 6u) << "no batch after the failed one";
  }
  {
    SCOPED_TRACE("a page with a bad row");
    const Json sent = sim().expected_rows(kAccount, kTs)["rows"];
    Json bad = Json::array();  // a page as the platform sends it, with one row that cannot be normalised
    for (std::size_t i = 0; i < 20; ++i) bad.push_back(sent[i]);
    bad[3]["attachProfit"] = nullptr;
    sim().script(download_, {{"errCode", 0}, {"data", {{"continueFlag", true}, {"dataRows", bad}}}});
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "a page with a bad row must fail the query";
    } catch (const qelkit::ConversionError& e) {
      ASSERT_EQ(e.failed_pages().size(), 1u);
      const std::int64_t page = e.failed_pages()[0].page;
      EXPECT_NE(std::string(e.what()).find("page " + std::to_string(page) + " of the detailed statistics"),
                std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("attachProfit"), std::string::npos) << e.what();
      EXPECT_EQ(e.rows(), batch_without_page(expected_, page));
    }
  }
  // And the success path is untouched: every row, as before.
  EXPECT_EQ(QelDriver::get_detailed_data_statistic(id_, kTs), (Json{{"code", 0}, {"data", expected_}}));
}

TEST_F(FacadeFailuresE2E, ABusyPlatformOrACutConnectionFailsEveryPageOfTheBatch) {
  qelkit::testing::FakeClock clock;
  {
    SCOPED_TRACE("busy beyond ten re-requests");
    sim().script(download_, {{"errCode", 300201}, {"count", 66}});  // eleven answers for each of six pages
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "a busy platform must fail the query";
    } catch (const qelkit::PlatformError& e) {
      EXPECT_EQ(e.code(), 303);
      EXPECT_EQ(pages_of(e.failed_pages()), kFirstBatch);
      EXPECT_EQ(e.rows(), Json::array());
    }
    EXPECT_EQ(downloads(), 66u);
    EXPECT_EQ(clock.sleeps(), std::vector<double>(60, 3.0));
  }
  {
    SCOPED_TRACE("every connection cut mid-download");
    sim().script(download_, {{"real", true}, {"cut_after", 40}, {"count", 18}});  // three attempts for each page
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "cut downloads must fail the query";
    } catch (const qelkit::NoReplyError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("pages 0, 1, 2, 3, 4, 5 of the detailed statistics could not be fetched: "
                                            "no reply from ", 0),
                0u) << e.what();
      EXPECT_EQ(pages_of(e.failed_pages()), kFirstBatch);
    }
  }
}

TEST_F(FacadeFailuresE2E, AnExpiredLoginOrAPlatformThatIsDownFailsBothQueries) {
  qelkit::testing::FakeClock clock;
  {
    SCOPED_TRACE("platform down");
    qelkit::testing::ScopedEnv down("QELKIT_PLATFORM_ORIGIN", "https://127.0.0.1:" + std::to_string(closed_port()));
    EXPECT_THROW(QelDriver::get_data_statistic(id_, kTs, kTs + 86400), qelkit::NoReplyError);
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "an unreachable platform must fail the query";
    } catch (const qelkit::NoReplyError& e) {
      EXPECT_EQ(pages_of(e.failed_pages()), kFirstBatch);
    }
  }
  {
    SCOPED_TRACE("expired login");
    const Json sessions = sim().logins()["sessions"];
    ASSERT_FALSE(sessions.empty());
    for (const auto& session : sessions) sim().expire_session(session["session_id"].get<std::string>());
    try {
      QelDriver::get_data_statistic(id_, kTs, kTs + 86400);
      ADD_FAILURE() << "an expired login must fail the list query";
    } catch (const qelkit::LoginExpiredError& e) {
      EXPECT_EQ(e.account(), id_);
      EXPECT_NE(std::string(e.what()).find("account " + id_), std::string::npos) << e.what();
    }
    try {
      QelDriver::get_detailed_data_statistic(id_, kTs);
      ADD_FAILURE() << "an expired login must fail the detailed query";
    } catch (const qelkit::LoginExpiredError& e) {
      EXPECT_EQ(e.account(), id_);
      EXPECT_EQ(pages_of(e.failed_pages()), kFirstBatch);
      EXPECT_EQ(e.rows(), Json::array());
    }
  }
}

TEST_F(FacadeE2E, ADataFileWithAByteOrderMarkIsNamedAndNothingIsAsked) {
  fs::create_directories("json");
  const Json good = {{"acct", "c2VhbGVk"}};
  {
    std::ofstream out("json/data.json", std::ios::binary);
    out << "\xEF\xBB\xBF" << good.dump();
  }
  for (int query = 0; query < 2; ++query) {
    try {
      if (query == 0) QelDriver::get_data_statistic("acct", 1, 2);
      if (query == 1) QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE() << "query " << query << ": a data file with a byte-order mark must not pass for no logins";
    } catch (const qelkit::DataFileError& e) {
      EXPECT_EQ(e.path(), (fs::current_path() / "json" / "data.json").string());
      EXPECT_NE(std::string(e.what()).find("byte-order mark"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(sim().requests().empty());
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
  // The query's page workers are never joined when the process ends first;
  // ThreadSanitizer would call one that finished just before a leak. Every
  // other report still fails the run.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  const qelkit::testing::EnvChanges unjoined{
      {"TSAN_OPTIONS", std::string(tsan ? tsan : "") + ":report_thread_leaks=0"}};
  for (const char* pause : {"0", "150", "400"}) {
    auto run = qelkit::testing::run_program({QELKIT_EXITING_HOST_PATH, id, std::to_string(ts), "daemon", pause},
                                            work_dir_.path(), unjoined);
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
