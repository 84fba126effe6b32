// SpiderDriver::fo on an arbitrary Set-Cookie value: never throws, and each
// member is the value of the first "<name>=<value>;" with a non-empty value,
// or empty; checked against a direct scan of the text.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "qelkit/common/fetchcore.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

std::string first_cookie(std::string_view text, std::string_view name) {
  for (std::size_t i = 0; i + name.size() <= text.size(); ++i) {
    if (text.compare(i, name.size(), name) != 0) continue;
    const std::size_t begin = i + name.size();
    std::size_t end = begin;
    while (end < text.size() && text[end] != ';') ++end;
    if (end < text.size() && end > begin) return std::string(text.substr(begin, end - begin));
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = qelkit_fuzz::as_text(data, size);
  qelkit::Json record;
  try {
    record = qelkit::SpiderDriver::fo(text);
  } catch (const std::exception& e) {
    unexpected("fo", e);
  }
  if (!record.is_object() || record.size() != 2 || !record.contains("session_id") || !record.contains("wx_uin") ||
      !record["session_id"].is_string() || !record["wx_uin"].is_string()) {
    fail("fo's record is not {\"session_id\": text, \"wx_uin\": text}");
  }
  if (record["session_id"].get<std::string>() != first_cookie(text, "sessionid=")) fail("wrong session_id");
  if (record["wx_uin"].get<std::string>() != first_cookie(text, "wxuin=")) fail("wrong wx_uin");
  return 0;
}
