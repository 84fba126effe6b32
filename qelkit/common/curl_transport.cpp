// The real transport: one libcurl easy handle per request, nothing kept
// between requests (no connection reuse, no cookie engine) but the trusted
// certificates.
#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "qelkit/common/internal/browser_profile.hpp"
#include "qelkit/common/errors.hpp"
#include "qelkit/common/internal/openssl_exit.hpp"
#include "qelkit/common/transport.hpp"

#ifdef QELKIT_HAVE_CURL_IMPERSONATE
extern "C" CURLcode curl_easy_impersonate(CURL* curl, const char* target, int default_headers);
#else
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#endif

namespace qelkit {
namespace {

constexpr long kTimeoutMs = 30'000;
constexpr long kMaxRedirects = 10;
// Far above any real page of the platform (a few KiB to a few hundred KiB);
// counted after decoding, so a small compressed bomb cannot get past it.
constexpr std::size_t kMaxReplyBytes = std::size_t{64} << 20;

void global_init_once() {
  static std::once_flag once;
  // If initialisation throws, the flag stays unset and the next request tries again.
  std::call_once(once, [] {
    CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) {
      throw TransportError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(rc));
    }
  });
}

struct EasyDeleter {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

long request_timeout_ms() {
  const char* env = std::getenv("QELKIT_HTTP_TIMEOUT_MS");
  if (!env || !*env) return kTimeoutMs;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(env, &end, 10);
  if (errno != 0 || *end != '\0' || v <= 0) return kTimeoutMs;
  return static_cast<long>(std::min<long long>(v, kTimeoutMs));
}

bool has_line_break_or_nul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// Enough of a file's identity to tell that its content may have changed.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stamp_of(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev, st.st_ino, st.st_size,
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

[[noreturn]] void unreadable_certificates(const std::string& path, const std::string& why) {
  throw TransportError("cannot read the trusted certificates in " + path + ": " + why);
}

// Where the system's trusted certificates come from: libcurl's CA directory
// when it has one, else its CA bundle. The directory is hashed by subject
// name (update-ca-certificates and openssl rehash keep it so, from the same
// certificates as the bundle), so a handshake reads only the few certificates
// its chain needs, where a bundle is parsed whole first: some 150
// certificates, far more work than a handshake on loopback.
struct SystemTrust {
  std::string dir;     // libcurl's CA directory when it is one, else ""
  std::string bundle;  // libcurl's CA bundle ("" when none is built in): used only without `dir`
};

SystemTrust system_trust(CURL* h) {
  const char* dir = nullptr;
  const char* bundle = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CAPATH, &dir) != CURLE_OK) dir = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CAINFO, &bundle) != CURLE_OK) bundle = nullptr;
  struct stat st {};
  const bool is_dir = dir && *dir && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
  return {is_dir ? dir : "", bundle ? bundle : ""};
}

#ifdef QELKIT_HAVE_CURL_IMPERSONATE
// The TLS library inside the impersonating libcurl is not the process's
// OpenSSL, so no store parsed here can be handed to it: it parses the PEM
// text it is given at each handshake, and looks the system's certificates up
// in their directory as the chain needs them. That text is kept small:
// certificates given in memory replace libcurl's default bundle (which it
// puts back whenever its file option is cleared), so the extra certificates
// go in memory, and without them the bundle's first certificate, which the
// system trusts anyway, stands in for the bundle.
class PemFile {
 public:
  // The certificates of `path` as PEM text (only the first with
  // `first_only`), read once and kept until the file changes. Throws
  // TransportError when the file cannot be read or holds no certificate.
  std::shared_ptr<const std::string> get(const std::string& path, bool first_only) {
    const std::optional<FileStamp> stamp = stamp_of(path);
    if (!stamp) unreadable_certificates(path, std::strerror(errno));
    std::lock_guard<std::mutex> lock(m_);
    if (!pem_ || path_ != path || stamp_ != *stamp) {
      std::ifstream in(path, std::ios::binary);
      if (!in) unreadable_certificates(path, std::strerror(errno));
      std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (in.bad()) unreadable_certificates(path, "read error");
      constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
      const std::size_t end = pem.find(kEnd);
      if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos || end == std::string::npos) {
        unreadable_certificates(path, "no certificate in it");
      }
      if (first_only) pem.resize(end + kEnd.size());
      pem_ = std::make_shared<const std::string>(std::move(pem));
      path_ = path;
      stamp_ = *stamp;
    }
    return pem_;
  }

 private:
  std::mutex m_;
  std::string path_;
  FileStamp stamp_;
  std::shared_ptr<const std::string> pem_;
};

