// Test doubles for the transport and clock seams.
//
// FakeTransport answers requests from a handler (or a queue of scripted
// answers) and records every request; FakeClock keeps virtual time, so a
// "sleep" returns at once, advances the time and is recorded. Both are safe
// to use from several threads and install themselves process-wide for their
// lifetime.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/common/transport.hpp"

namespace qelkit::testing {

// A response with `status` and a JSON body.
HttpResponse json_response(const Json& body, long status = 200, Headers headers = {});
// A response with `status` and a raw body.
HttpResponse raw_response(std::string body, long status = 200, Headers headers = {});

class FakeTransport : public Transport {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  FakeTransport();  // installs itself
  ~FakeTransport() override;

  // Answers every request not served by the queue.
  void set_handler(Handler handler);
  // Queues one answer: a response, or a transport failure with this message.
  void push(HttpResponse response);
  void push_failure(std::string message = "simulated connection failure");

  HttpResponse perform(const HttpRequest& request) override;

  std::vector<HttpRequest> requests() const;
  std::size_t request_count() const;

 private:
  using Answer = std::variant<HttpResponse, TransportError>;
  mutable std::mutex m_;
  std::deque<Answer> queue_;
  Handler handler_;
  std::vector<HttpRequest> requests_;
  ScopedTransport scope_;
};

class FakeClock : public Clock {
 public:
  explicit FakeClock(double start = 1'700'000'000.0);  // installs itself
  ~FakeClock() override;

  double now() override;
  void sleep(double seconds) override;  // advances virtual time at once
  void advance(double seconds);

  std::vector<double> sleeps() const;   // every pause, in order

 private:
  mutable std::mutex m_;
  double now_;
  std::vector<double> sleeps_;
  ScopedClock scope_;
};

}  // namespace qelkit::testing
