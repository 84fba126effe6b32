// SpiderDriver against the fake transport and clock, its QR image against
// zbar, and the libcurl transport against loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <qrencode.h>

#include "qelkit/common/internal/browser_profile.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"

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
  const Headers fixed{
      {"Content-Type", "application/json; charset=utf-8"}, {"Accept", "*/*"}, {"Connection", "keep-alive"}};
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
  for (const std::string& text : {std::string("hello"), link, std::string("bytes\0after NUL \xc3\xa9", 18)}) {
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

// A confirm-login link of `length` characters: the 124-character one's
// start, then its token over and over.
std::string link_of_length(std::size_t length) {
  const std::string token = "AQAAAJ3k5Xv0sZ8mNqR7tLwYc2Fh9GdKpUe4Ib6OjMnVxWz1CyTrSa";
  std::string link = "https://platform.example.com/assistant/confirm_login?token=";
  while (link.size() < length) link += token;
  link.resize(length);
  return link;
}

TEST(GqbTest, ImagesHoldExactlyTheSymbolsModulesAndStaySmall) {
  // Read back with libpng, every pixel is the module libqrencode puts there
  // (same symbol: version, mask and all), whatever deflate settings wrote it;
  // and the files stay below what a common image library writes for the same
  // symbols (852 / 1,414 / 3,317 / 11,396 bytes).
  const std::pair<std::size_t, std::size_t> cases[] = {{50, 852}, {124, 1414}, {500, 3317}, {2000, 11396}};
  for (const auto& [length, reference_bytes] : cases) {
    SCOPED_TRACE("link of " + std::to_string(length) + " characters");
    const std::string link = link_of_length(length);
    const std::string png = testing::data_url_bytes(SpiderDriver().gqb(link));
    EXPECT_LE(png.size(), reference_bytes);

    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString(link.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
    ASSERT_TRUE(code);
    const auto img = testing::read_png_gray(png);
    const auto side = static_cast<std::uint32_t>((code->width + 8) * 10);
    ASSERT_EQ(img.width, side);
    ASSERT_EQ(img.height, side);
    std::size_t wrong = 0;
    for (std::uint32_t y = 0; y < side; ++y) {
      for (std::uint32_t x = 0; x < side; ++x) {
        const int mx = static_cast<int>(x / 10) - 4, my = static_cast<int>(y / 10) - 4;
        const bool inside = mx >= 0 && my >= 0 && mx < code->width && my < code->width;
        const bool dark = inside && (code->data[my * code->width + mx] & 1);
        wrong += img.at(x, y) != (dark ? 0 : 255);
      }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(testing::decode_qr_png(png), link);
  }
}

TEST(GqbTest, ChoosesTheDenserModesForDigits) {
  // Twenty digits fit version 1 (21 modules) only in numeric mode; as 8-bit
  // bytes they would need version 2 (25 modules).
  const std::string digits = "12345678901234567890";
  const std::string url = SpiderDriver().gqb(digits);
  EXPECT_EQ(testing::read_png_gray(testing::data_url_bytes(url)).width, (21u + 8u) * 10u);
  EXPECT_EQ(testing::decode_qr_data_url(url), digits);
  // And far more digits than 8-bit mode can hold at all.
  const std::string many(4000, '7');
  EXPECT_EQ(testing::decode_qr_data_url(SpiderDriver().gqb(many)), many);
}

TEST(GqbTest, RefusesTextItCannotEncode) {
  EXPECT_EQ(testing::decode_qr_data_url(SpiderDriver().gqb(std::string(2331, 'x'))).size(), 2331u);  // version 40
  EXPECT_THAT(message_of<InvalidArgumentError>([] { SpiderDriver().gqb(std::string(2332, 'x')); }),
              HasSubstr("too long"));
  EXPECT_THAT(message_of<InvalidArgumentError>([] { SpiderDriver().gqb(""); }), HasSubstr("empty"));
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
  EXPECT_EQ(detail::merge_headers(defaults, {{"user-agent", "x"}})[4],
            (std::pair<std::string, std::string>{"user-agent", "x"}));
}

// ------------------------------------------------------------ libcurl transport
namespace curl {

// Serves accepted loopback connections one after another, one handler each.
class LoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;

  explicit LoopbackServer(std::vector<Handler> handlers) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, handlers = std::move(handlers)] {
      for (const auto& handle : handlers) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 10'000) != 1) return;  // the client never came
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        handle(fd);
        ::close(fd);
        ++served_;
      }
    });
  }
  ~LoopbackServer() {
    thread_.join();
    ::close(listener_);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  int served() {
    thread_.join();
    thread_ = std::thread([] {});
    return served_;
  }

 private:
  int listener_ = -1;
  int port_ = 0;
  int served_ = 0;
  std::thread thread_;
};

