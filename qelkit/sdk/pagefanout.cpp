#include "qelkit/sdk/pagefanout.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/pageworker.hpp"

namespace qelkit {
namespace {

// Roughly the memory `value` takes: each value's own slot, each object
// member's key, and the texts' characters.
std::size_t footprint(const Json& value) {
  std::size_t bytes = 0;
  std::vector<const Json*> open{&value};
  while (!open.empty()) {
    const Json& v = *open.back();
    open.pop_back();
    bytes += sizeof(Json);
    if (v.is_string()) {
      bytes += v.get_ref<const Json::string_t&>().capacity();
    } else if (v.is_object()) {
      for (const auto& [key, member] : v.get_ref<const Json::object_t&>()) {
        bytes += sizeof(std::string) + key.capacity();
        open.push_back(&member);
      }
    } else if (v.is_array()) {
      for (const Json& element : v) open.push_back(&element);
    }
  }
  return bytes;
}

}  // namespace

void QelDis::run() {
  std::int64_t page = 0;  // the page in hand, should the fan-out itself fail
  try {
    std::int64_t answered = 0;
    std::int64_t page_start = 0;
    std::size_t rows_kept = 0, row_bytes = 0;  // in `data` and in batches handed on
    bool full = false;  // a page went past the row bounds: nothing more is kept
    for (;;) {
      if (page_start >= max_pages) {
        // Every page so far brought rows: the data may go on, but the query stops here.
        failures.push_back({page_start, PageOutcome::of_failure(std::make_exception_ptr(PageLimitError(
                                            "the detailed statistics did not end within " +
                                            std::to_string(max_pages) + " pages; the query stopped there")))});
        return;
      }
      const std::int64_t count = std::min(kThreadCount, max_pages - page_start);
      std::vector<std::shared_ptr<QelExc>> threads;
      threads.reserve(static_cast<std::size_t>(count));
      std::optional<PageFailure> not_started;
      for (std::int64_t i = 0; i < count; ++i) {
        page = page_start + i;
        try {
          std::shared_ptr<QelExc> worker = make_worker(page);
          if (!worker) throw std::logic_error("no worker was made for page " + std::to_string(page));
          worker->daemon = true;
          worker->a = a;
          worker->b = page;
          worker->c = b;
          worker->start();  // before the next one is made: the batch runs side by side
          threads.push_back(std::move(worker));
        } catch (...) {
          // The pages before it are still gathered; no later page is asked for.
          not_started = PageFailure{page, PageOutcome::of_failure(std::current_exception())};
          break;
        }
      }

      // Creation order is page order; joining each in turn keeps it.
      bool keep = !not_started;
      const std::size_t failures_before = failures.size();
      // Rows go straight to `data`, or with on_batch to this batch's own list.
      Json batch = Json::array();
      auto& gathered = (on_batch ? batch : data).get_ref<Json::array_t&>();
      for (const auto& worker : threads) {
        page = worker->b;
        worker->join();
        if (worker->outcome.kind != PageOutcome::Kind::answered) failures.push_back({page, worker->outcome});
        if (!worker->data.empty() && !full) {
          std::size_t bytes = 0;
          for (const Json& row : worker->data) bytes += footprint(row);
          if (worker->data.size() > max_rows - rows_kept || bytes > max_row_bytes - row_bytes) {
            full = true;
            failures.push_back({page, PageOutcome::of_failure(std::make_exception_ptr(PageLimitError(
                                          "the detailed statistics hold more than " + std::to_string(max_rows) +
                                          " rows or " + std::to_string(max_row_bytes >> 20) +
                                          " MiB of rows; the query stopped at page " + std::to_string(page))))});
          } else {
            rows_kept += worker->data.size();
            row_bytes += bytes;
          }
        }
        if (full) worker->data = Json::array();
        if (worker->data.empty()) {
          keep = false;  // the last batch, but its later pages still count
        } else {
          auto& rows = worker->data.get_ref<Json::array_t&>();
          gathered.insert(gathered.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
          worker->data = Json::array();
        }
        if (worker->outcome.kind == PageOutcome::Kind::answered && on_progress) {
          try {
            on_progress(++answered);
          } catch (...) {
            // Listed at the page it was told of; the batch is still joined.
            failures.push_back({page, PageOutcome::of_failure(std::current_exception())});
            on_progress = nullptr;
            keep = false;
          }
        }
      }
      if (not_started) failures.push_back(std::move(*not_started));
      if (on_batch && failures.size() == failures_before) {
        try {
          on_batch(std::move(batch));
        } catch (...) {
          batch_error = std::current_exception();
          return;
        }
      } else if (on_batch) {
        // A failed batch's rows stay with the failure.
        auto& all = data.get_ref<Json::array_t&>();
        all.insert(all.end(), std::make_move_iterator(gathered.begin()), std::make_move_iterator(gathered.end()));
      }
      if (!keep) return;
      page_start += count;
    }
  } catch (...) {
    // Nothing above is expected to throw (memory aside). Keep what was
    // gathered and say what stopped it; started workers that were not joined
    // finish on their own.
    failures.push_back({page, PageOutcome::of_failure(std::current_exception())});
  }
}

std::shared_ptr<QelExc> QelDis::make_worker(std::int64_t) { return std::make_shared<QelExc>(); }

}  // namespace qelkit
