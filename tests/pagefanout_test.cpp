#include "qelkit/sdk/pagefanout.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/page_platform.hpp"
#include "tests/support/fakes.hpp"

namespace qelkit {
namespace {

using testing::json_response;
using testing::page_reply;
using testing::platform_row;
using testing::raw_response;
using testing::StatsPlatform;

std::shared_ptr<QelDis> run_fanout(std::string session = "sess-42", Json time = 1717171717) {
  auto fanout = std::make_shared<QelDis>();
  fanout->a = std::move(session);
  fanout->b = std::move(time);
  fanout->start();
  fanout->join();
  return fanout;
}

// The platform row numbers behind the gathered rows, in gathered order.
std::vector<int> row_numbers(const Json& rows) {
  std::vector<int> out;
  for (const auto& row : rows) out.push_back(std::stoi(row.at("drama_name").get<std::string>().substr(6)));
  return out;
}

std::vector<int> range(int from, int to) {
  std::vector<int> out;
  for (int n = from; n < to; ++n) out.push_back(n);
  return out;
}

std::vector<int> concat(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::set<std::int64_t> page_set(const std::vector<std::int64_t>& pages) { return {pages.begin(), pages.end()}; }

std::set<std::int64_t> pages_upto(std::int64_t last) {
  std::set<std::int64_t> out;
  for (std::int64_t p = 0; p <= last; ++p) out.insert(p);
  return out;
}

// Records, as each worker is made, whether the one before it is already
// running and is a daemon thread.
class WatchedFanout : public QelDis {
 public:
  std::vector<std::shared_ptr<QelExc>> made;
  std::vector<bool> previous_running, previous_daemon;

 protected:
  std::shared_ptr<QelExc> make_worker(std::int64_t page) override {
    if (page % kThreadCount != 0) {
      previous_running.push_back(made.back()->is_alive());
      previous_daemon.push_back(made.back()->daemon);
    }
    made.push_back(QelDis::make_worker(page));
    return made.back();
  }
};

TEST(PageFanout, EachDaemonWorkerIsStartedBeforeTheNextIsMade) {
  // Every request waits until the whole batch has asked (bounded), so a
  // started worker is still running when the next one is made.
  testing::FakeTransport transport;
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  transport.set_handler([&](const HttpRequest&) {
    std::unique_lock<std::mutex> lock(m);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(60), [&] { return arrived >= 6; });
    return page_reply(Json::array(), false);
  });
  auto fanout = std::make_shared<WatchedFanout>();
  fanout->a = "s";
  fanout->b = 1;
  fanout->start();
  fanout->join();
  ASSERT_EQ(fanout->made.size(), 6u);
  EXPECT_EQ(fanout->previous_running, std::vector<bool>(5, true));
  EXPECT_EQ(fanout->previous_daemon, std::vector<bool>(5, true));
  EXPECT_TRUE(fanout->made.back()->daemon);
  EXPECT_EQ(arrived, 6);
}

TEST(PageFanout, NoRowsStillRunsTheWholeFirstBatch) {
  StatsPlatform platform(StatsPlatform::rows(0));
  auto fanout = run_fanout("sess-42", 1717171717);

  EXPECT_TRUE(fanout->data.is_array());
  EXPECT_TRUE(fanout->data.empty());
  auto pages = platform.pages();
  EXPECT_EQ(pages.size(), 6U);
  EXPECT_EQ(page_set(pages), pages_upto(5));
  EXPECT_TRUE(platform.stray().empty());

  // Every worker got the fan-out's session and time; only the page differs.
  for (const auto& request : platform.transport().requests()) {
    std::string cookie;
    for (const auto& [name, value] : request.headers) {
      if (name == "Cookie") cookie = value;
    }
    EXPECT_EQ(cookie, "sessionid=sess-42");
    ASSERT_TRUE(request.json);
    EXPECT_EQ(request.json->at("startTs"), "1717171717");
    EXPECT_EQ(request.json->at("endTs"), "1717171717");
  }
}

TEST(PageFanout, TwoBatchesInPageOrderAndNeverOverlapping) {
  // Each answer takes a moment so that overlap between batches would show.
  std::mutex m;
  int in_flight = 0, most_in_flight = 0;
  std::set<std::int64_t> answered;
  bool second_batch_too_early = false;
  auto rows = StatsPlatform::rows(130);
  StatsPlatform platform([&](std::int64_t page) {
    {
      std::lock_guard<std::mutex> lock(m);
      most_in_flight = std::max(most_in_flight, ++in_flight);
      const auto first_batch = pages_upto(5);
      if (page >= 6 && !std::includes(answered.begin(), answered.end(), first_batch.begin(), first_batch.end())) {
        second_batch_too_early = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(m);
    --in_flight;
    answered.insert(page);
    return rows(page);
  });

  auto fanout = run_fanout();

  EXPECT_EQ(row_numbers(fanout->data), range(0, 130));
  auto pages = platform.pages();
  EXPECT_EQ(pages.size(), 12U);
  EXPECT_EQ(page_set(pages), pages_upto(11));
  EXPECT_LE(most_in_flight, 6);
  EXPECT_FALSE(second_batch_too_early);
}

TEST(PageFanout, ExactlyOneFullBatchStillAsksForTheNext) {
  StatsPlatform platform(StatsPlatform::rows(120));
  auto fanout = run_fanout();
  EXPECT_EQ(row_numbers(fanout->data), range(0, 120));
  EXPECT_EQ(page_set(platform.pages()), pages_upto(11));
  EXPECT_EQ(platform.pages().size(), 12U);
}

TEST(PageFanout, AFailedPageEndsThePagingButKeepsItsBatch) {
  struct Case {
    const char* name;
    HttpResponse reply;
    std::size_t page_two_requests;
    PageOutcome::Kind kind;
    std::int64_t code;
    std::string error_kind;
  };
  const Case cases[] = {
      {"HTTP 500 on every attempt", raw_response("down", 500), 3, PageOutcome::Kind::failure, 0, "NoReplyError"},
      {"errCode 7", json_response({{"errCode", 7}, {"data", {}}}), 1, PageOutcome::Kind::status, 7, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto rows = StatsPlatform::rows(1000);
    StatsPlatform platform([&](std::int64_t page) { return page == 2 ? c.reply : rows(page); });
    auto fanout = run_fanout();

    EXPECT_EQ(row_numbers(fanout->data), concat(range(0, 40), range(60, 120)));
    auto pages = platform.pages();
    EXPECT_EQ(page_set(pages), pages_upto(5));  // no second batch
    EXPECT_EQ(static_cast<std::size_t>(std::count(pages.begin(), pages.end(), 2)), c.page_two_requests);
    // The failed page is listed with its worker's outcome.
    ASSERT_EQ(fanout->failures.size(), 1U);
    EXPECT_EQ(fanout->failures[0].page, 2);
    EXPECT_EQ(fanout->failures[0].outcome.kind, c.kind);
    EXPECT_EQ(fanout->failures[0].outcome.code, c.code);
    EXPECT_EQ(fanout->failures[0].outcome.error_kind, c.error_kind);
  }
}

TEST(PageFanout, EmptyPagesEndTheDataWithoutFailures) {
  for (int total : {0, 130, 120}) {
    SCOPED_TRACE(total);
    StatsPlatform platform(StatsPlatform::rows(total));
    auto fanout = run_fanout();
    EXPECT_EQ(fanout->data.size(), static_cast<std::size_t>(total));
    EXPECT_TRUE(fanout->failures.empty());
  }
}

TEST(PageFanout, FailuresAreListedInPageOrderWhateverOrderTheyHappen) {
  // Pages 1 and 4 fail in different ways; page 4 fails first.
  std::mutex m;
  std::condition_variable cv;
  bool four_done = false;
  auto rows = StatsPlatform::rows(1000);
  StatsPlatform platform([&](std::int64_t page) {
    if (page == 4) {
      std::lock_guard<std::mutex> lock(m);
      four_done = true;
      cv.notify_all();
      return json_response({{"errCode", 300334}, {"data", Json::object()}});
    }
    if (page == 1) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return four_done; });
      return raw_response("<html>", 200);
    }
    return rows(page);
  });
  auto fanout = run_fanout();
  ASSERT_EQ(fanout->failures.size(), 2U);
  EXPECT_EQ(fanout->failures[0].page, 1);
  EXPECT_EQ(fanout->failures[0].outcome.error_kind, "ProtocolError");
  EXPECT_EQ(fanout->failures[1].page, 4);
  EXPECT_EQ(fanout->failures[1].outcome.code, 300);
  EXPECT_EQ(row_numbers(fanout->data), concat(concat(range(0, 20), range(40, 80)), range(100, 120)));
}

TEST(PageFanout, APlatformThatNeverEndsStopsAtTheBoundAndSaysSo) {
  // One row on every page, for ever; a bound that ends inside a batch.
  StatsPlatform platform([](std::int64_t page) { return page_reply(Json::array({platform_row(page)}), true); });
  auto fanout = std::make_shared<QelDis>();
  EXPECT_EQ(fanout->max_pages, QelDis::kMaxPages);
  fanout->a = "s";
  fanout->b = 1;
  fanout->max_pages = 14;
  fanout->start();
  fanout->join();
  EXPECT_EQ(row_numbers(fanout->data), range(0, 14));
  EXPECT_EQ(page_set(platform.pages()), pages_upto(13));
  EXPECT_EQ(platform.pages().size(), 14U);
  ASSERT_EQ(fanout->failures.size(), 1U);
  EXPECT_EQ(fanout->failures[0].page, 14);
  EXPECT_EQ(fanout->failures[0].outcome.error_kind, "PageLimitError");
  EXPECT_THROW(std::rethrow_exception(fanout->failures[0].outcome.error), PageLimitError);

  // Data that ends just inside the bound is complete: no failure.
  StatsPlatform shorter(StatsPlatform::rows(12 * 20 + 5));  // page 13 is empty
  auto complete = std::make_shared<QelDis>();
  complete->a = "s";
  complete->b = 1;
  complete->max_pages = 14;
  complete->start();
  complete->join();
  EXPECT_EQ(complete->data.size(), 12U * 20 + 5);
  EXPECT_TRUE(complete->failures.empty());
}

TEST(PageFanout, PagesPastTheRowBoundsStopTheQueryWithTheRowsBeforeThem) {
  // Thirty rows on every page, for ever.
  StatsPlatform platform([](std::int64_t page) {
    Json rows = Json::array();
    for (std::int64_t i = 0; i < 30; ++i) rows.push_back(platform_row(page * 30 + i));
    return page_reply(rows, true);
  });
  auto run_bounded = [](std::size_t rows, std::size_t bytes) {
    auto fanout = std::make_shared<QelDis>();
    fanout->a = "s";
    fanout->b = 1;
    fanout->max_rows = rows;
    fanout->max_row_bytes = bytes;
    fanout->start();
    fanout->join();
    return fanout;
  };
  for (const auto& fanout : {run_bounded(100, QelDis::kMaxRowBytes), run_bounded(QelDis::kMaxRows, 30 * 1024)}) {
    ASSERT_EQ(fanout->failures.size(), 1U);
    const PageFailure& bound = fanout->failures[0];
    EXPECT_EQ(bound.outcome.error_kind, "PageLimitError") << bound.outcome.message;
    // The pages before the one that went past the bound, and nothing after.
    EXPECT_GE(bound.page, 1);
    EXPECT_LE(bound.page, 3);
    EXPECT_EQ(row_numbers(fanout->data), range(0, static_cast<int>(30 * bound.page)));
  }
  EXPECT_EQ(run_bounded(100, QelDis::kMaxRowBytes)->failures[0].page, 3);
  EXPECT_EQ(platform.pages().size(), 18U) << "paging stops after the batch";
}

// Fails to make the worker of one page.
class BrokenFanout : public QelDis {
 public:
  std::int64_t broken_page = 3;
  std::vector<std::shared_ptr<QelExc>> made;

