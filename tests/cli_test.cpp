// The command-line host: its text output and QR drawing as functions, and the
// built `qelkit` program run as a subprocess against the substitute platform
// (argument parsing, table/JSON/CSV output, error lines and exit statuses).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

#include "apps/qelkit/cli.hpp"
#include "apps/qelkit/table.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/sealbox.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/platform_sim.hpp"
#include "tests/support/process.hpp"
#include "tests/support/qr_decode.hpp"
#include "tests/support/files.hpp"
#include "tests/support/net.hpp"

namespace qelkit {
namespace {

namespace fs = std::filesystem;
using testing::PlatformSim;
using testing::PlatformSimEnvironment;
using testing::ScopedEnv;

// Every login is confirmed on the platform half a second after its token.
PlatformSim::Options sim_options() {
  PlatformSim::Options options;
  options.auto_confirm_after = 0.5;
  return options;
}
const auto* const kSim = PlatformSimEnvironment::install(sim_options());

// ---------------------------------------------------------------------------
// Helpers

using qelkit::testing::read_file;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using CliRun = testing::ProgramRun;

// Runs the built qelkit in `cwd` with extra environment settings (a value of
// nothing unsets).
CliRun run_cli(const std::vector<std::string>& args, const fs::path& cwd, const testing::EnvChanges& env = {},
               std::chrono::seconds timeout = std::chrono::seconds(60)) {
  std::vector<std::string> argv = {QELKIT_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing::run_program(argv, cwd, env, timeout);
}

// A fresh directory below the system's temporary directory.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qelkit-cli-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

// A loopback port with nothing listening on it.
using qelkit::testing::closed_port;

// RFC 4180 records: quoted fields with doubled quotes, CRLF record ends.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      record.push_back(std::move(field));
      field.clear();
      records.push_back(std::move(record));
      record.clear();
      ++i;
    } else {
      field += c;
    }
  }
  EXPECT_TRUE(field.empty() && record.empty()) << "CSV does not end with CRLF";
  return records;
}

std::string csv_value(const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

// A normalised detail row as the command prints it, with the typed rows' one
// type per member: an integer date YYYYMMDD as "YYYY-MM-DD", ids and names
// as text.
Json printed_row(Json row) {
  if (row["date"].is_number_integer()) {
    const std::string d = row["date"].dump();
    row["date"] = d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  }
  for (const char* key : {"qel_id", "drama_name", "qel_nickname"}) {
    if (!row[key].is_string()) row[key] = row[key].dump();
  }
  return row;
}

// Draws half-block lines back into a grayscale PNG, `scale` pixels per
// module, with a light margin, so a QR reader can decode what a terminal shows.
std::string png_from_half_blocks(const std::vector<std::string>& lines, int scale) {
  std::vector<std::vector<bool>> rows;
  for (const auto& line : lines) {
    std::vector<bool> top, bottom;
    for (std::size_t i = 0; i < line.size();) {
      if (line.compare(i, 3, "\u2580") == 0) {
        top.push_back(true), bottom.push_back(false), i += 3;
      } else if (line.compare(i, 3, "\u2584") == 0) {
        top.push_back(false), bottom.push_back(true), i += 3;
      } else if (line.compare(i, 3, "\u2588") == 0) {
        top.push_back(true), bottom.push_back(true), i += 3;
      } else if (line[i] == ' ') {
        top.push_back(false), bottom.push_back(false), i += 1;
      } else {
        ADD_FAILURE() << "unexpected byte in QR line: " << line;
        return {};
      }
    }
    rows.push_back(top);
    rows.push_back(bottom);
  }
  std::size_t width = 0;
  for (const auto& r : rows) width = std::max(width, r.size());
  const int margin = 4 * scale;
  const int w = static_cast<int>(width) * scale + 2 * margin;
  const int h = static_cast<int>(rows.size()) * scale + 2 * margin;
  std::vector<unsigned char> px(static_cast<std::size_t>(w) * h, 255);
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < rows[y].size(); ++x) {
      if (!rows[y][x]) continue;
      for (int dy = 0; dy < scale; ++dy) {
        for (int dx = 0; dx < scale; ++dx) {
          px[static_cast<std::size_t>(margin + static_cast<int>(y) * scale + dy) * w + margin +
             static_cast<int>(x) * scale + dx] = 0;
        }
      }
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(w);
  image.height = static_cast<png_uint_32>(h);
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, px.data(), 0, nullptr)) return {};
  std::string png(size, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, px.data(), 0, nullptr)) return {};
  png.resize(size);
  return png;
}

// ---------------------------------------------------------------------------
// Text output

TEST(CliText, DisplayWidthCountsWideCharactersTwiceAndMarksNone) {
  EXPECT_EQ(cli::display_width("abc"), 3);
  EXPECT_EQ(cli::display_width("中文"), 4);
  EXPECT_EQ(cli::display_width("復讐の花嫁"), 10);
  EXPECT_EQ(cli::display_width("月光下的约定 🌙"), 15);
  EXPECT_EQ(cli::display_width("Café"), 4);
  EXPECT_EQ(cli::display_width("Cafe\u0301"), 4);  // combining acute accent
  EXPECT_EQ(cli::display_width("ＡＢ"), 4);        // full-width Latin
  EXPECT_EQ(cli::display_width("\xff\xfe"), 2);    // not UTF-8: a column per byte
}

TEST(CliText, TerminalSafeReplacesControlsAndInvalidBytes) {
  EXPECT_EQ(cli::terminal_safe("plain 中文"), "plain 中文");
  EXPECT_EQ(cli::terminal_safe("a\x1b[2Jb"), "a\uFFFD[2Jb");
  EXPECT_EQ(cli::terminal_safe("line\nbreak\r\t"), "line\uFFFDbreak\uFFFD\uFFFD");
  EXPECT_EQ(cli::terminal_safe("x\xc2\x9by"), "x\uFFFDy");  // C1 control (CSI)
  EXPECT_EQ(cli::terminal_safe("bad\xff"), "bad\uFFFD");
}

