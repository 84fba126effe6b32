// Stored logins (internal to qelfacade): the data file and the fields of
// platform records, shared by the facade and the SDK's login and account
// objects.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "qelkit/common/json.hpp"
#include "qelkit/common/sealbox.hpp"

namespace qelkit::detail {

// The cipher of stored session ids (the storage pass phrase is fixed by the
// stored format: changing it makes every earlier stored login unreadable).
CryptoHelper storage_crypto();

// The data file's name as given to the JSON file store (json/data.json);
// the facade names it as QelDriver::kDataFile.
inline constexpr std::string_view kDataFileName = "data.json";
const std::string& data_file();

// The stored logins for a query: {account id: encrypted session id}. A
// missing file has none; one that exists but does not read as a JSON object
// is a DataFileError naming the file, never "no logins"; its message says how
// to move the file aside or repair it, and quotes nothing of its content.
Json stored_logins();

// How a stored login that does not decrypt is reported: the facade keeps the
// decryption's own kind (AuthenticationError, DecodingError or
// InvalidArgumentError; a value that is not text: ProtocolError), the SDK's
// own API says StoredLoginError.
enum class UndecryptableLogin { own_kind, stored_login_error };

// The decrypted session id of a stored account, or nothing when the account
// is not stored. A stored value that does not decrypt throws as
// `undecryptable` says, naming the account.
std::optional<std::string> stored_session(const std::string& qel_id,
                                          UndecryptableLogin undecryptable = UndecryptableLogin::own_kind);

// The decrypted session id of a stored account for the SDK's own API:
// AccountNotStoredError when it is not stored, StoredLoginError when it does
// not decrypt.
std::string required_session(const std::string& account);

// What a read-modify-write does with a data file that does not read as a
// JSON object: a login moves it aside and starts a new one (the new login
// must land somewhere); a removal refuses, leaving it where it is.
enum class Unreadable { move_aside, refuse };

// Read-modify-write of the stored logins: takes the data file's lock (on
// the file itself, whatever path reaches it), reads
// it (a file that is not a JSON object is moved aside, never overwritten, or
// with Unreadable::refuse left untouched and reported as DataFileError),
// lets `change` edit the object and writes it back privately and atomically
// (in place where a rename cannot serve), then reads it back: what was
// written must be what the file holds. Nothing is written when `change`
// throws. Throws SystemError or another qelkit::Error when the file cannot be
// locked, read or written; the file is then left as it was. When a file was
// moved aside and `moved_aside` is given, it receives a sentence saying why,
// where to, and that the logins it held are no longer used (no file content).
void update_stored_logins(const std::function<void(Json&)>& change, Unreadable unreadable = Unreadable::move_aside,
                          std::string* moved_aside = nullptr);

// The member `key` of `object`, or a ProtocolError naming what was read.
const Json& member(const Json& object, const char* key, const std::string& what);

// The integer "code" of a platform record, or a ProtocolError.
int record_code(const Json& record, const std::string& what);

// Text form of a value the platform gave as text or number.
std::string text_form(const Json& value, const std::string& what);

}  // namespace qelkit::detail