// Reads one HTTP/1.1 request (head and Content-Length body).
std::string read_request(int fd) {
  std::string in;
  char buf[4096];
  size_t body_at = std::string::npos, need = 0;
  while (true) {
    if (body_at == std::string::npos && (body_at = in.find("\r\n\r\n")) != std::string::npos) {
      body_at += 4;
      const auto cl = in.find("Content-Length: ");
      need = cl != std::string::npos && cl < body_at ? std::stoul(in.substr(cl + 16)) : 0;
    }
    if (body_at != std::string::npos && in.size() >= body_at + need) return in;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return in;
    in.append(buf, static_cast<size_t>(n));
  }
}

void send_all(int fd, std::string_view out) {
  while (!out.empty()) {
    ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    out.remove_prefix(static_cast<size_t>(n));
  }
}

std::vector<std::string> header_names(const std::string& request) {
  std::vector<std::string> names;
  size_t at = request.find("\r\n") + 2;
  for (size_t end; (end = request.find("\r\n", at)) != at && end != std::string::npos; at = end + 2) {
    names.push_back(request.substr(at, request.find(':', at) - at));
  }
  return names;
}

int closed_port() {
  LoopbackServer probe({});
  return probe.port();  // closed again when probe goes away
}

TEST(CurlTransportTest, SendsProfileHeadersInOrderAndReadsTheFinalResponse) {
  // (Redirects, which lead to https only, are followed in e2e_platform_test.)
  std::string first;
  LoopbackServer server({
      [&](int fd) {
        first = read_request(fd);
        send_all(fd,
                 "HTTP/1.1 200 OK\r\nSet-Cookie: sessionid=S1; Path=/\r\nX-Other: a\r\nset-cookie: wxuin=W1;\r\n"
                 "Content-Encoding: gzip\r\nContent-Length: 38\r\nConnection: close\r\n\r\n" +
                     std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\x49\x4d\xce\x4f\x49\x4d\x51\x48\xaa"
                                 "\x54\xc8\xc9\x4c\x4a\x2e\x2d\xca\x01\x00\xa7\x3e\xb6\xf3\x12\x00\x00\x00",
                                 38));
      },
  });
  const Json body{{"startTs", 1}, {"name", "x"}};
  HttpRequest request{"POST", server.base() + "/start?x=1", SpiderDriver().set_dead("abc"), body, "chrome142"};
  const HttpResponse response = curl_transport().perform(request);
  EXPECT_EQ(server.served(), 1);

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "decoded by libcurl");
  EXPECT_THAT(Reply(response).header_values("Set-Cookie"), ElementsAre("sessionid=S1; Path=/", "wxuin=W1;"));

  // HTTP/1.1 over cleartext, as the browser: no upgrade to h2c.
  EXPECT_TRUE(first.starts_with("POST /start?x=1 HTTP/1.1\r\n")) << first;
  std::vector<std::string> names{"Host", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
                                 "Upgrade-Insecure-Requests", "User-Agent", "Accept", "Sec-Fetch-Site",
                                 "Sec-Fetch-Mode", "Sec-Fetch-User", "Sec-Fetch-Dest", "Accept-Encoding",
                                 "Accept-Language", "Priority", "Content-Type", "Connection", "Cookie",
                                 "Content-Length"};
  if (transport_info().impersonating) {
    // The impersonating libcurl puts the request's own headers after the
    // profile's, then its Content-Length, then Connection.
    std::erase(names, "Connection");
    names.push_back("Connection");
  }
  EXPECT_EQ(header_names(first), names);
  EXPECT_THAT(first, HasSubstr("\r\nConnection: keep-alive\r\n"));
  EXPECT_THAT(first, HasSubstr("\r\nAccept: */*\r\n"));
  EXPECT_THAT(first, HasSubstr("Chrome/142.0.0.0"));
  EXPECT_TRUE(first.ends_with("\r\n\r\n" + body.dump())) << first;
}

