// Password-based authenticated encryption of text.
//
// A CryptoHelper turns a text into an encrypted text and back under a pass
// phrase fixed at construction. Every encrypt() draws a fresh random salt and
// nonce, derives an AES-256 key from the pass phrase and the salt with
// PBKDF2-HMAC-SHA256 (100000 iterations), encrypts with AES-256-GCM and returns
// one standard Base64 text (no line breaks) of
//
//   salt (16 bytes) | nonce (11 bytes) | tag (16 bytes) | ciphertext (n bytes)
//
// where n is the length of the plaintext's UTF-8 bytes. There is no header,
// version or additional authenticated data; the result is
// 4 * ceil((43 + n) / 3) ASCII characters long and can be stored as a plain
// JSON text value. Nothing is cached: each call pays the full key derivation
// (about 20 ms), by design, since each encrypted text carries its own salt.
//
// Thread safety: after construction the object is immutable; encrypt() and
// decrypt() may be called from several threads at once. Objects whose pass
// phrases join to the same text are interchangeable.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// OpenSSL's library context, kept opaque so that OpenSSL's headers stay out
// of this one.
struct ossl_lib_ctx_st;

namespace qelkit {

class CryptoHelper {
 public:
  static constexpr std::size_t key_length = 32;    // AES-256
  static constexpr std::size_t salt_length = 16;
  static constexpr std::size_t nonce_length = 11;  // GCM IV: 11 bytes, not the customary 12
  static constexpr std::size_t tag_length = 16;

  // The pass phrase is c + a + b (in that order); only the joined text
  // matters, not how it is split. Parts are not validated; empty parts are
  // allowed. Fetches OpenSSL's default library context once for this object.
  CryptoHelper(std::string_view a, std::string_view b, std::string_view c);
  ~CryptoHelper();  // wipes the pass phrase

  CryptoHelper(const CryptoHelper&) = default;
  CryptoHelper& operator=(const CryptoHelper&) = default;

  // Encrypts the plaintext's bytes (expected to be UTF-8) and returns the
  // Base64 encrypted text described above. Throws qelkit::Error carrying
  // OpenSSL's wording if the random source or the cipher fails.
  std::string encrypt(std::string_view plaintext) const;

  // Reverses encrypt() and returns the plaintext. Failures, all thrown before
  // any plaintext is released:
  // - DecodingError: not valid Base64 (characters outside the Base64
  //   alphabet, such as spaces and line breaks, are skipped; the padding must
  //   be right), or a verified plaintext that is not valid UTF-8;
  // - InvalidArgumentError: the decoded data is too short to carry a nonce of
  //   at least 8 bytes or a full 16-byte tag (decided after the key
  //   derivation, so a short input costs as much as a long one);
  // - AuthenticationError: the tag does not verify (another pass phrase, or
  //   any changed byte);
  // - qelkit::Error: OpenSSL failed for another reason.
  std::string decrypt(std::string_view encrypted_str) const;

  // The pass phrase's bytes, as handed to the key derivation.
  const std::string& password() const { return password_; }
  // OpenSSL's default library context, used for every fetch and derivation.
  ossl_lib_ctx_st* backend() const { return backend_; }

 private:
  // A derived key; its bytes are wiped when it goes out of scope.
  struct Key {
    std::array<unsigned char, key_length> bytes{};
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key();
  };

  // PBKDF2-HMAC-SHA256 of password() with the given salt (any length,
  // including empty), 100000 iterations, key_length bytes out.
  void derive_key(std::string_view salt, Key& key) const;

  std::string password_;
  ossl_lib_ctx_st* backend_;
};

}  // namespace qelkit
