#include "qelkit/common/docstore.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/fd.hpp"

namespace qelkit {
namespace {

namespace fs = std::filesystem;

std::string system_wording(int err) { return std::system_category().message(err); }

// "utf-8" in any case, also spelled "utf8" or "utf_8".
bool is_utf8(const std::string& encoding) {
  std::string e;
  for (char ch : encoding) e += ch == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return e == "utf-8" || e == "utf8";
}

// Owns a descriptor; closes it on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Temporary files beside a target are named ".<name>.tmp-" followed by six
// characters of this alphabet (the name cut to leave room within NAME_MAX).
constexpr std::string_view kNameAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
constexpr std::size_t kSuffixLength = 6;

std::string temporary_prefix(const std::string& name) { return "." + name.substr(0, 200) + ".tmp-"; }

bool is_temporary_name(const std::string& entry, const std::string& prefix) {
  return entry.size() == prefix.size() + kSuffixLength && entry.compare(0, prefix.size(), prefix) == 0 &&
         entry.find_first_not_of(kNameAlphabet, prefix.size()) == std::string::npos;
}

// A new file beside the target with a random name, created with `mode` (the
// umask applies, as to any new file); removed again unless committed. While
// it has its name, its writer holds an exclusive flock on it: that is how a
// later writer tells it from the left-over of a killed one, whose lock the
// kernel has dropped (see remove_stale_temporaries).
class TempFile {
 public:
  TempFile(const fs::path& dir, const std::string& name, mode_t mode) {
    const std::string prefix = temporary_prefix(name);
    for (int attempt = 0; attempt < 100 && !fd_.ok(); ++attempt) {
      unsigned char random[kSuffixLength];
      if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) break;
      std::string suffix;
      for (unsigned char r : random) suffix += kNameAlphabet[r % kNameAlphabet.size()];
      path_ = ((dir.empty() ? fs::path(".") : dir) / (prefix + suffix)).string();
      fd_ = Fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      if (!fd_.ok()) {
        error_ = errno;
        if (error_ != EEXIST) break;
        continue;
      }
      // In the instant before the lock a writer cleaning up may have taken
      // the new file for a stale one: it then holds the lock, or has removed
      // the file already. The name is left to it. A file system without
      // locks has no cleaning-up either.
      struct stat st {};
      const bool taken = ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
      if (taken || (::fstat(fd_.get(), &st) == 0 && st.st_nlink == 0)) {
        fd_ = Fd();
        error_ = EEXIST;
      }
    }
    if (fd_.ok()) error_ = 0;
  }
  ~TempFile() {
    if (fd_.ok() && !committed_) ::unlink(path_.c_str());  // before the close drops the lock
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return fd_.ok(); }
  int error() const { return error_; }
  int fd() const { return fd_.get(); }
  // Renames the file over `target`; the lock is kept until destruction.
  bool rename_to(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string path_;
  Fd fd_;
  int error_ = 0;
  bool committed_ = false;
};

// Removes the temporaries of `name` in `dir` that writers killed mid-write
// left behind. Only our own naming pattern is considered, and only regular
// files of this user with a single link; a file is removed only once this
// process holds its lock, which a live writer keeps until the file is
// renamed or removed, and only while the name still leads to that file.
void remove_stale_temporaries(const fs::path& dir, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.empty() ? "." : dir.c_str()), ::closedir);
  if (!listing) return;
  const int dfd = ::dirfd(listing.get());
  const std::string prefix = temporary_prefix(name);
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string candidate = entry->d_name;
    if (!is_temporary_name(candidate, prefix)) continue;
    struct stat seen {};
    if (::fstatat(dfd, candidate.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_uid != ::geteuid() || seen.st_nlink != 1) {
      continue;
    }
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd fd(::openat(dfd, candidate.c_str(), O_RDONLY | kFlags));
    if (!fd.ok()) fd = Fd(::openat(dfd, candidate.c_str(), O_WRONLY | kFlags));
    struct stat held {};
    if (!fd.ok() || ::fstat(fd.get(), &held) != 0 || held.st_dev != seen.st_dev || held.st_ino != seen.st_ino) {
      continue;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a live writer's, or no locks here
    struct stat now {};
    if (::fstatat(dfd, candidate.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
        now.st_ino == held.st_ino) {
      ::unlinkat(dfd, candidate.c_str(), 0);
    }
  }
}

constexpr mode_t kGroupOther = S_IRWXG | S_IRWXO;

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why a write must not follow `path`, a symbolic link, or "" when it may
// (or `path` is no link). A link of another user may point anywhere, and one
// in a directory that others may write without the sticky bit may have been
// swapped by any of them. Links of root are trusted like root's files.
std::string untrusted_link(const fs::path& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return "";
  if (link.st_uid != ::geteuid() && link.st_uid != 0) {
    return "refusing to follow it: it is a symbolic link that belongs to user " + std::to_string(link.st_uid) +
           ", not to this user (" + std::to_string(::geteuid()) + ")";
  }
  const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return "refusing to follow it: cannot examine its directory: " + system_wording(errno);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
    return "refusing to follow it: it is a symbolic link in a directory that other users may write (mode " +
           mode_text(st.st_mode) + ") without the sticky bit";
  }
  return "";
}

// untrusted_link for a file and for the folder that holds it: a folder
// link that someone else planted would take the file wherever it points.
std::string untrusted_path(const fs::path& path) {
  if (std::string refused = untrusted_link(path); !refused.empty()) return refused;
  if (!path.has_parent_path()) return "";
  if (std::string refused = untrusted_link(path.parent_path()); !refused.empty()) {
    return "its folder " + path.parent_path().string() + ": " + refused;
  }
  return "";
}

// Writes into the file itself, for targets that must not be replaced (a
// device, a pipe) or cannot be (a directory, where opening fails).
bool write_special(const fs::path& target, const std::string& text) {
  Fd fd(::open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return false;
  bool ok = detail::write_all(fd.get(), text);
  return fd.close() && ok;
}

bool write_at(int fd, const std::string& text, off_t offset) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Rewrites an open regular file in place, for files that cannot be replaced
// by a rename (a bind mount, a read-only directory) or must keep their inode
// (more than one hard link). Returns "" or what went wrong.
//
// Every step leaves a readable document behind, so that a process killed at
// any point leaves the old document or the new one: a longer text first gets
// its room, by extending the file with spaces (the old document followed by
// white space reads as the same value), and a shorter one is padded with
// spaces to the old length and only then cut. Where the room cannot be had
// (a full disk, a quota) the file is cut back to its old length, unchanged.
std::string overwrite_in_place(int fd, const std::string& text) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return "cannot examine it: " + system_wording(errno);
  const auto old_size = static_cast<std::size_t>(st.st_size);
  if (text.size() > old_size) {
    if (!write_at(fd, std::string(text.size() - old_size, ' '), st.st_size) || ::fdatasync(fd) != 0) {
      const std::string why = system_wording(errno);
      if (::ftruncate(fd, st.st_size) != 0 || ::fdatasync(fd) != 0) {
        return "no room for the new content (" + why + "), and cannot cut it back: " + system_wording(errno);
      }
      return "no room for the new content (" + why + "); the file is unchanged";
    }
  }
  std::string padded = text;
  if (padded.size() < old_size) padded.append(old_size - text.size(), ' ');
  if (!write_at(fd, padded, 0) || ::fdatasync(fd) != 0) return "cannot write it: " + system_wording(errno);
  if (padded.size() != text.size()) {
    if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0 || ::fdatasync(fd) != 0) {
      return "cannot write it: " + system_wording(errno);
    }
  }
  return "";
}

