// The platform client against the substitute platform over real HTTPS: the
// real libcurl transport, real TLS with certificate verification, the
// browser profile as the server sees it on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/transport.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"

namespace qelkit {
namespace {

using testing::FakeClock;
using testing::header_names;
using testing::header_of;
using testing::PlatformSim;
using testing::PlatformSimEnvironment;
using testing::ScopedEnv;

const auto* const kSimEnvironment = PlatformSimEnvironment::install();

constexpr std::int64_t kTs = 1'700'000'000;
const std::string kLoginCode(SpiderDriver::kLoginCodePath);
const std::string kLoginStatus(SpiderDriver::kLoginStatusPath);
const std::string kAuthData(SpiderDriver::kAuthDataPath);
const std::string kHeartbeat(SpiderDriver::kHeartbeatPath);
const std::string kList(SpiderDriver::kStatisticsListPath);
const std::string kDownload(SpiderDriver::kStatisticsDownloadPath);

Json slice(const Json& array, std::size_t from, std::size_t to) {
  Json out = Json::array();
  for (std::size_t i = from; i < to && i < array.size(); ++i) out.push_back(array[i]);
  return out;
}

Json download_body(std::string page_buffer = "") {
  Json b = Json::object();
  b["startTs"] = std::to_string(kTs);
  b["endTs"] = std::to_string(kTs);
  if (!page_buffer.empty()) b["pageBuffer"] = page_buffer;
  return b;
}

class PlatformE2E : public ::testing::Test {
 protected:
  void SetUp() override { sim().reset(); }

  static PlatformSim& sim() { return PlatformSimEnvironment::sim(); }

  // A session of `account`, made the way the client makes it: token, phone
  // confirmation, status with the session cookie.
  std::string login(int account) {
    Json token = driver.ale();
    EXPECT_EQ(token["code"], 0);
    sim().confirm(token["data"].get<std::string>(), account);
    Json status = driver.als(token["data"].get<std::string>());
    EXPECT_EQ(status["code"], 1);
    return status["data"]["session_id"].get<std::string>();
  }

