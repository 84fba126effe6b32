// The platform client over HTTP/2: nginx in front of the substitute platform,
// compared with the platform reached directly over HTTP/1.1. Compressed
// replies in every coding the client offers, and a stream reset mid-reply.
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/transport.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/platform_sim.hpp"

namespace qelkit {
namespace {

using ::testing::HasSubstr;
using testing::FakeClock;
using testing::header_of;
using testing::PlatformSim;
using testing::ScopedEnv;

constexpr std::int64_t kTs = 1'700'000'000;
const std::string kLoginCode(SpiderDriver::kLoginCodePath);
const std::string kList(SpiderDriver::kStatisticsListPath);
const std::string kDownload(SpiderDriver::kStatisticsDownloadPath);

// The real transport, noting the protocol of every reply.
class ProtocolRecorder final : public Transport {
 public:
  HttpResponse perform(const HttpRequest& request) override {
    HttpResponse r = curl_transport().perform(request);
    std::lock_guard<std::mutex> lock(m_);
    versions_.push_back(r.http_version);
    return r;
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(m_);
    return std::exchange(versions_, {});
  }

 private:
  std::mutex m_;
  std::vector<std::string> versions_;
};

PlatformSim::Options behind_front() {
  PlatformSim::Options o;
  o.seed = 3;
  o.http2_front = true;
  return o;
}

class Http2Front : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim_ = new PlatformSim(behind_front()); }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override { sim_->reset(); }

  // Points the client at `origin` for the life of the returned object.
  static ScopedEnv at(const std::string& origin) { return ScopedEnv("QELKIT_PLATFORM_ORIGIN", origin); }

  static HttpRequest login_code_request(const std::string& origin) {
    return {"POST", origin + kLoginCode, SpiderDriver().set_dead(), std::nullopt, std::string(SpiderDriver::kImpersonate)};
  }

  static PlatformSim* sim_;
  ScopedEnv ca_{"QELKIT_CA_FILE", sim_->ca_file()};
};

PlatformSim* Http2Front::sim_ = nullptr;

TEST_F(Http2Front, EveryOperationAnswersAsItDoesOverHttp11) {
  const PlatformSim& sim = *sim_;
  ASSERT_TRUE(sim.behind_front());
  ASSERT_NE(sim.origin(), sim.direct_origin());

  // The transport's reply names the protocol each way.
  EXPECT_EQ(curl_transport().perform(login_code_request(sim.origin())).http_version, "2");
  EXPECT_EQ(curl_transport().perform(login_code_request(sim.direct_origin())).http_version, "1.1");

  SpiderDriver driver;
  ProtocolRecorder recorder;
  ScopedTransport use(recorder);
  std::string session;
  {
    auto front = at(sim.origin());
    const std::string token = driver.ale()["data"].get<std::string>();
    sim.confirm(token, 1);
    session = driver.als(token)["data"]["session_id"].get<std::string>();
  }
  sim.set_list_total(1, 12);
  sim.set_download_rows(1, 45, kTs);

  // Every read-only operation, once through the front and once directly.
  auto run_all = [&] {
    Json out = Json::array();
    out.push_back(driver.add(session).value_or(Json("none")));
    for (int page : {1, 3, 4}) {
      out.push_back(driver.iast(session, {{"pageSize", 5}, {"currentPage", page}, {"startTs", std::to_string(kTs)},
                                          {"endTs", std::to_string(kTs + 86400)}, {"queryString", ""}})
                        .value_or(Json("none")));
    }
    for (const char* cursor : {"", "CBQQFA==", "CCgQFA==", "not a cursor"}) {
      Json body = {{"startTs", std::to_string(kTs)}, {"endTs", std::to_string(kTs)}};
      if (*cursor) body["pageBuffer"] = cursor;
      out.push_back(driver.owin(session, body));
    }
    out.push_back(driver.owit(session));
    out.push_back(driver.als("never-issued"));
    out.push_back(driver.add("no-such-session").value_or(Json("none")));
    return out;
  };
  recorder.take();
  Json over_h2, over_h1;
  {
    auto front = at(sim.origin());
    over_h2 = run_all();
  }
  const std::vector<std::string> h2_versions = recorder.take();
  {
    auto direct = at(sim.direct_origin());
    over_h1 = run_all();
  }
  const std::vector<std::string> h1_versions = recorder.take();

  EXPECT_EQ(over_h2, over_h1);
  EXPECT_EQ(over_h2[0]["data"], sim.accounts()[1]["finderUser"]);  // real answers, not two equal failures
  EXPECT_EQ(over_h2[5]["data"]["dataRows"].size(), 20u);
  EXPECT_EQ(h2_versions, std::vector<std::string>(h2_versions.size(), "2"));
  EXPECT_EQ(h1_versions, std::vector<std::string>(h2_versions.size(), "1.1"));
  EXPECT_EQ(h2_versions.size(), 11u);

  // The platform saw both runs; the front's requests arrived by h2.
  std::size_t through_front = 0;
  for (const Json& r : sim.requests(kList)) {
    if (r.contains("protocol")) {
      ++through_front;
      EXPECT_EQ(r["alpn"], "h2");
      EXPECT_EQ(header_of(r, "cookie"), "sessionid=" + session);
    }
  }
  EXPECT_EQ(through_front, 3u);
}

