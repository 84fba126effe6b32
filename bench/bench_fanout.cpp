// Detailed statistics fan-out against a platform that takes 100 ms per answer.
//
// A batch puts six requests in flight and lasts as long as its slowest one, so
// the least a query can take is batches x 100 ms. "ratio" is the measured wall
// time over that floor (target: at most 1.15); "peak_rss_kb" is the process's
// peak resident memory after the runs. The normalise_row benchmark reports how
// many platform rows per second one thread turns into normalised rows. The
// real platform client over TLS is measured by bench_detailed.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/summary.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/pagefanout.hpp"
#include "qelkit/sdk/pageworker.hpp"

namespace {

using qelkit::Json;

constexpr std::int64_t kPages = 50;     // pages holding rows: 1,000 rows
constexpr std::int64_t kRowsPerPage = 20;
constexpr auto kLatency = std::chrono::milliseconds(100);

Json platform_row(std::int64_t n) {
  return Json{{"date", "2024-06-01"},
              {"finderQelid", "qel-7"},
              {"dramaName", "drama-" + std::to_string(n)},
              {"isAttachment", n % 2},
              {"feedReadCount", std::to_string(n * 10)},
              {"dramaReadCount", n},
              {"iaaProfit", n + 0.75},
              {"attachProfit", n * 2},
              {"finderNickname", "nick"}};
}

// Answers each download request after kLatency of real sleep; pages 0 to
// kPages - 1 hold 20 rows each, later pages none. Safe for concurrent use.
class SlowPlatform : public qelkit::Transport {
 public:
  SlowPlatform() {
    for (std::int64_t p = 1; p < 1000; ++p) page_by_cursor_[qelkit::QelExc::encode(p)] = p;
    for (std::int64_t p = 0; p <= kPages; ++p) {
      Json rows = Json::array();
      for (std::int64_t n = p * kRowsPerPage; p < kPages && n < (p + 1) * kRowsPerPage; ++n) {
        rows.push_back(platform_row(n));
      }
      bodies_.push_back(Json{{"errCode", 0}, {"data", {{"continueFlag", p + 1 < kPages}, {"dataRows", rows}}}}.dump());
    }
  }

  qelkit::HttpResponse perform(const qelkit::HttpRequest& request) override {
    std::int64_t page = 0;
    if (request.json && request.json->contains("pageBuffer")) {
      page = page_by_cursor_.at(request.json->at("pageBuffer").get<std::string>());
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      highest_page_ = std::max(highest_page_, page);
    }
    std::this_thread::sleep_for(kLatency);
    qelkit::HttpResponse response;
    response.status = 200;
    response.body = bodies_[static_cast<std::size_t>(std::min(page, kPages))];
    return response;
  }

  std::int64_t take_highest_page() {
    std::lock_guard<std::mutex> lock(m_);
    return std::exchange(highest_page_, -1);
  }

 private:
  std::map<std::string, std::int64_t> page_by_cursor_;
  std::vector<std::string> bodies_;
  std::mutex m_;
  std::int64_t highest_page_ = -1;
};

void BM_fanout_50_pages(benchmark::State& state) {
  SlowPlatform platform;
  qelkit::ScopedTransport scope(platform);
  double wall = 0, floor = 0;
  std::size_t rows = 0;
  std::int64_t batches = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    auto fanout = std::make_shared<qelkit::QelDis>();
    fanout->a = "bench-session";
    fanout->b = 1717171717;
    fanout->start();
    fanout->join();
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rows = fanout->data.size();
    batches = platform.take_highest_page() / qelkit::QelDis::kThreadCount + 1;
    floor += static_cast<double>(batches) * std::chrono::duration<double>(kLatency).count();
  }
  if (rows != static_cast<std::size_t>(kPages * kRowsPerPage)) state.SkipWithError("fan-out lost rows");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["ratio"] = wall / floor;
  state.counters["batches"] = static_cast<double>(batches);
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["peak_rss_kb"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_fanout_50_pages)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_normalise_row(benchmark::State& state) {
  std::vector<Json> source;
  for (std::int64_t n = 0; n < 1000; ++n) source.push_back(platform_row(n));
  for (auto _ : state) {
    for (const Json& row : source) benchmark::DoNotOptimize(qelkit::QelExc::normalise_row(row));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(source.size()));
}
BENCHMARK(BM_normalise_row)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  qelkit::bench::KeepingReporter reporter;
  if (!qelkit::bench::run_benchmarks(argc, argv, {}, reporter)) return 1;

  std::printf("\n");
  if (const auto& runs = reporter.runs("BM_normalise_row"); !runs.empty()) {
    std::vector<double> rates;  // rows per CPU second of the normalising thread
    for (const auto& r : runs) rates.push_back(1000.0 / r.cpu_seconds);
    qelkit::bench::print_row("row normalisation (median)", qelkit::bench::grouped(qelkit::bench::median(rates)) + " rows/s");
  }
  if (const auto& runs = reporter.runs("BM_fanout_50_pages"); !runs.empty()) {
    qelkit::bench::print_bounded_row("fan-out alone, 50 pages @ 100 ms in-process fake / floor",
                                     runs.front().counters.at("ratio"), 3, 1.15, "x");
  }
  return 0;
}