TEST(CurlTransportTest, FailuresBelowHttpAreTransportErrorsNamingTheUrl) {
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/x";
  EXPECT_THAT(message_of<TransportError>([&] { curl_transport().perform({"POST", url, {}, std::nullopt, ""}); }),
              HasSubstr(url));

  setenv("QELKIT_HTTP_TIMEOUT_MS", "300", 1);
  LoopbackServer silent({[](int fd) {
    char buf[512];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
  }});
  const std::string msg =
      message_of<TransportError>([&] { curl_transport().perform({"GET", silent.base() + "/", {}, std::nullopt, ""}); });
  unsetenv("QELKIT_HTTP_TIMEOUT_MS");
  EXPECT_THAT(msg, HasSubstr("timed out"));

  setenv("QELKIT_CA_FILE", "/nonexistent/extra-ca.pem", 1);
  const HttpRequest tls{"GET", "https://127.0.0.1:1/", {}, std::nullopt, ""};
  EXPECT_THAT(message_of<TransportError>([&] { curl_transport().perform(tls); }),
              HasSubstr("/nonexistent/extra-ca.pem"));
  unsetenv("QELKIT_CA_FILE");
}

TEST(CurlTransportTest, RefusesBadRequestsBeforeSendingAnything) {
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/x";
  const HttpRequest unknown_profile{"POST", url, {}, std::nullopt, "chrome1"};
  const std::string unknown = message_of<InvalidArgumentError>([&] { curl_transport().perform(unknown_profile); });
  EXPECT_THAT(unknown, HasSubstr("\"chrome1\""));
  // The impersonating libcurl judges profiles: its own words are passed on.
  if (transport_info().impersonating) {
    EXPECT_THAT(unknown, HasSubstr("Unknown impersonation target 'chrome1'"));
  }
  EXPECT_THROW(curl_transport().perform({"POST", url, {{"X", "a\r\nB: c"}}, std::nullopt, ""}), InvalidArgumentError);
  EXPECT_THROW(curl_transport().perform({"PUT", url, {}, std::nullopt, ""}), InvalidArgumentError);
  EXPECT_THROW(curl_transport().perform({"POST", url, {}, Json("\xff"), ""}), InvalidArgumentError);
}

// A TLS ClientHello as it went over the wire.
struct ClientHello {
  std::vector<unsigned> suites;
  std::vector<std::pair<unsigned, std::string>> extensions;  // type and data, in order

  // Reads the first handshake record of `bytes`; fails the test on a short one.
  explicit ClientHello(const std::string& bytes) {
    auto u8 = [&](size_t at) { return static_cast<unsigned>(static_cast<uint8_t>(bytes.at(at))); };
    auto u16 = [&](size_t at) { return (u8(at) << 8) | u8(at + 1); };
    if (bytes.size() < 48 || u8(0) != 0x16 || u8(5) != 0x01) {
      ADD_FAILURE() << "not a ClientHello record (" << bytes.size() << " bytes)";
      return;
    }
    size_t at = 9 + 2 + 32;  // record and handshake headers, version, random
    at += 1 + u8(at);        // session id
    for (size_t end = at + 2 + u16(at), i = at + 2; i < end; i += 2) suites.push_back(u16(i));
    at += 2 + u16(at);
    at += 1 + u8(at);  // compression methods
    for (size_t end = at + 2 + u16(at), i = at + 2; i < end; i += 4 + u16(i + 2)) {
      extensions.emplace_back(u16(i), bytes.substr(i + 4, u16(i + 2)));
    }
  }

