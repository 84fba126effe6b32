// qelkit.sdk.pageworker: QelExc, the worker that fetches one page of the
// detailed statistics.
#include <string>

#include <pybind11/pybind11.h>

#include "qelkit/sdk/pageworker.hpp"
#include "outcome.hpp"
#include "support.hpp"
#include "threads.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

PYBIND11_MODULE(pageworker, m) {
  m.doc() = "The statistics page worker and its page cursor.";
  register_errors();

  py::class_<QelExc, std::shared_ptr<QelExc>> cls(
      m, "QelExc", "Fetches page b of the detailed statistics at time c for session a; rows land in data.");
  cls.def(py::init([] { return std::make_shared<QelExc>(); }))
      .def_property_readonly_static("FIELD_1_TAG", [](py::handle) { return QelExc::FIELD_1_TAG; })
      .def_property_readonly_static("FIELD_2_TAG", [](py::handle) { return QelExc::FIELD_2_TAG; })
      .def_static(
          "encode", [](py::handle a) { return QelExc::encode(integer_arg(a, "a")); }, py::arg("a"),
          "The page cursor text of page a ('' below page 1).")
      .def_static(
          "_encode_varint", [](py::handle v) { return py::bytes(QelExc::_encode_varint(integer_arg(v, "v"))); },
          py::arg("v"), "The protocol-buffers varint bytes of v (ValueError when negative).")
      .def_static(
          "request_body", [](py::handle c, py::handle b) { return to_python(QelExc::request_body(to_json(c, "c"), integer_arg(b, "b"))); },
          py::arg("c"), py::arg("b"), "The request body of page b at time c.")
      .def_static(
          "normalise_row", [](py::handle row) { return to_python(QelExc::normalise_row(to_json(row, "row"))); },
          py::arg("row"), "The nine-key normalised row of one platform row.");
  thread_field(cls, "a", &QelExc::a, [](py::handle v) { return text_arg(v, "a"); });
  thread_field(cls, "b", &QelExc::b, [](py::handle v) { return integer_arg(v, "b"); });
  thread_field(cls, "c", &QelExc::c, [](py::handle v) { return to_json(v, "c"); });
  thread_field(cls, "d", &QelExc::d, [](py::handle v) { return bool_arg(v, "d"); });
  thread_field(cls, "data", &QelExc::data, [](py::handle v) { return to_json(v, "data"); });
  // Why the page brought what it brought: {'kind': 'not_run' | 'answered' |
  // 'status' | 'failure', 'code', 'error_kind', 'message'}. An empty page is
  // 'answered'.
  thread_readonly_field(cls, "outcome", &QelExc::outcome,
                        [](const PageOutcome& outcome) { return outcome_to_python(outcome); });
  add_thread_operations(cls);
}
