// Regression tests for what fuzzing found (fuzz/): each case failed before
// its fix, with a crash or an exception of the wrong type.
#include <functional>
#include <string>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/json.hpp"
#include "qelkit/sdk/pageworker.hpp"
#include "tests/support/fakes.hpp"

namespace qelkit {
namespace {

using ::testing::HasSubstr;
using testing::FakeClock;
using testing::FakeTransport;
using testing::raw_response;

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A reply nesting arrays hundreds of thousands deep used to exhaust the stack
// when an operation printed, copied or compared it (a crash of the whole
// host); now every operation that reads a reply refuses it as a protocol
// failure before parsing it.
TEST(FuzzRegression, DeeplyNestedRepliesAreProtocolErrors) {
  FakeTransport transport;
  FakeClock clock;
  const SpiderDriver driver;
  const Json query = {{"startTs", "1700000000"}, {"endTs", "1700000000"}};
  const std::string deep = nested_arrays(300000);
  const std::string deep_member = R"({"errCode":0,"data":{"token":)" + deep + "}}";
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"ale", [&] { driver.ale(); }},
      {"als", [&] { driver.als("token"); }},
      {"add", [&] { driver.add("session"); }},
      {"iast", [&] { driver.iast("session", query); }},
      {"owin", [&] { driver.owin("session", query); }},
  };
  for (const auto& body : {deep, deep_member}) {
    for (const auto& [name, call] : operations) {
      SCOPED_TRACE(name);
      transport.set_handler([&](const HttpRequest&) { return raw_response(body); });
      try {
        call();
        ADD_FAILURE() << "nothing thrown";
      } catch (const ProtocolError& e) {
        EXPECT_THAT(e.what(), HasSubstr("nests deeper than 512 levels"));
      }
    }
  }

  // The limit itself is allowed, and brackets inside texts do not count.
  EXPECT_NO_THROW((void)Reply(raw_response(nested_arrays(Reply::kMaxDepth))).json());
  EXPECT_THROW((void)Reply(raw_response(nested_arrays(Reply::kMaxDepth + 1))).json(), ProtocolError);
  const std::string brackets(1000, '[');
  transport.set_handler([&](const HttpRequest&) {
    return raw_response(R"({"errCode":0,"data":{"token":")" + brackets + R"(\"\\"}})");
  });
  EXPECT_EQ(driver.ale(), (Json{{"code", 0}, {"data", brackets + "\"\\"}}));

  // So are object members: each is looked up one by one, so a huge object
  // would cost quadratic time.
  std::string members = "{\"k\":0";
  for (std::size_t i = 1; i < Reply::kMaxMembers; ++i) members += ",\"k" + std::to_string(i) + "\":0";
  EXPECT_NO_THROW((void)Reply(raw_response(members + "}")).json());
  EXPECT_THROW((void)Reply(raw_response(members + ",\"x\":0}")).json(), ProtocolError);
}

// Texts that are not UTF-8 can reach the row normalisation from a host that
// builds rows itself; the messages used to throw the JSON library's own
// type_error while describing them.
TEST(FuzzRegression, RowsWithTextsThatAreNotUtf8FailWithQelkitErrors) {
  const std::string bad = "[\xD8,2]";
  try {
    QelExc::normalise_row(Json(bad));
    ADD_FAILURE() << "nothing thrown";
  } catch (const ProtocolError& e) {
    EXPECT_THAT(e.what(), HasSubstr("not an object"));
    EXPECT_THAT(e.what(), HasSubstr("\xEF\xBF\xBD"));  // U+FFFD in place of the bad byte
  }

  Json row = {{"date", "2026-03-01"}, {"finderQelid", "q"}, {"dramaName", "d"}, {"finderNickname", "n"}};
  row["feedReadCount"] = "12\xFF";
  EXPECT_THROW(QelExc::normalise_row(row), ConversionError);
  row["feedReadCount"] = Json::array({"\xC0"});
  EXPECT_THROW(QelExc::normalise_row(row), ConversionError);
  EXPECT_THROW(to_integer(Json("\xFF")), ConversionError);
}

}  // namespace
}  // namespace qelkit
