// qelkit.common.taskspawn: TaskFactory, the child-process task launcher.
//
// Importing it makes child tasks run this interpreter (sys.executable -c
// <script>) with the folder holding the qelkit package first on the child's
// module search path, so the child imports these same modules.
#include <climits>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "qelkit/common/taskspawn.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

namespace {

// subprocess.PIPE, as the launcher's callers know it.
constexpr long kPipe = -1;

// None: the host's own stream; subprocess.PIPE: a pipe; an open file (an
// object with fileno()) or a descriptor number: that file.
StdStream stream_arg(py::handle value, const char* name) {
  if (value.is_none()) return StdStream::inherit();
  if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
    const long fd = value.cast<long>();
    if (fd == kPipe) return StdStream::pipe();
    if (fd >= 0 && fd <= INT_MAX) return StdStream::from_fd(static_cast<int>(fd));
    throw py::value_error(std::string(name) + " must be None, subprocess.PIPE, a file or a descriptor, not " +
                          std::to_string(fd));
  }
  if (py::hasattr(value, "fileno")) return StdStream::from_fd(value.attr("fileno")().cast<int>());
  throw py::type_error(std::string(name) + " must be None, subprocess.PIPE, a file or a descriptor, not " +
                       std::string(py::str(py::type::handle_of(value).attr("__name__"))));
}

Json method_args_arg(py::handle value) {
  if (value.is_none()) return nullptr;
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
    throw py::type_error("method_args must be a list or None, not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))));
  }
  return to_json(value, "method_args");
}

std::string optional_path(py::handle value, const char* name) {
  return value.is_none() ? std::string() : path_arg(value, name);
}

}  // namespace

PYBIND11_MODULE(taskspawn, m) {
  m.doc() = "The task launcher: runs one operation of one class in a child process of this interpreter.";
  register_errors();
  use_this_interpreter_for_child_tasks();

  py::class_<Process>(m, "Process", "A started child process. Pipes are text streams (UTF-8, 'replace').")
      .def_property_readonly("pid", &Process::pid)
      .def("wait", [](Process& p) { return without_gil([&] { return p.wait(); }); },
           "Waits for the child; its exit code, or minus the signal that ended it.")
      .def("poll", [](Process& p) { return without_gil([&] { return p.poll(); }); },
           "The exit status if the child has ended, else None.")
      .def(
          "write_stdin",
          [](Process& p, py::handle text) {
            const std::string t = text_arg(text, "text");
            without_gil([&] { p.write_stdin(t); });
          },
          py::arg("text"))
      .def("close_stdin", &Process::close_stdin)
      .def("read_stdout_all", [](Process& p) { return without_gil([&] { return p.read_stdout_all(); }); })
      .def("read_stderr_all", [](Process& p) { return without_gil([&] { return p.read_stderr_all(); }); })
      .def(
          "communicate",
          [](Process& p, py::handle input) {
            const std::string in = input.is_none() ? std::string() : text_arg(input, "input");
            return without_gil([&] { return p.communicate(in); });
          },
          py::arg("input") = py::none(),
          "Sends input, reads both piped output streams to their end, waits; (stdout, stderr).");

  py::class_<TaskFactory>(m, "TaskFactory")
      .def(py::init<>())
      .def(
          "create_task",
          [](TaskFactory& f, py::handle module_name, py::handle class_name, py::handle method_name,
             py::handle method_args, py::handle stdin_, py::handle stdout_, py::handle stderr_) {
            const std::string mod = text_arg(module_name, "module_name");
            const std::string cls = text_arg(class_name, "class_name");
            const std::string method = text_arg(method_name, "method_name");
            const Json args = method_args_arg(method_args);
            const StdStream in = stream_arg(stdin_, "stdin"), out = stream_arg(stdout_, "stdout"),
                            err = stream_arg(stderr_, "stderr");
            return without_gil([&] { return f.create_task(mod, cls, method, args, in, out, err); });
          },
          py::arg("module_name"), py::arg("class_name"), py::arg("method_name"), py::arg("method_args") = py::none(),
          py::arg("stdin") = py::none(), py::arg("stdout") = py::none(), py::arg("stderr") = py::none(),
          "Starts the child and returns its Process at once.")
      .def(
          "create_task_with_output",
          [](TaskFactory& f, py::handle module_name, py::handle class_name, py::handle method_name,
             py::handle method_args, py::handle stdout_path, py::handle stderr_path) {
            const std::string mod = text_arg(module_name, "module_name");
            const std::string cls = text_arg(class_name, "class_name");
            const std::string method = text_arg(method_name, "method_name");
            const Json args = method_args_arg(method_args);
            const std::string out = optional_path(stdout_path, "stdout_path");
            const std::string err = optional_path(stderr_path, "stderr_path");
            without_gil([&] { f.create_task_with_output(mod, cls, method, args, out, err); });
          },
          py::arg("module_name"), py::arg("class_name"), py::arg("method_name"), py::arg("method_args") = py::none(),
          py::arg("stdout_path") = py::none(), py::arg("stderr_path") = py::none(),
          "Starts the child with its output sent to files (None or '' keeps this process's stream); "
          "returns None without waiting.")
      .def_static(
          "build_script",
          [](py::handle project_root, py::handle module_name, py::handle class_name, py::handle method_name) {
            return TaskFactory::build_script(path_arg(project_root, "project_root"),
                                             text_arg(module_name, "module_name"), text_arg(class_name, "class_name"),
                                             text_arg(method_name, "method_name"));
          },
          py::arg("project_root"), py::arg("module_name"), py::arg("class_name"), py::arg("method_name"),
          "The child's six-line script, as create_task starts it: the fourth line takes the arguments from the "
          "environment variable CHILD_ARGS_VARIABLE.")
      .def_static(
          "build_script",
          [](py::handle project_root, py::handle module_name, py::handle class_name, py::handle method_name,
             py::handle method_args) {
            return TaskFactory::build_script(path_arg(project_root, "project_root"),
                                             text_arg(module_name, "module_name"), text_arg(class_name, "class_name"),
                                             text_arg(method_name, "method_name"), method_args_arg(method_args));
          },
          py::arg("project_root"), py::arg("module_name"), py::arg("class_name"), py::arg("method_name"),
          py::arg("method_args"),
          "The script with method_args written into it: visible on a command line, so never for secrets.")
      .def_static(
          "child_args_text",
          [](py::handle method_args) { return TaskFactory::child_args_text(method_args_arg(method_args)); },
          py::arg("method_args") = py::none(), "The argument list as the child reads it from CHILD_ARGS_VARIABLE.");
  m.attr("CHILD_ARGS_VARIABLE") = kChildArgsVariable;
}
