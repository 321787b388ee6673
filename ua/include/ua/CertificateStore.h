#pragma once
// The OPC UA certificate folders ("PKI"), laid out as other OPC UA
// applications lay them out, beside the program's settings:
//
//   own/certs/VOKExplorer.der     the server's application instance certificate
//   own/private/VOKExplorer.pem   its private key, readable by the program's user only (0600)
//   trusted/certs/                client certificates (DER) an administrator trusted
//   trusted/crl/                  revocation lists of trusted CAs
//   rejected/certs/               client certificates refused as unknown, to be trusted or left
//   issuers/certs/  issuers/crl/  CA certificates and their revocation lists that complete
//                                 a client's chain without making its certificates trusted
//
// Certificate files are named "<subject CN> [<thumbprint>].der". The folders
// are read at each check, so that a certificate trusted with `vok ua certs
// trust` counts at the next connection without a restart. Thread-safe.

#include "ua/Types.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ua {

namespace crypto {
class Certificate;
class PrivateKey;
}  // namespace crypto

struct CertificateInfo {
    std::string thumbprint;      // 40 upper-case hex digits (SHA-1 of the DER)
    std::string subject;         // "CN=..., O=..."
    std::string applicationUri;  // from subjectAltName; empty without
    std::string issuer;
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    std::string file;            // the path it is kept at
};

class CertificateStore {
public:
    // The folder beside the settings: "<settings folder>/../pki", i.e.
    // ~/.config/vok/pki, or /var/lib/vok/pki for the system service.
    static std::string DefaultFolder();

    explicit CertificateStore(std::string folder);
    ~CertificateStore();
    CertificateStore(const CertificateStore&) = delete;
    CertificateStore& operator=(const CertificateStore&) = delete;

    const std::string& Folder() const { return folder_; }

    // Loads the own certificate and key, or, when there is none, makes them
    // (RSA 2048, SHA-256, self-signed, valid from an hour ago for 5 years,
    // subjectAltName with applicationUri and hostNames) and writes them, the
    // key with mode 0600; the folders are made as needed. False with the
    // reason (an unreadable or damaged key is reported, never replaced).
    bool LoadOrCreateOwn(const std::string& applicationUri, const std::vector<std::string>& hostNames,
                         std::string& error);
    // After LoadOrCreateOwn succeeded; null before.
    std::shared_ptr<const crypto::Certificate> OwnCertificate() const;
    std::shared_ptr<const crypto::PrivateKey> OwnKey() const;
    // Without loading the key (`vok ua certs show`); nullopt when there is none.
    std::optional<CertificateInfo> OwnInfo() const;

    // Checks a client's certificate field (its certificate, possibly followed
    // by issuer certificates): it must parse (Bad_CertificateInvalid), be
    // within its validity (Bad_CertificateTimeInvalid), carry an
    // ApplicationUri (Bad_CertificateUriInvalid) and the key usages a client
    // needs (digitalSignature and, with keyEncipherment or dataEncipherment,
    // Bad_CertificateUseNotAllowed otherwise), have a key of 2048 to 4096
    // bits (Bad_CertificateInvalid), verify against its issuer or itself
    // (Bad_SecurityChecksFailed / Bad_CertificateChainIncomplete), not be
    // revoked by a CRL of its issuer (Bad_CertificateRevoked, and
    // Bad_CertificateRevocationUnknown when the issuer is a configured CA
    // without a CRL), and be trusted: itself in trusted/, or issued by a CA
    // in trusted/. An otherwise sound certificate that is not trusted answers
    // Bad_CertificateUntrusted and is copied to rejected/ (once). Every
    // refusal is written to the event log with the subject and thumbprint.
    StatusCode Validate(const ByteString& derChain, std::time_t now) const;

    enum class List { Trusted, Rejected, Issuers, Own };
    std::vector<CertificateInfo> Certificates(List which) const;

    // Trusts a certificate: a rejected one named by its thumbprint (moved
    // from rejected/ to trusted/), or a file (DER or PEM) copied into
    // trusted/ (a CA certificate from a file goes to trusted/ as well: it
    // trusts what it issues). False with the reason.
    bool Trust(const std::string& fileOrThumbprint, std::string& error);
    // Stops trusting a certificate named by its thumbprint: moved from
    // trusted/ to rejected/. False with the reason.
    bool Reject(const std::string& thumbprint, std::string& error);

private:
    struct State;
    const std::string folder_;
    std::unique_ptr<State> state_;
};

}  // namespace ua
