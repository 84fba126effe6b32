#include "qelkit/sdk/pageworker.hpp"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "tests/page_platform.hpp"
#include "tests/support/fakes.hpp"

namespace qelkit {
namespace {

using testing::decode_base64;
using testing::json_response;
using testing::page_reply;
using testing::platform_row;
using testing::raw_response;
using testing::StatsPlatform;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

// Runs one worker for page `page` and waits for it.
std::shared_ptr<QelExc> run_worker(std::int64_t page, Json c = 1717171717, std::string session = "sess-1") {
  auto worker = std::make_shared<QelExc>();
  worker->a = std::move(session);
  worker->b = page;
  worker->c = std::move(c);
  worker->start();
  worker->join();
  return worker;
}

TEST(PageCursor, TextsAndBytesOfKnownPages) {
  struct Case {
    std::int64_t page;
    const char* bytes;
    const char* text;
  };
  const Case cases[] = {
      {1, "08 14 10 14", "CBQQFA=="},       {3, "08 3C 10 14", "CDwQFA=="},
      {6, "08 78 10 14", "CHgQFA=="},       {7, "08 8C 01 10 14", "CIwBEBQ="},
      {13, "08 84 02 10 14", "CIQCEBQ="},   {820, "08 90 80 01 10 14", "CJCAARAU"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    std::string text = QelExc::encode(c.page);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(hex(decode_base64(text)), c.bytes);
  }
  // A large page still round-trips through an independent reader.
  auto cursor = testing::parse_cursor(decode_base64(QelExc::encode(123456789)));
  EXPECT_EQ(cursor.offset, 123456789ULL * 20);
  EXPECT_EQ(cursor.page_size, 20U);
}

TEST(PageCursor, NoCursorBelowPageOne) {
  EXPECT_EQ(QelExc::encode(0), "");
  EXPECT_EQ(QelExc::encode(-1), "");
  EXPECT_EQ(QelExc::encode(INT64_MIN), "");
}

TEST(PageCursor, PageTooLargeForTheOffsetIsRefused) {
  const std::int64_t largest = INT64_MAX / 20;
  auto cursor = testing::parse_cursor(decode_base64(QelExc::encode(largest)));
  EXPECT_EQ(cursor.offset, static_cast<std::uint64_t>(largest) * 20);
  EXPECT_THROW(QelExc::encode(largest + 1), std::out_of_range);
}

TEST(PageCursor, VarintEdges) {
  EXPECT_EQ(hex(QelExc::_encode_varint(0)), "00");
  EXPECT_EQ(hex(QelExc::_encode_varint(127)), "7F");
  EXPECT_EQ(hex(QelExc::_encode_varint(128)), "80 01");
  EXPECT_EQ(hex(QelExc::_encode_varint(300)), "AC 02");
  EXPECT_EQ(hex(QelExc::_encode_varint(16383)), "FF 7F");
  EXPECT_EQ(hex(QelExc::_encode_varint(16384)), "80 80 01");
  EXPECT_EQ(hex(QelExc::_encode_varint(INT64_MAX)), "FF FF FF FF FF FF FF FF 7F");
  try {
    QelExc::_encode_varint(-1);
    FAIL() << "a negative varint was encoded";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Varint 只能编码非负整数");
  }
}

TEST(PageRequest, BodyPerPage) {
  EXPECT_EQ(QelExc::request_body(1717171717, 0).dump(), R"({"startTs":"1717171717","endTs":"1717171717"})");
  EXPECT_EQ(QelExc::request_body(1717171717, 3).dump(),
            R"({"startTs":"1717171717","endTs":"1717171717","pageBuffer":"CDwQFA=="})");
  EXPECT_EQ(QelExc::request_body(-5, 1).dump(), R"({"startTs":"-5","endTs":"-5","pageBuffer":"CBQQFA=="})");
  // A text time is sent unchanged.
  EXPECT_EQ(QelExc::request_body("2024-06-01 x", 0).dump(), R"({"startTs":"2024-06-01 x","endTs":"2024-06-01 x"})");
  EXPECT_THROW(QelExc::request_body(1.5, 0), InvalidArgumentError);
  EXPECT_THROW(QelExc::request_body(nullptr, 0), InvalidArgumentError);
}

TEST(PageWorker, SendsOneRequestAndNormalisesTheRowsInOrder) {
  Json rows = Json::array();
  for (int n = 60; n < 80; ++n) rows.push_back(platform_row(n));
  StatsPlatform platform([&](std::int64_t) { return page_reply(rows, true); });

  auto worker = run_worker(3, 1717171717, "sess-abc");

  auto requests = platform.transport().requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "POST");
  ASSERT_TRUE(requests[0].json);
  EXPECT_EQ(requests[0].json->dump(), R"({"startTs":"1717171717","endTs":"1717171717","pageBuffer":"CDwQFA=="})");
  bool cookie = false;
  for (const auto& [name, value] : requests[0].headers) cookie = cookie || (name == "Cookie" && value == "sessionid=sess-abc");
  EXPECT_TRUE(cookie);
  EXPECT_EQ(platform.pages(), std::vector<std::int64_t>{3});
  EXPECT_TRUE(platform.stray().empty());

  EXPECT_TRUE(worker->d);
  ASSERT_EQ(worker->data.size(), 20U);
  EXPECT_EQ(worker->data[0].dump(),
            R"({"date":"2024-06-01","qel_id":"qel-7","drama_name":"drama-60","is_mount":false,)"
            R"("feed_read_count":600,"drama_read_count":60,"iaa_income":60,"mount_income":120,"qel_nickname":"nick"})");
  EXPECT_EQ(worker->data[19]["drama_name"], "drama-79");
  EXPECT_EQ(worker->exception(), nullptr);
  EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::answered);
}

TEST(PageWorker, PageZeroGoesOutWithoutCursor) {
  StatsPlatform platform([](std::int64_t) { return page_reply(Json::array({platform_row(0)}), false); });
  auto worker = run_worker(0);
  auto requests = platform.transport().requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_FALSE(requests[0].json->contains("pageBuffer"));
  EXPECT_FALSE(worker->d);
  EXPECT_EQ(worker->data.size(), 1U);
}

TEST(PageWorker, NonZeroCodesLeaveTheInitialValuesAndTellTheCode) {
  EXPECT_EQ(QelExc().outcome.kind, PageOutcome::Kind::not_run);
  {
    SCOPED_TRACE("errCode 300334 -> code 300");
    StatsPlatform platform([](std::int64_t) { return json_response({{"errCode", 300334}, {"data", {}}}); });
    auto worker = run_worker(1);
    EXPECT_FALSE(worker->d);
    EXPECT_TRUE(worker->data.empty());
    EXPECT_EQ(platform.pages().size(), 1U);
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::status);
    EXPECT_EQ(worker->outcome.code, 300);
    EXPECT_EQ(worker->outcome.error, nullptr);
  }
  {
    SCOPED_TRACE("always busy -> code 303");
    StatsPlatform platform([](std::int64_t) {
      return json_response({{"errCode", 300201}, {"data", {{"continueFlag", true}, {"dataRows", {platform_row(1)}}}}});
    });
    auto worker = run_worker(1);
    EXPECT_FALSE(worker->d);
    EXPECT_TRUE(worker->data.empty());
    EXPECT_EQ(platform.pages().size(), 11U);  // one owin call, its whole busy loop
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::status);
    EXPECT_EQ(worker->outcome.code, 303);
  }
  {
    SCOPED_TRACE("another errCode is the code itself");
    StatsPlatform platform([](std::int64_t) { return json_response({{"errCode", 300500}, {"data", {}}}); });
    auto worker = run_worker(0);
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::status);
    EXPECT_EQ(worker->outcome.code, 300500);
    EXPECT_EQ(worker->outcome.describe(), "code 300500 from the platform");
  }
}

