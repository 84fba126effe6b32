#include "apps/qelkit/terminal_qr.hpp"

#include <cstring>
#include <limits>
#include <memory>

#include <openssl/evp.h>
#include <png.h>

#include "qelkit/common/errors.hpp"

namespace qelkit::cli {
namespace {

constexpr std::string_view kPrefix = "data:image/png;base64,";

struct EncodeCtxFree {
  void operator()(EVP_ENCODE_CTX* c) const { EVP_ENCODE_CTX_free(c); }
};

// png_image keeps libpng's state in `opaque` until freed.
class PngImage {
 public:
  PngImage() {
    std::memset(&image_, 0, sizeof image_);
    image_.version = PNG_IMAGE_VERSION;
  }
  ~PngImage() { png_image_free(&image_); }
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;
  png_image* get() { return &image_; }

 private:
  png_image image_;
};

}  // namespace

std::string png_from_data_url(std::string_view url) {
  if (url.substr(0, kPrefix.size()) != kPrefix) {
    throw DecodingError("the QR image is not a PNG data URL");
  }
  std::string_view b64 = url.substr(kPrefix.size());
  std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxFree> ctx(EVP_ENCODE_CTX_new());
  if (!ctx) throw DecodingError("cannot decode the QR image: out of memory");
  EVP_DecodeInit(ctx.get());
  std::string out(b64.size() / 4 * 3 + 3, '\0');
  int len = 0;
  int tail = 0;
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  if (b64.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      EVP_DecodeUpdate(ctx.get(), dst, &len, reinterpret_cast<const unsigned char*>(b64.data()),
                       static_cast<int>(b64.size())) < 0 ||
      EVP_DecodeFinal(ctx.get(), dst + len, &tail) < 0) {
    throw DecodingError("the QR image's Base64 text is invalid");
  }
  out.resize(static_cast<std::size_t>(len + tail));
  return out;
}

QrModules read_qr_png(std::string_view png) {
  PngImage img;
  if (!png_image_begin_read_from_memory(img.get(), png.data(), png.size())) {
    throw DecodingError(std::string("cannot read the QR image: ") + img.get()->message);
  }
  img.get()->format = PNG_FORMAT_GRAY;
  const int w = static_cast<int>(img.get()->width);
  const int h = static_cast<int>(img.get()->height);
  std::vector<unsigned char> px(PNG_IMAGE_SIZE(*img.get()));
  if (!png_image_finish_read(img.get(), nullptr, px.data(), 0, nullptr)) {
    throw DecodingError(std::string("cannot read the QR image: ") + img.get()->message);
  }
  auto dark = [&](int x, int y) { return px[static_cast<std::size_t>(y) * w + x] < 128; };
  auto not_qr = [] { return DecodingError("the image does not look like a QR code"); };
  if (w != h || w == 0) throw not_qr();

  // The first dark pixel in reading order is the top-left corner of the
  // top-left finder pattern, whose first row is seven dark modules.
  int x0 = -1;
  int y0 = -1;
  for (int y = 0; y < h && y0 < 0; ++y) {
    for (int x = 0; x < w; ++x) {
      if (dark(x, y)) {
        x0 = x;
        y0 = y;
        break;
      }
    }
  }
  if (x0 < 0 || x0 != y0) throw not_qr();
  int run = 0;
  while (x0 + run < w && dark(x0 + run, y0)) ++run;
  if (run % 7 != 0) throw not_qr();
  const int m = run / 7;
  if (x0 % m != 0 || w % m != 0) throw not_qr();

  QrModules qr;
  qr.size = w / m;
  qr.quiet = x0 / m;
  qr.module_px = m;
  qr.dark.resize(static_cast<std::size_t>(qr.size) * qr.size);
  for (int my = 0; my < qr.size; ++my) {
    for (int mx = 0; mx < qr.size; ++mx) {
      qr.dark[static_cast<std::size_t>(my) * qr.size + mx] = dark(mx * m + m / 2, my * m + m / 2);
    }
  }
  return qr;
}

std::string render_half_blocks(const QrModules& qr, bool ansi) {
  static constexpr const char* kGlyph[4] = {" ", "\u2580", "\u2584", "\u2588"};  // by top | bottom << 1
  std::string out;
  for (int y = 0; y < qr.size; y += 2) {
    std::string line;
    for (int x = 0; x < qr.size; ++x) {
      const bool top = qr.at(x, y);
      const bool bottom = y + 1 < qr.size && qr.at(x, y + 1);
      line += kGlyph[(top ? 1 : 0) | (bottom ? 2 : 0)];
    }
    if (ansi) {
      out += "\x1b[30;107m" + line + "\x1b[0m\n";
    } else {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
  }
  return out;
}

}  // namespace qelkit::cli
