#include "qelkit/common/sealbox.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/openssl_exit.hpp"

namespace qelkit {
namespace {

constexpr std::uint64_t kIterations = 100000;
constexpr std::size_t kMinNonceLength = 8;
constexpr std::size_t kHeaderLength =
    CryptoHelper::salt_length + CryptoHelper::nonce_length + CryptoHelper::tag_length;  // 43

struct KdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, KdfFree>;

// Drains this thread's OpenSSL error queue into one line.
std::string openssl_reason() {
  std::string out;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out;
}

[[noreturn]] void fail(const std::string& what) {
  std::string reason = openssl_reason();
  throw Error(what + (reason.empty() ? std::string() : ": " + reason));
}

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

bool is_base64_char(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' ||
         ch == '/';
}

// Lenient standard Base64: characters outside the alphabet are skipped, a
// complete padding ends the data, and a final group that is neither complete
// nor properly padded is refused. OpenSSL does the decoding proper; this only
// decides which characters count.
std::string base64_decode(std::string_view text) {
  std::string data;  // the alphabet characters that count
  data.reserve(text.size());
  std::size_t quad = 0;  // position within the current group of four
  std::size_t pads = 0;
  bool padded = false;
  for (char ch : text) {
    if (ch == '=') {
      // Padding only counts after two or three data characters of a group.
      if (quad >= 2 && quad + ++pads >= 4) {
        padded = true;
        break;
      }
      continue;
    }
    if (!is_base64_char(ch)) continue;
    pads = 0;
    data.push_back(ch);
    quad = (quad + 1) % 4;
  }
  if (!padded && quad == 1) {
    throw DecodingError("Base64 decoding failed: number of data characters (" + std::to_string(data.size()) +
                        ") cannot be 1 more than a multiple of 4");
  }
  if (!padded && quad != 0) {
    throw DecodingError("Base64 decoding failed: Incorrect padding");
  }
  const std::size_t out_length = data.size() / 4 * 3 + (quad == 0 ? 0 : quad - 1);
  if (data.size() > static_cast<std::size_t>(INT_MAX) - 4) {
    throw DecodingError("Base64 decoding failed: text too long");
  }
  // Fill the last group with zero-valued digits; the bytes they yield are cut.
  data.append((4 - quad) % 4, 'A');
  std::string out(data.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(bytes(out), bytes(std::string_view(data)), static_cast<int>(data.size()));
  if (n < 0) fail("Base64 decoding failed");
  out.resize(out_length);
  return out;
}

std::string base64_encode(std::string_view raw) {
  std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(bytes(out), bytes(raw), static_cast<int>(raw.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Strict UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF). Throws DecodingError naming the first bad byte.
[[noreturn]] void bad_utf8(std::string_view s, std::size_t pos, const char* why) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(s[pos]));
  throw DecodingError(std::string("plaintext is not valid UTF-8: ") + why + " " + hex + " at position " +
                      std::to_string(pos));
}

void check_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c == 0xE0) {
      len = 3, lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      len = 3;
    } else if (c == 0xED) {
      len = 3, hi = 0x9F;
    } else if (c == 0xF0) {
      len = 4, lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
      len = 4;
    } else if (c == 0xF4) {
      len = 4, hi = 0x8F;
    } else {
      bad_utf8(s, i, "invalid start byte");
    }
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= n) bad_utf8(s, i, "unexpected end of data after byte");
      const unsigned char ck = static_cast<unsigned char>(s[i + k]);
      if (k == 1 ? (ck < lo || ck > hi) : (ck & 0xC0) != 0x80) bad_utf8(s, i + k, "invalid continuation byte");
    }
    i += len;
  }
}

Owned<EVP_CIPHER_CTX> gcm_context(ossl_lib_ctx_st* libctx, bool encrypting, const unsigned char* key,
                                  std::string_view nonce) {
  Owned<EVP_CIPHER> cipher(EVP_CIPHER_fetch(libctx, "AES-256-GCM", nullptr));
  if (!cipher) fail("cannot fetch AES-256-GCM");
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) fail("cannot allocate a cipher context");
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, encrypting ? 1 : 0, nullptr) != 1) {
    fail("cannot set up AES-256-GCM");
  }
  // GCM condenses any IV length other than 12 with GHASH; it must be set
  // before the IV itself.
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1) {
    fail("cannot set the GCM nonce length to " + std::to_string(nonce.size()));
  }
  if (EVP_CipherInit_ex2(ctx.get(), nullptr, key, bytes(nonce), -1, nullptr) != 1) {
    fail("cannot set the AES-256-GCM key and nonce");
  }
  return ctx;
}

}  // namespace

CryptoHelper::Key::~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }

CryptoHelper::CryptoHelper(std::string_view a, std::string_view b, std::string_view c)
    : backend_(OSSL_LIB_CTX_get0_global_default()) {
  password_.reserve(c.size() + a.size() + b.size());
  password_.append(c).append(a).append(b);
}

CryptoHelper::~CryptoHelper() { OPENSSL_cleanse(password_.data(), password_.size()); }

