#include "qelkit/common/docstore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "qelkit/common/errors.hpp"

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

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Owns a descriptor and, until committed, the temporary file behind it.
class TempFile {
 public:
  explicit TempFile(std::string path_template) : path_(std::move(path_template)) {
    fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
  }
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (fd_ != kNoFile && !committed_) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool close() {
    int fd = fd_;
    fd_ = kClosed;
    return ::close(fd) == 0;
  }
  bool rename_to(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  static constexpr int kNoFile = -1;  // mkostemp failed: nothing to remove
  static constexpr int kClosed = -2;
  std::string path_;
  int fd_ = kNoFile;
  bool committed_ = false;
};

// Writes into the file itself, for targets that must not be replaced (a
// device, a pipe) or cannot be (a directory, where opening fails).
bool write_in_place(const fs::path& target, const std::string& text) {
  int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write_all(fd, text);
  return ::close(fd) == 0 && ok;
}

// Replaces `path` with a file holding `text`: temporary file in the same
// directory, written, flushed to disk, renamed over the target. On any
// failure the temporary is removed and the target is untouched.
bool replace_file(const std::string& path, const std::string& text) {
  fs::path target(path);
  std::error_code ec;
  // A symbolic link stays in place; the file it names is what gets replaced.
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    target = fs::weakly_canonical(target, ec);
    if (ec) return false;
  }
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) return write_in_place(target, text);

  const fs::path dir = target.parent_path();
  std::string name = target.filename().string();
  if (name.size() > 200) name.resize(200);  // room for the suffix within NAME_MAX
  TempFile tmp(((dir.empty() ? fs::path(".") : dir) / ("." + name + ".tmp-XXXXXX")).string());
  if (!tmp.ok()) return false;

  // A new file is for its owner only; a replaced one keeps its owner and mode.
  if (existed) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      if (::fchown(tmp.fd(), old.st_uid, old.st_gid) != 0) {
        // Not permitted: the file becomes ours, which is what a rewrite by
        // another user means anyway.
      }
    }
    if (::fchmod(tmp.fd(), old.st_mode & 07777) != 0) return false;
  } else if (::fchmod(tmp.fd(), S_IRUSR | S_IWUSR) != 0) {
    return false;
  }

  if (!write_all(tmp.fd(), text) || ::fsync(tmp.fd()) != 0) return false;
  if (!tmp.close()) return false;
  if (!tmp.rename_to(target)) return false;

  // Make the rename itself durable; the new content is in place either way.
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
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
  const fs::path dir = fs::path(path).parent_path();
  if (!dir.empty()) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
      // create_directories accepts a directory that appeared meanwhile.
      fs::create_directories(dir, ec);
      if (ec) throw SystemError("cannot create directory '" + dir.string() + "': " + ec.message());
    }
  }

  // From here on failures are silent and leave any previous file as it was.
  if (!is_utf8(encoding)) return;
  std::string text;
  try {
    text = data.dump(std::max(indent, 0), ' ', ensure_ascii);
  } catch (const Json::exception&) {
    return;  // a string that is not valid UTF-8
  }
  replace_file(path, text);
}

Json JsonFileHandler::load_data_strict(const std::string& filename, const std::optional<std::string>& base_dir,
                                       const std::string& encoding) {
  if (!is_utf8(encoding)) {
    throw InvalidArgumentError("unsupported text encoding '" + encoding + "': only UTF-8 is supported");
  }
  const std::string path = get_file_path(filename, base_dir);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Json::object();
    throw SystemError("cannot read '" + path + "': " + system_wording(errno));
  }
  const std::string text = read_file(path);
  // The parser would skip a byte-order mark; the file format does not allow one.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
    throw ProtocolError("'" + path + "' is not valid JSON: it starts with a byte-order mark");
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    throw ProtocolError("'" + path + "' is not valid JSON: " + e.what());
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
