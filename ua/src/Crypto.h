#pragma once
// The cryptography the secure channels, the sessions and the certificate
// store use, each operation one call into OpenSSL 3: nothing here computes a
// cipher, a hash or a signature itself. Keys and certificates are opaque
// handles; every failure (a bad key, a signature that does not verify, a
// ciphertext that does not decrypt) throws CryptoError, never a half result.

#include "ua/Types.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ua::crypto {

class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes from OpenSSL's generator (RAND_bytes).
ByteString RandomBytes(std::size_t count);

ByteString Sha1(const ByteString& data);
ByteString Sha256(const ByteString& data);
ByteString HmacSha256(const ByteString& key, const ByteString& data);
// P_SHA256(secret, seed) of RFC 5246 section 5 cut to length bytes: the key
// derivation of the RSA security policies (OpenSSL's TLS1-PRF with SHA-256
// and the seed alone, no label).
ByteString PSha256(const ByteString& secret, const ByteString& seed, std::size_t length);

// AES in CBC mode without padding (the secure channel pads itself): key of
// 16 or 32 bytes, iv of 16, data a multiple of 16 bytes.
ByteString AesCbcEncrypt(const ByteString& key, const ByteString& iv, const ByteString& data);
ByteString AesCbcDecrypt(const ByteString& key, const ByteString& iv, const ByteString& data);

enum class SignatureScheme { RsaPkcs1Sha256, RsaPssSha256 };
enum class EncryptionScheme { RsaOaepSha1, RsaOaepSha256 };

// The bytes RSA-OAEP spends on padding in each block: 2 * hash + 2.
std::size_t OaepOverhead(EncryptionScheme scheme);

// An RSA key pair: the server's own key.
class PrivateKey {
public:
    static PrivateKey Generate(int bits);
    // PEM (PKCS#8 or traditional RSA), unencrypted.
    static PrivateKey FromPem(const std::string& pem);
    std::string ToPem() const;  // PKCS#8
    std::size_t SizeBytes() const;  // the modulus' length: 256 for RSA 2048
    ByteString Sign(const ByteString& data, SignatureScheme scheme) const;
    // Decrypts a whole ciphertext of one or more blocks of SizeBytes().
    ByteString Decrypt(const ByteString& data, EncryptionScheme scheme) const;

    struct Handle;
    const Handle& Native() const { return *handle_; }

private:
    explicit PrivateKey(std::shared_ptr<Handle> handle) : handle_(std::move(handle)) {}
    std::shared_ptr<Handle> handle_;
};

// An X.509 certificate and its public key.
class Certificate {
public:
    static Certificate FromDer(const ByteString& der);
    static Certificate FromPem(const std::string& pem);
    // A client's certificate field may hold its certificate followed by the
    // issuers', DER after DER; the first is the client's.
    static std::vector<Certificate> FromDerChain(const ByteString& chain);

    // A self-signed application instance certificate (OPC 10000-6, 6.2.2):
    // subject CN and O, subjectAltName with the URI and the DNS names (an IP
    // address goes in as one), keyUsage digitalSignature, nonRepudiation,
    // keyEncipherment, dataEncipherment, keyCertSign; extendedKeyUsage
    // serverAuth and clientAuth; basicConstraints CA:FALSE; SHA-256; a random
    // 20-byte serial number.
    static Certificate MakeSelfSigned(const PrivateKey& key, const std::string& commonName,
                                      const std::string& organization, const std::string& applicationUri,
                                      const std::vector<std::string>& hostNames, std::time_t notBefore,
                                      std::time_t notAfter);

    ByteString Der() const;
    std::string Pem() const;
    // SHA-1 of the DER, as the secure channel's thumbprint field carries it.
    ByteString Thumbprint() const;
    // The same as 40 upper-case hex digits, as users see and type it.
    std::string ThumbprintHex() const;
    std::string Subject() const;  // one line, "CN=..., O=..."
    std::string Issuer() const;
    std::string ApplicationUri() const;             // the first URI of subjectAltName; empty without
    std::vector<std::string> HostNames() const;     // DNS names and IP addresses of subjectAltName
    std::time_t NotBefore() const;
    std::time_t NotAfter() const;
    bool IsSelfSigned() const;                      // issuer == subject and its own key verifies it
    std::size_t KeySizeBytes() const;
    // The public key's verification and encryption.
    bool Verify(const ByteString& data, const ByteString& signature, SignatureScheme scheme) const;
    // Encrypts data of any length in as many blocks as it needs.
    ByteString Encrypt(const ByteString& data, EncryptionScheme scheme) const;

    struct Handle;
    const Handle& Native() const { return *handle_; }

private:
    explicit Certificate(std::shared_ptr<Handle> handle) : handle_(std::move(handle)) {}
    std::shared_ptr<Handle> handle_;
};

// Upper-case hex of bytes ("A1B2...").
std::string Hex(const ByteString& bytes);

}  // namespace ua::crypto
