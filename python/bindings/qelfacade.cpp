// qelkit.sdk.qelfacade: QelDriver, the facade a host calls.
//
// Importing it makes the login's child task run this interpreter, which
// imports this module again and calls QelDriver().ce(token).
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

void register_accounts(py::module_& m);  // accounts.cpp
void register_statistics(py::module_& m);  // statistics.cpp
namespace qelkit::python {
void register_login(py::module_& m);  // login.cpp
}  // namespace qelkit::python

PYBIND11_MODULE(qelfacade, m) {
  m.doc() = "The facade: QR login, statistics list and detailed statistics of a creator account.";
  register_errors();
  use_this_interpreter_for_child_tasks();
  register_login(m);

  py::class_<QelDriver>(m, "QelDriver",
                        "Every operation blocks for its platform exchanges without holding the GIL.")
      .def(py::init<>())
      .def_static(
          "get_login_qrcode_base64",
          [] {
            Json r = without_gil([&] { return QelDriver::get_login_qrcode_base64(); });
            return to_python(r);
          },
          "Starts a QR login: {'code': 0, 'data': PNG data URL of the confirm-login link}, or the platform's "
          "refusal. A child process completes the login and stores it in json/data.json.")
      .def_static(
          "get_data_statistic",
          [](py::handle qel_id, py::handle start_time, py::handle end_time, py::handle page) {
            const std::string id = text_arg(qel_id, "qel_id");
            const std::int64_t start = integer_arg(start_time, "start_time");
            const std::int64_t end = integer_arg(end_time, "end_time");
            const std::int64_t p = integer_arg(page, "page");
            Json rows = without_gil([&] { return QelDriver::get_data_statistic(id, start, end, p); });
            return to_python(rows);
          },
          py::arg("qel_id"), py::arg("start_time"), py::arg("end_time"), py::arg("page") = 1,
          "One page (five entries) of the statistics list: a list of {'drama_name', 'view_number', "
          "'iaa_income', 'mount_income'}; [] when the account is not stored. Raises LoginExpiredError, "
          "PlatformError, NoReplyError, DataFileError, ... (qelkit.common.errors).")
      .def_static(
          "get_detailed_data_statistic",
          [](py::handle qel_id, py::handle date_time, py::object on_progress) {
            const std::string id = text_arg(qel_id, "qel_id");
            const std::int64_t at = integer_arg(date_time, "date_time");
            QelDriver::ProgressHook hook;
            if (!on_progress.is_none()) {
              if (!PyCallable_Check(on_progress.ptr())) throw py::type_error("on_progress must be callable or None");
              // A handle, not an object: the hook is copied and dropped on the
              // query's threads, which must not touch reference counts without
              // the GIL; the caller's argument keeps the callable alive, and
              // the query ends before this call returns.
              py::handle callback = on_progress;
              hook = [callback](std::int64_t pages) {
                py::gil_scoped_acquire gil;
                try {
                  callback(pages);
                } catch (py::error_already_set& e) {
                  throw Error(std::string("on_progress raised ") + e.what());
                }
              };
            }
            Json result =
                without_gil([&] { return QelDriver::get_detailed_data_statistic(id, at, std::move(hook)); });
            return to_python(result);
          },
          py::arg("qel_id"), py::arg("date_time"), py::arg("on_progress") = py::none(),
          "Every page of the detailed statistics: {'code': 0, 'data': rows}; [] when the account is not stored. "
          "When a page could not be fetched it raises instead (LoginExpiredError, PlatformError, NoReplyError, "
          "...), with the rows that arrived in .rows and the pages that failed in .failed_pages. on_progress, "
          "when given, is called with the number of pages that have answered so far, after each one (on the "
          "query's thread, holding the GIL); an exception from it stops the query, which raises a qelkit Error "
          "naming it.")
      .def(
          "ce",
          [](QelDriver& d, py::handle token) {
            const std::string t = text_arg(token, "token");
            without_gil([&] { d.ce(t); });
          },
          py::arg("token"), "The background login completion (run in the child process).");

  register_accounts(m);
  register_statistics(m);
}
