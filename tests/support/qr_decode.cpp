#include "tests/support/qr_decode.hpp"

#include <openssl/evp.h>
#include <png.h>
#include <zbar.h>

#include <memory>
#include <stdexcept>

namespace qelkit::testing {

std::string decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) throw std::runtime_error("Base64 text length is not a multiple of 4");
  std::string out(text.size() / 4 * 3 + 1, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) throw std::runtime_error("not Base64");
  // EVP_DecodeBlock counts the bytes that padding stands for; drop them.
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string data_url_bytes(std::string_view data_url) {
  constexpr std::string_view kPrefix = "data:image/png;base64,";
  if (!data_url.starts_with(kPrefix)) throw std::runtime_error("not a PNG data URL");
  return decode_base64(data_url.substr(kPrefix.size()));
}

GrayImage read_png_gray(std::string_view png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
    std::string why = image.message;
    png_image_free(&image);
    throw std::runtime_error("not a PNG: " + why);
  }
  image.format = PNG_FORMAT_GRAY;
  GrayImage out;
  out.width = image.width;
  out.height = image.height;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
    std::string why = image.message;
    png_image_free(&image);
    throw std::runtime_error("cannot read the PNG: " + why);
  }
  return out;
}

std::string decode_qr_png(std::string_view png) { return decode_qr_gray(read_png_gray(png)); }

std::string decode_qr_gray(const GrayImage& gray) {
  using namespace zbar;  // zbar.h puts its C interface there when compiled as C++
  std::unique_ptr<zbar_image_scanner_t, void (*)(zbar_image_scanner_t*)> scanner(zbar_image_scanner_create(),
                                                                                  zbar_image_scanner_destroy);
  zbar_image_scanner_set_config(scanner.get(), ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner.get(), ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  zbar_image_scanner_set_config(scanner.get(), ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);  // bytes as they are
  std::unique_ptr<zbar_image_t, void (*)(zbar_image_t*)> image(zbar_image_create(), zbar_image_destroy);
  zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image.get(), gray.width, gray.height);
  zbar_image_set_data(image.get(), gray.pixels.data(), gray.pixels.size(), nullptr);
  if (zbar_scan_image(scanner.get(), image.get()) <= 0) throw std::runtime_error("no QR code found in the image");
  const zbar_symbol_t* symbol = zbar_image_first_symbol(image.get());
  if (!symbol) throw std::runtime_error("no QR code found in the image");
  return std::string(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol));
}

std::string decode_qr_data_url(std::string_view data_url) { return decode_qr_png(data_url_bytes(data_url)); }

}  // namespace qelkit::testing
