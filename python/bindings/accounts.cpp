// Stored accounts for Python hosts: qelkit.sdk.qelfacade.Accounts and the
// AccountCheck it returns (also reachable as qelkit.sdk.Accounts).
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "qelkit/sdk/accounts.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

void register_accounts(py::module_& m) {
  py::class_<AccountCheck>(m, "AccountCheck", "What the platform said about one stored login.")
      .def_readonly("account", &AccountCheck::account, "The account id.")
      .def_property_readonly("live", &AccountCheck::live, "True when the platform accepts the stored login.")
      .def_property_readonly(
          "state", [](const AccountCheck& c) { return c.live() ? "live" : "expired"; },
          "'live', or 'expired' (the account must log in again).")
      .def_readonly("display_name", &AccountCheck::display_name,
                    "The account's display name on the platform, or None (expired, or the platform has none).")
      .def("__repr__", [](const AccountCheck& c) {
        py::str name = c.display_name ? py::str(py::repr(py::str(*c.display_name))) : py::str("None");
        return py::str("AccountCheck(account={}, state='{}', display_name={})")
            .format(py::repr(py::str(c.account)), c.live() ? "live" : "expired", name);
      });

  py::class_<Accounts>(m, "Accounts",
                       "The logins stored in json/data.json under the working directory. Every operation blocks "
                       "for its file and platform work without holding the GIL. A data file that does not read "
                       "raises DataFileError; an account not stored, AccountNotStoredError; a stored login that "
                       "does not decrypt, StoredLoginError (qelkit.common.errors).")
      .def_static(
          "list",
          [] {
            std::vector<std::string> ids = without_gil([] { return Accounts::list(); });
            return to_python(Json(ids));
          },
          "The stored account ids, in the order of the data file; [] when there is none.")
      .def_static(
          "check",
          [](py::handle account) {
            const std::string id = text_arg(account, "account");
            return without_gil([&] { return Accounts::check(id); });
          },
          py::arg("account"),
          "Asks the platform about the account's stored login: an AccountCheck, live (with the display name) "
          "or expired. Raises PlatformError for another refusal, NoReplyError when the platform is out of reach.")
      .def_static(
          "remembered_name",
          [](py::handle account) {
            const std::string id = text_arg(account, "account");
            return without_gil([&] { return Accounts::remembered_name(id); });
          },
          py::arg("account"),
          "The display name that the last check finding one remembered (json/names.json), or None. Asks "
          "neither the data file nor the platform; never raises for a missing or damaged side file.")
      .def_static(
          "heartbeat",
          [](py::handle account) {
            const std::string id = text_arg(account, "account");
            without_gil([&] { Accounts::heartbeat(id); });
          },
          py::arg("account"), "Sends the platform's online heartbeat once with the account's stored login.")
      .def_static(
          "forget",
          [](py::handle account) {
            const std::string id = text_arg(account, "account");
            return without_gil([&] { return Accounts::forget(id); });
          },
          py::arg("account"),
          "Removes the account's stored login, under the same lock and private write as a login; returns "
          "whether it was stored. An unreadable data file raises DataFileError and is left untouched.");
}
