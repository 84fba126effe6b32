// Independent readers for the QR images qelkit makes: Base64 (OpenSSL), PNG
// (libpng) and QR (zbar), none of them sharing code with the writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelkit::testing {

// An 8-bit grayscale image, rows top to bottom.
struct GrayImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // width * height bytes
  std::uint8_t at(std::uint32_t x, std::uint32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Standard Base64 (with padding) to bytes; throws std::runtime_error when the
// text is not Base64.
std::string decode_base64(std::string_view text);

// The bytes of a "data:image/png;base64,..." URL; throws std::runtime_error
// when the prefix is missing or the rest is not Base64.
std::string data_url_bytes(std::string_view data_url);

// Any PNG, converted to 8-bit grayscale; throws std::runtime_error when the
// bytes are not a PNG.
GrayImage read_png_gray(std::string_view png);

// The text of the one QR code in the image, as raw bytes; throws
// std::runtime_error when zbar finds none.
std::string decode_qr_png(std::string_view png);
std::string decode_qr_gray(const GrayImage& image);
std::string decode_qr_data_url(std::string_view data_url);

}  // namespace qelkit::testing