  SpiderDriver driver;
};

TEST_F(PlatformE2E, QrLoginCapturesTheSessionCookieAndAuthorises) {
  const Json accounts = sim().accounts();
  for (int account : {0, 1}) {  // account 0 has a numeric uniqId, account 1 a text one
    SCOPED_TRACE("account " + std::to_string(account));
    Json issued = driver.ale();
    ASSERT_EQ(issued["code"], 0);
    const std::string token = issued["data"].get<std::string>();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(sim().logins()["logins"].back()["token"], token);

    // Not scanned yet: the platform's status alone, no data.
    EXPECT_EQ(driver.als(token), Json({{"code", 0}}));

    const Json confirmed = sim().confirm(token, account);
    const Json status = driver.als(token);
    ASSERT_EQ(status["code"], 1);
    // The platform sends sessionid and wxuin as two Set-Cookie values; the
    // client reads the first only, so wx_uin stays empty.
    EXPECT_EQ(status["data"], Json({{"session_id", confirmed["session_id"]}, {"wx_uin", ""}}));

    const std::optional<Json> user = driver.add(status["data"]["session_id"].get<std::string>());
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ((*user)["code"], 0);
    EXPECT_EQ((*user)["data"], accounts[account]["finderUser"]);
    EXPECT_EQ((*user)["data"]["uniqId"].is_string(), account == 1);
  }

  // The status query carries the token unescaped, and only auth_data sends
  // the session cookie.
  const auto status_requests = sim().requests(kLoginStatus);
  ASSERT_EQ(status_requests.size(), 4u);
  EXPECT_EQ(status_requests[0]["query"], "token=" + sim().logins()["logins"][0]["token"].get<std::string>());
  for (const Json& r : sim().requests()) {
    SCOPED_TRACE(r["path"].get<std::string>());
    EXPECT_EQ(r["method"], "POST");
    EXPECT_EQ(header_of(r, "Cookie").has_value(), r["path"] == kAuthData);
  }
}

TEST_F(PlatformE2E, ThePhonePageConfirmsOrCancelsALogin) {
  // The phone opens the confirm-login link and answers the form.
  auto phone = [](const std::string& method, const std::string& query) {
    HttpRequest request;
    request.method = method;
    request.url = sim().origin() + "/mobile/confirm_login.html?" + query;
    return curl_transport().perform(request);
  };
  const std::string token = driver.ale()["data"].get<std::string>();
  HttpResponse page = phone("GET", "token=" + token);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<form"), std::string::npos);
  EXPECT_NE(page.body.find("value=\"" + token + "\""), std::string::npos);

  EXPECT_EQ(phone("POST", "token=" + token + "&account=2&action=confirm").status, 200);
  const Json status = driver.als(token);
  ASSERT_EQ(status["code"], 1);
  EXPECT_EQ(driver.add(status["data"]["session_id"].get<std::string>()).value()["data"],
            sim().accounts()[2]["finderUser"]);

  const std::string second = driver.ale()["data"].get<std::string>();
  EXPECT_EQ(phone("POST", "token=" + second + "&action=cancel").status, 200);
  EXPECT_EQ(driver.als(second), Json({{"code", 4}}));

  EXPECT_EQ(phone("GET", "token=never-issued").status, 404);
}

TEST_F(PlatformE2E, EndedTokensReportStatusFour) {
  // Never issued: the platform answers an error that still carries status 4.
  EXPECT_EQ(driver.als("never-issued"), Json({{"code", 4}}));

  const std::string token = driver.ale()["data"].get<std::string>();
  sim().cancel(token);
  EXPECT_EQ(driver.als(token), Json({{"code", 4}}));

  // A server of its own, whose tokens expire at once or confirm themselves.
  for (const char* option : {"--token-ttl", "--auto-confirm-after"}) {
    SCOPED_TRACE(option);
    PlatformSim::Options options;
    options.extra_args = {option, "0"};
    PlatformSim other(options);
    ScopedEnv origin("QELKIT_PLATFORM_ORIGIN", other.origin());
    ScopedEnv ca("QELKIT_CA_FILE", other.ca_file());
    const std::string t = driver.ale()["data"].get<std::string>();
    const Json status = driver.als(t);
    if (std::string(option) == "--token-ttl") {
      EXPECT_EQ(status, Json({{"code", 4}}));
    } else {
      ASSERT_EQ(status["code"], 1);  // the first login goes to the first account
      EXPECT_EQ(driver.add(status["data"]["session_id"].get<std::string>()).value()["data"],
                other.accounts()[0]["finderUser"]);
    }
  }
}

TEST_F(PlatformE2E, UnknownOrExpiredSessionsAreReportedAs300) {
  const Json none = Json({{"code", 300}});
  EXPECT_EQ(driver.add("no-such-session"), none);
  EXPECT_EQ(driver.iast("no-such-session", Json::object()), none);
  EXPECT_EQ(driver.owin("no-such-session", download_body()), none);
  EXPECT_EQ(driver.add(""), none);  // no Cookie header at all

  const std::string session = login(3);
  EXPECT_EQ(driver.add(session).value()["code"], 0);
  sim().expire_session(session);
  EXPECT_EQ(driver.add(session), none);
  EXPECT_EQ(driver.owin(session, download_body()), none);
}

TEST_F(PlatformE2E, HeartbeatIsOneGetWithTheSessionCookie) {
  const std::string session = login(0);
  EXPECT_TRUE(driver.owit(session));
  sim().script(kHeartbeat, {{"status", 500}, {"body", "down"}});
  EXPECT_TRUE(driver.owit(session));  // the answer is not looked at, nor retried

  const auto beats = sim().requests(kHeartbeat);
  ASSERT_EQ(beats.size(), 2u);
  EXPECT_EQ(beats[0]["method"], "GET");
  EXPECT_EQ(header_of(beats[0], "Cookie"), "sessionid=" + session);
  EXPECT_EQ(sim().logins()["sessions"][0]["heartbeats"], 1);
}

TEST_F(PlatformE2E, StatisticsListPagesMatchThePlatformData) {
  const std::string session = login(0);
  sim().set_list_total(0, 12);
  const Json expected = sim().expected_list(0, kTs, kTs + 86400)["list"];
  auto query = [](int page) {
    Json b = Json::object();
    b["pageSize"] = 5;
    b["currentPage"] = page;
    b["startTs"] = std::to_string(kTs);
    b["endTs"] = std::to_string(kTs + 86400);
    b["queryString"] = "";
    return b;
  };
  EXPECT_EQ(driver.iast(session, query(1)), Json({{"code", 0}, {"data", slice(expected, 0, 5)}}));
  EXPECT_EQ(driver.iast(session, query(3)), Json({{"code", 0}, {"data", slice(expected, 10, 12)}}));
  EXPECT_EQ(driver.iast(session, query(4)), Json({{"code", 0}, {"data", Json::array()}}));

  // The body arrives as sent, keys in order.
  const auto sent = sim().requests(kList);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Json::parse(sent[0]["body"].get<std::string>()).dump(), query(1).dump());
  EXPECT_EQ(header_of(sent[0], "Cookie"), "sessionid=" + session);

