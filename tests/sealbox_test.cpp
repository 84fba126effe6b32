#include "qelkit/common/sealbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "qelkit/common/errors.hpp"

namespace {

using qelkit::AuthenticationError;
using qelkit::CryptoHelper;
using qelkit::DecodingError;
using qelkit::InvalidArgumentError;
using ::testing::HasSubstr;

// A plain Base64 codec of the test's own, so that layouts are checked without
// going through the code under test.
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string b64encode(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::string b64decode(std::string_view in) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char ch : in) {
    auto pos = kAlphabet.find(ch);
    if (pos == std::string_view::npos) continue;
    acc = (acc << 6) | static_cast<unsigned>(pos);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// Produced once by an independent implementation (PBKDF2-HMAC-SHA256 with
// 100000 iterations, AES-GCM with an 11-byte nonce, standard Base64) under the
// pass phrase "vector-pass-phrase-密码".
constexpr const char* kVectorAscii =
    "bzxjonqoEfQ+PGOnUcl9FGE4J2S7xIS5t7UhjixLaYCOlQSlgy1/yEnuT/aaP14S611zHBhsZukXf4EblHR0pM9E8goWWE6fuSI8RHXr";
constexpr const char* kVectorChinese =
    "pWb8lYb2jfRBhdEa9/B95W1GwGiyOuHig4PnyKDzQ26GNjlaurUwzmX4E0u6Sjyr9db4HVQ1N5fo19CfZmA/VORos/JNtA==";
constexpr const char* kVectorEmpty = "XHSdrOs6wm4V4sP6qPydLW9amxBQk0Fu2iAbRvM/VvxjIfSJngcTpPnCIg==";
constexpr const char* kVectorNotUtf8 = "yKZGOP0La4jCWBeX6pDon/crX/hl3ZMFdUn52Sq3U0zwsxREbVVIv1GIGW6/7RI=";  // "ok\xff\xfe"

// c + a + b = "vector-" + "pass-phrase-" + "密码"
CryptoHelper vector_helper() { return CryptoHelper("pass-phrase-", "密码", "vector-"); }

TEST(CryptoHelper, DecryptsVectorsOfAnIndependentImplementation) {
  const CryptoHelper h = vector_helper();
  EXPECT_EQ(h.decrypt(kVectorAscii), "session=abc123; the quick brown fox");
  EXPECT_EQ(h.decrypt(kVectorChinese), "测试数据，会话标识");
  EXPECT_EQ(b64decode(kVectorEmpty).size(), 43u);  // exactly salt, nonce and tag
  EXPECT_EQ(h.decrypt(kVectorEmpty), "");
  try {
    h.decrypt(kVectorNotUtf8);
    FAIL() << "non-UTF-8 plaintext was released";
  } catch (const DecodingError& e) {
    EXPECT_THAT(e.what(), HasSubstr("UTF-8"));
    EXPECT_THAT(e.what(), HasSubstr("0xff at position 2"));
  }
}

TEST(CryptoHelper, RoundTripsAndLengthFollowsUtf8Bytes) {
  const CryptoHelper h("alpha", "beta", "gamma");
  struct Case {
    std::string plain;
    std::size_t chars;
    std::string_view ending;
  };
  const Case cases[] = {
      {"", 60, "=="},               // 43 bytes
      {"ab", 60, ""},               // 45 bytes: no padding
      {"abc", 64, "=="},            // 46 bytes
      {"测试数据", 76, "=="},       // 12 UTF-8 bytes -> 55 bytes
      {"session id 🙂 ok", 84, "=="},  // 18 UTF-8 bytes -> 61 bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plain);
    const std::string enc = h.encrypt(c.plain);
    EXPECT_EQ(enc.size(), c.chars);
    EXPECT_EQ(enc.find_first_not_of(std::string(kAlphabet) + "="), std::string::npos) << enc;
    EXPECT_EQ(enc.find('='), c.ending.empty() ? std::string::npos : enc.size() - c.ending.size()) << enc;
    EXPECT_EQ(b64decode(enc).size(), 43 + c.plain.size());
    EXPECT_EQ(b64encode(b64decode(enc)), enc);  // canonical standard Base64
    EXPECT_EQ(h.decrypt(enc), c.plain);
  }
}

TEST(CryptoHelper, EachEncryptionDrawsFreshSaltAndNonce) {
  const CryptoHelper h("alpha", "beta", "gamma");
  const std::string one = h.encrypt("same text");
  const std::string two = h.encrypt("same text");
  const std::string raw1 = b64decode(one), raw2 = b64decode(two);
  EXPECT_NE(raw1.substr(0, 16), raw2.substr(0, 16)) << "salt reused";
  EXPECT_NE(raw1.substr(16, 11), raw2.substr(16, 11)) << "nonce reused";
  EXPECT_EQ(h.decrypt(one), "same text");
  EXPECT_EQ(h.decrypt(two), "same text");
}

TEST(CryptoHelper, OnlyTheJoinedPassPhraseMatters) {
  const CryptoHelper split1("pass", "word", "my-");   // my-password
  const CryptoHelper split2("", "password", "my-");   // my-password
  const CryptoHelper split3("my-pass", "word", "");   // my-password
  const CryptoHelper other("my-", "pass", "word");    // wordmy-pass
  EXPECT_EQ(split1.password(), "my-password");
  EXPECT_NE(split1.backend(), nullptr);
  const std::string enc = split1.encrypt("shared");
  EXPECT_EQ(split2.decrypt(enc), "shared");
  EXPECT_EQ(split3.decrypt(split2.encrypt("back")), "back");
  EXPECT_THROW(other.decrypt(enc), AuthenticationError);
  // The object stays usable after a failure.
  EXPECT_EQ(other.decrypt(other.encrypt("still fine")), "still fine");
}

TEST(CryptoHelper, AnyChangedByteFailsAuthentication) {
  const CryptoHelper h("alpha", "beta", "gamma");
  const std::string raw = b64decode(h.encrypt("x"));  // salt, nonce, tag, 1 byte of ciphertext
  ASSERT_EQ(raw.size(), 44u);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::string changed = raw;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    try {
      h.decrypt(b64encode(changed));
      ADD_FAILURE() << "byte " << i << " changed, yet decryption succeeded";
    } catch (const AuthenticationError& e) {
      EXPECT_THAT(e.what(), HasSubstr("authentication tag")) << i;
    }
  }
  const std::string raw3 = b64decode(h.encrypt("abc"));
  EXPECT_THROW(h.decrypt(b64encode(raw3.substr(0, raw3.size() - 1))), AuthenticationError);  // shortened
}

TEST(CryptoHelper, CharactersOutsideTheAlphabetAreSkipped) {
  const CryptoHelper h = vector_helper();
  std::string spaced;
  const std::string_view v = kVectorAscii;
  for (std::size_t i = 0; i < v.size(); ++i) {
    spaced += v[i];
    if (i % 7 == 3) spaced += ' ';
    if (i % 19 == 0) spaced += "\r\n";
    if (i % 23 == 5) spaced += "\t.";
  }
  EXPECT_EQ(h.decrypt(spaced), "session=abc123; the quick brown fox");
  EXPECT_EQ(h.decrypt("\n  " + std::string(kVectorChinese) + "\n"), "测试数据，会话标识");
}

TEST(CryptoHelper, MalformedBase64IsADecodingError) {
  const CryptoHelper h("a", "b", "c");
  const std::string full = kVectorEmpty;  // 60 characters, ends in "=="
  struct Case {
    std::string text;
    std::string wording;
  };
  const Case cases[] = {
      {"A", "cannot be 1 more than a multiple of 4"},
      {full.substr(0, 56) + "AAAAA", "number of data characters (61)"},
      {full.substr(0, 58), "Incorrect padding"},        // padding missing
      {full.substr(0, 59), "Incorrect padding"},        // padding short
      {"QUJD" "QQ", "Incorrect padding"},               // 6 data characters, no padding
      {"QUJDQ===", "cannot be 1 more than a multiple of 4"},
  };
  for (const auto& c : cases) {
    try {
      h.decrypt(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const DecodingError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.wording)) << c.text;
    }
  }
}

