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
//
// The whole process, as a user runs it: the built `qelkit detail` program
// (QELKIT_BENCH_CLI names another build's, to compare builds), logged in once
// through `qelkit login --wait` in a scratch working directory.
//
// BM_process_detail_1000_rows_100ms: `qelkit detail` of the 1,000 rows at
// 100 ms platform latency, started afresh each run (one unmeasured run
// first): reading and decrypting the stored login, every batch, printing the
// table. Its floor is the batches the platform logged x 100 ms (9 batches:
// 0.90 s); target: median wall time at most 1.10 x the floor.
//
// BM_process_detail_100000_rows_peak_rss: `qelkit detail` of 100,000 rows at
// no latency, once; the peak resident set of the whole process (wait4's
// ru_maxrss). Target: under 110 MiB. Per 10,000 rows: what the peak grows
// beyond that of the 1,000-row runs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
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
constexpr std::int64_t kTsProcessMemory = 1717344000;  // the 100,000-row query
constexpr std::int64_t kProcessMemoryRows = 100000;
constexpr double kProcessRatioTarget = 1.10;
constexpr double kProcessPeakTargetMib = 110;
const std::string kDownloadPath(qelkit::SpiderDriver::kStatisticsDownloadPath);

// Set up by main before the benchmarks run.
struct Setup {
  PlatformSim* sim = nullptr;
  std::string session;
  std::map<std::string, std::int64_t> page_by_cursor;
  std::int64_t seen_seq = 0;  // the newest request-log entry already looked at
  std::string cli;            // the qelkit program measured
  std::filesystem::path work; // its working directory, holding the stored login
  std::string account;        // the account id it stored
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

// What the whole-process benchmarks measured, for the summary.
struct Process {
  std::vector<double> wall;           // seconds per 1,000-row run
  std::vector<std::int64_t> batches;  // batches each run made
  std::vector<double> peak_mib;       // peak resident set of each 1,000-row run
  std::optional<double> big_peak_mib; // that of the 100,000-row run
};
Process g_process;

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

// One finished run of a program: how it ended, its wall time and its peak
// resident set.
struct ProgramRun {
  int status = -1;  // exit status; -1 when a signal ended it
  double wall = 0;  // seconds
  double peak_mib = 0;
};

// Runs `args` (after the program's path) in the working directory with
// standard input empty and standard output and error into the two files,
// and waits for it. Throws std::runtime_error when it cannot be started.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::filesystem::path& out, const std::filesystem::path& err) {
  std::vector<std::string> text{program};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, g.work.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ProgramRun run;
  pid_t pid = -1;
  const auto start = Clock::now();
  const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for " + program + ": " + std::strerror(errno));
  }
  run.wall = seconds_since(start);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  return run;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t count_lines(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  return static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n'));
}

// Runs `qelkit detail` of the stored account at `ts`; a failed run, or a
// table that is not one line per row plus the header and the rule, is an
// error that names the program's complaint.
std::optional<std::string> run_detail(std::int64_t ts, std::int64_t rows, ProgramRun& run) {
  const auto out = g.work / "detail.out";
  const auto err = g.work / "detail.err";
  run = run_program(g.cli, {"detail", g.account, std::to_string(ts)}, out, err);
  if (run.status != 0) {
    return "qelkit detail failed (exit status " + std::to_string(run.status) + "): " + read_file(err);
  }
  const std::int64_t lines = count_lines(out);
  if (lines != rows + 2) {
    return "qelkit detail printed " + std::to_string(lines) + " lines, not " + std::to_string(rows + 2);
  }
  return std::nullopt;
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

void BM_process_detail_1000_rows_100ms(benchmark::State& state) {
  g.sim->set_download_rows(kAccount, kRows, kTs);
  g.sim->set_latency(kLatencyMs, kDownloadPath);
  g_process.wall.clear();
  g_process.batches.clear();
  g_process.peak_mib.clear();
  ProgramRun run;
  if (auto problem = run_detail(kTs, kRows, run)) {  // unmeasured: warms the page cache
    state.SkipWithError(problem->c_str());
    return;
  }
  for (auto _ : state) {
    (void)new_downloads();
    if (auto problem = run_detail(kTs, kRows, run)) {
      state.SkipWithError(problem->c_str());
      break;
    }
    state.SetIterationTime(run.wall);
    std::int64_t last_page = -1;
    for (const Json& request : new_downloads()) last_page = std::max(last_page, page_of(request));
    g_process.wall.push_back(run.wall);
    g_process.batches.push_back(last_page / qelkit::QelDis::kThreadCount + 1);
    g_process.peak_mib.push_back(run.peak_mib);
  }
  g.sim->set_latency(0, kDownloadPath);
  if (g_process.wall.empty()) return;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < g_process.wall.size(); ++i) {
    ratios.push_back(g_process.wall[i] / (static_cast<double>(g_process.batches[i]) * kLatencyMs / 1e3));
  }
  state.counters["ratio"] = qelkit::bench::median(ratios);
  state.counters["batches"] = static_cast<double>(g_process.batches.front());
  state.counters["peak_rss_mib"] = qelkit::bench::median(g_process.peak_mib);
}
BENCHMARK(BM_process_detail_1000_rows_100ms)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);