TEST(CliText, TableAlignsByDisplayColumnsAndRightAlignsNumbers) {
  Json rows = Json::parse(R"([{"name":"中文","n":1,"flag":true},{"name":"ab","n":12345,"flag":null},{"n":-7}])");
  EXPECT_EQ(cli::render_table({"name", "n", "flag"}, rows),
            "name      n  flag\n"
            "----  -----  ----\n"
            "中文      1  true\n"
            "ab    12345\n"
            "         -7\n");
  // Hostile text from the platform cannot reach the terminal as escape codes.
  Json hostile = Json::array({Json{{"name", "x\x1b]0;owned\x07"}}});
  EXPECT_EQ(cli::render_table({"name"}, hostile).find('\x1b'), std::string::npos);
  EXPECT_EQ(cli::render_table({"a", "b"}, Json::array()), "a  b\n-  -\n");
}

TEST(CliText, CsvQuotesPerRfc4180) {
  EXPECT_EQ(cli::csv_field("plain text"), "plain text");
  EXPECT_EQ(cli::csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(cli::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(cli::csv_field("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(cli::csv_field("cr\r"), "\"cr\r\"");
  EXPECT_EQ(cli::csv_field(""), "");
  Json rows = Json::parse(R"([{"name":"Café, \"the\" one","n":3,"ok":false},{"name":null,"n":2.5}])");
  const std::string csv = cli::render_csv({"name", "n", "ok"}, rows);
  EXPECT_EQ(csv, "name,n,ok\r\n\"Café, \"\"the\"\" one\",3,false\r\n,2.5,\r\n");
  auto records = parse_csv(csv);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1][0], "Café, \"the\" one");
}

TEST(CliText, OutputGoesToTheSinkARowAtATime) {
  // Each line is handed over on its own, so printing never builds the whole
  // text beside the rows.
  Json rows = Json::array();
  for (int i = 0; i < 50; ++i) rows.push_back(Json{{"name", "row " + std::to_string(i)}, {"n", i * 1000}});
  std::vector<std::string> pieces;
  const cli::LineSink keep = [&pieces](std::string_view text) { pieces.emplace_back(text); };
  cli::render_table({"name", "n"}, rows, keep);
  ASSERT_EQ(pieces.size(), 52u);
  EXPECT_EQ(pieces[0], "name        n\n");
  EXPECT_EQ(pieces[51], "row 49  49000\n");
  pieces.clear();
  cli::render_csv({"name", "n"}, rows, keep);
  ASSERT_EQ(pieces.size(), 51u);
  EXPECT_EQ(pieces[1], "row 0,0\r\n");

  // JSON in pieces is Json::dump()'s text byte for byte, non-ASCII, escapes,
  // empty containers and nesting included; text that is not UTF-8 fails as
  // dump() does.
  const Json result = Json::parse(
      R"({"code":0,"data":[{"drama_name":"月光 \"q\"\n","n":-1.5,"e":{},"l":[[1,{"k":null}]]},[],{}],"x":{"y":[true]}})");
  for (const Json& value : {result, result["data"], Json::object(), Json::array(), Json(7), Json("t")}) {
    std::string text;
    std::size_t calls = 0;
    cli::render_json(value, [&](std::string_view piece) {
      text += piece;
      ++calls;
    });
    EXPECT_EQ(text, value.dump());
    if (value.is_structured() && value.size() > 1) {
      EXPECT_GT(calls, value.size());
    }
  }
  EXPECT_THROW(cli::render_json(Json{{"data", Json::array({"bad \xff"})}}, [](std::string_view) {}),
               Json::type_error);
}

TEST(CliText, TimesAreEpochSecondsOrLocalMidnight) {
  EXPECT_EQ(cli::parse_time("0"), 0);
  EXPECT_EQ(cli::parse_time("1772323200"), 1772323200);
  EXPECT_EQ(cli::parse_time("-86400"), -86400);
  EXPECT_EQ(cli::parse_time("99999999999999999999"), std::nullopt);
  for (const char* bad : {"", "-", "12x", " 12", "2026-3-01", "2026/03/01", "2026-02-30", "2026-13-01",
                          "2026-02-29", "2026-03-01T00:00"}) {
    EXPECT_EQ(cli::parse_time(bad), std::nullopt) << bad;
  }
  {
    ScopedEnv tz("TZ", "CST-8");  // UTC+8, no daylight saving
    ::tzset();
    EXPECT_EQ(cli::parse_time("2026-03-01"), 1772294400);
    EXPECT_EQ(cli::parse_time("2024-02-29"), 1709136000);
  }
  {
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    ::tzset();
    EXPECT_EQ(cli::parse_time("2026-03-08"), 1772946000);  // the day clocks go forward: still EST at midnight
    EXPECT_EQ(cli::parse_time("2026-07-01"), 1782878400);  // EDT
  }
  ::tzset();
}

// ---------------------------------------------------------------------------
// The program: command line

class CliProgram : public ::testing::Test {
 protected:
  TempDir dir_;

  CliRun run(const std::vector<std::string>& args,
          const std::vector<std::pair<std::string, std::optional<std::string>>>& env = {}) {
    return run_cli(args, dir_.path(), env);
  }
};

TEST_F(CliProgram, UsageErrorsAreOneLineWithStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"stats", "acct", "1"},
      {"stats", "acct", "1", "2", "3"},
      {"stats", "acct", "2026-02-30", "2026-03-01"},
      {"stats", "acct", "yesterday", "5"},
      {"stats", "acct", "10", "5"},
      {"stats", "acct", "1", "2", "--json", "--csv"},
      {"stats", "acct", "1", "2", "--page", "0"},
      {"stats", "acct", "1", "2", "--page", "two"},
      {"stats", "acct", "1", "2", "--page"},
      {"stats", "acct", "1", "2", "--bogus"},
      {"detail", "acct"},
      {"detail", "acct", "5", "--page", "2"},
      {"login", "extra"},
      {"login", "--wait=yes"},
      {"login", "--png"},
      {"accounts", "extra"},
      {"help", "frobnicate"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    CliRun r = run(args);
    EXPECT_EQ(r.status, cli::kUsage) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << shown << r.err;
    EXPECT_EQ(r.err.rfind("qelkit: ", 0), 0u) << shown << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << shown << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "json" / "data.json"));
}

