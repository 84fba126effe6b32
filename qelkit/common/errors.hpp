// The exception hierarchy of qelkit.
//
// Every failure that qelkit reports is a qelkit::Error (a std::runtime_error),
// except the few places where the standard library's own type is the contract
// (std::invalid_argument for a negative varint). The leaves tell callers what
// kind of thing went wrong; the message says what failed and where, in plain
// words, and carries the wording of the library that failed (libcurl, OpenSSL).
//
// Partial outcome. A detailed statistics query that fails after some pages
// arrived raises an error that also carries what it did get: rows() holds the
// normalised rows of the pages that answered, in page order, and
// failed_pages() the pages that did not, each with the reason in words. Every
// other error carries an empty array and no failed pages. The outcome is
// shared, not copied, between copies of an exception, so copying an error
// never throws.
//
// Kinds. Every error reports its ErrorKind (kind()), and kErrorKinds names
// each kind once: its C++ class, a snake_case name, its Python exception
// class, the exit status of the qelkit command and the words the README uses.
// Hosts map failures by kind with a switch (the compiler then points out a
// kind the switch forgot), never with a ladder of catch clauses.
#pragma once

#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qelkit {

using Json = nlohmann::ordered_json;

// A page of a detailed statistics query that brought no rows because it
// failed: its number (counted from 0) and why, in words.
// One enumerator per error class (kErrorKinds describes each).
enum class ErrorKind {
  error,               // Error: no more specific kind
  transport,           // TransportError
  no_reply,            // NoReplyError
  protocol,            // ProtocolError
  conversion,          // ConversionError
  decoding,            // DecodingError
  invalid_argument,    // InvalidArgumentError
  authentication,      // AuthenticationError
  system,              // SystemError
  login_expired,       // LoginExpiredError
  platform,            // PlatformError
  platform_busy,       // PlatformBusyError
  data_file,           // DataFileError
  account_not_stored,  // AccountNotStoredError
  page_limit,          // PageLimitError
  stored_login,        // StoredLoginError
};

// What each kind is called where it shows.
struct ErrorKindInfo {
  ErrorKind kind;
  std::string_view name;         // snake_case, for logs and records
  std::string_view class_name;   // the C++ class (and the page worker's outcome)
  std::string_view python_name;  // the class in qelkit.common.errors
  int exit_status;               // of the qelkit command
  std::string_view words;        // the README's "When things go wrong"
};

// The one table of kinds, in enumerator order.
inline constexpr ErrorKindInfo kErrorKinds[] = {
    {ErrorKind::error, "error", "Error", "Error", 1, "any other failure"},
    {ErrorKind::transport, "transport", "TransportError", "TransportError", 5, "the platform cannot be reached"},
    {ErrorKind::no_reply, "no_reply", "NoReplyError", "NoReplyError", 5, "the platform did not answer any attempt"},
    {ErrorKind::protocol, "protocol", "ProtocolError", "ProtocolError", 6, "the platform's answer was not understood"},
    {ErrorKind::conversion, "conversion", "ConversionError", "ConversionError", 6,
     "a value in the platform's answer is not the number a row needs"},
    {ErrorKind::decoding, "decoding", "DecodingError", "DecodingError", 1, "bytes that do not decode"},
    {ErrorKind::invalid_argument, "invalid_argument", "InvalidArgumentError", "InvalidArgumentError", 1,
     "an argument was refused"},
    {ErrorKind::authentication, "authentication", "AuthenticationError", "AuthenticationError", 1,
     "an encrypted text does not verify"},
    {ErrorKind::system, "system", "SystemError", "SystemFailure", 1,
     "the operating system refused (a file, a child process)"},
    {ErrorKind::login_expired, "login_expired", "LoginExpiredError", "LoginExpiredError", 6,
     "the account's login has expired: log in again"},
    {ErrorKind::platform, "platform", "PlatformError", "PlatformError", 6, "the platform refused the request"},
    {ErrorKind::platform_busy, "platform_busy", "PlatformBusyError", "PlatformBusyError", 5,
     "the platform stayed busy through every re-request"},
    {ErrorKind::data_file, "data_file", "DataFileError", "DataFileError", 8,
     "the data file exists but is unreadable"},
    {ErrorKind::account_not_stored, "account_not_stored", "AccountNotStoredError", "AccountNotStoredError", 3,
     "no stored login for the account"},
    {ErrorKind::page_limit, "page_limit", "PageLimitError", "PageLimitError", 6,
     "the detailed statistics did not end within the page limit"},
    {ErrorKind::stored_login, "stored_login", "StoredLoginError", "StoredLoginError", 4,
     "the stored login does not decrypt"},
};

