#include "qelkit/sdk/internal/stored_logins.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/fd.hpp"

namespace qelkit::detail {
namespace {

// The storage pass phrase, kept in three parts (17, 11 and 4 characters) and
// joined by CryptoHelper at run time. Changing any of them makes every stored
// login of earlier builds unreadable.
constexpr std::string_view kPassA = "qelkit.docstore.a";
constexpr std::string_view kPassB = "finder#2026";
constexpr std::string_view kPassC = "Qk7!";
static_assert(kPassA.size() == 17 && kPassB.size() == 11 && kPassC.size() == 4);

constexpr std::chrono::seconds kLockWaitLimit{30};
constexpr std::chrono::milliseconds kLockRetryPause{50};

// Exclusive advisory locks held for the read-modify-write of the data file,
// so that logins finishing together do not lose each other.
//
// The data file itself is locked (flock on its inode), so that writers
// exclude each other whatever path reaches it: the same file may be one
// directory's json/data.json through a symbolic link, a hard link or a bind
// mount. A rename by the previous holder may have given the path a new
// inode while this process waited: the lock counts only on the file that the
// path names once it is held.
//
// A data file that does not exist yet has no inode to lock, so a lock file
// beside it serialises its creation: beside the file a symbolic link names,
// so that links to one file share it. The lock file is never followed
// through a symbolic link and must belong to this user (anyone else could
// hold it, or point it elsewhere). Where it cannot be had (a read-only
// directory) the data file alone is locked, and where that does not exist
// either, nothing can be stored and the login fails. Waiting for another
// holder is bounded.
class DataFileLock {
 public:
  explicit DataFileLock(const std::filesystem::path& data_path) {
    std::error_code ec;
    std::filesystem::path lock_path = data_path;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(data_path, ec))) {
      // check_link has vetted the link; its target may not exist yet.
      std::filesystem::path target = std::filesystem::weakly_canonical(data_path, ec);
      if (!ec) lock_path = std::move(target);
    }
    lock_path += ".lock";
    const std::string shown = lock_path.string();
    // Read-only is enough for flock and lets a lock file of mode 0400 serve.
    lock_fd_.reset(::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!lock_fd_.valid()) {
      const int err = errno;
      if (::lstat(lock_path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) refuse(shown, "it is a symbolic link");
        if (st.st_uid != ::geteuid()) refuse(shown, owner_text(st.st_uid));
      }
      lock_data_file(data_path, shown, err);
      return;
    }
    if (::fstat(lock_fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) refuse(shown, "it is not a regular file");
    if (st.st_uid != ::geteuid()) refuse(shown, owner_text(st.st_uid));
    wait_for_lock(lock_fd_.get(), data_path, shown);
    lock_data_file(data_path, shown, 0);
  }
  // Closing the descriptors releases the locks.
  DataFileLock(const DataFileLock&) = delete;
  DataFileLock& operator=(const DataFileLock&) = delete;

 private:
  static std::string owner_text(uid_t owner) {
    return "it belongs to user " + std::to_string(owner) + ", not to this user (" + std::to_string(::geteuid()) + ")";
  }
  [[noreturn]] void refuse(const std::string& lock_path, const std::string& why) {
    close_fds();
    throw SystemError("refusing the lock file " + lock_path + ": " + why + "; nothing was stored");
  }
  void close_fds() {
    data_fd_.reset();
    lock_fd_.reset();
  }