TEST_F(CliProgram, VersionTellsTheLibrariesTheImpersonationAndWhereRequestsGo) {
  CliRun r = run({"--version"}, {{"QELKIT_PLATFORM_ORIGIN", "https://platform.test:9443/"}, {"QELKIT_CA_FILE", "/x/ca.pem"}});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "qelkit 0.1.0");
  const TransportInfo t = transport_info();
  EXPECT_EQ(lines[1], "libcurl " + t.libcurl + " (TLS: " + t.tls + "; HTTP/2: " + t.http2 + ")");
  // The impersonating libcurl carries its own TLS library.
  EXPECT_EQ(t.tls.rfind(t.impersonating ? "BoringSSL" : "OpenSSL/", 0), 0u) << t.tls;
  EXPECT_EQ(t.http2.rfind("nghttp2/", 0), 0u) << t.http2;
  EXPECT_EQ(lines[2], "impersonation: " + t.impersonation);
  EXPECT_EQ(t.impersonation, t.impersonating
                                 ? "full: impersonating libcurl"
                                 : "nearest profile on stock libcurl: ciphers, groups, signature algorithms, ALPN, "
                                   "headers; missing: GREASE, certificate compression, post-quantum group, extension "
                                   "order, HTTP/2 settings");
  EXPECT_EQ(lines[3], "platform origin: https://platform.test:9443");
  // The system's certificates: their hashed directory where libcurl has one
  // (Debian's does), so that no bundle is parsed whole.
  const std::string system_ca = "system certificates in " + t.ca_path;
  EXPECT_EQ(t.ca_path, "/etc/ssl/certs");
  EXPECT_EQ(t.ca_bundle, "");
  EXPECT_EQ(lines[4], "CA file: /x/ca.pem (QELKIT_CA_FILE), with the " + system_ca);

  r = run({"--version"}, {{"QELKIT_CA_FILE", std::nullopt}});
  ASSERT_EQ(lines_of(r.out).size(), 5u) << r.out;
  EXPECT_EQ(lines_of(r.out)[4], "CA file: " + system_ca + " (QELKIT_CA_FILE not set)") << r.out;
}

TEST_F(CliProgram, EveryCommandHasHelp) {
  CliRun main_help = run({"--help"});
  EXPECT_EQ(main_help.status, 0);
  EXPECT_EQ(main_help.out.rfind("Usage: qelkit <command>", 0), 0u);
  for (const char* line : {"  2  the command line is wrong", "  3  no stored login for the account",
                           "  4  the stored login does not decrypt", "  5  the platform cannot be reached",
                           "  6  the platform refused"}) {
    EXPECT_NE(main_help.out.find(line), std::string::npos) << line;
  }
  EXPECT_NE(main_help.out.find(kSim->sim().origin()), std::string::npos) << "names the platform in force";
  EXPECT_EQ(run({"help"}).out, main_help.out);
  for (const char* command : {"login", "accounts", "stats", "detail"}) {
    CliRun a = run({command, "--help"});
    CliRun b = run({"help", command});
    CliRun c = run({command, "-h"});
    EXPECT_EQ(a.status, 0) << command;
    EXPECT_EQ(a.out.rfind(std::string("Usage: qelkit ") + command, 0), 0u) << command;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.out, c.out);
    EXPECT_EQ(a.err, "");
  }
}

// ---------------------------------------------------------------------------
// The program against the substitute platform

class CliPlatform : public CliProgram {
 protected:
  void SetUp() override { kSim->sim().reset(); }

  fs::path data_file() const { return dir_.path() / "json" / "data.json"; }

  Json stored() const { return Json::parse(read_file(data_file())); }

