// Content codings the substitute platform can send a reply in, so that tests
// can check that a client decodes what a real server compresses.
#pragma once

#include <string>
#include <string_view>

namespace platform_sim {

// True for "gzip", "br" and "zstd".
bool is_known_encoding(std::string_view encoding);

// `body` compressed in `encoding` (one of the known ones). Throws
// std::runtime_error when the compressor fails.
std::string encode_body(std::string_view body, std::string_view encoding);

}  // namespace platform_sim