  // A query the platform refuses (no time span) is no record at all.
  EXPECT_EQ(driver.iast(session, Json({{"pageSize", 5}})), std::nullopt);
}

TEST_F(PlatformE2E, DownloadPagesFollowTheCursor) {
  const std::string session = login(1);
  sim().set_download_rows(1, 150, kTs);
  const Json rows = sim().expected_rows(1, kTs)["rows"];
  ASSERT_EQ(rows.size(), 150u);

  struct Case {
    const char* cursor;  // from the cursor format's worked values
    std::size_t from, to;
    bool more;
  };
  const Case cases[] = {
      {"", 0, 20, true},             // page 0 goes without a cursor
      {"CBQQFA==", 20, 40, true},    // page 1: 08 14 10 14
      {"CHgQFA==", 120, 140, true},  // page 6: offset 120
      {"CIwBEBQ=", 140, 150, false}, // page 7: two-byte offset 140
      {"CJCAARAU", 150, 150, false}, // page 820: three-byte offset, past the end
      {"CAAQBQ==", 0, 5, true},      // offset 0, page size 5
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cursor);
    const Json page = driver.owin(session, download_body(c.cursor));
    ASSERT_EQ(page["code"], 0);
    EXPECT_EQ(page["data"]["dataRows"], slice(rows, c.from, c.to));
    EXPECT_EQ(page["data"]["continueFlag"], c.more);
  }
  const auto sent = sim().requests(kDownload);
  ASSERT_EQ(sent.size(), std::size(cases));
  EXPECT_EQ(Json::parse(sent[0]["body"].get<std::string>()), download_body());
  EXPECT_EQ(Json::parse(sent[1]["body"].get<std::string>())["pageBuffer"], "CBQQFA==");

  // A cursor that is not one: the platform's own error code comes back.
  EXPECT_EQ(driver.owin(session, download_body("not a cursor")), Json({{"code", 300002}, {"data", Json::array()}}));
  // A body that is not an object.
  EXPECT_EQ(driver.owin(session, Json::array({1, 2}))["code"], 300001);
  // The server is still serving.
  EXPECT_EQ(driver.owin(session, download_body("CBQQFA=="))["data"]["dataRows"], slice(rows, 20, 40));
}

TEST_F(PlatformE2E, SixParallelDownloadsEachGetTheirPage) {
  const std::string session = login(2);
  sim().set_download_rows(2, 120, kTs);
  const Json rows = sim().expected_rows(2, kTs)["rows"];
  const char* cursors[] = {"", "CBQQFA==", "CCgQFA==", "CDwQFA==", "CFAQFA==", "CGQQFA=="};  // pages 0..5
  std::vector<Json> pages(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] { pages[i] = SpiderDriver().owin(session, download_body(cursors[i])); });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(pages[i]["code"], 0);
    EXPECT_EQ(pages[i]["data"]["dataRows"], slice(rows, 20 * i, 20 * i + 20));
  }
}

