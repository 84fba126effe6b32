#include "qelkit/history/history.hpp"

#include "qelkit/history/internal/store.hpp"

namespace qelkit::history {

bool PullSummary::all_ok() const {
  for (const DayResult& r : results) {
    if (!r.ok) return false;
  }
  return true;
}

History::History() = default;
History::~History() = default;

std::unique_ptr<History> History::open(const std::string& url) {
  std::unique_ptr<History> h(new History());
  h->impl_ = std::make_unique<Impl>(url, parse_target(url));
  return h;
}

const std::string& History::url() const { return impl_->url; }

namespace {

// (account = :a, or every account when it is empty) as two parameters.
const char* const kAccountIs = "(:every = 1 OR account = :a)";

}  // namespace

std::vector<DayIncome> History::daily_income(const std::string& account, const Day& from, const Day& to) {
  Store& s = impl_->store;
  return s.guard("reading the daily income", [&] {
    std::vector<DayIncome> out;
    int every = account.empty() ? 1 : 0;
    // Per day, the latest detail pull of each account: its outcome, and the
    // rows that the latest complete pull left.
    std::string day, outcome, error;
    long long iaa = 0, mount = 0, n = 0;
    soci::statement st =
        (s.sql().prepare << "SELECT p.day, p.outcome, p.error, COALESCE(r.iaa, 0), COALESCE(r.mount, 0),"
                            " COALESCE(r.n, 0) FROM pulls p"
                            " LEFT JOIN (SELECT account, day, CAST(SUM(iaa_income) AS BIGINT) AS iaa,"
                            " CAST(SUM(mount_income) AS BIGINT) AS mount, CAST(COUNT(*) AS BIGINT) AS n"
                            " FROM detail_rows GROUP BY account, day) r ON r.account = p.account AND r.day = p.day"
                            " WHERE p.id IN (SELECT MAX(id) FROM pulls WHERE kind = 'detail' AND " +
                                std::string(kAccountIs) +
                                " AND day >= :f AND day <= :t GROUP BY account, day)"
                                " ORDER BY p.day, p.account",
         soci::into(day), soci::into(outcome), soci::into(error), soci::into(iaa), soci::into(mount), soci::into(n),
         soci::use(every), soci::use(account), soci::use(from), soci::use(to));
    st.execute();
    while (st.fetch()) {
      if (out.empty() || out.back().day != day) {
        DayIncome d;
        d.day = day;
        out.push_back(std::move(d));
      }
      DayIncome& d = out.back();
      if (outcome != "ok") {
        d.failed = true;
        if (!d.error.empty()) d.error += "; ";
        d.error += error;
        continue;
      }
      d.iaa_income += iaa;
      d.mount_income += mount;
      d.rows += n;
    }
    // No figures for a day whose latest pull failed: not zero.
    for (DayIncome& d : out) {
      if (d.failed) d.iaa_income = d.mount_income = d.rows = 0;
    }
    return out;
  });
}

std::vector<DramaTotal> History::top_dramas(const std::string& account, const Day& from, const Day& to, int limit) {
  Store& s = impl_->store;
  return s.guard("reading the top dramas", [&] {
    std::vector<DramaTotal> out;
    int every = account.empty() ? 1 : 0;
    int n = limit < 0 ? 0 : limit;
    DramaTotal t;
    long long iaa = 0, mount = 0, feed = 0, drama = 0;
    soci::statement st =
        (s.sql().prepare << "SELECT drama_name, CAST(SUM(iaa_income) AS BIGINT), CAST(SUM(mount_income) AS BIGINT),"
                            " CAST(SUM(feed_read_count) AS BIGINT), CAST(SUM(drama_read_count) AS BIGINT)"
                            " FROM detail_rows WHERE " +
                                std::string(kAccountIs) +
                                " AND day >= :f AND day <= :t GROUP BY drama_name"
                                " ORDER BY SUM(iaa_income) + SUM(mount_income) DESC, drama_name LIMIT :n",
         soci::into(t.drama_name), soci::into(iaa), soci::into(mount), soci::into(feed), soci::into(drama),
         soci::use(every), soci::use(account), soci::use(from), soci::use(to), soci::use(n));
    st.execute();
    while (st.fetch()) {
      t.iaa_income = iaa;
      t.mount_income = mount;
      t.feed_read_count = feed;
      t.drama_read_count = drama;
      out.push_back(t);
    }
    return out;
  });
}

namespace {

// The pulls of a span (every account when `account` is empty), one record at a time.
std::vector<PullRecord> read_pulls(soci::session& sql, const std::string& account, const Day& from, const Day& to,
                                   const std::string& order) {
  std::vector<PullRecord> out;
  PullRecord r;
  long long rows = 0;
  int every = account.empty() ? 1 : 0;
  soci::statement st = (sql.prepare << "SELECT account, kind, day, started, finished, row_count, outcome, error"
                                       " FROM pulls WHERE " + std::string(kAccountIs) +
                                           " AND day >= :f AND day <= :t " + order,
                        soci::into(r.account), soci::into(r.kind), soci::into(r.day), soci::into(r.started),
                        soci::into(r.finished), soci::into(rows), soci::into(r.outcome), soci::into(r.error),
                        soci::use(every), soci::use(account), soci::use(from), soci::use(to));
  st.execute();
  while (st.fetch()) {
    r.rows = rows;
    out.push_back(r);
  }
  return out;
}

}  // namespace

std::optional<PullRecord> History::last_pull(const std::string& account) {
  Store& s = impl_->store;
  return s.guard("reading the last pull", [&]() -> std::optional<PullRecord> {
    auto found = read_pulls(s.sql(), account, "", "9999-12-31", "ORDER BY id DESC LIMIT 1");
    if (found.empty()) return std::nullopt;
    return found.front();
  });
}

std::vector<PullRecord> History::pulls(const std::string& account, const Day& from, const Day& to) {
  Store& s = impl_->store;
  return s.guard("reading the pulls", [&] { return read_pulls(s.sql(), account, from, to, "ORDER BY id"); });
}

void History::detail_rows(const std::string& account, const Day& from, const Day& to,
                          const std::function<void(const StoredDetailRow&)>& callback) {
  Store& s = impl_->store;
  s.guard("reading the detailed rows", [&] {
    int every = account.empty() ? 1 : 0;
    StoredDetailRow out;
    long long position = 0, feed = 0, drama = 0, iaa = 0, mount = 0;
    int is_mount = 0;
    DetailRow& r = out.row;
    soci::statement st =
        (s.sql().prepare << "SELECT account, day, position, date, qel_id, drama_name, is_mount, feed_read_count,"
                            " drama_read_count, iaa_income, mount_income, qel_nickname FROM detail_rows WHERE " +
                                std::string(kAccountIs) + " AND day >= :f AND day <= :t ORDER BY account, day, position",
         soci::into(out.account), soci::into(out.day), soci::into(position), soci::into(r.date), soci::into(r.qel_id),
         soci::into(r.drama_name), soci::into(is_mount), soci::into(feed), soci::into(drama), soci::into(iaa),
         soci::into(mount), soci::into(r.qel_nickname), soci::use(every), soci::use(account), soci::use(from),
         soci::use(to));
    st.execute();
    while (st.fetch()) {
      out.position = position;
      r.is_mount = is_mount != 0;
      r.feed_read_count = feed;
      r.drama_read_count = drama;
      r.iaa_income = iaa;
      r.mount_income = mount;
      callback(out);
    }
  });
}

std::vector<ListEntry> History::list_rows(const std::string& account, const Day& day) {
  Store& s = impl_->store;
  return s.guard("reading the list rows", [&] {
    std::vector<ListEntry> out;
    ListEntry e;
    long long views = 0, iaa = 0, mount = 0;
    soci::statement st = (s.sql().prepare << "SELECT drama_name, view_number, iaa_income, mount_income"
                                             " FROM list_rows WHERE account = :a AND day = :d ORDER BY position",
                          soci::into(e.drama_name), soci::into(views), soci::into(iaa), soci::into(mount),
                          soci::use(account), soci::use(day));
    st.execute();
    while (st.fetch()) {
      e.view_number = views;
      e.iaa_income = iaa;
      e.mount_income = mount;
      out.push_back(e);
    }
    return out;
  });
}

}  // namespace qelkit::history
