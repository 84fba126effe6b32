// Showing the login QR code in a terminal.
//
// The facade hands out the QR code as a PNG data URL. These functions turn it
// back into bytes, read the modules out of the image, and draw them with
// Unicode half blocks, two module rows per text line, so that a phone camera
// can read the code straight off a terminal. All functions are pure and throw
// DecodingError for input they cannot read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qelkit::cli {

// The bytes behind a "data:image/png;base64," URL. Throws DecodingError when
// the prefix is missing or the Base64 text is invalid.
std::string png_from_data_url(std::string_view url);

// The modules of a QR image, quiet zone included; row-major, true = dark.
struct QrModules {
  int size = 0;     // modules per side
  int quiet = 0;    // modules of quiet zone on each side
  int module_px = 0;
  std::vector<bool> dark;

  bool at(int x, int y) const { return dark[static_cast<std::size_t>(y) * size + x]; }
};

// Reads a square QR image of black modules on white: finds the module size
// from the top-left finder pattern (its first row is seven dark modules) and
// samples every module at its centre. Throws DecodingError when the bytes are
// not a PNG or the image does not look like a QR code.
QrModules read_qr_png(std::string_view png);

// Draws the modules with "▀", "▄", "█" and " ", two module rows per line.
// With `ansi`, every line is drawn black on bright white with explicit ANSI
// colours, so the code reads the same on light and dark terminals; without,
// the glyphs stand for dark modules (ink on paper) and no escape codes are
// written.
std::string render_half_blocks(const QrModules& qr, bool ansi);

}  // namespace qelkit::cli
