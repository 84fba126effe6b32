// qelkit.common.sealbox: CryptoHelper, password-based encryption of text.
#include <string>

#include <pybind11/pybind11.h>

#include "qelkit/common/sealbox.hpp"
#include "support.hpp"

namespace py = pybind11;
using namespace qelkit;
using namespace qelkit::python;

PYBIND11_MODULE(sealbox, m) {
  m.doc() = "Text encryption: AES-256-GCM under a key derived from a pass phrase.";
  register_errors();

  py::class_<CryptoHelper>(m, "CryptoHelper",
                           "Encrypts and decrypts text under the pass phrase c + a + b. Each call runs the full "
                           "key derivation without holding the GIL.")
      .def(py::init([](py::handle a, py::handle b, py::handle c) {
             return CryptoHelper(text_arg(a, "a"), text_arg(b, "b"), text_arg(c, "c"));
           }),
           py::arg("a"), py::arg("b"), py::arg("c"))
      .def_property_readonly_static("key_length", [](py::handle) { return CryptoHelper::key_length; })
      .def_property_readonly_static("salt_length", [](py::handle) { return CryptoHelper::salt_length; })
      .def_property_readonly_static("nonce_length", [](py::handle) { return CryptoHelper::nonce_length; })
      .def_property_readonly_static("tag_length", [](py::handle) { return CryptoHelper::tag_length; })
      .def_property_readonly("password", [](const CryptoHelper& h) { return py::bytes(h.password()); })
      .def(
          "encrypt",
          [](const CryptoHelper& h, py::handle plaintext) {
            const std::string text = text_arg(plaintext, "plaintext");
            return without_gil([&] { return h.encrypt(text); });
          },
          py::arg("plaintext"), "The Base64 encrypted text of plaintext (fresh salt and nonce each call).")
      .def(
          "decrypt",
          [](const CryptoHelper& h, py::handle encrypted_str) {
            const std::string text = text_arg(encrypted_str, "encrypted_str");
            std::string plain = without_gil([&] { return h.decrypt(text); });
            return plain;
          },
          py::arg("encrypted_str"),
          "The plaintext; raises DecodingError, InvalidArgumentError or AuthenticationError.");
}
