#include "Crypto.h"

#include "CryptoNative.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ua::crypto {

namespace {

// OpenSSL's reason for the last failure, so that the log says more than "failed".
[[noreturn]] void Fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::string text = what;
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    throw CryptoError(text);
}

template <typename T, void (*Free)(T*)>
struct Owned {
    T* p = nullptr;
    Owned() = default;
    explicit Owned(T* value) : p(value) {}
    ~Owned() {
        if (p != nullptr) Free(p);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T* release() {
        T* out = p;
        p = nullptr;
        return out;
    }
};
using MdCtx = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using CipherCtx = Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using Bio = Owned<BIO, BIO_free_all>;

const unsigned char* Bytes(const ByteString& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* Bytes(ByteString& s) { return reinterpret_cast<unsigned char*>(s.data()); }

ByteString Digest(const EVP_MD* md, const ByteString& data) {
    ByteString out(static_cast<std::size_t>(EVP_MD_get_size(md)), '\0');
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), Bytes(out), &length, md, nullptr) != 1) Fail("digest");
    out.resize(length);
    return out;
}

void SetSignaturePadding(EVP_PKEY_CTX* ctx, SignatureScheme scheme) {
    if (scheme == SignatureScheme::RsaPssSha256) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) <= 0)
            Fail("RSA-PSS parameters");
    } else if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0) {
        Fail("RSA PKCS#1 parameters");
    }
}

void SetEncryptionPadding(EVP_PKEY_CTX* ctx, EncryptionScheme scheme) {
    const EVP_MD* md = scheme == EncryptionScheme::RsaOaepSha256 ? EVP_sha256() : EVP_sha1();
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0 || EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) <= 0)
        Fail("RSA-OAEP parameters");
}

std::size_t KeyBytes(EVP_PKEY* key) { return static_cast<std::size_t>(EVP_PKEY_get_size(key)); }

ByteString AesCbc(const ByteString& key, const ByteString& iv, const ByteString& data, bool encrypt) {
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_cbc() : key.size() == 32 ? EVP_aes_256_cbc() : nullptr;
    if (cipher == nullptr) throw CryptoError("an AES key of " + std::to_string(key.size()) + " bytes");
    if (iv.size() != 16) throw CryptoError("an AES IV of " + std::to_string(iv.size()) + " bytes");
    if (data.size() % 16 != 0) throw CryptoError("AES-CBC data not a multiple of the block size");
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (ctx.p == nullptr || EVP_CipherInit_ex(ctx.p, cipher, nullptr, Bytes(key), Bytes(iv), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.p, 0) != 1)
        Fail("AES-CBC set-up");
    ByteString out(data.size() + 16, '\0');
    int length = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.p, Bytes(out), &length, Bytes(data), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.p, Bytes(out) + length, &tail) != 1)
        Fail("AES-CBC");
    out.resize(static_cast<std::size_t>(length + tail));
    return out;
}

std::shared_ptr<Certificate::Handle> AdoptCertificate(X509* cert) {
    auto handle = std::make_shared<Certificate::Handle>();
    handle->cert = cert;
    handle->key = X509_get_pubkey(cert);
    if (handle->key == nullptr || EVP_PKEY_get_base_id(handle->key) != EVP_PKEY_RSA)
        throw CryptoError("a certificate without an RSA key");
    return handle;
}

void AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) Fail("certificate extension " + value);
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (added != 1) Fail("certificate extension");
}

bool IsIpAddress(const std::string& host) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
    if (ip == nullptr) return false;
    ASN1_OCTET_STRING_free(ip);
    return true;
}

// An address of subjectAltName as people write it: dotted IPv4, or IPv6 in
// groups of hex digits.
std::string IpText(const unsigned char* bytes, int length) {
    std::string text;
    char part[8];
    if (length == 4) {
        for (int i = 0; i < 4; ++i) {
            std::snprintf(part, sizeof part, i == 0 ? "%u" : ".%u", static_cast<unsigned>(bytes[i]));
            text += part;
        }
    } else if (length == 16) {
        for (int i = 0; i < 16; i += 2) {
            std::snprintf(part, sizeof part, i == 0 ? "%x" : ":%x", static_cast<unsigned>(bytes[i] << 8 | bytes[i + 1]));
            text += part;
        }
    }
    return text;
}

}  // namespace

