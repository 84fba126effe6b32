// The substitute platform's page-cursor decoder.
//
// Byte 0 picks the mode. Odd: the rest is a cursor text as a client might
// send it; decode_cursor returns a cursor or nothing and never throws, and a
// cursor it returns has a page size from 1 to 1000. Even: the rest gives an
// offset and a page size, encoded here as the client encodes a cursor (tags
// 08 and 10, varints, standard Base64); the decoder must read back exactly
// those values (page sizes outside 1..1000 are refused).
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "sim_data.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

void put_varint(std::string& out, std::uint64_t v) {
  while (v > 0x7F) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

std::string base64(const std::string& raw) {
  std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(raw.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<platform_sim::Cursor> decode(std::string_view text) {
  try {
    return platform_sim::decode_cursor(text);
  } catch (const std::exception& e) {
    unexpected("decode_cursor", e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    const auto cursor = decode(qelkit_fuzz::as_text(data + 1, size - 1));
    if (cursor && (cursor->page_size == 0 || cursor->page_size > 1000)) fail("accepted a page size out of range");
    return 0;
  }

  std::uint64_t offset = 0, page_size = 0;
  const std::size_t take = size - 1 < 16 ? size - 1 : 16;
  unsigned char raw[16] = {};
  std::memcpy(raw, data + 1, take);
  std::memcpy(&offset, raw, 8);
  std::memcpy(&page_size, raw + 8, 8);
  if (data[0] & 2) page_size %= 1100;  // mostly sizes near the accepted range
  std::string message;
  message.push_back('\x08');
  put_varint(message, offset);
  message.push_back('\x10');
  put_varint(message, page_size);
  const auto cursor = decode(base64(message));
  const bool valid = page_size >= 1 && page_size <= 1000;
  if (cursor.has_value() != valid) fail("a well-formed cursor was judged wrongly");
  if (cursor && (cursor->offset != offset || cursor->page_size != page_size)) fail("a cursor decoded to other values");
  return 0;
}
