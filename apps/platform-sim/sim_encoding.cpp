#include "sim_encoding.hpp"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>

namespace platform_sim {
namespace {

std::string gzip(std::string_view body) {
  z_stream z{};
  // 15 + 16: a gzip wrapper rather than a bare zlib stream.
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("cannot start gzip compression");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(body.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("gzip compression failed");
  return out;
}

std::string brotli(std::string_view body) {
  std::string out(BrotliEncoderMaxCompressedSize(body.size()), '\0');
  std::size_t size = out.size();
  if (out.empty() || BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, body.size(),
                                           reinterpret_cast<const uint8_t*>(body.data()), &size,
                                           reinterpret_cast<uint8_t*>(out.data())) != BROTLI_TRUE) {
    throw std::runtime_error("brotli compression failed");
  }
  out.resize(size);
  return out;
}

std::string zstd(std::string_view body) {
  std::string out(ZSTD_compressBound(body.size()), '\0');
  const std::size_t size = ZSTD_compress(out.data(), out.size(), body.data(), body.size(), 3);
  if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd compression failed: ") + ZSTD_getErrorName(size));
  out.resize(size);
  return out;
}

}  // namespace

std::string encode_repeated(std::string_view unit, std::uint64_t count, std::string_view encoding,
                            std::string_view head, std::string_view tail) {
  if (encoding != "gzip") throw std::runtime_error("repeated bodies are compressed with gzip only");
  // `head`, then whole units, some 64 KiB of them, fed to the compressor over
  // and over, then `tail`: a small reply that decodes to a huge valid document.
  std::string chunk;
  const std::uint64_t per_chunk = std::max<std::uint64_t>(1, (64 * 1024) / std::max<std::size_t>(1, unit.size()));
  for (std::uint64_t i = 0; i < per_chunk; ++i) chunk += unit;
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("cannot start gzip compression");
  }
  std::string out;
  char buf[65536];
  int rc = Z_OK;
  auto feed = [&](std::string_view bytes, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = deflate(&z, flush);
      out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0 && rc == Z_OK);
  };
  if (!head.empty()) feed(head, Z_NO_FLUSH);
  for (std::uint64_t left = count; rc == Z_OK;) {
    const std::uint64_t units = std::min(left, per_chunk);
    left -= units;
    feed(std::string_view(chunk).substr(0, units * unit.size()), left == 0 && tail.empty() ? Z_FINISH : Z_NO_FLUSH);
    if (left == 0) {
      if (!tail.empty() && rc == Z_OK) feed(tail, Z_FINISH);
      if (rc == Z_OK) rc = Z_STREAM_ERROR;  // Z_FINISH must end the stream
    }
  }
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("gzip compression failed");
  return out;
}

bool is_known_encoding(std::string_view encoding) {
  return encoding == "gzip" || encoding == "br" || encoding == "zstd";
}

std::string encode_body(std::string_view body, std::string_view encoding) {
  if (encoding == "gzip") return gzip(body);
  if (encoding == "br") return brotli(body);
  if (encoding == "zstd") return zstd(body);
  throw std::runtime_error("unknown content coding " + std::string(encoding));
}

}  // namespace platform_sim