void BM_process_detail_100000_rows_peak_rss(benchmark::State& state) {
  g.sim->set_latency(0, kDownloadPath);
  g.sim->set_download_rows(kAccount, kProcessMemoryRows, kTsProcessMemory);
  ProgramRun run;
  for (auto _ : state) {
    if (auto problem = run_detail(kTsProcessMemory, kProcessMemoryRows, run)) {
      state.SkipWithError(problem->c_str());
      return;
    }
    state.SetIterationTime(run.wall);
  }
  (void)new_downloads();
  g_process.big_peak_mib = run.peak_mib;
  state.counters["peak_rss_mib"] = run.peak_mib;
}
BENCHMARK(BM_process_detail_100000_rows_peak_rss)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

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
  if (!g_process.wall.empty()) {
    std::vector<double> ratios, floors;
    for (std::size_t i = 0; i < g_process.wall.size(); ++i) {
      floors.push_back(static_cast<double>(g_process.batches[i]) * kLatencyMs / 1e3);
      ratios.push_back(g_process.wall[i] / floors.back());
    }
    b::print_row("qelkit detail process, 1,000 rows @ 100 ms: median wall / floor",
                 b::grouped(b::median(g_process.wall) * 1e3) + " ms / " + b::grouped(b::median(floors) * 1e3) +
                     " ms (" + std::to_string(g_process.batches.front()) + " batches x 100 ms; " +
                     std::to_string(g_process.wall.size()) + " runs)");
    b::print_bounded_row("qelkit detail process, 1,000 rows @ 100 ms / floor (median)", b::median(ratios), 3,
                         kProcessRatioTarget, "x");
  }
  if (g_process.big_peak_mib) {
    b::print_bounded_row("qelkit detail process, 100,000 rows: peak RSS", *g_process.big_peak_mib, 1,
                         kProcessPeakTargetMib, "MiB");
    if (!g_process.peak_mib.empty()) {
      const double small = b::median(g_process.peak_mib);
      const double per_10k = (*g_process.big_peak_mib - small) / (static_cast<double>(kProcessMemoryRows - kRows) / 1e4);
      b::print_row("qelkit detail process: peak RSS per 10,000 rows",
                   b::fixed(per_10k, 1) + " MiB (" + b::fixed(small, 1) + " MiB at 1,000 rows)");
    }
  }
}

// A scratch directory for the measured program, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelkit-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Logs the account in through `qelkit login --wait` in the scratch directory
// and returns the account id it printed.
std::string cli_login() {
  const auto out = g.work / "login.out";
  const auto err = g.work / "login.err";
  const ProgramRun run = run_program(g.cli, {"login", "--wait"}, out, err);
  std::string text = read_file(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::string id = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  if (run.status != 0 || id.empty()) {
    throw std::runtime_error("qelkit login --wait failed (exit status " + std::to_string(run.status) +
                             "): " + read_file(err));
  }
  return id;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    PlatformSim::Options options;
    options.accounts = 1;
    options.auto_confirm_after = 0;  // the phone confirms every login at once
    PlatformSim sim(options);
    sim.export_environment();
    g.sim = &sim;
    for (std::int64_t p = 1; p <= kProcessMemoryRows / qelkit::QelExc::kPageSize + 10; ++p) {
      g.page_by_cursor[qelkit::QelExc::encode(p)] = p;
    }

    // A session made the way a host makes one: token, (phone,) status.
    qelkit::SpiderDriver spider;
    const Json token = spider.ale();
    if (token.value("code", -1) != 0) throw std::runtime_error("no login token: " + token.dump());
    const Json status = spider.als(token.at("data").get<std::string>());
    if (status.value("code", -1) != 1) throw std::runtime_error("login not confirmed: " + status.dump());
    g.session = status.at("data").at("session_id").get<std::string>();

    // The process benchmarks' stored login, made the way a user makes one.
    const char* cli = std::getenv("QELKIT_BENCH_CLI");
    g.cli = cli && *cli ? cli : QELKIT_CLI_PATH;
    ScratchDir work;
    g.work = work.path();
    g.account = cli_login();

    qelkit::bench::KeepingReporter reporter;
    if (!qelkit::bench::run_benchmarks(argc, argv, {}, reporter)) return 1;
    print_summary();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_detailed: %s\n", e.what());
    return 1;
  }
}
