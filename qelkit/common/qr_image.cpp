#include "qelkit/common/internal/qr_image.hpp"

#include <openssl/evp.h>
#include <png.h>
#include <qrencode.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "qelkit/common/errors.hpp"

namespace qelkit::detail {
namespace {

constexpr int kModulePx = 10;
constexpr int kQuietModules = 4;
// Every pixel row repeats the one above it nine times in ten, so the rows
// are left unfiltered (a row equal to the last one is then a single long
// match) and deflate's lazy matching at level 6 finds those matches: about
// half the bytes of level 1, for a few tenths of a millisecond more on a
// typical link. Z_FILTERED favours those matches over literals; level 9
// saves another 1-4 percent for several times the time.
constexpr int kCompressionLevel = 6;
constexpr int kCompressionStrategy = Z_FILTERED;

struct QrCodeDeleter {
  void operator()(QRcode* q) const noexcept { QRcode_free(q); }
};
using QrCodePtr = std::unique_ptr<QRcode, QrCodeDeleter>;

struct PngWriter {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngWriter() = default;
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

// What libpng's callbacks write into.
struct PngSink {
  std::string* out;
  char message[200];
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp msg) {
  auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof sink->message, "%s", msg);
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

void on_png_write(png_structp png, png_bytep data, size_t len) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  bool ok = true;
  try {
    sink->out->append(reinterpret_cast<const char*>(data), len);
  } catch (...) {
    ok = false;
  }
  if (!ok) png_error(png, "out of memory");  // leaves by longjmp, after the catch has ended
}

void on_png_flush(png_structp) {}

// Writes the whole image; libpng leaves it by longjmp on failure, so it holds
// nothing that needs destroying.
[[gnu::noinline]] void write_image(png_structp png, png_infop info, const QRcode& code, png_bytep row) {
  const auto side = static_cast<png_uint_32>((code.width + 2 * kQuietModules) * kModulePx);
  const size_t row_bytes = (side + 7) / 8;
  png_set_IHDR(png, info, side, side, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, kCompressionLevel);
  png_set_compression_strategy(png, kCompressionStrategy);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_write_info(png, info);

  // In 1-bit grayscale a set bit is white. Every module row is ten equal
  // pixel rows, so each row is built once and written ten times.
  std::memset(row, 0xFF, row_bytes);
  for (int y = 0; y < kQuietModules * kModulePx; ++y) png_write_row(png, row);
  for (int my = 0; my < code.width; ++my) {
    std::memset(row, 0xFF, row_bytes);
    const unsigned char* modules = code.data + static_cast<size_t>(my) * code.width;
    for (int mx = 0; mx < code.width; ++mx) {
      if (!(modules[mx] & 1)) continue;  // bit 0 of a module: dark
      const int x0 = (mx + kQuietModules) * kModulePx;
      for (int x = x0; x < x0 + kModulePx; ++x) row[x >> 3] &= static_cast<png_byte>(~(0x80u >> (x & 7)));
    }
    for (int r = 0; r < kModulePx; ++r) png_write_row(png, row);
  }
  std::memset(row, 0xFF, row_bytes);
  for (int y = 0; y < kQuietModules * kModulePx; ++y) png_write_row(png, row);
  png_write_end(png, info);
}

// The setjmp frame: nothing here is touched after the jump but the result.
bool write_png(png_structp png, png_infop info, const QRcode& code, png_bytep row) {
  if (setjmp(png_jmpbuf(png))) return false;
  write_image(png, info, code, row);
  return true;
}

QrCodePtr encode(std::string_view text) {
  if (text.empty()) throw InvalidArgumentError("cannot make a QR code of empty text");
  QrCodePtr code;
  errno = 0;
  if (text.find('\0') == std::string_view::npos) {
    const std::string z(text);
    code.reset(QRcode_encodeString(z.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
  } else if (text.size() <= static_cast<size_t>(std::numeric_limits<int>::max())) {
    // The mode-choosing encoder stops at NUL; this one takes every byte as
    // 8-bit data, so nothing after a NUL is lost.
    code.reset(QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                 0, QR_ECLEVEL_M));
  } else {
    errno = ERANGE;
  }
  if (code) return code;
  if (errno == ENOMEM) throw std::bad_alloc();
  if (errno == ERANGE) {
    throw InvalidArgumentError("text of " + std::to_string(text.size()) +
                               " bytes is too long for a QR code (largest symbol at error-correction level M)");
  }
  throw InvalidArgumentError("text cannot be encoded as a QR code: " + std::string(std::strerror(errno)));
}

}  // namespace

std::string qr_png(std::string_view text) {
  QrCodePtr code = encode(text);
  const size_t side = static_cast<size_t>(code->width + 2 * kQuietModules) * kModulePx;
  std::vector<png_byte> row((side + 7) / 8);

  std::string out;
  out.reserve(8192);
  PngSink sink{&out, {}};
  PngWriter w;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, on_png_error, on_png_warning);
  if (!w.png) throw std::bad_alloc();
  w.info = png_create_info_struct(w.png);
  if (!w.info) throw std::bad_alloc();
  png_set_write_fn(w.png, &sink, on_png_write, on_png_flush);
  if (!write_png(w.png, w.info, *code, row.data())) {
    if (std::strcmp(sink.message, "out of memory") == 0) throw std::bad_alloc();
    throw Error(std::string("cannot write the QR image as PNG: ") + sink.message);
  }
  return out;
}

std::vector<std::vector<bool>> qr_modules(std::string_view text) {
  QrCodePtr code = encode(text);
  std::vector<std::vector<bool>> rows(static_cast<size_t>(code->width));
  for (int y = 0; y < code->width; ++y) {
    const unsigned char* modules = code->data + static_cast<size_t>(y) * code->width;
    rows[static_cast<size_t>(y)].reserve(static_cast<size_t>(code->width));
    for (int x = 0; x < code->width; ++x) rows[static_cast<size_t>(y)].push_back((modules[x] & 1) != 0);
  }
  return rows;
}

std::string png_data_url(std::string_view bytes) {
  static constexpr std::string_view kPrefix = "data:image/png;base64,";
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max() / 4 * 3 - 3)) {
    throw InvalidArgumentError("image too large for one Base64 block");
  }
  std::string url(kPrefix);
  const size_t encoded = 4 * ((bytes.size() + 2) / 3);
  url.resize(kPrefix.size() + encoded + 1);  // EVP_EncodeBlock writes a NUL after the text
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(url.data() + kPrefix.size()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  url.resize(kPrefix.size() + static_cast<size_t>(n));
  return url;
}

}  // namespace qelkit::detail
