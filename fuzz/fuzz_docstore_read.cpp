// JsonFileHandler reading a file of arbitrary bytes. load_data always returns
// a value and never throws; load_data_strict returns the same value or throws
// a qelkit::Error, in which case load_data gives an empty object. Documents
// nested deeper than JsonFileHandler::kMaxDepth are refused by both.
//
// The file lives in a private directory made under TMPDIR at start-up and
// removed at exit.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "fuzz_support.hpp"
#include "qelkit/common/docstore.hpp"
#include "qelkit/common/errors.hpp"

using qelkit_fuzz::fail;
using qelkit_fuzz::unexpected;

namespace {

std::string& scratch_dir() {
  static std::string dir;
  return dir;
}

void remove_scratch() {
  std::error_code ec;
  if (!scratch_dir().empty()) std::filesystem::remove_all(scratch_dir(), ec);
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot write the scratch file " + path);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) fail("cannot write the scratch file " + path);
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Greatest depth of arrays and objects; exact for valid JSON, which is all
// that gets compared.
int nesting_depth(const std::uint8_t* data, std::size_t size) {
  int depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qelkit-fuzz-docstore.XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) fail("cannot make a scratch directory from " + templ);
  scratch_dir() = templ;
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  write_file(scratch_dir() + "/data.json", data, size);

  qelkit::Json lenient;
  try {
    lenient = qelkit::JsonFileHandler::load_data("data.json", scratch_dir());
  } catch (const std::exception& e) {
    unexpected("load_data", e);
  }

  // The JSON library compares values recursively; for a deeply nested
  // document compare the top level only.
  const bool shallow = nesting_depth(data, size) <= 256;
  try {
    qelkit::Json strict = qelkit::JsonFileHandler::load_data_strict("data.json", scratch_dir());
    if (shallow ? strict != lenient : strict.type() != lenient.type() || strict.size() != lenient.size()) {
      fail("load_data and load_data_strict read the same file differently");
    }
  } catch (const qelkit::Error&) {
    if (lenient != qelkit::Json::object()) fail("load_data returned a value for a file load_data_strict refused");
  } catch (const std::exception& e) {
    unexpected("load_data_strict", e);
  }
  return 0;
}
