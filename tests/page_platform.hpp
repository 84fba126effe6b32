// A fake statistics-download endpoint for the page worker and fan-out tests.
//
// It answers each request by the page its cursor asks for. The cursor is
// decoded here on its own terms (Base64, then the two protocol-buffers varint
// fields), not with the worker's encoder, so a wrong cursor shows up as a
// wrong page or a failed decode. The handler is called from several worker
// threads at once; everything it touches is locked.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/json.hpp"
#include "tests/support/fakes.hpp"

namespace qelkit::testing {

// Standard Base64 to bytes; throws on anything that is not canonical Base64.
inline std::string decode_base64(const std::string& text) {
  if (text.size() % 4 != 0) throw std::runtime_error("base64 length not a multiple of 4: " + text);
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) throw std::runtime_error("not base64: " + text);
  std::size_t pad = 0;
  while (pad < text.size() && pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  out.resize(static_cast<std::size_t>(n) - pad);  // EVP counts the padding as zero bytes
  return out;
}

// Reads one varint at `pos`, advancing it.
inline std::uint64_t read_varint(const std::string& bytes, std::size_t& pos) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (pos >= bytes.size()) throw std::runtime_error("truncated varint");
    auto byte = static_cast<unsigned char>(bytes[pos++]);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
  throw std::runtime_error("varint too long");
}

struct Cursor {
  std::uint64_t offset;
  std::uint64_t page_size;
};

// The message must be exactly field 1 then field 2, both varints.
inline Cursor parse_cursor(const std::string& bytes) {
  std::size_t pos = 0;
  auto expect_tag = [&](unsigned char tag) {
    if (pos >= bytes.size() || static_cast<unsigned char>(bytes[pos]) != tag) {
      throw std::runtime_error("unexpected cursor tag");
    }
    ++pos;
  };
  Cursor c{};
  expect_tag(0x08);
  c.offset = read_varint(bytes, pos);
  expect_tag(0x10);
  c.page_size = read_varint(bytes, pos);
  if (pos != bytes.size()) throw std::runtime_error("trailing bytes after cursor");
  return c;
}

// The page a download request asks for: 0 without a cursor, offset / 20 with one.
inline std::int64_t page_of(const HttpRequest& request) {
  if (!request.json || !request.json->contains("pageBuffer")) return 0;
  Cursor c = parse_cursor(decode_base64(request.json->at("pageBuffer").get<std::string>()));
  if (c.page_size != 20 || c.offset % 20 != 0 || c.offset == 0) throw std::runtime_error("bad cursor values");
  return static_cast<std::int64_t>(c.offset / 20);
}

// A well-formed platform row; `n` makes it recognisable after normalising.
inline Json platform_row(std::int64_t n) {
  return Json{{"date", "2024-06-01"},
              {"finderQelid", "qel-7"},
              {"dramaName", "drama-" + std::to_string(n)},
              {"isAttachment", n % 2},
              {"feedReadCount", std::to_string(n * 10)},
              {"dramaReadCount", n},
              {"iaaProfit", n + 0.75},
              {"attachProfit", n * 2},
              {"finderNickname", "nick"}};
}

inline HttpResponse page_reply(const Json& rows, bool more) {
  return json_response(Json{{"errCode", 0}, {"data", {{"continueFlag", more}, {"dataRows", rows}}}});
}

// Installs a FakeTransport (and a FakeClock, so the client's retry and busy
// pauses are instant) whose answer for each download request is chosen by
// page. Requests to other paths fail the test's expectations via `stray()`.
class StatsPlatform {
 public:
  using PageAnswer = std::function<HttpResponse(std::int64_t page)>;

  explicit StatsPlatform(PageAnswer answer) : answer_(std::move(answer)) {
    transport_.set_handler([this](const HttpRequest& request) { return handle(request); });
  }

  // A platform holding `total` rows numbered 0.., 20 to a page.
  static PageAnswer rows(std::int64_t total) {
    return [total](std::int64_t page) {
      Json list = Json::array();
      for (std::int64_t n = page * 20; n < total && n < (page + 1) * 20; ++n) list.push_back(platform_row(n));
      return page_reply(list, (page + 1) * 20 < total);
    };
  }

  FakeTransport& transport() { return transport_; }

  // Pages of the requests served so far, in arrival order (a page asked
  // again by a retry appears again).
  std::vector<std::int64_t> pages() const {
    std::lock_guard<std::mutex> lock(m_);
    return pages_;
  }

  std::vector<std::string> stray() const {
    std::lock_guard<std::mutex> lock(m_);
    return stray_;
  }

 private:
  HttpResponse handle(const HttpRequest& request) {
    std::int64_t page = -1;
    {
      std::lock_guard<std::mutex> lock(m_);
      const std::string path(SpiderDriver::kStatisticsDownloadPath);
      if (request.url.size() < path.size() || request.url.compare(request.url.size() - path.size(), path.size(), path) != 0) {
        stray_.push_back(request.url);
        return raw_response("not found", 404);
      }
      try {
        page = page_of(request);
      } catch (const std::exception& e) {
        stray_.push_back(std::string("bad cursor: ") + e.what());
        return raw_response("bad cursor", 400);
      }
      pages_.push_back(page);
    }
    return answer_(page);  // unlocked: answers may block
  }

  PageAnswer answer_;
  mutable std::mutex m_;
  std::vector<std::int64_t> pages_;
  std::vector<std::string> stray_;
  FakeClock clock_;
  FakeTransport transport_;
};

}  // namespace qelkit::testing