  // Logs an account in through `qelkit login --wait` and returns its id.
  std::string login() {
    CliRun r = run({"login", "--wait"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(r.out);
    if (lines.size() != 1) {
      ADD_FAILURE() << "login --wait printed: " << r.out << r.err;
      return "";
    }
    return lines[0];
  }

  // The platform's index of the account with this id.
  int account_index(const std::string& id) const {
    for (const auto& a : kSim->sim().accounts()) {
      if (a["id_text"] == id) return a["account"].get<int>();
    }
    ADD_FAILURE() << "no account " << id << " on the platform";
    return 0;
  }
};

TEST_F(CliPlatform, LoginWaitPrintsTheStoredAccountAndShowsAReadableCode) {
  CliRun r = run({"login", "--wait", "--png", "qr.png"}, {{"COLORFGBG", "0;15"}});  // a light terminal
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string id = lines_of(r.out).at(0);
  EXPECT_EQ(r.out, id + "\n") << "only the account id on standard output";
  ASSERT_TRUE(stored().contains(id));
  EXPECT_NO_THROW(account_index(id));

  // Standard output is not a terminal: the code went to standard error, as
  // plain half blocks (dark ones, for a light background) that read back as
  // the confirm-login link.
  std::vector<std::string> qr_lines;
  for (const auto& line : lines_of(r.err)) {
    if (line.find("\u2588") != std::string::npos || line.find("\u2580") != std::string::npos ||
        line.find("\u2584") != std::string::npos) {
      qr_lines.push_back(line);
    }
  }
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  const std::string drawn = testing::decode_qr_png(png_from_half_blocks(qr_lines, 4));
  const std::string saved = testing::decode_qr_png(read_file(dir_.path() / "qr.png"));
  EXPECT_EQ(drawn, saved);
  EXPECT_EQ(saved.rfind(kSim->sim().origin() + "/mobile/confirm_login.html?token=", 0), 0u) << saved;

  // A second login adds (or replaces) an account; --wait reports that one.
  const Json before = stored();
  CliRun again = run({"login", "--wait"});
  ASSERT_EQ(again.status, 0) << again.err;
  const std::string second = lines_of(again.out).at(0);
  const Json after = stored();
  ASSERT_TRUE(after.contains(second));
  EXPECT_TRUE(!before.contains(second) || before[second] != after[second]);

  CliRun accounts = run({"accounts"});
  EXPECT_EQ(accounts.status, 0);
  std::string expected;
  for (const auto& [key, value] : after.items()) expected += key + "\n";
  EXPECT_EQ(accounts.out, expected);
}

TEST_F(CliPlatform, LoginWithoutWaitShowsTheCodeOnStandardOutputAndCompletesInTheBackground) {
  CliRun r = run({"login", "--print-link"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\u2588"), std::string::npos);
  // The link as text after the code, as the code holds it.
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind(kSim->sim().origin() + "/mobile/confirm_login.html?token=", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "no colours when standard output is a file";
  // The child of that qelkit stores the account shortly after.
  for (int i = 0; i < 100 && !fs::exists(data_file()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(fs::exists(data_file()));
  for (int i = 0; i < 50 && stored().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(CliPlatform, StatsInAllThreeFormats) {
  const std::string id = login();
  ASSERT_FALSE(id.empty());
  const int account = account_index(id);
  kSim->sim().set_list_total(account, 12);  // three pages of five
  const std::string start = "2026-03-01", end = "2026-03-31";

  Json facade_page1, facade_page3;
  {
    ScopedCwd cwd(dir_.path());
    facade_page1 = QelDriver::get_data_statistic(id, *cli::parse_time(start), *cli::parse_time(end), 1);
    facade_page3 = QelDriver::get_data_statistic(id, *cli::parse_time(start), *cli::parse_time(end), 3);
  }
  ASSERT_EQ(facade_page1.size(), 5u);
  ASSERT_EQ(facade_page3.size(), 2u);

  CliRun json = run({"stats", id, start, end, "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, facade_page1.dump() + "\n");
  CliRun json3 = run({"stats", id, start, end, "--page", "3", "--json"});
  EXPECT_EQ(json3.out, facade_page3.dump() + "\n");
  CliRun epoch = run({"stats", id, std::to_string(*cli::parse_time(start)), std::to_string(*cli::parse_time(end)),
                   "--json"});
  EXPECT_EQ(epoch.out, json.out);

  CliRun csv = run({"stats", "--csv", id, start, end});
  ASSERT_EQ(csv.status, 0) << csv.err;
  auto records = parse_csv(csv.out);
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0], (std::vector<std::string>{"drama_name", "view_number", "iaa_income", "mount_income"}));
  for (std::size_t i = 0; i < 5; ++i) {
    const Json& row = facade_page1[i];
    EXPECT_EQ(records[i + 1], (std::vector<std::string>{csv_value(row["drama_name"]), csv_value(row["view_number"]),
                                                        csv_value(row["iaa_income"]), csv_value(row["mount_income"])}));
  }

  CliRun table = run({"stats", id, start, end});
  ASSERT_EQ(table.status, 0) << table.err;
  auto lines = lines_of(table.out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].rfind("drama_name", 0), 0u);
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string name = cli::terminal_safe(facade_page1[i]["drama_name"].get<std::string>());
    EXPECT_EQ(lines[i + 2].rfind(name, 0), 0u) << lines[i + 2];
    // The last column holds numbers, right-aligned: every line ends at the same display column.
    EXPECT_EQ(cli::display_width(lines[i + 2]), cli::display_width(lines[0])) << lines[i + 2];
  }
}

TEST_F(CliPlatform, DetailInAllThreeFormats) {
  const std::string id = login();
  ASSERT_FALSE(id.empty());
  const int account = account_index(id);
  const std::int64_t ts = 1772323200;
  kSim->sim().set_download_rows(account, 45, ts);  // three pages of twenty
  const Json served = kSim->sim().expected_rows(account, ts);
  Json expected = Json::array();
  for (const Json& row : served["normalised"]) expected.push_back(printed_row(row));
  ASSERT_EQ(expected.size(), 45u);

  CliRun json = run({"detail", id, std::to_string(ts), "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(Json::parse(json.out), (Json{{"code", 0}, {"data", expected}}));
  EXPECT_EQ(json.err, "") << "no live counter when standard error is not a terminal";

  CliRun csv = run({"detail", id, std::to_string(ts), "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  auto records = parse_csv(csv.out);
  ASSERT_EQ(records.size(), 46u);
  EXPECT_EQ(records[0], (std::vector<std::string>{"date", "qel_id", "drama_name", "is_mount", "feed_read_count",
                                                  "drama_read_count", "iaa_income", "mount_income", "qel_nickname"}));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::vector<std::string> want;
    for (const auto& [key, value] : expected[i].items()) want.push_back(csv_value(value));
    EXPECT_EQ(records[i + 1], want) << "row " << i;
  }

  CliRun table = run({"detail", id, std::to_string(ts)});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(lines_of(table.out).size(), 47u);

  // --columns: the named ones, in that order, for a table that fits.
  CliRun narrow = run({"detail", id, std::to_string(ts), "--csv", "--columns", "drama_name,date"});
  ASSERT_EQ(narrow.status, 0) << narrow.err;
  records = parse_csv(narrow.out);
  ASSERT_EQ(records.size(), 46u);
  EXPECT_EQ(records[0], (std::vector<std::string>{"drama_name", "date"}));
  EXPECT_EQ(records[1], (std::vector<std::string>{csv_value(expected[0]["drama_name"]), csv_value(expected[0]["date"])}));
  CliRun narrow_table = run({"detail", id, std::to_string(ts), "--columns", "date,iaa_income"});
  EXPECT_THAT(lines_of(narrow_table.out).at(0), ::testing::MatchesRegex("date +iaa_income")) << narrow_table.out;
  for (const auto& args : std::vector<std::vector<std::string>>{{"--columns", "date,nope"}, {"--columns", ""},
                                                                 {"--columns", "date", "--json"}}) {
    std::vector<std::string> full = {"detail", id, std::to_string(ts)};
    full.insert(full.end(), args.begin(), args.end());
    EXPECT_EQ(run(full).status, cli::kUsage) << args[1];
  }

  // A time without rows: an empty table, and a note on standard error.
  kSim->sim().set_download_rows(account, 0, ts + 86400);
  CliRun empty = run({"detail", id, std::to_string(ts + 86400)});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(lines_of(empty.out).size(), 2u);
  EXPECT_EQ(empty.err, "no statistics found\n");
}

TEST_F(CliPlatform, UnknownAccountIsStatus3WithoutAskingThePlatform) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"stats", "nobody", "1", "2"},
                                                                 {"detail", "nobody", "2026-03-01", "--json"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, cli::kUnknownAccount);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "qelkit: no stored login for account nobody; run qelkit login\n");
  }
  EXPECT_TRUE(kSim->sim().requests().empty());
  CliRun accounts = run({"accounts"});
  EXPECT_EQ(accounts.status, 0);
  EXPECT_EQ(accounts.out, "");
}

TEST_F(CliPlatform, AnUnreadableDataFileIsStatus8NamingItsPath) {
  fs::create_directory(dir_.path() / "json");
  const fs::path data = dir_.path() / "json" / "data.json";
  // A login starts neither: it would move the file aside and its logins
  // would go out of use. No message quotes the file.
  for (const std::string& bytes : {std::string("{\"acct\": \"SECRETx"), std::string("\xEF\xBB\xBF{}"),
                                   std::string("[\"acct\"]")}) {
    std::ofstream(data, std::ios::binary) << bytes;
    for (const auto& args : std::vector<std::vector<std::string>>{{"accounts"},
                                                                   {"stats", "acct", "1", "2"},
                                                                   {"detail", "acct", "2026-03-01"},
                                                                   {"login"},
                                                                   {"login", "--wait"}}) {
      CliRun r = run(args);
      EXPECT_EQ(r.status, cli::kUnreadableData) << bytes << " " << args[0];
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind("qelkit: the data file " + data.string() + " is unreadable (", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("move it aside"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("SECRET"), std::string::npos) << r.err;
      EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    }
    EXPECT_EQ(read_file(data), bytes);
  }
  EXPECT_TRUE(kSim->sim().requests().empty());
}

TEST_F(CliProgram, DashCWithoutARunnableScriptIsStatus2) {
  for (const std::string& script : {std::string("anything"), std::string(""),
                                    qelkit::TaskFactory::build_script("/", "no.such", "X", "y", Json::array())}) {
    CliRun r = run({"-c", script});
    EXPECT_EQ(r.status, cli::kUsage) << script;
    EXPECT_EQ(r.err.rfind("qelkit child task: ", 0), 0u) << r.err;
  }
}

TEST_F(CliPlatform, StoredValueThatDoesNotDecryptIsStatus4) {
  fs::create_directories(dir_.path() / "json");
  Json data = Json::object();
  data["other-key"] = CryptoHelper("another", "pass", "phrase").encrypt("session-of-someone");
  data["not-base64"] = "%%%not base64%%%";
  data["too-short"] = "QUJD";
  data["a-number"] = 12345;
  std::ofstream(dir_.path() / "json" / "data.json") << data.dump();
  for (const auto& [id, value] : data.items()) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"stats", id, "1", "2"}, {"detail", id, "1"}}) {
      CliRun r = run(args);
      EXPECT_EQ(r.status, cli::kUndecryptable) << id << ": " << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "qelkit: the stored login for account " + id +
                           " does not decrypt (written by another build, or damaged); run qelkit login again\n");
    }
  }
  EXPECT_TRUE(kSim->sim().requests().empty());
}

TEST_F(CliPlatform, UnreachablePlatformIsStatus5NamingTheOrigin) {
  const std::string id = login();
  ASSERT_FALSE(id.empty());
  const std::string origin = "https://127.0.0.1:" + std::to_string(closed_port());
  const std::vector<std::pair<std::string, std::optional<std::string>>> env = {{"QELKIT_PLATFORM_ORIGIN", origin}};
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"stats", id, "1", "2"}, {"detail", id, "1772323200"}, {"login"}}) {
    CliRun r = run_cli(args, dir_.path(), env);
    EXPECT_EQ(r.status, cli::kUnreachable) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("qelkit: cannot reach the platform at " + origin + ": ", 0), 0u) << r.err;
  }
}

