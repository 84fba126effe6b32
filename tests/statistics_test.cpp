// The typed statistics (Statistics) over every way a query ends, once with
// the fake transport and once against the substitute platform: the same
// scripted platform answers must give the same rows or the same kind of error.
#include "qelkit/sdk/statistics.hpp"

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/sealbox.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fake_login.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/work_dir.hpp"

namespace {

using qelkit::DetailRow;
using qelkit::ErrorKind;
using qelkit::Json;
using qelkit::ListEntry;
using qelkit::SpiderDriver;
using qelkit::Statistics;
using qelkit::testing::PlatformSimEnvironment;

const std::string kList(SpiderDriver::kStatisticsListPath);
const std::string kDownload(SpiderDriver::kStatisticsDownloadPath);
const auto* const kSim = PlatformSimEnvironment::install();

// Where the scripted answers come from. Requests to a path are answered from
// its scripted answers in order, then with an empty list or page.
class Platform {
 public:
  virtual ~Platform() = default;
  // Stores a login the platform accepts; returns the account id.
  virtual std::string log_in() = 0;
  virtual void script(const std::string& path, const Json& reply, int count = 1) = 0;
  virtual std::size_t requests() = 0;
};

class StubPlatform : public Platform {
 public:
  StubPlatform() {
    transport_.set_handler([this](const qelkit::HttpRequest& r) {
      std::lock_guard lock(m_);
      const std::string path = r.url.find(kList) != std::string::npos ? kList : kDownload;
      auto& queue = scripts_[path];
      if (!queue.empty()) {
        Json reply = queue.front();
        queue.pop_front();
        if (reply.contains("body")) {
          return qelkit::testing::raw_response(reply["body"].get<std::string>(), reply.value("status", 200L));
        }
        return qelkit::testing::json_response(reply);
      }
      return qelkit::testing::json_response(
          path == kList ? Json{{"errCode", 0}, {"data", {{"list", Json::array()}}}}
                        : Json{{"errCode", 0}, {"data", {{"continueFlag", 0}, {"dataRows", Json::array()}}}});
    });
  }
  std::string log_in() override {
    qelkit::testing::complete_fake_login("stub-session", "stub-account");
    return "stub-account";
  }
  void script(const std::string& path, const Json& reply, int count) override {
    std::lock_guard lock(m_);
    for (int i = 0; i < count; ++i) scripts_[path].push_back(reply);
  }
  std::size_t requests() override { return transport_.request_count(); }

 private:
  qelkit::testing::FakeTransport transport_;
  std::mutex m_;
  std::map<std::string, std::deque<Json>> scripts_;
};

class SimPlatform : public Platform {
 public:
  SimPlatform() {
    sim().reset();
    sim().set_download_rows(0, 0);
    sim().set_list_total(0, 0);
  }
  std::string log_in() override {
    const Json token = SpiderDriver().ale().at("data");
    sim().confirm(token.get<std::string>(), 0);
    qelkit::QelDriver().ce(token.get<std::string>());
    const Json id = sim().accounts()[0]["uniqId"];
    return id.is_string() ? id.get<std::string>() : id.dump();
  }
  void script(const std::string& path, const Json& reply, int count) override {
    Json r = reply;
    r["count"] = count;
    if (r.contains("status") && !r.contains("body")) r["body"] = "";
    sim().script(path, r);
  }
  std::size_t requests() override {
    return sim().requests(kList).size() + sim().requests(kDownload).size();
  }

 private:
  static qelkit::testing::PlatformSim& sim() { return PlatformSimEnvironment::sim(); }
};

Json page(const Json& rows) { return {{"errCode", 0}, {"data", {{"continueFlag", 1}, {"dataRows", rows}}}}; }
Json list_reply(int entries) {
  Json list = Json::array();
  for (int i = 0; i < entries; ++i) {
    list.push_back({{"dramaInfo", {{"dramaName", "d" + std::to_string(i)}}}, {"readCount", i}, {"iaaProfit", "7"}});
  }
  return {{"errCode", 0}, {"data", {{"list", list}}}};
}
Json platform_row(const Json& date, const Json& qel_id) {
  return {{"date", date},           {"finderQelid", qel_id}, {"dramaName", "drama"}, {"isAttachment", 1},
          {"feedReadCount", "12"},  {"dramaReadCount", 3},   {"iaaProfit", 4.9},
          {"finderNickname", "nick"}};
}

class StatisticsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fresh_platform(); }
  // A platform with no scripts and nothing logged; the earlier one is gone.
  void fresh_platform() {
    platform_.reset();
    if (GetParam()) {
      platform_ = std::make_unique<SimPlatform>();
    } else {
      platform_ = std::make_unique<StubPlatform>();
    }
  }
  qelkit::testing::ScopedWorkDir work_dir_{"qelkit-statistics"};
  qelkit::testing::FakeClock clock_;  // busy pauses and retries pass at once
  std::unique_ptr<Platform> platform_;
};

