#include "qelkit/sdk/qelfacade.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/platform_codes.hpp"
#include "qelkit/common/sealbox.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/internal/login_completion.hpp"
#include "qelkit/sdk/pagefanout.hpp"
#include "qelkit/sdk/internal/statistics_query.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

static_assert(QelDriver::kDataFile == detail::kDataFileName);

using detail::member;
using detail::record_code;
using detail::stored_session;
using detail::text_form;

using detail::kLoginTaskClass;
using detail::kLoginTaskMethod;
using detail::kLoginTaskModule;

LoginExpiredError login_expired(const std::string& qel_id, const std::string& detail) {
  return LoginExpiredError(qel_id, "the platform no longer accepts the stored login of account " + qel_id +
                                       " (it has expired); log in again" + detail);
}

// Throws `error` carrying a detailed query's partial outcome.
template <typename E>
[[noreturn]] void throw_with(E error, Json rows, std::vector<FailedPage> failed) {
  error.set_partial(std::move(rows), std::move(failed));
  throw error;
}

// Throws the detailed query's failure: the first page refused for an expired
// login, else the first page the platform refused with a code (or that stayed
// busy), else the first failed page's own kind of error. It carries the rows
// gathered and every failed page.
[[noreturn]] void raise_failed_pages(const std::string& qel_id, QelDis& fanout) {
  std::vector<FailedPage> failed;
  std::string numbers;
  const PageFailure* expired = nullptr;
  const PageFailure* refused = nullptr;
  const PageFailure* broken = nullptr;
  for (const PageFailure& f : fanout.failures) {
    failed.push_back({f.page, f.outcome.describe()});
    numbers += (numbers.empty() ? "" : ", ") + std::to_string(f.page);
    if (f.outcome.kind == PageOutcome::Kind::status) {
      if (f.outcome.code == kCodeLoginExpired && !expired) expired = &f;
      if (!refused) refused = &f;
    } else if (!broken) {
      broken = &f;
    }
  }
  const std::string pages = (failed.size() == 1 ? "page " : "pages ") + numbers + " of the detailed statistics";
  Json rows = std::move(fanout.data);

  if (expired) throw_with(login_expired(qel_id, " (" + pages + " refused)"), std::move(rows), std::move(failed));
  if (refused && refused->outcome.stayed_busy) {
    throw_with(PlatformBusyError("the platform stayed busy through every re-request and did not serve " + pages),
               std::move(rows), std::move(failed));
  }
  if (refused) {
    const std::int64_t code = refused->outcome.code;
    throw_with(PlatformError(code, "the platform refused " + pages + " (code " + std::to_string(code) + ")"),
               std::move(rows), std::move(failed));
  }
  rethrow_with(broken->outcome.error, pages + " could not be fetched: " + broken->outcome.message, std::move(rows),
               std::move(failed));
}

std::int64_t integer_member(const Json& entry, const char* key, const std::string& what) {
  auto it = entry.find(key);
  if (it == entry.end()) return 0;
  try {
    return to_integer(*it);
  } catch (const ConversionError& e) {
    throw ConversionError(what + ": \"" + key + "\": " + e.what());
  }
}

}  // namespace

Json QelDriver::get_login_qrcode_base64() {
  Json record = SpiderDriver().ale();
  if (record_code(record, "login code") != 0) return record;
  std::string token = text_form(member(record, "data", "login code"), "the login token");
  ten(token);
  record["data"] = SpiderDriver().gqb(detail::confirm_link(token));
  return record;
}

Json QelDriver::get_data_statistic(const std::string& qel_id, std::int64_t start_time, std::int64_t end_time,
                                   std::int64_t page) {
  std::optional<std::string> session = stored_session(qel_id);
  if (!session) return Json::array();
  return detail::list_page(qel_id, *session, start_time, end_time, page);
}

Json QelDriver::get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time) {
  return get_detailed_data_statistic(qel_id, date_time, ProgressHook());
}

Json QelDriver::get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time,
                                            ProgressHook on_progress) {
  std::optional<std::string> session = stored_session(qel_id);
  if (!session) return Json::array();
  Json result = Json::object();
  result["code"] = 0;
  result["data"] = detail::detailed_rows(qel_id, *session, date_time, std::move(on_progress), nullptr);
  return result;
}

