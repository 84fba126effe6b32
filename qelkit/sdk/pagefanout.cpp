#include "qelkit/sdk/pagefanout.hpp"

#include <memory>
#include <vector>

#include "qelkit/sdk/pageworker.hpp"

namespace qelkit {

void QelDis::run() {
  try {
    std::int64_t page_start = 0;
    for (;;) {
      std::vector<std::shared_ptr<QelExc>> threads;
      threads.reserve(kThreadCount);
      for (std::int64_t i = 0; i < kThreadCount; ++i) {
        std::shared_ptr<QelExc> worker = make_worker(page_start + i);
        worker->daemon = true;
        worker->a = a;
        worker->b = page_start + i;
        worker->c = b;
        threads.push_back(worker);
        worker->start();  // before the next one is made: the batch runs side by side
      }

      // Creation order is page order; joining each in turn keeps it.
      bool keep = true;
      for (const auto& worker : threads) {
        worker->join();
        if (worker->data.empty()) {
          keep = false;  // the last batch, but its later pages still count
          continue;
        }
        for (const Json& row : worker->data) data.push_back(row);
      }
      if (!keep) return;
      page_start += kThreadCount;
    }
  } catch (...) {
    // Keep what was gathered; started workers finish on their own.
  }
}

std::shared_ptr<QelExc> QelDis::make_worker(std::int64_t) { return std::make_shared<QelExc>(); }

}  // namespace qelkit
