// A fresh, private working directory for one test: created with mkdtemp,
// made the current directory, and removed (with the previous directory
// restored) at the end of the scope. The data file (json/data.json) of the
// code under test lands there.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qelkit::testing {

class ScopedWorkDir {
 public:
  explicit ScopedWorkDir(const std::string& name = "qelkit-test") : previous_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / (name + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  ~ScopedWorkDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

}  // namespace qelkit::testing