namespace native {

std::string NameText(const X509_NAME* name) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (bio.p == nullptr) Fail("BIO");
    X509_NAME_print_ex(bio.p, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SPC_EQ);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.p, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::time_t AsTime(const ASN1_TIME* time) {
    struct tm parts;
    std::memset(&parts, 0, sizeof parts);
    if (ASN1_TIME_to_tm(time, &parts) != 1) throw CryptoError("a certificate time that cannot be read");
    return timegm(&parts);
}

std::string FirstUri(const X509* cert) {
    std::string uri;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) return uri;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && uri.empty(); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_URI) continue;
        const ASN1_IA5STRING* value = name->d.uniformResourceIdentifier;
        uri.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                   static_cast<std::size_t>(ASN1_STRING_length(value)));
    }
    GENERAL_NAMES_free(names);
    return uri;
}

}  // namespace native

using native::AsTime;
using native::NameText;

ByteString RandomBytes(std::size_t count) {
    ByteString out(count, '\0');
    if (count != 0 && RAND_bytes(Bytes(out), static_cast<int>(count)) != 1) Fail("random bytes");
    return out;
}

ByteString Sha1(const ByteString& data) { return Digest(EVP_sha1(), data); }
ByteString Sha256(const ByteString& data) { return Digest(EVP_sha256(), data); }

ByteString HmacSha256(const ByteString& key, const ByteString& data) {
    ByteString out(32, '\0');
    std::size_t length = 0;
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) Fail("HMAC");
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);
    if (ctx == nullptr) Fail("HMAC");
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    const bool ok = EVP_MAC_init(ctx, Bytes(key), key.size(), params) == 1 &&
                    EVP_MAC_update(ctx, Bytes(data), data.size()) == 1 &&
                    EVP_MAC_final(ctx, Bytes(out), &length, out.size()) == 1;
    EVP_MAC_CTX_free(ctx);
    if (!ok) Fail("HMAC-SHA256");
    out.resize(length);
    return out;
}

ByteString PSha256(const ByteString& secret, const ByteString& seed, std::size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    if (kdf == nullptr) Fail("TLS1-PRF");
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (ctx == nullptr) Fail("TLS1-PRF");
    char digest[] = "SHA256";
    // OpenSSL refuses an empty secret or seed; the policies' nonces are never empty.
    ByteString secretCopy = secret;
    ByteString seedCopy = seed;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secretCopy.data(), secretCopy.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seedCopy.data(), seedCopy.size()),
        OSSL_PARAM_construct_end()};
    ByteString out(length, '\0');
    const bool ok = EVP_KDF_derive(ctx, Bytes(out), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx);
    OPENSSL_cleanse(secretCopy.data(), secretCopy.size());
    if (!ok) Fail("P_SHA256");
    return out;
}

ByteString AesCbcEncrypt(const ByteString& key, const ByteString& iv, const ByteString& data) {
    return AesCbc(key, iv, data, true);
}

ByteString AesCbcDecrypt(const ByteString& key, const ByteString& iv, const ByteString& data) {
    return AesCbc(key, iv, data, false);
}

std::size_t OaepOverhead(EncryptionScheme scheme) { return scheme == EncryptionScheme::RsaOaepSha256 ? 66 : 42; }

// ---- PrivateKey ----

PrivateKey PrivateKey::Generate(int bits) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned int>(bits));
    if (key == nullptr) Fail("RSA key generation");
    auto handle = std::make_shared<Handle>();
    handle->key = key;
    return PrivateKey(std::move(handle));
}

PrivateKey PrivateKey::FromPem(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (bio.p == nullptr) Fail("BIO");
    // No pass phrase: without a callback of its own, OpenSSL would ask for
    // one on the terminal, and a service or `vok ua certs` would wait on it.
    pem_password_cb* noPassPhrase = [](char*, int, int, void*) { return 0; };
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.p, nullptr, noPassPhrase, nullptr);
    if (key == nullptr) Fail("a private key that cannot be read");
    auto handle = std::make_shared<Handle>();
    handle->key = key;
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) throw CryptoError("a private key that is not RSA");
    return PrivateKey(std::move(handle));
}

