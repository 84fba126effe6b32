#include "qelkit/sdk/qelfacade.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"
#include "qelkit/common/sealbox.hpp"
#include "qelkit/common/taskspawn.hpp"
#include "qelkit/common/transport.hpp"
#include "qelkit/sdk/pagefanout.hpp"

namespace qelkit {
namespace {

// The storage pass phrase, kept in three parts (17, 11 and 4 characters) and
// joined by CryptoHelper at run time. Changing any of them makes every stored
// login of earlier builds unreadable.
constexpr std::string_view kPassA = "qelkit.docstore.a";
constexpr std::string_view kPassB = "finder#2026";
constexpr std::string_view kPassC = "Qk7!";
static_assert(kPassA.size() == 17 && kPassB.size() == 11 && kPassC.size() == 4);

constexpr double kPollInterval = 2.0;
constexpr double kPollLimit = 300.0;

constexpr std::string_view kModule = "qelkit.sdk.qelfacade";
constexpr std::string_view kClass = "QelDriver";
constexpr std::string_view kLoginCompletion = "ce";

CryptoHelper storage_crypto() { return CryptoHelper(kPassA, kPassB, kPassC); }

const std::string& data_file() {
  static const std::string* const name = new std::string(QelDriver::kDataFile);  // never destroyed
  return *name;
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

// The stored logins for a query. A missing file has none; one that exists
// but does not read as a JSON object is never mistaken for "no logins".
Json stored_logins() {
  std::string problem;
  try {
    Json stored = JsonFileHandler::load_data_strict(data_file());
    if (stored.is_object()) return stored;
    problem = "it holds " + std::string(stored.type_name()) + ", not a JSON object";
  } catch (const Error& e) {
    problem = e.what();
  }
  const std::string relative = JsonFileHandler::get_file_path(data_file());
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(relative, ec);
  const std::string shown = ec ? relative : path.string();
  throw DataFileError(shown, "the data file " + shown + " is unreadable (" + problem + ")");
}

// The decrypted session id of a stored account, or nothing when the account
// is not stored.
std::optional<std::string> stored_session(const std::string& qel_id) {
  Json stored = stored_logins();
  auto it = stored.find(qel_id);
  if (it == stored.end()) return std::nullopt;
  if (!it->is_string()) {
    throw ProtocolError("the stored login of account " + qel_id + " is not an encrypted text");
  }
  try {
    return storage_crypto().decrypt(it->get<std::string>());
  } catch (const AuthenticationError& e) {
    throw AuthenticationError("the stored login of account " + qel_id +
                              " does not decrypt (written by another build, or damaged): " + e.what());
  } catch (const DecodingError& e) {
    throw DecodingError("the stored login of account " + qel_id + " is not a valid encrypted text: " + e.what());
  } catch (const InvalidArgumentError& e) {
    throw InvalidArgumentError("the stored login of account " + qel_id + " is too short to decrypt: " + e.what());
  }
}

LoginExpiredError login_expired(const std::string& qel_id, const std::string& detail) {
  return LoginExpiredError(qel_id, "the platform no longer accepts the stored login of account " + qel_id +
                                       " (it has expired); log in again" + detail);
}

// Throws `E` made from `args`, carrying a detailed query's partial outcome.
template <typename E, typename... Args>
[[noreturn]] void raise_with(Json rows, std::vector<FailedPage> failed, Args&&... args) {
  E error(std::forward<Args>(args)...);
  error.set_partial(std::move(rows), std::move(failed));
  throw error;
}

// Throws the detailed query's failure: the first page refused for an expired
// login, else the first page the platform refused with a code, else the
// first failed page's own kind of error. It carries the rows gathered and
// every failed page.
[[noreturn]] void raise_failed_pages(const std::string& qel_id, QelDis& fanout) {
  std::vector<FailedPage> failed;
  std::string numbers;
  const PageFailure* expired = nullptr;
  const PageFailure* refused = nullptr;
  const PageFailure* broken = nullptr;
  for (const PageFailure& f : fanout.failures) {
    failed.push_back({f.page, f.outcome.describe()});
    numbers += (numbers.empty() ? "" : ", ") + std::to_string(f.page);
    if (f.outcome.kind == PageOutcome::Kind::status) {
      if (f.outcome.code == 300 && !expired) expired = &f;
      if (!refused) refused = &f;
    } else if (!broken) {
      broken = &f;
    }
  }
  const std::string pages = (failed.size() == 1 ? "page " : "pages ") + numbers + " of the detailed statistics";
  Json rows = std::move(fanout.data);

  if (expired) {
    raise_with<LoginExpiredError>(std::move(rows), std::move(failed), login_expired(qel_id, " (" + pages + " refused)"));
  }
  if (refused) {
    const std::int64_t code = refused->outcome.code;
    const std::string message =
        code == 303 ? "the platform stayed busy through every re-request and did not serve " + pages
                    : "the platform refused " + pages + " (code " + std::to_string(code) + ")";
    raise_with<PlatformError>(std::move(rows), std::move(failed), code, message);
  }
  const std::string message = pages + " could not be fetched: " + broken->outcome.message;
  if (!broken->outcome.error) raise_with<Error>(std::move(rows), std::move(failed), message);
  try {
    std::rethrow_exception(broken->outcome.error);
  } catch (const LoginExpiredError& e) {
    raise_with<LoginExpiredError>(std::move(rows), std::move(failed), e.account(), message);
  } catch (const PlatformError& e) {
    raise_with<PlatformError>(std::move(rows), std::move(failed), e.code(), message);
  } catch (const DataFileError& e) {
    raise_with<DataFileError>(std::move(rows), std::move(failed), e.path(), message);
  } catch (const PageLimitError&) {
    raise_with<PageLimitError>(std::move(rows), std::move(failed), message);
  } catch (const TransportError&) {
    raise_with<TransportError>(std::move(rows), std::move(failed), message);
  } catch (const NoReplyError&) {
    raise_with<NoReplyError>(std::move(rows), std::move(failed), message);
  } catch (const ProtocolError&) {
    raise_with<ProtocolError>(std::move(rows), std::move(failed), message);
  } catch (const ConversionError&) {
    raise_with<ConversionError>(std::move(rows), std::move(failed), message);
  } catch (const DecodingError&) {
    raise_with<DecodingError>(std::move(rows), std::move(failed), message);
  } catch (const InvalidArgumentError&) {
    raise_with<InvalidArgumentError>(std::move(rows), std::move(failed), message);
  } catch (const AuthenticationError&) {
    raise_with<AuthenticationError>(std::move(rows), std::move(failed), message);
  } catch (const SystemError&) {
    raise_with<SystemError>(std::move(rows), std::move(failed), message);
  } catch (...) {
    raise_with<Error>(std::move(rows), std::move(failed), message);
  }
}

std::int64_t integer_member(const Json& entry, const char* key, const std::string& what) {
  auto it = entry.find(key);
  if (it == entry.end()) return 0;
  try {
    return to_integer(*it);
  } catch (const ConversionError& e) {
    throw ConversionError(what + ": \"" + key + "\": " + e.what());
  }
}

constexpr std::chrono::seconds kLockWaitLimit{30};
constexpr std::chrono::milliseconds kLockRetryPause{50};

// Exclusive advisory lock held for the read-modify-write of the data file,
// so that logins finishing together do not lose each other. The lock is
// taken on a lock file beside the data file, which is never followed
// through a symbolic link and must belong to this user (anyone else could
// hold it, or point it elsewhere). Where that file cannot be had (a
// read-only directory) the data file itself is locked: the only writes it
// can then take are rewrites in place, which keep its inode. Where the data
// file does not exist either, nothing can be stored and the login fails.
// Waiting for another holder is bounded.
class DataFileLock {
 public:
  explicit DataFileLock(const std::filesystem::path& data_path) {
    std::filesystem::path lock_path = data_path;
    lock_path += ".lock";
    const std::string shown = lock_path.string();
    // Read-only is enough for flock and lets a lock file of mode 0400 serve.
    fd_ = ::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd_ < 0) {
      const int err = errno;
      if (::lstat(lock_path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) refuse(shown, "it is a symbolic link");
        if (st.st_uid != ::geteuid()) refuse(shown, owner_text(st.st_uid));
      }
      lock_data_file(data_path, shown, err);
      return;
    }
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) refuse(shown, "it is not a regular file");
    if (st.st_uid != ::geteuid()) refuse(shown, owner_text(st.st_uid));
    wait_for_lock(data_path, shown);
  }
  ~DataFileLock() { close_fd(); }  // closing releases the lock
  DataFileLock(const DataFileLock&) = delete;
  DataFileLock& operator=(const DataFileLock&) = delete;