// Replaces the file at `path` with `text`, reporting why when it cannot
// ("" on success). The usual way is a temporary file in the same directory,
// written, flushed to disk and renamed over the target, so the target holds
// the old document or the new one and never a part. Where a rename cannot
// work (the target is a bind mount, the directory is read-only, the file has
// more hard links) the open target is rewritten in place instead. A file
// the caller may not open for writing is left alone, and so is a symbolic
// link that untrusted_link refuses. Temporaries that killed writers left
// beside the target are removed first.
//
// With `credentials`, the file must belong to this user and not be writable
// by others; a new file is created for its owner only and a replaced one
// loses its group and other permission bits. A file that others may read is
// never rewritten in place: a process that opened it earlier would read the
// new content through its descriptor, whatever the mode becomes. Otherwise
// a new file gets the mode that the umask gives and a replaced one keeps
// owner and mode.
std::string store_text(const std::string& path, const std::string& text, bool credentials) {
  fs::path target(path);
  std::error_code ec;
  if (std::string refused = untrusted_path(target); !refused.empty()) return refused;
  // A symbolic link stays in place; the file it names is what gets replaced.
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    target = fs::weakly_canonical(target, ec);
    if (ec) return "cannot resolve the symbolic link: " + ec.message();
  }
  const fs::path dir = target.parent_path();
  remove_stale_temporaries(dir, target.filename().string());

  struct stat old {};
  bool existed = ::stat(target.c_str(), &old) == 0;
  Fd existing;
  if (existed && S_ISREG(old.st_mode)) {
    // Never through a link that appeared since the check above.
    existing = Fd(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (existing.ok() && ::fstat(existing.get(), &old) != 0) return "cannot examine it: " + system_wording(errno);
    if (!existing.ok() && errno != ENOENT) return "cannot open it for writing: " + system_wording(errno);
    existed = existing.ok();
  }
  if (existed && credentials) {
    if (old.st_uid != ::geteuid()) {
      return "it belongs to user " + std::to_string(old.st_uid) + ", not to this user (" +
             std::to_string(::geteuid()) + ")";
    }
    if (old.st_mode & S_IWOTH) return "it is writable by other users";
  }
  if (existed && !S_ISREG(old.st_mode)) {
    return write_special(target, text) ? "" : "cannot write it: " + system_wording(errno);
  }

  // `why`: why the file cannot be replaced by a rename.
  auto rewrite = [&](const std::string& why) -> std::string {
    if (credentials && (old.st_mode & (S_IRGRP | S_IROTH))) {
      return "it is readable by other users (mode " + mode_text(old.st_mode) +
             ") and can only be rewritten in place (" + why +
             "), where a process that opened it earlier would read the new content; make it private first "
             "(chmod 600 '" + path + "') and write again";
    }
    if (credentials && (old.st_mode & kGroupOther) && ::fchmod(existing.get(), old.st_mode & 07700) != 0) {
      return "cannot make it private: " + system_wording(errno);
    }
    if (std::string problem = overwrite_in_place(existing.get(), text); !problem.empty()) return problem;
    return existing.close() ? "" : "cannot write it: " + system_wording(errno);
  };
  if (existed && old.st_nlink > 1) return rewrite("it has other hard links");

  TempFile tmp(dir, target.filename().string(), credentials ? (S_IRUSR | S_IWUSR) : 0666);
  if (!tmp.ok()) {
    if (existed) return rewrite("no file can be made beside it: " + system_wording(tmp.error()));
    return "cannot create it: " + system_wording(tmp.error());
  }
  if (existed) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      if (::fchown(tmp.fd(), old.st_uid, old.st_gid) != 0) {
        // Not permitted: the file becomes ours, which is what a rewrite by
        // another user means anyway.
      }
    }
    const mode_t mode = credentials ? (old.st_mode & 07700) : (old.st_mode & 07777);
    if (::fchmod(tmp.fd(), mode) != 0) return "cannot set its mode: " + system_wording(errno);
  }
  if (!detail::write_all(tmp.fd(), text) || ::fsync(tmp.fd()) != 0) return "cannot write it: " + system_wording(errno);
  if (!tmp.rename_to(target)) {
    // EBUSY (a mount point), EXDEV, EACCES, EPERM: the temporary goes, the
    // file is rewritten where it is.
    const int err = errno;
    if (existed) return rewrite("it cannot be replaced by a rename: " + system_wording(err));
    return "cannot create it: " + system_wording(err);
  }

  // Make the rename itself durable; the new content is in place either way.
  Fd dfd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.ok()) ::fsync(dfd.get());
  return "";
}

