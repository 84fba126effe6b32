#include "apps/qelkit/table.hpp"

#include <algorithm>
#include <cwchar>
#include <locale.h>
#include <wchar.h>

namespace qelkit::cli {
namespace {

// The C library knows the Unicode width tables; it reads them from a UTF-8
// locale, which is switched in for the calling thread only.
locale_t utf8_locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

class ThreadLocale {
 public:
  explicit ThreadLocale(locale_t loc) : previous_(loc ? uselocale(loc) : nullptr) {}
  ~ThreadLocale() {
    if (previous_) uselocale(previous_);
  }
  ThreadLocale(const ThreadLocale&) = delete;
  ThreadLocale& operator=(const ThreadLocale&) = delete;

 private:
  locale_t previous_;
};

// One decoded piece of text: a character (`ok`) or one byte that is not
// valid UTF-8.
struct Piece {
  std::string_view bytes;
  bool ok;
  wchar_t ch;
};

template <typename F>
void for_each_piece(std::string_view s, F&& f) {
  std::size_t i = 0;
  // ASCII, most of a table (dates, ids, numbers), is its own character: no
  // decoder needed until the first byte above 0x7F.
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) {
    f(Piece{s.substr(i, 1), true, static_cast<wchar_t>(s[i])});
    ++i;
  }
  if (i == s.size()) return;
  ThreadLocale scope(utf8_locale());
  std::mbstate_t state{};
  while (i < s.size()) {
    wchar_t wc = 0;
    std::size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
      state = std::mbstate_t{};
      f(Piece{s.substr(i, 1), false, 0});
      ++i;
      continue;
    }
    if (n == 0) n = 1;  // an embedded NUL
    f(Piece{s.substr(i, n), true, wc});
    i += n;
  }
}

// C0, DEL and C1 controls, and the bidirectional formatting characters,
// which reorder what the terminal shows (U+202E would show "txt.exe" for
// "exe.txt").
bool is_control(wchar_t c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool all_numbers(const std::string& key, const Json& rows) {
  bool any = false;
  for (const auto& row : rows) {
    if (!row.is_object() || !row.contains(key) || row[key].is_null()) continue;
    if (!row[key].is_number()) return false;
    any = true;
  }
  return any;
}

}  // namespace

int display_width(std::string_view utf8) {
  int width = 0;
  for_each_piece(utf8, [&](const Piece& p) {
    if (!p.ok || is_control(p.ch) || p.ch < 0x80) {  // printable ASCII: one column
      width += 1;
      return;
    }
    int w = wcwidth(p.ch);
    width += w < 0 ? 1 : w;
  });
  return width;
}

std::string terminal_safe(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for_each_piece(utf8, [&](const Piece& p) {
    if (!p.ok || is_control(p.ch)) {
      out += kReplacement;
    } else {
      out += p.bytes;
    }
  });
  return out;
}

std::string cell_text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

void render_table(const std::vector<std::string>& columns, const Json& rows, const LineSink& sink) {
  const std::size_t ncol = columns.size();
  auto cell = [](const Json& row, const std::string& key) {
    const bool has = row.is_object() && row.contains(key);
    return terminal_safe(has ? cell_text(row[key]) : std::string());
  };
  std::vector<int> width(ncol);
  std::vector<bool> right(ncol);
  for (std::size_t c = 0; c < ncol; ++c) {
    width[c] = display_width(columns[c]);
    right[c] = all_numbers(columns[c], rows);
  }
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < ncol; ++c) width[c] = std::max(width[c], display_width(cell(row, columns[c])));
  }

  std::string text;  // one line, reused
  auto emit = [&](auto&& cell_of) {
    text.clear();
    for (std::size_t c = 0; c < ncol; ++c) {
      if (c > 0) text += "  ";
      const std::string value = cell_of(c);
      const std::size_t pad = static_cast<std::size_t>(width[c] - display_width(value));
      if (right[c]) text.append(pad, ' ');
      text += value;
      if (!right[c]) text.append(pad, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += '\n';
    sink(text);
  };
  emit([&](std::size_t c) { return terminal_safe(columns[c]); });
  emit([&](std::size_t c) { return std::string(static_cast<std::size_t>(width[c]), '-'); });
  for (const auto& row : rows) emit([&](std::size_t c) { return cell(row, columns[c]); });
}

std::string render_table(const std::vector<std::string>& columns, const Json& rows) {
  std::string out;
  render_table(columns, rows, [&out](std::string_view line) { out += line; });
  return out;
}

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"') out += '"';
    out += ch;
  }
  out += '"';
  return out;
}

void render_csv(const std::vector<std::string>& columns, const Json& rows, const LineSink& sink) {
  std::string text;  // one record, reused
  auto record = [&](auto&& field_of) {
    text.clear();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) text += ',';
      text += csv_field(field_of(i));
    }
    text += "\r\n";
    sink(text);
  };
  record([&](std::size_t i) { return columns[i]; });
  for (const auto& row : rows) {
    record([&](std::size_t i) {
      const bool has = row.is_object() && row.contains(columns[i]);
      return has ? cell_text(row[columns[i]]) : std::string();
    });
  }
}

std::string render_csv(const std::vector<std::string>& columns, const Json& rows) {
  std::string out;
  render_csv(columns, rows, [&out](std::string_view line) { out += line; });
  return out;
}

namespace {

// Hands `value` to the sink in pieces, going `depth` more levels into
// objects and lists.
void render_json_pieces(const Json& value, int depth, const LineSink& sink) {
  if (depth == 0 || !value.is_structured() || value.empty()) {
    sink(value.dump());
    return;
  }
  const bool object = value.is_object();
  sink(object ? "{" : "[");
  bool first = true;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!first) sink(",");
    first = false;
    if (object) sink(Json(it.key()).dump() + ":");
    render_json_pieces(*it, depth - 1, sink);
  }
  sink(object ? "}" : "]");
}

}  // namespace

void render_json(const Json& value, const LineSink& sink) { render_json_pieces(value, 2, sink); }

}  // namespace qelkit::cli
