// What every qelkit extension module shares: JSON values to and from Python
// objects, the argument checks that turn wrong types into TypeErrors naming
// the argument, the translation of qelkit's C++ errors into
// qelkit.common.errors, and the child-task host of a Python process.
//
// Every function here needs the GIL.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "qelkit/common/json.hpp"

namespace qelkit::python {

namespace py = pybind11;

// Containers nested deeper than this are refused both ways (a list holding
// itself would otherwise recurse without end).
constexpr int kMaxDepth = 512;

// A Python value as JSON: None, bool, int, float, str, and lists, tuples and
// dicts with str keys of them. Anything else is a TypeError naming `what`;
// an int beyond 64 bits an OverflowError, nesting beyond kMaxDepth a
// ValueError.
Json to_json(py::handle value, const char* what);

// A JSON value as a Python object: objects become dicts in member order,
// arrays lists, null None.
py::object to_python(const Json& value);

// The argument checks. `name` is the argument's name, used in the TypeError.
// text_arg: a str. optional_text_arg: a str or None.
std::string text_arg(py::handle value, const char* name);
std::optional<std::string> optional_text_arg(py::handle value, const char* name);
// A file-system path: a str or an os.PathLike giving one.
std::string path_arg(py::handle value, const char* name);
// An int (bool counts, as in Python); another kind of real number is
// truncated toward zero (float, Fraction, Decimal). An int beyond 64 bits is
// an OverflowError naming the argument.
std::int64_t integer_arg(py::handle value, const char* name);

// Registers, for the functions of the module being initialised, the translation of qelkit::Error
// and its leaves into the exceptions of qelkit.common.errors (imported now),
// and of std::out_of_range into OverflowError.
void register_errors();

// Runs `work` (a long call) without the GIL and returns what it returns, or
// rethrows what it threw, once the GIL is taken back. Use it instead of
// py::gil_scoped_release and call_guard<gil_scoped_release> everywhere: when
// the interpreter is exiting, a daemon thread that asks for the GIL back is
// ended on the spot (pthread_exit unwinds its stack), and an unwind that
// starts inside a destructor, where gil_scoped_release takes the GIL back,
// terminates the whole process. Here the GIL is taken back in plain code, so
// such a thread just ends. Needs the GIL on entry.
template <typename Work>
auto without_gil(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  py::detail::get_internals();  // as gil_scoped_release does, for later gil_scoped_acquire
  PyThreadState* state = PyEval_SaveThread();
  std::exception_ptr error;
  std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
  try {
    if constexpr (std::is_void_v<Result>) {
      work();
      result.emplace(true);
    } else {
      result.emplace(work());
    }
  } catch (abi::__forced_unwind&) {
    throw;  // this thread is being ended: let it go, without the GIL
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// Makes child tasks start this interpreter (sys.executable) with the folder
// holding the qelkit package as the script's project root, so the child
// imports these same modules. Does nothing when sys.executable is unknown.
void use_this_interpreter_for_child_tasks();

}  // namespace qelkit::python
