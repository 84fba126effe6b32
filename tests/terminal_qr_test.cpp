// The login QR code as a person sees it in a terminal: qelkit's output is fed
// to a model of a terminal (cells, colours, wrapping, scrolling), the screen
// is drawn as a picture in a light or a dark theme, and zbar must read the
// confirm-login link off it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "apps/qelkit/terminal_qr.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/work_dir.hpp"
#include "tests/support/files.hpp"

namespace qelkit {
namespace {

namespace fs = std::filesystem;
using cli::QrStyle;
using testing::EnvChanges;
using testing::GrayImage;

// Every login is confirmed on the platform half a second after its token.
testing::PlatformSim::Options sim_options() {
  testing::PlatformSim::Options options;
  options.auto_confirm_after = 0.5;
  return options;
}
const auto* const kSim = testing::PlatformSimEnvironment::install(sim_options());

// ---------------------------------------------------------------------------
// A terminal

// A colour theme, in grey levels: the default text and background colours,
// and the 16 ANSI colours.
struct Theme {
  const char* name;
  std::uint8_t fg;
  std::uint8_t bg;
  std::array<std::uint8_t, 16> palette;
};
// Black text on white, xterm's palette.
constexpr Theme kLight = {"light theme", 0, 255, {0, 77, 113, 182, 24, 90, 134, 229, 127, 102, 191, 242, 83, 129, 201, 255}};
// Light grey text on near-black, a dark palette whose "black" is a dark grey.
constexpr Theme kDark = {"dark theme", 211, 30, {54, 87, 119, 170, 55, 92, 126, 211, 85, 120, 170, 231, 122, 150, 180, 238}};

// A VT100-like screen of `columns` x `rows` cells fed the bytes a program
// wrote: UTF-8 text, CR, LF (as the terminal's line discipline turns it into
// CR LF), SGR colours, erase in line, autowrap and scrolling. Other escape
// sequences are skipped.
class Screen {
 public:
  Screen(int columns, int rows) : columns_(columns), rows_(rows), lines_(rows, blank_line()) {}