// A finite double in its shortest round-trip digits, laid out the way the
// rest of the serializer lays numbers out: fixed notation (with ".0" for a
// whole number) for magnitudes from 1e-4 up to below 1e16, scientific
// notation with a signed, at least two-digit exponent outside.
std::string float_text(double x) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string sci(buf, ec == std::errc() ? end : buf);
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto e = sci.find('e');
  std::string digits = sci.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exp10 = std::stoi(sci.substr(e + 1));
  const int k = static_cast<int>(digits.size());
  const int n = exp10 + 1;  // position of the decimal point within the digits
  if (k <= n && n <= 16) return sign + digits + std::string(static_cast<std::size_t>(n - k), '0') + ".0";
  if (0 < n && n <= 16) return sign + digits.substr(0, static_cast<std::size_t>(n)) + "." + digits.substr(static_cast<std::size_t>(n));
  if (-4 < n && n <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  std::string mantissa = k == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
  const int shown = exp10 < 0 ? -exp10 : exp10;
  return sign + mantissa + "e" + (exp10 < 0 ? "-" : "+") + (shown < 10 ? "0" : "") + std::to_string(shown);
}

bool has_float(const Json& v) {
  if (v.is_number_float()) return std::isfinite(v.get<double>());
  if (v.is_structured()) {
    for (const auto& item : v) {
      if (has_float(item)) return true;
    }
  }
  return false;
}