  static bool grease(unsigned v) { return (v & 0x0F0F) == 0x0A0A && (v >> 8) == (v & 0xFF); }

  std::optional<std::string> extension(unsigned type) const {
    for (const auto& [t, data] : extensions) {
      if (t == type) return data;
    }
    return std::nullopt;
  }
  std::vector<unsigned> extension_types() const {
    std::vector<unsigned> types;
    for (const auto& e : extensions) types.push_back(e.first);
    return types;
  }
  // A list of 16-bit values behind a length of `length_bytes` (groups,
  // signature algorithms, supported versions).
  std::vector<unsigned> u16_list(unsigned type, size_t length_bytes = 2) const {
    std::vector<unsigned> out;
    const std::string data = extension(type).value_or("");
    for (size_t i = length_bytes; i + 1 < data.size(); i += 2) {
      out.push_back((static_cast<unsigned>(static_cast<uint8_t>(data[i])) << 8) | static_cast<uint8_t>(data[i + 1]));
    }
    return out;
  }
  // The groups of the key shares offered.
  std::vector<unsigned> key_share_groups() const {
    std::vector<unsigned> groups;
    const std::string data = extension(51).value_or("");
    auto u16 = [&](size_t at) {
      return (static_cast<unsigned>(static_cast<uint8_t>(data.at(at))) << 8) | static_cast<uint8_t>(data.at(at + 1));
    };
    for (size_t i = 2; i + 4 <= data.size(); i += 4 + u16(i + 2)) groups.push_back(u16(i));
    return groups;
  }

  // The JA4 fingerprint of this hello, after FoxIO's definition: protocol,
  // version, SNI or IP, counts of suites and extensions without GREASE, ALPN;
  // then the SHA-256 prefixes of the sorted suites, and of the sorted
  // extensions without SNI and ALPN followed by the signature algorithms in
  // their order.
  std::string ja4() const {
    auto hex4 = [](unsigned v) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "%04x", v);
      return std::string(buf);
    };
    auto joined = [&](const std::vector<unsigned>& values) {
      std::string out;
      for (unsigned v : values) out += (out.empty() ? "" : ",") + hex4(v);
      return out;
    };
    auto sha256_12 = [](const std::string& text) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int len = 0;
      EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
      std::string out;
      for (unsigned i = 0; i < 6; ++i) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", md[i]);
        out += buf;
      }
      return out;
    };
    std::vector<unsigned> ciphers, exts;
    std::copy_if(suites.begin(), suites.end(), std::back_inserter(ciphers), [](unsigned v) { return !grease(v); });
    for (const auto& e : extensions) {
      if (!grease(e.first)) exts.push_back(e.first);
    }
    unsigned version = 0;
    for (unsigned v : u16_list(43, 1)) {
      if (!grease(v)) version = std::max(version, v);
    }
    std::string alpn = "00";
    if (const auto a = extension(16); a && a->size() > 3) {
      const std::string first = a->substr(3, static_cast<uint8_t>((*a)[2]));
      alpn = std::string{first.front(), first.back()};
    }
    char head[16];
    std::snprintf(head, sizeof head, "t%s%c%02zu%02zu", version == 0x0304 ? "13" : "12", extension(0) ? 'd' : 'i',
                  ciphers.size(), exts.size());
    std::sort(ciphers.begin(), ciphers.end());
    std::erase_if(exts, [](unsigned t) { return t == 0 || t == 16; });
    std::sort(exts.begin(), exts.end());
    std::string c = joined(exts);
    if (const auto sigalgs = u16_list(13); !sigalgs.empty()) c += "_" + joined(sigalgs);
    return head + alpn + "_" + sha256_12(joined(ciphers)) + "_" + sha256_12(c);
  }
};

