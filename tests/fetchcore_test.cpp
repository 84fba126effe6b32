// SpiderDriver against the fake transport and clock, its QR image against
// zbar, and the libcurl transport against loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/browser_profile.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/qr_decode.hpp"

namespace qelkit {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FakeClock;
using testing::FakeTransport;
using testing::json_response;
using testing::raw_response;

constexpr const char* kOrigin = "https://platform.test:8443";

std::string url_of(std::string_view path) { return std::string(kOrigin) + std::string(path); }

// Runs `f`, which must throw E; returns the message.
template <typename E, typename F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception type: " << e.what();
    return {};
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

class SpiderTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QELKIT_PLATFORM_ORIGIN", kOrigin, 1); }
  void TearDown() override { unsetenv("QELKIT_PLATFORM_ORIGIN"); }

  FakeTransport transport;
  FakeClock clock;
  SpiderDriver spider;
};

// ------------------------------------------------------------ headers

TEST_F(SpiderTest, SetDeadBuildsOrderedHeadersWithCookieOnlyForNonEmptySessionIds) {
  const Headers fixed{{"Content-Type", "application/json; charset=utf-8"}, {"Accept", "*/*"}, {"Connection", "keep-alive"}};
  EXPECT_EQ(spider.set_dead(), fixed);
  EXPECT_EQ(spider.set_dead(""), fixed);

  Headers with_cookie = fixed;
  with_cookie.emplace_back("Cookie", "sessionid=abc");
  EXPECT_EQ(spider.set_dead("abc"), with_cookie);
  EXPECT_EQ(spider.set_dead(12).back(), (std::pair<std::string, std::string>{"Cookie", "sessionid=12"}));
}

TEST_F(SpiderTest, SetDeadRefusesControlCharactersWithoutRevealingTheSessionId) {
  for (std::string bad : {std::string("secret\r\nX-Evil: 1"), std::string("secret\0x", 8), std::string("sec\tret"),
                          std::string("secret\x7f")}) {
    const std::string msg = message_of<InvalidArgumentError>([&] { spider.set_dead(bad); });
    EXPECT_THAT(msg, HasSubstr("control character"));
    EXPECT_THAT(msg, Not(HasSubstr("secret")));
  }
  // Refused before anything is sent, by every operation that takes a session id.
  EXPECT_THROW(spider.add("a\nb"), InvalidArgumentError);
  EXPECT_THROW(spider.owit("a\nb"), InvalidArgumentError);
  EXPECT_EQ(transport.request_count(), 0u);
}

// ------------------------------------------------------------ pty

TEST_F(SpiderTest, PtyPausesDelayTimesAttemptExceptAfterTheLastAndGivesUp) {
  transport.set_handler([](const HttpRequest&) { return raw_response("busy", 500); });
  EXPECT_FALSE(spider.pty("https://x/a").has_value());
  EXPECT_EQ(transport.request_count(), 3u);
  EXPECT_THAT(clock.sleeps(), ElementsAre(1.0, 2.0));

  FakeClock half;
  EXPECT_FALSE(spider.pty("https://x/a", {}, 3, 0.5).has_value());
  EXPECT_THAT(half.sleeps(), ElementsAre(0.5, 1.0));

  FakeClock one;
  EXPECT_FALSE(spider.pty("https://x/a", {}, 1).has_value());
  EXPECT_TRUE(one.sleeps().empty());
  EXPECT_EQ(transport.request_count(), 7u);

  FakeClock none;
  EXPECT_FALSE(spider.pty("https://x/a", {}, 0).has_value());
  EXPECT_FALSE(spider.pty("https://x/a", {}, -2).has_value());
  EXPECT_EQ(transport.request_count(), 7u);
  EXPECT_TRUE(none.sleeps().empty());
}

TEST_F(SpiderTest, PtyAcceptsOnlyStatusesUpTo201) {
  for (long status : {200L, 201L}) {
    FakeTransport t;
    FakeClock c;
    t.push(raw_response("ok", status));
    auto reply = spider.pty("https://x/a");
    ASSERT_TRUE(reply.has_value()) << status;
    EXPECT_EQ(reply->status_code(), status);
    EXPECT_EQ(t.request_count(), 1u);
    EXPECT_TRUE(c.sleeps().empty());
  }
  for (long status : {202L, 204L, 404L, 500L}) {
    FakeTransport t;
    FakeClock c;
    t.push(raw_response("refused", status));
    t.push(raw_response("second", 200));
    auto reply = spider.pty("https://x/a");
    ASSERT_TRUE(reply.has_value()) << status;
    EXPECT_EQ(reply->text(), "second");
    EXPECT_THAT(c.sleeps(), ElementsAre(1.0)) << status;
  }
}

