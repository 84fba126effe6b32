// The reply handling of every platform operation of SpiderDriver, with the
// platform replaced by a transport that answers every request with the same
// fuzzed reply, and a clock that never waits (busy and retry pauses are
// instant).
//
// Input: byte 0 picks the operation (ale, als, add, owit, iast, owin), byte 1
// the HTTP status and the reply's Set-Cookie headers, byte 2 whether the
// first attempt fails below HTTP; the rest is the body. Each operation either
// returns a record of its documented shape (or no record, where it may) or
// throws a qelkit::Error; anything else, or a crash, is a finding.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/transport.hpp"

using qelkit::Json;
using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

class FixedTransport : public qelkit::Transport {
 public:
  qelkit::HttpResponse response;
  bool fail_first = false;
  int calls = 0;

  qelkit::HttpResponse perform(const qelkit::HttpRequest&) override {
    if (calls++ == 0 && fail_first) throw qelkit::TransportError("connection reset (fuzz)");
    return response;
  }
};

class InstantClock : public qelkit::Clock {
 public:
  double now() override { return now_ += 0.001; }
  void sleep(double seconds) override { now_ += seconds; }

 private:
  double now_ = 1.7e9;
};

constexpr long kStatuses[] = {200, 200, 200, 201, 202, 204, 301, 404, 500, 503, 0, -1, 199, 100, 999, 200};
constexpr const char* kCookies[] = {
    "sessionid=BgAAfuzz; Path=/; Secure; HttpOnly",
    "wxuin=1234567; Path=/",
    "sessionid=; wxuin=;",
    "",
};

bool is_integer(const Json& v) { return v.is_number_integer(); }

// {"code": <one of codes>} or {"code": <one of codes>, "data": ...}.
void expect_record(const Json& r, const char* op) {
  if (!r.is_object() || !r.contains("code") || !is_integer(r["code"])) {
    fail(std::string(op) + " returned a record without an integer \"code\": " + r.dump());
  }
  for (const auto& [key, value] : r.items()) {
    if (key != "code" && key != "data") fail(std::string(op) + " returned a record with the key " + key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  static FixedTransport transport;
  static InstantClock clock;
  static qelkit::ScopedTransport transport_scope(transport);
  static qelkit::ScopedClock clock_scope(clock);

  const unsigned op = data[0] % 6;
  transport.calls = 0;
  transport.fail_first = data[2] & 1;
  transport.response.status = kStatuses[data[1] & 0xF];
  transport.response.body.assign(reinterpret_cast<const char*>(data + 3), size - 3);
  transport.response.headers.clear();
  transport.response.headers.emplace_back("Content-Type", "application/json");
  for (unsigned i = 0; i < 4; ++i) {
    if (data[1] & (0x10u << i)) transport.response.headers.emplace_back(i % 2 ? "set-cookie" : "Set-Cookie", kCookies[i]);
  }

  const qelkit::SpiderDriver driver;
  const Json query = {{"startTs", "1700000000"}, {"endTs", "1700000000"}};
  try {
    switch (op) {
      case 0: {
        const Json r = driver.ale();
        expect_record(r, "ale");
        const auto code = r["code"].get<std::int64_t>();
        if (!(code == 100 && r.size() == 1) && !(code == 0 && r.contains("data") && r["data"].is_string())) {
          fail("ale returned " + r.dump());
        }
        break;
      }
      case 1: {
        const Json r = driver.als("token-123");
        expect_record(r, "als");
        if (r.contains("data") && !r["data"].is_null() &&
            !(r["data"].is_object() && r["data"].contains("session_id") && r["data"].contains("wx_uin"))) {
          fail("als returned " + r.dump());
        }
        break;
      }
      case 2: {
        const std::optional<Json> r = driver.add("session-abc");
        if (r) {
          expect_record(*r, "add");
          const auto code = (*r)["code"].get<std::int64_t>();
          if (!(code == 300 && r->size() == 1) && !(code == 0 && r->contains("data"))) fail("add returned " + r->dump());
        }
        break;
      }
      case 3:
        if (!driver.owit("session-abc")) fail("owit returned false");
        break;
      case 4: {
        const std::optional<Json> r = driver.iast("session-abc", query);
        if (r) {
          expect_record(*r, "iast");
          const auto code = (*r)["code"].get<std::int64_t>();
          if (!(code == 300 && r->size() == 1) && !(code == 0 && r->contains("data"))) fail("iast returned " + r->dump());
        }
        break;
      }
      case 5: {
        const Json r = driver.owin("session-abc", query);
        expect_record(r, "owin");
        const auto code = r["code"].get<std::int64_t>();
        if (code == 0 && !(r.contains("data") && r["data"].is_object())) fail("owin returned " + r.dump());
        if (code != 0 && code != 300 && !(r.contains("data") && r["data"] == Json::array())) {
          fail("owin returned " + r.dump());
        }
        break;
      }
    }
  } catch (const qelkit::Error&) {
    // The documented failure: no reply, or a reply of the wrong shape.
  } catch (const std::exception& e) {
    unexpected("a platform operation", e);
  }
  return 0;
}