// The PEM text to give libcurl in memory, or nullptr to leave it its bundle
// (there is no directory, or no bundle to stand in for).
std::shared_ptr<const std::string> certificates_in_memory(const SystemTrust& system, const std::string& extra) {
  // Never destroyed: requests may outlive statics.
  static PemFile* const extra_file = new PemFile;
  static PemFile* const bundle_file = new PemFile;
  if (!extra.empty()) return extra_file->get(extra, false);
  if (system.dir.empty() || system.bundle.empty()) return nullptr;
  try {
    return bundle_file->get(system.bundle, true);
  } catch (const TransportError&) {
    return nullptr;  // no bundle to parse either
  }
}
#else
struct StoreFree {
  void operator()(X509_STORE* s) const noexcept { X509_STORE_free(s); }
};
using TrustStore = std::unique_ptr<X509_STORE, StoreFree>;

// The files a trust store was built from.
struct TrustKey {
  std::string dir, bundle, extra;
  std::optional<FileStamp> bundle_stamp, extra_stamp;
  bool operator==(const TrustKey&) const = default;
};

// The trusted certificates: the system's (see SystemTrust), plus the PEM file
// `extra` when not empty. Built once and shared by every connection (a built
// X509_STORE is safe to use from many at once), until one of the files
// changes; certificates looked up in the directory stay in it. Throws
// TransportError when `extra` cannot be read or holds no certificate.
TrustStore trusted_store(const SystemTrust& system, const std::string& extra) {
  const std::string bundle = system.dir.empty() ? system.bundle : "";
  TrustKey key{system.dir, bundle, extra, stamp_of(bundle), stamp_of(extra)};
  if (!extra.empty() && !key.extra_stamp) unreadable_certificates(extra, std::strerror(errno));
  struct Cache {
    std::mutex m;
    std::optional<TrustKey> key;
    TrustStore store;
  };
  static Cache* const cache = new Cache;  // never destroyed: requests may outlive statics
  std::lock_guard<std::mutex> lock(cache->m);
  if (!cache->store || cache->key != key) {
    TrustStore store(X509_STORE_new());
    if (!store) throw std::bad_alloc();
    // A missing system directory or bundle is not our failure: it only
    // trusts less.
    if (!system.dir.empty()) {
      (void)X509_STORE_load_path(store.get(), system.dir.c_str());
    } else if (!bundle.empty()) {
      (void)X509_STORE_load_file(store.get(), bundle.c_str());
    }
    ERR_clear_error();
    if (!extra.empty() && X509_STORE_load_file(store.get(), extra.c_str()) != 1) {
      const unsigned long err = ERR_get_error();
      ERR_clear_error();
      char why[256] = "no certificate in it";
      if (err != 0) ERR_error_string_n(err, why, sizeof why);
      unreadable_certificates(extra, why);
    }
    // As libcurl sets up its own store.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    cache->store = std::move(store);
    cache->key = std::move(key);
  }
  if (X509_STORE_up_ref(cache->store.get()) != 1) throw std::bad_alloc();
  return TrustStore(cache->store.get());
}
#endif

// What the libcurl callbacks of one exchange write into.
struct Exchange {
  HttpResponse response;
  bool too_large = false;  // the body went past kMaxReplyBytes; the transfer was stopped
  const detail::BrowserProfile* profile = nullptr;
#ifndef QELKIT_HAVE_CURL_IMPERSONATE
  TrustStore trust;
#endif
};

