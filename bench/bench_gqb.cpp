// gqb on a confirm-login link of 124 characters: QR symbol, PNG in memory,
// Base64 data URL. Target: median at most 1 ms, taken over the repetitions
// (ten by default; --benchmark_repetitions=N on the command line wins).
//
// The size of the PNG for links of 50, 124, 500 and 2,000 characters (QR
// versions 4, 7, 16 and 35 with the link's shape), against fixed reference
// sizes that a widely used image library writes for the same symbols:
// 852, 1,414, 3,317 and 11,396 bytes. Target: no larger than the reference.
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

// A link of `length` characters of the same shape: kLink's start, then its
// token over and over.
std::string link_of(std::size_t length) {
  const std::string token = "AQAAAJ3k5Xv0sZ8mNqR7tLwYc2Fh9GdKpUe4Ib6OjMnVxWz1CyTrSa";
  std::string link = kLink.substr(0, kLink.find('=') + 1);
  while (link.size() < length) link += token;
  link.resize(length);
  return link;
}

// The bytes a "data:image/png;base64,..." URL carries.
std::size_t png_bytes(const std::string& data_url) {
  const std::size_t text = data_url.size() - data_url.find(',') - 1;
  std::size_t padding = 0;
  for (std::size_t i = data_url.size(); i > 0 && data_url[i - 1] == '='; --i) ++padding;
  return text / 4 * 3 - padding;
}

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

  std::printf("\n");
  const auto& runs = reporter.runs("BM_GqbLink124");
  if (!runs.empty()) {  // else filtered out
    std::vector<double> ms;
    for (const auto& r : runs) ms.push_back(r.real_seconds * 1e3);
    qelkit::bench::print_bounded_row("gqb, 124-char link (median)", qelkit::bench::median(ms), 2, 1, "ms");
  }

  // Sizes do not depend on timing: measured on every run.
  struct Reference {
    std::size_t link_chars;
    double png_bytes;
  };
  for (const Reference ref : {Reference{50, 852}, Reference{124, 1414}, Reference{500, 3317}, Reference{2000, 11396}}) {
    const std::string link = ref.link_chars == kLink.size() ? kLink : link_of(ref.link_chars);
    const double bytes = static_cast<double>(png_bytes(qelkit::SpiderDriver().gqb(link)));
    qelkit::bench::print_row("QR PNG, " + qelkit::bench::grouped(static_cast<double>(ref.link_chars)) + "-char link",
                             qelkit::bench::grouped(bytes) + " bytes", "<= " + qelkit::bench::grouped(ref.png_bytes) + " bytes",
                             bytes <= ref.png_bytes ? "ok" : "over");
  }
  return 0;
}