TEST_F(SpiderTest, PtySwallowsTransportFailuresOnly) {
  transport.push_failure("connection refused");
  transport.push(raw_response("fine"));
  auto reply = spider.pty("https://x/a", {}, 3, 0.25);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->text(), "fine");
  EXPECT_THAT(clock.sleeps(), ElementsAre(0.25));

  FakeTransport failing;
  FakeClock c;
  failing.set_handler([](const HttpRequest&) -> HttpResponse { throw InvalidArgumentError("bad profile"); });
  EXPECT_THROW(spider.pty("https://x/a"), InvalidArgumentError);
  failing.set_handler([](const HttpRequest&) -> HttpResponse { throw std::runtime_error("boom"); });
  EXPECT_THROW(spider.pty("https://x/a"), std::runtime_error);
  EXPECT_EQ(failing.request_count(), 2u);  // one attempt each, no retry
  EXPECT_TRUE(c.sleeps().empty());
}

TEST_F(SpiderTest, PtySendsThePostWithTheOptionsAsGiven) {
  transport.push(raw_response("{}"));
  RequestOptions options{{{"A", "1"}, {"b", "2"}}, "chrome142", Json{{"k", "v"}}};
  spider.pty("https://x/a?q=1", options);
  const HttpRequest sent = transport.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, "https://x/a?q=1");
  EXPECT_EQ(sent.headers, options.headers);
  EXPECT_EQ(sent.impersonate, "chrome142");
  EXPECT_EQ(sent.json, options.json);
}

TEST(ReplyTest, ReadsHeadersCaseInsensitivelyInOrderAndRefusesNonJsonBodies) {
  Reply reply(raw_response("not json", 200, {{"Set-Cookie", "a=1;"}, {"X", "y"}, {"set-cookie", "b=2;"}}),
              "https://x/endpoint");
  EXPECT_THAT(reply.header_values("SET-COOKIE"), ElementsAre("a=1;", "b=2;"));
  EXPECT_TRUE(reply.header_values("Missing").empty());
  EXPECT_THAT(message_of<ProtocolError>([&] { reply.json(); }), HasSubstr("https://x/endpoint"));
}

// ------------------------------------------------------------ login operations

TEST_F(SpiderTest, AleReturnsTheTokenOr100) {
  transport.push(json_response({{"errCode", 0}, {"data", {{"token", "T-1"}}}}));
  EXPECT_EQ(spider.ale(), (Json{{"code", 0}, {"data", "T-1"}}));
  const HttpRequest sent = transport.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, url_of(SpiderDriver::kLoginCodePath));
  EXPECT_EQ(sent.headers, spider.set_dead());
  EXPECT_FALSE(sent.json.has_value());
  EXPECT_EQ(sent.impersonate, "chrome142");

  transport.push(json_response({{"errCode", 1}}));  // data is not read
  EXPECT_EQ(spider.ale(), (Json{{"code", 100}}));
}

TEST_F(SpiderTest, FailuresAreExceptionsNamingTheKeyAndTheEndpoint) {
  const std::string endpoint = url_of(SpiderDriver::kLoginCodePath);

  transport.set_handler([](const HttpRequest&) { return raw_response("gateway down", 502); });
  std::string msg = message_of<NoReplyError>([&] { spider.ale(); });
  EXPECT_THAT(msg, HasSubstr(endpoint));
  EXPECT_THAT(msg, HasSubstr("502"));
  EXPECT_THAT(clock.sleeps(), ElementsAre(1.0, 2.0));

  FakeTransport t;
  t.push(raw_response("<html>"));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.ale(); }), HasSubstr(endpoint));
  t.push(json_response({1, 2}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.ale(); }), HasSubstr("not a JSON object"));
  t.push(json_response({{"data", {{"token", "T"}}}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.ale(); }), HasSubstr("\"errCode\""));
  t.push(json_response({{"errCode", "0"}, {"data", {{"token", "T"}}}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.ale(); }), HasSubstr("not an integer"));
  t.push(json_response({{"errCode", 0}, {"data", Json::object()}}));
  msg = message_of<ProtocolError>([&] { spider.ale(); });
  EXPECT_THAT(msg, HasSubstr("\"data.token\""));
  EXPECT_THAT(msg, HasSubstr(endpoint));
  t.push(json_response({{"errCode", 0}, {"data", "T"}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.ale(); }), HasSubstr("\"data\""));
  t.push(json_response({{"errCode", 0}}));
  EXPECT_THROW(spider.iast("s", Json::object()), ProtocolError);
}

