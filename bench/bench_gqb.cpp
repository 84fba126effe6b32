// gqb on a confirm-login link of 124 characters: QR symbol, PNG in memory,
// Base64 data URL. Target: median at most 1 ms, taken over the repetitions
// (ten by default; --benchmark_repetitions=N on the command line wins).
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/summary.hpp"
#include "qelkit/common/fetchcore.hpp"

namespace {

const std::string kLink =
    "https://platform.example.com/assistant/confirm_login?token="
    "AQAAAJ3k5Xv0sZ8mNqR7tLwYc2Fh9GdKpUe4Ib6OjMnVxWz1CyTrSa&lang=en_US";

void BM_GqbLink124(benchmark::State& state) {
  if (kLink.size() != 124) {
    state.SkipWithError("the link is not 124 characters long");
    return;
  }
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

int main(int argc, char** argv) {
  qelkit::bench::KeepingReporter reporter;
  if (!qelkit::bench::run_benchmarks(argc, argv, {"--benchmark_repetitions=10"}, reporter)) return 1;

  const auto& runs = reporter.runs("BM_GqbLink124");
  if (runs.empty()) return 0;  // filtered out
  std::vector<double> ms;
  for (const auto& r : runs) ms.push_back(r.real_seconds * 1e3);
  std::printf("\n");
  qelkit::bench::print_bounded_row("gqb, 124-char link (median)", qelkit::bench::median(ms), 2, 1, "ms");
  return 0;
}
