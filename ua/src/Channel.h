#pragma once
// Where the transport meets the services: a secure channel as the services
// see it (they answer through it from any thread), and the sink the transport
// hands every whole request message of an open channel to.

#include "SecurityPolicy.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ua {

class ChannelLink {
public:
    virtual ~ChannelLink() = default;
    virtual std::uint32_t Id() const = 0;
    // Sends one whole response message (the response's encoding NodeId
    // followed by its body) for the request, in as many chunks as the
    // channel's negotiated sizes need. Any thread; queued to the channel's
    // connection. False once the channel has ended or the message is larger
    // than the client accepts (the client then gets the error, see the transport).
    virtual bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) = 0;
    virtual bool IsOpen() const = 0;
    // The endpoint URL the client gave in its Hello.
    virtual std::string EndpointUrl() const = 0;
    // The peer's address, for the event log ("127.0.0.1:53422").
    virtual std::string PeerAddress() const = 0;
    // The security the client opened the channel with. The defaults are a
    // SecurityPolicy None channel from this machine (the services' tests).
    virtual const SecurityPolicy& Policy() const { return PolicyNone(); }
    virtual SecurityMode Mode() const { return SecurityMode::None; }
    // The DER of the client's own certificate (the first of the chain it
    // sent); empty under SecurityPolicy None.
    virtual ByteString ClientCertificate() const { return {}; }
    // Whether the client connected over the loopback interface.
    virtual bool FromLoopback() const { return true; }
};

class RequestSink {
public:
    virtual ~RequestSink() = default;
    // Called on the transport's loop thread for each whole request of an open
    // channel (never OpenSecureChannel or CloseSecureChannel, which the
    // channel answers itself); the message starts with the request's encoding
    // NodeId. Must not block.
    virtual void OnRequest(const std::shared_ptr<ChannelLink>& channel, std::uint32_t requestId,
                           std::vector<std::uint8_t> message) = 0;
    // The channel ended (closed by the client, an error, the peer gone).
    virtual void OnChannelClosed(const std::shared_ptr<ChannelLink>& channel) = 0;
};

}  // namespace ua
