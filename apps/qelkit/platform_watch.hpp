// PlatformWatch: a transport wrapper that watches the facade's exchanges.
//
// The facade reports some platform failures only as missing rows (the
// detailed statistics swallow every failed page; an expired session gives an
// empty statistics list). Installed with ScopedTransport around one facade
// call, the watch forwards every request to the transport it wraps and notes,
// per distinct request (endpoint and body), how the last attempt ended, so the
// command line can tell "no data" from "could not fetch the data". It also
// counts the detailed-statistics pages as they arrive, for a live counter.
//
// perform() is safe to call from several threads at once (the page workers
// run side by side); the other members are meant for the thread that owns
// the watch, after the watched call has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/transport.hpp"

namespace qelkit::cli {

class PlatformWatch : public Transport {
 public:
  // What went wrong, ready for the command line: its exit status and the
  // one-line message.
  struct Problem {
    int exit_code;
    std::string message;
  };

  explicit PlatformWatch(Transport& inner);

  HttpResponse perform(const HttpRequest& request) override;

  // Called, under the watch's lock, with the running count each time a page
  // of the detailed statistics arrives with errCode 0.
  void on_page(std::function<void(int pages)> callback);

  // Requests that reached the wrapped transport so far.
  std::size_t requests() const;

  // The first request (in the order they were first made) whose last attempt
  // did not bring an accepted reply with errCode 0: the transport failed
  // (exit status 5, "cannot reach the platform at <origin>: <detail>"), every
  // attempt got an HTTP status above 201, or the platform answered a non-zero
  // errCode (exit status 6). `account` names the account in the message for
  // an expired session. No value when every request was served.
  std::optional<Problem> problem(std::string_view account) const;

 private:
  struct Exchange {
    std::string path;
    bool accepted = false;          // an attempt got HTTP status <= 201
    bool failed = false;            // the last attempt failed below HTTP
    long status = 0;                // HTTP status of the last attempt
    std::optional<std::int64_t> err_code;  // errCode of the last accepted reply
    std::string failure;            // transport message of the last failure
  };

  Exchange& exchange_for(const HttpRequest& request);

  Transport& inner_;
  mutable std::mutex m_;
  std::vector<std::string> order_;
  std::map<std::string, Exchange> exchanges_;
  std::size_t requests_ = 0;
  int pages_ = 0;
  std::function<void(int)> on_page_;
};

}  // namespace qelkit::cli
