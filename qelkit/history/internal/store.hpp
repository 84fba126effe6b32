// The statistics history's database session (internal to the history
// library): which database a URL names, the schema, and the one-transaction
// replacement of an account-day.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qelkit/history/internal/soci.hpp"

#include "qelkit/history/history.hpp"

namespace qelkit::history {

// Where a history lives.
struct Target {
  bool postgres = false;
  std::string connect;  // SOCI's connection string
  std::string display;  // for messages: the path, or the URL without its password
};

// Parses what History::open takes. Throws HistoryError for an SQLite path
// SOCI cannot take (one holding a double quote).
Target parse_target(const std::string& url);

// What one kind of an account-day's pull came to.
struct KindOutcome {
  std::string kind;  // "detail" or "list"
  std::string started, finished;
  std::int64_t rows = 0;
  std::string outcome = "ok";  // or the error kind's name
  std::string error;
  bool ok() const { return outcome == "ok"; }
};

class Store {
 public:
  // Opens a session, creating the schema on first use; refuses a newer one.
  explicit Store(Target target);
  ~Store();

  soci::session& sql() { return sql_; }
  const Target& target() const { return target_; }

  // Runs `body`, turning a database failure into a HistoryError saying what failed.
  template <typename F>
  auto guard(const std::string& what, F&& body) -> decltype(body()) {
    try {
      return body();
    } catch (const soci::soci_error& e) {
      throw failure(what, e.what());
    }
  }
  HistoryError failure(const std::string& what, const std::string& why) const;

  // The rows of the account-day being pulled, kept in per-session staging
  // tables until commit_day; positions count from 0 in the order staged.
  void stage_begin();
  void stage_detail(const std::vector<DetailRow>& rows);
  void stage_list(const std::vector<ListEntry>& rows);

  // One transaction: records both kinds' pulls and, for each kind that
  // succeeded, replaces that day's rows with the staged ones. Concurrent
  // calls for the same account-day (other sessions, other hosts) are
  // serialised, so the day is never doubled: the latest commit wins.
  void commit_day(const std::string& account, const Day& day, const KindOutcome& list, const KindOutcome& detail);

 private:
  void open_sqlite();
  void ensure_schema();
  void begin_write(std::int64_t lock_key);
  void commit();
  void rollback() noexcept;

  Target target_;
  soci::session sql_;
  std::int64_t staged_detail_ = 0, staged_list_ = 0;
};

// A History's own session, and where it lives (for the pull's sessions).
struct History::Impl {
  std::string url;
  Target target;
  Store store;
  Impl(const std::string& u, const Target& t) : url(u), target(t), store(t) {}
};

}  // namespace qelkit::history
