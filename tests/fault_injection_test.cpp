// Faults injected by the substitute platform, over real TLS: every bad reply
// gives a record, an absent result or a qelkit error with a clear message;
// never a crash, a hang or another kind of exception.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/pagefanout.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"

namespace qelkit {
namespace {

using testing::FakeClock;
using testing::PlatformSim;
using testing::PlatformSimEnvironment;
using testing::ScopedEnv;

const auto* const kSimEnvironment = PlatformSimEnvironment::install();

const std::string kLoginCode(SpiderDriver::kLoginCodePath);
const std::string kLoginStatus(SpiderDriver::kLoginStatusPath);
const std::string kAuthData(SpiderDriver::kAuthDataPath);
const std::string kList(SpiderDriver::kStatisticsListPath);
const std::string kDownload(SpiderDriver::kStatisticsDownloadPath);

const Json kDownloadBody = {{"startTs", "1700000000"}, {"endTs", "1700000000"}};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { sim().reset(); }
  static PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

  // Runs the operation that reads `path`, with a session where it needs one.
  static Json call(const std::string& path) {
    SpiderDriver d;
    if (path == kLoginCode) return d.ale();
    if (path == kLoginStatus) return d.als("T");
    if (path == kAuthData) return d.add("S").value_or(Json("absent"));
    if (path == kList) return d.iast("S", Json::object()).value_or(Json("absent"));
    return d.owin("S", kDownloadBody);
  }

  // Expects `call(path)` to throw ProtocolError whose message names `needle`.
  static void expect_protocol_error(const std::string& path, const std::string& needle, const std::string& why) {
    SCOPED_TRACE(path + ": " + why);
    try {
      Json r = call(path);
      ADD_FAILURE() << "expected ProtocolError, got " << r.dump();
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << "needle " << needle << ": " << e.what();
    }
  }
};

TEST_F(FaultInjection, BodiesThatAreNotTheEnvelopeAreProtocolErrors) {
  FakeClock clock;
  for (const std::string& path : {kLoginCode, kLoginStatus, kAuthData, kList, kDownload}) {
    sim().script(path, {{"body", "<html>502 Bad Gateway</html>"}});
    expect_protocol_error(path, "JSON", "not JSON");
    sim().script(path, {{"body", R"({"errCode": 0, "data": {"tok)"}});
    expect_protocol_error(path, "JSON", "truncated JSON");
    sim().script(path, {{"body", R"({"data": {}})"}});
    expect_protocol_error(path, "errCode", "no errCode");
    sim().script(path, {{"body", R"({"errCode": "0", "data": {}})"}});
    expect_protocol_error(path, "errCode", "errCode as text");
    sim().script(path, {{"body", R"([0, 1])"}});
    expect_protocol_error(path, "not a JSON object", "an array");
  }
}

TEST_F(FaultInjection, MissingOrMistypedKeysUnderDataAreProtocolErrors) {
  FakeClock clock;
  sim().script(kLoginCode, {{"body", R"({"errCode": 0})"}});
  expect_protocol_error(kLoginCode, "data", "no data");
  sim().script(kLoginCode, {{"errCode", 0}, {"data", Json::object()}});
  expect_protocol_error(kLoginCode, "token", "no token");
  sim().script(kLoginCode, {{"errCode", 0}, {"data", Json::array()}});
  expect_protocol_error(kLoginCode, "\"data\"", "data is a list");

  sim().script(kLoginStatus, {{"errCode", 0}, {"data", {{"status", "1"}}}});
  expect_protocol_error(kLoginStatus, "status", "status as text");
  sim().script(kLoginStatus, {{"errCode", 300003}, {"data", Json::object()}});
  expect_protocol_error(kLoginStatus, "status", "error without status");

  sim().script(kAuthData, {{"errCode", 0}, {"data", {{"user", 1}}}});
  expect_protocol_error(kAuthData, "finderUser", "no finderUser");

  sim().script(kList, {{"errCode", 0}, {"data", {{"total", 0}}}});
  expect_protocol_error(kList, "list", "no list");

  sim().script(kDownload, {{"body", R"({"errCode": 0})"}});
  expect_protocol_error(kDownload, "data", "no data");
}

TEST_F(FaultInjection, HugeBodiesAreRead) {
  // Tens of MiB of a valid reply: a record, nothing lost.
  const std::string pad(24 << 20, 'x');
  Json big = {{"errCode", 0}, {"data", {{"list", Json::array({{{"dramaInfo", {{"dramaName", pad}}}}})}}}};
  sim().script(kList, {{"body", big.dump()}});
  std::optional<Json> r = SpiderDriver().iast("S", Json::object());
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["code"], 0);
  EXPECT_EQ((*r)["data"][0]["dramaInfo"]["dramaName"].get_ref<const std::string&>().size(), pad.size());
}

TEST_F(FaultInjection, ServerErrorsAndCutConnectionsAreRetried) {
  FakeClock clock;
  // 5xx, then a connection cut mid-body, then the real answer.
  sim().script(kLoginCode, Json::array({{{"status", 502}, {"body", "bad gateway"}},
                                        {{"real", true}, {"cut_after", 5}}, {{"real", true}}}));
  Json r = SpiderDriver().ale();
  EXPECT_EQ(r["code"], 0);
  EXPECT_TRUE(r["data"].is_string());
  EXPECT_EQ(clock.sleeps(), (std::vector<double>{1, 2}));

  // Cut every time: no reply at all, said plainly.
  sim().script(kLoginCode, {{"real", true}, {"cut_after", 3}, {"count", 3}});
  try {
    SpiderDriver().ale();
    ADD_FAILURE() << "expected NoReplyError";
  } catch (const NoReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("auth_login_code"), std::string::npos) << e.what();
  }
}

TEST_F(FaultInjection, ARepliesThatNeverComeEndAtTheTimeLimit) {
  FakeClock clock;
  ScopedEnv limit("QELKIT_HTTP_TIMEOUT_MS", "250");
  sim().script(kDownload, {{"real", true}, {"delay_ms", 2000}, {"count", 3}});
  try {
    SpiderDriver().owin("S", kDownloadBody);
    ADD_FAILURE() << "expected NoReplyError";
  } catch (const NoReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("download-finder-native-drama-statistic"), std::string::npos) << e.what();
  }
}

TEST_F(FaultInjection, APlatformBusyForeverEndsWith303) {
  FakeClock clock;
  sim().script(kDownload, {{"errCode", 300201}, {"count", 50}});
  EXPECT_EQ(SpiderDriver().owin("S", kDownloadBody), (Json{{"code", 303}, {"data", Json::array()}}));
  EXPECT_EQ(sim().requests(kDownload).size(), 11u);
  EXPECT_EQ(clock.sleeps(), std::vector<double>(10, 3.0));
}

TEST_F(FaultInjection, TheFanOutEndsQuietlyWhenEveryPageFails) {
  FakeClock clock;
  sim().script(kDownload, {{"status", 500}, {"body", "down"}, {"count", 100}});
  auto fanout = std::make_shared<QelDis>();
  fanout->a = "S";
  fanout->b = 1700000000;
  fanout->start();
  fanout->join();
  EXPECT_EQ(fanout->data, Json::array());
  EXPECT_EQ(sim().requests(kDownload).size(), 18u);  // one batch of six, three attempts each
}

}  // namespace
}  // namespace qelkit
