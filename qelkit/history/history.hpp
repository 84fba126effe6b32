// The statistics history: every stored account's statistics, day by day, in
// a database that the pull command fills and the console reads.
//
// One schema (with a version number) in SQLite, the embedded default, or in
// PostgreSQL when several hosts share one database, both through SOCI. A
// pulled account-day is written in one transaction that replaces the rows of
// that day, so a rerun never doubles a day and an interrupted one leaves the
// day as it was. Every pull, failed or not, is a row of the pulls table.
//
// Tables (SQL you may run yourself):
//   qelkit_schema(version)
//   pulls(id, account, kind, day, started, finished, rows, outcome, error)
//     kind "detail" or "list"; outcome "ok" or the error kind's name
//     ("login_expired", "no_reply", "platform", ...); started and finished
//     are UTC ISO 8601 texts; kept as history, never replaced.
//   detail_rows(account, day, position, pull_id, date, qel_id, drama_name,
//     is_mount, feed_read_count, drama_read_count, iaa_income, mount_income,
//     qel_nickname): the detailed rows of the latest complete pull of each
//     account-day, in the platform's order (position from 0).
//   list_rows(account, day, position, pull_id, drama_name, view_number,
//     iaa_income, mount_income): every page of the statistics list for the
//     day, likewise.
// `day` is the pulled day ("YYYY-MM-DD"); a detailed row's `date` is the day
// the platform gave the row (the platform's days are UTC days).
//
// A History object is one database session: use it from one thread at a
// time. pull() opens a session of its own for each job.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/statistics.hpp"

namespace qelkit::history {

// A calendar day, "YYYY-MM-DD".
using Day = std::string;

// The database cannot be opened, its schema is newer than this build reads,
// or a statement failed. The message names the database and says what failed.
class HistoryError : public Error {
 public:
  using Error::Error;
};

struct PullOptions {
  std::vector<std::string> accounts;     // empty: every stored account
  Day from;                              // inclusive
  Day to;                                // inclusive ("": the same as from)
  std::string tz = "UTC";                // IANA zone whose midnight starts each day
  int jobs = 2;                          // accounts pulled at a time
  int shard_index = 1, shard_count = 1;  // --shard K/N: accounts whose hash falls in shard K
};

// One finished (account, day): both kinds pulled and written, or failed.
struct DayResult {
  std::string account;
  Day day;
  bool ok = false;
  std::int64_t detail_rows = 0, list_rows = 0;
  std::string outcome;  // "ok", or the error kind's name ("login_expired", "no_reply", ...)
  std::string error;    // the error's message, "" when ok
};

// Live progress, delivered from the pulling threads (one call at a time).
struct Progress {
  int accounts_done = 0, accounts_total = 0;
  int days_done = 0, days_total = 0;  // account-days
  std::string account;                // being pulled now (latest)
  Day day;
  // Totals so far: `pages` counts batches of requests (each list page, and
  // each batch of up to six detail pages, as the query delivers them).
  std::int64_t pages = 0, rows = 0;
  std::chrono::milliseconds elapsed{0};
  std::optional<DayResult> finished;  // set when this event is an account-day ending
};

struct PullSummary {
  std::vector<DayResult> results;  // every account-day, in (account, day) order
  bool all_ok() const;
};

// Income of one pulled day for one account, from the latest complete detail pull.
struct DayIncome {
  Day day;
  std::int64_t iaa_income = 0, mount_income = 0;
  std::int64_t rows = 0;
  bool failed = false;  // the latest pull of that day failed (no figures: not zero)
  std::string error;    // its error text when failed
};

struct DramaTotal {
  std::string drama_name;
  std::int64_t iaa_income = 0, mount_income = 0, feed_read_count = 0, drama_read_count = 0;
};

struct PullRecord {  // one row of the pulls table
  std::string account, kind;  // kind: "detail" or "list"
  Day day;
  std::string started, finished;  // UTC, ISO 8601
  std::int64_t rows = 0;
  std::string outcome, error;
};

// One stored detailed row with where it belongs.
struct StoredDetailRow {
  std::string account;
  Day day;
  std::int64_t position = 0;
  DetailRow row;
};

class History {
 public:
  // "qelkit.sqlite", "sqlite:PATH", any other PATH (an SQLite file), or
  // "postgresql://..." / "postgres://..." (a libpq connection URI). Creates
  // the schema on first use; refuses a newer one without altering it.
  static std::unique_ptr<History> open(const std::string& url);
  virtual ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  // The schema version this build writes and reads.
  static constexpr int kSchemaVersion = 1;

  // Pulls as the options say, through qelkit::Statistics, writing each
  // account-day in one transaction (replacing earlier rows of that day).
  // A failed account-day is recorded and the others go on; only a database
  // failure or wrong options (InvalidArgumentError) end the pull early.
  PullSummary pull(const PullOptions& options, const std::function<void(const Progress&)>& progress = {});

  // Reading, for the console and tests. An empty account means every account.
  std::vector<DayIncome> daily_income(const std::string& account, const Day& from, const Day& to);
  // Dramas by total income (IAA + mount) over the span, highest first.
  std::vector<DramaTotal> top_dramas(const std::string& account, const Day& from, const Day& to, int limit);
  std::optional<PullRecord> last_pull(const std::string& account);
  // The detail rows behind a span, for CSV export: calls `row` once per row
  // in (account, day, position) order, one row in memory at a time.
  void detail_rows(const std::string& account, const Day& from, const Day& to,
                   const std::function<void(const StoredDetailRow&)>& row);
  // The list rows of one account-day, in position order.
  std::vector<ListEntry> list_rows(const std::string& account, const Day& day);
  // The pulls of a span (every account when empty), oldest first.
  std::vector<PullRecord> pulls(const std::string& account, const Day& from, const Day& to);

  const std::string& url() const;

 protected:
  History();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qelkit::history
