// The detailed statistics query end to end: the fan-out (QelDis) and its page
// workers over the real platform client, libcurl and TLS, against the
// substitute platform on loopback.
//
// BM_detailed_50_pages_100ms: 1,000 rows (pages 0 to 49 full, page 50 empty),
// the platform answering every download after 100 ms. Each request opens a
// fresh TLS connection, so a batch of six lasts at least 100 ms plus one
// handshake; the floor is batches x (100 ms + handshake), with the batches
// counted from the requests the platform logged and the handshake the median
// time of a fresh-connection request answered at once (the heartbeat, owit),
// sampled before every query. Target: wall time at most 1.15 x the floor.
// QelDis runs with a session id at hand, as the facade's detailed query does
// after it has decrypted the stored one; that one decryption (a deliberate
// key derivation, measured by bench_sealbox) is left out.
//
// BM_detailed_10000_rows_peak_memory: 10,000 rows at no latency, run once in
// a forked child. The child resets its peak resident set to its current one
// (writing "5" to /proc/self/clear_refs), runs the query and reports its
// peak (VmHWM) minus the resident set it started from: the memory the query
// itself added at its highest point, with the platform client already warm.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/summary.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/pagefanout.hpp"
#include "qelkit/sdk/pageworker.hpp"
#include "tests/support/platform_sim.hpp"

