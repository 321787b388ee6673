#pragma once
// The OpenSSL handles behind crypto::PrivateKey and crypto::Certificate, for
// the few places in ua/ that call OpenSSL directly (the certificate store's
// chain checks), and the readers of certificate fields both share.

#include "Crypto.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <string>

namespace ua::crypto {

struct PrivateKey::Handle {
    EVP_PKEY* key = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { EVP_PKEY_free(key); }
};

struct Certificate::Handle {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;  // the public key, owned here
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        EVP_PKEY_free(key);
        X509_free(cert);
    }
};

namespace native {
// "CN=..., O=..." on one line.
std::string NameText(const X509_NAME* name);
// Throws CryptoError for a time OpenSSL cannot read.
std::time_t AsTime(const ASN1_TIME* time);
// The first URI of subjectAltName; empty without.
std::string FirstUri(const X509* cert);
}  // namespace native

}  // namespace ua::crypto