TEST_P(StatisticsTest, EveryWayAQueryFailsIsItsOwnKind) {
  struct Case {
    const char* name;
    std::function<void(Platform&, const std::string& account)> arrange;
    std::optional<ErrorKind> list_kind;  // none: the case is the detail's only
    ErrorKind detail_kind;
    std::int64_t code;  // of a PlatformError (a busy page's is 303)
  };
  const auto answer = [](Json reply) {
    return [reply](Platform& p, const std::string&) {
      p.script(kList, reply, 1000);
      p.script(kDownload, reply, 1000);
    };
  };
  const auto data_file = [](const std::string& text) {
    return [text](Platform&, const std::string&) { std::ofstream("json/data.json") << text; };
  };
  const Case cases[] = {
      {"undecryptable", [](Platform&, const std::string& account) {
         Json stored = qelkit::JsonFileHandler::load_data("data.json");
         stored[account] = qelkit::CryptoHelper("another", "pass", "phrase").encrypt("session");
         qelkit::JsonFileHandler::save_private_data(stored, "data.json");
       }, ErrorKind::stored_login, ErrorKind::stored_login, 0},
      {"not text", [](Platform&, const std::string& account) {
         qelkit::JsonFileHandler::save_private_data(Json{{account, 5}}, "data.json");
       }, ErrorKind::stored_login, ErrorKind::stored_login, 0},
      {"data file unreadable", data_file("[1"), ErrorKind::data_file, ErrorKind::data_file, 0},
      {"not stored", data_file("{}"), ErrorKind::account_not_stored, ErrorKind::account_not_stored, 0},
      {"expired", answer({{"errCode", 300334}}), ErrorKind::login_expired, ErrorKind::login_expired, 0},
      {"refused", answer({{"errCode", 7}}), ErrorKind::platform, ErrorKind::platform, 7},
      {"refused with 303", answer({{"errCode", 303}}), ErrorKind::platform, ErrorKind::platform, 303},
      {"busy", answer({{"errCode", 300200}}), ErrorKind::platform, ErrorKind::platform_busy, 0},
      {"HTTP 500", answer({{"status", 500}, {"body", "down"}}), ErrorKind::no_reply, ErrorKind::no_reply, 0},
      {"not JSON", answer({{"body", "<html>"}}), ErrorKind::protocol, ErrorKind::protocol, 0},
      {"not a number", [](Platform& p, const std::string&) {
         Json list = list_reply(1);
         list["data"]["list"][0]["readCount"] = "many";
         p.script(kList, list);
         Json row = platform_row("2026-03-01", "q");
         row["feedReadCount"] = "many";
         p.script(kDownload, page(Json::array({row})));
       }, ErrorKind::conversion, ErrorKind::conversion, 0},
      {"date neither text nor YYYYMMDD", [](Platform& p, const std::string&) {
         p.script(kDownload, page(Json::array({platform_row(2026, "q")})));
       }, std::nullopt, ErrorKind::conversion, 0},
  };
  for (const Case& c : cases) {
    for (const bool detail : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (detail ? " (detail)" : " (list)"));
      if (!detail && !c.list_kind) continue;
      const ErrorKind expected = detail ? c.detail_kind : *c.list_kind;
      fresh_platform();
      const std::string account = platform_->log_in();
      c.arrange(*platform_, account);
      try {
        if (detail) {
          Statistics::detail(account, 1'772'323'200);
        } else {
          Statistics::list(account, 1, 2);
        }
        ADD_FAILURE() << "no failure";
      } catch (const qelkit::Error& e) {
        EXPECT_EQ(qelkit::error_kind_name(e.kind()), qelkit::error_kind_name(expected)) << e.what();
        if (const auto* refusal = dynamic_cast<const qelkit::PlatformError*>(&e)) {
          const std::int64_t code = expected == ErrorKind::platform_busy ? 303 : c.code;
          if (code != 0) {
            EXPECT_EQ(refusal->code(), code);
          }
        }
        if (expected == ErrorKind::stored_login) {
          EXPECT_EQ(static_cast<const qelkit::StoredLoginError&>(e).account(), account);
        }
        if (expected == ErrorKind::stored_login || expected == ErrorKind::data_file ||
            expected == ErrorKind::account_not_stored) {
          EXPECT_EQ(platform_->requests(), 0u) << "the platform was asked";
        }
      }
    }
  }
}

