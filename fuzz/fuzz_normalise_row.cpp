// QelExc::normalise_row on arbitrary rows: a nine-key row or a qelkit::Error
// (ProtocolError, ConversionError), never anything else.
//
// Byte 0 picks how the rest becomes a row: parsed as a platform reply is
// (Reply::json, which also bounds the nesting depth), or, for bytes that are not JSON, put as a text into an otherwise
// complete row (under a counter key or a copied key) or used as the row
// itself. Texts built that way need not be UTF-8, which a host calling the
// static helper directly can also hand over.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/sdk/pageworker.hpp"

using qelkit::Json;
using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

constexpr const char* kKeys[] = {"date", "finderQelid", "dramaName", "isAttachment", "feedReadCount",
                                 "dramaReadCount", "iaaProfit", "attachProfit", "finderNickname"};

Json complete_row() {
  return Json{{"date", "2026-03-01"}, {"finderQelid", "v2_qel"},  {"dramaName", "drama"},
              {"isAttachment", 1},    {"feedReadCount", "12"},    {"dramaReadCount", 3.7},
              {"iaaProfit", true},    {"attachProfit", -5},       {"finderNickname", "nick"}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  Json row;
  const unsigned mode = data[0] % 4;
  if (mode == 0) {
    // Parsed the way the platform client parses every reply.
    try {
      row = qelkit::Reply(qelkit::HttpResponse{200, rest, {}, "1.1"}).json();
    } catch (const qelkit::ProtocolError&) {
      return 0;
    }
  } else if (mode == 3) {
    row = rest;
  } else {
    row = complete_row();
    row[kKeys[data[0] / 4 % 9]] = rest;
  }

  Json out;
  try {
    out = qelkit::QelExc::normalise_row(row);
  } catch (const qelkit::Error&) {
    return 0;
  } catch (const std::exception& e) {
    unexpected("normalise_row", e);
  }
  static constexpr const char* kOut[] = {"date", "qel_id", "drama_name", "is_mount", "feed_read_count",
                                         "drama_read_count", "iaa_income", "mount_income", "qel_nickname"};
  if (!out.is_object() || out.size() != 9) fail("normalised row has not nine keys");
  std::size_t i = 0;
  for (const auto& [key, value] : out.items()) {
    if (key != kOut[i]) fail("normalised row key " + std::to_string(i) + " is " + key);
    if (i == 3 && !value.is_boolean()) fail("is_mount is not a boolean");
    if (i >= 4 && i <= 7 && !value.is_number_integer()) fail(key + " is not an integer");
    ++i;
  }
  if (out["date"] != row["date"] || out["qel_id"] != row["finderQelid"] || out["drama_name"] != row["dramaName"] ||
      out["qel_nickname"] != row["finderNickname"]) {
    fail("copied keys changed");
  }
  return 0;
}
