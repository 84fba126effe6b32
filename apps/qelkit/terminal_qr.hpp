// Showing the login QR code in a terminal.
//
// The facade hands out the QR code as a PNG data URL. These functions turn it
// back into bytes, read the modules out of the image, and draw them with
// Unicode half blocks, two module rows per text line, small enough for an
// 80x24 terminal, so that a phone camera can read the code straight off the
// screen. A camera needs dark modules on a light quiet zone; with colours the
// drawing brings its own white, without them the glyphs are drawn in the
// terminal's text colour, which is dark on a light theme and light on a dark
// one, so the drawing must follow the theme. All functions are pure (but
// terminal_size) and throw DecodingError for input they cannot read.
#pragma once

#include <optional>
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

// How the code is drawn.
enum class QrStyle {
  colour,            // black on bright white, with ANSI colours: reads on any theme
  light_background,  // no escape codes; the glyphs are the dark modules (a light theme)
  dark_background,   // no escape codes; the glyphs are the light modules and the
                     // quiet zone (a dark theme)
};

// The style named by qelkit login's --qr: "colour" (or "color"), "light" or
// "dark" (the terminal's background); nullopt for anything else.
std::optional<QrStyle> parse_qr_style(std::string_view name);

// The terminal's background as COLORFGBG tells it ("fg;bg" or
// "fg;default;bg", ANSI colour numbers, set by some terminals and by users);
// nullopt when unset or unclear.
std::optional<QrStyle> background_from_colorfgbg(const char* value);

// The style without --qr: colour where colours may be used; otherwise the
// background COLORFGBG names; otherwise a dark background, the commoner
// default of terminals and log viewers.
QrStyle default_qr_style(bool colours_allowed, const char* colorfgbg);

struct TerminalSize {
  int rows = 24;
  int columns = 80;
};

// The size of the terminal behind the descriptor; 24x80 when it is not a
// terminal or does not say.
TerminalSize terminal_size(int fd);

// Draws the code with "\u2580", "\u2584", "\u2588" and " ", two module rows
// per line, in `max_lines` lines and `max_columns` columns: the quiet zone is
// the standard four modules on each side where they fit, and narrows to no
// less than one where they do not (a symbol too large even then is drawn
// whole, taller or wider than asked). In colour every line sets its colours
// and resets them at its end.
std::string render_half_blocks(const QrModules& qr, QrStyle style, int max_lines, int max_columns);

}  // namespace qelkit::cli