TEST_F(SpiderTest, AlsReportsStatusesAndCapturesTheFirstSetCookie) {
  const std::string endpoint = url_of(SpiderDriver::kLoginStatusPath) + "?token=Tok_1-=";

  transport.push(json_response({{"errCode", 0}, {"data", {{"status", 0}}}}));
  EXPECT_EQ(spider.als("Tok_1-="), (Json{{"code", 0}}));
  EXPECT_EQ(transport.requests().at(0).url, endpoint);
  EXPECT_EQ(transport.requests().at(0).method, "POST");
  EXPECT_FALSE(transport.requests().at(0).json.has_value());

  transport.push(json_response({{"errCode", 0}, {"data", {{"status", 1}}}},
                               200, {{"set-cookie", "sessionid=S1; Path=/; wxuin=W1; Secure"},
                                     {"Set-Cookie", "sessionid=S2;"}}));
  EXPECT_EQ(spider.als("t"), (Json{{"code", 1}, {"data", {{"session_id", "S1"}, {"wx_uin", "W1"}}}}));

  // Only the first value counts, even when it lacks the session cookie.
  transport.push(json_response({{"errCode", 0}, {"data", {{"status", 1}}}}, 201,
                               {{"Set-Cookie", "other=1; Path=/"}, {"Set-Cookie", "sessionid=S2;"}}));
  EXPECT_EQ(spider.als("t"), (Json{{"code", 1}, {"data", {{"session_id", ""}, {"wx_uin", ""}}}}));

  transport.push(json_response({{"errCode", 0}, {"data", {{"status", 1}}}}));
  EXPECT_EQ(spider.als("t"), (Json{{"code", -1}, {"data", nullptr}}));

  // The status is passed on also under a platform error, and must be there.
  transport.push(json_response({{"errCode", 9}, {"data", {{"status", 4}}}}, 200, {{"Set-Cookie", "sessionid=S;"}}));
  EXPECT_EQ(spider.als("t"), (Json{{"code", 4}}));
  transport.push(json_response({{"errCode", 9}}));
  EXPECT_THROW(spider.als("t"), ProtocolError);
  transport.push(json_response({{"errCode", 0}, {"data", {{"status", "1"}}}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.als("t"); }), HasSubstr("data.status"));
}

TEST_F(SpiderTest, AlsRefusesTokensThatWouldChangeTheUrl) {
  for (const char* bad : {"a&b=c", "a#frag", "a b", "a\r\nb", "a\x7f"}) {
    EXPECT_THROW(spider.als(bad), InvalidArgumentError) << bad;
  }
  EXPECT_EQ(transport.request_count(), 0u);
}

TEST(SpiderFoTest, FindsTheFirstTerminatedCookieValues) {
  EXPECT_EQ(SpiderDriver::fo("sessionid=S1; Path=/; wxuin=W1; Secure"),
            (Json{{"session_id", "S1"}, {"wx_uin", "W1"}}));
  EXPECT_EQ(SpiderDriver::fo("sessionid=S1"), (Json{{"session_id", ""}, {"wx_uin", ""}}));
  EXPECT_EQ(SpiderDriver::fo("lang=en; Path=/"), (Json{{"session_id", ""}, {"wx_uin", ""}}));
  // Unanchored: a longer cookie name ending in the name matches; an empty
  // value is skipped for a later one.
  EXPECT_EQ(SpiderDriver::fo("xsessionid=X; wxuin=;wxuin=W2;")["session_id"], "X");
  EXPECT_EQ(SpiderDriver::fo("xsessionid=X; wxuin=;wxuin=W2;")["wx_uin"], "W2");
}

TEST_F(SpiderTest, AddSendsTheSessionCookieAndMapsCodes) {
  const Json user{{"uniqId", "u-1"}, {"nickname", "n"}};
  transport.push(json_response({{"errCode", 0}, {"data", {{"finderUser", user}}}}));
  EXPECT_EQ(spider.add("S1"), (Json{{"code", 0}, {"data", user}}));
  const HttpRequest sent = transport.requests().at(0);
  EXPECT_EQ(sent.url, url_of(SpiderDriver::kAuthDataPath));
  EXPECT_EQ(sent.headers, spider.set_dead("S1"));
  EXPECT_FALSE(sent.json.has_value());

  transport.push(json_response({{"errCode", 300334}}));
  EXPECT_EQ(spider.add("S1"), (Json{{"code", 300}}));
  transport.push(json_response({{"errCode", 5}}));
  EXPECT_FALSE(spider.add("S1").has_value());
  transport.push(json_response({{"errCode", 0}, {"data", Json::object()}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.add("S1"); }), HasSubstr("data.finderUser"));
}

