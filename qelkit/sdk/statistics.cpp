#include "qelkit/sdk/statistics.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/sdk/internal/statistics_query.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

static_assert(Statistics::kListPageSize == detail::kListPageSize);

[[noreturn]] void not_convertible(std::string_view member, const Json& value, std::string_view wanted) {
  throw ConversionError("statistics row \"" + std::string(member) + "\": " + std::string(wanted) + ", not " +
                        value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// A text member: text as it is, a number as its JSON text, null as "".
std::string text_of(std::string_view member, Json& value) {
  if (value.is_string()) return std::move(value.get_ref<std::string&>());
  if (value.is_number()) return value.dump();
  if (value.is_null()) return "";
  not_convertible(member, value, "expected text or a number");
}

// "date": a text as it is, an integer YYYYMMDD as "YYYY-MM-DD".
std::string date_of(Json& value) {
  if (value.is_string()) return std::move(value.get_ref<std::string&>());
  if (value.is_number_integer()) {
    const std::int64_t v = value.get<std::int64_t>();
    const std::int64_t year = v / 10000, month = v / 100 % 100, day = v % 100;
    if (year >= 1000 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31) {
      const std::string digits = std::to_string(v);
      return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
    }
  }
  not_convertible("date", value, "expected a text or an integer date YYYYMMDD");
}

// One normalised row (as the page worker makes it) as a typed row; its texts
// are moved out.
DetailRow typed_row(Json& row) {
  DetailRow out;
  out.date = date_of(row["date"]);
  out.qel_id = text_of("qel_id", row["qel_id"]);
  out.drama_name = text_of("drama_name", row["drama_name"]);
  out.is_mount = row["is_mount"].get<bool>();
  out.feed_read_count = row["feed_read_count"].get<std::int64_t>();
  out.drama_read_count = row["drama_read_count"].get<std::int64_t>();
  out.iaa_income = row["iaa_income"].get<std::int64_t>();
  out.mount_income = row["mount_income"].get<std::int64_t>();
  out.qel_nickname = text_of("qel_nickname", row["qel_nickname"]);
  return out;
}

std::vector<DetailRow> typed_rows(Json&& rows) {
  std::vector<DetailRow> out;
  out.reserve(rows.size());
  for (Json& row : rows) out.push_back(typed_row(row));
  return out;
}

}  // namespace

std::vector<ListEntry> Statistics::list(const std::string& account, std::int64_t start_time, std::int64_t end_time,
                                        std::int64_t page) {
  const std::string session = detail::required_session(account);
  Json rows = detail::list_page(account, session, start_time, end_time, page);
  std::vector<ListEntry> entries;
  entries.reserve(rows.size());
  for (Json& row : rows) {
    entries.push_back(ListEntry{text_of("drama_name", row["drama_name"]), row["view_number"].get<std::int64_t>(),
                                row["iaa_income"].get<std::int64_t>(), row["mount_income"].get<std::int64_t>()});
  }
  return entries;
}

std::vector<ListEntry> Statistics::list_all(const std::string& account, std::int64_t start_time,
                                            std::int64_t end_time) {
  std::vector<ListEntry> all;
  for (std::int64_t page = 1;; ++page) {
    if (page > kMaxListPages) {
      throw PageLimitError("the statistics list of account " + account + " did not end within " +
                           std::to_string(kMaxListPages) + " pages; the query stopped there");
    }
    std::vector<ListEntry> entries = list(account, start_time, end_time, page);
    const bool last = static_cast<std::int64_t>(entries.size()) < kListPageSize;
    all.insert(all.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    if (last) return all;
  }
}

std::vector<DetailRow> Statistics::detail(const std::string& account, std::int64_t date_time) {
  std::vector<DetailRow> all;
  detail(account, date_time, [&all](std::vector<DetailRow>&& rows) {
    all.insert(all.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  });
  return all;
}

std::int64_t Statistics::detail(const std::string& account, std::int64_t date_time, const BatchSink& sink) {
  const std::string session = detail::required_session(account);
  std::int64_t delivered = 0;
  detail::detailed_rows(account, session, date_time, nullptr, [&](Json&& rows) {
    std::vector<DetailRow> batch = typed_rows(std::move(rows));
    delivered += static_cast<std::int64_t>(batch.size());
    if (sink) sink(std::move(batch));
  });
  return delivered;
}

}  // namespace qelkit
