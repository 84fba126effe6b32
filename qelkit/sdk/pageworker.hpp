// QelExc: the worker thread that fetches one page of an account's detailed
// drama statistics and normalises its rows.
//
// The creator makes the worker with std::make_shared, sets `a`, `b`, `c` (and
// the daemon flag), calls start(), later join(), and then reads `d`, `data`
// and `outcome`. A run makes exactly one SpiderDriver::owin call for its page
// and never lets a failure out: a failed request, a non-zero status code, a
// reply of the wrong shape or a row that cannot be normalised all end the run
// with `data` empty, and `outcome` says which of them it was. Rows are
// all-or-nothing: `data` is replaced only once every row of the page has been
// normalised.
//
// Thread-safety: the fields are handed over by start() and join(); do not
// touch them while the worker runs. The static helpers are pure and may be
// called from any thread.
//
// The page cursor ("pageBuffer") is a two-field protocol-buffers message
// {1: row offset, 2: page size 20}, both varints, sent as standard Base64.
// Page 0 goes out without a cursor; page n asks for rows from 20 x n.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "qelkit/common/json.hpp"
#include "qelkit/common/thread.hpp"

namespace qelkit {

// Why a page brought what it brought.
struct PageOutcome {
  enum class Kind {
    not_run,   // the worker has not finished a run (the initial value)
    answered,  // the platform served the page (code 0); its rows may be none at all
    status,    // owin returned a non-zero code: 300 (login expired), 303 (see stayed_busy) or an errCode
    failure,   // the run failed: see error, error_kind and message
  };

  Kind kind = Kind::not_run;
  std::int64_t code = 0;       // status: owin's code; otherwise 0
  bool stayed_busy = false;    // status: the platform stayed busy through every re-request (code 303);
                               // false for a page the platform refused with errCode 303
  std::exception_ptr error;    // failure: what was caught
  std::string error_kind;      // failure: the error's class, e.g. "NoReplyError"
  std::string message;         // failure: the error's message

  static PageOutcome of_answer();
  static PageOutcome of_status(std::int64_t code, bool stayed_busy = false);
  // Names the failure's class and keeps its message.
  static PageOutcome of_failure(std::exception_ptr e);

  // One line for messages: "answered", "code 7 from the platform",
  // "NoReplyError: no reply ...".
  std::string describe() const;
};

class QelExc : public Thread {
 public:
  // Rows per page of the statistics download.
  static constexpr std::int64_t kPageSize = 20;
  // Rows a page may hold at most (the page asks for kPageSize): a page with
  // more fails as a PageLimitError, so that no page is held without bound.
  static constexpr std::size_t kMaxPageRows = 1'000;
  // Tag bytes of the cursor's two varint fields: (field number << 3) | 0.
  static constexpr unsigned char FIELD_1_TAG = 0x08;
  static constexpr unsigned char FIELD_2_TAG = 0x10;

  QelExc() = default;

  std::string a;               // session id, sent in the Cookie header
  std::int64_t b = 0;          // page number, counted from 0
  Json c;                      // time queried: an integer, or a text sent unchanged
  bool d = false;              // the reply's continueFlag, set by run()
  Json data = Json::array();   // this page's normalised rows, set by run()
  PageOutcome outcome;         // why the page brought what it brought, set by run()

  // The cursor text of page `a`: Base64 of 08 <varint 20a> 10 14. Returns ""
  // for a page below 1 (page 0 is requested without a cursor). Throws
  // std::out_of_range when 20 x `a` does not fit a signed 64-bit integer.
  static std::string encode(std::int64_t a);

  // The protocol-buffers varint bytes of `v` (7 bits per byte, least
  // significant group first, 0x80 on every byte but the last). Throws
  // std::invalid_argument with the message "Varint 只能编码非负整数" for a
  // negative `v`.
  static std::string _encode_varint(std::int64_t v);

  // The request body of page `b` at time `c`: {"startTs": t, "endTs": t} and,
  // for b > 0, "pageBuffer": encode(b), in that order. t is the decimal text
  // of an integer `c`, or `c` itself when it is a text. Throws
  // InvalidArgumentError for any other kind of `c`.
  static Json request_body(const Json& c, std::int64_t b);

  // The nine-key normalised row of one platform row, keys in this order:
  // "date" <- "date", "qel_id" <- "finderQelid", "drama_name" <- "dramaName"
  // (copied unchanged, required); "is_mount" <- truth("isAttachment", false
  // when absent); "feed_read_count" <- "feedReadCount", "drama_read_count" <-
  // "dramaReadCount", "iaa_income" <- "iaaProfit", "mount_income" <-
  // "attachProfit" (to_integer, 0 when absent); "qel_nickname" <-
  // "finderNickname" (copied, required). Throws ProtocolError when `row` is
  // not an object or lacks a required key, ConversionError when a present
  // value (null included) is not convertible to an integer.
  static Json normalise_row(const Json& row);

 protected:
  void run() override;
};

}  // namespace qelkit