// Reads what a client sends until one whole TLS record is in.
std::string read_record(int fd) {
  std::string in;
  char buf[4096];
  auto record_end = [&] { return 5u + ((static_cast<uint8_t>(in[3]) << 8) | static_cast<uint8_t>(in[4])); };
  while (in.size() < 5 || in.size() < record_end()) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  return in;
}

// The ClientHello of the chrome142 profile, read off the wire, in the mode
// this build runs in. Each mode's fingerprint is pinned by its JA4 (to an
// address, so without a server name; to a host name the same hellos give
// t13d1516h2_8daaf6152771_d8a2da3f94cd with the impersonating libcurl, as
// the browser, and t13d1613h2_1711a4c0508c_65df7edfe3b3 on stock, where
// OpenSSL then adds padding).
TEST(CurlTransportTest, ProfileShapesTheTlsClientHello) {
  std::string first, second;
  LoopbackServer server({[&](int fd) { first = read_record(fd); }, [&](int fd) { second = read_record(fd); }});
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(curl_transport().perform({"GET", url, {}, std::nullopt, "chrome142"}), TransportError);
  }
  ASSERT_EQ(server.served(), 2);
  const ClientHello hello(first), again(second);
  ASSERT_FALSE(hello.suites.empty());

  // Chrome's order, GREASE aside.
  const std::vector<unsigned> chrome_suites{0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9,
                                            0xCCA8, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035};
  std::vector<unsigned> suites = hello.suites;
  std::erase_if(suites, ClientHello::grease);
  EXPECT_EQ(hello.extension(16), std::string("\x00\x0c\x02h2\x08http/1.1", 14));  // ALPN
  EXPECT_EQ(hello.u16_list(13), (std::vector<unsigned>{0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601}));
  EXPECT_FALSE(hello.extension(0));  // no server name for an address
  for (unsigned wanted : {5u /*status_request*/, 18u /*SCT*/, 35u /*session ticket*/}) {
    EXPECT_TRUE(hello.extension(wanted)) << wanted;
  }
  for (unsigned unwanted : {22u /*encrypt-then-mac*/, 49u /*post-handshake auth*/, 41u /*pre-shared key*/}) {
    EXPECT_FALSE(hello.extension(unwanted)) << unwanted;
  }

  if (transport_info().impersonating) {
    // The browser's own: GREASE first in suites, extensions, groups and
    // versions; the post-quantum hybrid group first and shared; brotli
    // certificate compression, ALPS for h2, ECH GREASE; extensions in a new
    // order on every connection.
    EXPECT_EQ(suites, chrome_suites);
    EXPECT_TRUE(ClientHello::grease(hello.suites.front()));
    EXPECT_TRUE(ClientHello::grease(hello.extensions.front().first));
    EXPECT_TRUE(ClientHello::grease(hello.extensions.back().first));
    const auto groups = hello.u16_list(10);
    ASSERT_EQ(groups.size(), 5u);
    EXPECT_TRUE(ClientHello::grease(groups[0]));
    EXPECT_EQ(std::vector<unsigned>(groups.begin() + 1, groups.end()),
              (std::vector<unsigned>{0x11EC /*X25519MLKEM768*/, 0x001D, 0x0017, 0x0018}));
    const auto shares = hello.key_share_groups();
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_TRUE(ClientHello::grease(shares[0]));
    EXPECT_EQ(shares[1], 0x11ECu);
    EXPECT_EQ(shares[2], 0x001Du);
    const auto versions = hello.u16_list(43, 1);
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_TRUE(ClientHello::grease(versions[0]));
    EXPECT_EQ(hello.extension(27), std::string("\x02\x00\x02", 3));     // compress_certificate: brotli
    EXPECT_EQ(hello.extension(17613), std::string("\x00\x03\x02h2", 5));  // ALPS, new code point
    EXPECT_TRUE(hello.extension(0xFE0D));                                // encrypted_client_hello (GREASE)
    EXPECT_NE(again.extension_types(), hello.extension_types());
    EXPECT_EQ(hello.ja4(), "t13i1515h2_8daaf6152771_d8a2da3f94cd");
  } else {
    // As far as stock libcurl and OpenSSL go: no GREASE, no post-quantum
    // group, OpenSSL's own extension order; OpenSSL appends the
    // renegotiation SCSV.
    EXPECT_EQ(hello.suites.back(), 0x00FFu);
    suites.pop_back();
    EXPECT_EQ(suites, chrome_suites);
    EXPECT_EQ(hello.u16_list(10), (std::vector<unsigned>{0x001D, 0x0017, 0x0018}));
    EXPECT_EQ(hello.u16_list(43, 1), (std::vector<unsigned>{0x0304, 0x0303}));
    EXPECT_EQ(again.extension_types(), hello.extension_types());
    EXPECT_EQ(hello.ja4(), "t13i1611h2_1711a4c0508c_e4c29a02ccbf");
  }
  EXPECT_EQ(again.ja4(), hello.ja4());
}