TEST_F(CliPlatform, PlatformRefusalsAreStatus6AndOutagesStatus5InWords) {
  const std::string id = login();
  ASSERT_FALSE(id.empty());
  auto& sim = kSim->sim();
  const std::string list_path(SpiderDriver::kStatisticsListPath);
  const std::string download_path(SpiderDriver::kStatisticsDownloadPath);

  sim.script(std::string(SpiderDriver::kLoginCodePath), Json{{"errCode", 1}});
  CliRun refused = run({"login", "--wait"});
  EXPECT_EQ(refused.status, cli::kRefused);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "qelkit: the platform refused to issue a login code\n");

  // Refusals the library reports as typed errors.
  sim.script(list_path, Json{{"errCode", 300334}});
  CliRun expired = run({"stats", id, "1", "2"});
  EXPECT_EQ(expired.status, cli::kRefused);
  EXPECT_EQ(expired.out, "");
  EXPECT_EQ(expired.err, "qelkit: the login of account " + id + " has expired; run qelkit login\n");

  sim.script(list_path, Json{{"errCode", 5}});
  CliRun other = run({"stats", id, "1", "2", "--json"});
  EXPECT_EQ(other.status, cli::kRefused);
  EXPECT_EQ(other.err, "qelkit: the platform refused the statistics query (errCode 5)\n");

  // A platform that answers every attempt with 503 is down, not refusing.
  sim.script(list_path, Json{{"status", 503}, {"count", 3}});
  CliRun http = run({"stats", id, "1", "2"});
  EXPECT_EQ(http.status, cli::kUnreachable);
  EXPECT_EQ(http.err, "qelkit: cannot reach the platform at " + sim.origin() + ": no reply from " + sim.origin() +
                          list_path + " after 3 attempts (last: HTTP status 503)\n");

  // Detail pages that could not be fetched: an error, and no partial table.
  sim.script(download_path, Json{{"errCode", 300500}});
  CliRun page = run({"detail", id, "1772323200"});
  EXPECT_EQ(page.status, cli::kRefused) << page.err;
  EXPECT_EQ(page.out, "");
  EXPECT_EQ(page.err.rfind("qelkit: the platform refused the detailed statistics download (errCode 300500 for page ", 0),
            0u) << page.err;
  EXPECT_EQ(lines_of(page.err).size(), 1u) << page.err;

  // A page the platform answers with errCode 303 is refused, not "busy".
  sim.script(download_path, Json{{"errCode", 303}});
  CliRun refused_303 = run({"detail", id, "1772323200"});
  EXPECT_EQ(refused_303.status, cli::kRefused) << refused_303.err;
  EXPECT_EQ(
      refused_303.err.rfind("qelkit: the platform refused the detailed statistics download (errCode 303 for page ", 0),
      0u)
      << refused_303.err;

  sim.script(download_path, Json{{"real", true}, {"cut_after", 5}, {"count", 18}});  // every attempt of batch 0
  CliRun cut = run({"detail", id, "1772323200", "--csv"});
  EXPECT_EQ(cut.status, cli::kUnreachable) << cut.err;
  EXPECT_EQ(cut.out, "");
  EXPECT_EQ(cut.err.rfind("qelkit: cannot reach the platform at " + sim.origin() +
                              ": pages 0, 1, 2, 3, 4, 5 of the detailed statistics could not be fetched: no reply from ",
                          0),
            0u)
      << cut.err;

  // An expired session in the detailed download: every page refused.
  const Json logins = sim.logins();
  ASSERT_FALSE(logins["sessions"].empty());
  for (const auto& s : logins["sessions"]) sim.expire_session(s["session_id"].get<std::string>());
  CliRun detail = run({"detail", id, "1772323200", "--json"});
  EXPECT_EQ(detail.status, cli::kRefused) << detail.out;
  EXPECT_EQ(detail.out, "");
  EXPECT_EQ(detail.err, "qelkit: the login of account " + id + " has expired; run qelkit login\n");
}

