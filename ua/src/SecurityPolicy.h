#pragma once
// The security policies this server offers (OPC 10000-7 and OPC 10000-6,
// 6.7): what each signs and encrypts with, the lengths of its keys and
// nonces, and the symmetric keys both sides derive from the channel's nonces.

#include "Crypto.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ua {

inline constexpr const char* kPolicyUriNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
inline constexpr const char* kPolicyUriBasic256Sha256 = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
inline constexpr const char* kPolicyUriAes128Sha256RsaOaep =
    "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep";
inline constexpr const char* kPolicyUriAes256Sha256RsaPss =
    "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss";

// MessageSecurityMode (OPC 10000-4, 7.20).
enum class SecurityMode : std::int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };

struct SecurityPolicy {
    const char* uri;
    const char* name;  // "Basic256Sha256", as users read it
    bool none;         // SecurityPolicy None: nothing below applies
    crypto::SignatureScheme asymmetricSignature;
    const char* asymmetricSignatureUri;  // the SignatureData algorithm
    crypto::EncryptionScheme asymmetricEncryption;
    const char* asymmetricEncryptionUri;  // the UserNameIdentityToken encryptionAlgorithm
    std::size_t signingKeyLength;         // HMAC-SHA256 key: 32
    std::size_t encryptingKeyLength;      // AES key: 32 or 16
    std::size_t blockSize;                // AES: 16
    std::size_t symmetricSignatureSize;   // HMAC-SHA256: 32
    std::size_t nonceLength;              // 32
    std::size_t minKeyBytes;              // 2048 bits
    std::size_t maxKeyBytes;              // 4096 bits
};

// The policies, None first; the strongest after it.
const std::vector<const SecurityPolicy*>& AllPolicies();
// Null for a URI this server does not know.
const SecurityPolicy* FindPolicy(const std::string& uri);
const SecurityPolicy& PolicyNone();

// One direction's keys.
struct SymmetricKeys {
    ByteString signingKey;
    ByteString encryptingKey;
    ByteString iv;
};

// The keys of both directions (OPC 10000-6, 6.7.5): the client's, with which
// it signs and encrypts what it sends, are P_SHA256(serverNonce, clientNonce);
// the server's are P_SHA256(clientNonce, serverNonce).
struct ChannelKeys {
    SymmetricKeys client;
    SymmetricKeys server;
};
ChannelKeys DeriveChannelKeys(const SecurityPolicy& policy, const ByteString& clientNonce,
                              const ByteString& serverNonce);

}  // namespace ua
