// qelkit.sdk.pagefanout: QelDis, the thread that gathers every page of the
// detailed statistics.
#include <string>
#include <vector>

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
      .def_property_readonly_static("thread_count", [](py::handle) { return QelDis::kThreadCount; })
      .def_property_readonly_static("max_pages", [](py::handle) { return QelDis::kMaxPages; });
  thread_field(cls, "a", &QelDis::a, [](py::handle v) { return text_arg(v, "a"); });
  thread_field(cls, "b", &QelDis::b, [](py::handle v) { return to_json(v, "b"); });
  thread_field(cls, "data", &QelDis::data, [](py::handle v) { return to_json(v, "data"); });
  // The pages that did not answer with code 0, in page order: [{'page', 'outcome'}].
  thread_readonly_field(cls, "failures", &QelDis::failures, [](const std::vector<PageFailure>& failures) {
    py::list out;
    for (const PageFailure& failure : failures) {
      py::dict entry;
      entry["page"] = failure.page;
      entry["outcome"] = outcome_to_python(failure.outcome);
      out.append(entry);
    }
    return out;
  });
  add_thread_operations(cls);
}
