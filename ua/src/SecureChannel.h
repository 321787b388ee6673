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
struct PeerLimits {
    std::uint32_t sendBufferSize = 0;   // largest chunk we may send it
    std::uint32_t maxMessageSize = 0;   // largest response body; 0: no limit
    std::uint32_t maxChunkCount = 0;    // 0: no limit
};

class SecureChannel : public ChannelLink, public std::enable_shared_from_this<SecureChannel> {
public:
    // The bytes a chunk of a MSG spends on headers with SecurityPolicy None:
    // message header 12, token id 4, sequence header 8.
    static constexpr std::uint32_t kSymmetricOverhead = 24;

    SecureChannel(std::uint32_t id, PeerLimits peer, std::string endpointUrl, std::string peerAddress,
                  std::shared_ptr<Poster> poster, UaConnection* connection);

    std::uint32_t Id() const override { return id_; }
    bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) override;
    bool IsOpen() const override { return open_.load(); }
    std::string EndpointUrl() const override { return endpointUrl_; }
    std::string PeerAddress() const override { return peerAddress_; }

    // Whether a response body of that size reaches the client whole.
    bool Fits(std::size_t messageSize) const;
    std::size_t ChunksFor(std::size_t messageSize) const;

    // The connection's thread only: the connection is gone, queued answers are dropped.
    void Detach();

private:
    const std::uint32_t id_;
    const PeerLimits peer_;
    const std::string endpointUrl_;
    const std::string peerAddress_;
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
