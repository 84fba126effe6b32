// TLS for the substitute platform: a self-signed certificate made at start,
// the server context (HTTP/1.1 by ALPN, since the server speaks nothing
// else), and a readable summary of every ClientHello, so that tests can see
// the fingerprint a client offers.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>

#include "qelkit/common/json.hpp"

namespace platform_sim {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A P-256 key and a self-signed certificate for 127.0.0.1 and localhost,
// valid from an hour ago for a year. Throws std::runtime_error with OpenSSL's
// wording when OpenSSL refuses.
struct TlsIdentity {
  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  std::unique_ptr<X509, X509Free> cert;
  std::string cert_pem;
};
TlsIdentity make_identity();

// The identity's private key as unencrypted PEM (PKCS#8).
std::string private_key_pem(const TlsIdentity& identity);

// Called from the handshake of every connection with the connection's SSL
// object and the summary of its ClientHello.
using ClientHelloSink = std::function<void(SSL*, qelkit::Json)>;

// A server context for `identity`: TLS 1.2 and 1.3, ALPN answered with
// http/1.1 when the client offers it (nothing otherwise), and `sink` called
// for each ClientHello. `sink` must outlive the context.
SslCtxPtr make_server_context(const TlsIdentity& identity, const ClientHelloSink* sink);

// The summary of the ClientHello being processed on `ssl` (only valid inside
// the client-hello callback): cipher suites and their ids in the order
// offered, extension types in order, supported groups, signature algorithms,
// ALPN protocols, supported versions, key-share groups and server name.
qelkit::Json summarise_client_hello(SSL* ssl);

// OpenSSL's error queue as text (emptied).
std::string openssl_errors();

}  // namespace platform_sim
