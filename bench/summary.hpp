// What every benchmark program shares: a console reporter that also keeps the
// measured runs, the defaults a program puts before the command-line flags,
// and the summary rows printed after the run.
//
// A summary row is one line "| metric | value | target | verdict |" on
// standard output; bench/run.sh gathers these rows from every program into
// one table. The verdict is "ok" or "over" when there is a target, "-" when
// there is none.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace qelkit::bench {

// One measured repetition of a benchmark, per iteration.
struct Measured {
  double real_seconds = 0;  // wall time per iteration
  double cpu_seconds = 0;   // CPU time of the benchmark thread per iteration
  std::map<std::string, double> counters;
};

// Prints as the usual console reporter and keeps every repetition's run,
// keyed by the benchmark's function name.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double n = static_cast<double>(run.iterations);
      Measured m{run.real_accumulated_time / n, run.cpu_accumulated_time / n, {}};
      for (const auto& [name, counter] : run.counters) m.counters[name] = counter.value;
      runs_[run.run_name.function_name].push_back(std::move(m));
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The repetitions of `function` (empty when it did not run or failed).
  const std::vector<Measured>& runs(const std::string& function) const {
    static const std::vector<Measured> none;
    auto it = runs_.find(function);
    return it == runs_.end() ? none : it->second;
  }

 private:
  std::map<std::string, std::vector<Measured>> runs_;
};

// Runs the benchmarks with `defaults` placed before the command-line flags
// (so the command line wins) and `reporter` on the console. Returns false
// when the command line holds a flag that is not Google Benchmark's.
inline bool run_benchmarks(int argc, char** argv, std::vector<std::string> defaults,
                           benchmark::BenchmarkReporter& reporter) {
  std::vector<char*> args{argv[0]};
  for (std::string& d : defaults) args.push_back(d.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return true;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// `v` with `decimals` digits after the point.
inline std::string fixed(double v, int decimals) {
  if (!std::isfinite(v)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// `v` rounded to a whole number, with thousands separated by commas.
inline std::string grouped(double v) {
  if (!std::isfinite(v)) return "n/a";
  const std::string digits = fixed(std::fabs(v), 0);
  std::string out = v < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

inline void print_row(const std::string& metric, const std::string& value, const std::string& target = "-",
                      const std::string& verdict = "-") {
  std::printf("| %s | %s | %s | %s |\n", metric.c_str(), value.c_str(), target.c_str(), verdict.c_str());
}

// A row with an upper bound: the verdict is "ok" when `measured` is at most
// `limit`, "over" otherwise (a measurement that is missing is "over" too).
inline void print_bounded_row(const std::string& metric, double measured, int decimals, double limit,
                              const std::string& unit) {
  const std::string suffix = unit.empty() ? "" : " " + unit;
  print_row(metric, fixed(measured, decimals) + suffix, "<= " + fixed(limit, limit == std::floor(limit) ? 0 : 2) + suffix,
            measured <= limit ? "ok" : "over");
}

}  // namespace qelkit::bench
