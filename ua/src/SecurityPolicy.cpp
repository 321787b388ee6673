#include "SecurityPolicy.h"

namespace ua {

namespace {

constexpr const char* kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr const char* kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr const char* kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr const char* kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

const SecurityPolicy kNone{kPolicyUriNone, "None", true, crypto::SignatureScheme::RsaPkcs1Sha256, "",
                           crypto::EncryptionScheme::RsaOaepSha1, "", 0, 0, 0, 0, 0, 0, 0};

const SecurityPolicy kBasic256Sha256{kPolicyUriBasic256Sha256,
                                     "Basic256Sha256",
                                     false,
                                     crypto::SignatureScheme::RsaPkcs1Sha256,
                                     kRsaSha256,
                                     crypto::EncryptionScheme::RsaOaepSha1,
                                     kRsaOaep,
                                     32,
                                     32,
                                     16,
                                     32,
                                     32,
                                     256,
                                     512};

const SecurityPolicy kAes128Sha256RsaOaep{kPolicyUriAes128Sha256RsaOaep,
                                          "Aes128_Sha256_RsaOaep",
                                          false,
                                          crypto::SignatureScheme::RsaPkcs1Sha256,
                                          kRsaSha256,
                                          crypto::EncryptionScheme::RsaOaepSha1,
                                          kRsaOaep,
                                          32,
                                          16,
                                          16,
                                          32,
                                          32,
                                          256,
                                          512};

const SecurityPolicy kAes256Sha256RsaPss{kPolicyUriAes256Sha256RsaPss,
                                         "Aes256_Sha256_RsaPss",
                                         false,
                                         crypto::SignatureScheme::RsaPssSha256,
                                         kRsaPssSha256,
                                         crypto::EncryptionScheme::RsaOaepSha256,
                                         kRsaOaepSha256,
                                         32,
                                         32,
                                         16,
                                         32,
                                         32,
                                         256,
                                         512};

SymmetricKeys Split(const SecurityPolicy& policy, const ByteString& secret, const ByteString& seed) {
    const std::size_t total = policy.signingKeyLength + policy.encryptingKeyLength + policy.blockSize;
    const ByteString bytes = crypto::PSha256(secret, seed, total);
    SymmetricKeys keys;
    keys.signingKey = bytes.substr(0, policy.signingKeyLength);
    keys.encryptingKey = bytes.substr(policy.signingKeyLength, policy.encryptingKeyLength);
    keys.iv = bytes.substr(policy.signingKeyLength + policy.encryptingKeyLength, policy.blockSize);
    return keys;
}

}  // namespace

const std::vector<const SecurityPolicy*>& AllPolicies() {
    static const std::vector<const SecurityPolicy*> all{&kNone, &kBasic256Sha256, &kAes256Sha256RsaPss,
                                                        &kAes128Sha256RsaOaep};
    return all;
}

const SecurityPolicy* FindPolicy(const std::string& uri) {
    for (const SecurityPolicy* policy : AllPolicies())
        if (uri == policy->uri) return policy;
    return nullptr;
}

const SecurityPolicy& PolicyNone() { return kNone; }

ChannelKeys DeriveChannelKeys(const SecurityPolicy& policy, const ByteString& clientNonce,
                              const ByteString& serverNonce) {
    ChannelKeys keys;
    keys.client = Split(policy, serverNonce, clientNonce);
    keys.server = Split(policy, clientNonce, serverNonce);
    return keys;
}

}  // namespace ua