namespace detail {

Json list_page(const std::string& qel_id, const std::string& session, std::int64_t start_time,
               std::int64_t end_time, std::int64_t page) {
  Json query = Json::object();
  query["pageSize"] = kListPageSize;
  query["currentPage"] = std::max<std::int64_t>(page, 1);
  query["startTs"] = std::to_string(start_time);
  query["endTs"] = std::to_string(end_time);
  query["queryString"] = "";

  Json rows = Json::array();
  std::int64_t refused = 0;
  std::optional<Json> record = SpiderDriver().iast(session, query, &refused);
  if (!record) {
    throw PlatformError(refused, "the platform refused the statistics list of account " + qel_id + " (errCode " +
                                     std::to_string(refused) + ")");
  }
  const int code = record_code(*record, "statistics list");
  if (code == kCodeLoginExpired) throw login_expired(qel_id, "");
  if (code != 0) {
    throw PlatformError(code, "the platform refused the statistics list of account " + qel_id + " (code " +
                                  std::to_string(code) + ")");
  }
  const Json& entries = member(*record, "data", "statistics list");
  if (!entries.is_array()) throw ProtocolError("statistics list: \"data\" is not a list");
  if (entries.size() > QelExc::kMaxPageRows) {
    throw ProtocolError("the reply from " + platform_origin() + std::string(SpiderDriver::kStatisticsListPath) +
                        " lists " + std::to_string(entries.size()) + " rows, more than the " +
                        std::to_string(QelExc::kMaxPageRows) + " a page may hold");
  }
  std::size_t index = 0;
  for (const Json& entry : entries) {
    std::string what = "statistics list entry " + std::to_string(index++);
    Json row = Json::object();
    row["drama_name"] = member(member(entry, "dramaInfo", what), "dramaName", what + ": dramaInfo");
    row["view_number"] = integer_member(entry, "readCount", what);
    row["iaa_income"] = integer_member(entry, "iaaProfit", what);
    row["mount_income"] = integer_member(entry, "attachProfit", what);
    rows.push_back(std::move(row));
  }
  return rows;
}

Json detailed_rows(const std::string& qel_id, const std::string& session, std::int64_t date_time,
                   QelDis::ProgressHook on_progress, QelDis::BatchHook on_batch) {
  auto fanout = std::make_shared<QelDis>();
  fanout->a = session;
  fanout->b = date_time;
  fanout->on_progress = std::move(on_progress);
  fanout->on_batch = std::move(on_batch);
  fanout->daemon = false;
  fanout->start();
  fanout->join();
  if (std::exception_ptr escaped = fanout->exception()) std::rethrow_exception(escaped);
  if (fanout->batch_error) std::rethrow_exception(fanout->batch_error);
  if (!fanout->failures.empty()) raise_failed_pages(qel_id, *fanout);
  return std::move(fanout->data);
}

}  // namespace detail

void QelDriver::ce(const std::string& token) {
  // A child started by Login also reports its outcome to the login object.
  const std::optional<int> channel = detail::take_outcome_channel();
  detail::Completion done;
  try {
    done = detail::complete_login(token);
  } catch (...) {
    if (channel) detail::report_outcome(*channel, detail::failed_outcome(std::current_exception()));
    throw;
  }
  if (channel) detail::report_outcome(*channel, done.outcome);
  // Said also where no Login listens: the file moved aside holds logins.
  if (done.outcome.moved_aside) std::fprintf(stderr, "qelkit: %s\n", done.outcome.moved_aside->c_str());
  if (done.refused_unexpectedly) {
    throw ProtocolError("authorisation data: the platform answered with an unexpected error code");
  }
}

void QelDriver::ten(const std::string& token) {
  TaskFactory().create_task_with_output(std::string(kLoginTaskModule), std::string(kLoginTaskClass),
                                        std::string(kLoginTaskMethod),
                                        Json::array({token}));
}

const std::vector<ChildTask>& child_task_table() {
  static const std::vector<ChildTask> table{
      ChildTask{std::string(kLoginTaskModule), std::string(kLoginTaskClass), std::string(kLoginTaskMethod),
                [](const Json& args) {
                  if (!args[0].is_string()) throw InvalidArgumentError("the login token must be text");
                  QelDriver().ce(args[0].get<std::string>());
                },
                1},
  };
  return table;
}

void handle_child_task(int argc, char** argv) { run_child_task(argc, argv, child_task_table()); }

}  // namespace qelkit
