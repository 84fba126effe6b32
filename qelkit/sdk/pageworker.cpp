#include "qelkit/sdk/pageworker.hpp"

#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <openssl/evp.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/platform_codes.hpp"

namespace qelkit {

namespace {

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // +1 for the NUL EVP writes
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// `J` is `const Json` (the value is copied out) or `Json` (moved out).
template <typename J>
J& required(J& row, std::string_view key) {
  auto it = row.find(key);
  if (it == row.end()) {
    throw ProtocolError("statistics row lacks \"" + std::string(key) + "\"");
  }
  return *it;
}

std::int64_t integer_or_zero(const Json& row, std::string_view key) {
  auto it = row.find(key);
  if (it == row.end()) return 0;
  try {
    return to_integer(*it);
  } catch (const ConversionError& e) {
    throw ConversionError("statistics row \"" + std::string(key) + "\": " + e.what());
  }
}

// The page's status code, as owin returns it.
std::int64_t page_code(const Json& record) {
  auto it = record.is_object() ? record.find("code") : record.end();
  if (it == record.end() || !it->is_number_integer()) {
    throw ProtocolError("the download page's record has no integer \"code\"");
  }
  return it->get<std::int64_t>();
}

template <typename J>
J& page_member(J& object, std::string_view key) {
  if (!object.is_object()) throw ProtocolError("the download page's \"data\" is not an object");
  auto it = object.find(key);
  if (it == object.end()) throw ProtocolError("the download page lacks \"" + std::string(key) + "\"");
  return *it;
}

// The class of a failure as a caller would catch it: a qelkit error's from
// its kind, the few standard ones a page can meet by name.
std::string error_kind_of(const std::exception& e) {
  if (const auto* error = dynamic_cast<const Error*>(&e)) return std::string(error_kind_info(error->kind()).class_name);
  if (dynamic_cast<const std::out_of_range*>(&e)) return "std::out_of_range";
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "std::bad_alloc";
  return "std::exception";
}

}  // namespace

std::string QelExc::_encode_varint(std::int64_t v) {
  if (v < 0) throw std::invalid_argument("Varint 只能编码非负整数");
  auto u = static_cast<std::uint64_t>(v);
  std::string out;
  while (u > 0x7F) {
    out.push_back(static_cast<char>((u & 0x7F) | 0x80));
    u >>= 7;
  }
  out.push_back(static_cast<char>(u));
  return out;
}

std::string QelExc::encode(std::int64_t a) {
  if (a < 1) return "";
  if (a > std::numeric_limits<std::int64_t>::max() / kPageSize) {
    throw std::out_of_range("page number " + std::to_string(a) + " is too large for the page cursor");
  }
  std::string message;
  message.push_back(static_cast<char>(FIELD_1_TAG));
  message += _encode_varint(a * kPageSize);
  message.push_back(static_cast<char>(FIELD_2_TAG));
  message += _encode_varint(kPageSize);
  return base64(message);
}

Json QelExc::request_body(const Json& c, std::int64_t b) {
  std::string ts;
  if (c.is_string()) {
    ts = c.get<std::string>();
  } else if (c.is_number_integer()) {  // signed and unsigned alike
    ts = c.dump();
  } else {
    throw InvalidArgumentError("the time queried must be an integer or a text, not " + c.dump());
  }
  Json where = Json::object();
  where["startTs"] = ts;
  where["endTs"] = ts;
  if (b > 0) where["pageBuffer"] = encode(b);
  return where;
}

namespace {

constexpr std::size_t kNormalisedKeys = 9;

// The normalised row of `row`. With a non-const `row` its texts are moved
// out rather than copied (the page worker drops the page right after); a
// failure then leaves `row` partly moved from.
template <typename J>
Json normalised(J& row) {
  if (!row.is_object()) {
    // A text made by the caller need not be UTF-8; the message shows it anyway.
    throw ProtocolError("statistics row is not an object: " +
                        row.dump(-1, ' ', false, Json::error_handler_t::replace));
  }
  // Every key is checked, in the order the row is built, before anything is
  // moved out.
  J& date = required(row, "date");
  J& qel_id = required(row, "finderQelid");
  J& drama_name = required(row, "dramaName");
  auto mount = row.find("isAttachment");
  const bool is_mount = mount != row.end() && truth(*mount);
  const std::int64_t feed = integer_or_zero(row, "feedReadCount");
  const std::int64_t drama = integer_or_zero(row, "dramaReadCount");
  const std::int64_t iaa = integer_or_zero(row, "iaaProfit");
  const std::int64_t attach = integer_or_zero(row, "attachProfit");
  J& nickname = required(row, "finderNickname");

  // Every row of a query stays alive until the query returns: its members
  // get exactly the room they need (growth by doubling would leave 16).
  Json out = Json::object();
  out.get_ref<Json::object_t&>().reserve(kNormalisedKeys);
  out["date"] = std::move(date);
  out["qel_id"] = std::move(qel_id);
  out["drama_name"] = std::move(drama_name);
  out["is_mount"] = is_mount;
  out["feed_read_count"] = feed;
  out["drama_read_count"] = drama;
  out["iaa_income"] = iaa;
  out["mount_income"] = attach;
  out["qel_nickname"] = std::move(nickname);
  return out;
}

}  // namespace

Json QelExc::normalise_row(const Json& row) { return normalised(row); }

PageOutcome PageOutcome::of_answer() {
  PageOutcome o;
  o.kind = Kind::answered;
  return o;
}

PageOutcome PageOutcome::of_status(std::int64_t code, bool stayed_busy) {
  PageOutcome o;
  o.kind = Kind::status;
  o.code = code;
  o.stayed_busy = stayed_busy;
  return o;
}

PageOutcome PageOutcome::of_failure(std::exception_ptr e) {
  PageOutcome o;
  o.kind = Kind::failure;
  o.error = e;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    o.error_kind = error_kind_of(x);
    o.message = x.what();
  } catch (...) {
    o.error_kind = "unknown";
    o.message = "an exception that is not a std::exception";
  }
  return o;
}

