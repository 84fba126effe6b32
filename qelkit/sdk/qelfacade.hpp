// QelDriver: the facade a host application calls.
//
// Three things for a creator account: log it in by QR code
// (get_login_qrcode_base64; the login completes in a child process of the
// host, which stores the account's encrypted session id in json/data.json
// under the working directory), read one page of its per-drama statistics
// list (get_data_statistic), and read every page of its detailed statistics
// (get_detailed_data_statistic).
//
// Every operation is static, synchronous and stands alone: it blocks the
// calling thread for its platform exchanges and keeps nothing in memory
// between calls. Calls from several threads at once are safe. Failures are
// exceptions from qelkit/common/errors.hpp; a result is always complete, never
// a failure passed off as "no data".
//
// The statistics queries read the stored login of `qel_id` from the data file
// first. A missing data file, or one without that account, is "not stored"
// and answers [] without asking the platform. A data file that exists but
// does not read as a JSON object (invalid JSON, a byte-order mark, another
// kind of value, no permission to read it) is a DataFileError naming the file.
// A stored value that does not decrypt is an AuthenticationError,
// DecodingError or InvalidArgumentError (a value that is not text: a
// ProtocolError), naming the account. When the platform no longer accepts the
// login (errCode 300334), the query raises LoginExpiredError.
//
// Every host program must call qelkit::handle_child_task(argc, argv) first
// thing in main(): the login completion runs in a child started as
// "<host> -c <script>".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/json.hpp"
#include "qelkit/common/taskspawn.hpp"

namespace qelkit {

class QelDriver {
 public:
  // Asks the platform for a login token, starts the background login
  // completion in a child process, and returns {"code": 0, "data": the PNG
  // QR image of the confirm-login link as a data URL}. When the platform
  // refuses a token, returns its record ({"code": 100}) and starts nothing.
  static Json get_login_qrcode_base64();

  // One page (five entries) of the account's per-drama statistics list for
  // [start_time, end_time]: a list of {"drama_name", "view_number",
  // "iaa_income", "mount_income"} rows (empty when the span has none); []
  // when the account is not stored. A page below 1 means page 1. Throws
  // LoginExpiredError when the platform no longer accepts the login,
  // PlatformError with the platform's errCode when it refuses the query,
  // NoReplyError when it cannot be reached, ProtocolError or ConversionError
  // for an answer of the wrong shape.
  static Json get_data_statistic(const std::string& qel_id, std::int64_t start_time, std::int64_t end_time,
                                 std::int64_t page = 1);

  // Called on the query's own thread with the number of pages that have
  // answered so far.
  using ProgressHook = std::function<void(std::int64_t pages)>;

  // Every page of the account's detailed statistics at `date_time`, fetched
  // six at a time: {"code": 0, "data": rows} (rows in page order, every page
  // of the data), or [] when the account is not stored. When a page could not
  // be fetched the call throws instead, and the error carries the rows that
  // did arrive (rows()) and the pages that failed (failed_pages()):
  // LoginExpiredError when a page was refused for an expired login;
  // PlatformError with the code when the platform stayed busy (303) or
  // answered another errCode; otherwise the failure's own kind
  // (NoReplyError, TransportError, ProtocolError, ConversionError, ...), its
  // message naming the failed pages. A query stops at QelDis::kMaxPages pages,
  // QelDis::kMaxRows rows or QelDis::kMaxRowBytes of rows, and a page over
  // QelExc::kMaxPageRows rows fails (PageLimitError, with the rows so far).
  // `on_progress`, when given, is told each page that answered.
  static Json get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time);
  static Json get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time,
                                          ProgressHook on_progress);

  // The background login completion, run in the child process: polls the
  // login status of `token` every 2 seconds for up to 300 seconds and, once
  // confirmed, stores the account's encrypted session id in the data file.
  // In a child started by Login it also reports the outcome to that login
  // object (see login.hpp); in the facade's own children it does not.
  void ce(const std::string& token);

  // Name of the data file, resolved by the JSON file store (json/data.json).
  static constexpr std::string_view kDataFile = "data.json";

 private:
  // Starts ce(token) in a child process of the host and returns at once.
  static void ten(const std::string& token);
};

// The child-task entry. When the program was started as "<host> -c <script>"
// by the login, runs the task the script names and ends the process (status 0
// on success; one line on standard error and status 1 on failure). Otherwise
// returns at once. Call it first thing in main().
void handle_child_task(int argc, char** argv);

// The child tasks qelkit itself starts (today the login completion), for a
// host that runs child tasks of its own through run_child_task and must
// serve both from one table.
const std::vector<ChildTask>& child_task_table();

}  // namespace qelkit