namespace detail {
constexpr bool kinds_in_order() {
  int i = 0;
  for (const ErrorKindInfo& info : kErrorKinds) {
    if (static_cast<int>(info.kind) != i++) return false;
  }
  return true;
}
}  // namespace detail
static_assert(detail::kinds_in_order(), "kErrorKinds lists every kind once, in enumerator order");
static_assert(std::size(kErrorKinds) == static_cast<std::size_t>(ErrorKind::stored_login) + 1,
              "a kind without a row in kErrorKinds");

constexpr const ErrorKindInfo& error_kind_info(ErrorKind kind) noexcept {
  return kErrorKinds[static_cast<std::size_t>(kind)];
}
constexpr std::string_view error_kind_name(ErrorKind kind) noexcept { return error_kind_info(kind).name; }

struct FailedPage {
  std::int64_t page = 0;
  std::string reason;

  bool operator==(const FailedPage&) const = default;
};

// Root of every qelkit failure.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;

  virtual ErrorKind kind() const noexcept { return ErrorKind::error; }

  const char* what() const noexcept override {
    return message_ ? message_->c_str() : std::runtime_error::what();
  }

  // Replaces the message (see rethrow_with).
  void set_message(std::string message) { message_ = std::make_shared<const std::string>(std::move(message)); }

  // The rows that did arrive before the failure (a JSON array, empty when
  // none or when the failure is not a detailed query's).
  const Json& rows() const noexcept { return partial_ ? partial_->rows : no_rows(); }

  // The pages that failed, in page order (empty when the failure is not a
  // detailed query's).
  const std::vector<FailedPage>& failed_pages() const noexcept {
    return partial_ ? partial_->failed_pages : no_pages();
  }

  // Attaches the partial outcome of a detailed query; `rows` must be an array.
  void set_partial(Json rows, std::vector<FailedPage> failed_pages) {
    partial_ = std::make_shared<const Partial>(Partial{std::move(rows), std::move(failed_pages)});
  }

 private:
  struct Partial {
    Json rows;
    std::vector<FailedPage> failed_pages;
  };

  static const Json& no_rows() noexcept {
    static const Json* const empty = new Json(Json::array());  // never destroyed
    return *empty;
  }
  static const std::vector<FailedPage>& no_pages() noexcept {
    static const std::vector<FailedPage>* const empty = new std::vector<FailedPage>();
    return *empty;
  }

  std::shared_ptr<const Partial> partial_;
  std::shared_ptr<const std::string> message_;  // set by set_message
};

// One HTTP exchange failed below HTTP: connection, DNS, TLS, time-out, or any
// other libcurl error. The platform client's retry routine swallows exactly
// this kind of failure and nothing else.
class TransportError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::transport; }
};

// Every attempt of a request failed or was refused, so there is no reply to
// read.
class NoReplyError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::no_reply; }
};

// A reply did not have the shape the protocol promises: a body that is not
// JSON, a missing key, a value of the wrong type.
class ProtocolError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::protocol; }
};

// A value could not be converted the way a statistics row needs (for example
// a text that is not an integer where an integer is required).
class ConversionError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::conversion; }
};

// Bytes could not be decoded: invalid Base64, text that is not UTF-8.
class DecodingError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::decoding; }
};

// An argument was refused before any work was done (for example an encrypted
// text too short to carry a nonce or a tag, or a session id holding control
// characters).
class InvalidArgumentError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::invalid_argument; }
};

// Authenticated decryption failed: the tag did not verify. No plaintext is
// released.
class AuthenticationError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::authentication; }
};

// The operating system refused something: a file could not be opened, a child
// process could not be started. The message carries the system's wording.
class SystemError : public Error {
 public:
  using Error::Error;
  ErrorKind kind() const noexcept override { return ErrorKind::system; }
};

// The platform no longer accepts the stored login of an account (it answered
// errCode 300334: the session has expired or was ended). The account must be
// logged in again.
class LoginExpiredError : public Error {
 public:
  LoginExpiredError(const std::string& account, const std::string& message)
      : Error(message), account_(std::make_shared<const std::string>(account)) {}

  ErrorKind kind() const noexcept override { return ErrorKind::login_expired; }

  // The account id whose login has expired.
  const std::string& account() const noexcept { return *account_; }

