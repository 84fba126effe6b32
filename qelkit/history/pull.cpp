// History::pull: every account-day through qelkit::Statistics into the store.
#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include "qelkit/common/internal/utc_time.hpp"
#include "qelkit/history/days.hpp"
#include "qelkit/history/history.hpp"
#include "qelkit/history/internal/store.hpp"
#include "qelkit/sdk/accounts.hpp"
#include "qelkit/sdk/statistics.hpp"

namespace qelkit::history {
namespace {

using Clock = std::chrono::steady_clock;

// Failures that every later day of the account would repeat: recorded for
// those days without asking the platform again.
bool account_wide(const std::string& outcome) {
  return outcome == "login_expired" || outcome == "account_not_stored" || outcome == "stored_login" ||
         outcome == "data_file";
}

struct Span {
  Day day;
  std::int64_t start = 0, end = 0;  // epoch s; end is the last second of the day
};

// The shared state of one pull: progress (serialised) and the first
// database failure, which stops every worker.
class Run {
 public:
  Run(int accounts, int days, const std::function<void(const Progress&)>& callback)
      : callback_(callback), started_(Clock::now()) {
    p_.accounts_total = accounts;
    p_.days_total = accounts * days;
  }

  void batch(const std::string& account, const Day& day, std::int64_t pages, std::int64_t rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    p_.account = account;
    p_.day = day;
    p_.pages += pages;
    p_.rows += rows;
    p_.finished.reset();
    emit();
  }
  void day_done(const DayResult& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++p_.days_done;
    p_.account = r.account;
    p_.day = r.day;
    p_.finished = r;
    emit();
  }
  void account_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++p_.accounts_done;
  }

  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = e;
    stopped_ = true;
  }
  bool stopped() const { return stopped_; }
  std::exception_ptr failure() const { return failure_; }

 private:
  void emit() {
    if (!callback_) return;
    p_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
    callback_(p_);
  }

  const std::function<void(const Progress&)>& callback_;
  Clock::time_point started_;
  std::mutex mutex_;
  Progress p_;
  std::exception_ptr failure_;
  std::atomic<bool> stopped_{false};
};

// Runs one kind's query, recording its outcome; a database failure (a
// HistoryError, also from inside the rows' sink) is not the platform's and
// goes on up.
template <typename Query>
KindOutcome run_kind(const char* kind, Query&& query) {
  KindOutcome k;
  k.kind = kind;
  k.started = detail::utc_now_text(true);
  try {
    k.rows = query();
  } catch (const HistoryError&) {
    throw;
  } catch (const Error& e) {
    k.outcome = std::string(error_kind_name(e.kind()));
    k.error = e.what();
  } catch (const std::exception& e) {
    k.outcome = "failure";
    k.error = e.what();
  }
  k.finished = detail::utc_now_text(true);
  return k;
}

DayResult day_result(const std::string& account, const Day& day, const KindOutcome& list, const KindOutcome& detail) {
  DayResult r;
  r.account = account;
  r.day = day;
  r.ok = list.ok() && detail.ok();
  r.list_rows = list.rows;
  r.detail_rows = detail.rows;
  const KindOutcome& failed = detail.ok() ? list : detail;
  r.outcome = failed.outcome;
  r.error = failed.error;
  return r;
}

// Pulls every day of one account, in order, through its own session.
void pull_account(Store& store, Run& run, const std::string& account, const std::vector<Span>& spans,
                  std::vector<DayResult>& results) {
  std::optional<KindOutcome> account_failure;
  for (std::size_t i = 0; i < spans.size() && !run.stopped(); ++i) {
    const Span& s = spans[i];
    KindOutcome list, detail;
    if (account_failure) {
      list = detail = *account_failure;
      list.kind = "list";
      detail.kind = "detail";
      list.started = detail.started = list.finished = detail.finished = detail::utc_now_text(true);
    } else {
      store.stage_begin();
      list = run_kind("list", [&] {
        const std::vector<ListEntry> entries = Statistics::list_all(account, s.start, s.end);
        store.stage_list(entries);
        const auto n = static_cast<std::int64_t>(entries.size());
        run.batch(account, s.day, n / Statistics::kListPageSize + 1, n);
        return n;
      });
      if (!list.ok() && account_wide(list.outcome)) {
        detail = list;
        detail.kind = "detail";
      } else {
        detail = run_kind("detail", [&] {
          return Statistics::detail(account, s.start, [&](std::vector<DetailRow>&& rows) {
            store.stage_detail(rows);
            run.batch(account, s.day, 1, static_cast<std::int64_t>(rows.size()));
          });
        });
      }
      for (const KindOutcome* k : {&list, &detail}) {
        if (!k->ok() && account_wide(k->outcome)) account_failure = *k;
      }
    }
    store.commit_day(account, s.day, list, detail);
    results[i] = day_result(account, s.day, list, detail);
    run.day_done(results[i]);
  }
}

}  // namespace

PullSummary History::pull(const PullOptions& o, const std::function<void(const Progress&)>& progress) {
  if (o.jobs < 1) throw InvalidArgumentError("jobs must be 1 or more, not " + std::to_string(o.jobs));
  if (o.shard_count < 1 || o.shard_index < 1 || o.shard_index > o.shard_count) {
    throw InvalidArgumentError("shard " + std::to_string(o.shard_index) + "/" + std::to_string(o.shard_count) +
                               " is not one of 1/N to N/N");
  }
  // Every day's bounds before any thread starts (day_start switches TZ).
  std::vector<Span> spans;
  for (const Day& day : day_range(o.from, o.to.empty() ? o.from : o.to)) {
    const Day next = format_day(*parse_day(day) + 1);
    spans.push_back(Span{day, day_start(day, o.tz), day_start(next, o.tz) - 1});
  }

  std::vector<std::string> accounts;
  std::set<std::string> seen;
  for (const std::string& a : o.accounts.empty() ? Accounts::list() : o.accounts) {
    if (shard_of(a, o.shard_count) == o.shard_index && seen.insert(a).second) accounts.push_back(a);
  }

  std::vector<std::vector<DayResult>> results(accounts.size(), std::vector<DayResult>(spans.size()));
  Run run(static_cast<int>(accounts.size()), static_cast<int>(spans.size()), progress);
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    try {
      Store store(impl_->target);
      for (std::size_t i; !run.stopped() && (i = next++) < accounts.size();) {
        pull_account(store, run, accounts[i], spans, results[i]);
        run.account_done();
      }
    } catch (...) {
      run.fail(std::current_exception());
    }
  };
  const std::size_t jobs = std::min<std::size_t>(static_cast<std::size_t>(o.jobs), accounts.size());
  std::vector<std::thread> threads;
  for (std::size_t j = 0; j < jobs; ++j) threads.emplace_back(worker);
  for (std::thread& t : threads) t.join();
  if (run.failure()) std::rethrow_exception(run.failure());

  PullSummary summary;
  for (auto& per_account : results) {
    for (DayResult& r : per_account) summary.results.push_back(std::move(r));
  }
  return summary;
}

}  // namespace qelkit::history
