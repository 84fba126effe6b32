// QelDis: the thread that gathers every row of an account's detailed drama
// statistics for one point in time.
//
// It runs page workers (QelExc) in batches of six: batch r asks for pages
// 6r to 6r + 5, all six in flight at once, and gathers their rows in page
// order whatever order they finish in. Paging stops after the first batch in
// which a page brought no rows (an empty page, a platform error code or a
// failed worker); the workers' continueFlag is not consulted. Each page that
// did not answer with code 0 is listed in `failures` with its worker's
// outcome, so that an empty page (the normal end of the data) can be told
// from a page that could not be fetched.
//
// A query asks for at most kMaxPages pages (`max_pages`): a platform that
// keeps giving rows is not followed without end. The batch that reaches the
// bound asks only for the pages below it; when every page up to the bound
// brought rows, paging stops there and the bound is listed in `failures` as
// a PageLimitError at page `max_pages`.
//
// A query also keeps at most kMaxRows rows (`max_rows`) taking at most
// kMaxRowBytes bytes of memory (`max_row_bytes`, as estimated from the rows'
// values and texts): the first page that would go past either bound is
// listed in `failures` as a PageLimitError, its rows and those of the later
// pages of its batch are dropped, and paging stops after the batch. `data`
// holds the rows of the pages before it (the bounds count the rows handed
// to `on_batch` too).
//
// The creator makes it with std::make_shared, sets `a` and `b` (and
// optionally `on_progress` and `max_pages`), calls start(), then join(), then
// reads `data` and `failures`. Nothing escapes run(): a failure of the fan-out
// itself (a worker that cannot be made or started, a progress hook that
// throws) is listed in `failures` at the page it concerns and ends the paging
// after the batch; the workers already started are still joined and their
// rows gathered, so none of them outlives the run.
//
// Rows are moved, never copied: each worker's rows go into `data` and the
// worker's own `data` is left empty. With `on_batch`, the rows of each batch
// in which every page answered go to it instead, in page order, as soon as
// the batch is joined, so `data` keeps only the rows of a batch that failed;
// an exception from `on_batch` is kept in `batch_error` and ends the paging.
//
// Thread-safety: the fields are handed over by start() and join(); do not
// touch them while the fan-out runs. `on_progress` is called on the fan-out's
// own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qelkit/common/json.hpp"
#include "qelkit/common/thread.hpp"
#include "qelkit/sdk/pageworker.hpp"

namespace qelkit {

// A page that did not answer with code 0, and why.
struct PageFailure {
  std::int64_t page = 0;
  PageOutcome outcome;
};

class QelDis : public Thread {
 public:
  // Workers per batch.
  static constexpr std::int64_t kThreadCount = 6;
  // Pages one query asks for at most: 10,000 pages of 20 rows, far above any
  // real account and day.
  static constexpr std::int64_t kMaxPages = 10'000;
  // Rows one query keeps at most (those 10,000 pages' worth), and the memory
  // they may take: a platform that packs pages with rows is not followed
  // until the host runs out of memory.
  static constexpr std::size_t kMaxRows = 200'000;
  static constexpr std::size_t kMaxRowBytes = std::size_t{256} << 20;

  // Called with the number of pages that have answered so far.
  using ProgressHook = std::function<void(std::int64_t pages)>;
  // Receives one batch's rows (a JSON array, possibly empty).
  using BatchHook = std::function<void(Json&& rows)>;

  QelDis() = default;

  std::string a;               // session id, handed to every worker's `a`
  Json b;                      // time queried, handed to every worker's `c`
  Json data = Json::array();   // every normalised row gathered, in page order
  std::vector<PageFailure> failures;  // pages that did not answer with code 0, in page order
  ProgressHook on_progress;    // optional; called after each page that answered
  BatchHook on_batch;          // optional; takes each whole batch's rows instead of `data`
  std::exception_ptr batch_error;  // what on_batch threw, if it did
  std::int64_t max_pages = kMaxPages;  // the page bound of this query
  std::size_t max_rows = kMaxRows;     // the row bound of this query
  std::size_t max_row_bytes = kMaxRowBytes;  // the memory bound of its rows

 protected:
  void run() override;

  // Makes the worker for one page (`run` then sets its fields, marks it a
  // daemon thread and starts it before the next one is made). Overridable
  // so that tests can watch the order of creation and start.
  virtual std::shared_ptr<QelExc> make_worker(std::int64_t page);
};

}  // namespace qelkit