TEST_P(StatisticsTest, RowsHaveOneTypePerMemberAndStreamInPageOrder) {
  const std::string account = platform_->log_in();
  platform_->script(kList, list_reply(5));
  platform_->script(kList, list_reply(2));
  const std::vector<ListEntry> entries = Statistics::list_all(account, 1, 2);
  ASSERT_EQ(entries.size(), 7u);  // two pages, the short one last
  EXPECT_EQ(entries[6], (ListEntry{"d1", 1, 7, 0}));

  platform_->script(kDownload, page(Json::array({platform_row(20260301, 123456), platform_row("2026-03-02", "q")})));
  const std::vector<DetailRow> rows = Statistics::detail(account, 1'772'323'200);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (DetailRow{"2026-03-01", "123456", "drama", true, 12, 3, 4, 0, "nick"}));
  EXPECT_EQ(rows[1].date, "2026-03-02");
  EXPECT_EQ(rows[1].qel_id, "q");

  // Streamed: one call per batch of six pages (the last batch holds the
  // first empty page), nothing kept.
  Json many = Json::array();
  for (int i = 0; i < 20; ++i) many.push_back(platform_row("2026-03-01", i));
  platform_->script(kDownload, page(many), 14);
  std::vector<std::size_t> batches;
  const std::int64_t delivered = Statistics::detail(account, 1'772'323'200, [&](std::vector<DetailRow>&& batch) {
    batches.push_back(batch.size());
  });
  EXPECT_EQ(delivered, 14 * 20);
  EXPECT_EQ(batches, (std::vector<std::size_t>{120, 120, 40}));

  // A sink that throws ends the query with its own exception.
  platform_->script(kDownload, page(many), 14);
  struct Full {};
  EXPECT_THROW(Statistics::detail(account, 1, [](std::vector<DetailRow>&&) { throw Full{}; }), Full);
}

// Decrypted logins are reused only while the stored text is unchanged: a new
// login of the same account is used at once, a damaged one still refused.
TEST(StoredLoginReuse, ANewOrDamagedLoginIsNeverServedFromAnEarlierDecryption) {
  qelkit::testing::ScopedWorkDir work_dir{"qelkit-statistics-reuse"};
  qelkit::testing::FakeClock clock;
  auto session_sent = [](const std::string& session) {
    qelkit::testing::FakeTransport transport;
    transport.set_handler([](const qelkit::HttpRequest&) { return qelkit::testing::json_response(list_reply(0)); });
    Statistics::list("acct", 1, 2);
    Statistics::list("acct", 1, 2);
    int found = 0;
    for (const qelkit::HttpRequest& r : transport.requests()) {
      for (const auto& [name, value] : r.headers) found += value.find(session) != std::string::npos;
    }
    return found;
  };
  qelkit::testing::complete_fake_login("session-one", "acct");
  EXPECT_EQ(session_sent("session-one"), 2);
  qelkit::testing::complete_fake_login("session-two", "acct");
  EXPECT_EQ(session_sent("session-two"), 2);

  Json stored = qelkit::JsonFileHandler::load_data("data.json");
  std::string text = stored["acct"].get<std::string>();
  text[text.size() / 2] = text[text.size() / 2] == 'A' ? 'B' : 'A';
  stored["acct"] = text;
  qelkit::JsonFileHandler::save_private_data(stored, "data.json");
  EXPECT_THROW(session_sent("session-two"), qelkit::StoredLoginError);
}

INSTANTIATE_TEST_SUITE_P(Platforms, StatisticsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Substitute" : "Stub"; });

}  // namespace
