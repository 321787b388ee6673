#pragma once
// One opc.tcp connection's protocol, without a socket: bytes from the client
// in, chunks to the client out through its host. Hello/Acknowledge, the one
// secure channel (SecurityPolicy None, or signed and encrypted under the
// server's certificate) with its tokens, keys and sequence numbers,
// requests reassembled from chunks for the services and their answers cut
// into chunks. Every size it holds is bounded by the negotiated limits; any
// fault of the client ends the connection with an Error message.

#include "Channel.h"
#include "SecureChannel.h"
#include "ServerSecurity.h"
#include "TransportLimits.h"
#include "ua/Types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ua {

// The socket side of a connection, on the connection's thread.
class ConnectionHost {
public:
    virtual ~ConnectionHost() = default;
    // Queues bytes for the client, in order.
    virtual void Write(std::vector<std::uint8_t> bytes) = 0;
    // Ends the connection once what was written is sent.
    virtual void Close() = 0;
};

class UaConnection {
public:
    using Clock = std::chrono::steady_clock;

    // The Error message's reason and the Hello's endpoint URL stay below this.
    static constexpr std::size_t kMaxUrlLength = 4096;

    // channelId: the id the channel gets when the client opens it, unique in
    // the server. poster runs the channel's sends on this connection's thread.
    // security: the server's key and certificate; without them only
    // SecurityPolicy None channels open.
    UaConnection(ConnectionHost& host, RequestSink& sink, const TransportLimits& limits, std::uint32_t channelId,
                 std::string peerAddress, std::shared_ptr<Poster> poster, Clock::time_point now,
                 ServerSecurity security = {});
    // Ends the channel if it is open (the sink hears of it).
    ~UaConnection();
    UaConnection(const UaConnection&) = delete;
    UaConnection& operator=(const UaConnection&) = delete;

    // Bytes as they came from the client, in any pieces.
    void OnBytes(const std::uint8_t* data, std::size_t size, Clock::time_point now);
    // The time limits: no Hello, a request left half sent, a token not renewed.
    void OnTimer(Clock::time_point now);
    // The client went away.
    void OnPeerClosed();
    // The server stops: tells the client why and ends.
    void Shutdown(StatusCode reason, const std::string& text);

    // One whole response for the request; called on the connection's thread
    // (the channel posts it here). A response too large for the client was
    // already replaced by a fault in the channel.
    void SendResponse(std::uint32_t requestId, const std::vector<std::uint8_t>& message);

    bool Closed() const { return state_ == State::Closed; }
    bool ChannelOpen() const { return channel_ != nullptr; }
    std::shared_ptr<SecureChannel> Channel() const { return channel_; }
    // The negotiated receive size (valid after the Hello).
    std::uint32_t ReceiveBufferSize() const { return receiveBufferSize_; }
    // Why the connection ended with an error, for the event log; empty otherwise.
    const std::string& LastError() const { return lastError_; }
    // Whether that error is in the event log already (a failed security check).
    bool LastErrorLogged() const { return lastErrorLogged_; }

    // An Error message (for connections refused before any protocol).
    static std::vector<std::uint8_t> EncodeError(StatusCode code, const std::string& reason);

private:
    enum class State { AwaitHello, AwaitOpen, Open, Closed };
    struct Token {
        std::uint32_t id = 0;
        Clock::time_point expires;  // at 125 % of the lifetime
        ChannelKeys keys;           // derived from the nonces of its OpenSecureChannel; empty under None
    };

    // Handles one whole chunk; false when the connection ended.
    bool OnChunk(const std::uint8_t* chunk, std::size_t size, Clock::time_point now);
    bool OnHello(const std::uint8_t* body, std::size_t size);
    bool OnOpen(const std::uint8_t* chunk, std::size_t size, Clock::time_point now);
    bool OnMessage(char chunkType, const std::uint8_t* chunk, std::size_t size, Clock::time_point now);
    bool OnClose(const std::uint8_t* chunk, std::size_t size, Clock::time_point now);
    // Checks the channel id, the token, the signature (and decrypts) and the
    // sequence number of a MSG or CLO; sets requestId and the body, which
    // points into the chunk or, under security, into opened_.
    bool CheckSymmetric(const std::uint8_t* chunk, std::size_t size, Clock::time_point now, std::uint32_t& requestId,
                        const std::uint8_t*& body, std::size_t& bodySize);
    // The token whose keys answers go under: the one the client last used.
    const Token& SendToken();
    bool CheckSequence(std::uint32_t sequenceNumber);
    void Deliver(std::uint32_t requestId, std::vector<std::uint8_t> message);

    std::uint32_t NextSequenceNumber();
    // Sends the Error message and ends the connection.
    void Fail(StatusCode code, const std::string& reason);
    // The same for a failed security check, which also goes to the event log.
    void SecurityFail(StatusCode code, const std::string& reason);
    void End();
    void EndChannel();

    ConnectionHost& host_;
    RequestSink& sink_;
    const TransportLimits limits_;
    const std::uint32_t channelId_;
    const std::string peerAddress_;
    const std::shared_ptr<Poster> poster_;
    const ServerSecurity security_;
    const ByteString ownThumbprint_;
    State state_ = State::AwaitHello;
    Clock::time_point helloDeadline_;

    // Bytes of a chunk not yet whole.
    std::vector<std::uint8_t> pending_;

    // Negotiated by the Hello.
    std::uint32_t receiveBufferSize_ = TransportLimits::kMinBufferSize;
    std::uint32_t maxChunkCount_ = 0;
    PeerLimits peer_;
    std::string endpointUrl_;

    // The channel.
    std::shared_ptr<SecureChannel> channel_;
    ChannelSecurity channelSecurity_;
    std::shared_ptr<const crypto::Certificate> clientCertificate_;
    // The secured bytes of the last MSG chunk, decrypted and checked.
    ByteString opened_;
    Token current_;
    std::optional<Token> previous_;  // still accepted after a renewal until the client uses the new one
    std::uint32_t sendTokenId_ = 0;  // the token the client last used; answers carry it
    std::uint32_t nextTokenId_ = 1;
    std::uint32_t lastSequenceIn_ = 0;
    std::uint32_t sequenceOut_ = 0;

    // A request arriving in chunks.
    std::vector<std::uint8_t> partial_;
    std::uint32_t partialRequestId_ = 0;
    std::uint32_t partialChunks_ = 0;
    Clock::time_point partialDeadline_;

    std::string lastError_;
    bool lastErrorLogged_ = false;
};

}  // namespace ua