void CryptoHelper::derive_key(std::string_view salt, Key& key) const {
  Owned<EVP_KDF> kdf(EVP_KDF_fetch(backend_, "PBKDF2", nullptr));
  if (!kdf) fail("cannot fetch PBKDF2");
  Owned<EVP_KDF_CTX> kctx(EVP_KDF_CTX_new(kdf.get()));
  if (!kctx) fail("cannot allocate a key-derivation context");
  std::uint64_t iterations = kIterations;
  int pkcs5 = 1;  // plain RFC 8018: salts of any length, cut-short ones included
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(password_.data()),
                                        password_.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iterations),
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(kctx.get(), key.bytes.data(), key.bytes.size(), params) != 1) {
    fail("PBKDF2-HMAC-SHA256 key derivation failed");
  }
}

std::string CryptoHelper::encrypt(std::string_view plaintext) const {
  ERR_clear_error();
  if (plaintext.size() > static_cast<std::size_t>(INT_MAX) / 2) {
    throw InvalidArgumentError("plaintext too long to encrypt: " + std::to_string(plaintext.size()) + " bytes");
  }
  std::string raw(kHeaderLength + plaintext.size(), '\0');
  unsigned char* salt = bytes(raw);
  unsigned char* nonce = salt + salt_length;
  unsigned char* tag = nonce + nonce_length;
  unsigned char* ciphertext = tag + tag_length;
  if (RAND_bytes_ex(backend_, salt, salt_length, 0) != 1) fail("cannot draw a random salt");
  if (RAND_bytes_ex(backend_, nonce, nonce_length, 0) != 1) fail("cannot draw a random nonce");

  Key key;
  derive_key(std::string_view(raw.data(), salt_length), key);
  auto ctx = gcm_context(backend_, true, key.bytes.data(),
                         std::string_view(raw.data() + salt_length, nonce_length));
  int len = 0;
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(ctx.get(), ciphertext, &len, bytes(plaintext), static_cast<int>(plaintext.size())) != 1) {
    fail("AES-256-GCM encryption failed");
  }
  int final_len = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), ciphertext + len, &final_len) != 1) fail("AES-256-GCM encryption failed");
  if (static_cast<std::size_t>(len + final_len) != plaintext.size()) {
    throw Error("AES-256-GCM produced " + std::to_string(len + final_len) + " bytes for " +
                std::to_string(plaintext.size()));
  }
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag_length), tag) != 1) {
    fail("cannot read the GCM tag");
  }
  return base64_encode(raw);
}

std::string CryptoHelper::decrypt(std::string_view encrypted_str) const {
  ERR_clear_error();
  const std::string raw = base64_decode(encrypted_str);
  const std::string_view all(raw);
  // Fixed offsets; a part that runs past the end is cut short, down to empty.
  auto part = [&](std::size_t from, std::size_t length) {
    return from >= all.size() ? std::string_view() : all.substr(from, length);
  };
  const std::string_view salt = part(0, salt_length);
  const std::string_view nonce = part(salt_length, nonce_length);
  const std::string_view tag = part(salt_length + nonce_length, tag_length);
  const std::string_view ciphertext = part(kHeaderLength, std::string_view::npos);

  // The key is derived before any length is judged, so refusing a short text
  // costs as much as decrypting a good one.
  Key key;
  derive_key(salt, key);
  if (nonce.size() < kMinNonceLength) {
    throw InvalidArgumentError("encrypted text too short: the nonce must be at least " +
                               std::to_string(kMinNonceLength) + " bytes long, got " +
                               std::to_string(nonce.size()));
  }
  if (tag.size() < tag_length) {
    throw InvalidArgumentError("encrypted text too short: the authentication tag must be " +
                               std::to_string(tag_length) + " bytes or longer, got " + std::to_string(tag.size()));
  }
  if (ciphertext.size() > static_cast<std::size_t>(INT_MAX) / 2) {
    throw InvalidArgumentError("encrypted text too long: " + std::to_string(ciphertext.size()) + " bytes");
  }

  auto ctx = gcm_context(backend_, false, key.bytes.data(), nonce);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                          const_cast<char*>(tag.data())) != 1) {
    fail("cannot set the expected GCM tag");
  }
  std::string plain(ciphertext.size(), '\0');
  auto wipe = [&plain] { OPENSSL_cleanse(plain.data(), plain.size()); };
  int len = 0;
  if (!ciphertext.empty() &&
      EVP_DecryptUpdate(ctx.get(), bytes(plain), &len, bytes(ciphertext), static_cast<int>(ciphertext.size())) != 1) {
    wipe();
    fail("AES-256-GCM decryption failed");
  }
  int final_len = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), bytes(plain) + len, &final_len) != 1) {
    wipe();
    std::string reason = openssl_reason();
    throw AuthenticationError("decryption failed: the authentication tag does not verify" +
                              (reason.empty() ? std::string() : " (" + reason + ")"));
  }
  try {
    check_utf8(plain);
  } catch (...) {
    wipe();
    throw;
  }
  return plain;
}

}  // namespace qelkit
