#include "qelkit/common/internal/browser_profile.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace qelkit::detail {
namespace {

using HeaderRow = std::pair<std::string_view, std::string_view>;

// Desktop Chrome 142 on macOS, as published captures show it. Stock OpenSSL
// 3.0 lacks the hybrid X25519MLKEM768 group that this browser offers first,
// and GREASE values; the rest matches.
constexpr std::array<HeaderRow, 13> kChrome142Headers{{
    {"sec-ch-ua", R"("Chromium";v="142", "Google Chrome";v="142", "Not_A Brand";v="99")"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-platform", R"("macOS")"},
    {"Upgrade-Insecure-Requests", "1"},
    {"User-Agent",
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/142.0.0.0 Safari/537.36"},
    {"Accept",
     "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,*/*;q=0.8,"
     "application/signed-exchange;v=b3;q=0.7"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-User", "?1"},
    {"Sec-Fetch-Dest", "document"},
    {"Accept-Encoding", "gzip, deflate, br, zstd"},
    {"Accept-Language", "en-US,en;q=0.9"},
    {"Priority", "u=0, i"},
}};

constexpr std::array<BrowserProfile, 1> kProfiles{{
    {
        "chrome142",
        "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256",
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
        "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
        "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA:AES256-SHA",
        "X25519:P-256:P-384",
        "ecdsa_secp256r1_sha256:rsa_pss_rsae_sha256:rsa_pkcs1_sha256:ecdsa_secp384r1_sha384:"
        "rsa_pss_rsae_sha384:rsa_pkcs1_sha384:rsa_pss_rsae_sha512:rsa_pkcs1_sha512",
        kChrome142Headers,
    },
}};

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

const BrowserProfile* find_browser_profile(std::string_view name) {
  for (const auto& p : kProfiles) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

Headers merge_headers(const Headers& base, const Headers& top) {
  Headers merged = base;
  for (const auto& header : top) {
    auto it = std::find_if(merged.begin(), merged.end(),
                           [&](const auto& existing) { return same_name(existing.first, header.first); });
    if (it != merged.end()) {
      *it = header;  // in the base's place
    } else {
      merged.push_back(header);
    }
  }
  return merged;
}

}  // namespace qelkit::detail