// ------------------------------------------------------------ trusted certificates

// A certificate authority, an intermediate it signed, and a server
// certificate for 127.0.0.1 the intermediate signed; P-256 keys, valid for a
// day.
class TestPki {
 public:
  TestPki() {
    root_ = make("qelkit test root", nullptr, nullptr, true, root_key_);
    intermediate_ = make("qelkit test intermediate", root_.get(), root_key_.get(), true, intermediate_key_);
    leaf_ = make("127.0.0.1", intermediate_.get(), intermediate_key_.get(), false, leaf_key_);
    stranger_ = make("qelkit test stranger", nullptr, nullptr, true, stranger_key_);
  }
  std::string root_pem() const { return pem(root_.get()); }
  std::string stranger_pem() const { return pem(stranger_.get()); }
  // The name OpenSSL's hashed directories give the root: <subject hash>.0
  std::string root_hash_name() const {
    char name[16];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(root_.get()));
    return name;
  }
  // A server context presenting the server certificate and the intermediate.
  SSL_CTX* server_context() const {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate(ctx, leaf_.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, leaf_key_.get()) != 1 ||
        SSL_CTX_add1_chain_cert(ctx, intermediate_.get()) != 1) {
      throw std::runtime_error("cannot set up the test server's TLS context");
    }
    return ctx;
  }

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  };
  struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
  };
  using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
  using Cert = std::unique_ptr<X509, CertFree>;

  static Cert make(const char* cn, X509* issuer, EVP_PKEY* issuer_key, bool ca, Key& key) {
    key.reset(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert) throw std::runtime_error("cannot make a test certificate");
    X509_set_version(cert.get(), 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get()));
    X509_set_pubkey(cert.get(), key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    const std::vector<std::pair<int, const char*>> extensions =
        ca ? std::vector<std::pair<int, const char*>>{{NID_basic_constraints, "critical,CA:TRUE"},
                                                      {NID_key_usage, "critical,keyCertSign"},
                                                      {NID_subject_key_identifier, "hash"}}
           : std::vector<std::pair<int, const char*>>{{NID_basic_constraints, "critical,CA:FALSE"},
                                                      {NID_key_usage, "critical,digitalSignature"},
                                                      {NID_ext_key_usage, "serverAuth"},
                                                      {NID_subject_alt_name, "IP:127.0.0.1"}};
    for (const auto& [nid, value] : extensions) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      if (!ext || X509_add_ext(cert.get(), ext, -1) != 1) throw std::runtime_error("cannot add an extension");
      X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), issuer_key ? issuer_key : key.get(), EVP_sha256()) <= 0) {
      throw std::runtime_error("cannot sign a test certificate");
    }
    return cert;
  }
  static std::string pem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(len));
    BIO_free(bio);
    return out;
  }

  Key root_key_, intermediate_key_, leaf_key_, stranger_key_;
  Cert root_, intermediate_, leaf_, stranger_;
};