TEST_F(PlatformE2E, BusyAnswersArePausedOutThenServed) {
  const std::string session = login(0);
  sim().set_download_rows(0, 7, kTs);
  const Json rows = sim().expected_rows(0, kTs)["rows"];

  {
    FakeClock clock;
    sim().script(kDownload, {{"errCode", 300201}, {"count", 3}});
    const Json page = driver.owin(session, download_body());
    ASSERT_EQ(page["code"], 0);
    EXPECT_EQ(page["data"]["dataRows"], rows);
    EXPECT_EQ(clock.sleeps(), (std::vector<double>{3, 3, 3}));
    EXPECT_EQ(sim().requests(kDownload).size(), 4u);
  }
  {
    FakeClock clock;
    sim().reset();
    sim().script(kDownload, Json::array({{{"errCode", 300200}, {"count", 5}}, {{"errCode", 300203}, {"count", 6}},
                                         {{"real", true}}}));
    EXPECT_EQ(driver.owin(session, download_body()), Json({{"code", 303}, {"data", Json::array()}}));
    EXPECT_EQ(clock.sleeps(), std::vector<double>(10, 3.0));
    EXPECT_EQ(sim().requests(kDownload).size(), 11u);  // no twelfth request
  }
}

TEST_F(PlatformE2E, HttpErrorStatusesAreRetriedWithGrowingPauses) {
  FakeClock clock;
  sim().script(kLoginCode, Json::array({{{"status", 500}, {"body", "upstream failed"}}, {{"status", 202}, {"real", true}}}));
  EXPECT_EQ(driver.ale()["code"], 0);
  EXPECT_EQ(clock.sleeps(), (std::vector<double>{1, 2}));
  EXPECT_EQ(sim().requests(kLoginCode).size(), 3u);

  sim().script(kLoginCode, {{"status", 503}, {"count", 3}});
  try {
    driver.ale();
    FAIL() << "expected NoReplyError";
  } catch (const NoReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("HTTP status 503"), std::string::npos) << e.what();
  }
  EXPECT_EQ(sim().requests(kLoginCode).size(), 6u);
}

TEST_F(PlatformE2E, RepliesOfTheWrongShapeAreProtocolErrors) {
  sim().script(kLoginCode, {{"body", "<html>gateway</html>"}});
  EXPECT_THROW(driver.ale(), ProtocolError);

  sim().script(kLoginStatus, {{"errCode", 0}, {"data", Json::object()}});
  EXPECT_THROW(driver.als("any"), ProtocolError);

  // The platform refusing a login code is a record, not an error.
  sim().script(kLoginCode, {{"errCode", 1}});
  EXPECT_EQ(driver.ale(), Json({{"code", 100}}));

  // Confirmed without any Set-Cookie header.
  sim().script(kLoginStatus, {{"errCode", 0}, {"data", {{"status", 1}}}, {"set_cookie", Json::array()}});
  EXPECT_EQ(driver.als("any"), Json({{"code", -1}, {"data", nullptr}}));
}

TEST_F(PlatformE2E, AReplySlowerThanTheTimeLimitIsATransportFailure) {
  ScopedEnv limit("QELKIT_HTTP_TIMEOUT_MS", "300");
  const std::string session = login(0);
  sim().script(kHeartbeat, {{"real", true}, {"delay_ms", 3000}});
  try {
    driver.owit(session);
    FAIL() << "expected TransportError";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
  }

  sim().script(kLoginCode, {{"real", true}, {"delay_ms", 3000}});
  RequestOptions options{driver.set_dead(), std::string(SpiderDriver::kImpersonate), std::nullopt};
  EXPECT_EQ(driver.pty(sim().origin() + kLoginCode, options, 1), std::nullopt);
}