TEST(PageWorker, EmptyPageKeepsTheContinueFlagAndIsAnAnswerNotAFailure) {
  for (bool more : {true, false}) {
    SCOPED_TRACE(more);
    StatsPlatform platform([&](std::int64_t) { return page_reply(Json::array(), more); });
    auto worker = run_worker(2);
    EXPECT_EQ(worker->d, more);
    EXPECT_TRUE(worker->data.is_array());
    EXPECT_TRUE(worker->data.empty());
    // The normal end of the data: answered with code 0, nothing caught.
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::answered);
    EXPECT_EQ(worker->outcome.code, 0);
    EXPECT_EQ(worker->outcome.error, nullptr);
    EXPECT_EQ(worker->outcome.describe(), "answered");
  }
}

TEST(PageWorker, FailuresStayInsideTheThread) {
  struct Case {
    const char* name;
    std::function<HttpResponse()> reply;
    const char* kind;
    const char* needle;
  };
  const Case cases[] = {
      {"HTTP 500 on every attempt", [] { return raw_response("oops", 500); }, "NoReplyError", "HTTP status 500"},
      {"body not JSON", [] { return raw_response("<html>"); }, "ProtocolError", "not JSON"},
      {"no dataRows", [] { return json_response({{"errCode", 0}, {"data", {{"continueFlag", 0}}}}); },
       "ProtocolError", "dataRows"},
      {"dataRows null",
       [] { return json_response({{"errCode", 0}, {"data", {{"continueFlag", 0}, {"dataRows", nullptr}}}}); },
       "ProtocolError", "dataRows"},
      {"row is a number", [] { return page_reply(Json::array({platform_row(1), 5}), false); }, "ProtocolError",
       "not an object"},
      {"no continueFlag", [] { return json_response({{"errCode", 0}, {"data", {{"dataRows", {platform_row(1)}}}}}); },
       "ProtocolError", "continueFlag"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StatsPlatform platform([&](std::int64_t) { return c.reply(); });
    auto worker = run_worker(4);
    EXPECT_EQ(worker->exception(), nullptr);  // nothing escaped run()
    EXPECT_FALSE(worker->d);
    EXPECT_TRUE(worker->data.empty());
    // ...but the outcome keeps what was caught, of its own kind.
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::failure);
    EXPECT_EQ(worker->outcome.error_kind, c.kind);
    EXPECT_NE(worker->outcome.message.find(c.needle), std::string::npos) << worker->outcome.message;
    EXPECT_EQ(worker->outcome.describe(), worker->outcome.error_kind + ": " + worker->outcome.message);
    ASSERT_NE(worker->outcome.error, nullptr);
    try {
      std::rethrow_exception(worker->outcome.error);
    } catch (const NoReplyError& e) {
      EXPECT_EQ(c.kind, std::string("NoReplyError"));
      EXPECT_EQ(e.what(), worker->outcome.message);
    } catch (const ProtocolError&) {
      EXPECT_EQ(c.kind, std::string("ProtocolError"));
    } catch (...) {
      ADD_FAILURE() << "caught a failure of another kind than " << c.kind;
    }
  }
  {
    SCOPED_TRACE("time of the wrong kind: no request at all");
    StatsPlatform platform(StatsPlatform::rows(100));
    auto worker = run_worker(1, Json::array());
    EXPECT_EQ(worker->exception(), nullptr);
    EXPECT_TRUE(worker->data.empty());
    EXPECT_EQ(platform.transport().request_count(), 0U);
    EXPECT_EQ(worker->outcome.error_kind, "InvalidArgumentError");
  }
}