// Runs `request` in a child process whose mount namespace shows `dir` in
// place of the system's CA directory `system_dir`. Returns what it returned
// or the message of what it threw; nullopt when this process may not mount.
std::optional<std::string> with_system_certificates(const std::filesystem::path& dir, const std::string& system_dir,
                                                    const std::function<std::string()>& request) {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    std::string said;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(dir.c_str(), system_dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      said = "\x01";
    } else {
      try {
        said = request();
      } catch (const std::exception& e) {
        said = e.what();
      }
    }
    (void)!::write(out[1], said.data(), said.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (said == "\x01") return std::nullopt;
  return said;
}

// The system's certificates come from libcurl's hashed CA directory alone
// (where it has one): a chain to a root found there verifies, one to a root
// only in the bundle does not, and QELKIT_CA_FILE adds its own. Each case runs
// in a child that sees a directory of this test's making as the system's.
TEST(CurlTransportTest, TheSystemCertificatesAreTheHashedDirectorysAndQelkitCaFilesOnly) {
  const std::string system_dir = transport_info().ca_path;
  if (system_dir.empty()) GTEST_SKIP() << "libcurl has no CA directory here";
  const TestPki pki;
  const testing::ScopedWorkDir temp("qelkit-trust");
  const std::filesystem::path in_dir = temp.path() / "root-in-directory", in_bundle = temp.path() / "root-in-bundle";
  auto write = [](const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  };
  for (const auto& dir : {in_dir, in_bundle}) std::filesystem::create_directory(dir);
  // A bundle where libcurl looks for one, led by an unrelated authority.
  write(in_dir / "ca-certificates.crt", pki.stranger_pem());
  write(in_dir / pki.root_hash_name(), pki.root_pem());
  write(in_bundle / "ca-certificates.crt", pki.stranger_pem() + pki.root_pem());
  write(temp.path() / "extra.pem", pki.root_pem());

  if (!with_system_certificates(in_dir, system_dir, [] { return std::string(); })) {
    GTEST_SKIP() << "no right to mount here";
  }
  SSL_CTX* ctx = pki.server_context();
  auto serve = [ctx](int fd) {
    // A client that refuses the certificate hangs up mid-handshake: the
    // write that follows must fail, not kill the test with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      char buf[4096];
      (void)SSL_read(ssl, buf, sizeof buf);
      const std::string_view reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
  };
  struct Case {
    const char* what;
    std::filesystem::path dir;
    bool extra;
    bool verifies;
  };
  const std::vector<Case> cases{{"root in the directory", in_dir, false, true},
                                {"root only in the bundle", in_bundle, false, false},
                                {"root in QELKIT_CA_FILE", in_bundle, true, true}};
  std::vector<LoopbackServer::Handler> handlers(cases.size(), serve);
  LoopbackServer server(handlers);
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto said = with_system_certificates(c.dir, system_dir, [&] {
      if (c.extra) setenv("QELKIT_CA_FILE", (temp.path() / "extra.pem").c_str(), 1);
      const HttpResponse r = curl_transport().perform({"GET", url, {}, std::nullopt, "chrome142"});
      return std::to_string(r.status) + " " + r.body;
    });
    ASSERT_TRUE(said);
    if (c.verifies) {
      EXPECT_EQ(*said, "200 ok");
    } else {
      EXPECT_THAT(*said, HasSubstr("certificate")) << *said;
    }
  }
  EXPECT_EQ(server.served(), 3);
  SSL_CTX_free(ctx);
}

}  // namespace curl
}  // namespace
}  // namespace qelkit
