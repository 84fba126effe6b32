// Typed statistics for Python hosts: qelkit.sdk.qelfacade.Statistics with its
// row classes ListEntry and DetailRow (also reachable from qelkit.sdk).
// Rows are small read-only classes with the C++ members as attributes, equal
// when every member is equal; to_dict() gives the facade's row shape.
#include <string>
#include <utility>
#include <vector>

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "qelkit/sdk/statistics.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

namespace {

py::dict detail_dict(const DetailRow& r) {
  py::dict d;
  d["date"] = r.date;
  d["qel_id"] = r.qel_id;
  d["drama_name"] = r.drama_name;
  d["is_mount"] = r.is_mount;
  d["feed_read_count"] = r.feed_read_count;
  d["drama_read_count"] = r.drama_read_count;
  d["iaa_income"] = r.iaa_income;
  d["mount_income"] = r.mount_income;
  d["qel_nickname"] = r.qel_nickname;
  return d;
}

py::dict list_dict(const ListEntry& e) {
  py::dict d;
  d["drama_name"] = e.drama_name;
  d["view_number"] = e.view_number;
  d["iaa_income"] = e.iaa_income;
  d["mount_income"] = e.mount_income;
  return d;
}

}  // namespace

void register_statistics(py::module_& m) {
  py::class_<ListEntry>(m, "ListEntry", "One entry of the per-drama statistics list.")
      .def_readonly("drama_name", &ListEntry::drama_name)
      .def_readonly("view_number", &ListEntry::view_number)
      .def_readonly("iaa_income", &ListEntry::iaa_income)
      .def_readonly("mount_income", &ListEntry::mount_income)
      .def("to_dict", &list_dict, "The entry as the facade's dict.")
      .def(py::self == py::self)
      .def("__repr__", [](const ListEntry& e) { return py::str("ListEntry({})").format(list_dict(e)); });

  py::class_<DetailRow>(m, "DetailRow",
                        "One row of the detailed statistics: date is 'YYYY-MM-DD' (an integer date the platform "
                        "sent as 20260301 becomes '2026-03-01'), qel_id and the names are str (a number becomes "
                        "its decimal text), counts and incomes int, is_mount bool.")
      .def_readonly("date", &DetailRow::date)
      .def_readonly("qel_id", &DetailRow::qel_id)
      .def_readonly("drama_name", &DetailRow::drama_name)
      .def_readonly("is_mount", &DetailRow::is_mount)
      .def_readonly("feed_read_count", &DetailRow::feed_read_count)
      .def_readonly("drama_read_count", &DetailRow::drama_read_count)
      .def_readonly("iaa_income", &DetailRow::iaa_income)
      .def_readonly("mount_income", &DetailRow::mount_income)
      .def_readonly("qel_nickname", &DetailRow::qel_nickname)
      .def("to_dict", &detail_dict, "The row as a dict with the facade's nine keys.")
      .def(py::self == py::self)
      .def("__repr__", [](const DetailRow& r) { return py::str("DetailRow({})").format(detail_dict(r)); });

  py::class_<Statistics>(m, "Statistics",
                         "An account's native-drama statistics as typed rows. Every operation blocks without "
                         "holding the GIL. Raises AccountNotStoredError for an account that is not stored, "
                         "StoredLoginError for a stored login that does not decrypt, and the query's own "
                         "failure otherwise (LoginExpiredError, PlatformError, NoReplyError, ...).")
      .def_property_readonly_static("list_page_size", [](py::handle) { return Statistics::kListPageSize; })
      .def_static(
          "list",
          [](py::handle account, py::handle start_time, py::handle end_time, py::handle page) {
            const std::string id = text_arg(account, "account");
            const std::int64_t start = integer_arg(start_time, "start_time");
            const std::int64_t end = integer_arg(end_time, "end_time");
            const std::int64_t p = integer_arg(page, "page");
            return without_gil([&] { return Statistics::list(id, start, end, p); });
          },
          py::arg("account"), py::arg("start_time"), py::arg("end_time"), py::arg("page") = 1,
          "One page (page 1 first) of the statistics list for [start_time, end_time]: a list of ListEntry.")
      .def_static(
          "list_all",
          [](py::handle account, py::handle start_time, py::handle end_time) {
            const std::string id = text_arg(account, "account");
            const std::int64_t start = integer_arg(start_time, "start_time");
            const std::int64_t end = integer_arg(end_time, "end_time");
            return without_gil([&] { return Statistics::list_all(id, start, end); });
          },
          py::arg("account"), py::arg("start_time"), py::arg("end_time"),
          "Every page of the statistics list for the span, up to the first short page.")
      .def_static(
          "detail",
          [](py::handle account, py::handle date_time, py::object sink) -> py::object {
            const std::string id = text_arg(account, "account");
            const std::int64_t at = integer_arg(date_time, "date_time");
            if (sink.is_none()) {
              return py::cast(without_gil([&] { return Statistics::detail(id, at); }));
            }
            if (!PyCallable_Check(sink.ptr())) throw py::type_error("sink must be callable or None");
            // Called on the query's thread, which takes the GIL for it.
            const Statistics::BatchSink batch_sink = [&sink](std::vector<DetailRow>&& rows) {
              py::gil_scoped_acquire gil;
              sink(py::cast(std::move(rows)));
            };
            return py::int_(without_gil([&] { return Statistics::detail(id, at, batch_sink); }));
          },
          py::arg("account"), py::arg("date_time"), py::arg("sink") = py::none(),
          "Every page of the detailed statistics at date_time: a list of DetailRow. With sink, each batch's "
          "rows go to sink(rows) in page order as they arrive and are not kept; returns the number of rows "
          "delivered. An exception from sink ends the query and propagates.");
}
