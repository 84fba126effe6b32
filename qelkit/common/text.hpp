// Text helpers shared by the libraries (header-only: they add no link edge).
#pragma once

#include <string>
#include <string_view>

#include "qelkit/common/json.hpp"

namespace qelkit {

// Decodes bytes as UTF-8; every maximal invalid subsequence (and a truncated
// sequence at the end) becomes one U+FFFD. Valid input comes back unchanged.
inline std::string decode_utf8_replace(std::string_view bytes) {
  // The serializer's "replace" policy turns each maximal invalid subsequence
  // into one U+FFFD; parsing the result back undoes the JSON escaping.
  return Json::parse(Json(std::string(bytes)).dump(-1, ' ', false, Json::error_handler_t::replace))
      .get<std::string>();
}

}  // namespace qelkit
