// qelkit.common.fetchcore: SpiderDriver, the platform client.
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "qelkit/common/fetchcore.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

namespace {

py::object optional_record(const std::optional<Json>& record) {
  return record ? to_python(*record) : py::none();
}

py::dict headers_dict(const Headers& headers) {
  py::dict d;
  for (const auto& [name, value] : headers) d[py::str(name)] = py::str(value);
  return d;
}

// The named request options pty takes: headers (a dict of str), impersonate
// (a str) and json (the body).
RequestOptions request_options(const py::kwargs& kwargs) {
  RequestOptions options;
  for (auto [key, value] : kwargs) {
    const std::string name = key.cast<std::string>();
    if (name == "headers") {
      if (value.is_none()) continue;
      if (!PyDict_Check(value.ptr())) throw py::type_error("headers must be a dict");
      for (auto [hname, hvalue] : value.cast<py::dict>()) {
        options.headers.emplace_back(text_arg(hname, "a header name"), text_arg(hvalue, "a header value"));
      }
    } else if (name == "impersonate") {
      options.impersonate = optional_text_arg(value, "impersonate").value_or("");
    } else if (name == "json") {
      if (!value.is_none()) options.json = to_json(value, "json");
    } else {
      throw py::type_error("pty() got an unexpected keyword argument '" + name + "'");
    }
  }
  return options;
}

}  // namespace

PYBIND11_MODULE(fetchcore, m) {
  m.doc() = "The platform client: every exchange with the platform.";
  register_errors();

  py::class_<Reply>(m, "Reply", "A reply accepted by SpiderDriver.pty (HTTP status at most 201).")
      .def_property_readonly("status_code", &Reply::status_code)
      .def_property_readonly("text", &Reply::text)
      .def_property_readonly("url", &Reply::url)
      .def("json", [](const Reply& r) { return to_python(r.json()); }, "The body parsed as JSON.")
      .def(
          "header_values", [](const Reply& r, py::handle name) { return r.header_values(text_arg(name, "name")); },
          py::arg("name"), "Every value of the named header, in order (name matched case-insensitively).");

  py::class_<SpiderDriver>(m, "SpiderDriver",
                           "The platform client. Holds no state; operations that talk to the platform block "
                           "(without the GIL) for their requests and pauses.")
      .def(py::init<>())
      .def_property_readonly_static("impersonate", [](py::handle) { return std::string(SpiderDriver::kImpersonate); })
      .def(
          "set_dead",
          [](const SpiderDriver& s, py::handle a) {
            if (a.is_none()) return headers_dict(s.set_dead());
            std::string text = PyUnicode_Check(a.ptr()) ? a.cast<std::string>() : std::string(py::str(a));
            return headers_dict(s.set_dead(text));
          },
          py::arg("a") = py::none(),
          "The shared request headers; with a non-empty session id `a` (any value, written as text) also Cookie.")
      .def(
          "pty",
          [](const SpiderDriver& s, py::handle url, py::handle max_retries, py::handle delay, const py::kwargs& kw) {
            const std::string u = text_arg(url, "url");
            const auto retries = static_cast<int>(integer_arg(max_retries, "max_retries"));
            if (!PyLong_Check(delay.ptr()) && !PyFloat_Check(delay.ptr())) {
              throw py::type_error("delay must be a number of seconds");
            }
            const double pause = delay.cast<double>();
            const RequestOptions options = request_options(kw);
            std::optional<Reply> reply = without_gil([&] { return s.pty(u, options, retries, pause); });
            return reply ? py::cast(std::move(*reply)) : py::none();
          },
          py::arg("url") = "", py::arg("max_retries") = 3, py::arg("delay") = 1,
          "POSTs to url up to max_retries times (headers=, impersonate=, json= are the request options); "
          "the first reply with status <= 201, or None.")
      .def(
          "ale",
          [](const SpiderDriver& s) {
            Json r = without_gil([&] { return s.ale(); });
            return to_python(r);
          },
          "Asks for a login token: {'code': 0, 'data': token} or {'code': 100}.")
      .def(
          "gqb",
          [](const SpiderDriver& s, py::handle a) {
            const std::string text = text_arg(a, "a");
            return without_gil([&] { return s.gqb(text); });
          },
          py::arg("a"), "The PNG QR code of `a` as a data URL.")
      .def(
          "als",
          [](const SpiderDriver& s, py::handle a) {
            const std::string token = text_arg(a, "a");
            Json r = without_gil([&] { return s.als(token); });
            return to_python(r);
          },
          py::arg("a"), "The login status of token `a`.")
      .def_static(
          "fo", [](py::handle text) { return to_python(SpiderDriver::fo(text_arg(text, "text"))); }, py::arg("text"),
          "The cookie record {'session_id', 'wx_uin'} found in one Set-Cookie value.")
      .def(
          "add",
          [](const SpiderDriver& s, py::handle a) {
            const std::string session = text_arg(a, "a");
            std::optional<Json> r = without_gil([&] { return s.add(session); });
            return optional_record(r);
          },
          py::arg("a"), "Authorisation data: {'code': 0, 'data': finderUser}, {'code': 300}, or None.")
      .def(
          "owit",
          [](const SpiderDriver& s, py::handle a) {
            const std::string session = text_arg(a, "a");
            return without_gil([&] { return s.owit(session); });
          },
          py::arg("a"), "Sends the online heartbeat once; returns True.")
      .def(
          "iast",
          [](const SpiderDriver& s, py::handle a, py::handle b) {
            const std::string session = text_arg(a, "a");
            const Json body = to_json(b, "b");
            std::optional<Json> r = without_gil([&] { return s.iast(session, body); });
            return optional_record(r);
          },
          py::arg("a"), py::arg("b"), "Statistics list: {'code': 0, 'data': list}, {'code': 300}, or None.")
      .def(
          "owin",
          [](const SpiderDriver& s, py::handle a, py::handle b) {
            const std::string session = text_arg(a, "a");
            const Json body = to_json(b, "b");
            Json r = without_gil([&] { return s.owin(session, body); });
            return to_python(r);
          },
          py::arg("a"), py::arg("b"), "One page of the statistics download, waiting out busy answers.");
}