size_t on_body(char* data, size_t size, size_t count, void* user) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  if (size * count > kMaxReplyBytes - ex->response.body.size()) {
    ex->too_large = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  try {
    ex->response.body.append(data, size * count);
  } catch (...) {
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  return size * count;
}

// Called once per header line of every response, redirects and interim
// responses included; a status line starts a new response, so what is left at
// the end are the headers of the final one.
size_t on_header(char* data, size_t size, size_t count, void* user) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  const size_t len = size * count;
  try {
    std::string_view line(data, len);
    auto& headers = ex->response.headers;
    if (line.starts_with("HTTP/")) {
      headers.clear();
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      // obsolete line folding: continues the previous header's value
      if (!headers.empty() && !trim(line).empty()) {
        headers.back().second += ' ';
        headers.back().second += trim(line);
      }
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
      headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
  } catch (...) {
    return 0;
  }
  return len;
}

#ifndef QELKIT_HAVE_CURL_IMPERSONATE
// The shared trusted certificates, and the parts of the browser's TLS
// ClientHello that libcurl has no option for.
CURLcode on_ssl_ctx(CURL*, void* ssl_ctx, void* user) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  if (ex->trust) SSL_CTX_set1_cert_store(ctx, ex->trust.get());
  if (!ex->profile) return CURLE_OK;
  if (SSL_CTX_set1_sigalgs_list(ctx, ex->profile->sigalgs) != 1) return CURLE_SSL_CIPHER;
  SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_options(ctx, SSL_OP_NO_ENCRYPT_THEN_MAC);
  SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp);
  if (SSL_CTX_enable_ct(ctx, SSL_CT_VALIDATION_PERMISSIVE) != 1) return CURLE_SSL_CIPHER;
  SSL_CTX_set_post_handshake_auth(ctx, 0);
  return CURLE_OK;
}
#endif

class CurlTransport final : public Transport {
 public:
  HttpResponse perform(const HttpRequest& request) override;
};

// Sets one option; a refusal is a failure of this exchange.
template <typename T>
void set(CURL* h, CURLoption option, T value, const char* what) {
  CURLcode rc = curl_easy_setopt(h, option, value);
  if (rc != CURLE_OK) {
    throw TransportError(std::string("cannot set up the request (") + what + "): " + curl_easy_strerror(rc));
  }
}

