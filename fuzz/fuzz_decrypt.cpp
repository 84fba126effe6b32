// CryptoHelper::decrypt on arbitrary text: a plaintext, or DecodingError,
// InvalidArgumentError or AuthenticationError; nothing else, and never a
// crash. Each call that gets past the Base64 stage pays the full key
// derivation (about 20 ms), so this target is slow by design; fuzz_base64
// covers the decoder at full speed. The seeds are encrypted texts made with
// the pass phrase below, so mutations reach the cipher and the tag check.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/common/sealbox.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qelkit::CryptoHelper helper("fuzz-", "pass", "qelkit-");
  std::string plain;
  try {
    plain = helper.decrypt(qelkit_fuzz::as_text(data, size));
  } catch (const qelkit::DecodingError&) {
    return 0;
  } catch (const qelkit::InvalidArgumentError&) {
    return 0;
  } catch (const qelkit::AuthenticationError&) {
    return 0;
  } catch (const std::exception& e) {
    unexpected("decrypt", e);
  }
  // Released plaintext is valid UTF-8: it must serialise as a JSON text.
  try {
    (void)qelkit::Json(plain).dump();
  } catch (const std::exception& e) {
    fail(std::string("decrypt released text that is not UTF-8: ") + e.what());
  }
  return 0;
}
