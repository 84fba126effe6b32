#include "qelkit/sdk/accounts.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/internal/utc_time.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/common/platform_codes.hpp"
#include "qelkit/sdk/internal/stored_logins.hpp"

namespace qelkit {
namespace {

// The side file of remembered display names, beside the data file.
constexpr const char* kNamesFile = "names.json";

// Read-modify-writes of the side file in this process take turns.
std::mutex& names_mutex() {
  static std::mutex* const mutex = new std::mutex;  // never destroyed: checks may run at exit
  return *mutex;
}

// The side file's object; anything else (missing, damaged) reads as none.
Json load_names() {
  Json names = JsonFileHandler::load_data(kNamesFile);
  return names.is_object() ? names : Json::object();
}


// Applies `change` to the side file and writes it back; never throws, since
// a name kept for display must never fail the operation that found it.
template <typename Change>
void update_names(Change change) noexcept {
  try {
    const std::lock_guard<std::mutex> lock(names_mutex());
    Json names = load_names();
    if (!change(names)) return;
    JsonFileHandler::save_data(names, kNamesFile);
  } catch (...) {
  }
}

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
  // account's login as this one's. A record without the id cannot tell
  // whose login it is, so it is never taken for this account's.
  auto id = user.find("uniqId");
  if (id == user.end()) {
    throw ProtocolError("the platform's account record for the stored login of account " + account +
                        " has no uniqId, so it cannot confirm whose login it is");
  }
  const std::string platform_id = detail::text_form(*id, what + ": uniqId");
  if (platform_id != account) {
    // The stored id last: a message is cut at a NUL byte in it.
    throw ProtocolError("the platform says that the stored login belongs to account " + platform_id +
                        ", but it is stored as account " + account);
  }
  result.state = AccountCheck::State::live;
  if (auto name = user.find("nickname"); name != user.end() && name->is_string()) {
    const std::string& text = name->get_ref<const std::string&>();
    if (!text.empty()) result.display_name = text;
  }
  if (result.display_name) {
    update_names([&](Json& names) {
      names[account] = Json{{"display_name", *result.display_name}, {"checked", detail::utc_now_text()}};
      return true;
    });
  }
  return result;
}

std::vector<AccountCheckResult> Accounts::check_all(const std::vector<std::string>& accounts,
                                                    std::size_t parallelism) {
  std::vector<AccountCheckResult> results(accounts.size());
  std::atomic<std::size_t> next{0};
  // Each slot is written by the one thread that took its index.
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < accounts.size();) {
      results[i].account = accounts[i];
      try {
        results[i].check = check(accounts[i]);
      } catch (...) {
        results[i].failure = std::current_exception();
      }
    }
  };
  {
    std::vector<std::jthread> threads;
    const std::size_t count = std::min(std::max<std::size_t>(parallelism, 1), accounts.size());
    threads.reserve(count);
    for (std::size_t t = 0; t < count; ++t) threads.emplace_back(work);
  }  // joined here, before `results` is returned
  return results;
}

std::optional<std::string> Accounts::remembered_name(const std::string& account) {
  try {
    const Json names = load_names();
    const auto entry = names.find(account);
    if (entry == names.end() || !entry->is_object()) return std::nullopt;
    const auto name = entry->find("display_name");
    if (name == entry->end() || !name->is_string() || name->get_ref<const std::string&>().empty()) {
      return std::nullopt;
    }
    return name->get<std::string>();
  } catch (...) {
    return std::nullopt;
  }
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
  update_names([&](Json& names) { return names.erase(account) > 0; });
  return true;
}

}  // namespace qelkit
