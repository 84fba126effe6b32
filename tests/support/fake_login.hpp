// A scripted login platform for the fake transport: answers the login status
// and authorisation requests the way a confirmed (or never confirmed, or
// ended) login does.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fakes.hpp"

namespace qelkit::testing {

inline bool request_is(const HttpRequest& r, std::string_view path) {
  std::string_view url = r.url;
  url = url.substr(0, url.find('?'));
  return url.size() >= path.size() && url.substr(url.size() - path.size()) == path;
}

inline std::string cookie_of(const HttpRequest& r) {
  for (const auto& [k, v] : r.headers)
    if (k == "Cookie") return v;
  return "";
}

struct FakeLogin {
  int confirm_at = 1;   // the status request that reports the confirmation (0: never)
  int end_at = 0;       // the status request that reports the end (0: never)
  std::string session = "SESS-1";
  Json uniq_id = "acct-1";
  int auth_err = 0;     // errCode of the authorisation reply
  std::atomic<int> status_requests{0};
  std::atomic<int> auth_requests{0};

  void install(FakeTransport& t) {
    t.set_handler([this](const HttpRequest& r) {
      if (request_is(r, SpiderDriver::kLoginStatusPath)) {
        int n = ++status_requests;
        if (end_at && n >= end_at) return json_response({{"errCode", 0}, {"data", {{"status", 4}}}});
        if (confirm_at && n >= confirm_at) {
          return json_response({{"errCode", 0}, {"data", {{"status", 1}}}}, 200,
                               {{"Set-Cookie", "sessionid=" + session + "; Path=/; HttpOnly"},
                                {"Set-Cookie", "wxuin=77; Path=/"}});
        }
        return json_response({{"errCode", 0}, {"data", {{"status", 0}}}});
      }
      if (request_is(r, SpiderDriver::kAuthDataPath)) {
        ++auth_requests;
        if (auth_err) return json_response({{"errCode", auth_err}, {"data", Json::object()}});
        return json_response({{"errCode", 0}, {"data", {{"finderUser", {{"uniqId", uniq_id}, {"nickname", "n"}}}}}});
      }
      return json_response({{"errCode", 99}, {"data", Json::object()}}, 404);
    });
  }
};

// Completes one login of `uniq` with `session` through the real completion
// (QelDriver::ce and its locked update of json/data.json) against the fake
// platform.
inline void complete_fake_login(const std::string& session, const Json& uniq) {
  FakeTransport transport;
  FakeClock clock;
  FakeLogin platform;
  platform.session = session;
  platform.uniq_id = uniq;
  platform.install(transport);
  QelDriver().ce("TOKEN");
}

}  // namespace qelkit::testing
