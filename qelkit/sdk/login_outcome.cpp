#include "qelkit/sdk/login_outcome.hpp"

#include <array>
#include <string>
#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/internal/login_completion.hpp"

namespace qelkit {
namespace {

constexpr std::array<const char*, 6> kKindNames = {"stored", "ended", "unconfirmed", "refused", "failed", "cancelled"};

}  // namespace

const char* LoginOutcome::name(Kind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : "failed";
}

Json LoginOutcome::to_json() const {
  Json j = Json::object();
  j["outcome"] = name(kind);
  if (kind == Kind::stored) {
    j["account_id"] = account_id;
    j["display_name"] = display_name ? Json(*display_name) : Json(nullptr);
  }
  if (kind == Kind::refused || kind == Kind::ended) j["code"] = code;
  j["message"] = message;
  if (exit_status) j["exit_status"] = *exit_status;
  if (moved_aside) j["moved_aside"] = *moved_aside;
  return j;
}

LoginOutcome LoginOutcome::from_json(const Json& value) {
  if (!value.is_object()) throw ProtocolError("login outcome: not a JSON object");
  auto text = [&](const char* key) -> std::string {
    auto it = value.find(key);
    if (it == value.end() || !it->is_string()) {
      throw ProtocolError(std::string("login outcome: \"") + key + "\" is missing or not text");
    }
    return it->get<std::string>();
  };
  LoginOutcome o;
  const std::string kind = text("outcome");
  std::size_t i = 0;
  while (i < kKindNames.size() && kind != kKindNames[i]) ++i;
  if (i == kKindNames.size()) throw ProtocolError("login outcome: unknown outcome \"" + kind + "\"");
  o.kind = static_cast<Kind>(i);
  o.message = text("message");
  if (o.kind == Kind::stored) {
    o.account_id = text("account_id");
    auto name = value.find("display_name");
    if (name != value.end() && name->is_string() && !name->get_ref<const std::string&>().empty()) {
      o.display_name = name->get<std::string>();
    }
  }
  if (auto c = value.find("code"); c != value.end()) {
    if (!c->is_number_integer()) throw ProtocolError("login outcome: \"code\" is not an integer");
    o.code = c->get<std::int64_t>();
  }
  if (auto s = value.find("exit_status"); s != value.end()) {
    if (!s->is_number_integer()) throw ProtocolError("login outcome: \"exit_status\" is not an integer");
    o.exit_status = s->get<int>();
  }
  if (auto m = value.find("moved_aside"); m != value.end()) {
    if (!m->is_string()) throw ProtocolError("login outcome: \"moved_aside\" is not text");
    o.moved_aside = m->get<std::string>();
  }
  return o;
}

namespace detail {

LoginOutcome make_outcome(LoginOutcome::Kind kind, std::string message) {
  LoginOutcome o;
  o.kind = kind;
  o.message = std::move(message);
  return o;
}

}  // namespace detail

}  // namespace qelkit
