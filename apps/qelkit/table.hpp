// Text output of the command-line tool: aligned tables for people, CSV for
// spreadsheets.
//
// Widths are display columns, not bytes: East-Asian wide and full-width
// characters take two columns, combining marks none, so tables of drama names
// in any script line up in a terminal. Text that came from the platform is
// made terminal-safe before it is shown in a table (control characters would
// otherwise move the cursor or change colours). The renderers hand their
// output line by line to a sink, so a query of many rows is never held twice
// (once as rows, once as text); the forms that return a string collect those
// lines. Apart from calling the sink, all functions are pure.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/json.hpp"

namespace qelkit::cli {

// Display columns that `utf8` takes in a terminal. Bytes that are not valid
// UTF-8 count one column each; control characters count one column (they are
// shown as U+FFFD by terminal_safe).
int display_width(std::string_view utf8);

// `utf8` with every control character (C0, DEL, C1), every bidirectional
// formatting character (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to
// U+2069) and every invalid byte replaced by U+FFFD, so it can be printed to
// a terminal as it is. The one filter for platform text the CLI prints.
std::string terminal_safe(std::string_view utf8);

// The text of one cell: a JSON text as it is, null as the empty text, any
// other value in its JSON notation (numbers, true/false).
std::string cell_text(const Json& value);

// An aligned table: a header line, a rule of dashes, then one line per row.
// Columns are separated by two spaces; a column whose non-null values are all
// numbers is right-aligned, any other column left-aligned. `rows` is a list
// of objects; each column is read by its key (a missing key gives an empty
// cell). Lines carry no trailing blanks and end in "\n".
std::string render_table(const std::vector<std::string>& columns, const Json& rows);

// Receives output one line (or record) at a time, its line end included.
using LineSink = std::function<void(std::string_view)>;

// The same table, a line at a time. The rows are read twice (once for the
// column widths, once to print) and never copied whole.
void render_table(const std::vector<std::string>& columns, const Json& rows, const LineSink& sink);

// One CSV field as RFC 4180 wants it: enclosed in double quotes (with inner
// quotes doubled) when it holds a comma, a double quote, CR or LF, else as it
// is.
std::string csv_field(std::string_view text);

// RFC 4180 CSV: a header record of the column keys, then one record per row
// of `rows` (a list of objects); records end in CRLF.
std::string render_csv(const std::vector<std::string>& columns, const Json& rows);
void render_csv(const std::vector<std::string>& columns, const Json& rows, const LineSink& sink);

// `value` in the compact JSON notation of Json::dump() (the same text, byte
// for byte), handed over in pieces: the members of an object and the
// elements of a list at the top level or directly below it one at a time.
// Throws what Json::dump() throws (text that is not UTF-8).
void render_json(const Json& value, const LineSink& sink);

}  // namespace qelkit::cli