// ---------------------------------------------------------------------------
// The log (QELKIT_LOG, -v)

TEST_F(CliPlatform, TheLogShowsEachRequestRetryAndBusyWaitAndNoSecret) {
  auto& sim = kSim->sim();
  const testing::EnvChanges debug = {{"QELKIT_LOG", "debug"}};
  CliRun in = run({"login", "--wait"}, debug);
  ASSERT_EQ(in.status, 0) << in.err;
  const std::string id = lines_of(in.out).at(0);
  sim.script(std::string(SpiderDriver::kStatisticsListPath), Json{{"status", 502}});
  CliRun stats = run({"-v", "stats", id, "1", "2"});
  EXPECT_EQ(stats.status, 0) << stats.err;
  sim.script(std::string(SpiderDriver::kStatisticsDownloadPath), Json{{"errCode", 300200}});
  CliRun detail = run({"detail", id, "2026-03-01"}, debug);
  EXPECT_EQ(detail.status, 0) << detail.err;
  CliRun check = run({"accounts", "--check", "--verbose"});
  CliRun beat = run({"keepalive"}, debug);
  CliRun quiet = run({"accounts", "--check"});
  EXPECT_EQ(quiet.err, "") << "off unless asked for";

  const std::string log = in.err + stats.err + detail.err + check.err + beat.err;
  const std::string time = "qelkit [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z ";
  auto has_line = [&](const std::string& pattern) {
    const auto matches = ::testing::MatchesRegex(time + pattern);
    for (const std::string& line : lines_of(log)) {
      if (::testing::Matches(matches)(line)) return true;
    }
    return false;
  };
  const std::string answered = " status=200 errCode=0 attempt=[12] ms=[0-9]+ bytes=[0-9]+";
  for (std::string_view path : {SpiderDriver::kLoginCodePath, SpiderDriver::kLoginStatusPath,
                                SpiderDriver::kAuthDataPath, SpiderDriver::kStatisticsListPath,
                                SpiderDriver::kStatisticsDownloadPath}) {
    EXPECT_TRUE(has_line("info request method=POST path=" + std::string(path) + answered)) << path << "\n" << log;
  }
  EXPECT_TRUE(has_line("info request method=GET path=" + std::string(SpiderDriver::kHeartbeatPath) +
                       " status=200 errCode=- attempt=1 ms=[0-9]+ bytes=[0-9]+"));
  EXPECT_TRUE(has_line("info request method=POST path=" + std::string(SpiderDriver::kStatisticsListPath) +
                       " status=502 errCode=- attempt=1 ms=[0-9]+ bytes=[0-9]+"));
  EXPECT_TRUE(has_line("info retry method=POST path=" + std::string(SpiderDriver::kStatisticsListPath) +
                       " attempt=1 of=3 pause_s=1.0"));
  EXPECT_TRUE(has_line("info busy path=" + std::string(SpiderDriver::kStatisticsDownloadPath) +
                       " errCode=300200 wait=1 of=10 pause_s=3.0"));
  EXPECT_TRUE(has_line("debug login_status status=1"));
  EXPECT_TRUE(has_line("debug send method=POST path=" + std::string(SpiderDriver::kAuthDataPath) + " attempt=1"));

  // No session id, cookie, login token or stored value, in any form.
  std::vector<std::string> secrets = {"sessionid", "Cookie", "token="};
  const Json logins = sim.logins();
  for (const Json& l : logins["logins"]) secrets.push_back(l["token"].get<std::string>());
  for (const Json& s : logins["sessions"]) secrets.push_back(s["session_id"].get<std::string>());
  const Json data = stored();
  for (const auto& [account, value] : data.items()) secrets.push_back(value.get<std::string>().substr(0, 16));
  for (const std::string& secret : secrets) {
    ASSERT_FALSE(secret.empty());
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
}

// ---------------------------------------------------------------------------
// Stored accounts: accounts --check, logout, keepalive

TEST_F(CliPlatform, AccountsCheckLogoutAndKeepalive) {
  const std::string first = login();
  const std::string second = login();
  ASSERT_NE(first, second) << "the platform confirms each login for the next account";
  auto& sim = kSim->sim();
  auto nickname = [&](const std::string& id) { return sim.accounts()[account_index(id)]["nickname"].get<std::string>(); };
  auto session = [&](const std::string& id) {
    const Json logins = sim.logins();
    for (const auto& s : logins["sessions"]) {
      if (s["account"] == account_index(id)) return s["session_id"].get<std::string>();
    }
    ADD_FAILURE() << "no session of " << id;
    return std::string();
  };

  // The table: the ids, the platform's display names, live.
  CliRun table = run({"accounts", "--check"});
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out, cli::render_table({"account", "display_name", "state"},
                                         Json::array({{{"account", first}, {"display_name", nickname(first)}, {"state", "live"}},
                                                      {{"account", second}, {"display_name", nickname(second)}, {"state", "live"}}})));
  EXPECT_EQ(table.err, "");

  // An expired login is an answer, not a failure, and keeps the name its
  // last check found; JSON for scripts.
  sim.expire_session(session(first));
  CliRun json = run({"accounts", "--check", "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(Json::parse(json.out),
            Json::parse(R"([{"account": ")" + first + R"(", "display_name": ")" + nickname(first) + R"(", "state": "expired"},
                            {"account": ")" + second + R"(", "display_name": ")" + nickname(second) + R"(", "state": "live"}])"));
  CliRun ids = run({"accounts", "--json"});
  EXPECT_EQ(ids.status, 0);
  EXPECT_EQ(Json::parse(ids.out), Json::array({first, second}));

  // An account that cannot be checked is reported; the others still are.
  // The checks run side by side, so either may meet the scripted refusal.
  sim.script(std::string(SpiderDriver::kAuthDataPath), Json{{"errCode", 77}});
  CliRun refused = run({"accounts", "--check", "--json"});
  EXPECT_EQ(refused.status, cli::kRefused);
  const Json rows = Json::parse(refused.out);
  ASSERT_EQ(rows.size(), 2u);
  const int failed = rows[0]["state"] == "error" ? 0 : 1;
  EXPECT_EQ(rows[failed]["state"], "error");
  EXPECT_EQ(rows[1 - failed]["state"], failed == 0 ? "live" : "expired");
  EXPECT_EQ(refused.err, "qelkit: the platform refused the check of account " +
                             rows[failed]["account"].get<std::string>() + " (errCode 77)\n");

  // The heartbeat goes out for every account, or those named.
  const std::string beat(SpiderDriver::kHeartbeatPath);
  // It is sent for the expired login too, and says that sent is not live.
  const std::string not_a_check =
      "a heartbeat does not tell whether a login is still valid (the platform answers it with no status); "
      "run qelkit accounts --check to see which logins are live\n";
  CliRun all = run({"keepalive"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, first + "\n" + second + "\n");
  EXPECT_EQ(all.err, not_a_check);
  EXPECT_EQ(sim.requests(beat).size(), 2u);
  CliRun named = run({"keepalive", second, "nobody"});
  EXPECT_EQ(named.status, cli::kUnknownAccount);
  EXPECT_EQ(named.out, second + "\n");
  EXPECT_EQ(named.err, "qelkit: no stored login for account nobody; run qelkit login\n" + not_a_check);
  const auto beats = sim.requests(beat);
  ASSERT_EQ(beats.size(), 3u);
  EXPECT_EQ(testing::header_of(beats.back(), "Cookie"), "sessionid=" + session(second));

  // logout forgets one account, and only that one.
  CliRun out = run({"logout", first});
  EXPECT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out, "");
  EXPECT_EQ(stored(), (Json{{second, stored()[second]}}));
  CliRun again = run({"logout", first});
  EXPECT_EQ(again.status, cli::kUnknownAccount);
  EXPECT_EQ(again.err, "qelkit: no stored login for account " + first + "; nothing to forget\n");
  EXPECT_EQ(run({"accounts"}).out, second + "\t" + nickname(second) + "\n") << "with the remembered name";
  for (const char* command : {"logout", "keepalive"}) {
    CliRun help = run({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: qelkit ") + command, 0), 0u);
  }
  EXPECT_EQ(run({"logout"}).status, cli::kUsage);
  EXPECT_EQ(run({"accounts", "--check", "extra"}).status, cli::kUsage);
}

TEST_F(CliPlatform, AccountIdsAndNamesAreMadeSafeForTheTerminalAndExactInJson) {
  const std::string id = login();
  // A hostile member written into the data file directly (its value is a
  // real login, of another account), and a hostile display name from the
  // platform.
  const std::string hostile_id = std::string("\x1b]0;owned\x07\x1b[2J\x1b[31mred") + std::string(1, '\0') + "x";
  const std::string hostile_name = "\x1b]8;;https://x.invalid\x07name\x1b]8;;\x07\r\xc2\x9b";
  Json doc = stored();
  doc[hostile_id] = doc[id];
  std::ofstream(data_file(), std::ios::binary | std::ios::trunc) << doc.dump(2);
  // Both checks run side by side: either may take the scripted reply, and the
  // other gets the same.
  const Json hostile_reply{{"errCode", 0},
                           {"data", {{"finderUser", {{"uniqId", id}, {"nickname", hostile_name}}}}},
                           {"count", 2}};
  kSim->sim().script(std::string(SpiderDriver::kAuthDataPath), hostile_reply);

  auto no_escapes = [](const std::string& text) {
    for (unsigned char c : text) {
      if ((c < 0x20 && c != '\n') || c == 0x7f) return false;
    }
    return text.find("\xc2\x9b") == std::string::npos;
  };
  CliRun plain = run({"accounts"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_TRUE(no_escapes(plain.out)) << plain.out;
  EXPECT_EQ(plain.out, id + "\n" + cli::terminal_safe(hostile_id) + "\n");

  CliRun table = run({"accounts", "--check"});
  EXPECT_EQ(table.status, cli::kRefused) << table.err;  // the hostile member holds another account's login
  EXPECT_TRUE(no_escapes(table.out)) << table.out;
  EXPECT_TRUE(no_escapes(table.err)) << table.err;
  EXPECT_NE(table.out.find(cli::terminal_safe(hostile_name)), std::string::npos) << table.out;
  EXPECT_NE(table.err.find("belongs to account " + id), std::string::npos) << table.err;

  CliRun keepalive = run({"keepalive"});
  EXPECT_EQ(keepalive.status, 0);
  EXPECT_TRUE(no_escapes(keepalive.out)) << keepalive.out;
  CliRun logout = run({"logout", "\x1b[2Jnobody"});
  EXPECT_EQ(logout.status, cli::kUnknownAccount);
  EXPECT_TRUE(no_escapes(logout.err)) << logout.err;

  // JSON carries the exact texts; the plain list shows the remembered name
  // made safe.
  EXPECT_EQ(run({"accounts"}).out,
            id + "\t" + cli::terminal_safe(hostile_name) + "\n" + cli::terminal_safe(hostile_id) + "\n");
  kSim->sim().script(std::string(SpiderDriver::kAuthDataPath), hostile_reply);
  CliRun json = run({"accounts", "--check", "--json"});
  const Json rows = Json::parse(json.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["display_name"], hostile_name);
  EXPECT_EQ(rows[1]["account"], hostile_id);
  EXPECT_EQ(Json::parse(run({"accounts", "--json"}).out), Json::array({id, hostile_id}));
}

// ---------------------------------------------------------------------------
// login --wait: the outcome of this login, over the login object

std::string text_of_id(const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

// Each outcome that stores nothing has its own status and message, also
// with --json, which prints the outcome for scripts.
TEST_F(CliPlatform, LoginWaitEndsWithAStatusOfItsOwnForEachOutcome) {
  auto& sim = kSim->sim();
  const std::string status_path(SpiderDriver::kLoginStatusPath);
  const std::string auth_path(SpiderDriver::kAuthDataPath);

  CliRun json_alone = run({"login", "--json"});
  EXPECT_EQ(json_alone.status, cli::kUsage);
  EXPECT_EQ(json_alone.err, "qelkit: --json goes with --wait (see qelkit login --help)\n");
  EXPECT_TRUE(sim.logins()["logins"].empty()) << "no login was started";

  sim.script(status_path, Json{{"errCode", 0}, {"data", {{"status", 4}}}});
  CliRun ended = run({"login", "--wait"});
  EXPECT_EQ(ended.status, cli::kLoginEnded) << ended.err;
  EXPECT_EQ(ended.out, "");
  EXPECT_NE(ended.err.find("qelkit: the login was cancelled on the phone or its code expired; run qelkit login again\n"),
            std::string::npos)
      << ended.err;

  sim.script(status_path, Json{{"errCode", 0}, {"data", {{"status", 4}}}});
  CliRun ended_json = run({"login", "--wait", "--json"});
  EXPECT_EQ(ended_json.status, cli::kLoginEnded);
  const Json ended_outcome = Json::parse(ended_json.out);
  EXPECT_EQ(ended_outcome["outcome"], "ended");
  EXPECT_EQ(ended_outcome["code"], 4);

  sim.script(auth_path, Json{{"errCode", 300001}});
  CliRun refused = run({"login", "--wait"});
  EXPECT_EQ(refused.status, cli::kLoginRefused) << refused.err;
  EXPECT_NE(refused.err.find("qelkit: the platform did not grant the account's data (code 300001); nothing was stored\n"),
            std::string::npos)
      << refused.err;

  std::ofstream(dir_.path() / "json") << "a plain file";
  CliRun failed = run({"login", "--wait", "--json"});
  EXPECT_EQ(failed.status, cli::kLoginFailed) << failed.err;
  const Json failed_outcome = Json::parse(failed.out);
  EXPECT_EQ(failed_outcome["outcome"], "failed");
  EXPECT_NE(failed_outcome["message"].get<std::string>().find("could not write the login of account"),
            std::string::npos)
      << failed.out;
  EXPECT_NE(failed.err.find("qelkit: the login could not be completed: could not write the login of account"),
            std::string::npos)
      << failed.err;
  fs::remove(dir_.path() / "json");
  EXPECT_FALSE(fs::exists(dir_.path() / "json"));
}

// Two logins at once in one directory each print the account they stored.
TEST_F(CliPlatform, ConcurrentLoginWaitsEachPrintTheirOwnAccount) {
  CliRun first, second;
  std::thread other([&] { second = run({"login", "--wait"}); });
  first = run({"login", "--wait"});
  other.join();
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  // The platform confirms each token for an account of its own (by the
  // order the tokens were issued), so the two ids differ.
  const std::string a = lines_of(first.out).at(0), b = lines_of(second.out).at(0);
  EXPECT_NE(a, b);
  std::set<std::string> confirmed;
  const Json logins = kSim->sim().logins();
  for (const Json& s : logins["sessions"]) confirmed.insert(text_of_id(s["uniqId"]));
  EXPECT_EQ(confirmed, (std::set<std::string>{a, b}));
  const Json doc = stored();
  EXPECT_TRUE(doc.contains(a) && doc.contains(b)) << doc.dump();
  EXPECT_NE(first.err.find("Logged in as "), std::string::npos) << first.err;
}

// Account ids and names from the platform reach the terminal only sanitised.
TEST_F(CliPlatform, LoginWaitPrintsPlatformTextSafely) {
  Json user = kSim->sim().accounts()[0]["finderUser"];
  const std::string hostile_id = std::string("id\x1b]0;title\x07\x1b[2J") + '\0' + "end";
  user["uniqId"] = hostile_id;
  user["nickname"] = "\x1b[31mred\x1b[0m";
  kSim->sim().script(std::string(SpiderDriver::kAuthDataPath), Json{{"errCode", 0}, {"data", {{"finderUser", user}}}});
  CliRun r = run({"login", "--wait"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, cli::terminal_safe(hostile_id) + "\n");
  for (const std::string* text : {&r.out, &r.err}) {
    EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
    EXPECT_EQ(text->find('\0'), std::string::npos) << *text;
    EXPECT_EQ(text->find('\x07'), std::string::npos) << *text;
  }
  EXPECT_NE(r.err.find("Logged in as " + cli::terminal_safe("\x1b[31mred\x1b[0m")), std::string::npos) << r.err;
  EXPECT_TRUE(stored().contains(hostile_id)) << "the id is stored as the platform gave it";

  kSim->sim().script(std::string(SpiderDriver::kAuthDataPath), Json{{"errCode", 0}, {"data", {{"finderUser", user}}}});
  CliRun json = run({"login", "--wait", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  for (unsigned char c : json.out) EXPECT_TRUE((c >= 0x20 && c < 0x7f) || c == '\n') << static_cast<int>(c);
  const Json outcome = Json::parse(json.out);
  EXPECT_EQ(outcome["outcome"], "stored");
  EXPECT_EQ(outcome["account_id"], hostile_id);
  EXPECT_EQ(outcome["display_name"], "\x1b[31mred\x1b[0m");
}

}  // namespace
}  // namespace qelkit
