#pragma once
// A client's secure channel as the services see it: answers handed to it from
// any thread travel to the connection's thread, which cuts them into chunks.

#include "Channel.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ua {

class UaConnection;

// Runs work on the thread that owns the connections. Thread-safe; false once
// that thread takes no more work (the transport stopped).
class Poster {
public:
    virtual ~Poster() = default;
    virtual bool Post(std::function<void()> work) = 0;
};

// What the client accepts, fixed by its Hello before the channel exists.
// The security the client opened the channel with, fixed for its life:
// renewals keep the policy, the mode and the certificate.
struct ChannelSecurity {
    const SecurityPolicy* policy = &PolicyNone();
    SecurityMode mode = SecurityMode::None;
    ByteString clientCertificate;  // DER of the client's own certificate
};

struct PeerLimits {
    std::uint32_t sendBufferSize = 0;   // largest chunk we may send it
    std::uint32_t maxMessageSize = 0;   // largest response body; 0: no limit
    std::uint32_t maxChunkCount = 0;    // 0: no limit
};

class SecureChannel : public ChannelLink, public std::enable_shared_from_this<SecureChannel> {
public:
    SecureChannel(std::uint32_t id, PeerLimits peer, std::string endpointUrl, std::string peerAddress,
                  std::shared_ptr<Poster> poster, UaConnection* connection, ChannelSecurity security = {});

    std::uint32_t Id() const override { return id_; }
    bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) override;
    bool IsOpen() const override { return open_.load(); }
    std::string EndpointUrl() const override { return endpointUrl_; }
    std::string PeerAddress() const override { return peerAddress_; }
    const SecurityPolicy& Policy() const override { return *security_.policy; }
    SecurityMode Mode() const override { return security_.mode; }
    ByteString ClientCertificate() const override { return security_.clientCertificate; }
    bool FromLoopback() const override { return fromLoopback_; }

    // Whether a response body of that size reaches the client whole.
    bool Fits(std::size_t messageSize) const;
    std::size_t ChunksFor(std::size_t messageSize) const;
    // The most body bytes one chunk to the client carries: its buffer less
    // the headers, and under security the signature, padding and cipher blocks.
    std::size_t MaxBodyPerChunk() const;

    // The connection's thread only: the connection is gone, queued answers are dropped.
    void Detach();

private:
    const std::uint32_t id_;
    const PeerLimits peer_;
    const std::string endpointUrl_;
    const std::string peerAddress_;
    const ChannelSecurity security_;
    const bool fromLoopback_;
    // Weak: the answers queued in the poster hold the channel, and the
    // channel must not hold them in turn.
    const std::weak_ptr<Poster> poster_;
    std::atomic<bool> open_{true};
    // Touched only on the connection's thread, where posted work runs.
    UaConnection* connection_;
};

// The request handle in a response's header, so that a fault put in its place
// still names the client's request; 0 when the bytes do not say.
std::uint32_t ResponseRequestHandle(const std::vector<std::uint8_t>& message);

}  // namespace ua
