#include "qelkit/sdk/accounts.hpp"

#include <cstdint>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/common/platform_codes.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

// Thrown inside the locked update when the account went meanwhile, so that
// nothing is rewritten.
struct AlreadyGone {};

}  // namespace

std::vector<std::string> Accounts::list() {
  const Json stored = detail::stored_logins();
  std::vector<std::string> ids;
  for (const auto& [id, value] : stored.items()) ids.push_back(id);
  return ids;
}

AccountCheck Accounts::check(const std::string& account) {
  const std::string session = detail::required_session(account);
  const std::string what = "authorisation data of account " + account;
  std::int64_t refused = 0;
  const std::optional<Json> record = SpiderDriver().add(session, &refused);
  if (!record) {
    throw PlatformError(refused, "the platform refused the " + what + " (errCode " + std::to_string(refused) + ")");
  }
  AccountCheck result;
  result.account = account;
  const int code = detail::record_code(*record, what);
  if (code == kCodeLoginExpired) return result;  // expired
  if (code != 0) throw PlatformError(code, "the platform refused the " + what + " (code " + std::to_string(code) + ")");

  const Json& user = detail::member(*record, "data", what);
  if (!user.is_object()) throw ProtocolError(what + ": the account record is not an object");
  // The session must be this account's: a data file whose members were
  // renamed or copied between accounts would otherwise report another
  // account's login as this one's.
  if (auto id = user.find("uniqId"); id != user.end()) {
    const std::string platform_id = detail::text_form(*id, what + ": uniqId");
    if (platform_id != account) {
      // The stored id last: a message is cut at a NUL byte in it.
      throw ProtocolError("the platform says that the stored login belongs to account " + platform_id +
                          ", but it is stored as account " + account);
    }
  }
  result.state = AccountCheck::State::live;
  if (auto name = user.find("nickname"); name != user.end() && name->is_string()) {
    const std::string& text = name->get_ref<const std::string&>();
    if (!text.empty()) result.display_name = text;
  }
  return result;
}

void Accounts::heartbeat(const std::string& account) { SpiderDriver().owit(detail::required_session(account)); }

bool Accounts::forget(const std::string& account) {
  // A strict read first: no data file, or no such member, changes nothing
  // (not even a lock file is made); an unreadable file is reported as is.
  if (!detail::stored_logins().contains(account)) return false;
  try {
    detail::update_stored_logins(
        [&](Json& stored) {
          if (stored.erase(account) == 0) throw AlreadyGone{};
        },
        detail::Unreadable::refuse);
  } catch (const AlreadyGone&) {
    return false;  // forgotten by another process in the meantime
  }
  return true;
}

}  // namespace qelkit