bool mentions(const Json& v, const std::string& needle) {
  if (v.is_string()) return v.get_ref<const std::string&>().find(needle) != std::string::npos;
  if (v.is_object()) {
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (it.key().find(needle) != std::string::npos || mentions(it.value(), needle)) return true;
    }
  } else if (v.is_array()) {
    for (const auto& item : v) {
      if (mentions(item, needle)) return true;
    }
  }
  return false;
}

void mark_floats(Json& v, const std::string& prefix, std::vector<double>& floats) {
  if (v.is_number_float() && std::isfinite(v.get<double>())) {
    floats.push_back(v.get<double>());
    v = prefix + std::to_string(floats.size() - 1) + "@";
  } else if (v.is_structured()) {
    for (auto& item : v) mark_floats(item, prefix, floats);
  }
}

// The document as one JSON text. The serializer's own float digits are not
// always the shortest that read back, so floats go through float_text: each
// is swapped for a marker text before dumping and the marker's quoted form
// replaced afterwards. The marker holds '@' and '#', which no escape
// sequence produces, and a number chosen so that no text of the document
// contains it; every occurrence in the output is therefore a marker.
std::string dump_document(const Json& data, int indent, bool ensure_ascii) {
  if (!has_float(data)) return data.dump(indent, ' ', ensure_ascii);
  std::string prefix;
  for (unsigned nonce = 0;; ++nonce) {
    prefix = "@F" + std::to_string(nonce) + "#";
    if (!mentions(data, prefix)) break;
  }
  Json marked = data;
  std::vector<double> floats;
  mark_floats(marked, prefix, floats);
  const std::string text = marked.dump(indent, ' ', ensure_ascii);
  const std::string quoted = "\"" + prefix;
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t at; (at = text.find(quoted, pos)) != std::string::npos;) {
    const std::size_t digits = at + quoted.size();
    const std::size_t close = text.find("@\"", digits);
    out.append(text, pos, at - pos);
    out += float_text(floats.at(std::stoul(text.substr(digits, close - digits))));
    pos = close + 2;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// Creates the directory of `path` with its parents when it is missing.
void make_parent_directory(const std::string& path) {
  const fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) return;
  std::error_code ec;
  if (fs::exists(dir, ec)) return;
  // create_directories accepts a directory that appeared meanwhile.
  fs::create_directories(dir, ec);
  if (ec) throw SystemError("cannot create directory '" + dir.string() + "': " + ec.message());
}

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw SystemError("cannot open '" + path + "': " + system_wording(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      throw SystemError("cannot read '" + path + "': " + system_wording(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Whether `v` nests containers more than `limit` levels deep; looks no
// deeper than that, so it is safe on any document.
bool deeper_than(const Json& v, int limit) {
  if (!v.is_structured()) return false;
  if (limit == 0) return true;
  for (const auto& item : v) {
    if (deeper_than(item, limit - 1)) return true;
  }
  return false;
}

std::string too_deep() {
  return "it nests deeper than " + std::to_string(JsonFileHandler::kMaxDepth) + " levels";
}

struct TooDeep {};

// The one JSON value in `text`, read from `path`, or ProtocolError. The
// parser stops at the first container beyond the depth limit, before the
// document could grow deep enough to exhaust the stack of the code that
// walks it (dumping, conversion, destruction).
Json parse_document(const std::string& path, const std::string& text) {
  // The parser would skip a byte-order mark; the file format does not allow one.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    throw ProtocolError("'" + path + "' is not valid JSON: it starts with a byte-order mark");
  }
  try {
    return Json::parse(text, [](int depth, Json::parse_event_t event, Json&) {
      if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
          depth >= JsonFileHandler::kMaxDepth) {
        throw TooDeep{};  // unwinds the parser
      }
      return true;
    });
  } catch (const TooDeep&) {
    throw ProtocolError("'" + path + "' is not usable: " + too_deep());
  } catch (const Json::exception& e) {
    throw ProtocolError("'" + path + "' is not valid JSON: " + e.what());
  }
}

// A reader that meets an invalid document in a file that may be rewritten in
// place reads again a few times before it believes it: such a file can be
// seen half old, half new while the rewrite runs (see overwrite_in_place).
// The pauses double from 5 ms, some 150 ms in all.
constexpr int kReadAttempts = 6;
constexpr std::chrono::milliseconds kFirstRereadPause{5};

// Whether a writer may be rewriting the file at `path` in place: it is not a
// regular file of this user with a single link, it is a mount point of its
// own (a bind mount), or its directory takes no new file from this process.
// Any other file is only ever replaced by a rename, and read whole, old or
// new. When in doubt, yes.
bool may_be_rewritten_in_place(const std::string& path) {
  struct statx sx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS, &sx) != 0) return true;
  if (!S_ISREG(sx.stx_mode) || sx.stx_nlink != 1 || sx.stx_uid != ::geteuid()) return true;
  if (!(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) || (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) return true;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return true;
  const fs::path dir = real.parent_path();
  return ::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0;
}

}  // namespace

