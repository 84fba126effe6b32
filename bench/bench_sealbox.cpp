// Cost of one encrypt and one decrypt against their physical floor: a bare
// 100000-iteration PBKDF2-HMAC-SHA256 derivation, measured in the same run.
// Target: each at most 5% above the bare derivation. The summary lines at the
// end compare the fastest repetition of each (the least disturbed on a shared
// machine); repetitions are interleaved at random.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "qelkit/common/sealbox.hpp"

namespace {

const std::string kPassPhrase = "a pass phrase of 32 characters!!";
const std::string kSessionId = "sessionid-0123456789abcdef0123456789abcdef";

void BM_BarePbkdf2(benchmark::State& state) {
  unsigned char salt[16];
  unsigned char key[32];
  RAND_bytes(salt, sizeof salt);
  for (auto _ : state) {
    if (PKCS5_PBKDF2_HMAC(kPassPhrase.data(), static_cast<int>(kPassPhrase.size()), salt, sizeof salt, 100000,
                          EVP_sha256(), sizeof key, key) != 1) {
      state.SkipWithError("PBKDF2 failed");
      break;
    }
    benchmark::DoNotOptimize(key);
  }
}

void BM_Encrypt(benchmark::State& state) {
  const qelkit::CryptoHelper helper("pass phrase of ", "32 characters!!", "a ");
  for (auto _ : state) {
    benchmark::DoNotOptimize(helper.encrypt(kSessionId));
  }
}

void BM_Decrypt(benchmark::State& state) {
  const qelkit::CryptoHelper helper("pass phrase of ", "32 characters!!", "a ");
  const std::string encrypted = helper.encrypt(kSessionId);
  for (auto _ : state) {
    benchmark::DoNotOptimize(helper.decrypt(encrypted));
  }
}

BENCHMARK(BM_BarePbkdf2)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_Encrypt)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_Decrypt)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Console output as usual, plus the fastest per-iteration time of each
// benchmark for the summary.
class FloorReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double ms = run.real_accumulated_time / static_cast<double>(run.iterations) * 1e3;
      auto [it, fresh] = best_.try_emplace(run.run_name.function_name, ms);
      if (!fresh) it->second = std::min(it->second, ms);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double best(const std::string& name) const {
    auto it = best_.find(name);
    return it == best_.end() ? std::numeric_limits<double>::quiet_NaN() : it->second;
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  // Interleave the repetitions so that a burst of load on the machine hits
  // all three alike; flags given on the command line still win.
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> args{argv[0], interleave.data()};
  args.insert(args.end(), argv + 1, argv + argc);
  int args_count = static_cast<int>(args.size());
  benchmark::Initialize(&args_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(args_count, args.data())) return 1;
  FloorReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double floor = reporter.best("BM_BarePbkdf2");
  if (!(floor > 0)) return 0;  // the derivation was filtered out: nothing to compare with
  std::printf("\nbare PBKDF2-HMAC-SHA256 (100000 iterations): %.2f ms\n", floor);
  for (const char* name : {"BM_Encrypt", "BM_Decrypt"}) {
    const double t = reporter.best(name);
    if (!(t > 0)) continue;
    const double ratio = t / floor;
    std::printf("%s / bare derivation: %.3f (%.2f ms; target <= 1.050) %s\n", name, ratio, t,
                ratio <= 1.05 ? "ok" : "OVER TARGET");
  }
  return 0;
}
