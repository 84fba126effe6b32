// gqb on a confirm-login link of 124 characters: QR symbol, PNG in memory,
// Base64 data URL. Target: median at most 1 ms.
//   bench_gqb --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <string>

#include "qelkit/common/fetchcore.hpp"

namespace {

const std::string kLink =
    "https://platform.example.com/assistant/confirm_login?token="
    "AQAAAJ3k5Xv0sZ8mNqR7tLwYc2Fh9GdKpUe4Ib6OjMnVxWz1CyTrSa&lang=en_US";

void BM_GqbLink124(benchmark::State& state) {
  qelkit::SpiderDriver spider;
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string url = spider.gqb(kLink);
    bytes = url.size();
    benchmark::DoNotOptimize(url);
  }
  state.counters["data_url_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GqbLink124)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
