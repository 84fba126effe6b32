#include "sim_tls.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace platform_sim {

using qelkit::Json;

std::string openssl_errors() {
  std::string out;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out.empty() ? "unknown OpenSSL error" : out;
}

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + openssl_errors());
}

void add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) fail(std::string("cannot make certificate extension ") + OBJ_nid2sn(nid));
  int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (!ok) fail("cannot add certificate extension");
}

std::string hex16(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04x", v & 0xFFFF);
  return buf;
}

bool is_grease(unsigned v) { return (v & 0x0F0F) == 0x0A0A && (v >> 8) == (v & 0xFF); }

std::string group_name(unsigned id) {
  switch (id) {
    case 23: return "secp256r1";
    case 24: return "secp384r1";
    case 25: return "secp521r1";
    case 29: return "x25519";
    case 30: return "x448";
    case 256: return "ffdhe2048";
    case 257: return "ffdhe3072";
    case 258: return "ffdhe4096";
    case 259: return "ffdhe6144";
    case 260: return "ffdhe8192";
    case 0x11EC: return "X25519MLKEM768";
    case 0x6399: return "X25519Kyber768Draft00";
    default: return is_grease(id) ? "GREASE" : hex16(id);
  }
}

std::string sigalg_name(unsigned id) {
  switch (id) {
    case 0x0201: return "rsa_pkcs1_sha1";
    case 0x0203: return "ecdsa_sha1";
    case 0x0301: return "rsa_pkcs1_sha224";
    case 0x0303: return "ecdsa_sha224";
    case 0x0401: return "rsa_pkcs1_sha256";
    case 0x0403: return "ecdsa_secp256r1_sha256";
    case 0x0501: return "rsa_pkcs1_sha384";
    case 0x0503: return "ecdsa_secp384r1_sha384";
    case 0x0601: return "rsa_pkcs1_sha512";
    case 0x0603: return "ecdsa_secp521r1_sha512";
    case 0x0804: return "rsa_pss_rsae_sha256";
    case 0x0805: return "rsa_pss_rsae_sha384";
    case 0x0806: return "rsa_pss_rsae_sha512";
    case 0x0807: return "ed25519";
    case 0x0808: return "ed448";
    case 0x0809: return "rsa_pss_pss_sha256";
    case 0x080A: return "rsa_pss_pss_sha384";
    case 0x080B: return "rsa_pss_pss_sha512";
    default: return is_grease(id) ? "GREASE" : hex16(id);
  }
}

std::string version_name(unsigned v) {
  switch (v) {
    case 0x0304: return "TLSv1.3";
    case 0x0303: return "TLSv1.2";
    case 0x0302: return "TLSv1.1";
    case 0x0301: return "TLSv1";
    default: return is_grease(v) ? "GREASE" : hex16(v);
  }
}

// A bounds-checked reader over one extension's bytes.
class Bytes {
 public:
  Bytes(const unsigned char* p, std::size_t n) : p_(p), n_(n) {}
  bool u8(unsigned& v) {
    if (n_ < 1) return false;
    v = p_[0];
    skip(1);
    return true;
  }
  bool u16(unsigned& v) {
    if (n_ < 2) return false;
    v = static_cast<unsigned>(p_[0]) << 8 | p_[1];
    skip(2);
    return true;
  }
  bool sub(std::size_t len, Bytes& out) {
    if (n_ < len) return false;
    out = Bytes(p_, len);
    skip(len);
    return true;
  }
  bool empty() const { return n_ == 0; }
  std::string text() const { return std::string(reinterpret_cast<const char*>(p_), n_); }

 private:
  void skip(std::size_t k) {
    p_ += k;
    n_ -= k;
  }
  const unsigned char* p_;
  std::size_t n_;
};

bool get_ext(SSL* ssl, unsigned type, Bytes& out) {
  const unsigned char* p = nullptr;
  size_t n = 0;
  if (SSL_client_hello_get0_ext(ssl, type, &p, &n) != 1) return false;
  out = Bytes(p, n);
  return true;
}

// A list of 16-bit ids preceded by a 16-bit byte length (groups, sigalgs).
void u16_list(SSL* ssl, unsigned type, Json& names, Json& ids, std::string (*name)(unsigned)) {
  names = Json::array();
  ids = Json::array();
  Bytes ext(nullptr, 0), list(nullptr, 0);
  unsigned len = 0;
  if (!get_ext(ssl, type, ext) || !ext.u16(len) || !ext.sub(len, list)) return;
  unsigned v = 0;
  while (list.u16(v)) {
    names.push_back(name(v));
    ids.push_back(v);
  }
}

int client_hello_cb(SSL* ssl, int* /*alert*/, void* arg) {
  const auto* sink = static_cast<const ClientHelloSink*>(arg);
  if (sink && *sink) (*sink)(ssl, summarise_client_hello(ssl));
  return SSL_CLIENT_HELLO_SUCCESS;
}

