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
// exceptions from qelkit/common/errors.hpp and are never caught here.
//
// Every host program must call qelkit::handle_child_task(argc, argv) first
// thing in main(): the login completion runs in a child started as
// "<host> -c <script>".
#pragma once

#include <cstdint>
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
  // "iaa_income", "mount_income"} rows; [] when the account is not stored or
  // the platform answers with a non-zero code. A page below 1 means page 1.
  static Json get_data_statistic(const std::string& qel_id, std::int64_t start_time, std::int64_t end_time,
                                 std::int64_t page = 1);

  // Every page of the account's detailed statistics at `date_time`:
  // {"code": 0, "data": rows} (rows in page order), or [] when the account is
  // not stored.
  static Json get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time);

  // The background login completion, run in the child process: polls the
  // login status of `token` every 2 seconds for up to 300 seconds and, once
  // confirmed, stores the account's encrypted session id in the data file.
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
