#include "ua/CertificateStore.h"

#include "Crypto.h"
#include "CryptoNative.h"
#include "foundation/CLogFile.h"
#include "platform/PrivateFile.h"
#include "platform/Registry.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace ua {

namespace fs = std::filesystem;
using namespace status;

namespace {

constexpr const char* kOwnName = "VOKExplorer";
// A flood of unknown clients must not fill the disk.
constexpr std::size_t kMaxRejected = 100;
// Bigger files in the certificate folders are not certificates; revocation
// lists of a large CA may be bigger.
constexpr std::uintmax_t kMaxCertificateFile = 1 << 20;
constexpr std::uintmax_t kMaxCrlFile = 32 << 20;
constexpr std::size_t kMaxFileNameStem = 64;
constexpr std::time_t kFiveYears = 5 * 365 * 24 * 3600 + 24 * 3600;

using X509Ptr = std::shared_ptr<X509>;
using CrlPtr = std::shared_ptr<X509_CRL>;

X509Ptr Adopt(X509* cert) { return X509Ptr(cert, X509_free); }
CrlPtr Adopt(X509_CRL* crl) { return CrlPtr(crl, X509_CRL_free); }

bool ReadFile(const std::string& path, std::uintmax_t limit, std::string& bytes) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > limit) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return !in.bad();
}

// A certificate file as the folders hold them: DER, or PEM from an
// administrator's copy.
X509Ptr ParseCertificate(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    if (cert == nullptr) {
        BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        if (bio != nullptr) cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
    }
    ERR_clear_error();
    return cert == nullptr ? nullptr : Adopt(cert);
}

CrlPtr ParseCrl(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size()));
    if (crl == nullptr) {
        BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        if (bio != nullptr) crl = PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
    }
    ERR_clear_error();
    return crl == nullptr ? nullptr : Adopt(crl);
}

std::string Thumbprint(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha1(), digest, &length) != 1) return {};
    return crypto::Hex(ByteString(reinterpret_cast<const char*>(digest), length));
}

std::string CommonName(X509* cert) {
    const X509_NAME* name = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) return {};
    unsigned char* text = nullptr;
    const int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length < 0) return {};
    std::string out(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    OPENSSL_free(text);
    return out;
}

std::time_t TimeOr(const ASN1_TIME* time, std::time_t fallback) {
    try {
        return crypto::native::AsTime(time);
    } catch (const crypto::CryptoError&) {
        return fallback;
    }
}

CertificateInfo InfoOf(X509* cert, const std::string& file) {
    CertificateInfo info;
    info.thumbprint = Thumbprint(cert);
    info.subject = crypto::native::NameText(X509_get_subject_name(cert));
    info.issuer = crypto::native::NameText(X509_get_issuer_name(cert));
    info.applicationUri = crypto::native::FirstUri(cert);
    info.notBefore = TimeOr(X509_get0_notBefore(cert), 0);
    info.notAfter = TimeOr(X509_get0_notAfter(cert), 0);
    info.file = file;
    return info;
}

// The subject's CN as a file name: it comes from whoever connects, so no
// path separators, no control characters, no leading dot, bounded length.
std::string SafeStem(const std::string& commonName) {
    std::string out;
    for (char c : commonName) {
        const auto b = static_cast<unsigned char>(c);
        out += (b < 0x20 || b == 0x7F || c == '/' || c == '\\') ? '_' : c;
    }
    if (out.size() > kMaxFileNameStem) {
        out.resize(kMaxFileNameStem);
        // Not half a UTF-8 sequence at the end.
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
        if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0x80) != 0) out.pop_back();
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (!out.empty() && out.front() == '.') out.front() = '_';
    return out.empty() ? "certificate" : out;
}

std::string FileNameFor(X509* cert) { return SafeStem(CommonName(cert)) + " [" + Thumbprint(cert) + "].der"; }

