#include "apps/qelkit/terminal_qr.hpp"

#include <sys/ioctl.h>

#include <algorithm>
#include <charconv>
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

std::optional<QrStyle> parse_qr_style(std::string_view name) {
  if (name == "colour" || name == "color") return QrStyle::colour;
  if (name == "light") return QrStyle::light_background;
  if (name == "dark") return QrStyle::dark_background;
  return std::nullopt;
}

std::optional<QrStyle> background_from_colorfgbg(const char* value) {
  if (value == nullptr) return std::nullopt;
  const std::string_view text(value);
  const auto semicolon = text.rfind(';');
  if (semicolon == std::string_view::npos) return std::nullopt;
  const std::string_view bg = text.substr(semicolon + 1);
  int colour = -1;
  const auto [end, ec] = std::from_chars(bg.data(), bg.data() + bg.size(), colour);
  if (ec != std::errc() || end != bg.data() + bg.size() || colour < 0 || colour > 15) return std::nullopt;
  // The eight normal colours but white, and bright black, are dark.
  return colour < 7 || colour == 8 ? QrStyle::dark_background : QrStyle::light_background;
}

QrStyle default_qr_style(bool colours_allowed, const char* colorfgbg) {
  if (colours_allowed) return QrStyle::colour;
  return background_from_colorfgbg(colorfgbg).value_or(QrStyle::dark_background);
}

TerminalSize terminal_size(int fd) {
  TerminalSize size;
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
    size.rows = ws.ws_row;
    size.columns = ws.ws_col;
  }
  return size;
}

std::string render_half_blocks(const QrModules& qr, QrStyle style, int max_lines, int max_columns) {
  static constexpr const char* kGlyph[4] = {" ", "\u2580", "\u2584", "\u2588"};  // by top | bottom << 1
  constexpr int kQuiet = 4;
  const int symbol = qr.size - 2 * qr.quiet;
  auto dark = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < symbol && y < symbol && qr.at(x + qr.quiet, y + qr.quiet);
  };
  // Two module rows per line; a last half line is quiet zone too.
  const int lines = std::max((symbol + 3) / 2, std::min((symbol + 2 * kQuiet + 1) / 2, max_lines));
  const int top = (2 * lines - symbol) / 2;
  const int side = std::clamp((max_columns - symbol) / 2, 1, kQuiet);
  const bool glyph_is_dark = style != QrStyle::dark_background;

  std::string out;
  for (int line = 0; line < lines; ++line) {
    const int y = 2 * line - top;
    std::string text;
    for (int x = -side; x < symbol + side; ++x) {
      const bool upper = dark(x, y) == glyph_is_dark;
      const bool lower = dark(x, y + 1) == glyph_is_dark;
      text += kGlyph[(upper ? 1 : 0) | (lower ? 2 : 0)];
    }
    switch (style) {
      case QrStyle::colour:
        // Bright white where the terminal has it, white where it has not.
        out += "\x1b[30;47;107m" + text + "\x1b[0m\n";
        break;
      case QrStyle::light_background:
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
        break;
      case QrStyle::dark_background:
        out += text + "\n";
        break;
    }
  }
  return out;
}

}  // namespace qelkit::cli
