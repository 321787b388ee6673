#include "SecureChannel.h"

#include "ChunkSecurity.h"
#include "Messages.h"
#include "ServerSecurity.h"
#include "UaConnection.h"
#include "ua/Binary.h"

namespace ua {

SecureChannel::SecureChannel(std::uint32_t id, PeerLimits peer, std::string endpointUrl, std::string peerAddress,
                             std::shared_ptr<Poster> poster, UaConnection* connection, ChannelSecurity security)
    : id_(id),
      peer_(peer),
      endpointUrl_(std::move(endpointUrl)),
      peerAddress_(std::move(peerAddress)),
      security_(std::move(security)),
      fromLoopback_(IsLoopbackPeer(peerAddress_)),
      poster_(std::move(poster)),
      connection_(connection) {}

std::size_t SecureChannel::MaxBodyPerChunk() const {
    return chunk::MaxSymmetricBody(peer_.sendBufferSize, *security_.policy, security_.mode);
}

std::size_t SecureChannel::ChunksFor(std::size_t messageSize) const {
    const std::size_t perChunk = MaxBodyPerChunk();
    return messageSize == 0 ? 1 : (messageSize + perChunk - 1) / perChunk;
}

bool SecureChannel::Fits(std::size_t messageSize) const {
    if (peer_.maxMessageSize != 0 && messageSize > peer_.maxMessageSize) return false;
    if (peer_.maxChunkCount != 0 && ChunksFor(messageSize) > peer_.maxChunkCount) return false;
    return true;
}

bool SecureChannel::Send(std::uint32_t requestId, std::vector<std::uint8_t> message) {
    if (!open_.load()) return false;
    const bool fits = Fits(message.size());
    // The client could not take the answer whole: it learns why from a fault
    // for its request instead of waiting for an answer that never comes.
    if (!fits) message = EncodeServiceFault(ResponseRequestHandle(message), status::BadResponseTooLarge);
    const std::shared_ptr<Poster> poster = poster_.lock();
    if (poster == nullptr) return false;
    auto self = shared_from_this();
    const bool posted = poster->Post([self, requestId, bytes = std::move(message)] {
        if (self->connection_ != nullptr) self->connection_->SendResponse(requestId, bytes);
    });
    return posted && fits;
}

void SecureChannel::Detach() {
    open_.store(false);
    connection_ = nullptr;
}

std::uint32_t ResponseRequestHandle(const std::vector<std::uint8_t>& message) {
    try {
        Reader reader(message);
        reader.NodeIdValue();
        reader.DateTimeValue();
        return reader.UInt32();
    } catch (const DecodeError&) {
        return 0;
    }
}

}  // namespace ua
