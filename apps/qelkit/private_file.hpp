// A file that holds a secret (the login QR image: whoever decodes it can
// take the login over), written so that only its owner can read it.
//
// The content goes to a fresh temporary beside the file (created 0600 by
// mkstemp), which replaces the file by a rename once it is complete: a file
// or symbolic link that another user planted under the name is replaced,
// never written through, and the file never exists readable by others or
// half written. Not thread-safe; one object per file.
#pragma once

#include <string>
#include <string_view>

namespace qelkit::cli {

class PrivateFile {
 public:
  // Creates the temporary in the file's directory, so that a path that
  // cannot be written fails before any work is done. Throws
  // std::runtime_error ("cannot write <path>: <reason>").
  explicit PrivateFile(std::string path);
  // Removes the temporary unless commit() put it in place.
  ~PrivateFile();
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;

  // Writes `bytes` to the temporary and renames it over the file. Throws
  // std::runtime_error as the constructor does; may be called once.
  void commit(std::string_view bytes);

 private:
  std::string path_;
  std::string temporary_;
  int fd_ = -1;
};

}  // namespace qelkit::cli
