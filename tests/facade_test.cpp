// The facade with the fake transport and clock: login completion, the data
// file, and both statistics queries. Runs in a fresh working directory.
#include "qelkit/sdk/qelfacade.hpp"

#include <signal.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/pagefanout.hpp"
#include "tests/page_platform.hpp"
#include "tests/support/fake_login.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/process.hpp"
#include "tests/support/work_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::QelDriver;
using qelkit::testing::FakeClock;
using qelkit::testing::FakeTransport;
using qelkit::testing::json_response;

bool ends_with(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
bool is_path(const qelkit::HttpRequest& r, std::string_view path) { return qelkit::testing::request_is(r, path); }
using qelkit::testing::cookie_of;
using LoginPlatform = qelkit::testing::FakeLogin;

class FacadeTest : public ::testing::Test {
 protected:
  static Json stored() { return qelkit::JsonFileHandler::load_data("data.json"); }

  // Logs `session` in as `uniq` through the real completion path.
  void store_login(const std::string& session, const Json& uniq) {
    qelkit::testing::complete_fake_login(session, uniq);
  }

  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-facade"};
};

TEST_F(FacadeTest, LoginNeverConfirmedPollsEveryTwoSecondsForFiveMinutes) {
  FakeTransport t;
  FakeClock clock;
  LoginPlatform p;
  p.confirm_at = 0;
  p.install(t);
  const double start = clock.now();
  QelDriver().ce("T");
  EXPECT_EQ(p.status_requests.load(), 150);
  EXPECT_EQ(p.auth_requests.load(), 0);
  EXPECT_LE(clock.now() - start, 300.0);
  for (double s : clock.sleeps()) EXPECT_EQ(s, 2.0);
  EXPECT_FALSE(fs::exists("json/data.json"));
  // the token goes into the status query unchanged
  EXPECT_TRUE(ends_with(t.requests().front().url, "auth_login_status?token=T"));
}

TEST_F(FacadeTest, LoginEndedOrAuthorisationRefusedStoresNothing) {
  {
    FakeTransport t;
    FakeClock c;
    LoginPlatform p;
    p.end_at = 1;
    p.install(t);
    QelDriver().ce("T");
    EXPECT_EQ(p.status_requests.load(), 1);
    EXPECT_EQ(p.auth_requests.load(), 0);
  }
  {
    FakeTransport t;
    FakeClock c;
    LoginPlatform p;
    p.auth_err = 300334;
    p.install(t);
    QelDriver().ce("T");
    EXPECT_EQ(p.status_requests.load(), 1);
    EXPECT_EQ(p.auth_requests.load(), 1);
  }
  EXPECT_FALSE(fs::exists("json/data.json"));
  {
    // an errCode the client does not map is no record at all: an error
    FakeTransport t;
    FakeClock c;
    LoginPlatform p;
    p.auth_err = 5;
    p.install(t);
    EXPECT_THROW(QelDriver().ce("T"), qelkit::ProtocolError);
  }
  EXPECT_FALSE(fs::exists("json/data.json"));
}

TEST_F(FacadeTest, ConfirmedLoginStoresTheEncryptedSessionUnderTheAccountId) {
  FakeTransport t;
  FakeClock c;
  LoginPlatform p;
  p.confirm_at = 3;
  p.install(t);
  QelDriver().ce("T");
  EXPECT_EQ(p.status_requests.load(), 3);
  EXPECT_EQ(p.auth_requests.load(), 1);
  // the session cookie captured at confirmation is what authorises
  auto reqs = t.requests();
  EXPECT_EQ(cookie_of(reqs.back()), "sessionid=SESS-1");

  Json doc = stored();
  ASSERT_TRUE(doc.is_object());
  ASSERT_EQ(doc.size(), 1u);
  ASSERT_TRUE(doc.contains("acct-1"));
  EXPECT_EQ(doc["acct-1"].get<std::string>().find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(doc["acct-1"].get<std::string>().find("SESS-1"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat("json/data.json", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // session credentials: owner only

  // the statistics query decrypts it back: the Cookie it sends is the session
  FakeTransport t2;
  t2.set_handler([](const qelkit::HttpRequest&) {
    return json_response({{"errCode", 0}, {"data", {{"list", Json::array()}}}});
  });
  EXPECT_EQ(QelDriver::get_data_statistic("acct-1", 1, 2), Json::array());
  ASSERT_EQ(t2.request_count(), 1u);
  EXPECT_EQ(cookie_of(t2.requests()[0]), "sessionid=SESS-1");
}

TEST_F(FacadeTest, LaterLoginsReplaceTheirOwnMemberAndKeepTheOthers) {
  store_login("S-A", "a");
  store_login("S-B", 1234567890123);  // numeric uniqId: decimal member name
  Json before = stored();
  store_login("S-A2", "a");
  Json after = stored();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_NE(after["a"], before["a"]);
  EXPECT_EQ(after["1234567890123"], before["1234567890123"]);
  EXPECT_EQ(after.begin().key(), "a");  // insertion order kept

  FakeTransport t;
  t.set_handler([](const qelkit::HttpRequest&) {
    return json_response({{"errCode", 0}, {"data", {{"list", Json::array()}}}});
  });
  QelDriver::get_data_statistic("a", 1, 2);
  QelDriver::get_data_statistic("1234567890123", 1, 2);
  auto reqs = t.requests();
  EXPECT_EQ(cookie_of(reqs[0]), "sessionid=S-A2");
  EXPECT_EQ(cookie_of(reqs[1]), "sessionid=S-B");
}

TEST_F(FacadeTest, AnUnreadableDataFileIsMovedAsideNotOverwritten) {
  fs::create_directories("json");
  {
    std::ofstream("json/data.json") << "{\"a\": \"truncated";
  }
  store_login("S", "x");
  Json doc = stored();
  EXPECT_EQ(doc.size(), 1u);
  int aside = 0;
  for (const auto& e : fs::directory_iterator("json")) {
    std::string name = e.path().filename().string();
    if (name.rfind("data.json.unreadable-", 0) == 0) {
      ++aside;
      std::ifstream in(e.path());
      std::string content((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(content, "{\"a\": \"truncated");
    }
  }
  EXPECT_EQ(aside, 1);
}

TEST_F(FacadeTest, StatisticsListQueryAndRows) {
  store_login("S", "acct");
  FakeTransport t;
  t.set_handler([](const qelkit::HttpRequest&) {
    Json list = Json::array();
    list.push_back({{"dramaInfo", {{"dramaName", "第一部"}}}, {"readCount", 10}, {"iaaProfit", "42"},
                    {"attachProfit", 2.9}});
    list.push_back({{"dramaInfo", {{"dramaName", "Two"}}}});
    return json_response({{"errCode", 0}, {"data", {{"list", list}}}});
  });
  Json rows = QelDriver::get_data_statistic("acct", -5, 1700000000, 0);
  EXPECT_EQ(rows, Json::parse(R"([
    {"drama_name": "第一部", "view_number": 10, "iaa_income": 42, "mount_income": 2},
    {"drama_name": "Two", "view_number": 0, "iaa_income": 0, "mount_income": 0}])"));
  EXPECT_EQ(rows[0].begin().key(), "drama_name");
  ASSERT_EQ(t.request_count(), 1u);
  const Json body = *t.requests()[0].json;
  EXPECT_EQ(body.dump(),
            R"({"pageSize":5,"currentPage":1,"startTs":"-5","endTs":"1700000000","queryString":""})");
  EXPECT_TRUE(is_path(t.requests()[0], qelkit::SpiderDriver::kStatisticsListPath));

  QelDriver::get_data_statistic("acct", 0, 0, 7);
  EXPECT_EQ((*t.requests()[1].json)["currentPage"], 7);
}

TEST_F(FacadeTest, StatisticsListFailures) {
  store_login("S", "acct");
  FakeTransport t;
  Json reply;
  t.set_handler([&](const qelkit::HttpRequest&) { return json_response(reply); });

  // An expired login is said, not passed off as a span without data.
  reply = {{"errCode", 300334}, {"data", Json::object()}};
  try {
    QelDriver::get_data_statistic("acct", 1, 2);
    ADD_FAILURE() << "an expired login must fail the call";
  } catch (const qelkit::LoginExpiredError& e) {
    EXPECT_EQ(e.account(), "acct");
    EXPECT_NE(std::string(e.what()).find("account acct"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("log in again"), std::string::npos) << e.what();
  }

  reply = {{"errCode", 0}, {"data", {{"list", {{{"dramaInfo", {{"dramaName", "x"}}}, {"attachProfit", nullptr}}}}}}};
  try {
    QelDriver::get_data_statistic("acct", 1, 2);
    ADD_FAILURE() << "a null profit must fail the call";
  } catch (const qelkit::ConversionError& e) {
    EXPECT_NE(std::string(e.what()).find("attachProfit"), std::string::npos) << e.what();
  }
  reply = {{"errCode", 0}, {"data", {{"list", {{{"readCount", 1}}}}}}};
  EXPECT_THROW(QelDriver::get_data_statistic("acct", 1, 2), qelkit::ProtocolError);
  reply = {{"errCode", 300500}, {"data", Json::object()}};
  try {
    QelDriver::get_data_statistic("acct", 1, 2);
    ADD_FAILURE() << "a refused query must fail the call";
  } catch (const qelkit::PlatformError& e) {
    EXPECT_EQ(e.code(), 300500);
    EXPECT_NE(std::string(e.what()).find("errCode 300500"), std::string::npos) << e.what();
  }
}

TEST_F(FacadeTest, UnknownAccountMakesNoRequestAndDamagedValueFailsClearly) {
  FakeTransport t;
  EXPECT_EQ(QelDriver::get_data_statistic("nobody", 1, 2), Json::array());
  EXPECT_EQ(QelDriver::get_detailed_data_statistic("nobody", 1), Json::array());
  EXPECT_EQ(t.request_count(), 0u);

  qelkit::JsonFileHandler::save_data({{"acct", std::string(64, 'A')}}, "data.json");
  try {
    QelDriver::get_data_statistic("acct", 1, 2);
    ADD_FAILURE() << "a value that does not decrypt must fail";
  } catch (const qelkit::AuthenticationError& e) {
    EXPECT_NE(std::string(e.what()).find("account acct"), std::string::npos) << e.what();
  }
  EXPECT_THROW(QelDriver::get_detailed_data_statistic("acct", 1), qelkit::AuthenticationError);
  EXPECT_EQ(t.request_count(), 0u);
}

TEST_F(FacadeTest, DetailedQueryGathersEveryPage) {
  store_login("S", "acct");
  FakeTransport t;
  FakeClock c;
  // 25 rows: page 0 full, page 1 five rows, the rest empty
  t.set_handler([](const qelkit::HttpRequest& r) {
    const Json& body = *r.json;
    int page = 0;
    if (body.contains("pageBuffer")) page = body["pageBuffer"] == "CBQQFA==" ? 1 : 2;
    Json rows = Json::array();
    int n = page == 0 ? 20 : page == 1 ? 5 : 0;
    for (int i = 0; i < n; ++i) {
      rows.push_back({{"date", body["startTs"]}, {"finderQelid", "q"}, {"dramaName", "d" + std::to_string(page * 20 + i)},
                      {"finderNickname", "nick"}, {"iaaProfit", i}});
    }
    return json_response({{"errCode", 0}, {"data", {{"continueFlag", n == 20}, {"dataRows", rows}}}});
  });
  Json result = QelDriver::get_detailed_data_statistic("acct", 1764547200);
  ASSERT_TRUE(result.is_object());
  EXPECT_EQ(result["code"], 0);
  ASSERT_EQ(result["data"].size(), 25u);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(result["data"][i]["drama_name"], "d" + std::to_string(i));
  EXPECT_EQ(result["data"][0]["date"], "1764547200");
  EXPECT_EQ(t.request_count(), 6u);  // one batch of six pages
}

TEST_F(FacadeTest, DetailedQueryWithNothingGatheredStillSucceeds) {
  store_login("S", "acct");
  FakeTransport t;
  FakeClock c;
  t.set_handler([](const qelkit::HttpRequest&) {
    return json_response({{"errCode", 0}, {"data", {{"continueFlag", false}, {"dataRows", Json::array()}}}});
  });
  EXPECT_EQ(QelDriver::get_detailed_data_statistic("acct", 1), (Json{{"code", 0}, {"data", Json::array()}}));
  EXPECT_EQ(t.request_count(), 6u);
}

// The platform row numbers behind normalised rows, in order.
std::vector<int> row_numbers(const Json& rows) {
  std::vector<int> out;
  for (const auto& row : rows) out.push_back(std::stoi(row.at("drama_name").get<std::string>().substr(6)));
  return out;
}

std::vector<int> rows_of_pages(std::initializer_list<int> pages) {
  std::vector<int> out;
  for (int p : pages)
    for (int n = p * 20; n < p * 20 + 20; ++n) out.push_back(n);
  return out;
}

std::vector<std::int64_t> pages_of(const std::vector<qelkit::FailedPage>& failed) {
  std::vector<std::int64_t> out;
  for (const auto& f : failed) out.push_back(f.page);
  return out;
}

bool mentions(const std::exception& e, const std::string& needle) {
  return std::string(e.what()).find(needle) != std::string::npos;
}

TEST_F(FacadeTest, ADetailedQueryWithAFailedPageRaisesWithTheRowsThatArrived) {
  using qelkit::testing::StatsPlatform;
  store_login("S", "acct");
  auto rows = StatsPlatform::rows(1000);

  {
    SCOPED_TRACE("page 2 refused, the rest of its batch served");
    StatsPlatform platform([&](std::int64_t page) {
      return page == 2 ? json_response({{"errCode", 300500}, {"data", Json::object()}}) : rows(page);
    });
    try {
      QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE() << "a refused page must fail the query";
    } catch (const qelkit::PlatformError& e) {
      EXPECT_EQ(e.code(), 300500);
      EXPECT_TRUE(mentions(e, "page 2 of the detailed statistics")) << e.what();
      EXPECT_EQ(row_numbers(e.rows()), rows_of_pages({0, 1, 3, 4, 5}));
      ASSERT_EQ(e.failed_pages().size(), 1u);
      EXPECT_EQ(e.failed_pages()[0], (qelkit::FailedPage{2, "code 300500 from the platform"}));
    }
    EXPECT_EQ(platform.pages().size(), 6u) << "no batch after the failed one";
  }
  {
    SCOPED_TRACE("every page refused for an expired login");
    StatsPlatform platform([](std::int64_t) { return json_response({{"errCode", 300334}, {"data", Json::object()}}); });
    try {
      QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE() << "an expired login must fail the query";
    } catch (const qelkit::LoginExpiredError& e) {
      EXPECT_EQ(e.account(), "acct");
      EXPECT_TRUE(mentions(e, "account acct")) << e.what();
      EXPECT_TRUE(mentions(e, "log in again")) << e.what();
      EXPECT_EQ(e.rows(), Json::array());
      EXPECT_EQ(pages_of(e.failed_pages()), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
    }
  }
  {
    SCOPED_TRACE("an expired login outranks a page without reply");
    StatsPlatform platform([&](std::int64_t page) {
      if (page == 1) return qelkit::testing::raw_response("down", 500);
      if (page == 3) return json_response({{"errCode", 300334}, {"data", Json::object()}});
      return rows(page);
    });
    try {
      QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE();
    } catch (const qelkit::LoginExpiredError& e) {
      EXPECT_EQ(row_numbers(e.rows()), rows_of_pages({0, 2, 4, 5}));
      ASSERT_EQ(pages_of(e.failed_pages()), (std::vector<std::int64_t>{1, 3}));
      EXPECT_EQ(e.failed_pages()[0].reason.rfind("NoReplyError: no reply from ", 0), 0u) << e.failed_pages()[0].reason;
    }
  }
  {
    SCOPED_TRACE("a page without reply keeps its kind and names the page");
    StatsPlatform platform([&](std::int64_t page) {
      return page == 4 ? qelkit::testing::raw_response("down", 500) : rows(page);
    });
    try {
      QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE();
    } catch (const qelkit::NoReplyError& e) {
      EXPECT_TRUE(mentions(e, "page 4 of the detailed statistics could not be fetched: no reply from ")) << e.what();
      EXPECT_EQ(row_numbers(e.rows()), rows_of_pages({0, 1, 2, 3, 5}));
      EXPECT_EQ(pages_of(e.failed_pages()), std::vector<std::int64_t>{4});
    }
  }
  {
    SCOPED_TRACE("a bad row spoils its page, and says so");
    StatsPlatform platform([&](std::int64_t page) {
      if (page != 0) return rows(page);
      Json list = Json::array();
      for (int n = 0; n < 20; ++n) list.push_back(qelkit::testing::platform_row(n));
      list[7]["attachProfit"] = nullptr;
      return qelkit::testing::page_reply(list, true);
    });
    try {
      QelDriver::get_detailed_data_statistic("acct", 1);
      ADD_FAILURE();
    } catch (const qelkit::ConversionError& e) {
      EXPECT_TRUE(mentions(e, "page 0 of the detailed statistics could not be fetched")) << e.what();
      EXPECT_TRUE(mentions(e, "attachProfit")) << e.what();
      EXPECT_EQ(row_numbers(e.rows()), rows_of_pages({1, 2, 3, 4, 5}));
    }
  }
}

TEST_F(FacadeTest, ADetailedQueryOnAPlatformThatStaysBusyRaisesCode303) {
  using qelkit::testing::StatsPlatform;
  store_login("S", "acct");
  StatsPlatform platform([](std::int64_t) { return json_response({{"errCode", 300202}, {"data", Json::object()}}); });
  FakeClock clock;  // installed last, so it counts the busy pauses (none is waited for)
  try {
    QelDriver::get_detailed_data_statistic("acct", 1);
    ADD_FAILURE() << "a busy platform must fail the query";
  } catch (const qelkit::PlatformError& e) {
    EXPECT_EQ(e.code(), 303);
    EXPECT_TRUE(mentions(e, "busy")) << e.what();
    EXPECT_EQ(pages_of(e.failed_pages()), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
  }
  EXPECT_EQ(platform.pages().size(), 66u);  // eleven answers per page
  EXPECT_EQ(clock.sleeps(), std::vector<double>(60, 3.0));
}

TEST_F(FacadeTest, ADetailedQueryThatNeverEndsStopsAtThePageLimit) {
  using qelkit::testing::StatsPlatform;
  store_login("S", "acct");
  // One row on every page, for ever.
  StatsPlatform platform([](std::int64_t page) {
    return qelkit::testing::page_reply(Json::array({qelkit::testing::platform_row(page)}), true);
  });
  try {
    QelDriver::get_detailed_data_statistic("acct", 1);
    ADD_FAILURE() << "a download without end must not pass for complete";
  } catch (const qelkit::PageLimitError& e) {
    EXPECT_TRUE(mentions(e, "10000 pages")) << e.what();
    EXPECT_EQ(e.rows().size(), static_cast<std::size_t>(qelkit::QelDis::kMaxPages));
    EXPECT_EQ(pages_of(e.failed_pages()), std::vector<std::int64_t>{qelkit::QelDis::kMaxPages});
  }
  EXPECT_EQ(platform.pages().size(), static_cast<std::size_t>(qelkit::QelDis::kMaxPages));
}

TEST_F(FacadeTest, TheProgressHookCountsEveryPageThatAnswered) {
  using qelkit::testing::StatsPlatform;
  store_login("S", "acct");
  StatsPlatform platform(StatsPlatform::rows(130));  // pages 0-6 with rows, 7-11 empty
  std::vector<std::int64_t> counts;
  std::set<std::thread::id> threads;
  Json result = QelDriver::get_detailed_data_statistic("acct", 1, [&](std::int64_t pages) {
    counts.push_back(pages);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(result["data"].size(), 130u);
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u) << "called on the query's own thread";
}

TEST_F(FacadeTest, ADataFileThatIsNotAJsonObjectIsNamedNotTakenForNoLogins) {
  FakeTransport t;
  fs::create_directories("json");
  const std::string path = (fs::current_path() / "json" / "data.json").string();
  struct Case {
    const char* name;
    std::string bytes;
    const char* problem;
  };
  const Case cases[] = {
      {"byte-order mark", "\xEF\xBB\xBF{\"acct\": \"x\"}", "byte-order mark"},
      {"invalid JSON", "{\"acct\": ", "not valid JSON"},
      {"an array", "[\"acct\"]", "holds array, not a JSON object"},
      {"a number", "7", "holds number, not a JSON object"},
  };
  auto expect_data_file_error = [&](const std::function<void()>& query, const std::string& problem) {
    try {
      query();
      ADD_FAILURE() << "expected DataFileError";
    } catch (const qelkit::DataFileError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(std::string(e.what()).rfind("the data file " + path + " is unreadable (", 0), 0u) << e.what();
      EXPECT_TRUE(mentions(e, problem)) << e.what();
    }
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream("json/data.json", std::ios::binary | std::ios::trunc) << c.bytes;
    expect_data_file_error([] { QelDriver::get_data_statistic("acct", 1, 2); }, c.problem);
    expect_data_file_error([] { QelDriver::get_detailed_data_statistic("acct", 1); }, c.problem);
  }
  {
    SCOPED_TRACE("a directory in its place");
    fs::remove("json/data.json");
    fs::create_directory("json/data.json");
    expect_data_file_error([] { QelDriver::get_data_statistic("acct", 1, 2); }, "json/data.json");
    fs::remove("json/data.json");
  }
  EXPECT_EQ(t.request_count(), 0u);

  // No file, or a file without the account: not stored, as before.
  EXPECT_EQ(QelDriver::get_data_statistic("acct", 1, 2), Json::array());
  EXPECT_EQ(QelDriver::get_detailed_data_statistic("acct", 1), Json::array());
  std::ofstream("json/data.json", std::ios::trunc) << "{\"other\": \"x\"}";
  EXPECT_EQ(QelDriver::get_data_statistic("acct", 1, 2), Json::array());
  EXPECT_EQ(QelDriver::get_detailed_data_statistic("acct", 1), Json::array());
  EXPECT_EQ(t.request_count(), 0u);
}

TEST_F(FacadeTest, ADataFileThisUserCannotReadIsNamed) {
  store_login("S", "acct");
  // Everyone may pass through to the file, which only its owner may read.
  fs::permissions(work_dir_.path(), fs::perms(0755));
  fs::permissions("json", fs::perms(0755));
  ASSERT_EQ(::chmod("json/data.json", 0600), 0);
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to let another user try the file";
  }
  const std::string path = (fs::current_path() / "json" / "data.json").string();
  const std::string outcome = qelkit::testing::as_unprivileged([&]() -> std::string {
    FakeTransport t;
    for (int query = 0; query < 2; ++query) {
      try {
        if (query == 0) QelDriver::get_data_statistic("acct", 1, 2);
        if (query == 1) QelDriver::get_detailed_data_statistic("acct", 1);
        return "no error";
      } catch (const qelkit::DataFileError& e) {
        if (e.path() != path || std::string(e.what()).find("Permission denied") == std::string::npos) {
          return std::string("wrong DataFileError: ") + e.what();
        }
      }
    }
    return t.request_count() == 0 ? "" : "a request went out";
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(FacadeTest, LoginEntryReturnsTheRefusalUnchangedAndStartsNothing) {
  FakeTransport t;
  t.push(json_response({{"errCode", 1}, {"data", Json::object()}}));
  Json record = QelDriver::get_login_qrcode_base64();
  EXPECT_EQ(record, (Json{{"code", 100}}));
  EXPECT_EQ(t.request_count(), 1u);
  // a started child would have created the directory of the data file or
  // polled; nothing but the one token request went out
}

TEST_F(FacadeTest, TheLoginChildStartsBeforeTheQrImageIsMade) {
  // A token too long for any QR symbol: the image fails, but the login
  // completion must already be under way by then.
  FakeTransport t;
  t.push(json_response({{"errCode", 0}, {"data", {{"token", std::string(2400, 'x')}}}}));
  std::set<int> before;
  for (const auto& [pid, state] : qelkit::testing::children()) before.insert(pid);
  EXPECT_THROW(QelDriver::get_login_qrcode_base64(), qelkit::InvalidArgumentError);
  int started = 0;
  for (const auto& [pid, state] : qelkit::testing::children()) {
    if (before.count(pid)) continue;
    ++started;
    ::kill(pid, SIGKILL);  // its work is of no interest, and its directory goes now
  }
  EXPECT_EQ(started, 1);
}

}  // namespace

int main(int argc, char** argv) {
  qelkit::handle_child_task(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