// ------------------------------------------------------------ heartbeat and statistics

TEST_F(SpiderTest, OwitSendsOneGetAndIgnoresTheAnswer) {
  transport.push(raw_response("{\"errCode\": 1}", 500));
  EXPECT_TRUE(spider.owit("S1"));
  const HttpRequest sent = transport.requests().at(0);
  EXPECT_EQ(sent.method, "GET");
  EXPECT_EQ(sent.url, url_of(SpiderDriver::kHeartbeatPath));
  EXPECT_EQ(sent.headers, spider.set_dead("S1"));
  EXPECT_EQ(sent.impersonate, "chrome142");

  transport.push_failure("reset by peer");
  EXPECT_THROW(spider.owit("S1"), TransportError);
  EXPECT_EQ(transport.request_count(), 2u);
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(SpiderTest, IastPostsTheBodyAndMapsCodes) {
  const Json body{{"startTs", 1}, {"endTs", 2}, {"pageSize", 5}};
  transport.push(json_response({{"errCode", 0}, {"data", {{"list", Json::array()}}}}));
  EXPECT_EQ(spider.iast("S1", body), (Json{{"code", 0}, {"data", Json::array()}}));
  const HttpRequest sent = transport.requests().at(0);
  EXPECT_EQ(sent.url, url_of(SpiderDriver::kStatisticsListPath));
  EXPECT_EQ(sent.json, body);
  EXPECT_EQ(sent.headers, spider.set_dead("S1"));

  transport.push(json_response({{"errCode", 300334}}));
  EXPECT_EQ(spider.iast("S1", body), (Json{{"code", 300}}));
  transport.push(json_response({{"errCode", 1}}));
  EXPECT_FALSE(spider.iast("S1", body).has_value());
}

TEST_F(SpiderTest, OwinWaitsOutTenBusyAnswersButNotAnEleventh) {
  const Json body{{"startTs", 1}, {"endTs", 2}};
  const Json page{{"continueFlag", true}, {"dataRows", Json::array()}};
  for (int i = 0; i < 10; ++i) transport.push(json_response({{"errCode", 300200 + i % 4}}));
  transport.push(json_response({{"errCode", 0}, {"data", page}}));
  EXPECT_EQ(spider.owin("S1", body), (Json{{"code", 0}, {"data", page}}));
  EXPECT_EQ(transport.request_count(), 11u);
  EXPECT_EQ(clock.sleeps(), std::vector<double>(10, 3.0));
  for (const auto& sent : transport.requests()) {
    EXPECT_EQ(sent.url, url_of(SpiderDriver::kStatisticsDownloadPath));
    EXPECT_EQ(sent.json, body);
  }

  FakeTransport t;
  FakeClock c;
  t.set_handler([](const HttpRequest&) { return json_response({{"errCode", 300201}}); });
  EXPECT_EQ(spider.owin("S1", body), (Json{{"code", 303}, {"data", Json::array()}}));
  EXPECT_EQ(t.request_count(), 11u);
  EXPECT_EQ(c.sleeps(), std::vector<double>(10, 3.0));
}

TEST_F(SpiderTest, OwinMapsOtherCodesInOrder) {
  transport.push(json_response({{"errCode", 300334}}));
  EXPECT_EQ(spider.owin("S1", Json::object()), (Json{{"code", 300}}));
  transport.push(json_response({{"errCode", 7}}));
  EXPECT_EQ(spider.owin("S1", Json::object()), (Json{{"code", 7}, {"data", Json::array()}}));
  EXPECT_TRUE(clock.sleeps().empty());

  transport.push(json_response({{"errCode", 300203}}));
  transport.push(json_response({{"errCode", 300334}}));
  EXPECT_EQ(spider.owin("S1", Json::object()), (Json{{"code", 300}}));
  EXPECT_THAT(clock.sleeps(), ElementsAre(3.0));

  // Every pass is a full retrying request; a pass without a reply ends the loop.
  FakeClock c;
  transport.push(json_response({{"errCode", 300200}}));
  transport.push_failure();
  transport.push(json_response({{"errCode", 0}, {"data", {{"dataRows", {1}}}}}));
  EXPECT_EQ(spider.owin("S1", Json::object())["data"]["dataRows"], Json({1}));
  EXPECT_THAT(c.sleeps(), ElementsAre(3.0, 1.0));

  transport.push(json_response({{"errCode", 300200}}));
  for (int i = 0; i < 3; ++i) transport.push_failure();
  EXPECT_THROW(spider.owin("S1", Json::object()), NoReplyError);
  transport.push(json_response({{"errCode", 0}}));
  EXPECT_THAT(message_of<ProtocolError>([&] { spider.owin("S1", Json::object()); }), HasSubstr("\"data\""));
}

// ------------------------------------------------------------ QR image

TEST(GqbTest, EncodesTextsThatZbarReadsBack) {
  SpiderDriver spider;
  const std::string link =
      "https://platform.example.com/assistant/confirm_login?token="
      "AQAAAJ3k5Xv0sZ8mNqR7tLwYc2Fh9GdKpUe4Ib6OjMnVxWz1CyTrSa&lang=en_US";
  ASSERT_EQ(link.size(), 124u);
  for (const std::string& text : {std::string("hello"), link, std::string("bytes\0after NUL \xc3\xa9", 20)}) {
    const std::string url = spider.gqb(text);
    ASSERT_TRUE(url.starts_with("data:image/png;base64,"));
    EXPECT_EQ(url.find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(testing::data_url_bytes(url).starts_with("\x89PNG\r\n\x1a\n"));
    EXPECT_EQ(testing::decode_qr_data_url(url), text);
  }
}

TEST(GqbTest, DrawsTenPixelModulesInsideAFourModuleQuietZone) {
  const auto img = testing::read_png_gray(testing::data_url_bytes(SpiderDriver().gqb("hello")));
  // "hello" fits version 1 (21 modules), plus 4 quiet modules on each side.
  ASSERT_EQ(img.width, 290u);
  ASSERT_EQ(img.height, 290u);
  bool uniform = true, only_black_and_white = true, quiet_is_white = true;
  for (std::uint32_t y = 0; y < img.height; ++y) {
    for (std::uint32_t x = 0; x < img.width; ++x) {
      const auto p = img.at(x, y);
      only_black_and_white &= (p == 0 || p == 255);
      uniform &= (p == img.at(x / 10 * 10, y / 10 * 10));
      if (x < 40 || y < 40 || x >= 250 || y >= 250) quiet_is_white &= (p == 255);
    }
  }
  EXPECT_TRUE(uniform);
  EXPECT_TRUE(only_black_and_white);
  EXPECT_TRUE(quiet_is_white);
  // Top-left finder: seven dark modules across, then the light separator.
  for (std::uint32_t m = 0; m < 7; ++m) EXPECT_EQ(img.at(40 + 10 * m, 40), 0) << m;
  EXPECT_EQ(img.at(40 + 70, 40), 255);
}

TEST(GqbTest, RefusesTextTooLongForTheLargestSymbol) {
  EXPECT_THAT(message_of<InvalidArgumentError>([] { SpiderDriver().gqb(std::string(3000, 'x')); }),
              HasSubstr("too long"));
}

// ------------------------------------------------------------ impersonation profile

TEST(BrowserProfileTest, RequestHeadersReplaceProfileHeadersInPlace) {
  const auto* chrome = detail::find_browser_profile("chrome142");
  ASSERT_NE(chrome, nullptr);
  EXPECT_EQ(detail::find_browser_profile("chrome1"), nullptr);
  Headers defaults;
  for (const auto& [n, v] : chrome->headers) defaults.emplace_back(n, v);
  ASSERT_EQ(defaults.size(), 13u);

  const Headers merged = detail::merge_headers(defaults, SpiderDriver().set_dead("S"));
  ASSERT_EQ(merged.size(), 16u);
  EXPECT_EQ(merged[5], (std::pair<std::string, std::string>{"Accept", "*/*"}));  // the profile's Accept slot
  EXPECT_EQ(merged[10].first, "Accept-Encoding");
  EXPECT_EQ(merged[13].first, "Content-Type");
  EXPECT_EQ(merged[14].first, "Connection");
  EXPECT_EQ(merged[15], (std::pair<std::string, std::string>{"Cookie", "sessionid=S"}));
  EXPECT_EQ(detail::merge_headers(defaults, {{"user-agent", "x"}})[4], (std::pair<std::string, std::string>{"user-agent", "x"}));
}

}  // namespace
}  // namespace qelkit
