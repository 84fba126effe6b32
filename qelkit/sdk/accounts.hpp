// Stored accounts: the logins that QR logins left in json/data.json under the
// working directory, listed, checked against the platform, kept alive and
// forgotten.
//
// Accounts has static operations only and no state; every call reads the data
// file afresh and stands alone, so calls from several threads or processes at
// once are safe. forget() changes the file under the same lock and with the
// same private, crash-safe write as a login completion, so a login finishing
// while an account is forgotten keeps its account, and the forgotten one stays
// gone. The other operations only read the file.
//
// Remembered display names. A check that finds a live login with a display
// name writes it, with the time of the check, to json/names.json beside the
// data file, so that the name stays known once the login has expired. That
// side file holds no secret (mode from the umask) and is never part of
// json/data.json: it is a JSON object
//   {"<account id>": {"display_name": "<text>", "checked": "2026-04-12T08:30:00Z"}, ...}
// ("checked" in UTC, ISO 8601), replaced atomically like any document of the
// JSON file store (a symbolic link of another user is never followed).
// forget() removes the account's entry. The side file is a convenience: a
// failure to read or write it never fails a check or a forget (the answer
// from the platform and the data file are what count); a damaged side file
// reads as "no names" and is replaced by the next check. Writers in one
// process take turns; two processes checking at the same moment may lose one
// name update, which the next check restores.
//
// Failures are exceptions from qelkit/common/errors.hpp:
// - a data file that exists but does not read as a JSON object (invalid JSON,
//   a byte-order mark, another kind of value, no permission): DataFileError
//   naming the file; nothing is asked of the platform and nothing is written;
// - an account that is not stored: AccountNotStoredError naming it (an
//   InvalidArgumentError); nothing is asked of the platform;
// - a stored value that does not decrypt (or is not an encrypted text at
//   all): StoredLoginError naming the account;
// - the platform out of reach: NoReplyError or TransportError; a reply of the
//   wrong shape, or an account record that does not name the stored account
//   (another uniqId, or none): ProtocolError; a refusal other than an expired login:
//   PlatformError with the platform's errCode.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace qelkit {

// What the platform said about one stored login.
struct AccountCheck {
  enum class State {
    live,     // the platform accepts the stored session
    expired,  // it no longer does (errCode 300334): the account must log in again
  };

  std::string account;
  State state = State::expired;
  // The account's display name (the "nickname" of the platform's account
  // record) when the login is live and the record has a non-empty one.
  std::optional<std::string> display_name;

  bool live() const noexcept { return state == State::live; }
};

// One account's result in Accounts::check_all: either what check() returned
// or what it threw.
struct AccountCheckResult {
  std::string account;
  std::optional<AccountCheck> check;  // set when the check answered
  std::exception_ptr failure;         // set otherwise: what check() threw
};

class Accounts {
 public:
  Accounts() = delete;

  // The stored account ids, in the order of the data file (the order in which
  // they were first stored). Empty when there is no data file.
  static std::vector<std::string> list();

  // Asks the platform for the account record with the stored session: live
  // (with the display name) or expired. Throws as the header says.
  static AccountCheck check(const std::string& account);

  // How many checks check_all runs at a time unless told otherwise.
  static constexpr std::size_t kCheckParallelism = 4;

  // Checks each of `accounts` as check() does, at most `parallelism` at a time
  // (0 counts as 1), on threads of its own that end before the call
  // returns. One result per account, in the order given; an account whose
  // check throws has the exception in its result and does not stop the
  // others. Never throws for a failed check (std::system_error when no thread
  // can be started).
  static std::vector<AccountCheckResult> check_all(const std::vector<std::string>& accounts,
                                                   std::size_t parallelism = kCheckParallelism);

  // The display name that the last check of `account` which found one
  // remembered (see above), or nothing. Reads only json/names.json: the data
  // file and the platform are not asked, so a forgotten account's name is
  // gone and an account stored in another way has none. Never throws.
  static std::optional<std::string> remembered_name(const std::string& account);

  // Sends the platform's online heartbeat once with the stored session. The
  // platform's answer is not read (the heartbeat reports nothing): whether
  // the login is still accepted is check()'s question. Throws as the header
  // says (a transport failure as TransportError, not retried).
  static void heartbeat(const std::string& account);

  // Removes the account's stored login; returns whether it was stored. Other
  // accounts stay as they are, and the file keeps readable by its owner only
  // (it is replaced atomically, or rewritten in place where a rename cannot
  // serve, e.g. in a read-only directory). A data file that does not read is
  // a DataFileError and is left exactly where and as it is (a login child
  // would move it aside; forgetting refuses instead). Throws SystemError when the
  // file cannot be locked or written (it then stays as it was). The account's
  // remembered display name goes too.
  static bool forget(const std::string& account);
};

}  // namespace qelkit
