// The Python face of qelkit's thread objects (QelExc, QelDis): daemon,
// start(), join() without the GIL, is_alive(). Fields are set before start()
// and read after join().
#pragma once

#include <pybind11/pybind11.h>

#include "qelkit/common/thread.hpp"
#include "support.hpp"

namespace qelkit::python {

template <typename T>
void add_thread_operations(pybind11::class_<T, std::shared_ptr<T>>& cls) {
  namespace py = pybind11;
  cls.def_property(
         "daemon", [](const T& t) { return t.daemon; }, [](T& t, bool daemon) { t.daemon = daemon; })
      .def("start", &T::start, "Runs the thread's work on a new thread.")
      .def(
          "join", [](T& t) { without_gil([&] { t.join(); }); }, "Waits until the work has finished.")
      .def("is_alive", &T::is_alive);
}

}  // namespace qelkit::python
