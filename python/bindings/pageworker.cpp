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
      .def_property(
          "a", [](const QelExc& w) { return w.a; }, [](QelExc& w, py::handle v) { w.a = text_arg(v, "a"); })
      .def_property(
          "b", [](const QelExc& w) { return w.b; }, [](QelExc& w, py::handle v) { w.b = integer_arg(v, "b"); })
      .def_property(
          "c", [](const QelExc& w) { return to_python(w.c); }, [](QelExc& w, py::handle v) { w.c = to_json(v, "c"); })
      .def_property(
          "d", [](const QelExc& w) { return w.d; }, [](QelExc& w, bool v) { w.d = v; })
      .def_property(
          "data", [](const QelExc& w) { return to_python(w.data); },
          [](QelExc& w, py::handle v) { w.data = to_json(v, "data"); })
      .def_property_readonly(
          "outcome", [](const QelExc& w) { return outcome_to_python(w.outcome); },
          "Why the page brought what it brought: {'kind': 'not_run' | 'answered' | 'status' | 'failure', "
          "'code', 'error_kind', 'message'}. An empty page is 'answered'.")
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
  add_thread_operations(cls);
}
