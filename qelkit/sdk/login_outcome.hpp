// LoginOutcome: how a QR login ended, as Login::wait() reports it and as the
// login child writes it to its host (one JSON line).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "qelkit/common/json.hpp"

namespace qelkit {

// How a login ended.
struct LoginOutcome {
  enum class Kind {
    stored,       // confirmed and stored: account_id, and display_name when the account has one
    ended,        // the platform ended the login (status 4): cancelled on the phone, or the code expired
    unconfirmed,  // not confirmed within the completion's limit (300 s)
    refused,      // the platform did not grant the account data; `code` is its code (300: session expired)
    failed,       // the login could not complete or be stored; `message` says why
    cancelled,    // ended by Login::cancel() before it had an outcome
  };
  Kind kind = Kind::failed;
  std::string account_id;                   // stored only
  std::optional<std::string> display_name;  // stored only: the account's nickname, when not empty (its first 1,024 bytes)
  std::int64_t code = 0;                    // refused: the platform's code; ended: the status (4)
  std::string message;                      // a sentence on the outcome, for people (never empty)
  // failed only, when the child ended without reporting: its exit status, or
  // minus the signal that ended it.
  std::optional<int> exit_status;
  // Set when the data file, readable when the login started, no longer read
  // as a JSON object when the login was stored: it was moved aside so that
  // the login is not lost, and this sentence says why, where to, and that
  // the logins it held are no longer used until it is repaired. Hosts show it.
  std::optional<std::string> moved_aside;

  // The kind's name as it is printed and reported: "stored", "ended",
  // "unconfirmed", "refused", "failed", "cancelled".
  static const char* name(Kind kind);
  const char* kind_name() const { return name(kind); }
  // The outcome as a JSON object: {"outcome": name, ...} with "account_id"
  // and "display_name" (stored), "code" (refused, ended), "message", and
  // "exit_status" and "moved_aside" when known.
  Json to_json() const;
  // The outcome read back from to_json()'s form. Throws ProtocolError when it
  // is not one.
  static LoginOutcome from_json(const Json& value);
};

}  // namespace qelkit