  void feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c == 0x1b) {
        i = escape(bytes, i);
      } else if (c == '\r') {
        col_ = 0, pending_wrap_ = false, ++i;
      } else if (c == '\n') {
        col_ = 0, pending_wrap_ = false, line_feed(), ++i;
      } else if (c < 0x20 || c == 0x7f) {
        ++i;
      } else {
        const std::size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        put(std::string(bytes.substr(i, n)));
        i += n;
      }
    }
  }

  std::string text() const {
    std::string out;
    for (const auto& line : lines_) {
      for (const auto& cell : line) out += cell.glyph;
      out += "|\n";
    }
    return out;
  }

  // The screen as grey pixels: a cell is `px` wide and twice as tall, and a
  // margin of background surrounds it as a terminal window's padding does.
  GrayImage picture(const Theme& theme, int px = 4) const {
    const int margin = 2 * px;
    GrayImage image;
    image.width = static_cast<std::uint32_t>(columns_ * px + 2 * margin);
    image.height = static_cast<std::uint32_t>(rows_ * 2 * px + 2 * margin);
    image.pixels.assign(static_cast<std::size_t>(image.width) * image.height, theme.bg);
    auto fill = [&](int x0, int y0, int w, int h, std::uint8_t grey) {
      for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) image.pixels[static_cast<std::size_t>(y) * image.width + x] = grey;
      }
    };
    for (int r = 0; r < rows_; ++r) {
      for (int c = 0; c < columns_; ++c) {
        const Cell& cell = lines_[r][c];
        const std::uint8_t fg = cell.fg < 0 ? theme.fg : theme.palette[cell.fg];
        const std::uint8_t bg = cell.bg < 0 ? theme.bg : theme.palette[cell.bg];
        const int x = margin + c * px;
        const int y = margin + r * 2 * px;
        fill(x, y, px, 2 * px, bg);
        if (cell.glyph == "\u2580" || cell.glyph == "\u2588") fill(x, y, px, px, fg);
        if (cell.glyph == "\u2584" || cell.glyph == "\u2588") fill(x, y + px, px, px, fg);
        if (cell.glyph.size() == 1 && cell.glyph != " ") fill(x + 1, y + px / 2, px - 2, px, fg);  // a letter
      }
    }
    return image;
  }

 private:
  struct Cell {
    std::string glyph = " ";
    int fg = -1;  // -1: the theme's default
    int bg = -1;
  };

  std::vector<Cell> blank_line() const { return std::vector<Cell>(static_cast<std::size_t>(columns_)); }

  void line_feed() {
    if (row_ + 1 < rows_) {
      ++row_;
    } else {
      lines_.pop_front();
      lines_.push_back(blank_line());
    }
  }

  void put(std::string glyph) {
    if (pending_wrap_) {
      col_ = 0, pending_wrap_ = false;
      line_feed();
    }
    lines_[row_][col_] = Cell{std::move(glyph), fg_, bg_};
    if (col_ + 1 < columns_) {
      ++col_;
    } else {
      pending_wrap_ = true;
    }
  }

  // Handles the escape sequence at bytes[i]; returns the index after it.
  std::size_t escape(std::string_view bytes, std::size_t i) {
    if (i + 1 >= bytes.size()) return bytes.size();
    if (bytes[i + 1] == ']') {  // OSC, up to BEL or ST
      std::size_t end = bytes.find_first_of("\x07\x1b", i + 2);
      if (end == std::string_view::npos) return bytes.size();
      return bytes[end] == '\x07' ? end + 1 : end + 2;
    }
    if (bytes[i + 1] != '[') return i + 2;
    std::size_t end = i + 2;
    while (end < bytes.size() && !(bytes[end] >= 0x40 && bytes[end] <= 0x7e)) ++end;
    if (end == bytes.size()) return end;
    const std::string_view params = bytes.substr(i + 2, end - i - 2);
    if (bytes[end] == 'm') {
      sgr(params);
    } else if (bytes[end] == 'K' && (params.empty() || params == "0")) {
      for (int c = col_; c < columns_; ++c) lines_[row_][c] = Cell{" ", fg_, bg_};
    }
    return end + 1;
  }

  void sgr(std::string_view params) {
    std::vector<int> codes;
    std::istringstream in{std::string(params)};
    for (std::string part; std::getline(in, part, ';');) codes.push_back(part.empty() ? 0 : std::stoi(part));
    if (codes.empty()) codes.push_back(0);
    for (std::size_t k = 0; k < codes.size(); ++k) {
      const int n = codes[k];
      if (n == 0) fg_ = bg_ = -1;
      if (n >= 30 && n <= 37) fg_ = n - 30;
      if (n == 39) fg_ = -1;
      if (n >= 40 && n <= 47) bg_ = n - 40;
      if (n == 49) bg_ = -1;
      if (n >= 90 && n <= 97) fg_ = n - 90 + 8;
      if (n >= 100 && n <= 107) bg_ = n - 100 + 8;
      if (n == 38 || n == 48) break;  // extended colours: not used by qelkit
    }
  }

  int columns_;
  int rows_;
  std::deque<std::vector<Cell>> lines_;
  int row_ = 0;
  int col_ = 0;
  bool pending_wrap_ = false;
  int fg_ = -1;
  int bg_ = -1;
};

// The link zbar reads off the screen in this theme, or its complaint.
std::string read_screen(const Screen& screen, const Theme& theme) {
  try {
    return testing::decode_qr_gray(screen.picture(theme));
  } catch (const std::exception& e) {
    return std::string("(unreadable: ") + e.what() + ")";
  }
}

// ---------------------------------------------------------------------------
// Running qelkit

// Runs the built qelkit on a pseudo-terminal of the given size (its standard
// input, output and error), as an interactive shell would; returns its exit
// status and everything it showed, in order.
struct TerminalRun {
  int status = -1;
  std::string shown;
};

