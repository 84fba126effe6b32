// The QR image behind SpiderDriver::gqb (internal to fetchcore).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qelkit::detail {

// PNG bytes of the QR code of `text`: smallest version that holds it, error
// correction level M, modes chosen by the encoder (case-sensitive), modules of
// 10 x 10 pixels, a quiet zone of 4 modules, black on white, 1-bit grayscale.
// Throws InvalidArgumentError when the text is empty or does not fit the
// largest symbol.
std::string qr_png(std::string_view text);

// The modules of the same symbol qr_png draws for `text`, without the quiet
// zone: rows top to bottom, each left to right, true for a dark module.
// Throws as qr_png does.
std::vector<std::vector<bool>> qr_modules(std::string_view text);

// "data:image/png;base64," followed by the standard Base64 of `bytes`.
std::string png_data_url(std::string_view bytes);

}  // namespace qelkit::detail
