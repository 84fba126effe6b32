// The substitute platform's generated world: accounts, their dramas, the rows
// of the statistics download and the entries of the statistics list, all
// derived from one seed so that a test can ask for the same data the server
// serves. Also the decoder of the download's page cursor.
//
// Everything here is immutable after construction and safe to use from any
// thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qelkit/common/json.hpp"

namespace platform_sim {

using Json = qelkit::Json;

// Mixes a seed and a few integers into one well-spread 64-bit value.
std::uint64_t mix(std::uint64_t seed, std::initializer_list<std::int64_t> parts);

struct Account {
  int index = 0;
  Json uniq_id;            // a number for even indexes, text for odd ones
  std::string id_text;     // the text form of uniq_id (decimal for numbers)
  std::string nickname;
  std::string wxuin;       // the second login cookie's value
  Json finder_user;        // what auth_data serves
  std::vector<std::string> dramas;
};

class DataSet {
 public:
  DataSet(std::uint64_t seed, int account_count);

  std::uint64_t seed() const { return seed_; }
  const std::vector<Account>& accounts() const { return accounts_; }
  // The account whose uniqId has this text form, or null.
  const Account* find(std::string_view id_text) const;

  // Statistics download: how many rows an account has for one time stamp
  // (unless a test overrides it), and row `index` of them.
  std::int64_t default_row_total(int account, std::int64_t ts) const;
  Json download_row(int account, std::int64_t ts, std::int64_t index) const;

  // Statistics list: how many entries an account has (one per drama unless a
  // test overrides it), and entry `index` for a time span.
  std::int64_t default_list_total(int account) const;
  Json list_entry(int account, std::int64_t start, std::int64_t end, std::int64_t index) const;

 private:
  std::uint64_t seed_;
  std::vector<Account> accounts_;
};

// The nine-member row a client should make of a download row: copied keys
// as sent, the truth value of "isAttachment", the integer value of the four
// counters (0 when absent). Written for the server independently of the
// client. Throws std::invalid_argument for a row the client must refuse.
Json normalise_download_row(const Json& row);

// The download's page cursor: a Base64 text of a protocol-buffers message
// with varint field 1 = row offset and field 2 = page size.
struct Cursor {
  std::uint64_t offset = 0;
  std::uint64_t page_size = 20;
};
// Decodes a cursor; no value when the text is not Base64 or the bytes are not
// a well-formed message (truncated varint, unknown wire type, page size 0 or
// above 1000). The empty text is the first page.
std::optional<Cursor> decode_cursor(std::string_view text);

// Parses a time stamp sent as an integer or as a decimal text (optional sign,
// surrounding blanks); no value for anything else.
std::optional<std::int64_t> parse_integer(const Json& value);

}  // namespace platform_sim
