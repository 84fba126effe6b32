// qelkit.common.docstore: JsonFileHandler, the JSON file store.
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "qelkit/common/docstore.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

namespace {

std::optional<std::string> base_dir_arg(py::handle value) {
  if (value.is_none()) return std::nullopt;
  return path_arg(value, "base_dir");
}

// load_data and load_data_strict: the arguments checked, the file read
// without the GIL.
template <Json (*Load)(const std::string&, const std::optional<std::string>&, const std::string&)>
py::object load(py::handle filename, py::handle base_dir, py::handle encoding) {
  const std::string name = path_arg(filename, "filename");
  const std::optional<std::string> dir = base_dir_arg(base_dir);
  const std::string enc = text_arg(encoding, "encoding");
  Json doc = without_gil([&] { return Load(name, dir, enc); });
  return to_python(doc);
}

}  // namespace

PYBIND11_MODULE(docstore, m) {
  m.doc() = "The JSON file store: where a JSON file lives, and whole documents read and written there.";
  register_errors();

  // A class of class-level operations only, as the store has no state.
  py::class_<JsonFileHandler>(m, "JsonFileHandler")
      .def_property_readonly_static("_default_base_dir",
                                    [](py::handle) { return std::string(JsonFileHandler::_default_base_dir); })
      .def_static(
          "get_file_path",
          [](py::handle filename, py::handle base_dir) {
            return JsonFileHandler::get_file_path(path_arg(filename, "filename"), base_dir_arg(base_dir));
          },
          py::arg("filename"), py::arg("base_dir") = py::none(),
          "The path for filename: unchanged when absolute or with a directory part, else base_dir "
          "(default 'json') joined with it.")
      .def_static(
          "save_data",
          [](py::handle data, py::handle filename, py::handle base_dir, py::handle indent, py::handle ensure_ascii,
             py::handle encoding) {
            const Json doc = to_json(data, "data");
            const std::string name = path_arg(filename, "filename");
            const std::optional<std::string> dir = base_dir_arg(base_dir);
            const auto spaces = static_cast<int>(integer_arg(indent, "indent"));
            const bool ascii = PyObject_IsTrue(ensure_ascii.ptr()) == 1;
            const std::string enc = text_arg(encoding, "encoding");
            without_gil([&] { JsonFileHandler::save_data(doc, name, dir, spaces, ascii, enc); });
          },
          py::arg("data"), py::arg("filename"), py::arg("base_dir") = py::none(), py::arg("indent") = 2,
          py::arg("ensure_ascii") = false, py::arg("encoding") = "utf-8",
          "Writes data as one JSON text (atomically). Raises SystemFailure only when the directory cannot be "
          "created; later failures are silent.")
      .def_static("load_data", &load<&JsonFileHandler::load_data>, py::arg("filename"),
                  py::arg("base_dir") = py::none(), py::arg("encoding") = "utf-8",
                  "The document in the file, or a new empty dict when it is missing, invalid or unreadable.")
      .def_static("load_data_strict", &load<&JsonFileHandler::load_data_strict>, py::arg("filename"),
                  py::arg("base_dir") = py::none(), py::arg("encoding") = "utf-8",
                  "Like load_data, but a file that exists and cannot be used raises (SystemFailure, ProtocolError).");
}