TEST(CryptoHelper, ShortDataIsAnInvalidArgumentAfterTheKeyDerivation) {
  const CryptoHelper h("a", "b", "c");
  const std::string raw = b64decode(kVectorAscii);
  // Fewer than 24 bytes: the nonce part is under 8 bytes.
  for (std::size_t n : {0u, 10u, 16u, 23u}) {
    try {
      h.decrypt(b64encode(raw.substr(0, n)));
      ADD_FAILURE() << n << " bytes accepted";
    } catch (const InvalidArgumentError& e) {
      EXPECT_THAT(e.what(), HasSubstr("nonce")) << n;
      EXPECT_THAT(e.what(), HasSubstr("got " + std::to_string(n > 16 ? n - 16 : 0))) << n;
    }
  }
  // 24 to 42 bytes: the tag part is under 16 bytes.
  for (std::size_t n : {24u, 27u, 42u}) {
    try {
      h.decrypt(b64encode(raw.substr(0, n)));
      ADD_FAILURE() << n << " bytes accepted";
    } catch (const InvalidArgumentError& e) {
      EXPECT_THAT(e.what(), HasSubstr("tag")) << n;
      EXPECT_THAT(e.what(), HasSubstr("got " + std::to_string(n > 27 ? n - 27 : 0))) << n;
    }
  }
}

}  // namespace