TEST_F(Http2Front, RepliesDecodeInEveryCodingOverBothProtocols) {
  const PlatformSim& sim = *sim_;
  std::string text = R"({"errCode":0,"data":{"token":")";
  for (int i = 0; i < 200; ++i) text += "compressible ";
  text += R"("}})";

  struct Case {
    std::string origin;  // where the request goes
    std::string prefix;  // the front's coding prefix, or ""
    Json script;         // the platform's reply
    std::string coding;  // Content-Encoding the client must see
  };
  const std::string front = sim.origin(), direct = sim.direct_origin();
  std::vector<Case> cases;
  // The front compresses the platform's plain reply.
  cases.push_back({front, "/__front/gzip", {{"body", text}}, "gzip"});
  cases.push_back({front, "/__front/br", {{"body", text}}, "br"});
  cases.push_back({front, "", {{"body", text}}, "br"});  // br preferred over gzip
  // The platform compresses; over HTTP/2 the front passes the coding on.
  for (const char* coding : {"gzip", "br", "zstd"}) {
    cases.push_back({front, "", {{"body", text}, {"content_encoding", coding}}, coding});
    cases.push_back({direct, "", {{"body", text}, {"content_encoding", coding}}, coding});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin + c.prefix + " " + c.coding);
    sim.script(kLoginCode, c.script);
    HttpRequest request = login_code_request(c.origin);
    request.url = c.origin + c.prefix + kLoginCode;
    const HttpResponse r = curl_transport().perform(request);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.http_version, c.origin == front ? "2" : "1.1");
    EXPECT_EQ(Reply(r).header_values("Content-Encoding"), std::vector<std::string>{c.coding});
    EXPECT_EQ(r.body, text);
  }
  // Every request reached the platform with its own path.
  EXPECT_EQ(sim.requests(kLoginCode).size(), cases.size());
}

TEST_F(Http2Front, AStreamResetMidReplyIsRetriedLikeACutConnection) {
  const PlatformSim& sim = *sim_;
  // The platform announces the whole body, sends five bytes and closes; the
  // front has sent the reply's headers by then, and resets the stream.
  sim.script(kLoginCode, {{"real", true}, {"cut_after", 5}});
  try {
    curl_transport().perform(login_code_request(sim.origin()));
    FAIL() << "expected TransportError";
  } catch (const TransportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("HTTP/2 stream 1 was not closed cleanly")) << e.what();
  }

  auto front = at(sim.origin());
  FakeClock clock;
  sim.script(kLoginCode, Json::array({{{"real", true}, {"cut_after", 5}}, {{"real", true}, {"cut_after", 0}},
                                      {{"real", true}}}));
  const Json issued = SpiderDriver().ale();
  EXPECT_EQ(issued["code"], 0);
  EXPECT_TRUE(issued["data"].is_string());
  EXPECT_EQ(clock.sleeps(), (std::vector<double>{1, 2}));
  EXPECT_EQ(sim.requests(kLoginCode).size(), 4u);
}

}  // namespace
}  // namespace qelkit