ByteString DerOf(X509* cert) {
    unsigned char* data = nullptr;
    const int length = i2d_X509(cert, &data);
    if (length <= 0) return {};
    ByteString out(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    OPENSSL_free(data);
    return out;
}

// A public file, written whole or not at all.
bool WritePublicFile(const std::string& path, const std::string& bytes, std::string& error) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            error = "cannot write " + temporary;
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = "cannot write " + path + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    platform::GiveToOwnerOfFolder(path);
    return true;
}

bool MakeFolder(const fs::path& folder, bool privateFolder, std::string& error) {
    std::error_code ec;
    // Each level made here goes to the owner of the level above (sudo).
    fs::path made;
    for (const auto& level : folder) {
        made /= level;
        if (fs::exists(made, ec)) continue;
        if (!fs::create_directory(made, ec) && ec) {
            error = "cannot make the folder " + made.string() + ": " + ec.message();
            return false;
        }
        platform::GiveToOwnerOfFolder(made.string());
    }
    if (privateFolder) {
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
        if (ec) {
            error = "cannot restrict the folder " + folder.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

std::string NormalizedThumbprint(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ':' || c == ' ') continue;
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool IsThumbprint(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
           });
}

struct VerifyContext {
    const std::set<std::string>* configured = nullptr;  // thumbprints of trusted/ and issuers/
};

int VerifyIndex() {
    static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Revocation is known for certificates a configured CA issued: such a CA
// without a revocation list is a fault of the configuration. A CA only the
// client sent cannot be asked, and the top of the chain is trusted or not
// as a whole, so the missing list does not count there.
int VerifyCallback(int ok, X509_STORE_CTX* ctx) {
    if (ok != 0 || X509_STORE_CTX_get_error(ctx) != X509_V_ERR_UNABLE_TO_GET_CRL) return ok;
    const auto* context = static_cast<const VerifyContext*>(X509_STORE_CTX_get_ex_data(ctx, VerifyIndex()));
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    const int depth = X509_STORE_CTX_get_error_depth(ctx);
    if (context == nullptr || chain == nullptr || depth + 1 >= sk_X509_num(chain)) return 1;
    X509* issuer = sk_X509_value(chain, depth + 1);
    return context->configured->count(Thumbprint(issuer)) != 0 ? 0 : 1;
}

StatusCode StatusOf(int error, int depth) {
    const bool leaf = depth == 0;
    switch (error) {
        case X509_V_OK:
            return Good;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_EE_KEY_TOO_SMALL:
        case X509_V_ERR_CA_KEY_TOO_SMALL:
        case X509_V_ERR_CA_MD_TOO_WEAK:
            return BadSecurityChecksFailed;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return BadCertificateChainIncomplete;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return BadCertificateUntrusted;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return leaf ? BadCertificateTimeInvalid : BadCertificateIssuerTimeInvalid;
        case X509_V_ERR_CERT_REVOKED:
            return leaf ? BadCertificateRevoked : BadCertificateIssuerRevoked;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
            return leaf ? BadCertificateRevocationUnknown : BadCertificateIssuerRevocationUnknown;
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_INVALID_PURPOSE:
            return leaf ? BadCertificateUseNotAllowed : BadCertificateIssuerUseNotAllowed;
        default:
            return BadCertificateInvalid;
    }
}

const char* Describe(StatusCode status) {
    switch (status) {
        case BadCertificateInvalid: return "not a usable certificate (Bad_CertificateInvalid)";
        case BadCertificateTimeInvalid: return "outside its validity (Bad_CertificateTimeInvalid)";
        case BadCertificateIssuerTimeInvalid: return "an issuer outside its validity (Bad_CertificateIssuerTimeInvalid)";
        case BadCertificateUriInvalid: return "no ApplicationUri (Bad_CertificateUriInvalid)";
        case BadCertificateUseNotAllowed: return "key usage not for a client (Bad_CertificateUseNotAllowed)";
        case BadCertificateIssuerUseNotAllowed: return "an issuer not allowed to sign certificates (Bad_CertificateIssuerUseNotAllowed)";
        case BadSecurityChecksFailed: return "a signature that does not verify (Bad_SecurityChecksFailed)";
        case BadCertificateChainIncomplete: return "issuer unknown (Bad_CertificateChainIncomplete)";
        case BadCertificateRevoked: return "revoked (Bad_CertificateRevoked)";
        case BadCertificateIssuerRevoked: return "an issuer revoked (Bad_CertificateIssuerRevoked)";
        case BadCertificateRevocationUnknown: return "no revocation list of its CA (Bad_CertificateRevocationUnknown)";
        case BadCertificateIssuerRevocationUnknown:
            return "no revocation list for an issuer (Bad_CertificateIssuerRevocationUnknown)";
        case BadCertificateUntrusted: return "not trusted (Bad_CertificateUntrusted), copied to rejected/";
        default: return "refused";
    }
}

}  // namespace

struct CertificateStore::State {
    // One parsed file of a certificate folder, kept while the file is unchanged.
    struct Entry {
        fs::file_time_type written;
        std::uintmax_t size = 0;
        X509Ptr cert;
        CrlPtr crl;
        std::string thumbprint;
    };
    std::mutex mutex;
    std::map<std::string, Entry> cache;  // by path
    std::shared_ptr<const crypto::Certificate> ownCertificate;
    std::shared_ptr<const crypto::PrivateKey> ownKey;

    // The certificates (or revocation lists) of a folder, parsed again only
    // for files that changed since the last look. Caller holds the mutex.
    std::vector<std::pair<std::string, const Entry*>> Read(const fs::path& folder, bool crls) {
        std::vector<std::pair<std::string, const Entry*>> out;
        std::error_code ec;
        std::set<std::string> seen;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code statError;
            if (!it->is_regular_file(statError)) continue;
            const std::string path = it->path().string();
            if (path.ends_with(".tmp")) continue;
            const auto written = fs::last_write_time(path, statError);
            const auto size = fs::file_size(path, statError);
            if (statError) continue;
            seen.insert(path);
            auto found = cache.find(path);
            if (found == cache.end() || found->second.written != written || found->second.size != size) {
                Entry entry;
                entry.written = written;
                entry.size = size;
                std::string bytes;
                if (ReadFile(path, crls ? kMaxCrlFile : kMaxCertificateFile, bytes)) {
                    if (crls) entry.crl = ParseCrl(bytes);
                    else entry.cert = ParseCertificate(bytes);
                }
                if (entry.cert) entry.thumbprint = Thumbprint(entry.cert.get());
                found = cache.insert_or_assign(path, std::move(entry)).first;
            }
            if (found->second.cert || found->second.crl) out.emplace_back(path, &found->second);
        }
        // Forget the files of this folder that are gone.
        const std::string prefix = (folder / "").string();
        for (auto it = cache.lower_bound(prefix); it != cache.end() && it->first.starts_with(prefix);) {
            const bool direct = it->first.find('/', prefix.size()) == std::string::npos;
            if (direct && seen.count(it->first) == 0) it = cache.erase(it);
            else ++it;
        }
        return out;
    }
};

