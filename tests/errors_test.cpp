// The one table of error kinds: every error reports the kind of its class,
// and the README's list of kinds says what the table says.
#include "qelkit/common/errors.hpp"

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using qelkit::ErrorKind;

TEST(ErrorKinds, EveryClassReportsItsOwnKind) {
  const std::vector<std::pair<std::shared_ptr<qelkit::Error>, ErrorKind>> errors = {
      {std::make_shared<qelkit::Error>("m"), ErrorKind::error},
      {std::make_shared<qelkit::TransportError>("m"), ErrorKind::transport},
      {std::make_shared<qelkit::NoReplyError>("m"), ErrorKind::no_reply},
      {std::make_shared<qelkit::ProtocolError>("m"), ErrorKind::protocol},
      {std::make_shared<qelkit::ConversionError>("m"), ErrorKind::conversion},
      {std::make_shared<qelkit::DecodingError>("m"), ErrorKind::decoding},
      {std::make_shared<qelkit::InvalidArgumentError>("m"), ErrorKind::invalid_argument},
      {std::make_shared<qelkit::AuthenticationError>("m"), ErrorKind::authentication},
      {std::make_shared<qelkit::SystemError>("m"), ErrorKind::system},
      {std::make_shared<qelkit::LoginExpiredError>("a", "m"), ErrorKind::login_expired},
      {std::make_shared<qelkit::PlatformError>(7, "m"), ErrorKind::platform},
      {std::make_shared<qelkit::PlatformBusyError>("m"), ErrorKind::platform_busy},
      {std::make_shared<qelkit::DataFileError>("p", "m"), ErrorKind::data_file},
      {std::make_shared<qelkit::AccountNotStoredError>("a", "m"), ErrorKind::account_not_stored},
      {std::make_shared<qelkit::PageLimitError>("m"), ErrorKind::page_limit},
      {std::make_shared<qelkit::StoredLoginError>("a", "m"), ErrorKind::stored_login},
  };
  ASSERT_EQ(errors.size(), std::size(qelkit::kErrorKinds));
  for (const auto& [error, kind] : errors) {
    EXPECT_EQ(qelkit::error_kind_name(error->kind()), qelkit::error_kind_name(kind));
  }
}

TEST(ErrorKinds, RethrowWithKeepsTheKindAndItsFieldsAndAddsTheOutcome) {
  try {
    qelkit::rethrow_with(std::make_exception_ptr(qelkit::PlatformError(7, "old")), "new", qelkit::Json::array({1}),
                         {{2, "why"}});
  } catch (const qelkit::PlatformError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::platform);
    EXPECT_EQ(e.code(), 7);
    EXPECT_STREQ(e.what(), "new");
    EXPECT_EQ(e.rows(), qelkit::Json::array({1}));
    EXPECT_EQ(e.failed_pages(), (std::vector<qelkit::FailedPage>{{2, "why"}}));
  }
  // What is not a qelkit error becomes a plain one.
  EXPECT_THROW(qelkit::rethrow_with(std::make_exception_ptr(std::out_of_range("x")), "new", qelkit::Json::array(), {}),
               qelkit::Error);
}

TEST(ErrorKinds, TheReadmeListsEveryKindWithItsExitStatus) {
  std::ifstream readme(QELKIT_README_PATH);
  ASSERT_TRUE(readme) << QELKIT_README_PATH;
  std::vector<std::string> rows;
  bool in_table = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("| kind | C++ exception | Python exception | exit status |", 0) == 0) in_table = true;
    if (!in_table) continue;
    if (line.empty()) break;
    if (line.rfind("| `", 0) == 0) rows.push_back(line);
  }
  std::vector<std::string> expected;
  for (const qelkit::ErrorKindInfo& k : qelkit::kErrorKinds) {
    std::ostringstream row;
    row << "| `" << k.name << "` | `" << k.class_name << "` | `" << k.python_name << "` | " << k.exit_status << " | "
        << k.words << " |";
    expected.push_back(row.str());
  }
  EXPECT_EQ(rows, expected);
}

}  // namespace