 private:
  static std::string owner_text(uid_t owner) {
    return "it belongs to user " + std::to_string(owner) + ", not to this user (" + std::to_string(::geteuid()) + ")";
  }
  [[noreturn]] void refuse(const std::string& lock_path, const std::string& why) {
    close_fd();
    throw SystemError("refusing the lock file " + lock_path + ": " + why + "; nothing was stored");
  }
  void close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Locks the data file itself; opening `lock_path` failed with `lock_error`.
  void lock_data_file(const std::filesystem::path& data_path, const std::string& lock_path, int lock_error) {
    const std::string shown = data_path.string();
    const std::string no_lock_file = lock_path + ": " + std::strerror(lock_error);
    for (;;) {
      fd_ = ::open(data_path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0 && errno == EACCES) fd_ = ::open(data_path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0) {
        const int err = errno;
        if (err == ENOENT && (lock_error == EACCES || lock_error == EPERM || lock_error == EROFS)) {
          throw SystemError("the data file " + shown + " does not exist and cannot be created: its directory " +
                            "takes no new files (" + no_lock_file + "); nothing was stored");
        }
        throw SystemError("cannot lock the data file " + shown + ": " + std::strerror(err) + " (nor use " +
                          no_lock_file + "); nothing was stored");
      }
      wait_for_lock(data_path, shown);
      // A writer may have replaced the file by a rename while this process
      // waited: the lock counts only on the file that the path names now.
      struct stat held {}, now {};
      if (::fstat(fd_, &held) == 0 && ::stat(data_path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
          held.st_ino == now.st_ino) {
        return;
      }
      close_fd();
    }
  }

  // Takes the exclusive lock on fd_, waiting at most kLockWaitLimit.
  void wait_for_lock(const std::filesystem::path& data_path, const std::string& locked) {
    // Real time, not the platform clock: the holder is another process.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EWOULDBLOCK) {
        close_fd();
        throw SystemError("cannot lock " + locked + ": " + std::strerror(err));
      }
      if (std::chrono::steady_clock::now() - start >= kLockWaitLimit) {
        close_fd();
        throw SystemError("the data file " + data_path.string() + " stayed locked by another process (" + locked +
                          ") for 30 s; nothing was stored");
      }
      std::this_thread::sleep_for(kLockRetryPause);
    }
  }