std::string CertificateStore::DefaultFolder() {
    fs::path registry(platform::RegistryFolder());
    // "~/.config/vok/registry/" names the same folder as without the slash.
    if (!registry.has_filename()) registry = registry.parent_path();
    return (registry.parent_path() / "pki").string();
}

CertificateStore::CertificateStore(std::string folder) : folder_(std::move(folder)), state_(std::make_unique<State>()) {}

CertificateStore::~CertificateStore() = default;

bool CertificateStore::LoadOrCreateOwn(const std::string& applicationUri, const std::vector<std::string>& hostNames,
                                       std::string& error) {
    const fs::path root(folder_);
    for (const char* sub : {"own/certs", "trusted/certs", "trusted/crl", "rejected/certs", "issuers/certs", "issuers/crl"})
        if (!MakeFolder(root / sub, false, error)) return false;
    if (!MakeFolder(root / "own/private", true, error)) return false;
    const std::string keyPath = (root / "own/private" / (std::string(kOwnName) + ".pem")).string();
    const std::string certPath = (root / "own/certs" / (std::string(kOwnName) + ".der")).string();

    std::shared_ptr<const crypto::PrivateKey> key;
    std::error_code ec;
    if (fs::exists(keyPath, ec)) {
        std::string pem;
        if (!ReadFile(keyPath, kMaxCertificateFile, pem)) {
            error = "the private key " + keyPath + " cannot be read; it is left as it is";
            return false;
        }
        try {
            key = std::make_shared<const crypto::PrivateKey>(crypto::PrivateKey::FromPem(pem));
        } catch (const crypto::CryptoError& e) {
            error = "the private key " + keyPath + " is damaged (" + e.what() + "); it is left as it is";
            return false;
        }
        if (key->SizeBytes() < 256 || key->SizeBytes() > 512) {
            error = "the private key " + keyPath + " is not of 2048 to 4096 bits; it is left as it is";
            return false;
        }
        // A key others could read is a key others may have: at least close it now.
        const auto perms = fs::status(keyPath, ec).permissions();
        if (!ec && (perms & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none) {
            fs::permissions(keyPath, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
            EventLog().Append("OPC UA private key was readable by others, now 0600:").Append(keyPath).Commit(
                CLogFile::kWrite);
        }
    }

    std::shared_ptr<const crypto::Certificate> cert;
    if (key != nullptr) {
        std::string der;
        if (ReadFile(certPath, kMaxCertificateFile, der)) {
            try {
                auto loaded = std::make_shared<const crypto::Certificate>(crypto::Certificate::FromDer(der));
                // The certificate must belong to the key and still name this
                // application; otherwise a new one is made for the same key.
                if (EVP_PKEY_eq(loaded->Native().key, key->Native().key) == 1 &&
                    loaded->ApplicationUri() == applicationUri)
                    cert = std::move(loaded);
            } catch (const crypto::CryptoError&) {
            }
        }
        if (cert == nullptr)
            EventLog().Append("OPC UA certificate missing, damaged or of another ApplicationUri, renewed for").Append(
                applicationUri).Commit(CLogFile::kWrite);
    }

    try {
        if (key == nullptr) {
            key = std::make_shared<const crypto::PrivateKey>(crypto::PrivateKey::Generate(2048));
            if (!platform::WritePrivateFile(keyPath, key->ToPem(), error)) return false;
            platform::GiveToOwnerOfFolder(keyPath);
        }
        if (cert == nullptr) {
            const std::string host = hostNames.empty() ? std::string("localhost") : hostNames.front();
            const std::time_t now = std::time(nullptr);
            cert = std::make_shared<const crypto::Certificate>(crypto::Certificate::MakeSelfSigned(
                *key, "VOK Explorer@" + host, "VOK", applicationUri, hostNames, now - 3600, now + kFiveYears));
            if (!WritePublicFile(certPath, cert->Der(), error)) return false;
        }
    } catch (const crypto::CryptoError& e) {
        error = std::string("cannot make the server's certificate: ") + e.what();
        return false;
    }
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->ownKey = std::move(key);
    state_->ownCertificate = std::move(cert);
    return true;
}

std::shared_ptr<const crypto::Certificate> CertificateStore::OwnCertificate() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->ownCertificate;
}

std::shared_ptr<const crypto::PrivateKey> CertificateStore::OwnKey() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->ownKey;
}

