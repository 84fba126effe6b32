// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>

namespace qelkit_fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A broken contract: say what, then abort so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "contract broken: %s\n", what.c_str());
  std::abort();
}

// Aborts for an exception that the code under test must never let out.
[[noreturn]] inline void unexpected(const char* where, const std::exception& e) {
  fail(std::string(where) + " threw " + typeid(e).name() + ": " + e.what());
}

}  // namespace qelkit_fuzz
