// QelDis: the thread that gathers every row of an account's detailed drama
// statistics for one point in time.
//
// It runs page workers (QelExc) in batches of six: batch r asks for pages
// 6r to 6r + 5, all six in flight at once, and gathers their rows in page
// order whatever order they finish in. Paging stops after the first batch in
// which a page brought no rows (an empty page, a platform error code or a
// failed worker look the same); the workers' continueFlag is not consulted.
//
// The creator makes it with std::make_shared, sets `a` and `b`, calls
// start(), then join(), then reads `data`. Nothing escapes run(): a failure
// of the fan-out itself (a worker thread that cannot be started) ends the run
// quietly with the rows gathered so far; workers already started are daemon
// threads and finish on their own.
//
// Thread-safety: the fields are handed over by start() and join(); do not
// touch them while the fan-out runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qelkit/common/json.hpp"
#include "qelkit/common/thread.hpp"
#include "qelkit/sdk/pageworker.hpp"

namespace qelkit {

class QelDis : public Thread {
 public:
  // Workers per batch.
  static constexpr std::int64_t kThreadCount = 6;

  QelDis() = default;

  std::string a;               // session id, handed to every worker's `a`
  Json b;                      // time queried, handed to every worker's `c`
  Json data = Json::array();   // every normalised row gathered, in page order

 protected:
  void run() override;

  // Makes the worker for one page (`run` then sets its fields, marks it a
  // daemon thread and starts it before the next one is made). Overridable
  // so that tests can watch the order of creation and start.
  virtual std::shared_ptr<QelExc> make_worker(std::int64_t page);
};

}  // namespace qelkit