TEST(PageWorker, OneBadRowSpoilsThePageButNotTheFlag) {
  const std::vector<std::function<void(Json&)>> bad_row_variants = {
      [](Json& row) { row["attachProfit"] = nullptr; },
      [](Json& row) { row.erase("finderNickname"); },
      [](Json& row) { row["feedReadCount"] = "12abc"; },
  };
  int variant = 0;
  for (const auto& spoil : bad_row_variants) {
    SCOPED_TRACE(variant++);
    Json rows = Json::array();
    for (int n = 0; n < 10; ++n) rows.push_back(platform_row(n));
    Json bad = platform_row(99);
    spoil(bad);
    rows.insert(rows.begin() + 6, bad);
    StatsPlatform platform([&](std::int64_t) { return page_reply(rows, true); });
    auto worker = run_worker(1);
    EXPECT_TRUE(worker->d);
    EXPECT_TRUE(worker->data.empty());
    EXPECT_EQ(worker->outcome.kind, PageOutcome::Kind::failure);
    EXPECT_TRUE(worker->outcome.error_kind == "ConversionError" || worker->outcome.error_kind == "ProtocolError")
        << worker->outcome.error_kind;
  }
}

TEST(NormaliseRow, Conversions) {
  Json row = platform_row(3);
  auto with = [&](const char* key, Json value) {
    Json r = row;
    r[key] = std::move(value);
    return QelExc::normalise_row(r);
  };
  EXPECT_EQ(with("isAttachment", 1)["is_mount"], true);
  EXPECT_EQ(with("isAttachment", "x")["is_mount"], true);
  EXPECT_EQ(with("isAttachment", 0)["is_mount"], false);
  EXPECT_EQ(with("isAttachment", "")["is_mount"], false);
  EXPECT_EQ(with("isAttachment", nullptr)["is_mount"], false);
  EXPECT_TRUE(with("isAttachment", 1)["is_mount"].is_boolean());

  EXPECT_EQ(with("feedReadCount", "15")["feed_read_count"], 15);
  EXPECT_TRUE(with("feedReadCount", "15")["feed_read_count"].is_number_integer());
  EXPECT_EQ(with("feedReadCount", " -7 ")["feed_read_count"], -7);
  EXPECT_EQ(with("feedReadCount", 2.9)["feed_read_count"], 2);
  EXPECT_EQ(with("feedReadCount", -2.9)["feed_read_count"], -2);
  EXPECT_EQ(with("feedReadCount", true)["feed_read_count"], 1);
  EXPECT_EQ(with("dramaReadCount", "8")["drama_read_count"], 8);
  EXPECT_EQ(with("iaaProfit", 4.2)["iaa_income"], 4);
  EXPECT_EQ(with("attachProfit", "31")["mount_income"], 31);
  EXPECT_THROW(with("attachProfit", nullptr), ConversionError);
  EXPECT_THROW(with("iaaProfit", "1.5"), ConversionError);
  EXPECT_THROW(with("dramaReadCount", Json::array()), ConversionError);

  Json sparse = row;
  for (const char* key : {"isAttachment", "feedReadCount", "dramaReadCount", "iaaProfit", "attachProfit"}) {
    sparse.erase(key);
  }
  EXPECT_EQ(QelExc::normalise_row(sparse).dump(),
            R"({"date":"2024-06-01","qel_id":"qel-7","drama_name":"drama-3","is_mount":false,)"
            R"("feed_read_count":0,"drama_read_count":0,"iaa_income":0,"mount_income":0,"qel_nickname":"nick"})");

  for (const char* key : {"date", "finderQelid", "dramaName", "finderNickname"}) {
    SCOPED_TRACE(key);
    Json r = row;
    r.erase(key);
    EXPECT_THROW(QelExc::normalise_row(r), ProtocolError);
  }
  EXPECT_THROW(QelExc::normalise_row(Json::array({1})), ProtocolError);
  EXPECT_THROW(QelExc::normalise_row(nullptr), ProtocolError);
}

TEST(NormaliseRow, CopiedValuesKeepTheirJsonType) {
  Json row = platform_row(1);
  row["date"] = 20240601;
  row["finderQelid"] = nullptr;
  row["dramaName"] = Json{{"title", "x"}};
  row["finderNickname"] = 1.25;
  Json out = QelExc::normalise_row(row);
  EXPECT_TRUE(out["date"].is_number_integer());
  EXPECT_EQ(out["date"], 20240601);
  EXPECT_TRUE(out["qel_id"].is_null());
  EXPECT_EQ(out["drama_name"], (Json{{"title", "x"}}));
  EXPECT_TRUE(out["qel_nickname"].is_number_float());
  EXPECT_EQ(out.size(), 9U);
}

}  // namespace
}  // namespace qelkit
