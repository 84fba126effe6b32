// Login and LoginOutcome for Python hosts (in qelkit.sdk.qelfacade, exported
// by qelkit.sdk.login): a QR login that can be waited for.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "qelkit/sdk/login.hpp"
#include "support.hpp"

namespace qelkit::python {
namespace {

namespace py = pybind11;

// A Login shared by Python threads: calls that wait hold the mutex, not the GIL.
struct PyLogin {
  explicit PyLogin(Login l) : login(std::move(l)) {}
  std::mutex mutex;
  Login login;
};

// How long one wait runs without the GIL before signals (Ctrl-C) are checked.
constexpr std::chrono::milliseconds kWaitSlice{200};

py::object optional_outcome(const std::optional<LoginOutcome>& o) {
  return o ? py::cast(*o) : py::none();
}

}  // namespace

void register_login(py::module_& m) {
  py::class_<LoginOutcome>(m, "LoginOutcome",
                           "How a login ended. kind is 'stored', 'ended' (cancelled on the phone or the code "
                           "expired), 'unconfirmed' (not confirmed within 300 s), 'refused' (the platform did not "
                           "grant the account data; code holds its code), 'failed' (message says why) or "
                           "'cancelled' (Login.cancel()).")
      .def_property_readonly("kind", [](const LoginOutcome& o) { return LoginOutcome::name(o.kind); })
      .def_property_readonly("stored", [](const LoginOutcome& o) { return o.kind == LoginOutcome::Kind::stored; })
      .def_property_readonly("account_id",
                             [](const LoginOutcome& o) -> py::object {
                               if (o.kind != LoginOutcome::Kind::stored) return py::none();
                               return to_python(Json(o.account_id));
                             })
      .def_property_readonly("display_name",
                             [](const LoginOutcome& o) -> py::object {
                               return o.display_name ? to_python(Json(*o.display_name)) : py::none();
                             })
      .def_property_readonly("code",
                             [](const LoginOutcome& o) -> py::object {
                               if (o.kind != LoginOutcome::Kind::refused && o.kind != LoginOutcome::Kind::ended) {
                                 return py::none();
                               }
                               return py::int_(o.code);
                             })
      .def_property_readonly("message", [](const LoginOutcome& o) { return to_python(Json(o.message)); })
      .def_property_readonly("exit_status",
                             [](const LoginOutcome& o) -> py::object {
                               return o.exit_status ? py::object(py::int_(*o.exit_status)) : py::none();
                             })
      .def_property_readonly(
          "moved_aside",
          [](const LoginOutcome& o) { return o.moved_aside ? to_python(Json(*o.moved_aside)) : py::none(); },
          "A sentence when the data file no longer read when the login was stored and was moved aside (where "
          "to; the logins it held are out of use until it is repaired), else None.")
      .def("to_dict", [](const LoginOutcome& o) { return to_python(o.to_json()); })
      .def("__repr__", [](const LoginOutcome& o) {
        return "LoginOutcome(" + o.to_json().dump(-1, ' ', false, Json::error_handler_t::replace) + ")";
      });

  py::class_<PyLogin, std::shared_ptr<PyLogin>>(
      m, "Login",
      "A QR login that can be waited for. Login.start() asks for a token and starts the login completion in a "
      "child process (the same one the facade starts); show link, data_url or modules, then wait(). Dropping "
      "the object leaves the child running: the login still completes and is stored. Used in a with "
      "statement, an exception leaving it (KeyboardInterrupt from Ctrl-C during wait() included) cancels the "
      "login first.")
      .def_static(
          "start",
          [] { return std::make_shared<PyLogin>(without_gil([] { return Login::start(); })); },
          "Starts a login. Raises DataFileError when the data file does not read (no token is asked for), "
          "PlatformError (code 100) when the platform refuses a token, NoReplyError, ProtocolError or "
          "SystemError when it cannot be started.")
      .def("__enter__", [](std::shared_ptr<PyLogin> l) { return l; })
      .def(
          "__exit__",
          [](PyLogin& l, py::handle type, py::handle, py::handle) {
            if (type.is_none()) return false;
            // An exception leaves the block: the login is not wanted any more.
            without_gil([&] {
              std::lock_guard<std::mutex> lock(l.mutex);
              l.login.cancel();
            });
            return false;
          },
          "Cancels the login when an exception leaves the with block (an outcome already known stays); "
          "never suppresses the exception.")
      .def_property_readonly("link", [](PyLogin& l) { return to_python(Json(l.login.link())); },
                             "The confirm-login link the QR code holds.")
      .def_property_readonly("data_url", [](PyLogin& l) { return l.login.data_url(); },
                             "The QR code as a PNG data URL.")
      .def_property_readonly(
          "modules",
          [](PyLogin& l) {
            py::list rows;
            for (const auto& row : l.login.modules()) {
              py::list r;
              for (bool dark : row) r.append(py::bool_(dark));
              rows.append(std::move(r));
            }
            return rows;
          },
          "The QR symbol's modules without the quiet zone: a list of rows, True for a dark module.")
      .def(
          "wait",
          [](PyLogin& l, py::object timeout) -> py::object {
            std::optional<std::chrono::steady_clock::time_point> deadline;
            if (!timeout.is_none()) {
              const double seconds = timeout.cast<double>();
              if (std::isnan(seconds)) throw py::value_error("timeout must be a number of seconds, not NaN");
              const double ms = std::clamp(seconds * 1000.0, 0.0, 1e12);
              deadline = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(ms)));
            }
            while (true) {
              auto slice = kWaitSlice;
              if (deadline) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
                slice = std::clamp(left, std::chrono::milliseconds(0), kWaitSlice);
              }
              std::optional<LoginOutcome> o = without_gil([&] {
                std::lock_guard<std::mutex> lock(l.mutex);
                return l.login.wait(slice);
              });
              if (o) return py::cast(*o);
              if (deadline && std::chrono::steady_clock::now() >= *deadline) return py::none();
              if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
          },
          py::arg("timeout") = py::none(),
          "Waits for the outcome (at most `timeout` seconds when given) and returns a LoginOutcome, or None when "
          "the timeout passed first: the login goes on and wait() may be called again.")
      .def_property_readonly(
          "outcome",
          [](PyLogin& l) {
            // The lock is taken without the GIL: a waiting thread holds it
            // and needs the GIL back between its slices.
            std::optional<LoginOutcome> o = without_gil([&] {
              std::lock_guard<std::mutex> lock(l.mutex);
              return l.login.outcome();
            });
            return optional_outcome(o);
          },
          "The outcome when known, else None.")
      .def(
          "cancel",
          [](PyLogin& l) {
            return without_gil([&] {
              std::lock_guard<std::mutex> lock(l.mutex);
              return l.login.cancel();
            });
          },
          "Ends the login (kills and reaps its child) and returns the 'cancelled' outcome, or the outcome that "
          "was already known or reported.");
}

}  // namespace qelkit::python
