// The platform client over HTTP/2: nginx in front of the substitute platform,
// compared with the platform reached directly over HTTP/1.1. Compressed
// replies in every coding the client offers, a stream reset mid-reply, and
// the client's HTTP/2 fingerprint as a server reads it off the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

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

// One HTTP/2 connection over TLS on a free loopback port, read frame by
// frame: what a server sees of a client's HTTP/2 fingerprint. It serves the
// certificate and key in the two PEM files, answers a request with 200 and
// no body once the request is complete, and keeps reading until the client
// closes.
class Http2Observer {
 public:
  struct Seen {
    std::vector<std::pair<unsigned, std::uint32_t>> settings;  // the client's SETTINGS, in order
    std::optional<std::uint32_t> window_update;             // its connection window increment
    std::vector<std::string> priority_frames;               // "stream:exclusive:dependency:weight"
    std::optional<std::string> headers_priority;            // "exclusive:dependency:weight" of the request
    Headers headers;                                        // the request's fields in order, decoded

    // The usual HTTP/2 fingerprint: settings | window increment | PRIORITY
    // frames | pseudo-header order.
    std::string fingerprint() const {
      std::string out;
      for (const auto& [id, value] : settings) {
        out += (out.empty() ? "" : ";") + std::to_string(id) + ":" + std::to_string(value);
      }
      out += "|" + (window_update ? std::to_string(*window_update) : "00") + "|";
      std::string priorities;
      for (const auto& p : priority_frames) priorities += (priorities.empty() ? "" : ",") + p;
      out += (priorities.empty() ? "0" : priorities) + "|";
      std::string pseudo;
      for (const auto& [name, value] : headers) {
        if (name.starts_with(":")) pseudo += (pseudo.empty() ? "" : ",") + name.substr(1, 1);
      }
      return out + pseudo;
    }
  };