std::string JsonFileHandler::get_file_path(const std::string& filename, const std::optional<std::string>& base_dir) {
  const fs::path name(filename);
  if (name.is_absolute() || !name.parent_path().empty()) return filename;
  const fs::path base(base_dir ? *base_dir : std::string(_default_base_dir));
  return (base / name).string();  // one separator; none added after a trailing one; "" / x is x
}

void JsonFileHandler::save_data(const Json& data, const std::string& filename,
                                const std::optional<std::string>& base_dir, int indent, bool ensure_ascii,
                                const std::string& encoding) {
  const std::string path = get_file_path(filename, base_dir);
  make_parent_directory(path);

  // From here on failures are silent and leave any previous file as it was.
  if (!is_utf8(encoding) || deeper_than(data, kMaxDepth)) return;
  std::string text;
  try {
    text = dump_document(data, std::max(indent, 0), ensure_ascii);
  } catch (const Json::exception&) {
    return;  // a string that is not valid UTF-8
  }
  store_text(path, text, false);
}

void JsonFileHandler::save_private_data(const Json& data, const std::string& filename,
                                        const std::optional<std::string>& base_dir) {
  const std::string path = get_file_path(filename, base_dir);
  make_parent_directory(path);
  if (deeper_than(data, kMaxDepth)) throw InvalidArgumentError("cannot write '" + path + "': " + too_deep());
  std::string text;
  try {
    text = dump_document(data, 2, false);
  } catch (const Json::exception& e) {
    throw InvalidArgumentError("cannot write '" + path + "': " + e.what());
  }
  const std::string problem = store_text(path, text, true);
  if (!problem.empty()) throw SystemError("cannot write '" + path + "': " + problem);
}

void JsonFileHandler::check_link(const std::string& filename, const std::optional<std::string>& base_dir) {
  const std::string path = get_file_path(filename, base_dir);
  const std::string refused = untrusted_path(path);
  if (!refused.empty()) throw SystemError("cannot write '" + path + "': " + refused);
}

Json JsonFileHandler::load_data_strict(const std::string& filename, const std::optional<std::string>& base_dir,
                                       const std::string& encoding) {
  if (!is_utf8(encoding)) {
    throw InvalidArgumentError("unsupported text encoding '" + encoding + "': only UTF-8 is supported");
  }
  const std::string path = get_file_path(filename, base_dir);
  for (int attempt = 1;; ++attempt) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return Json::object();
      throw SystemError("cannot read '" + path + "': " + system_wording(errno));
    }
    try {
      return parse_document(path, read_file(path));
    } catch (const ProtocolError&) {
      if (attempt == kReadAttempts || !may_be_rewritten_in_place(path)) throw;
    }
    std::this_thread::sleep_for(kFirstRereadPause * (1 << (attempt - 1)));
  }
}

Json JsonFileHandler::load_data(const std::string& filename, const std::optional<std::string>& base_dir,
                                const std::string& encoding) {
  try {
    return load_data_strict(filename, base_dir, encoding);
  } catch (...) {
    return Json::object();
  }
}

}  // namespace qelkit
