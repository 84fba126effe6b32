#include "qelkit/common/json.hpp"

#include <gtest/gtest.h>

namespace {

using qelkit::Json;

TEST(Json, TruthValueFollowsDynamicLanguageRules) {
  for (const Json& v : {Json(false), Json(nullptr), Json(0), Json(0u), Json(0.0), Json(-0.0), Json(""),
                        Json::array(), Json::object()}) {
    EXPECT_FALSE(qelkit::truth(v)) << v.dump();
  }
  for (const Json& v : {Json(true), Json(1), Json(-1), Json(0.1), Json("0"), Json(" "), Json::array({0}),
                        Json::object({{"a", nullptr}})}) {
    EXPECT_TRUE(qelkit::truth(v)) << v.dump();
  }
}

TEST(Json, ToIntegerConvertsNumbersBooleansAndDecimalText) {
  EXPECT_EQ(qelkit::to_integer(Json(42)), 42);
  EXPECT_EQ(qelkit::to_integer(Json(-7)), -7);
  EXPECT_EQ(qelkit::to_integer(Json(true)), 1);
  EXPECT_EQ(qelkit::to_integer(Json(false)), 0);
  EXPECT_EQ(qelkit::to_integer(Json(2.9)), 2);
  EXPECT_EQ(qelkit::to_integer(Json(-2.9)), -2);  // toward zero, not down
  EXPECT_EQ(qelkit::to_integer(Json("15")), 15);
  EXPECT_EQ(qelkit::to_integer(Json(" -15\n")), -15);
  EXPECT_EQ(qelkit::to_integer(Json("+8")), 8);
  EXPECT_EQ(qelkit::to_integer(Json("9223372036854775807")), INT64_MAX);
}

TEST(Json, ToIntegerRefusesEverythingElse) {
  for (const Json& v : {Json(nullptr), Json(""), Json("  "), Json("1.5"), Json("12a"), Json("-"), Json("1 2"),
                        Json::array({1}), Json::object(), Json("9223372036854775808"), Json(1e300),
                        Json(18446744073709551615u)}) {
    EXPECT_THROW(qelkit::to_integer(v), qelkit::ConversionError) << v.dump();
  }
  try {
    qelkit::to_integer(Json("abc"));
  } catch (const qelkit::ConversionError& e) {
    EXPECT_NE(std::string(e.what()).find("\"abc\""), std::string::npos) << e.what();
  }
}

}  // namespace