TerminalRun run_in_terminal(const std::vector<std::string>& args, const fs::path& cwd, const EnvChanges& env,
                            int rows = 24, int columns = 80) {
  TerminalRun run;
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(columns);
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return run;
  }
  std::vector<std::string> argv_text = {QELKIT_CLI_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(master);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : env) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    if (slave > 2) ::close(slave);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(slave);
  if (pid < 0) {
    ::close(master);
    ADD_FAILURE() << "cannot fork";
    return run;
  }
  // Reads until qelkit has exited and nothing more is waiting; the login
  // child it leaves behind may keep the terminal open.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int wstatus = 0;
  bool exited = false;
  while (true) {
    pollfd p{master, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready > 0 && (p.revents & POLLIN)) {
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        run.shown.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
    }
    if (exited) break;
    if (ready > 0 && !(p.revents & POLLIN)) {  // hung up: every writer is gone
      ::waitpid(pid, &wstatus, 0);
      break;
    }
    exited = ::waitpid(pid, &wstatus, WNOHANG) == pid;
    if (!exited && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "qelkit timed out; it showed:\n" << run.shown;
      break;
    }
  }
  ::close(master);
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  return run;
}

using qelkit::testing::read_file;

// The environment of a terminal that takes colours and says nothing of its
// background; a case changes what it tests.
EnvChanges terminal_env(EnvChanges changes = {}) {
  EnvChanges env = {{"TERM", "xterm-256color"}, {"NO_COLOR", std::nullopt}, {"COLORFGBG", std::nullopt}};
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

class TerminalQrProgram : public ::testing::Test {
 protected:
  testing::ScopedWorkDir dir_{"qelkit-terminal-qr-test"};

  // The link in the PNG that the same run saved (--png qr.png).
  std::string saved_link() {
    const std::string link = testing::decode_qr_png(read_file(dir_.path() / "qr.png"));
    EXPECT_EQ(link.rfind(kSim->sim().origin() + "/mobile/confirm_login.html?token=", 0), 0u) << link;
    return link;
  }

  // The screen after `qelkit login` has ended and the shell shows its prompt.
  Screen after_login(const std::string& shown) {
    Screen screen(80, 24);
    screen.feed(shown);
    screen.feed("$ ");
    return screen;
  }
};

// ---------------------------------------------------------------------------
// Drawing

TEST(TerminalQr, FitsTheLinesGivenAndReadsBackInEveryStyle) {
  // Confirm-login links of the substitute platform and of a longer origin:
  // symbols of versions 5 and 6.
  const std::string path = "/mobile/confirm_login.html?token=0123456789abcdef0123456789abcdef";
  for (const std::string origin : {"https://127.0.0.1:8443", "https://assistant.platform.example.com"}) {
    const std::string link = origin + path;
    const cli::QrModules qr = cli::read_qr_png(cli::png_from_data_url(SpiderDriver().gqb(link)));
    const int symbol = qr.size - 2 * qr.quiet;
    EXPECT_EQ(symbol, origin.size() < 30 ? 37 : 41);

    struct Case {
      QrStyle style;
      const Theme* theme;
    };
    for (const Case& c : {Case{QrStyle::colour, &kLight}, Case{QrStyle::colour, &kDark},
                          Case{QrStyle::light_background, &kLight}, Case{QrStyle::dark_background, &kDark}}) {
      for (int max_lines : {22, 40}) {
        SCOPED_TRACE(link + ", " + c.theme->name + ", at most " + std::to_string(max_lines) + " lines");
        const std::string drawn = cli::render_half_blocks(qr, c.style, max_lines, 80);
        // The standard four modules of quiet zone where they fit, else what fits.
        EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\n'), std::min(max_lines, (symbol + 9) / 2));
        EXPECT_EQ(drawn.find('\x1b') != std::string::npos, c.style == QrStyle::colour);
        Screen screen(80, 50);
        screen.feed("text above the code\n");
        screen.feed(drawn);
        screen.feed("text below the code\n$ ");
        EXPECT_EQ(read_screen(screen, *c.theme), link) << screen.text();
      }
    }

    // Never less than one module of quiet zone: a symbol that cannot fit is
    // drawn whole, taller than asked.
    const std::string cramped = cli::render_half_blocks(qr, QrStyle::dark_background, 10, symbol + 2);
    std::istringstream lines(cramped);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      const auto blocks = std::count(line.begin(), line.end(), '\xe2');  // the lead byte of each block
      EXPECT_EQ(line.size() - 2 * blocks, symbol + 2u) << "the symbol and a module on each side";
    }
    EXPECT_EQ(count, (symbol + 3) / 2);
  }
}