std::optional<CertificateInfo> CertificateStore::OwnInfo() const {
    const std::string path = (fs::path(folder_) / "own/certs" / (std::string(kOwnName) + ".der")).string();
    std::string bytes;
    if (!ReadFile(path, kMaxCertificateFile, bytes)) return std::nullopt;
    const X509Ptr cert = ParseCertificate(bytes);
    if (!cert) return std::nullopt;
    return InfoOf(cert.get(), path);
}

StatusCode CertificateStore::Validate(const ByteString& derChain, std::time_t now) const {
    std::string subject = "(unreadable)";
    std::string thumb = crypto::Hex(crypto::Sha1(derChain)).substr(0, 40);
    const auto refuse = [&](StatusCode status, const std::string& reason) {
        EventLog().Append("OPC UA client certificate refused:").Append(subject + " [" + thumb + "]").Append(reason).Commit(
            CLogFile::kWrite);
        return status;
    };

    std::vector<X509Ptr> chain;
    {
        const auto* p = reinterpret_cast<const unsigned char*>(derChain.data());
        const auto* end = p + derChain.size();
        while (p < end) {
            X509* cert = d2i_X509(nullptr, &p, static_cast<long>(end - p));
            if (cert == nullptr || chain.size() >= 16) {
                X509_free(cert);
                ERR_clear_error();
                return refuse(BadCertificateInvalid, Describe(BadCertificateInvalid));
            }
            chain.push_back(Adopt(cert));
        }
    }
    if (chain.empty()) return refuse(BadCertificateInvalid, "an empty certificate (Bad_CertificateInvalid)");
    X509* leaf = chain.front().get();
    thumb = Thumbprint(leaf);
    subject = crypto::native::NameText(X509_get_subject_name(leaf));

    // The checks on the certificate itself, in the order a client's
    // administrator fixes them.
    const int beforeNow = X509_cmp_time(X509_get0_notBefore(leaf), &now);
    const int afterNow = X509_cmp_time(X509_get0_notAfter(leaf), &now);
    if (beforeNow == 0 || afterNow == 0) return refuse(BadCertificateInvalid, "unreadable validity (Bad_CertificateInvalid)");
    if (beforeNow > 0 || afterNow < 0) return refuse(BadCertificateTimeInvalid, Describe(BadCertificateTimeInvalid));
    if (crypto::native::FirstUri(leaf).empty()) return refuse(BadCertificateUriInvalid, Describe(BadCertificateUriInvalid));
    // A client signs its messages and has keys sent to it encrypted; an
    // application certificate without the key usage extension is not one.
    const std::uint32_t usage = X509_get_key_usage(leaf);
    if (usage == UINT32_MAX || (usage & KU_DIGITAL_SIGNATURE) == 0 ||
        (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) == 0)
        return refuse(BadCertificateUseNotAllowed, Describe(BadCertificateUseNotAllowed));
    const std::uint32_t extended = X509_get_extended_key_usage(leaf);
    if (extended != UINT32_MAX && (extended & XKU_SSL_CLIENT) == 0)
        return refuse(BadCertificateUseNotAllowed, "extended key usage without clientAuth (Bad_CertificateUseNotAllowed)");
    EVP_PKEY* publicKey = X509_get0_pubkey(leaf);
    if (publicKey == nullptr || EVP_PKEY_get_base_id(publicKey) != EVP_PKEY_RSA || EVP_PKEY_get_bits(publicKey) < 2048 ||
        EVP_PKEY_get_bits(publicKey) > 4096) {
        ERR_clear_error();
        return refuse(BadCertificateInvalid, "not an RSA key of 2048 to 4096 bits (Bad_CertificateInvalid)");
    }

    const fs::path root(folder_);
    // Sound but unknown: kept in rejected/ (once) for an administrator to trust.
    const auto rejectUnknown = [&]() {
        const fs::path rejected = root / "rejected/certs";
        std::string ignored;
        if (MakeFolder(rejected, false, ignored)) {
            std::lock_guard<std::mutex> guard(state_->mutex);
            std::error_code ec;
            bool present = false;
            std::vector<std::pair<fs::file_time_type, fs::path>> files;
            const std::string marker = "[" + thumb + "].der";
            for (fs::directory_iterator it(rejected, ec), end; !ec && it != end; it.increment(ec)) {
                std::error_code statError;
                if (!it->is_regular_file(statError)) continue;
                if (it->path().filename().string().ends_with(marker)) present = true;
                files.emplace_back(fs::last_write_time(it->path(), statError), it->path());
            }
            if (!present) {
                std::sort(files.begin(), files.end());
                // Room for the new one: the oldest go.
                for (std::size_t i = 0; i + kMaxRejected <= files.size(); ++i) fs::remove(files[i].second, ec);
                WritePublicFile((rejected / FileNameFor(leaf)).string(), DerOf(leaf), ignored);
            }
        }
        return refuse(BadCertificateUntrusted, Describe(BadCertificateUntrusted));
    };
    std::unique_lock<std::mutex> lock(state_->mutex);
    const auto trusted = state_->Read(root / "trusted/certs", false);
    const auto issuers = state_->Read(root / "issuers/certs", false);
    const auto trustedCrls = state_->Read(root / "trusted/crl", true);
    const auto issuerCrls = state_->Read(root / "issuers/crl", true);

    std::set<std::string> trustedThumbs;
    std::set<std::string> configured;
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
        sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!store || !untrusted || !ctx) return refuse(BadCertificateInvalid, "out of memory (Bad_CertificateInvalid)");
    for (const auto* list : {&trusted, &issuers}) {
        for (const auto& [path, entry] : *list) {
            X509_STORE_add_cert(store.get(), entry->cert.get());
            configured.insert(entry->thumbprint);
            if (list == &trusted) trustedThumbs.insert(entry->thumbprint);
        }
    }
    for (const auto* list : {&trustedCrls, &issuerCrls})
        for (const auto& [path, entry] : *list) X509_STORE_add_crl(store.get(), entry->crl.get());
    lock.unlock();
    ERR_clear_error();  // duplicates in the folders are harmless

    // Self-signed: its own name as issuer and no other key named as the
    // signer (X509_check_issued would also ask for keyCertSign, which many
    // clients' certificates rightly lack).
    const ASN1_OCTET_STRING* authorityKey = X509_get0_authority_key_id(leaf);
    const ASN1_OCTET_STRING* ownKey = X509_get0_subject_key_id(leaf);
    const bool selfSigned = X509_NAME_cmp(X509_get_subject_name(leaf), X509_get_issuer_name(leaf)) == 0 &&
                            (authorityKey == nullptr ||
                             (ownKey != nullptr && ASN1_OCTET_STRING_cmp(authorityKey, ownKey) == 0));
    if (selfSigned) {
        // A self-signed client (the usual case) is trusted as exactly this
        // certificate. OpenSSL's chain building is not asked: with several
        // certificates of one name and key in trusted/ (a client that
        // renewed its certificate) it may take another one for the issuer
        // and call this one untrusted.
        const int verified = X509_verify(leaf, publicKey);
        ERR_clear_error();
        if (verified != 1) return refuse(BadSecurityChecksFailed, Describe(BadSecurityChecksFailed));
        if (trustedThumbs.count(thumb) != 0) return Good;
        return rejectUnknown();
    }

    // A self-signed CA the client sends along completes its chain, and
    // leaves the trust to the comparison with trusted/ below.
    for (std::size_t i = 1; i < chain.size(); ++i) {
        X509* cert = chain[i].get();
        if ((X509_get_extension_flags(cert) & EXFLAG_SS) != 0) X509_STORE_add_cert(store.get(), cert);
        sk_X509_push(untrusted.get(), cert);
    }
    ERR_clear_error();
    X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL | X509_V_FLAG_CHECK_SS_SIGNATURE);
    X509_STORE_set_verify_cb(store.get(), VerifyCallback);
    VerifyContext context{&configured};
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get()) != 1 ||
        X509_STORE_CTX_set_ex_data(ctx.get(), VerifyIndex(), &context) != 1) {
        ERR_clear_error();
        return refuse(BadCertificateInvalid, "out of memory (Bad_CertificateInvalid)");
    }
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), now);
    const int verified = X509_verify_cert(ctx.get());
    ERR_clear_error();
    if (verified != 1) {
        const int error = X509_STORE_CTX_get_error(ctx.get());
        const StatusCode status = StatusOf(error, X509_STORE_CTX_get_error_depth(ctx.get()));
        if (status != BadCertificateUntrusted)
            return refuse(status, std::string(Describe(status)) + ": " + X509_verify_cert_error_string(error));
    } else {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; built != nullptr && i < sk_X509_num(built); ++i)
            if (trustedThumbs.count(Thumbprint(sk_X509_value(built, i))) != 0) return Good;
    }

    return rejectUnknown();
}