namespace {

using qelkit::Json;
using qelkit::testing::PlatformSim;
using Clock = std::chrono::steady_clock;

constexpr int kAccount = 0;
constexpr std::int64_t kTs = 1717171200;        // the 1,000-row query
constexpr std::int64_t kTsMemory = 1717257600;  // the 10,000-row query
constexpr std::int64_t kRows = 1000;
constexpr std::int64_t kMemoryRows = 10000;
constexpr int kLatencyMs = 100;
constexpr int kHandshakeSamples = 3;  // per query
const std::string kDownloadPath(qelkit::SpiderDriver::kStatisticsDownloadPath);

// Set up by main before the benchmarks run.
struct Setup {
  PlatformSim* sim = nullptr;
  std::string session;
  std::map<std::string, std::int64_t> page_by_cursor;
  std::int64_t seen_seq = 0;  // the newest request-log entry already looked at
};
Setup g;

// What the 50-page benchmark measured, for the summary.
struct Detailed {
  std::vector<double> wall;          // seconds per query
  std::vector<std::int64_t> batches; // batches each query ran
  std::vector<double> handshake;     // seconds per fresh-connection request
};
Detailed g_detailed;
std::optional<double> g_peak_mib;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The download requests the platform logged since the last call.
std::vector<Json> new_downloads() {
  Json answer = g.sim->control("requests", Json{{"path", kDownloadPath}, {"since", g.seen_seq}});
  std::vector<Json> list = answer.at("requests").get<std::vector<Json>>();
  for (const Json& e : list) g.seen_seq = std::max(g.seen_seq, e.at("seq").get<std::int64_t>());
  return list;
}

// The page a logged download asked for (0 when it carried no cursor).
std::int64_t page_of(const Json& request) {
  const Json body = Json::parse(request.at("body").get<std::string>());
  if (!body.contains("pageBuffer")) return 0;
  return g.page_by_cursor.at(body.at("pageBuffer").get<std::string>());
}

std::shared_ptr<qelkit::QelDis> run_query(std::int64_t ts) {
  auto fanout = std::make_shared<qelkit::QelDis>();
  fanout->a = g.session;
  fanout->b = ts;
  fanout->start();
  fanout->join();
  return fanout;
}

// A "Name:  1234 kB" line of /proc/self/status, in KiB; -1 when absent.
long status_kb(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

void BM_detailed_10000_rows_peak_memory(benchmark::State& state) {
  g.sim->set_latency(0, kDownloadPath);
  g.sim->set_download_rows(kAccount, kMemoryRows, kTsMemory);
  struct Report {
    long start_kb = -1, peak_kb = -1;
    std::int64_t rows = -1;
  } report;
  for (auto _ : state) {
    int fds[2];
    if (::pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
      state.SkipWithError("fork failed");
      return;
    }
    if (child == 0) {
      ::close(fds[0]);
      Report r;
      std::ofstream clear("/proc/self/clear_refs");
      clear << "5" << std::flush;
      if (clear) {
        r.start_kb = status_kb("VmRSS");
        r.rows = static_cast<std::int64_t>(run_query(kTsMemory)->data.size());
        r.peak_kb = status_kb("VmHWM");
      }
      const bool sent = ::write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
      ::_exit(sent ? 0 : 1);  // no exit handlers: the platform belongs to the parent
    }
    ::close(fds[1]);
    const bool got = ::read(fds[0], &report, sizeof report) == static_cast<ssize_t>(sizeof report);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the measuring child failed");
      return;
    }
  }
  (void)new_downloads();  // not part of the 50-page runs
  if (report.start_kb < 0 || report.peak_kb < 0) {
    state.SkipWithError("cannot reset the peak resident set (/proc/self/clear_refs)");
    return;
  }
  if (report.rows != kMemoryRows) {
    state.SkipWithError("the query did not bring every row");
    return;
  }
  g_peak_mib = static_cast<double>(report.peak_kb - report.start_kb) / 1024.0;
  state.counters["peak_added_mib"] = *g_peak_mib;
  state.counters["start_rss_mib"] = static_cast<double>(report.start_kb) / 1024.0;
  state.counters["rows"] = static_cast<double>(report.rows);
}
BENCHMARK(BM_detailed_10000_rows_peak_memory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_detailed_50_pages_100ms(benchmark::State& state) {
  g.sim->set_download_rows(kAccount, kRows, kTs);
  g.sim->set_latency(kLatencyMs, kDownloadPath);  // the heartbeat stays instant
  const Json expected = g.sim->expected_rows(kAccount, kTs).at("normalised");
  qelkit::SpiderDriver spider;
  g_detailed = {};
  for (auto _ : state) {
    for (int i = 0; i < kHandshakeSamples; ++i) {
      const auto start = Clock::now();
      spider.owit(g.session);
      g_detailed.handshake.push_back(seconds_since(start));
    }
    (void)new_downloads();

    const auto start = Clock::now();
    auto fanout = run_query(kTs);
    const double wall = seconds_since(start);
    state.SetIterationTime(wall);

    if (fanout->data != expected) {
      state.SkipWithError("the query's rows differ from the platform's");
      return;
    }
    std::int64_t last_page = -1;
    for (const Json& request : new_downloads()) last_page = std::max(last_page, page_of(request));
    g_detailed.wall.push_back(wall);
    g_detailed.batches.push_back(last_page / qelkit::QelDis::kThreadCount + 1);
  }
  g.sim->set_latency(0, kDownloadPath);

  const double handshake = qelkit::bench::median(g_detailed.handshake);
  std::vector<double> ratios;
  for (std::size_t i = 0; i < g_detailed.wall.size(); ++i) {
    ratios.push_back(g_detailed.wall[i] / (static_cast<double>(g_detailed.batches[i]) * (kLatencyMs / 1e3 + handshake)));
  }
  state.counters["ratio"] = qelkit::bench::median(ratios);
  state.counters["batches"] = static_cast<double>(g_detailed.batches.empty() ? 0 : g_detailed.batches.front());
  state.counters["handshake_ms"] = handshake * 1e3;
}
BENCHMARK(BM_detailed_50_pages_100ms)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

void print_summary() {
  namespace b = qelkit::bench;
  std::printf("\n");
  if (!g_detailed.wall.empty()) {
    const double handshake = b::median(g_detailed.handshake);
    std::vector<double> ratios, floors;
    for (std::size_t i = 0; i < g_detailed.wall.size(); ++i) {
      floors.push_back(static_cast<double>(g_detailed.batches[i]) * (kLatencyMs / 1e3 + handshake));
      ratios.push_back(g_detailed.wall[i] / floors.back());
    }
    b::print_row("detailed query, 50 pages @ 100 ms: median wall / floor",
                 b::grouped(b::median(g_detailed.wall) * 1e3) + " ms / " + b::grouped(b::median(floors) * 1e3) +
                     " ms (" + std::to_string(g_detailed.batches.front()) + " batches x (100 ms + " +
                     b::fixed(handshake * 1e3, 1) + " ms handshake))");
    b::print_bounded_row("detailed query, 50 pages @ 100 ms / floor (median)", b::median(ratios), 3, 1.15, "x");
  }
  if (g_peak_mib) b::print_row("peak memory, 10,000-row detailed query", b::fixed(*g_peak_mib, 1) + " MiB");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    PlatformSim::Options options;
    options.accounts = 1;
    PlatformSim sim(options);
    sim.export_environment();
    g.sim = &sim;
    for (std::int64_t p = 1; p <= kMemoryRows / qelkit::QelExc::kPageSize + 10; ++p) {
      g.page_by_cursor[qelkit::QelExc::encode(p)] = p;
    }

    // A session made the way a host makes one: token, phone, status.
    qelkit::SpiderDriver spider;
    const Json token = spider.ale();
    if (token.value("code", -1) != 0) throw std::runtime_error("no login token: " + token.dump());
    sim.confirm(token.at("data").get<std::string>(), kAccount);
    const Json status = spider.als(token.at("data").get<std::string>());
    if (status.value("code", -1) != 1) throw std::runtime_error("login not confirmed: " + status.dump());
    g.session = status.at("data").at("session_id").get<std::string>();

    qelkit::bench::KeepingReporter reporter;
    if (!qelkit::bench::run_benchmarks(argc, argv, {}, reporter)) return 1;
    print_summary();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_detailed: %s\n", e.what());
    return 1;
  }
}