std::string PrivateKey::ToPem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (bio.p == nullptr || PEM_write_bio_PrivateKey(bio.p, handle_->key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        Fail("writing the private key");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.p, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::size_t PrivateKey::SizeBytes() const { return KeyBytes(handle_->key); }

ByteString PrivateKey::Sign(const ByteString& data, SignatureScheme scheme) const {
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (ctx.p == nullptr || EVP_DigestSignInit(ctx.p, &pctx, EVP_sha256(), nullptr, handle_->key) != 1)
        Fail("signing");
    SetSignaturePadding(pctx, scheme);
    std::size_t length = 0;
    if (EVP_DigestSign(ctx.p, nullptr, &length, Bytes(data), data.size()) != 1) Fail("signing");
    ByteString out(length, '\0');
    if (EVP_DigestSign(ctx.p, Bytes(out), &length, Bytes(data), data.size()) != 1) Fail("signing");
    out.resize(length);
    return out;
}

ByteString PrivateKey::Decrypt(const ByteString& data, EncryptionScheme scheme) const {
    const std::size_t block = SizeBytes();
    if (data.empty() || data.size() % block != 0) throw CryptoError("RSA ciphertext not a whole number of blocks");
    PkeyCtx ctx(EVP_PKEY_CTX_new(handle_->key, nullptr));
    if (ctx.p == nullptr || EVP_PKEY_decrypt_init(ctx.p) != 1) Fail("RSA decryption");
    SetEncryptionPadding(ctx.p, scheme);
    ByteString out;
    out.reserve(data.size());
    ByteString plain(block, '\0');
    for (std::size_t offset = 0; offset < data.size(); offset += block) {
        std::size_t length = plain.size();
        if (EVP_PKEY_decrypt(ctx.p, Bytes(plain), &length, Bytes(data) + offset, block) != 1)
            Fail("RSA decryption");
        out.append(plain.data(), length);
    }
    OPENSSL_cleanse(plain.data(), plain.size());
    return out;
}

// ---- Certificate ----

Certificate Certificate::FromDer(const ByteString& der) {
    const unsigned char* p = Bytes(der);
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) Fail("a certificate that cannot be read");
    if (p != Bytes(der) + der.size()) {
        X509_free(cert);
        throw CryptoError("bytes after the certificate");
    }
    return Certificate(AdoptCertificate(cert));
}

Certificate Certificate::FromPem(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (bio.p == nullptr) Fail("BIO");
    X509* cert = PEM_read_bio_X509(bio.p, nullptr, nullptr, nullptr);
    if (cert == nullptr) Fail("a certificate that cannot be read");
    return Certificate(AdoptCertificate(cert));
}

std::vector<Certificate> Certificate::FromDerChain(const ByteString& chain) {
    std::vector<Certificate> out;
    const unsigned char* p = Bytes(chain);
    const unsigned char* end = p + chain.size();
    while (p < end) {
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(end - p));
        if (cert == nullptr) Fail("a certificate chain that cannot be read");
        out.push_back(Certificate(AdoptCertificate(cert)));
        // A client's chain is its certificate and its issuers': a handful.
        if (out.size() > 16) throw CryptoError("a certificate chain of more than 16 certificates");
    }
    if (out.empty()) throw CryptoError("an empty certificate");
    return out;
}

Certificate Certificate::MakeSelfSigned(const PrivateKey& key, const std::string& commonName,
                                        const std::string& organization, const std::string& applicationUri,
                                        const std::vector<std::string>& hostNames, std::time_t notBefore,
                                        std::time_t notAfter) {
    X509* cert = X509_new();
    if (cert == nullptr) Fail("certificate");
    auto handle = std::make_shared<Handle>();
    handle->cert = cert;
    X509_set_version(cert, 2);
    // A positive 20-byte serial: the top bit clear.
    ByteString serial = RandomBytes(20);
    serial[0] = static_cast<char>(serial[0] & 0x7F);
    BIGNUM* number = BN_bin2bn(Bytes(serial), static_cast<int>(serial.size()), nullptr);
    if (number == nullptr || BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) == nullptr) {
        BN_free(number);
        Fail("serial number");
    }
    BN_free(number);
    if (ASN1_TIME_set(X509_getm_notBefore(cert), notBefore) == nullptr ||
        ASN1_TIME_set(X509_getm_notAfter(cert), notAfter) == nullptr)
        Fail("validity");
    X509_NAME* name = X509_get_subject_name(cert);
    const auto text = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.c_str()); };
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, text(commonName), -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, text(organization), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert, name) != 1 || X509_set_pubkey(cert, key.Native().key) != 1)
        Fail("certificate names");
    std::string altNames = "URI:" + applicationUri;
    for (const std::string& host : hostNames) {
        if (host.empty() || host.find_first_of(",\n\r") != std::string::npos) continue;
        altNames += (IsIpAddress(host) ? ",IP:" : ",DNS:") + host;
    }
    AddExtension(cert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, NID_key_usage,
                 "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign");
    AddExtension(cert, NID_ext_key_usage, "serverAuth,clientAuth");
    AddExtension(cert, NID_subject_key_identifier, "hash");
    AddExtension(cert, NID_authority_key_identifier, "keyid:always");
    AddExtension(cert, NID_subject_alt_name, altNames);
    if (X509_sign(cert, key.Native().key, EVP_sha256()) == 0) Fail("signing the certificate");
    handle->key = X509_get_pubkey(cert);
    if (handle->key == nullptr) Fail("certificate key");
    return Certificate(std::move(handle));
}