  Http2Observer(const std::string& cert_file, const std::string& key_file) : ctx_(SSL_CTX_new(TLS_server_method())) {
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("cannot load the observer's certificate");
    }
    SSL_CTX_set_alpn_select_cb(
        ctx_,
        [](SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned inlen, void*) {
          static const unsigned char h2[] = {2, 'h', '2'};
          unsigned char* chosen = nullptr;
          if (SSL_select_next_proto(&chosen, outlen, h2, sizeof h2, in, inlen) != OPENSSL_NPN_NEGOTIATED) {
            return SSL_TLSEXT_ERR_ALERT_FATAL;
          }
          *out = chosen;
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    origin_ = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~Http2Observer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    SSL_CTX_free(ctx_);
  }

  const std::string& origin() const { return origin_; }
  // What the connection carried; waits for the client to close it.
  const Seen& seen() {
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void serve() {
    // A client that hangs up early makes a write fail, not the test die.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 20'000) != 1) return;  // the client never came
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) read_frames(ssl);
    SSL_free(ssl);
    ::close(fd);
  }

  static bool read_exactly(SSL* ssl, std::string& out, std::size_t n) {
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
      const int r = SSL_read(ssl, out.data() + got, static_cast<int>(n - got));
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  static std::uint32_t u32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 2])) << 8 | static_cast<std::uint8_t>(b[at + 3]);
  }
  static std::string priority_of(std::string_view b) {  // the 5 bytes of a priority
    const std::uint32_t dep = u32(b, 0);
    return std::to_string(dep >> 31) + ":" + std::to_string(dep & 0x7FFFFFFF) + ":" +
           std::to_string(static_cast<unsigned>(static_cast<std::uint8_t>(b[4])) + 1);
  }

  void read_frames(SSL* ssl) {
    // Empty SETTINGS: the server's preface.
    SSL_write(ssl, "\0\0\0\x04\0\0\0\0\0", 9);
    std::string preface, head, payload, block;
    if (!read_exactly(ssl, preface, 24) || preface != "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") return;
    while (read_exactly(ssl, head, 9)) {
      const std::size_t length = u32(head, 0) >> 8;
      const auto type = static_cast<std::uint8_t>(head[3]), flags = static_cast<std::uint8_t>(head[4]);
      const std::uint32_t stream = u32(head, 5) & 0x7FFFFFFF;
      if (!read_exactly(ssl, payload, length)) return;
      std::string_view body(payload);
      if (type == 0x4 && !(flags & 0x1)) {  // SETTINGS, not an acknowledgement
        for (std::size_t i = 0; i + 6 <= body.size(); i += 6) {
          seen_.settings.emplace_back(static_cast<unsigned>(static_cast<std::uint8_t>(body[i])) << 8 |
                                          static_cast<std::uint8_t>(body[i + 1]),
                                      u32(body, i + 2));
        }
        SSL_write(ssl, "\0\0\0\x04\x01\0\0\0\0", 9);
      } else if (type == 0x8 && stream == 0 && !seen_.window_update) {
        seen_.window_update = u32(body, 0) & 0x7FFFFFFF;
      } else if (type == 0x2) {
        seen_.priority_frames.push_back(std::to_string(stream) + ":" + priority_of(body));
      } else if (type == 0x1 || type == 0x9) {  // HEADERS, CONTINUATION
        if (type == 0x1) {
          if (flags & 0x8) body = body.substr(1, body.size() - 1 - static_cast<std::uint8_t>(body[0]));  // padded
          if (flags & 0x20) {
            seen_.headers_priority = priority_of(body);
            body.remove_prefix(5);
          }
        }
        block.append(body);
        if (flags & 0x4) seen_.headers = decode(block);  // END_HEADERS
      }
      // Answered once the whole request is in (END_STREAM on its HEADERS or
      // DATA): libcurl does not expect a reply before its body has gone.
      if ((type == 0x1 || type == 0x0) && (flags & 0x1)) {
        const char reply[] = {0, 0, 1, 0x1, 0x5, 0, 0, 0, 0, static_cast<char>(0x88)};  // :status 200, END_STREAM
        std::string frame(reply, sizeof reply);
        frame[5] = static_cast<char>(stream >> 24), frame[6] = static_cast<char>(stream >> 16);
        frame[7] = static_cast<char>(stream >> 8), frame[8] = static_cast<char>(stream);
        SSL_write(ssl, frame.data(), static_cast<int>(frame.size()));
      }
    }
  }

  static Headers decode(const std::string& block) {
    Headers fields;
    nghttp2_hd_inflater* inflater = nullptr;
    if (nghttp2_hd_inflate_new(&inflater) != 0) return fields;
    auto* in = reinterpret_cast<const std::uint8_t*>(block.data());
    std::size_t left = block.size();
    while (true) {
      nghttp2_nv nv;
      int inflate_flags = 0;
      const ssize_t used = nghttp2_hd_inflate_hd2(inflater, &nv, &inflate_flags, in, left, 1);
      if (used < 0) break;
      in += used;
      left -= static_cast<std::size_t>(used);
      if (inflate_flags & NGHTTP2_HD_INFLATE_EMIT) {
        fields.emplace_back(std::string(reinterpret_cast<char*>(nv.name), nv.namelen),
                            std::string(reinterpret_cast<char*>(nv.value), nv.valuelen));
      }
      if (inflate_flags & NGHTTP2_HD_INFLATE_FINAL) break;
      if (!(inflate_flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) break;
    }
    nghttp2_hd_inflate_del(inflater);
    return fields;
  }

  SSL_CTX* ctx_;
  int listener_ = -1;
  std::string origin_;
  std::thread thread_;
  Seen seen_;
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

// The client's HTTP/2 opening as a server reads it off the wire. With the
// impersonating libcurl it is the browser's: its SETTINGS, window increment,
// stream priority and pseudo-header order. On stock it is libcurl's own, but
// without a PRIORITY frame, which no browser sends.
TEST_F(Http2Front, TheClientOpensHttp2AsItsModeSays) {
  Http2Observer observer(sim_->ca_file(), sim_->key_file());
  const HttpRequest request{"POST", observer.origin() + kLoginCode, SpiderDriver().set_dead("S"), Json{{"a", 1}},
                            std::string(SpiderDriver::kImpersonate)};
  const HttpResponse r = curl_transport().perform(request);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.http_version, "2");
  const Http2Observer::Seen& seen = observer.seen();
  std::vector<std::string> names;
  for (const auto& [name, value] : seen.headers) names.push_back(name);
  const std::vector<std::string> fields{"sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
                                        "upgrade-insecure-requests", "user-agent", "accept", "sec-fetch-site",
                                        "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest", "accept-encoding",
                                        "accept-language", "priority", "content-type", "cookie", "content-length"};
  ASSERT_GT(names.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(names.begin() + 4, names.end()), fields);
  EXPECT_TRUE(seen.priority_frames.empty());
  if (transport_info().impersonating) {
    EXPECT_EQ(seen.fingerprint(), "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p");
    EXPECT_EQ(seen.headers_priority, "1:0:256");  // exclusive, on the root, weight 256
  } else {
    EXPECT_EQ(seen.fingerprint(), "3:100;4:33554432;2:0|33488897|0|m,p,s,a");
    EXPECT_EQ(seen.headers_priority, std::nullopt);
  }
}

TEST_F(Http2Front, AStreamResetMidReplyIsRetriedLikeACutConnection) {
  const PlatformSim& sim = *sim_;
  // The platform announces the whole body, sends five bytes and closes; the
  // front has sent the reply's headers by then, and resets the stream.
  // It fails as a transport failure of the reply, whatever libcurl's words.
  sim.script(kLoginCode, {{"real", true}, {"cut_after", 5}});
  const HttpRequest request = login_code_request(sim.origin());
  try {
    curl_transport().perform(request);
    FAIL() << "expected TransportError";
  } catch (const TransportError& e) {
    EXPECT_THAT(e.what(), HasSubstr(request.url)) << e.what();
  }
  EXPECT_EQ(sim.requests(kLoginCode).size(), 1u);  // the request itself went through

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
