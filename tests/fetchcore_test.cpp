// SpiderDriver against the fake transport and clock, its QR image against
// zbar, and the libcurl transport against loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
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

  EXPECT_TRUE(first.starts_with("POST /start?x=1 HTTP/1.1\r\n")) << first;
  EXPECT_THAT(header_names(first),
              ElementsAre("Host", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "Upgrade-Insecure-Requests",
                          "User-Agent", "Accept", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-User",
                          "Sec-Fetch-Dest", "Accept-Encoding", "Accept-Language", "Priority", "Content-Type",
                          "Connection", "Cookie", "Content-Length"));
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
  EXPECT_THAT(message_of<InvalidArgumentError>([&] { curl_transport().perform(unknown_profile); }),
              HasSubstr("chrome1"));
  EXPECT_THROW(curl_transport().perform({"POST", url, {{"X", "a\r\nB: c"}}, std::nullopt, ""}), InvalidArgumentError);
  EXPECT_THROW(curl_transport().perform({"PUT", url, {}, std::nullopt, ""}), InvalidArgumentError);
  EXPECT_THROW(curl_transport().perform({"POST", url, {}, Json("\xff"), ""}), InvalidArgumentError);
}

// The ClientHello of the chrome142 profile, read off the wire.
TEST(CurlTransportTest, ProfileShapesTheTlsClientHello) {
  std::string hello;
  LoopbackServer server({[&](int fd) {
    char buf[4096];
    auto record_end = [&] { return 5u + ((static_cast<uint8_t>(hello[3]) << 8) | static_cast<uint8_t>(hello[4])); };
    while (hello.size() < 5 || hello.size() < record_end()) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      hello.append(buf, static_cast<size_t>(n));
    }
  }});
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  EXPECT_THROW(curl_transport().perform({"GET", url, {}, std::nullopt, "chrome142"}), TransportError);
  ASSERT_EQ(server.served(), 1);
  ASSERT_GT(hello.size(), 48u);
  ASSERT_EQ(hello[0], 0x16);  // handshake record
  ASSERT_EQ(hello[5], 0x01);  // ClientHello

  auto u8 = [&](size_t at) { return static_cast<unsigned>(static_cast<uint8_t>(hello.at(at))); };
  auto u16 = [&](size_t at) { return (u8(at) << 8) | u8(at + 1); };
  size_t at = 9 + 2 + 32;  // record and handshake headers, version, random
  at += 1 + u8(at);        // session id
  std::vector<unsigned> suites;
  for (size_t end = at + 2 + u16(at), i = at + 2; i < end; i += 2) suites.push_back(u16(i));
  at += 2 + u16(at);
  at += 1 + u8(at);  // compression methods
  std::map<unsigned, std::string> ext;
  for (size_t end = at + 2 + u16(at), i = at + 2; i < end; i += 4 + u16(i + 2)) {
    ext[u16(i)] = hello.substr(i + 4, u16(i + 2));
  }

  const std::vector<unsigned> chrome_suites{0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9,
                                            0xCCA8, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035};
  ASSERT_GE(suites.size(), chrome_suites.size());
  EXPECT_EQ(std::vector<unsigned>(suites.begin(), suites.begin() + chrome_suites.size()), chrome_suites);
  for (size_t i = chrome_suites.size(); i < suites.size(); ++i) EXPECT_EQ(suites[i], 0x00FFu);  // renegotiation SCSV

  EXPECT_EQ(ext[10], std::string("\x00\x06\x00\x1d\x00\x17\x00\x18", 8));                  // X25519, P-256, P-384
  EXPECT_EQ(ext[16], std::string("\x00\x0c\x02h2\x08http/1.1", 14));                     // ALPN
  EXPECT_EQ(ext[13], std::string("\x00\x10\x04\x03\x08\x04\x04\x01\x05\x03\x08\x05\x05\x01\x08\x06\x06\x01", 18));
  EXPECT_EQ(ext[43], std::string("\x04\x03\x04\x03\x03", 5));                           // TLS 1.3, 1.2 only
  for (unsigned wanted : {5u /*status_request*/, 18u /*SCT*/, 35u /*session ticket*/}) {
    EXPECT_TRUE(ext.count(wanted)) << wanted;
  }
  for (unsigned unwanted : {22u /*encrypt-then-mac*/, 49u /*post-handshake auth*/}) {
    EXPECT_FALSE(ext.count(unwanted)) << unwanted;
  }
}

}  // namespace curl
}  // namespace
}  // namespace qelkit
