// The lenient Base64 decoder behind CryptoHelper::decrypt, at full speed.
//
// The decoder is internal to sealbox.cpp, so this target compiles that file
// in (and does not link the sealbox library). Contract: it returns bytes or
// throws DecodingError. What it returns is checked against an independent
// reading of the same text: the alphabet characters, in order, taken six bits
// each, as many as the output needs. A text made only of alphabet characters
// in groups of four must always decode.
#include "qelkit/common/sealbox.cpp"  // NOLINT(bugprone-suspicious-include)

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

int sextet(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = qelkit_fuzz::as_text(data, size);
  std::string alphabet;  // the characters that carry data, in order
  bool only_alphabet = true;
  for (char ch : text) {
    if (sextet(ch) >= 0) {
      alphabet.push_back(ch);
    } else {
      only_alphabet = false;
    }
  }

  std::string out;
  try {
    out = qelkit::base64_decode(text);
  } catch (const qelkit::DecodingError&) {
    if (only_alphabet && text.size() % 4 == 0) fail("refused plain Base64 of whole groups");
    return 0;
  } catch (const std::exception& e) {
    unexpected("base64_decode", e);
  }

  // Every output byte needs 8 bits: ceil(8n / 6) characters, never one more
  // than a multiple of four.
  const std::size_t used = (out.size() * 8 + 5) / 6;
  if (used > alphabet.size()) fail("more bytes out than the text's characters can carry");
  if (used % 4 == 1) fail("output length not reachable from whole characters");
  if (only_alphabet && text.size() % 4 == 0 && used != alphabet.size()) {
    fail("plain Base64 of whole groups not decoded in full");
  }
  std::string expected;
  std::uint32_t bits = 0;
  int have = 0;
  for (std::size_t i = 0; i < used; ++i) {
    bits = (bits << 6) | static_cast<std::uint32_t>(sextet(alphabet[i]));
    have += 6;
    if (have >= 8) {
      have -= 8;
      expected.push_back(static_cast<char>((bits >> have) & 0xFF));
    }
  }
  if (expected != out) fail("decoded bytes differ from the independent reading");

  // The canonical encoding of the output decodes to the same bytes.
  const std::string canonical = qelkit::base64_encode(out);
  std::string again;
  try {
    again = qelkit::base64_decode(canonical);
  } catch (const std::exception& e) {
    unexpected("base64_decode of canonical Base64", e);
  }
  if (again != out) fail("canonical Base64 of the output does not decode back to it");
  return 0;
}