std::vector<CertificateInfo> CertificateStore::Certificates(List which) const {
    const char* sub = which == List::Trusted    ? "trusted/certs"
                      : which == List::Rejected ? "rejected/certs"
                      : which == List::Issuers  ? "issuers/certs"
                                                : "own/certs";
    std::vector<CertificateInfo> out;
    std::lock_guard<std::mutex> guard(state_->mutex);
    for (const auto& [path, entry] : state_->Read(fs::path(folder_) / sub, false))
        out.push_back(InfoOf(entry->cert.get(), path));
    std::sort(out.begin(), out.end(), [](const CertificateInfo& a, const CertificateInfo& b) { return a.file < b.file; });
    return out;
}

bool CertificateStore::Trust(const std::string& fileOrThumbprint, std::string& error) {
    const fs::path root(folder_);
    if (!MakeFolder(root / "trusted/certs", false, error) || !MakeFolder(root / "rejected/certs", false, error))
        return false;
    const std::string thumb = NormalizedThumbprint(fileOrThumbprint);
    std::error_code ec;
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (IsThumbprint(thumb) && !fs::exists(fileOrThumbprint, ec)) {
        for (const auto& [path, entry] : state_->Read(root / "trusted/certs", false))
            if (entry->thumbprint == thumb) return true;  // already trusted
        for (const auto& [path, entry] : state_->Read(root / "rejected/certs", false)) {
            if (entry->thumbprint != thumb) continue;
            const std::string target = (root / "trusted/certs" / FileNameFor(entry->cert.get())).string();
            fs::rename(path, target, ec);
            if (ec) {
                error = "cannot move " + path + " to trusted/: " + ec.message();
                return false;
            }
            platform::GiveToOwnerOfFolder(target);
            return true;
        }
        error = "no rejected certificate has the thumbprint " + thumb;
        return false;
    }
    std::string bytes;
    if (!ReadFile(fileOrThumbprint, kMaxCertificateFile, bytes)) {
        error = "cannot read " + fileOrThumbprint + " (neither a readable file nor a thumbprint of 40 hex digits)";
        return false;
    }
    const X509Ptr cert = ParseCertificate(bytes);
    if (!cert) {
        error = fileOrThumbprint + " holds no certificate (DER or PEM)";
        return false;
    }
    const std::string fileThumb = Thumbprint(cert.get());
    if (!WritePublicFile((root / "trusted/certs" / FileNameFor(cert.get())).string(), DerOf(cert.get()), error))
        return false;
    // No longer waiting in rejected/.
    for (const auto& [path, entry] : state_->Read(root / "rejected/certs", false))
        if (entry->thumbprint == fileThumb) fs::remove(path, ec);
    return true;
}

bool CertificateStore::Reject(const std::string& thumbprint, std::string& error) {
    const fs::path root(folder_);
    const std::string thumb = NormalizedThumbprint(thumbprint);
    if (!IsThumbprint(thumb)) {
        error = "\"" + thumbprint + "\" is not a thumbprint of 40 hex digits";
        return false;
    }
    if (!MakeFolder(root / "rejected/certs", false, error)) return false;
    std::lock_guard<std::mutex> guard(state_->mutex);
    bool found = false;
    for (const auto& [path, entry] : state_->Read(root / "trusted/certs", false)) {
        if (entry->thumbprint != thumb) continue;
        const std::string target = (root / "rejected/certs" / FileNameFor(entry->cert.get())).string();
        std::error_code ec;
        fs::rename(path, target, ec);
        if (ec) {
            error = "cannot move " + path + " to rejected/: " + ec.message();
            return false;
        }
        platform::GiveToOwnerOfFolder(target);
        found = true;  // every copy of it, whatever its file name
    }
    if (!found) error = "no trusted certificate has the thumbprint " + thumb;
    return found;
}

}  // namespace ua