ByteString Certificate::Der() const {
    unsigned char* data = nullptr;
    const int length = i2d_X509(handle_->cert, &data);
    if (length <= 0) Fail("encoding the certificate");
    ByteString out(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    OPENSSL_free(data);
    return out;
}

std::string Certificate::Pem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (bio.p == nullptr || PEM_write_bio_X509(bio.p, handle_->cert) != 1) Fail("writing the certificate");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.p, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

ByteString Certificate::Thumbprint() const { return Sha1(Der()); }

std::string Certificate::ThumbprintHex() const { return Hex(Thumbprint()); }

std::string Certificate::Subject() const { return NameText(X509_get_subject_name(handle_->cert)); }

std::string Certificate::Issuer() const { return NameText(X509_get_issuer_name(handle_->cert)); }

std::string Certificate::ApplicationUri() const { return native::FirstUri(handle_->cert); }

std::vector<std::string> Certificate::HostNames() const {
    std::vector<std::string> out;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(handle_->cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) return out;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* value = name->d.dNSName;
            out.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                             static_cast<std::size_t>(ASN1_STRING_length(value)));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* value = name->d.iPAddress;
            out.push_back(IpText(ASN1_STRING_get0_data(value), ASN1_STRING_length(value)));
        }
    }
    GENERAL_NAMES_free(names);
    return out;
}

std::time_t Certificate::NotBefore() const { return AsTime(X509_get0_notBefore(handle_->cert)); }

std::time_t Certificate::NotAfter() const { return AsTime(X509_get0_notAfter(handle_->cert)); }

bool Certificate::IsSelfSigned() const {
    return X509_NAME_cmp(X509_get_subject_name(handle_->cert), X509_get_issuer_name(handle_->cert)) == 0 &&
           X509_verify(handle_->cert, handle_->key) == 1;
}

std::size_t Certificate::KeySizeBytes() const { return KeyBytes(handle_->key); }

bool Certificate::Verify(const ByteString& data, const ByteString& signature, SignatureScheme scheme) const {
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (ctx.p == nullptr || EVP_DigestVerifyInit(ctx.p, &pctx, EVP_sha256(), nullptr, handle_->key) != 1)
        Fail("verifying");
    SetSignaturePadding(pctx, scheme);
    const bool ok = EVP_DigestVerify(ctx.p, Bytes(signature), signature.size(), Bytes(data), data.size()) == 1;
    ERR_clear_error();
    return ok;
}

ByteString Certificate::Encrypt(const ByteString& data, EncryptionScheme scheme) const {
    const std::size_t block = KeySizeBytes();
    const std::size_t plainPerBlock = block - OaepOverhead(scheme);
    PkeyCtx ctx(EVP_PKEY_CTX_new(handle_->key, nullptr));
    if (ctx.p == nullptr || EVP_PKEY_encrypt_init(ctx.p) != 1) Fail("RSA encryption");
    SetEncryptionPadding(ctx.p, scheme);
    ByteString out;
    out.reserve((data.size() / plainPerBlock + 1) * block);
    ByteString cipher(block, '\0');
    std::size_t offset = 0;
    do {
        const std::size_t count = std::min(plainPerBlock, data.size() - offset);
        std::size_t length = cipher.size();
        if (EVP_PKEY_encrypt(ctx.p, Bytes(cipher), &length, Bytes(data) + offset, count) != 1) Fail("RSA encryption");
        out.append(cipher.data(), length);
        offset += count;
    } while (offset < data.size());
    return out;
}

std::string Hex(const ByteString& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

}  // namespace ua::crypto