  int fd_ = -1;
};

// Reads the data file for an update. A file that exists but does not hold a
// JSON object is moved aside under a telling name rather than overwritten,
// so stored logins are never silently destroyed.
Json read_for_update(const std::filesystem::path& path) {
  std::string problem;
  try {
    Json doc = JsonFileHandler::load_data_strict(data_file());
    if (doc.is_object()) return doc;
    problem = "not a JSON object";
  } catch (const Error& e) {
    problem = e.what();
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
  return Json::object();
}

}  // namespace

Json QelDriver::get_login_qrcode_base64() {
  Json record = SpiderDriver().ale();
  if (record_code(record, "login code") != 0) return record;
  std::string token = text_form(member(record, "data", "login code"), "the login token");
  ten(token);
  std::string link = platform_origin() + "/mobile/confirm_login.html?token=" + token;
  record["data"] = SpiderDriver().gqb(link);
  return record;
}

Json QelDriver::get_data_statistic(const std::string& qel_id, std::int64_t start_time, std::int64_t end_time,
                                   std::int64_t page) {
  std::optional<std::string> session = stored_session(qel_id);
  if (!session) return Json::array();
  Json query = Json::object();
  query["pageSize"] = 5;
  query["currentPage"] = std::max<std::int64_t>(page, 1);
  query["startTs"] = std::to_string(start_time);
  query["endTs"] = std::to_string(end_time);
  query["queryString"] = "";

  Json rows = Json::array();
  std::int64_t refused = 0;
  std::optional<Json> record = SpiderDriver().iast(*session, query, &refused);
  if (!record) {
    throw PlatformError(refused, "the platform refused the statistics list of account " + qel_id + " (errCode " +
                                     std::to_string(refused) + ")");
  }
  const int code = record_code(*record, "statistics list");
  if (code == 300) throw login_expired(qel_id, "");
  if (code != 0) {
    throw PlatformError(code, "the platform refused the statistics list of account " + qel_id + " (code " +
                                  std::to_string(code) + ")");
  }
  const Json& entries = member(*record, "data", "statistics list");
  if (!entries.is_array()) throw ProtocolError("statistics list: \"data\" is not a list");
  std::size_t index = 0;
  for (const Json& entry : entries) {
    std::string what = "statistics list entry " + std::to_string(index++);
    Json row = Json::object();
    row["drama_name"] = member(member(entry, "dramaInfo", what), "dramaName", what + ": dramaInfo");
    row["view_number"] = integer_member(entry, "readCount", what);
    row["iaa_income"] = integer_member(entry, "iaaProfit", what);
    row["mount_income"] = integer_member(entry, "attachProfit", what);
    rows.push_back(std::move(row));
  }
  return rows;
}

