// The exception hierarchy of qelkit.
//
// Every failure that qelkit reports is a qelkit::Error (a std::runtime_error),
// except the few places where the standard library's own type is the contract
// (std::invalid_argument for a negative varint). The leaves tell callers what
// kind of thing went wrong; the message says what failed and where, in plain
// words, and carries the wording of the library that failed (libcurl, OpenSSL).
#pragma once

#include <stdexcept>
#include <string>

namespace qelkit {

// Root of every qelkit failure.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One HTTP exchange failed below HTTP: connection, DNS, TLS, time-out, or any
// other libcurl error. The platform client's retry routine swallows exactly
// this kind of failure and nothing else.
class TransportError : public Error {
 public:
  using Error::Error;
};

// Every attempt of a request failed or was refused, so there is no reply to
// read.
class NoReplyError : public Error {
 public:
  using Error::Error;
};

// A reply did not have the shape the protocol promises: a body that is not
// JSON, a missing key, a value of the wrong type.
class ProtocolError : public Error {
 public:
  using Error::Error;
};

// A value could not be converted the way a statistics row needs (for example
// a text that is not an integer where an integer is required).
class ConversionError : public Error {
 public:
  using Error::Error;
};

// Bytes could not be decoded: invalid Base64, text that is not UTF-8.
class DecodingError : public Error {
 public:
  using Error::Error;
};

// An argument was refused before any work was done (for example an encrypted
// text too short to carry a nonce or a tag, or a session id holding control
// characters).
class InvalidArgumentError : public Error {
 public:
  using Error::Error;
};

// Authenticated decryption failed: the tag did not verify. No plaintext is
// released.
class AuthenticationError : public Error {
 public:
  using Error::Error;
};

// The operating system refused something: a file could not be opened, a child
// process could not be started. The message carries the system's wording.
class SystemError : public Error {
 public:
  using Error::Error;
};

}  // namespace qelkit
