// `qelkit pull` as a user runs it, against the substitute platform, into
// SQLite and into a PostgreSQL server of its own (tests/support).
//
// Wall time: 50 accounts x 3 days x 1,000 detailed rows each, the platform
// answering every request after 100 ms, --jobs 4. Its floor is what the
// platform's latency alone costs four accounts at a time: account-days x (9
// download batches + the day's list pages, fetched one after another) x
// 100 ms / 4. Target: at most 1.15 x the floor.
//
// Peak memory: the whole process's peak resident set (wait4's ru_maxrss) of
// the 50-account pulls, target under 60 MiB, and of a 10-account pull of the
// same days: flat means the 50-account peak is within 10% of it.
//
// The wall time's row also gives the CPU time the pull took, to tell its own
// cost from a busy machine's.
//
// Rows written per second: the history's own writing, in process and without
// the platform: 150 account-days of 1,000 rows staged in batches of 120 rows
// (six pages, as the detailed query delivers them) and swapped in one
// transaction each.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "qelkit/history/days.hpp"
#include "qelkit/history/internal/store.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/postgres_server.hpp"

namespace {

using qelkit::Json;
using qelkit::testing::PlatformSim;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace history = qelkit::history;

constexpr int kAccounts = 50;
constexpr int kFewAccounts = 10;
constexpr int kRows = 1000;
constexpr int kLatencyMs = 100;
constexpr int kJobs = 4;
constexpr int kDownloadBatches = 9;  // 1,000 rows: 50 full pages and an empty one, six at a time
constexpr double kRatioTarget = 1.15;
constexpr double kPeakTargetMib = 60;
const std::vector<std::string> kDays = {"2026-03-01", "2026-03-02", "2026-03-03"};

struct Run {
  int status = -1;
  double wall = 0;
  double peak_mib = 0;
  double cpu = 0;  // seconds of CPU (user and system) the process took
};

Run run_cli(const fs::path& work, const std::vector<std::string>& args, bool wait = true, pid_t* started = nullptr) {
  std::vector<std::string> text{QELKIT_CLI_PATH};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string err = (work / "err.log").string();
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  const auto start = Clock::now();
  const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error(std::string("cannot start qelkit: ") + std::strerror(failed));
  Run run;
  if (!wait) {
    *started = pid;
    return run;
  }
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for qelkit");
  }
  run.wall = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

Run pull(const fs::path& work, const std::string& db, std::vector<std::string> accounts) {
  std::vector<std::string> args = std::move(accounts);
  args.insert(args.begin(), "pull");
  for (const char* a : {"--from", "2026-03-01", "--to", "2026-03-03", "--jobs", "4", "--quiet", "--db"}) {
    args.push_back(a);
  }
  args.push_back(db);
  Run r = run_cli(work, args);
  if (r.status != 0) throw std::runtime_error("qelkit pull into " + db + " failed (status " + std::to_string(r.status) + ")");
  return r;
}

// Rows per second that the history writes: staged in batches, swapped in per account-day.
double write_rate(const std::string& url) {
  history::Store store(history::parse_target(url));
  const qelkit::DetailRow row{"2026-03-01", "1234567", "A drama of some length", true, 1234, 567, 8901, 234, "nick"};
  const std::vector<qelkit::DetailRow> batch(120, row);
  history::KindOutcome list{"list", "", "", 0, "ok", ""}, detail{"detail", "", "", kRows, "ok", ""};
  const auto start = Clock::now();
  std::int64_t rows = 0;
  for (int account = 0; account < kAccounts; ++account) {
    for (const std::string& day : kDays) {
      store.stage_begin();
      for (int written = 0; written < kRows; written += 120) {
        const std::size_t n = std::min<std::size_t>(120, static_cast<std::size_t>(kRows - written));
        store.stage_detail({batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n)});
        rows += static_cast<std::int64_t>(n);
      }
      store.commit_day("account-" + std::to_string(account), day, list, detail);
    }
  }
  return static_cast<double>(rows) / std::chrono::duration<double>(Clock::now() - start).count();
}

void row(const std::string& metric, const std::string& value, const std::string& target, const std::string& verdict) {
  std::printf("| %s | %s | %s | %s |\n", metric.c_str(), value.c_str(), target.c_str(), verdict.c_str());
}

std::string fixed(double v, int digits = 2) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

}  // namespace

int main() {
  try {
    PlatformSim::Options options;
    options.accounts = kAccounts;
    options.auto_confirm_after = 0;
    PlatformSim sim(options);
    sim.export_environment();

    char pattern[] = "/tmp/qelkit-bench-pull.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    const fs::path work = pattern;

    // 50 stored logins, made as a user makes them, five at a time.
    for (int i = 0; i < kAccounts; i += 5) {
      std::vector<pid_t> pids(5);
      for (pid_t& pid : pids) run_cli(work, {"login", "--wait"}, false, &pid);
      for (pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("qelkit login --wait failed");
      }
    }
    std::vector<std::string> ids;
    double floor = 0;
    for (int i = 0; i < kAccounts; ++i) {
      ids.push_back(sim.accounts()[static_cast<std::size_t>(i)]["id_text"].get<std::string>());
      for (const std::string& day : kDays) {
        const std::int64_t start = history::day_start(day, "UTC");
        sim.set_download_rows(i, kRows, start);
        const std::int64_t entries = sim.expected_list(i, start, start + 86399)["total"].get<std::int64_t>();
        floor += (kDownloadBatches + entries / 5 + 1) * kLatencyMs / 1000.0 / kJobs;
      }
    }
    sim.set_latency(kLatencyMs);

    qelkit::testing::PostgresServer pg;
    const Run lite = pull(work, (work / "bench.sqlite").string(), {});
    const Run post = pull(work, pg.create_database("bench"), {});
    const Run few = pull(work, (work / "few.sqlite").string(), {ids.begin(), ids.begin() + kFewAccounts});
    sim.set_latency(0);
    const double lite_rate = write_rate((work / "rate.sqlite").string());
    const double post_rate = write_rate(pg.create_database("rate"));
    fs::remove_all(work);

    const std::string what = "pull 50 accounts x 3 days x 1,000 rows at 100 ms, --jobs 4";
    for (const auto& [name, r] : {std::pair<const char*, const Run&>{"SQLite", lite}, {"PostgreSQL", post}}) {
      const double ratio = r.wall / floor;
      row(what + ", " + name + ": wall / floor", fixed(ratio) + " (" + fixed(r.wall, 1) + " s / " + fixed(floor, 1) + " s; CPU " + fixed(r.cpu, 1) + " s)",
          "<= " + fixed(kRatioTarget), ratio <= kRatioTarget ? "ok" : "over");
      row(what + ", " + name + ": peak RSS", fixed(r.peak_mib, 1) + " MiB", "< 60 MiB", r.peak_mib < kPeakTargetMib ? "ok" : "over");
    }
    const double growth = lite.peak_mib / few.peak_mib - 1;
    row("pull peak RSS, 10 -> 50 accounts (SQLite)", fixed(few.peak_mib, 1) + " -> " + fixed(lite.peak_mib, 1) + " MiB",
        "flat (within 10%)", growth <= 0.10 ? "ok" : "over");
    row("history rows written per second, SQLite", fixed(lite_rate, 0), "-", "-");
    row("history rows written per second, PostgreSQL", fixed(post_rate, 0), "-", "-");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_pull: %s\n", e.what());
    return 1;
  }
}
