// The login completion's write of json/data.json on real file systems: who
// may own the file, the modes it ends with, the lock file beside it, and
// files that cannot be replaced by a rename (bind mounts, hard links,
// read-only directories).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fake_login.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/bind_mount.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/work_dir.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::JsonFileHandler;
using qelkit::QelDriver;
using ::testing::HasSubstr;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

struct stat stat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

// One login completion of `uniq` against the fake platform, as the child runs it.
void complete_login(const std::string& uniq) { qelkit::testing::complete_fake_login("SESS", uniq); }

// The login completion's failure message, or "" when it succeeded.
std::string completion_failure(const std::string& uniq) {
  try {
    complete_login(uniq);
  } catch (const qelkit::Error& e) {
    return e.what();
  }
  return "";
}

// The accounts stored in the data file.
Json stored() { return JsonFileHandler::load_data_strict(std::string(QelDriver::kDataFile)); }

class DataFile : public ::testing::Test {
 protected:
  qelkit::testing::ScopedWorkDir dir_{"qelkit-data-file"};
};

TEST_F(DataFile, ALoginFileIsForItsOwnerOnly) {
  const mode_t old_umask = ::umask(0);
  complete_login("acct-1");
  EXPECT_EQ(stat_of("json/data.json").st_mode & 07777, 0600u);
  // Other documents get what the umask gives.
  JsonFileHandler::save_data(Json{{"app", "x"}}, "config.json");
  EXPECT_EQ(stat_of("json/config.json").st_mode & 07777, 0666u);
  ::umask(old_umask);

  // A file readable by the group or others loses those bits with the next login.
  for (mode_t mode : {0644, 0660, 0604, 0700}) {
    ASSERT_EQ(::chmod("json/data.json", mode), 0);
    complete_login("acct-" + std::to_string(mode));
    EXPECT_EQ(stat_of("json/data.json").st_mode & 07777, mode & 0700) << std::oct << mode;
  }
  EXPECT_EQ(stored().size(), 5u);
}

TEST_F(DataFile, ALoginIsNeverWrittenIntoAFileOthersCanWriteOrOwn) {
  complete_login("acct-1");
  ASSERT_EQ(::chmod("json/data.json", 0666), 0);  // planted by another user, say
  const std::string before = read("json/data.json");
  EXPECT_THAT(completion_failure("acct-2"), HasSubstr("writable by other users"));
  EXPECT_EQ(read("json/data.json"), before);
  EXPECT_EQ(stat_of("json/data.json").st_mode & 07777, 0666u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  ASSERT_EQ(::chmod("json/data.json", 0644), 0);
  ASSERT_EQ(::chown("json/data.json", qelkit::testing::kOtherUid, qelkit::testing::kOtherGid), 0);
  const std::string failure = completion_failure("acct-2");
  EXPECT_THAT(failure, HasSubstr("belongs to user 65534"));
  EXPECT_THAT(failure, HasSubstr("could not write the login of account acct-2"));
  EXPECT_EQ(read("json/data.json"), before);
  EXPECT_EQ(stat_of("json/data.json").st_uid, qelkit::testing::kOtherUid);
}

TEST_F(DataFile, TheLockFileIsNeverFollowedNorSharedWithAnotherUser) {
  fs::create_directory("json");
  fs::create_directory("elsewhere");
  fs::create_symlink(fs::absolute("elsewhere/planted"), "json/data.json.lock");
  EXPECT_THAT(completion_failure("acct-1"), HasSubstr("it is a symbolic link"));
  EXPECT_FALSE(fs::exists("elsewhere/planted"));
  EXPECT_FALSE(fs::exists("json/data.json"));

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  fs::remove("json/data.json.lock");
  write("json/data.json.lock", "");
  ASSERT_EQ(::chown("json/data.json.lock", qelkit::testing::kOtherUid, qelkit::testing::kOtherGid), 0);
  EXPECT_THAT(completion_failure("acct-1"), HasSubstr("belongs to user 65534"));
  EXPECT_FALSE(fs::exists("json/data.json"));
}

TEST_F(DataFile, AHeldLockIsWaitedForThirtySecondsThenTheLoginFailsWithNothingStored) {
  complete_login("acct-1");
  const std::string before = read("json/data.json");
  int holder = ::open("json/data.json.lock", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);

  const auto start = std::chrono::steady_clock::now();
  const std::string failure = completion_failure("acct-2");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_THAT(failure, HasSubstr("stayed locked by another process"));
  EXPECT_GE(waited, std::chrono::seconds(30));  // a lower bound only: load can only add to it
  EXPECT_EQ(read("json/data.json"), before);

  // Released, the same login goes through.
  ::close(holder);
  complete_login("acct-2");
  EXPECT_EQ(stored().size(), 2u);
}

TEST_F(DataFile, AWritableFileInAReadOnlyDirectoryTakesTheLoginWithoutALockFile) {
  ASSERT_EQ(::chown(dir_.path().c_str(), qelkit::testing::unprivileged_uid(), static_cast<gid_t>(-1)), 0);
  const std::string outcome = qelkit::testing::as_unprivileged([]() -> std::string {
    complete_login("acct-1");
    fs::remove("json/data.json.lock");  // cannot be made again: the directory becomes read-only
    if (::chmod("json", 0555) != 0) return "chmod";
    const std::string failure = completion_failure("acct-2");
    ::chmod("json", 0755);
    if (!failure.empty()) return failure;
    if (stored().size() != 2) return "stored: " + stored().dump();
    if (fs::exists("json/data.json.lock")) return "a lock file appeared";
    return "";
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(DataFile, ABindMountedOrHardLinkedFileTakesTheLoginInPlace) {
  complete_login("acct-1");
  fs::create_hard_link("json/data.json", "backup.json");
  complete_login("acct-2");
  EXPECT_EQ(read("backup.json"), read("json/data.json"));
  EXPECT_EQ(stored().size(), 2u);
  fs::remove("backup.json");

  if (::geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  write("outside.json", read("json/data.json"));
  ASSERT_EQ(::chmod("outside.json", 0600), 0);
  const fs::path target = fs::absolute("json/data.json");
  qelkit::testing::ScopedBindMount mount(fs::absolute("outside.json"), target);
  if (!mount.ok()) GTEST_SKIP() << "cannot bind-mount here: " << mount.error();
  EXPECT_EQ(completion_failure("acct-3"), "");
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_EQ(read("outside.json"), read("json/data.json"));
}

}  // namespace
