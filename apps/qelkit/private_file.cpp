#include "apps/qelkit/private_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace qelkit::cli {
namespace {

[[noreturn]] void fail(const std::string& path, int error) {
  throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
}

}  // namespace

PrivateFile::PrivateFile(std::string path) : path_(std::move(path)) {
  if (path_.empty() || path_.back() == '/') fail(path_, EISDIR);
  const std::filesystem::path target(path_);
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600 whatever the umask
  if (fd_ < 0) fail(path_, errno);
  temporary_ = std::move(pattern);
}

PrivateFile::~PrivateFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void PrivateFile::commit(std::string_view bytes) {
  if (fd_ < 0) fail(path_, EBADF);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(path_, errno);
    done += static_cast<std::size_t>(n);
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) fail(path_, errno);
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) fail(path_, errno);
  temporary_.clear();
}

}  // namespace qelkit::cli
