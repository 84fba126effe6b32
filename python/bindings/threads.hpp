// The Python face of qelkit's thread objects (QelExc, QelDis): daemon,
// start(), join() without the GIL, is_alive(), and their fields.
//
// run() reads and writes the fields on its own thread, without the GIL, so
// Python may touch a field only while the thread does not run: before
// start() and once run() has returned. Every field is bound with
// thread_field() or thread_readonly_field(), one line each, which raise
// RuntimeError ("QelDis.data cannot be read while the thread runs; join() it
// first") instead of racing run(). The check holds: start() needs the GIL as
// well, and the value is copied out (or assigned) in C++ right after the
// check, before any Python code could run and give the GIL away.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "qelkit/common/json.hpp"
#include "qelkit/common/thread.hpp"
#include "support.hpp"

namespace qelkit::python {

namespace detail {

// Raises RuntimeError when `thread` is running.
inline void refuse_while_running(const Thread& thread, const std::string& field, const char* verb) {
  if (thread.is_alive()) {
    const std::string message = field + " cannot be " + verb + " while the thread runs; join() it first";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw pybind11::error_already_set();
  }
}

// "<Class>.<name>", for messages.
template <typename T>
std::string field_name(const pybind11::class_<T, std::shared_ptr<T>>& cls, const char* name) {
  return pybind11::str(cls.attr("__name__")).template cast<std::string>() + "." + name;
}

}  // namespace detail

// A field's value as a Python object: JSON values as to_python() makes them,
// anything else as pybind11 casts it.
struct FieldToPython {
  template <typename V>
  pybind11::object operator()(const V& value) const {
    if constexpr (std::is_same_v<V, Json>) {
      return to_python(value);
    } else {
      return pybind11::cast(value);
    }
  }
};

// Binds data member `member` as the property `name`, read and set only while
// the thread does not run. `convert` turns the Python value into the
// member's type (raising TypeError for a wrong kind); `to_py` turns a copy of
// the member into a Python object.
template <typename T, typename Base, typename Member, typename Convert, typename ToPython = FieldToPython>
void thread_field(pybind11::class_<T, std::shared_ptr<T>>& cls, const char* name, Member Base::*member,
                  Convert convert, ToPython to_py = {}) {
  static_assert(std::is_base_of_v<Thread, T> && std::is_base_of_v<Base, T>);
  const std::string field = detail::field_name(cls, name);
  cls.def_property(
      name,
      [member, field, to_py](const T& t) {
        detail::refuse_while_running(t, field, "read");
        const Member copy = t.*member;
        return to_py(copy);
      },
      [member, field, convert](T& t, pybind11::handle value) {
        Member converted = convert(value);
        detail::refuse_while_running(t, field, "set");
        t.*member = std::move(converted);
      });
}

// The same for a field that Python only reads (a result of run()).
template <typename T, typename Base, typename Member, typename ToPython = FieldToPython>
void thread_readonly_field(pybind11::class_<T, std::shared_ptr<T>>& cls, const char* name, Member Base::*member,
                           ToPython to_py = {}) {
  static_assert(std::is_base_of_v<Thread, T> && std::is_base_of_v<Base, T>);
  const std::string field = detail::field_name(cls, name);
  cls.def_property_readonly(name, [member, field, to_py](const T& t) {
    detail::refuse_while_running(t, field, "read");
    const Member copy = t.*member;
    return to_py(copy);
  });
}

// A bool as pybind11 converts one (True, False, and what has a truth value
// of its own, like numbers); anything else is a TypeError naming `name`.
inline bool bool_arg(pybind11::handle value, const char* name) {
  pybind11::detail::make_caster<bool> caster;
  if (!caster.load(value, true)) {
    throw pybind11::type_error(std::string(name) + " must be a bool, not " +
                               pybind11::str(pybind11::type::handle_of(value).attr("__name__")).cast<std::string>());
  }
  return pybind11::detail::cast_op<bool>(caster);
}

template <typename T>
void add_thread_operations(pybind11::class_<T, std::shared_ptr<T>>& cls) {
  namespace py = pybind11;
  // run() never touches the flag (start() takes a copy), so reading it is
  // always safe; setting it once the thread runs would have no effect.
  const std::string field = detail::field_name(cls, "daemon");
  cls.def_property(
         "daemon", [](const T& t) { return t.daemon; },
         [field](T& t, py::handle v) {
           const bool daemon = bool_arg(v, "daemon");
           detail::refuse_while_running(t, field, "set");
           t.daemon = daemon;
         })
      .def("start", &T::start, "Runs the thread's work on a new thread.")
      .def(
          "join", [](T& t) { without_gil([&] { t.join(); }); }, "Waits until the work has finished.")
      .def("is_alive", &T::is_alive);
}

}  // namespace qelkit::python
