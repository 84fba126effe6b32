// Keeps OpenSSL from tearing itself down at process exit.
//
// OpenSSL registers its clean-up with atexit() when it is first used. At exit
// the process first waits for qelkit's non-daemon threads (see thread.hpp),
// and daemon threads may still be running after that; a clean-up registered
// once such a thread had started would run before that wait, or under a
// running daemon thread, and pull the library out from under requests in
// flight. Initialising OpenSSL without the atexit hook, while the library
// that includes this is loaded (before any thread of ours exists), avoids
// both; the operating system reclaims the memory at exit. Include it in one
// source file of every qelkit library that uses OpenSSL.
#pragma once

#include <openssl/crypto.h>

namespace qelkit::detail {

inline const bool openssl_without_exit_cleanup = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

}  // namespace qelkit::detail
