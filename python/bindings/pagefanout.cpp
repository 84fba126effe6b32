// qelkit.sdk.pagefanout: QelDis, the thread that gathers every page of the
// detailed statistics.
#include <string>

#include <pybind11/pybind11.h>

#include "qelkit/sdk/pagefanout.hpp"
#include "outcome.hpp"
#include "support.hpp"
#include "threads.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

PYBIND11_MODULE(pagefanout, m) {
  m.doc() = "The statistics fan-out: page workers six at a time, rows in page order.";
  register_errors();

  py::class_<QelDis, std::shared_ptr<QelDis>> cls(
      m, "QelDis", "Gathers every detailed statistics row at time b for session a into data.");
  cls.def(py::init([] { return std::make_shared<QelDis>(); }))
      .def_property(
          "a", [](const QelDis& f) { return f.a; }, [](QelDis& f, py::handle v) { f.a = text_arg(v, "a"); })
      .def_property(
          "b", [](const QelDis& f) { return to_python(f.b); }, [](QelDis& f, py::handle v) { f.b = to_json(v, "b"); })
      .def_property(
          "data", [](const QelDis& f) { return to_python(f.data); },
          [](QelDis& f, py::handle v) { f.data = to_json(v, "data"); })
      .def_property_readonly(
          "failures",
          [](const QelDis& f) {
            py::list out;
            for (const PageFailure& failure : f.failures) {
              py::dict entry;
              entry["page"] = failure.page;
              entry["outcome"] = outcome_to_python(failure.outcome);
              out.append(entry);
            }
            return out;
          },
          "The pages that did not answer with code 0, in page order: [{'page', 'outcome'}].")
      .def_property_readonly_static("thread_count", [](py::handle) { return QelDis::kThreadCount; })
      .def_property_readonly_static("max_pages", [](py::handle) { return QelDis::kMaxPages; });
  add_thread_operations(cls);
}
