// The JSON value type of qelkit and the two conversions statistics rows need.
//
// `Json` is nlohmann's ordered JSON: objects keep their members in insertion
// order, which the platform's request bodies, the rows and the data file rely
// on. Both conversions are pure functions and safe to call from any thread.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "qelkit/common/errors.hpp"

namespace qelkit {

using Json = nlohmann::ordered_json;

// Truth value with the usual dynamic-language meaning: false, null, 0, 0.0,
// "", [] and {} are false; every other value is true.
inline bool truth(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return v.get<bool>();
    case Json::value_t::number_integer:
      return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return v.get<double>() != 0.0;
    case Json::value_t::string:
      return !v.get_ref<const Json::string_t&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !v.empty();
    default:
      return true;  // binary and discarded values never come from a parse
  }
}

// Converts a JSON value to an integer:
// - an integer is used unchanged;
// - true and false give 1 and 0;
// - a number with a fraction is cut toward zero;
// - a text holding a decimal integer (optional sign, surrounding white space)
//   is parsed.
// Anything else (null, other text, an array, an object, a value outside the
// 64-bit range, NaN or infinity) throws ConversionError.
inline std::int64_t to_integer(const Json& v) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  switch (v.type()) {
    case Json::value_t::boolean:
      return v.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer:
      return v.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(kMax)) {
        throw ConversionError("integer out of range: " + v.dump());
      }
      return static_cast<std::int64_t>(u);
    }
    case Json::value_t::number_float: {
      double d = std::trunc(v.get<double>());
      // 2^63 is exactly representable; anything at or beyond it does not fit.
      if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
        throw ConversionError("cannot convert " + v.dump() + " to an integer");
      }
      return static_cast<std::int64_t>(d);
    }
    case Json::value_t::string: {
      const auto& s = v.get_ref<const Json::string_t&>();
      auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
      std::size_t b = 0, e = s.size();
      while (b < e && is_space(s[b])) ++b;
      while (e > b && is_space(s[e - 1])) --e;
      std::size_t digits = b;
      if (digits < e && (s[digits] == '+' || s[digits] == '-')) ++digits;
      bool ok = digits < e;
      for (std::size_t i = digits; i < e && ok; ++i) ok = s[i] >= '0' && s[i] <= '9';
      if (!ok) {
        // The text may come from the caller rather than a parse: need not be UTF-8.
        throw ConversionError("not a decimal integer: " + v.dump(-1, ' ', false, Json::error_handler_t::replace));
      }
      std::string core = s.substr(b, e - b);
      errno = 0;
      char* end = nullptr;
      long long parsed = std::strtoll(core.c_str(), &end, 10);
      if (errno == ERANGE) {
        throw ConversionError("integer out of range: " + v.dump());
      }
      return static_cast<std::int64_t>(parsed);
    }
    default:
      throw ConversionError("cannot convert " + v.dump(-1, ' ', false, Json::error_handler_t::replace) +
                            " to an integer");
  }
}

}  // namespace qelkit
