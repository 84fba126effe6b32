// Statistics: an account's native-drama statistics as typed rows.
//
// The SDK's own face of the two statistics queries: the same platform
// exchanges, page fan-out and stored-login handling as QelDriver's
// get_data_statistic / get_detailed_data_statistic (which keep their JSON
// shapes), but with one C++ type per member and typed errors for every way a
// query fails. Static operations, no state; calls from several threads at once
// are safe.
//
// Failures (qelkit/common/errors.hpp), for every operation:
// - account not stored: AccountNotStoredError (nothing asked of the platform);
// - data file unreadable: DataFileError naming the file;
// - stored login does not decrypt: StoredLoginError naming the account;
// - login expired: LoginExpiredError; a refusal: PlatformError with its code;
//   a page that stayed busy through every re-request: PlatformBusyError;
// - platform out of reach: NoReplyError / TransportError; wrong shape:
//   ProtocolError / ConversionError; page or row limit: PageLimitError.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qelkit {

// One entry of the per-drama statistics list.
struct ListEntry {
  std::string drama_name;
  std::int64_t view_number = 0;
  std::int64_t iaa_income = 0;
  std::int64_t mount_income = 0;
  bool operator==(const ListEntry&) const = default;
};

// One row of the detailed statistics (one drama on one day).
// Conversions from what the platform sends:
// - date: "YYYY-MM-DD"; a text is kept as sent, an integer YYYYMMDD
//   (20260301) becomes "2026-03-01"; anything else is a ConversionError;
// - qel_id: text; a number becomes its decimal text;
// - drama_name, qel_nickname: text; a number becomes its JSON text, null "";
// - the counts and incomes: as the facade's to-integer conversion.
struct DetailRow {
  std::string date;
  std::string qel_id;
  std::string drama_name;
  bool is_mount = false;
  std::int64_t feed_read_count = 0;
  std::int64_t drama_read_count = 0;
  std::int64_t iaa_income = 0;
  std::int64_t mount_income = 0;
  std::string qel_nickname;
  bool operator==(const DetailRow&) const = default;
};

class Statistics {
 public:
  Statistics() = delete;

  // Entries per page of the statistics list.
  static constexpr std::int64_t kListPageSize = 5;

  // One page (page 1 first) of the list for [start_time, end_time] (epoch s).
  static std::vector<ListEntry> list(const std::string& account, std::int64_t start_time,
                                     std::int64_t end_time, std::int64_t page = 1);
  // Pages list_all asks for at most.
  static constexpr std::int64_t kMaxListPages = 10'000;

  // Every page of the list for the span: pages 1, 2, ... until the first page
  // with fewer than kListPageSize entries. A platform that keeps sending full
  // pages is not followed without end: PageLimitError after kMaxListPages.
  static std::vector<ListEntry> list_all(const std::string& account, std::int64_t start_time,
                                         std::int64_t end_time);

  // Receives each batch's rows (up to six pages) in page order, as batches
  // complete, on the query's thread. An exception it throws ends the query
  // (the workers already started are joined) and propagates.
  using BatchSink = std::function<void(std::vector<DetailRow>&& rows)>;

  // Every page of the detailed statistics at `date_time` (epoch s).
  static std::vector<DetailRow> detail(const std::string& account, std::int64_t date_time);
  // The same, streamed: rows go to `sink` batch by batch and are not kept,
  // so memory does not grow with the number of rows. Returns the number of
  // rows delivered. On failure, the rows of earlier batches have been
  // delivered; the error's rows() holds only the failing batch's answered
  // pages.
  static std::int64_t detail(const std::string& account, std::int64_t date_time, const BatchSink& sink);
};

}  // namespace qelkit