HttpResponse CurlTransport::perform(const HttpRequest& request) {
  if (request.method != "GET" && request.method != "POST") {
    throw InvalidArgumentError("unsupported HTTP method \"" + request.method + "\" (GET or POST)");
  }
  for (const auto& [name, value] : request.headers) {
    if (name.empty() || has_line_break_or_nul(name) || has_line_break_or_nul(value)) {
      throw InvalidArgumentError("request header \"" + name + "\" holds a line break or NUL");
    }
  }
  std::string body;
  if (request.json) {
    try {
      body = request.json->dump();
    } catch (const nlohmann::json::exception& e) {
      throw InvalidArgumentError(std::string("request body cannot be serialised as JSON: ") + e.what());
    }
  }

  Exchange ex;
#ifndef QELKIT_HAVE_CURL_IMPERSONATE
  if (!request.impersonate.empty()) {
    ex.profile = detail::find_browser_profile(request.impersonate);
    if (!ex.profile) {
      throw InvalidArgumentError("unknown browser impersonation profile \"" + request.impersonate + "\"");
    }
  }
#endif

  global_init_once();
  EasyHandle handle(curl_easy_init());
  if (!handle) throw TransportError("cannot create a libcurl handle for " + url_for_messages(request.url));
  CURL* h = handle.get();
  char errbuf[CURL_ERROR_SIZE] = {};

  set(h, CURLOPT_ERRORBUFFER, errbuf, "error buffer");
  set(h, CURLOPT_NOSIGNAL, 1L, "no signals");
  set(h, CURLOPT_URL, request.url.c_str(), "URL");
  set(h, CURLOPT_PROTOCOLS_STR, "http,https", "protocols");
  // A redirect may lead to https only: a plain-http reply could be anyone's.
  set(h, CURLOPT_REDIR_PROTOCOLS_STR, "https", "redirect protocols");
  set(h, CURLOPT_FOLLOWLOCATION, 1L, "follow redirects");
  set(h, CURLOPT_MAXREDIRS, kMaxRedirects, "redirect limit");
  set(h, CURLOPT_TIMEOUT_MS, request_timeout_ms(), "time-out");
  set(h, CURLOPT_FORBID_REUSE, 1L, "no connection reuse");
  set(h, CURLOPT_FRESH_CONNECT, 1L, "fresh connection");
  set(h, CURLOPT_SSL_VERIFYPEER, 1L, "peer verification");
  set(h, CURLOPT_SSL_VERIFYHOST, 2L, "host verification");
  set(h, CURLOPT_ACCEPT_ENCODING, "", "content decoding");
  set(h, CURLOPT_WRITEFUNCTION, &on_body, "body callback");
  set(h, CURLOPT_WRITEDATA, static_cast<void*>(&ex), "body callback data");
  set(h, CURLOPT_HEADERFUNCTION, &on_header, "header callback");
  set(h, CURLOPT_HEADERDATA, static_cast<void*>(&ex), "header callback data");

  // Trusted certificates: the system's and QELKIT_CA_FILE's, the same in
  // both builds (see SystemTrust).
  const SystemTrust system = system_trust(h);
  const char* extra_env = std::getenv("QELKIT_CA_FILE");
  const std::string extra = extra_env ? extra_env : "";
#ifndef QELKIT_HAVE_CURL_IMPERSONATE
  // From the shared store; libcurl loads none of its own.
  ex.trust = trusted_store(system, extra);
  set(h, CURLOPT_CAINFO, static_cast<const char*>(nullptr), "trusted certificates");
  set(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr), "trusted certificate directory");
  set(h, CURLOPT_SSL_CTX_FUNCTION, &on_ssl_ctx, "TLS set-up callback");
  set(h, CURLOPT_SSL_CTX_DATA, static_cast<void*>(&ex), "TLS set-up callback data");
#else
  if (!system.dir.empty()) set(h, CURLOPT_CAPATH, system.dir.c_str(), "trusted certificate directory");
  if (const auto pem = certificates_in_memory(system, extra)) {
    curl_blob blob{const_cast<char*>(pem->data()), pem->size(), CURL_BLOB_COPY};
    set(h, CURLOPT_CAINFO_BLOB, &blob, "trusted certificates");
  }
#endif

  Headers headers = request.headers;
  if (!request.impersonate.empty()) {
#ifdef QELKIT_HAVE_CURL_IMPERSONATE
    // HTTP/2 over TLS only, as the browser: the library keeps a version set
    // before it, and would otherwise ask cleartext origins for an h2c upgrade.
    set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS), "HTTP version");
    if (CURLcode rc = curl_easy_impersonate(h, request.impersonate.c_str(), 1); rc != CURLE_OK) {
      const std::string why = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
      const std::string what = "browser impersonation profile \"" + request.impersonate + "\" refused by libcurl: " + why;
      // An unknown profile is the caller's mistake; anything else is libcurl's.
      if (rc == CURLE_BAD_FUNCTION_ARGUMENT) throw InvalidArgumentError(what);
      throw TransportError(what);
    }
#else
    const auto& p = *ex.profile;
    set(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2), "minimum TLS version");
    set(h, CURLOPT_TLS13_CIPHERS, p.tls13_ciphers, "TLS 1.3 cipher suites");
    set(h, CURLOPT_SSL_CIPHER_LIST, p.tls12_ciphers, "TLS 1.2 cipher suites");
    set(h, CURLOPT_SSL_EC_CURVES, p.groups, "key-exchange groups");
    set(h, CURLOPT_SSL_ENABLE_ALPN, 1L, "ALPN");
    // The stream weight stays libcurl's default: any other makes libcurl
    // send a PRIORITY frame for a stream it has not opened yet, which no
    // browser does.
    set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS), "HTTP version");
    Headers defaults;
    defaults.reserve(p.headers.size());
    for (const auto& [name, value] : p.headers) defaults.emplace_back(std::string(name), std::string(value));
    // Wire order: the profile's headers in the browser's order; a request
    // header of the same name (Accept) takes that header's slot, and the
    // request headers the profile lacks (Content-Type, Connection, Cookie)
    // follow, in the request's order, so the browser's own lines are never
    // reordered by what a caller adds. Over HTTP/2 libcurl sends the names in
    // lower case after the pseudo-headers and leaves out the connection-
    // specific ones (Connection; Host becomes :authority).
    headers = detail::merge_headers(defaults, request.headers);