std::string PageOutcome::describe() const {
  switch (kind) {
    case Kind::not_run:
      return "not fetched";
    case Kind::answered:
      return "answered";
    case Kind::status:
      if (code == kCodeLoginExpired) return "code 300: the platform no longer accepts the login";
      if (stayed_busy) return "code 303: the platform stayed busy through every re-request";
      return "code " + std::to_string(code) + " from the platform";
    case Kind::failure:
      return error_kind + ": " + message;
  }
  return "unknown";
}

void QelExc::run() {
  try {
    Json where_data = request_body(c, b);
    bool stayed_busy = false;
    Json res_data = SpiderDriver().owin(a, where_data, &stayed_busy);
    const std::int64_t code = page_code(res_data);
    if (code != 0) {
      outcome = PageOutcome::of_status(code, stayed_busy);
      return;
    }
    Json& page = page_member(res_data, "data");
    d = truth(page_member(page, "continueFlag"));
    Json& source = page_member(page, "dataRows");
    if (!source.is_array()) throw ProtocolError("\"dataRows\" is not a list");
    if (source.size() > kMaxPageRows) {
      throw PageLimitError("page " + std::to_string(b) + " of the detailed statistics holds " +
                           std::to_string(source.size()) + " rows, more than the " + std::to_string(kMaxPageRows) +
                           " a page may hold");
    }
    // The page is this worker's own: its texts move into the rows.
    Json rows = Json::array();
    rows.get_ref<Json::array_t&>().reserve(source.size());
    for (Json& row : source) rows.push_back(normalised(row));
    data = std::move(rows);
    outcome = PageOutcome::of_answer();
  } catch (...) {
    // A failed page yields no rows; the outcome tells the fan-out why.
    outcome = PageOutcome::of_failure(std::current_exception());
  }
}

}  // namespace qelkit