 private:
  std::shared_ptr<const std::string> account_;  // shared: copies stay nothrow
};

// The platform answered with a status the query cannot serve: one of its
// error codes (an errCode of 303 included), or 303 when it stayed busy
// through every re-request (then the PlatformBusyError below).
class PlatformError : public Error {
 public:
  PlatformError(std::int64_t code, const std::string& message) : Error(message), code_(code) {}
  ErrorKind kind() const noexcept override { return ErrorKind::platform; }

  // The platform's errCode, or 303 (still busy).
  std::int64_t code() const noexcept { return code_; }

 private:
  std::int64_t code_;
};

// The platform stayed busy through every re-request of a page: not a refusal,
// it may serve the query later. Its code() is 303.
class PlatformBusyError : public PlatformError {
 public:
  explicit PlatformBusyError(const std::string& message) : PlatformError(303, message) {}
  ErrorKind kind() const noexcept override { return ErrorKind::platform_busy; }
};

// The data file of stored logins exists but does not read as a JSON object:
// it is not valid JSON, starts with a byte-order mark, holds another kind of
// value, or cannot be read at all. Nothing was asked of the platform.
class DataFileError : public Error {
 public:
  DataFileError(const std::string& path, const std::string& message)
      : Error(message), path_(std::make_shared<const std::string>(path)) {}

  ErrorKind kind() const noexcept override { return ErrorKind::data_file; }

  // The data file's path.
  const std::string& path() const noexcept { return *path_; }

 private:
  std::shared_ptr<const std::string> path_;  // shared: copies stay nothrow
};

// An account named by the caller has no stored login in the data file (it
// was never logged in here, or was forgotten). Nothing was asked of the
// platform.
class AccountNotStoredError : public InvalidArgumentError {
 public:
  AccountNotStoredError(const std::string& account, const std::string& message)
      : InvalidArgumentError(message), account_(std::make_shared<const std::string>(account)) {}

  ErrorKind kind() const noexcept override { return ErrorKind::account_not_stored; }

  // The account id that is not stored.
  const std::string& account() const noexcept { return *account_; }

 private:
  std::shared_ptr<const std::string> account_;  // shared: copies stay nothrow
};

// A detailed statistics query reached its page limit: the platform kept
// answering with rows and the query stopped rather than fetch without end.
class PageLimitError : public ProtocolError {
 public:
  using ProtocolError::ProtocolError;
  ErrorKind kind() const noexcept override { return ErrorKind::page_limit; }
};

// The stored login of an account does not decrypt (written by another build,
// damaged, or not an encrypted text at all): the account must log in again.
// Raised by the SDK's own API (Statistics, Accounts); the facade keeps
// reporting the decryption's own kind.
class StoredLoginError : public Error {
 public:
  StoredLoginError(const std::string& account, const std::string& message)
      : Error(message), account_(std::make_shared<const std::string>(account)) {}
  ErrorKind kind() const noexcept override { return ErrorKind::stored_login; }

  // The account id whose stored login does not decrypt.
  const std::string& account() const noexcept { return *account_; }

 private:
  std::shared_ptr<const std::string> account_;  // shared: copies stay nothrow
};

// Exceptions are copied while they propagate; a copy that could throw would
// end the process.
static_assert(std::is_nothrow_copy_constructible_v<Error>);
static_assert(std::is_nothrow_copy_constructible_v<LoginExpiredError>);
static_assert(std::is_nothrow_copy_constructible_v<PlatformError>);
static_assert(std::is_nothrow_copy_constructible_v<DataFileError>);
static_assert(std::is_nothrow_copy_constructible_v<AccountNotStoredError>);
static_assert(std::is_nothrow_copy_constructible_v<StoredLoginError>);

// Throws the failure `e` again, of its own kind (and with its own account,
// path or code), with `message` in place of its own and the partial outcome
// `rows`/`failed_pages` attached. The error object is changed in place: use
// it for a failure that is this caller's alone. A failure that is not a
// qelkit::Error becomes a plain Error.
[[noreturn]] inline void rethrow_with(std::exception_ptr e, std::string message, Json rows,
                                      std::vector<FailedPage> failed_pages) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (Error& error) {
    error.set_message(std::move(message));
    error.set_partial(std::move(rows), std::move(failed_pages));
    throw;
  } catch (...) {
  }
  Error plain(message);
  plain.set_partial(std::move(rows), std::move(failed_pages));
  throw plain;
}

}  // namespace qelkit