TEST(TerminalQr, StyleComesFromTheOptionTheColoursAndTheBackground) {
  EXPECT_EQ(cli::parse_qr_style("colour"), QrStyle::colour);
  EXPECT_EQ(cli::parse_qr_style("color"), QrStyle::colour);
  EXPECT_EQ(cli::parse_qr_style("light"), QrStyle::light_background);
  EXPECT_EQ(cli::parse_qr_style("dark"), QrStyle::dark_background);
  EXPECT_EQ(cli::parse_qr_style("Dark"), std::nullopt);
  EXPECT_EQ(cli::parse_qr_style(""), std::nullopt);

  EXPECT_EQ(cli::background_from_colorfgbg("15;0"), QrStyle::dark_background);
  EXPECT_EQ(cli::background_from_colorfgbg("0;15"), QrStyle::light_background);
  EXPECT_EQ(cli::background_from_colorfgbg("12;default;8"), QrStyle::dark_background);
  EXPECT_EQ(cli::background_from_colorfgbg("0;7"), QrStyle::light_background);
  for (const char* unclear : {"", "15", "15;default", "0;16", "0;-1", "0;1x", "default;default"}) {
    EXPECT_EQ(cli::background_from_colorfgbg(unclear), std::nullopt) << unclear;
  }
  EXPECT_EQ(cli::background_from_colorfgbg(nullptr), std::nullopt);

  EXPECT_EQ(cli::default_qr_style(true, "0;15"), QrStyle::colour);
  EXPECT_EQ(cli::default_qr_style(false, "0;15"), QrStyle::light_background);
  EXPECT_EQ(cli::default_qr_style(false, nullptr), QrStyle::dark_background);
}

TEST(TerminalQr, RefusesWhatIsNotAPngQrDataUrl) {
  EXPECT_THROW(cli::png_from_data_url("data:image/gif;base64,R0lGOD=="), DecodingError);
  EXPECT_THROW(cli::png_from_data_url("data:image/png;base64,@@@@"), DecodingError);
  EXPECT_THROW(cli::read_qr_png("not a png"), DecodingError);
  // A white PNG: no finder pattern in its corner.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = image.height = 40;
  image.format = PNG_FORMAT_GRAY;
  const std::vector<unsigned char> white(40 * 40, 255);
  png_alloc_size_t size = 0;
  ASSERT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, white.data(), 0, nullptr));
  std::string blank(size, '\0');
  ASSERT_TRUE(png_image_write_to_memory(&image, blank.data(), &size, 0, white.data(), 0, nullptr));
  blank.resize(size);
  EXPECT_THROW(cli::read_qr_png(blank), DecodingError);
}

// ---------------------------------------------------------------------------
// The program in a terminal