#endif
  }

  // libcurl drops a header given as "Name:" and sends an empty one as "Name;".
  HeaderList list;
  auto append = [&](const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)list.release();
    list.reset(grown);
  };
  for (const auto& [name, value] : headers) append(value.empty() ? name + ";" : name + ": " + value);
  if (request.method == "POST") {
    append("Expect:");
    set(h, CURLOPT_POST, 1L, "POST");
    set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()), "body size");
    set(h, CURLOPT_POSTFIELDS, body.c_str(), "body");
  } else {
    set(h, CURLOPT_HTTPGET, 1L, "GET");
  }
  set(h, CURLOPT_HTTPHEADER, list.get(), "headers");

  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    std::string why = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (rc == CURLE_WRITE_ERROR && ex.too_large) {
      why = "the reply is larger than " + std::to_string(kMaxReplyBytes >> 20) + " MiB after decoding";
    }
    char* last_url = nullptr;
    long redirects = 0;
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && curl_easy_getinfo(h, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK &&
        redirects > 0 && curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &last_url) == CURLE_OK && last_url) {
      why = "refused to follow a redirect to " + url_for_messages(last_url) + " (only https redirects are followed)";
    }
    throw TransportError(request.method + " " + url_for_messages(request.url) + " failed: " + why);
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  ex.response.status = status;
  long version = 0;
  if (curl_easy_getinfo(h, CURLINFO_HTTP_VERSION, &version) == CURLE_OK) {
    switch (version) {
      case CURL_HTTP_VERSION_1_0: ex.response.http_version = "1.0"; break;
      case CURL_HTTP_VERSION_1_1: ex.response.http_version = "1.1"; break;
      case CURL_HTTP_VERSION_2_0: ex.response.http_version = "2"; break;
      case CURL_HTTP_VERSION_3: ex.response.http_version = "3"; break;
      default: break;
    }
  }
  return std::move(ex.response);
}

}  // namespace

Transport& curl_transport() {
  static CurlTransport* const transport = new CurlTransport;  // never destroyed, as above
  return *transport;
}

TransportInfo transport_info() {
  TransportInfo info;
  if (const curl_version_info_data* v = curl_version_info(CURLVERSION_NOW)) {
    info.libcurl = v->version ? v->version : "";
    info.tls = v->ssl_version ? v->ssl_version : "";
    if (v->features & CURL_VERSION_HTTP2) info.http2 = v->nghttp2_version ? std::string("nghttp2/") + v->nghttp2_version : "yes";
  }
#ifdef QELKIT_HAVE_CURL_IMPERSONATE
  info.impersonating = true;
  info.impersonation = "full: impersonating libcurl";
#else
  // What stock libcurl and OpenSSL cannot make look like the browser.
  info.impersonation =
      "nearest profile on stock libcurl: ciphers, groups, signature algorithms, ALPN, headers; "
      "missing: GREASE, certificate compression, post-quantum group, extension order, HTTP/2 settings";
#endif
  if (const char* extra = std::getenv("QELKIT_CA_FILE"); extra && *extra) info.ca_file = extra;
  // The system's certificates as requests choose them (see SystemTrust).
  try {
    global_init_once();
    if (EasyHandle handle{curl_easy_init()}) {
      const SystemTrust system = system_trust(handle.get());
      info.ca_path = system.dir;
      if (system.dir.empty()) info.ca_bundle = system.bundle;
    }
  } catch (const TransportError&) {
    // libcurl cannot start: no request goes out either, and the versions say enough.
  }
  return info;
}

}  // namespace qelkit
