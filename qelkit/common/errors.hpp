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
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qelkit {

using Json = nlohmann::ordered_json;

// A page of a detailed statistics query that brought no rows because it
// failed: its number (counted from 0) and why, in words.
struct FailedPage {
  std::int64_t page = 0;
  std::string reason;

  bool operator==(const FailedPage&) const = default;
};

// Root of every qelkit failure.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;

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

// The platform no longer accepts the stored login of an account (it answered
// errCode 300334: the session has expired or was ended). The account must be
// logged in again.
class LoginExpiredError : public Error {
 public:
  LoginExpiredError(const std::string& account, const std::string& message)
      : Error(message), account_(std::make_shared<const std::string>(account)) {}

  // The account id whose login has expired.
  const std::string& account() const noexcept { return *account_; }

 private:
  std::shared_ptr<const std::string> account_;  // shared: copies stay nothrow
};

// The platform answered with a status the query cannot serve: 303 when it
// stayed busy through every re-request, or another of its error codes.
class PlatformError : public Error {
 public:
  PlatformError(std::int64_t code, const std::string& message) : Error(message), code_(code) {}

  // 303 (still busy), or the platform's errCode.
  std::int64_t code() const noexcept { return code_; }

 private:
  std::int64_t code_;
};

// The data file of stored logins exists but does not read as a JSON object:
// it is not valid JSON, starts with a byte-order mark, holds another kind of
// value, or cannot be read at all. Nothing was asked of the platform.
class DataFileError : public Error {
 public:
  DataFileError(const std::string& path, const std::string& message)
      : Error(message), path_(std::make_shared<const std::string>(path)) {}

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
};

// Exceptions are copied while they propagate; a copy that could throw would
// end the process.
static_assert(std::is_nothrow_copy_constructible_v<Error>);
static_assert(std::is_nothrow_copy_constructible_v<LoginExpiredError>);
static_assert(std::is_nothrow_copy_constructible_v<PlatformError>);
static_assert(std::is_nothrow_copy_constructible_v<DataFileError>);
static_assert(std::is_nothrow_copy_constructible_v<AccountNotStoredError>);

}  // namespace qelkit
