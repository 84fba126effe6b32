// A page's outcome as Python sees it (QelExc.outcome, QelDis.failures): a
// dict {"kind": "not_run" | "answered" | "status" | "failure", "code": int,
// "error_kind": str, "message": str}. Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include "qelkit/sdk/pageworker.hpp"

namespace qelkit::python {

inline const char* outcome_kind_name(PageOutcome::Kind kind) {
  switch (kind) {
    case PageOutcome::Kind::not_run:
      return "not_run";
    case PageOutcome::Kind::answered:
      return "answered";
    case PageOutcome::Kind::status:
      return "status";
    case PageOutcome::Kind::failure:
      return "failure";
  }
  return "unknown";
}

inline pybind11::dict outcome_to_python(const PageOutcome& o) {
  namespace py = pybind11;
  auto text = [](const std::string& s) {
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!str) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(str);
  };
  py::dict d;
  d["kind"] = outcome_kind_name(o.kind);
  d["code"] = o.code;
  d["error_kind"] = text(o.error_kind);
  d["message"] = text(o.message);
  return d;
}

}  // namespace qelkit::python