// The server speaks HTTP/1.1 only: choose it when offered, else no ALPN.
int alpn_select_cb(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                   unsigned int inlen, void*) {
  static constexpr std::string_view kHttp11 = "http/1.1";
  unsigned i = 0;
  while (i < inlen) {
    unsigned len = in[i];
    if (i + 1 + len > inlen) break;
    if (std::string_view(reinterpret_cast<const char*>(in + i + 1), len) == kHttp11) {
      *out = in + i + 1;
      *outlen = static_cast<unsigned char>(len);
      return SSL_TLSEXT_ERR_OK;
    }
    i += 1 + len;
  }
  return SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

TlsIdentity make_identity() {
  TlsIdentity id;
  id.key.reset(EVP_EC_gen("P-256"));
  if (!id.key) fail("cannot generate the P-256 key");
  id.cert.reset(X509_new());
  X509* cert = id.cert.get();
  if (!cert) fail("cannot allocate the certificate");
  X509_set_version(cert, 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) fail("cannot draw the serial number");
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) {
    BN_free(bn);
    fail("cannot set the serial number");
  }
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("qelkit"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("qelkit platform-sim"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  if (X509_set_pubkey(cert, id.key.get()) != 1) fail("cannot set the public key");
  // Self-signed and trusted directly through the client's CA file, so it is
  // its own authority as well as the server's certificate.
  add_extension(cert, NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
  add_extension(cert, NID_ext_key_usage, "serverAuth");
  add_extension(cert, NID_subject_key_identifier, "hash");
  add_extension(cert, NID_authority_key_identifier, "keyid:always");
  add_extension(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  if (X509_sign(cert, id.key.get(), EVP_sha256()) <= 0) fail("cannot sign the certificate");

  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_X509(bio, cert) != 1) {
    BIO_free(bio);
    fail("cannot write the certificate as PEM");
  }
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  id.cert_pem.assign(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  return id;
}

std::string private_key_pem(const TlsIdentity& identity) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_PrivateKey(bio, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(bio);
    fail("cannot write the private key as PEM");
  }
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  return pem;
}

SslCtxPtr make_server_context(const TlsIdentity& identity, const ClientHelloSink* sink) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) fail("cannot make the TLS context");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate(ctx.get(), identity.cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx.get(), identity.key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
    fail("cannot load the certificate into the TLS context");
  }
  SSL_CTX_set_client_hello_cb(ctx.get(), client_hello_cb, const_cast<ClientHelloSink*>(sink));
  SSL_CTX_set_alpn_select_cb(ctx.get(), alpn_select_cb, nullptr);
  return ctx;
}

Json summarise_client_hello(SSL* ssl) {
  Json s = Json::object();
  s["legacy_version"] = hex16(SSL_client_hello_get0_legacy_version(ssl));

  const unsigned char* ciphers = nullptr;
  size_t cipher_len = SSL_client_hello_get0_ciphers(ssl, &ciphers);
  Json names = Json::array(), ids = Json::array();
  for (size_t i = 0; i + 1 < cipher_len; i += 2) {
    unsigned id = static_cast<unsigned>(ciphers[i]) << 8 | ciphers[i + 1];
    const SSL_CIPHER* c = SSL_CIPHER_find(ssl, ciphers + i);
    const char* std_name = c ? SSL_CIPHER_standard_name(c) : nullptr;
    if (std_name) {
      names.push_back(std_name);
    } else if (id == 0x00FF) {
      names.push_back("TLS_EMPTY_RENEGOTIATION_INFO_SCSV");
    } else {
      names.push_back(is_grease(id) ? "GREASE" : hex16(id));
    }
    ids.push_back(id);
  }
  s["cipher_suites"] = std::move(names);
  s["cipher_suite_ids"] = std::move(ids);

  Json exts = Json::array();
  int* present = nullptr;
  size_t present_len = 0;
  if (SSL_client_hello_get1_extensions_present(ssl, &present, &present_len) == 1) {
    for (size_t i = 0; i < present_len; ++i) exts.push_back(present[i]);
    OPENSSL_free(present);
  }
  s["extensions"] = std::move(exts);

  Json group_names, group_ids, sigalg_names, sigalg_ids;
  u16_list(ssl, TLSEXT_TYPE_supported_groups, group_names, group_ids, group_name);
  u16_list(ssl, TLSEXT_TYPE_signature_algorithms, sigalg_names, sigalg_ids, sigalg_name);
  s["supported_groups"] = std::move(group_names);
  s["supported_group_ids"] = std::move(group_ids);
  s["signature_algorithms"] = std::move(sigalg_names);
  s["signature_algorithm_ids"] = std::move(sigalg_ids);

  Json alpn = Json::array();
  Bytes ext(nullptr, 0), list(nullptr, 0), item(nullptr, 0);
  unsigned len = 0;
  if (get_ext(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, ext) && ext.u16(len) && ext.sub(len, list)) {
    while (list.u8(len) && list.sub(len, item)) alpn.push_back(item.text());
  }
  s["alpn"] = std::move(alpn);

  Json versions = Json::array();
  if (get_ext(ssl, TLSEXT_TYPE_supported_versions, ext) && ext.u8(len) && ext.sub(len, list)) {
    unsigned v = 0;
    while (list.u16(v)) versions.push_back(version_name(v));
  }
  s["supported_versions"] = std::move(versions);

  Json shares = Json::array();
  if (get_ext(ssl, TLSEXT_TYPE_key_share, ext) && ext.u16(len) && ext.sub(len, list)) {
    unsigned group = 0, klen = 0;
    while (list.u16(group) && list.u16(klen) && list.sub(klen, item)) shares.push_back(group_name(group));
  }
  s["key_share_groups"] = std::move(shares);

  std::string server_name;
  if (get_ext(ssl, TLSEXT_TYPE_server_name, ext) && ext.u16(len) && ext.sub(len, list)) {
    unsigned type = 0;
    if (list.u8(type) && type == 0 && list.u16(len) && list.sub(len, item)) server_name = item.text();
  }
  s["server_name"] = server_name;
  return s;
}

}  // namespace platform_sim
