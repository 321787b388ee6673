#pragma once
// What the secure channels need of the server's security: its key pair and
// certificate, and the check of a client's certificate. Fixed while the
// server runs; the check itself is thread-safe (the certificate store reads
// its folders each time, so that a certificate trusted meanwhile counts).

#include "Crypto.h"
#include "ua/Types.h"

#include <functional>
#include <memory>
#include <string>

namespace ua {

struct ServerSecurity {
    // Null: no certificate, so only SecurityPolicy None channels open (tests
    // that need nothing else).
    std::shared_ptr<const crypto::PrivateKey> key;
    std::shared_ptr<const crypto::Certificate> certificate;
    // Checks the certificate field of a client's OpenSecureChannel (its
    // certificate, possibly followed by its issuers'): Good, or the status
    // the channel is refused with (Bad_CertificateUntrusted ...). Null
    // accepts every certificate that parses (tests).
    std::function<StatusCode(const ByteString& chain)> validateClient;

    bool Secured() const { return key != nullptr && certificate != nullptr; }
};

// Whether a peer address as the transport writes it ("127.0.0.1:53422",
// "[::1]:53422", "[::ffff:127.0.0.1]:53422") is on the loopback interface.
bool IsLoopbackPeer(const std::string& peerAddress);

}  // namespace ua
