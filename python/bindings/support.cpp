#include "support.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/taskspawn.hpp"

namespace qelkit::python {

namespace {

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

[[noreturn]] void type_error(const std::string& message) { throw py::type_error(message); }

[[noreturn]] void overflow_error(const std::string& message) {
  PyErr_SetString(PyExc_OverflowError, message.c_str());
  throw py::error_already_set();
}

Json to_json_at(py::handle value, const char* what, int depth) {
  if (depth > kMaxDepth) {
    throw py::value_error(std::string(what) + ": nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  if (value.is_none()) return nullptr;
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      return static_cast<std::int64_t>(v);
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return static_cast<std::uint64_t>(u);
      PyErr_Clear();
    }
    overflow_error(std::string(what) + ": the integer " + std::string(py::str(value)) + " does not fit 64 bits");
  }
  if (PyFloat_Check(value.ptr())) return PyFloat_AsDouble(value.ptr());
  if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
    Json array = Json::array();
    for (py::handle item : value) array.push_back(to_json_at(item, what, depth + 1));
    return array;
  }
  if (PyDict_Check(value.ptr())) {
    Json object = Json::object();
    for (auto [key, item] : value.cast<py::dict>()) {
      if (!PyUnicode_Check(key.ptr())) {
        type_error(std::string(what) + ": dict keys must be str, not " + type_name(key));
      }
      object[key.cast<std::string>()] = to_json_at(item, what, depth + 1);
    }
    return object;
  }
  type_error(std::string(what) + ": a " + type_name(value) +
             " is not a JSON value (None, bool, int, float, str, list, tuple or dict)");
}

// The Python exception classes of qelkit.common.errors, one per kind (by the
// kind table's Python name), fetched once per module and kept for the life
// of the process.
struct ErrorClasses {
  std::vector<py::object> by_kind;
  py::object failed_page;
};

ErrorClasses* error_classes = nullptr;

// Text as a str; bytes that are not UTF-8 (platform text) are replaced.
py::str lenient_str(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::str message_of(const std::exception& e) { return lenient_str(e.what()); }

void raise(const py::object& cls, const std::exception& e) { PyErr_SetObject(cls.ptr(), message_of(e).ptr()); }

// Raises `cls` for a qelkit error with its partial outcome, and `extra`
// attributes, on the instance. Falls back to the bare class if that fails.
void raise(const py::object& cls, const Error& e, const std::vector<std::pair<const char*, py::object>>& extra) {
  try {
    py::object instance = cls(message_of(e));
    instance.attr("rows") = to_python(e.rows());
    py::list pages;
    for (const FailedPage& f : e.failed_pages()) {
      pages.append(error_classes->failed_page(f.page, lenient_str(f.reason)));
    }
    instance.attr("failed_pages") = pages;
    for (const auto& [name, value] : extra) instance.attr(name) = value;
    PyErr_SetObject(cls.ptr(), instance.ptr());
  } catch (const py::error_already_set&) {
    raise(cls, static_cast<const std::exception&>(e));
  }
}

}  // namespace

Json to_json(py::handle value, const char* what) { return to_json_at(value, what, 0); }

py::object to_python(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return py::none();
    case Json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case Json::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return py::float_(value.get<double>());
    case Json::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case Json::value_t::binary: {
      const auto& bytes = value.get_binary();
      return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case Json::value_t::array: {
      py::list list;
      for (const Json& item : value) list.append(to_python(item));
      return list;
    }
    case Json::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
    case Json::value_t::discarded:
      break;
  }
  return py::none();
}

std::string text_arg(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) type_error(std::string(name) + " must be str, not " + type_name(value));
  return value.cast<std::string>();
}

std::optional<std::string> optional_text_arg(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  if (!PyUnicode_Check(value.ptr())) type_error(std::string(name) + " must be str or None, not " + type_name(value));
  return value.cast<std::string>();
}

std::string path_arg(py::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
  if (py::hasattr(value, "__fspath__")) {
    py::object path = value.attr("__fspath__")();
    if (PyUnicode_Check(path.ptr())) return path.cast<std::string>();
  }
  type_error(std::string(name) + " must be str or a path, not " + type_name(value));
}

std::int64_t integer_arg(py::handle value, const char* name) {
  py::object integer;
  if (PyLong_Check(value.ptr())) {
    integer = py::reinterpret_borrow<py::object>(value);
  } else if (PyFloat_Check(value.ptr()) ||
             py::isinstance(value, py::module_::import("numbers").attr("Real")) ||
             py::isinstance(value, py::module_::import("decimal").attr("Decimal"))) {
    integer = py::module_::import("math").attr("trunc")(value);
  } else {
    type_error(std::string(name) + " must be an integer, not " + type_name(value));
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (overflow != 0) {
    overflow_error(std::string(name) + " does not fit 64 bits: " + std::string(py::str(integer)));
  }
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// The attributes a kind's Python exception carries beside the message.
std::vector<std::pair<const char*, py::object>> attributes_of(const Error& e) {
  switch (e.kind()) {
    case ErrorKind::login_expired:
      return {{"account", lenient_str(static_cast<const LoginExpiredError&>(e).account())}};
    case ErrorKind::account_not_stored:
      return {{"account", lenient_str(static_cast<const AccountNotStoredError&>(e).account())}};
    case ErrorKind::stored_login:
      return {{"account", lenient_str(static_cast<const StoredLoginError&>(e).account())}};
    case ErrorKind::platform:
    case ErrorKind::platform_busy:
      return {{"code", py::int_(static_cast<const PlatformError&>(e).code())}};
    case ErrorKind::data_file:
      return {{"path", lenient_str(static_cast<const DataFileError&>(e).path())}};
    case ErrorKind::error:
    case ErrorKind::transport:
    case ErrorKind::no_reply:
    case ErrorKind::protocol:
    case ErrorKind::conversion:
    case ErrorKind::decoding:
    case ErrorKind::invalid_argument:
    case ErrorKind::authentication:
    case ErrorKind::system:
    case ErrorKind::page_limit:
      return {};
  }
  return {};
}

void register_errors() {
  if (error_classes == nullptr) {
    py::module_ errors = py::module_::import("qelkit.common.errors");
    // Never freed: translations may happen until the interpreter ends.
    error_classes = new ErrorClasses{{}, errors.attr("FailedPage")};
    for (const ErrorKindInfo& info : kErrorKinds) {
      error_classes->by_kind.push_back(errors.attr(std::string(info.python_name).c_str()));
    }
  }
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      std::rethrow_exception(p);
    } catch (const Error& e) {
      raise(error_classes->by_kind[static_cast<std::size_t>(e.kind())], e, attributes_of(e));
    } catch (const std::out_of_range& e) {
      PyErr_SetString(PyExc_OverflowError, e.what());
    }
  });
}

void use_this_interpreter_for_child_tasks() {
  py::object executable = py::module_::import("sys").attr("executable");
  if (!PyUnicode_Check(executable.ptr()) || executable.cast<std::string>().empty()) return;
  py::object package_dir = py::module_::import("qelkit").attr("__path__")[py::int_(0)];
  py::object root = py::module_::import("os.path").attr("dirname")(package_dir);
  // qelkit's own tasks (the login child) in isolated mode: "-c" would put
  // the working directory, which others may write, first on the child's
  // module path; the script adds the package's own folder.
  set_child_host(ChildHost{executable.cast<std::string>(), root.cast<std::string>(), {"-I"}});
}

}  // namespace qelkit::python