Json QelDriver::get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time) {
  return get_detailed_data_statistic(qel_id, date_time, ProgressHook());
}

Json QelDriver::get_detailed_data_statistic(const std::string& qel_id, std::int64_t date_time,
                                            ProgressHook on_progress) {
  std::optional<std::string> session = stored_session(qel_id);
  if (!session) return Json::array();
  auto fanout = std::make_shared<QelDis>();
  fanout->a = *session;
  fanout->b = date_time;
  fanout->on_progress = std::move(on_progress);
  fanout->daemon = false;
  fanout->start();
  fanout->join();
  if (std::exception_ptr escaped = fanout->exception()) std::rethrow_exception(escaped);
  if (!fanout->failures.empty()) raise_failed_pages(qel_id, *fanout);
  Json result = Json::object();
  result["code"] = 0;
  result["data"] = std::move(fanout->data);
  return result;
}

void QelDriver::ce(const std::string& token) {
  Clock& clock = current_clock();
  const double start = clock.now();
  Json last;
  while (clock.now() - start < kPollLimit) {
    clock.sleep(kPollInterval);
    last = SpiderDriver().als(token);
    int code = record_code(last, "login status");
    if (code == 1 || code == 4) break;
  }
  if (last.is_null() || record_code(last, "login status") != 1) return;

  const Json& session_value = member(member(last, "data", "login status"), "session_id", "login status: data");
  if (!session_value.is_string()) throw ProtocolError("login status: the session id is not text");
  const std::string session_id = session_value.get<std::string>();
  // Stored, it would be of no use: decryption gives back only valid UTF-8
  // text, so every later query would fail.
  if (decode_utf8_replace(session_id) != session_id) {
    throw ProtocolError("login status: the session id is not valid UTF-8 text; nothing was stored");
  }

  std::optional<Json> auth = SpiderDriver().add(session_id);
  if (!auth) throw ProtocolError("authorisation data: the platform answered with an unexpected error code");
  if (record_code(*auth, "authorisation data") != 0) return;
  const Json& account = member(*auth, "data", "authorisation data");
  const std::string encrypted = storage_crypto().encrypt(session_id);
  const std::string account_id = text_form(member(account, "uniqId", "authorisation data: finderUser"),
                                           "the account's uniqId");

  const std::filesystem::path path = JsonFileHandler::get_file_path(data_file());
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  try {
    JsonFileHandler::check_link(data_file());  // before anything is read or moved through it
    DataFileLock lock(path);
    Json stored = read_for_update(path);
    stored[account_id] = encrypted;
    JsonFileHandler::save_private_data(stored, data_file());
  } catch (const Error& e) {
    throw SystemError("could not write the login of account " + account_id + ": " + e.what());
  }
}

void QelDriver::ten(const std::string& token) {
  TaskFactory().create_task_with_output(std::string(kModule), std::string(kClass), std::string(kLoginCompletion),
                                        Json::array({token}));
}

const std::vector<ChildTask>& child_task_table() {
  static const std::vector<ChildTask> table{
      ChildTask{std::string(kModule), std::string(kClass), std::string(kLoginCompletion),
                [](const Json& args) {
                  if (!args[0].is_string()) throw InvalidArgumentError("the login token must be text");
                  QelDriver().ce(args[0].get<std::string>());
                },
                1},
  };
  return table;
}

void handle_child_task(int argc, char** argv) { run_child_task(argc, argv, child_task_table()); }

}  // namespace qelkit
