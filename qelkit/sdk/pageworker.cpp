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

namespace qelkit {

namespace {

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // +1 for the NUL EVP writes
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

const Json& required(const Json& row, std::string_view key) {
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

const Json& page_member(const Json& object, std::string_view key) {
  if (!object.is_object()) throw ProtocolError("the download page's \"data\" is not an object");
  auto it = object.find(key);
  if (it == object.end()) throw ProtocolError("the download page lacks \"" + std::string(key) + "\"");
  return *it;
}

// The class of a failure, most derived first, as a caller would catch it.
std::string error_kind_of(const std::exception& e) {
  if (dynamic_cast<const LoginExpiredError*>(&e)) return "LoginExpiredError";
  if (dynamic_cast<const PlatformError*>(&e)) return "PlatformError";
  if (dynamic_cast<const DataFileError*>(&e)) return "DataFileError";
  if (dynamic_cast<const PageLimitError*>(&e)) return "PageLimitError";
  if (dynamic_cast<const TransportError*>(&e)) return "TransportError";
  if (dynamic_cast<const NoReplyError*>(&e)) return "NoReplyError";
  if (dynamic_cast<const ProtocolError*>(&e)) return "ProtocolError";
  if (dynamic_cast<const ConversionError*>(&e)) return "ConversionError";
  if (dynamic_cast<const DecodingError*>(&e)) return "DecodingError";
  if (dynamic_cast<const InvalidArgumentError*>(&e)) return "InvalidArgumentError";
  if (dynamic_cast<const AuthenticationError*>(&e)) return "AuthenticationError";
  if (dynamic_cast<const SystemError*>(&e)) return "SystemError";
  if (dynamic_cast<const Error*>(&e)) return "Error";
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

Json QelExc::normalise_row(const Json& row) {
  if (!row.is_object()) {
    // A text made by the caller need not be UTF-8; the message shows it anyway.
    throw ProtocolError("statistics row is not an object: " +
                        row.dump(-1, ' ', false, Json::error_handler_t::replace));
  }
  Json out = Json::object();
  out["date"] = required(row, "date");
  out["qel_id"] = required(row, "finderQelid");
  out["drama_name"] = required(row, "dramaName");
  auto mount = row.find("isAttachment");
  out["is_mount"] = mount != row.end() && truth(*mount);
  out["feed_read_count"] = integer_or_zero(row, "feedReadCount");
  out["drama_read_count"] = integer_or_zero(row, "dramaReadCount");
  out["iaa_income"] = integer_or_zero(row, "iaaProfit");
  out["mount_income"] = integer_or_zero(row, "attachProfit");
  out["qel_nickname"] = required(row, "finderNickname");
  return out;
}

PageOutcome PageOutcome::of_answer() {
  PageOutcome o;
  o.kind = Kind::answered;
  return o;
}

PageOutcome PageOutcome::of_status(std::int64_t code) {
  PageOutcome o;
  o.kind = Kind::status;
  o.code = code;
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
      if (code == 300) return "code 300: the platform no longer accepts the login";
      if (code == 303) return "code 303: the platform stayed busy through every re-request";
      return "code " + std::to_string(code) + " from the platform";
    case Kind::failure:
      return error_kind + ": " + message;
  }
  return "unknown";
}

void QelExc::run() {
  try {
    Json where_data = request_body(c, b);
    Json res_data = SpiderDriver().owin(a, where_data);
    const std::int64_t code = page_code(res_data);
    if (code != 0) {
      outcome = PageOutcome::of_status(code);
      return;
    }
    const Json& page = page_member(res_data, "data");
    d = truth(page_member(page, "continueFlag"));
    const Json& source = page_member(page, "dataRows");
    if (!source.is_array()) throw ProtocolError("\"dataRows\" is not a list");
    Json rows = Json::array();
    for (const Json& row : source) rows.push_back(normalise_row(row));
    data = std::move(rows);
    outcome = PageOutcome::of_answer();
  } catch (...) {
    // A failed page yields no rows; the outcome tells the fan-out why.
    outcome = PageOutcome::of_failure(std::current_exception());
  }
}

}  // namespace qelkit
