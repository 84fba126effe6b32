// Content codings the substitute platform can send a reply in, so that tests
// can check that a client decodes what a real server compresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform_sim {

// True for "gzip", "br" and "zstd".
bool is_known_encoding(std::string_view encoding);

// `body` compressed in `encoding` (one of the known ones). Throws
// std::runtime_error when the compressor fails.
std::string encode_body(std::string_view body, std::string_view encoding);

// `unit` repeated `count` times, compressed in `encoding` ("gzip" only)
// without ever holding the repeated text: a small reply that decodes to a
// huge one. Throws std::runtime_error for another encoding or when the
// compressor fails.
std::string encode_repeated(std::string_view unit, std::uint64_t count, std::string_view encoding,
                            std::string_view head = {}, std::string_view tail = {});

}  // namespace platform_sim
