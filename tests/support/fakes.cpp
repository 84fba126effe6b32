#include "tests/support/fakes.hpp"

#include <utility>

namespace qelkit::testing {

HttpResponse json_response(const Json& body, long status, Headers headers) {
  return raw_response(body.dump(), status, std::move(headers));
}

HttpResponse raw_response(std::string body, long status, Headers headers) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

FakeTransport::FakeTransport() : scope_(*this) {}
FakeTransport::~FakeTransport() = default;

void FakeTransport::set_handler(Handler handler) {
  std::lock_guard<std::mutex> lock(m_);
  handler_ = std::move(handler);
}

void FakeTransport::push(HttpResponse response) {
  std::lock_guard<std::mutex> lock(m_);
  queue_.emplace_back(std::move(response));
}

void FakeTransport::push_failure(std::string message) {
  std::lock_guard<std::mutex> lock(m_);
  queue_.emplace_back(TransportError(std::move(message)));
}

HttpResponse FakeTransport::perform(const HttpRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(m_);
    requests_.push_back(request);
    if (!queue_.empty()) {
      Answer answer = std::move(queue_.front());
      queue_.pop_front();
      if (auto* failure = std::get_if<TransportError>(&answer)) throw *failure;
      return std::get<HttpResponse>(std::move(answer));
    }
    handler = handler_;
  }
  if (!handler) throw TransportError("fake transport: no answer scripted for " + request.url);
  return handler(request);  // outside the lock: handlers may block
}

std::vector<HttpRequest> FakeTransport::requests() const {
  std::lock_guard<std::mutex> lock(m_);
  return requests_;
}

std::size_t FakeTransport::request_count() const {
  std::lock_guard<std::mutex> lock(m_);
  return requests_.size();
}

FakeClock::FakeClock(double start) : now_(start), scope_(*this) {}
FakeClock::~FakeClock() = default;

double FakeClock::now() {
  std::lock_guard<std::mutex> lock(m_);
  return now_;
}

void FakeClock::sleep(double seconds) {
  std::lock_guard<std::mutex> lock(m_);
  sleeps_.push_back(seconds);
  if (seconds > 0) now_ += seconds;
}

void FakeClock::advance(double seconds) {
  std::lock_guard<std::mutex> lock(m_);
  now_ += seconds;
}

std::vector<double> FakeClock::sleeps() const {
  std::lock_guard<std::mutex> lock(m_);
  return sleeps_;
}

}  // namespace qelkit::testing