TEST_F(PlatformE2E, TheServerSeesTheBrowserProfile) {
  const std::string session = login(0);
  ASSERT_TRUE(driver.add(session).has_value());

  const Json add = sim().requests(kAuthData).at(0);
  const Json code = sim().requests(kLoginCode).at(0);
  const bool full = transport_info().impersonating;
  if (!sim().behind_front()) {
    // Chrome 142's TLS offer: with the impersonating libcurl the browser's
    // own, GREASE values and the post-quantum hybrid group included; on stock
    // as far as OpenSSL can make it, which appends the renegotiation SCSV.
    auto suites = [](const Json& hello) {
      std::vector<unsigned> ids = hello["cipher_suite_ids"].get<std::vector<unsigned>>();
      std::erase_if(ids, [](unsigned id) { return (id & 0x0F0F) == 0x0A0A || id == 0x00FF; });
      return ids;
    };
    const Json hello = sim().client_hello_for(add);
    EXPECT_EQ(suites(hello), (std::vector<unsigned>{0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9,
                                                    0xCCA8, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035}));
    EXPECT_EQ(hello["cipher_suite_ids"].back() == 0x00FF, !full);
    if (full) {
      EXPECT_EQ(hello["cipher_suites"][0], "GREASE");
      EXPECT_EQ(hello["supported_groups"], Json({"GREASE", "X25519MLKEM768", "x25519", "secp256r1", "secp384r1"}));
      EXPECT_EQ(hello["key_share_groups"], Json({"GREASE", "X25519MLKEM768", "x25519"}));
      EXPECT_EQ(hello["supported_versions"], Json({"GREASE", "TLSv1.3", "TLSv1.2"}));
    } else {
      EXPECT_EQ(hello["supported_groups"], Json({"x25519", "secp256r1", "secp384r1"}));
      EXPECT_EQ(hello["key_share_groups"], Json({"x25519"}));
      EXPECT_EQ(hello["supported_versions"], Json({"TLSv1.3", "TLSv1.2"}));
    }
    EXPECT_EQ(hello["signature_algorithms"],
              Json({"ecdsa_secp256r1_sha256", "rsa_pss_rsae_sha256", "rsa_pkcs1_sha256", "ecdsa_secp384r1_sha384",
                    "rsa_pss_rsae_sha384", "rsa_pkcs1_sha384", "rsa_pss_rsae_sha512", "rsa_pkcs1_sha512"}));
    EXPECT_EQ(hello["alpn"], Json({"h2", "http/1.1"}));
    EXPECT_EQ(add["alpn"], "http/1.1");  // the server speaks HTTP/1.1 only
    EXPECT_EQ(suites(sim().client_hello_for(code)), suites(hello));
  } else {
    // The handshake ends at the front, which agreed HTTP/2.
    EXPECT_EQ(add["alpn"], "h2");
    EXPECT_EQ(add["protocol"], "HTTP/2.0");
  }

  // The browser's default headers in the browser's order, with the shared
  // headers on top: Accept replaced in its place, the others after them.
  // Over HTTP/2 the names are lower case and libcurl leaves Connection out.
  auto lower = [](std::string n) {
    for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return n;
  };
  auto names_of = [&](const Json& request) {
    auto names = header_names(request);
    std::erase_if(names, [&](const std::string& n) { return lower(n) == "host" || lower(n) == "content-length"; });
    return names;
  };
  std::vector<std::string> expected{"sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "Upgrade-Insecure-Requests",
                                    "User-Agent", "Accept", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-User",
                                    "Sec-Fetch-Dest", "Accept-Encoding", "Accept-Language", "Priority", "Content-Type",
                                    "Connection", "Cookie"};
  if (sim().behind_front()) {
    std::erase(expected, "Connection");
    std::transform(expected.begin(), expected.end(), expected.begin(), lower);
  } else if (full) {
    // Over HTTP/1.1 the impersonating libcurl sends Connection last.
    std::erase(expected, "Connection");
    expected.push_back("Connection");
  }
  EXPECT_EQ(names_of(add), expected);
  EXPECT_EQ(header_of(add, "Accept"), "*/*");
  EXPECT_EQ(header_of(add, "Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(header_of(add, "Connection"), sim().behind_front() ? std::nullopt : std::optional<std::string>("keep-alive"));
  EXPECT_EQ(header_of(add, "Cookie"), "sessionid=" + session);
  EXPECT_NE(header_of(add, "User-Agent").value_or("").find("Chrome/142"), std::string::npos);

  // The bodiless login-code request: the same profile, no Cookie.
  std::erase(expected, sim().behind_front() ? "cookie" : "Cookie");
  EXPECT_EQ(names_of(code), expected);
}

TEST_F(PlatformE2E, CertificateVerificationIsReal) {
  // The certificate names both 127.0.0.1 and localhost.
  {
    ScopedEnv origin("QELKIT_PLATFORM_ORIGIN", "https://localhost:" + sim().origin().substr(sim().origin().rfind(':') + 1));
    EXPECT_EQ(driver.ale()["code"], 0);
  }
  sim().reset();
  {
    ScopedEnv no_ca("QELKIT_CA_FILE", std::nullopt);
    HttpRequest request{"POST", sim().origin() + kLoginCode, driver.set_dead(), std::nullopt,
                        std::string(SpiderDriver::kImpersonate)};
    try {
      curl_transport().perform(request);
      FAIL() << "expected TransportError";
    } catch (const TransportError& e) {
      EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
    }
    FakeClock clock;
    EXPECT_THROW(driver.ale(), NoReplyError);
  }
  // The handshakes reached the server; no request got through.
  EXPECT_TRUE(sim().requests().empty());
  if (!sim().behind_front()) {  // else they ended at the front
    EXPECT_GE(sim().client_hellos().size(), 4u);
  }
}

// Every reply is bounded after decoding: a body past 64 MiB, sent as it is
// or as a small compressed bomb, fails its attempt as a transport failure
// (and is never held whole); a body of exactly 64 MiB is delivered.
TEST_F(PlatformE2E, RepliesAreBoundedAfterDecoding) {
  constexpr std::int64_t kLimit = std::int64_t{64} << 20;
  const std::string unit = "0123456789abcdef";
  const HttpRequest request{"POST", sim().origin() + kLoginCode, driver.set_dead(), std::nullopt,
                            std::string(SpiderDriver::kImpersonate)};
  sim().script(kLoginCode, {{"body", unit}, {"body_repeat", kLimit / 16}});
  const HttpResponse full = curl_transport().perform(request);
  EXPECT_EQ(full.body.size(), static_cast<std::size_t>(kLimit));
  EXPECT_EQ(full.body.substr(full.body.size() - unit.size()), unit);

  auto refused = [&] {
    try {
      curl_transport().perform(request);
      return std::string("no failure");
    } catch (const TransportError& e) {
      return std::string(e.what());
    }
  };
  sim().script(kLoginCode, {{"body", unit}, {"body_repeat", kLimit / 16 + 1}});
  EXPECT_NE(refused().find("failed: the reply is larger than 64 MiB after decoding"), std::string::npos) << refused();

  // 128 MiB of text in some 130 KiB of gzip, three times: every attempt fails.
  sim().script(kLoginCode, {{"body", std::string(1024, 'x')},
                            {"body_repeat", 128 * 1024},
                            {"content_encoding", "gzip"},
                            {"count", 3}});
  FakeClock clock;
  try {
    driver.ale();
    FAIL() << "expected NoReplyError";
  } catch (const NoReplyError& e) {
    EXPECT_NE(std::string(e.what()).find("larger than 64 MiB after decoding"), std::string::npos) << e.what();
  }
  EXPECT_EQ(sim().requests(kLoginCode).size(), 5u);
}

// Redirects are followed to https only. One to plain http is refused with a
// transport failure that names it, and its target is never contacted; one to
// https is followed as a browser follows it (a GET, no cookie picked up).
TEST_F(PlatformE2E, RedirectsAreFollowedToHttpsOnly) {
  ScopedEnv limit("QELKIT_HTTP_TIMEOUT_MS", "3000");  // should the refused redirect be followed after all
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string plain = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + kLoginCode;

  sim().script(kLoginCode, {{"status", 302}, {"headers", {{"Location", plain}}}});
  const HttpRequest request{"POST", sim().origin() + kLoginCode, driver.set_dead(), Json::object(),
                            std::string(SpiderDriver::kImpersonate)};
  try {
    curl_transport().perform(request);
    ADD_FAILURE() << "the redirect to plain http was followed";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("refused to follow a redirect to " + plain + " (only https"),
              std::string::npos)
        << e.what();
  }
  const int contacted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  EXPECT_LT(contacted, 0) << "the plain-http target was contacted";
  if (contacted >= 0) ::close(contacted);
  ::close(listener);

  sim().script(kLoginCode, {{"status", 302},
                            {"headers", {{"Location", sim().origin() + kHeartbeat + "?from=redirect"}}},
                            {"set_cookie", Json::array({"early=1; Path=/"})}});
  const HttpResponse followed = curl_transport().perform(request);
  EXPECT_EQ(followed.status, 200);
  const auto hops = sim().requests(kHeartbeat);
  ASSERT_EQ(hops.size(), 1u);
  EXPECT_EQ(hops[0]["method"], "GET");
  EXPECT_EQ(hops[0]["query"], "from=redirect");
  EXPECT_FALSE(header_of(hops[0], "Cookie").has_value()) << header_of(hops[0], "Cookie").value_or("");
}

}  // namespace
}  // namespace qelkit