 protected:
  std::shared_ptr<QelExc> make_worker(std::int64_t page) override {
    if (page == broken_page) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    made.push_back(QelDis::make_worker(page));
    return made.back();
  }
};

TEST(PageFanout, AWorkerThatCannotBeMadeIsAFailureNotTheEndOfTheData) {
  StatsPlatform platform(StatsPlatform::rows(1000));
  auto fanout = std::make_shared<BrokenFanout>();
  fanout->broken_page = 9;
  fanout->a = "s";
  fanout->b = 1;
  fanout->start();
  fanout->join();
  EXPECT_EQ(fanout->exception(), nullptr);
  // The pages made before it are joined and gathered; nothing later is asked for.
  EXPECT_EQ(row_numbers(fanout->data), range(0, 9 * 20));
  EXPECT_EQ(page_set(platform.pages()), pages_upto(8));
  ASSERT_EQ(fanout->failures.size(), 1U);
  EXPECT_EQ(fanout->failures[0].page, 9);
  EXPECT_EQ(fanout->failures[0].outcome.kind, PageOutcome::Kind::failure);
  EXPECT_EQ(fanout->failures[0].outcome.error_kind, "std::exception");
  EXPECT_THROW(std::rethrow_exception(fanout->failures[0].outcome.error), std::system_error);
  for (const auto& worker : fanout->made) EXPECT_FALSE(worker->is_alive());
}

TEST(PageFanout, ProgressIsToldEachAnsweredPageAndRowsAreMovedOut) {
  auto rows = StatsPlatform::rows(1000);
  StatsPlatform platform([&](std::int64_t page) {
    return page == 3 ? json_response({{"errCode", 7}, {"data", Json::object()}}) : rows(page);
  });
  auto fanout = std::make_shared<WatchedFanout>();
  fanout->a = "s";
  fanout->b = 1;
  std::vector<std::int64_t> counts;
  std::vector<std::size_t> rows_then;
  fanout->on_progress = [&](std::int64_t pages) {
    counts.push_back(pages);
    rows_then.push_back(fanout->data.size());
  };
  fanout->start();
  fanout->join();
  // Page 3 did not answer, so it is not counted; every count follows its page's rows.
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(rows_then, (std::vector<std::size_t>{20, 40, 60, 80, 100}));
  ASSERT_EQ(fanout->made.size(), 6U);
  for (const auto& worker : fanout->made) EXPECT_TRUE(worker->data.empty()) << "rows left behind in page " << worker->b;

  // A hook that throws stops the paging after its batch and is listed, not
  // swallowed; the batch is still joined, so no worker outlives the run.
  StatsPlatform endless(StatsPlatform::rows(1000));
  auto stopped = std::make_shared<WatchedFanout>();
  stopped->a = "s";
  stopped->b = 1;
  stopped->on_progress = [](std::int64_t pages) {
    if (pages == 2) throw std::runtime_error("the host's display failed");
  };
  stopped->start();
  stopped->join();
  EXPECT_EQ(stopped->exception(), nullptr);
  ASSERT_EQ(stopped->failures.size(), 1U);
  EXPECT_EQ(stopped->failures[0].page, 1);
  EXPECT_EQ(stopped->failures[0].outcome.message, "the host's display failed");
  EXPECT_EQ(row_numbers(stopped->data), range(0, 120));
  ASSERT_EQ(stopped->made.size(), 6U);
  for (const auto& worker : stopped->made) EXPECT_FALSE(worker->is_alive());
}

TEST(PageFanout, RowsStayInPageOrderWhenWorkersFinishInReverse) {
  // Pages 0-4 each wait until the next page has been answered, so the first
  // batch finishes 5, 4, 3, 2, 1, 0. That can only happen with all six in
  // flight together; the time-out turns a serial fan-out into a failure
  // instead of a hang.
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::int64_t> finished;
  bool timed_out = false;
  auto rows = StatsPlatform::rows(200);
  StatsPlatform platform([&](std::int64_t page) {
    std::unique_lock<std::mutex> lock(m);
    if (page < 5) {
      bool ok = cv.wait_for(lock, std::chrono::seconds(10), [&] {
        return std::find(finished.begin(), finished.end(), page + 1) != finished.end();
      });
      timed_out = timed_out || !ok;
    }
    if (page <= 5) finished.push_back(page);
    cv.notify_all();
    return rows(page);
  });

  auto fanout = run_fanout();

  EXPECT_FALSE(timed_out);
  EXPECT_EQ(finished, (std::vector<std::int64_t>{5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(row_numbers(fanout->data), range(0, 200));
  EXPECT_EQ(page_set(platform.pages()), pages_upto(11));
}

TEST(PageFanout, ABadRowSpoilsOnlyItsOwnPage) {
  auto rows = StatsPlatform::rows(300);
  StatsPlatform platform([&](std::int64_t page) {
    if (page != 1) return rows(page);
    Json list = Json::array();
    for (int n = 20; n < 40; ++n) list.push_back(platform_row(n));
    list[7]["attachProfit"] = nullptr;
    return page_reply(list, true);
  });

  auto fanout = run_fanout();

  EXPECT_EQ(row_numbers(fanout->data), concat(range(0, 20), range(40, 120)));
  EXPECT_EQ(page_set(platform.pages()), pages_upto(5));
}

}  // namespace
}  // namespace qelkit
