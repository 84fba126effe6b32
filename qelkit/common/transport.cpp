// The process-wide seams: which transport and clock are in force, the system
// clock, and where the platform lives.
#include "qelkit/common/transport.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace qelkit {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  void sleep(double seconds) override {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

std::atomic<Transport*> g_transport{nullptr};
std::atomic<Clock*> g_clock{nullptr};

}  // namespace

Clock& system_clock() {
  static SystemClock* const clock = new SystemClock;  // never destroyed: threads may outlive statics
  return *clock;
}

Transport& current_transport() {
  Transport* t = g_transport.load(std::memory_order_acquire);
  return t ? *t : curl_transport();
}

Clock& current_clock() {
  Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : system_clock();
}

ScopedTransport::ScopedTransport(Transport& t) : previous_(g_transport.exchange(&t, std::memory_order_acq_rel)) {}
ScopedTransport::~ScopedTransport() { g_transport.store(previous_, std::memory_order_release); }

ScopedClock::ScopedClock(Clock& c) : previous_(g_clock.exchange(&c, std::memory_order_acq_rel)) {}
ScopedClock::~ScopedClock() { g_clock.store(previous_, std::memory_order_release); }

std::string platform_origin() {
  std::string origin;
  if (const char* env = std::getenv("QELKIT_PLATFORM_ORIGIN"); env && *env) {
    origin = env;
  } else {
    origin = QELKIT_DEFAULT_PLATFORM_ORIGIN;
  }
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  return origin;
}

std::string url_for_messages(std::string_view url) {
  const std::size_t query = url.find('?');
  if (query == std::string_view::npos) return std::string(url);
  const std::size_t fragment = url.find('#', query);
  std::string shown(url.substr(0, query + 1));
  const std::string_view params = url.substr(query + 1, fragment == std::string_view::npos ? url.npos : fragment - query - 1);
  for (std::size_t at = 0; at <= params.size();) {
    const std::size_t end = std::min(params.find('&', at), params.size());
    const std::string_view param = params.substr(at, end - at);
    const std::size_t equals = param.find('=');
    shown += equals == std::string_view::npos ? param : param.substr(0, equals + 1);
    if (equals != std::string_view::npos) shown += "<hidden>";
    if (end < params.size()) shown += '&';
    at = end + 1;
  }
  return shown;
}

}  // namespace qelkit
