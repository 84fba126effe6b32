// The login completion's write of json/data.json on real file systems: who
// may own the file, the modes it ends with, the lock file beside it, files
// that cannot be replaced by a rename (bind mounts, hard links, read-only
// directories), a full disk, symbolic links planted by others, and what a
// login refuses to store.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/sdk/qelfacade.hpp"
#include "tests/support/fake_login.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/bind_mount.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/sanitized.hpp"
#include "tests/support/work_dir.hpp"
#include "tests/support/files.hpp"
#include "tests/support/small_tmpfs.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::JsonFileHandler;
using qelkit::QelDriver;
using ::testing::HasSubstr;
using ::testing::Not;

using qelkit::testing::read_file;

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

std::string mode_of(const fs::path& p) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(stat_of(p).st_mode & 07777));
  return text;
}

// Runs body(i) for each i < n in a process of its own, all released at the
// same moment; returns how many failed (each says why on standard error).
int in_processes(int n, const std::function<void(int)>& body) {
  int gate[2];
  if (::pipe(gate) != 0) return n;
  int failed = 0;
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
      }
      int status = 0;
      try {
        body(i);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "process %d: %s\n", i, e.what());
        status = 1;
      }
      ::_exit(status);
    }
    if (pid < 0) ++failed;
    if (pid > 0) pids.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // lets them all go
  for (pid_t pid : pids) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
  }
  return failed;
}

using qelkit::testing::on_small_tmpfs;