TEST_F(TerminalQrProgram, InAColourTerminalOf80x24TheCodeReadsOnBothThemes) {
  TerminalRun r = run_in_terminal({"login", "--png", "qr.png"}, dir_.path(), terminal_env());
  ASSERT_EQ(r.status, 0) << r.shown;
  const std::string link = saved_link();
  EXPECT_NE(r.shown.find("\x1b[30;47;107m"), std::string::npos) << "drawn black on white";
  Screen screen = after_login(r.shown);
  EXPECT_EQ(read_screen(screen, kLight), link) << screen.text();
  EXPECT_EQ(read_screen(screen, kDark), link) << screen.text();

  // With --wait, while the status line waits below the code: the screen as it
  // is just before the account id replaces the status line.
  r = run_in_terminal({"login", "--wait", "--png", "qr.png"}, dir_.path(), terminal_env());
  ASSERT_EQ(r.status, 0) << r.shown;
  const std::string waited_link = saved_link();
  const auto id_at = r.shown.rfind("\r\x1b[K");
  ASSERT_NE(id_at, std::string::npos) << r.shown;
  screen = Screen(80, 24);
  screen.feed(r.shown.substr(0, id_at));
  EXPECT_NE(screen.text().find("Waiting for the login"), std::string::npos) << screen.text();
  EXPECT_EQ(read_screen(screen, kLight), waited_link) << screen.text();
  EXPECT_EQ(read_screen(screen, kDark), waited_link) << screen.text();

  // A taller terminal gets the full quiet zone: two module rows a line, then
  // the status line. The symbol's version follows the token, so the count is
  // taken from the image the same run saved.
  r = run_in_terminal({"login", "--png", "qr.png"}, dir_.path(), terminal_env(), 50, 80);
  ASSERT_EQ(r.status, 0) << r.shown;
  const cli::QrModules saved = cli::read_qr_png(read_file(dir_.path() / "qr.png"));
  EXPECT_EQ(std::count(r.shown.begin(), r.shown.end(), '\n'), (saved.size + 1) / 2 + 1) << r.shown;
}

TEST_F(TerminalQrProgram, WithoutColoursTheDrawingFollowsTheBackground) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    EnvChanges env;
    const Theme* theme;  // the one it reads on
  };
  const std::vector<Case> cases = {
      {"NO_COLOR, nothing known of the background: drawn for a dark one", {}, {{"NO_COLOR", "1"}}, &kDark},
      {"TERM=dumb", {}, {{"TERM", "dumb"}}, &kDark},
      {"NO_COLOR on a light terminal that says so", {}, {{"NO_COLOR", "1"}, {"COLORFGBG", "0;15"}}, &kLight},
      {"NO_COLOR on a dark terminal that says so", {}, {{"NO_COLOR", "1"}, {"COLORFGBG", "15;0"}}, &kDark},
      {"--qr light over COLORFGBG", {"--qr", "light"}, {{"NO_COLOR", "1"}, {"COLORFGBG", "15;0"}}, &kLight},
      {"--qr dark", {"--qr", "dark"}, {{"TERM", "dumb"}}, &kDark},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"login", "--png", "qr.png"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const TerminalRun r = run_in_terminal(args, dir_.path(), terminal_env(c.env));
    ASSERT_EQ(r.status, 0) << r.shown;
    EXPECT_EQ(r.shown.find('\x1b'), std::string::npos) << "no escape codes";
    const Screen screen = after_login(r.shown);
    EXPECT_EQ(read_screen(screen, *c.theme), saved_link()) << screen.text();
  }

  // Piped (qelkit login | cat): no escape codes unless asked for with --qr colour.
  struct Piped {
    std::vector<std::string> options;
    std::vector<const Theme*> themes;
  };
  for (const Piped& c : {Piped{{}, {&kDark}}, Piped{{"--qr", "colour"}, {&kLight, &kDark}}}) {
    std::vector<std::string> args = {QELKIT_CLI_PATH, "login", "--png", "qr.png"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const testing::ProgramRun r = testing::run_program(args, dir_.path(), terminal_env());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b') == std::string::npos, c.options.empty());
    const Screen screen = after_login(r.out + r.err);
    for (const Theme* theme : c.themes) EXPECT_EQ(read_screen(screen, *theme), saved_link()) << screen.text();
  }

  // A style it does not know is a usage error, before any login starts.
  const std::size_t logins = kSim->sim().logins().size();
  const TerminalRun bad = run_in_terminal({"login", "--qr", "sepia"}, dir_.path(), terminal_env());
  EXPECT_EQ(bad.status, 2) << bad.shown;
  EXPECT_NE(bad.shown.find("--qr must be colour, dark or light, not \"sepia\""), std::string::npos) << bad.shown;
  EXPECT_EQ(kSim->sim().logins().size(), logins);
}

}  // namespace
}  // namespace qelkit
