#pragma once
// Certificates for the OPC UA page's tests: the server's own made as at the
// endpoint's first start, and a client's, refused as unknown so that it
// waits in the rejected folder as after a client's first attempt.

#include "Crypto.h"
#include "ua/CertificateStore.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

inline ua::crypto::Certificate MakeClientCertificate(const std::string& name, const std::string& applicationUri) {
    const std::time_t now = std::time(nullptr);
    const ua::crypto::PrivateKey key = ua::crypto::PrivateKey::Generate(2048);
    return ua::crypto::Certificate::MakeSelfSigned(key, name, "Plant", applicationUri, {"hmi-panel-3"}, now - 3600,
                                                   now + 365 * 86400);
}

// The client's thumbprint, once it lies in the store's rejected folder.
inline std::string RefuseClient(ua::CertificateStore& store, const std::string& name, const std::string& applicationUri) {
    const ua::crypto::Certificate client = MakeClientCertificate(name, applicationUri);
    EXPECT_EQ(store.Validate(client.Der(), std::time(nullptr)), ua::status::BadCertificateUntrusted)
        << "an unknown client is refused as untrusted";
    return client.ThumbprintHex();
}