// Fills the file system of the working directory with "filler" until no
// page is left; returns false when it never fills.
bool fill_the_disk() {
  const int fd = ::open("filler", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string block(4096, 'f');
  bool full = false;
  for (int i = 0; i < 100000 && !full; ++i) full = ::write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
  ::close(fd);
  return full;
}

// Stored accounts whose file is exactly `size` bytes long.
Json accounts_of_size(std::size_t size) {
  Json accounts = Json::object();
  for (int i = 0;; ++i) {
    const std::string id = "acct-" + std::to_string(i);
    accounts[id] = std::string(64, 'e');
    if (accounts.dump(2).size() + 10 > size) {
      accounts.erase(id);
      break;
    }
  }
  accounts.back().get_ref<std::string&>().append(size - accounts.dump(2).size(), 'p');
  return accounts;
}

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
  const std::string before = read_file("json/data.json");
  EXPECT_THAT(completion_failure("acct-2"), HasSubstr("writable by other users"));
  EXPECT_EQ(read_file("json/data.json"), before);
  EXPECT_EQ(stat_of("json/data.json").st_mode & 07777, 0666u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  ASSERT_EQ(::chmod("json/data.json", 0644), 0);
  ASSERT_EQ(::chown("json/data.json", qelkit::testing::kOtherUid, qelkit::testing::kOtherGid), 0);
  const std::string failure = completion_failure("acct-2");
  EXPECT_THAT(failure, HasSubstr("belongs to user 65534"));
  EXPECT_THAT(failure, HasSubstr("could not write the login of account acct-2"));
  EXPECT_EQ(read_file("json/data.json"), before);
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
  const std::string before = read_file("json/data.json");
  int holder = ::open("json/data.json.lock", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);

  const auto start = std::chrono::steady_clock::now();
  const std::string failure = completion_failure("acct-2");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_THAT(failure, HasSubstr("stayed locked by another process"));
  EXPECT_GE(waited, std::chrono::seconds(30));  // a lower bound only: load can only add to it
  EXPECT_EQ(read_file("json/data.json"), before);

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
  EXPECT_EQ(read_file("backup.json"), read_file("json/data.json"));
  EXPECT_EQ(stored().size(), 2u);
  fs::remove("backup.json");

  if (::geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  write("outside.json", read_file("json/data.json"));
  ASSERT_EQ(::chmod("outside.json", 0600), 0);
  const fs::path target = fs::absolute("json/data.json");
  qelkit::testing::ScopedBindMount mount(fs::absolute("outside.json"), target);
  if (!mount.ok()) GTEST_SKIP() << "cannot bind-mount here: " << mount.error();
  EXPECT_EQ(completion_failure("acct-3"), "");
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_EQ(read_file("outside.json"), read_file("json/data.json"));
}

TEST_F(DataFile, ThirtyTwoLoginsFinishingTogetherInAReadOnlyDirectoryAllLand) {
  ASSERT_EQ(::chown(dir_.path().c_str(), qelkit::testing::unprivileged_uid(), static_cast<gid_t>(-1)), 0);
  const std::string outcome = qelkit::testing::as_unprivileged([]() -> std::string {
    complete_login("first");
    fs::remove("json/data.json.lock");  // cannot be made again: the directory becomes read-only
    if (::chmod("json", 0555) != 0) return "chmod";
    std::vector<std::string> landed{"first"};
    std::string problem;
    const int rounds = qelkit::testing::repetitions(10, 3);
    for (int round = 0; round < rounds && problem.empty(); ++round) {
      const std::string prefix = "r" + std::to_string(round) + "-";
      const int failed = in_processes(32, [&](int i) { complete_login(prefix + std::to_string(i)); });
      for (int i = 0; i < 32; ++i) landed.push_back(prefix + std::to_string(i));
      const Json doc = JsonFileHandler::load_data_strict("data.json");  // throws when damaged
      for (const std::string& id : landed) {
        if (!doc.contains(id)) problem = "round " + std::to_string(round) + " lost " + id;
      }
      if (failed) problem = "round " + std::to_string(round) + ": " + std::to_string(failed) + " logins failed";
    }
    if (problem.empty() && fs::exists("json/data.json.lock")) problem = "a lock file appeared";

    // Without a data file nothing can be stored there: the login says so.
    if (problem.empty()) {
      ::chmod("json", 0755);
      fs::rename("json/data.json", "kept.json");
      ::chmod("json", 0555);
      const std::string failure = completion_failure("late");
      if (failure.find("json/data.json does not exist and cannot be created") == std::string::npos) {
        problem = "no data file: " + failure;
      }
    }
    ::chmod("json", 0755);
    return problem;
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(DataFile, AFullDiskKeepsEveryStoredLogin) {
  const std::string outcome = on_small_tmpfs(dir_.path() / "disk", 64, []() -> std::string {
    // A file a few bytes short of one page, and one of three; hard-linked, so
    // that only a rewrite in place can take the login.
    for (std::size_t pages : {1, 3}) {
      const std::string what = std::to_string(pages) + " page(s): ";
      const Json accounts = accounts_of_size(pages * 4096 - 5);
      JsonFileHandler::save_private_data(accounts, "data.json");
      fs::create_hard_link("json/data.json", "json/backup.json");
      const std::string before = read_file("json/data.json");
      if (before.size() != pages * 4096 - 5) return what + "the file is " + std::to_string(before.size()) + " bytes";
      if (!fill_the_disk()) return what + "the disk never filled";

      const std::string failure = completion_failure("late");
      if (failure.find("could not write the login of account late") == std::string::npos ||
          failure.find("no room for the new content (No space left on device); the file is unchanged") ==
              std::string::npos) {
        return what + "the login said: '" + failure + "'";
      }
      if (read_file("json/data.json") != before || read_file("json/backup.json") != before) return what + "the file changed";

      // With room for part of a larger document: save_data is silent,
      // save_private_data reports, and the file stays as it was.
      if (::truncate("filler", static_cast<off_t>(fs::file_size("filler") - 4096)) != 0) return what + "truncate";
      Json larger = accounts;
      larger["large"] = std::string(6000, 'l');
      JsonFileHandler::save_data(larger, "data.json");
      if (read_file("json/data.json") != before) return what + "save_data changed the file";
      try {
        JsonFileHandler::save_private_data(larger, "data.json");
        return what + "save_private_data reported success";
      } catch (const qelkit::SystemError& e) {
        if (std::string(e.what()).find("no room") == std::string::npos) return what + e.what();
      }
      if (read_file("json/data.json") != before) return what + "save_private_data changed the file";
      if (stored() != accounts) return what + "stored: " + stored().dump();

      // With room, the same login goes through, and the links stay together.
      fs::remove("filler");
      complete_login("late");
      if (stored().size() != accounts.size() + 1) return what + "after room was made: " + stored().dump();
      if (read_file("json/backup.json") != read_file("json/data.json")) return what + "the links parted";
      fs::remove("json/backup.json");
      fs::remove("json/data.json");
    }
    return "";
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(DataFile, ALinkPlantedInASharedDirectoryIsNeverFollowed) {
  write("settings.json", "{\"theme\": \"dark\"}");
  write("notes.txt", "not a JSON document");
  ASSERT_EQ(::chmod("settings.json", 0600), 0);
  fs::create_directory("json");
  ASSERT_EQ(::chmod("json", 0777), 0);  // anyone may put a link there

  // Followed, a valid document would take the login, and an invalid one
  // would be moved aside for a new file: neither may happen.
  for (const char* victim : {"settings.json", "notes.txt"}) {
    SCOPED_TRACE(victim);
    const std::string before = read_file(victim);
    fs::create_symlink(fs::absolute(victim), "json/data.json");
    const std::string failure = completion_failure("acct-1");
    EXPECT_THAT(failure, HasSubstr("could not write the login of account acct-1"));
    EXPECT_THAT(failure, HasSubstr("refusing to follow it: it is a symbolic link in a directory that other users "
                                   "may write (mode 0777) without the sticky bit"));
    JsonFileHandler::save_data(Json{{"plain", true}}, "data.json");  // refused too, silently
    EXPECT_EQ(read_file(victim), before);
    EXPECT_EQ(mode_of(victim), std::string(victim) == "settings.json" ? "0600" : mode_of("notes.txt"));
    EXPECT_TRUE(fs::is_symlink("json/data.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator("json"), fs::directory_iterator()), 1);  // nothing beside it
    fs::remove("json/data.json");
  }

  // In a sticky directory nobody else can swap this user's link: it is followed.
  ASSERT_EQ(::chmod("json", 01777), 0);
  fs::create_symlink(fs::absolute("settings.json"), "json/data.json");
  EXPECT_EQ(completion_failure("acct-1"), "");
  EXPECT_TRUE(JsonFileHandler::load_data("./settings.json").contains("acct-1"));
  fs::remove("json/data.json");

  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root";
  ASSERT_EQ(::chmod("json", 0755), 0);
  const std::string before = read_file("settings.json");
  fs::create_symlink(fs::absolute("settings.json"), "json/data.json");
  ASSERT_EQ(::lchown("json/data.json", qelkit::testing::kOtherUid, qelkit::testing::kOtherGid), 0);
  EXPECT_THAT(completion_failure("acct-2"),
              HasSubstr("it is a symbolic link that belongs to user 65534, not to this user (0)"));
  JsonFileHandler::save_data(Json{{"plain", true}}, "data.json");
  EXPECT_EQ(read_file("settings.json"), before);
}

TEST_F(DataFile, ALoginIsNeverWrittenInPlaceIntoAFileOthersMayRead) {
  // A hard-linked file can only be rewritten in place.
  complete_login("acct-1");
  fs::create_hard_link("json/data.json", "backup.json");
  ASSERT_EQ(::chmod("json/data.json", 0640), 0);
  EXPECT_THAT(completion_failure("acct-2"), HasSubstr("it is readable by other users (mode 0640) and can only be "
                                                      "rewritten in place (it has other hard links)"));
  EXPECT_EQ(stored().size(), 1u);
  fs::remove("backup.json");
  fs::remove_all("json");

  // So can one in a read-only directory (as the unprivileged user), which
  // another process opened while it was 0644.
  ASSERT_EQ(::chown(dir_.path().c_str(), qelkit::testing::unprivileged_uid(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(qelkit::testing::as_unprivileged([]() -> std::string {
              complete_login("acct-1");
              fs::remove("json/data.json.lock");
              return ::chmod("json/data.json", 0644) == 0 && ::chmod("json", 0555) == 0 ? "" : "chmod";
            }),
            "");
  const std::string before = read_file("json/data.json");
  const int spy = ::open("json/data.json", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(spy, 0);
  const std::string failure = qelkit::testing::as_unprivileged([]() { return completion_failure("acct-2"); });
  EXPECT_THAT(failure, HasSubstr("it is readable by other users (mode 0644) and can only be rewritten in place (no "
                                 "file can be made beside it: Permission denied)"));
  EXPECT_THAT(failure, HasSubstr("make it private first (chmod 600 'json/data.json')"));
  EXPECT_EQ(read_file("json/data.json"), before);
  EXPECT_EQ(mode_of("json/data.json"), "0644");
  std::string seen(4096, '\0');
  seen.resize(static_cast<std::size_t>(std::max<ssize_t>(::pread(spy, seen.data(), seen.size(), 0), 0)));
  EXPECT_EQ(seen, before);
  ::close(spy);

  // Tightened first, the login goes through where it is.
  EXPECT_EQ(qelkit::testing::as_unprivileged([]() -> std::string {
              if (::chmod("json/data.json", 0600) != 0) return "chmod";
              const std::string outcome = completion_failure("acct-2");
              ::chmod("json", 0755);
              return outcome;
            }),
            "");
  EXPECT_EQ(stored().size(), 2u);
}

TEST_F(DataFile, ASessionIdThatIsNotUtf8IsRefusedWithNothingStored) {
  auto failure_for = [](const std::string& session) -> std::string {
    try {
      qelkit::testing::complete_fake_login(session, "acct-bad");
    } catch (const qelkit::ProtocolError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_THAT(failure_for("SESS\xFF\xFE"), HasSubstr("the session id is not valid UTF-8 text; nothing was stored"));
  EXPECT_FALSE(fs::exists("json"));

  complete_login("acct-1");
  const std::string before = read_file("json/data.json");
  EXPECT_THAT(failure_for("\xC3\x28SESS"), HasSubstr("not valid UTF-8"));     // a cut sequence
  EXPECT_THAT(failure_for("SESS\xED\xA0\x80"), HasSubstr("not valid UTF-8"));  // a surrogate
  EXPECT_EQ(read_file("json/data.json"), before);
  EXPECT_EQ(failure_for("SESS-\xC3\xA9"), "");  // valid UTF-8 goes through
  EXPECT_EQ(stored().size(), 2u);
}

// Two directories whose json/data.json is one file, reached through a
// symbolic link, a hard link, or a bind mount of the file at both places:
// logins finishing together in both all land, and the layout stays as it was.
TEST_F(DataFile, LoginsReachingOneFileByLinksOrBindMountsAllLand) {
  for (const std::string layout : {"symbolic link", "hard link", "bind mounts"}) {
    SCOPED_TRACE(layout);
    const fs::path base = dir_.path() / layout, a = base / "a/json/data.json", b = base / "b/json/data.json";
    fs::create_directories(a.parent_path());
    fs::create_directories(b.parent_path());
    write(base / "shared.json", "{}");
    ASSERT_EQ(::chmod((base / "shared.json").c_str(), 0600), 0);
    std::vector<std::unique_ptr<qelkit::testing::ScopedBindMount>> mounts;
    for (const fs::path& at : {a, b}) {
      if (layout != "bind mounts") break;
      write(at, "");
      mounts.push_back(std::make_unique<qelkit::testing::ScopedBindMount>(base / "shared.json", at));
      ASSERT_TRUE(mounts.back()->ok()) << mounts.back()->error();
    }
    if (layout != "bind mounts") fs::rename(base / "shared.json", b);
    if (layout == "symbolic link") fs::create_symlink(b, a);
    if (layout == "hard link") fs::create_hard_link(b, a);
    std::vector<std::string> landed;
    for (int round = 0; round < qelkit::testing::repetitions(3, 1); ++round) {
      const std::string prefix = layout + std::to_string(round) + "-";
      EXPECT_EQ(in_processes(32, [&](int i) {
                  fs::current_path(base / (i % 2 ? "a" : "b"));
                  complete_login(prefix + std::to_string(i));
                }), 0);
      for (int i = 0; i < 32; ++i) landed.push_back(prefix + std::to_string(i));
    }
    const Json doc = Json::parse(read_file(b));
    for (const std::string& id : landed) EXPECT_TRUE(doc.contains(id)) << id;
    struct stat at_a {}, at_b {};
    ASSERT_EQ(::stat(a.c_str(), &at_a) | ::stat(b.c_str(), &at_b), 0);
    EXPECT_EQ(at_a.st_ino, at_b.st_ino) << "the two paths no longer reach one file";
    for (const fs::path& dir : {a.parent_path(), b.parent_path()}) {
      for (const auto& entry : fs::directory_iterator(dir)) EXPECT_THAT(entry.path().string(), Not(HasSubstr("unreadable")));
    }
  }
}

// A json folder that is a link someone else could have planted (a link of
// another user, or one in a directory that others may write without the
// sticky bit) is never followed; this user's own link in a private directory is.
TEST_F(DataFile, AJsonFolderLinkThatOthersCouldHavePlantedIsNeverFollowed) {
  fs::create_directory("elsewhere");
  fs::create_symlink(fs::absolute("elsewhere"), "json");
  const struct {
    uid_t owner;
    mode_t dir_mode;
    std::string refusal;  // "": followed
  } cases[] = {
      {qelkit::testing::kOtherUid, 0755, "its folder json: refusing to follow it: it is a symbolic link that belongs to user 65534"},
      {::geteuid(), 0777, "its folder json: refusing to follow it: it is a symbolic link in a directory that other users may write"},
      {::geteuid(), 0755, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal);
    ASSERT_EQ(::lchown("json", c.owner, static_cast<gid_t>(-1)) | ::chmod(dir_.path().c_str(), c.dir_mode), 0);
    const std::string failure = completion_failure("acct-1");
    JsonFileHandler::save_data(Json{{"plain", true}}, "notes.json");
    ::chmod(dir_.path().c_str(), 0700);
    EXPECT_THAT(failure, HasSubstr(c.refusal));
    if (c.refusal.empty()) {
      EXPECT_EQ(failure, "");
    }
    EXPECT_EQ(fs::exists("elsewhere/notes.json"), c.refusal.empty());
    EXPECT_EQ(JsonFileHandler::load_data("./elsewhere/data.json").contains("acct-1"), c.refusal.empty());
  }
}

}  // namespace