  // Locks the data file itself. `lock_error` is 0 when the lock file is held
  // (a data file that does not exist yet then needs no lock of its own), else
  // why opening `lock_path` failed.
  void lock_data_file(const std::filesystem::path& data_path, const std::string& lock_path, int lock_error) {
    const std::string shown = data_path.string();
    const std::string no_lock_file = lock_path + ": " + errno_text(lock_error);
    for (;;) {
      data_fd_.reset(::open(data_path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      if (!data_fd_.valid() && errno == EACCES) {
        data_fd_.reset(::open(data_path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
      }
      if (!data_fd_.valid()) {
        const int err = errno;
        if (err == ENOENT && lock_error == 0) return;
        if (err == ENOENT && (lock_error == EACCES || lock_error == EPERM || lock_error == EROFS)) {
          close_fds();
          throw SystemError("the data file " + shown + " does not exist and cannot be created: its directory " +
                            "takes no new files (" + no_lock_file + "); nothing was stored");
        }
        close_fds();
        if (lock_error == 0) {
          throw SystemError("cannot lock the data file " + shown + ": " + errno_text(err) + "; nothing was stored");
        }
        throw SystemError("cannot lock the data file " + shown + ": " + errno_text(err) + " (nor use " +
                          no_lock_file + "); nothing was stored");
      }
      wait_for_lock(data_fd_.get(), data_path, shown);
      struct stat held {}, now {};
      if (::fstat(data_fd_.get(), &held) == 0 && ::stat(data_path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
          held.st_ino == now.st_ino) {
        return;
      }
      data_fd_.reset();
    }
  }

  // Takes the exclusive lock on `fd`, waiting at most kLockWaitLimit.
  void wait_for_lock(int fd, const std::filesystem::path& data_path, const std::string& locked) {
    // Real time, not the platform clock: the holder is another process.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EWOULDBLOCK) {
        close_fds();
        throw SystemError("cannot lock " + locked + ": " + errno_text(err));
      }
      if (std::chrono::steady_clock::now() - start >= kLockWaitLimit) {
        close_fds();
        throw SystemError("the data file " + data_path.string() + " stayed locked by another process (" + locked +
                          ") for 30 s; nothing was stored");
      }
      std::this_thread::sleep_for(kLockRetryPause);
    }
  }

  UniqueFd lock_fd_;
  UniqueFd data_fd_;
};

// Why the data file did not read, without any of its content: the JSON
// parser's message quotes the last text it read, which may be part of an
// encrypted session id.
std::string problem_of(const Error& e) {
  std::string text = e.what();
  if (const auto parser = text.find("[json.exception."); parser != std::string::npos) {
    if (const auto quoted = text.find("; last read: ", parser); quoted != std::string::npos) text.erase(quoted);
  }
  return text;
}

// The data file's path as shown in messages: absolute where it can be had.
std::string shown_data_file() {
  const std::string relative = JsonFileHandler::get_file_path(data_file());
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(relative, ec);
  return ec ? relative : path.string();
}

// Reads the data file for an update. A file that exists but does not hold a
// JSON object is moved aside under a telling name rather than overwritten,
// so stored logins are never silently destroyed; `moved_aside` (when given)
// then says so.
Json read_for_update(const std::filesystem::path& path, std::string* moved_aside) {
  std::string problem;
  try {
    Json doc = JsonFileHandler::load_data_strict(data_file());
    if (doc.is_object()) return doc;
    problem = "not a JSON object";
  } catch (const Error& e) {
    problem = problem_of(e);
  }
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  std::filesystem::path aside = path;
  aside += std::string(".unreadable-") + stamp + "-" + std::to_string(::getpid());
  std::error_code ec;
  std::filesystem::rename(path, aside, ec);
  if (ec) {
    throw SystemError("the data file " + path.string() + " is unreadable (" + problem +
                      ") and cannot be moved aside: " + ec.message());
  }
  if (moved_aside) {
    std::error_code abs_ec;
    const std::filesystem::path shown = std::filesystem::absolute(aside, abs_ec);
    *moved_aside = "the data file " + shown_data_file() + " was unreadable (" + problem + ") and was moved aside to " +
                   (abs_ec ? aside : shown).string() +
                   "; the logins it held are no longer used until it is repaired and moved back";
  }
  return Json::object();
}

// Decrypted stored logins, by the encrypted text they came from. A
// decryption derives its key with 100,000 rounds of PBKDF2 (about 20 ms of
// CPU), and a daily pull reads an account's login for every list page and
// every detailed query. Every encryption has a salt and nonce of its own, so
// an unchanged text is an unchanged login, and a new login (a new text) is
// decrypted afresh. Only what decrypted is kept; the memory stays bounded.
class DecryptedLogins {
 public:
  std::string decrypt(const std::string& encrypted) {
    {
      std::lock_guard lock(m_);
      if (auto it = plain_.find(encrypted); it != plain_.end()) return it->second;
    }
    std::string plain = storage_crypto().decrypt(encrypted);
    std::lock_guard lock(m_);
    if (plain_.size() >= kMaxKept) plain_.clear();
    plain_.emplace(encrypted, plain);
    return plain;
  }

 private:
  static constexpr std::size_t kMaxKept = 1024;
  std::mutex m_;
  std::unordered_map<std::string, std::string> plain_;
};

DecryptedLogins& decrypted_logins() {
  static DecryptedLogins* const logins = new DecryptedLogins;  // never destroyed: queries may outlive main
  return *logins;
}

}  // namespace

CryptoHelper storage_crypto() { return CryptoHelper(kPassA, kPassB, kPassC); }

const std::string& data_file() {
  static const std::string* const name = new std::string(kDataFileName);  // never destroyed
  return *name;
}

// The stored logins for a query. A missing file has none; one that exists
// but does not read as a JSON object is never mistaken for "no logins".
Json stored_logins() {
  std::string problem;
  try {
    Json stored = JsonFileHandler::load_data_strict(data_file());
    if (stored.is_object()) return stored;
    problem = "it holds " + std::string(stored.type_name()) + ", not a JSON object";
  } catch (const Error& e) {
    problem = problem_of(e);
  }
  const std::string shown = shown_data_file();
  throw DataFileError(shown, "the data file " + shown + " is unreadable (" + problem + "); repair it, or move it " +
                                 "aside (mv " + shown + " " + shown + ".damaged) so that the next login starts " +
                                 "a new one");
}

// The decrypted session id of a stored account, or nothing when the account
// is not stored.
std::optional<std::string> stored_session(const std::string& qel_id, UndecryptableLogin undecryptable) {
  Json stored = stored_logins();
  auto it = stored.find(qel_id);
  if (it == stored.end()) return std::nullopt;
  std::string message = "the stored login of account " + qel_id + " does not decrypt (written by another build, or damaged): ";
  if (!it->is_string()) {
    message += "it is not an encrypted text";
    if (undecryptable == UndecryptableLogin::stored_login_error) throw StoredLoginError(qel_id, message);
    throw ProtocolError(message);
  }
  try {
    return decrypted_logins().decrypt(it->get<std::string>());
  } catch (const Error& e) {
    message += e.what();
    if (undecryptable == UndecryptableLogin::stored_login_error) throw StoredLoginError(qel_id, message);
    rethrow_with(std::current_exception(), message, Json::array(), {});
  }
}

std::string required_session(const std::string& account) {
  std::optional<std::string> session = stored_session(account, UndecryptableLogin::stored_login_error);
  if (!session) {
    const std::string shown = shown_data_file();
    throw AccountNotStoredError(account, "no stored login for account " + account + " in the data file " + shown);
  }
  return std::move(*session);
}

void update_stored_logins(const std::function<void(Json&)>& change, Unreadable unreadable,
                          std::string* moved_aside) {
  const std::filesystem::path path = JsonFileHandler::get_file_path(data_file());
  if (path.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
      throw SystemError("cannot create the directory " + path.parent_path().string() + " for the data file: " +
                        ec.message());
    }
  }
  JsonFileHandler::check_link(data_file());  // before anything is read or moved through it
  DataFileLock lock(path);
  Json stored = unreadable == Unreadable::refuse ? stored_logins() : read_for_update(path, moved_aside);
  change(stored);
  JsonFileHandler::save_private_data(stored, data_file());
  // Read back while the lock is held: a change is reported done only when it
  // is in the file (a writer that ignores the lock could have undone it).
  Json written;
  try {
    written = JsonFileHandler::load_data_strict(data_file());
  } catch (const Error& e) {
    throw SystemError("the data file " + path.string() + " does not read back after the write: " + e.what());
  }
  if (written != stored) {
    throw SystemError("the data file " + path.string() + " does not hold what was just written to it (another " +
                      "process writes it without taking its lock)");
  }
}

// The member `key` of `object`, or a ProtocolError naming what was read.
const Json& member(const Json& object, const char* key, const std::string& what) {
  if (!object.is_object()) {
    throw ProtocolError(what + ": expected an object, got " + object.dump());
  }
  auto it = object.find(key);
  if (it == object.end()) throw ProtocolError(what + ": missing key \"" + key + "\"");
  return *it;
}

int record_code(const Json& record, const std::string& what) {
  const Json& code = member(record, "code", what);
  if (!code.is_number_integer()) throw ProtocolError(what + ": \"code\" is not an integer");
  return code.get<int>();
}

// Text form of a value the platform gave as text or number.
std::string text_form(const Json& value, const std::string& what) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number()) return value.dump();
  throw ProtocolError(what + " is neither text nor a number: " + value.dump());
}

}  // namespace qelkit::detail
