// Events pushed to the open pages (Server-Sent Events): account rows, login
// progress, pull progress. Each has a number; a page that reconnects names
// the last one it saw and gets what it missed, as long as it is still kept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qelkit/common/json.hpp"

namespace qelkit::console {

struct Event {
  std::uint64_t id = 0;
  std::string type;
  std::string data;  // JSON text
};

class EventHub {
 public:
  void publish(const std::string& type, const Json& data) {
    {
      std::lock_guard<std::mutex> lock(m_);
      recent_.push_back(Event{++last_, type, data.dump(-1, ' ', false, Json::error_handler_t::replace)});
      if (recent_.size() > kKept) recent_.pop_front();
    }
    cv_.notify_all();
  }

  std::uint64_t last() {
    std::lock_guard<std::mutex> lock(m_);
    return last_;
  }

  // The events after `after`, waiting at most `wait` for one; nullopt once closed.
  std::optional<std::vector<Event>> next(std::uint64_t after, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, wait, [&] { return closed_ || last_ > after; });
    if (closed_) return std::nullopt;
    std::vector<Event> out;
    for (const Event& e : recent_) {
      if (e.id > after) out.push_back(e);
    }
    return out;
  }

  void close() {
    {
      std::lock_guard<std::mutex> lock(m_);
      closed_ = true;
    }
    cv_.notify_all();
  }

 private:
  static constexpr std::size_t kKept = 512;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Event> recent_;
  std::uint64_t last_ = 0;
  bool closed_ = false;
};

}  // namespace qelkit::console
