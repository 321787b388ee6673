#include "UaConnection.h"

#include "ChunkSecurity.h"
#include "Messages.h"
#include "foundation/CLogFile.h"
#include "ua/Binary.h"

#include <algorithm>
#include <cstring>

namespace ua {

namespace {

constexpr std::size_t kHeaderSize = 8;
// A MSG or CLO chunk's clear header: message header, channel id, token id.
constexpr std::size_t kSymmetricClearSize = 16;
constexpr std::size_t kSequenceHeaderSize = 8;
// The client's sequence numbers may start again below this once they pass kSequenceWrapFrom.
constexpr std::uint32_t kSequenceWrapBelow = 1024;
constexpr std::uint32_t kSequenceWrapFrom = 4294966271u;
constexpr std::uint32_t kOpenSecureChannelResponse = 449;
// Refused Hellos: buffers below the minimum every peer must offer.
constexpr StatusCode kBadConnectionRejected = 0x80AC0000;

enum class Type { Hello, Acknowledge, Error, ReverseHello, Open, Message, Close, Unknown };

Type TypeOf(const std::uint8_t* header) {
    const auto is = [header](const char* name) { return std::memcmp(header, name, 3) == 0; };
    if (is("HEL")) return Type::Hello;
    if (is("ACK")) return Type::Acknowledge;
    if (is("ERR")) return Type::Error;
    if (is("RHE")) return Type::ReverseHello;
    if (is("OPN")) return Type::Open;
    if (is("MSG")) return Type::Message;
    if (is("CLO")) return Type::Close;
    return Type::Unknown;
}

std::uint32_t LoadUInt32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Starts a chunk: type, chunk type, and a size patched in by FinishChunk.
void StartChunk(Writer& writer, const char* type, char chunkType) {
    writer.Raw(type, 3);
    writer.Byte(static_cast<std::uint8_t>(chunkType));
    writer.UInt32(0);
}

void FinishChunk(Writer& writer) { writer.PatchUInt32(4, static_cast<std::uint32_t>(writer.Size())); }

std::string Truncated(std::string text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

const std::uint8_t* BytesOf(const ByteString& bytes) { return reinterpret_cast<const std::uint8_t*>(bytes.data()); }

ByteString ThumbprintOf(const std::shared_ptr<const crypto::Certificate>& certificate) {
    return certificate == nullptr ? ByteString() : certificate->Thumbprint();
}

}  // namespace

UaConnection::UaConnection(ConnectionHost& host, RequestSink& sink, const TransportLimits& limits,
                           std::uint32_t channelId, std::string peerAddress, std::shared_ptr<Poster> poster,
                           Clock::time_point now, ServerSecurity security)
    : host_(host),
      sink_(sink),
      limits_(limits),
      channelId_(channelId),
      peerAddress_(std::move(peerAddress)),
      poster_(std::move(poster)),
      security_(std::move(security)),
      ownThumbprint_(ThumbprintOf(security_.certificate)),
      helloDeadline_(now + std::chrono::milliseconds(limits.helloTimeoutMs)) {}

UaConnection::~UaConnection() { EndChannel(); }

std::vector<std::uint8_t> UaConnection::EncodeError(StatusCode code, const std::string& reason) {
    Writer writer;
    StartChunk(writer, "ERR", 'F');
    writer.UInt32(code);
    writer.String(Truncated(reason, kMaxUrlLength));
    FinishChunk(writer);
    return writer.Take();
}

void UaConnection::OnBytes(const std::uint8_t* data, std::size_t size, Clock::time_point now) {
    if (state_ == State::Closed || size == 0) return;
    pending_.insert(pending_.end(), data, data + size);
    std::size_t used = 0;
    while (state_ != State::Closed && pending_.size() - used >= kHeaderSize) {
        const std::uint8_t* chunk = pending_.data() + used;
        const Type type = TypeOf(chunk);
        if (type == Type::Unknown) {
            Fail(status::BadTcpMessageTypeInvalid, "not an opc.tcp message");
            break;
        }
        const std::uint32_t chunkSize = LoadUInt32(chunk + 4);
        // Before the Hello the client has agreed to nothing: the least buffer every peer offers.
        const std::uint32_t limit =
            state_ == State::AwaitHello ? TransportLimits::kMinBufferSize : receiveBufferSize_;
        if (chunkSize < kHeaderSize) {
            Fail(status::BadTcpMessageTypeInvalid, "a message shorter than its header");
            break;
        }
        if (chunkSize > limit) {
            Fail(status::BadTcpMessageTooLarge, "a chunk larger than the receive buffer");
            break;
        }
        if (pending_.size() - used < chunkSize) break;
        used += chunkSize;
        if (!OnChunk(chunk, chunkSize, now)) break;
    }
    if (state_ == State::Closed) {
        pending_.clear();
        pending_.shrink_to_fit();
    } else {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

bool UaConnection::OnChunk(const std::uint8_t* chunk, std::size_t size, Clock::time_point now) {
    const Type type = TypeOf(chunk);
    const char chunkType = static_cast<char>(chunk[3]);
    if (type != Type::Message && chunkType != 'F') {
        Fail(status::BadTcpMessageTypeInvalid, "only a secure message comes in several chunks");
        return false;
    }
    switch (type) {
    case Type::Hello:
        if (state_ != State::AwaitHello) {
            Fail(status::BadTcpMessageTypeInvalid, "a second Hello");
            return false;
        }
        return OnHello(chunk + kHeaderSize, size - kHeaderSize);
    case Type::ReverseHello:
        Fail(status::BadTcpMessageTypeInvalid, "reverse connections are not served");
        return false;
    case Type::Acknowledge:
    case Type::Error:
    case Type::Unknown:
        Fail(status::BadTcpMessageTypeInvalid, "a message only a server sends");
        return false;
    default:
        break;
    }
    if (state_ == State::AwaitHello) {
        Fail(status::BadTcpMessageTypeInvalid, "a secure message before the Hello");
        return false;
    }
    try {
        if (type == Type::Open) return OnOpen(chunk, size, now);
        if (state_ != State::Open) {
            Fail(status::BadTcpSecureChannelUnknown, "a message before the secure channel is open");
            return false;
        }
        if (type == Type::Close) return OnClose(chunk, size, now);
        if (chunkType != 'F' && chunkType != 'C' && chunkType != 'A') {
            Fail(status::BadTcpMessageTypeInvalid, "an unknown chunk type");
            return false;
        }
        return OnMessage(chunkType, chunk, size, now);
    } catch (const DecodeError& error) {
        Fail(error.Code(), std::string("a message that cannot be decoded: ") + error.what());
        return false;
    } catch (const chunk::SecurityFault& fault) {
        SecurityFail(fault.Code(), fault.what());
        return false;
    } catch (const crypto::CryptoError& error) {
        SecurityFail(status::BadSecurityChecksFailed, std::string("a cryptographic check failed: ") + error.what());
        return false;
    }
}

bool UaConnection::OnHello(const std::uint8_t* body, std::size_t size) {
    try {
        Reader reader(body, size, DecodeLimits{kMaxUrlLength, 0, 1});
        reader.UInt32();  // the client's protocol version: every version talks version 0 with us
        const std::uint32_t clientReceive = reader.UInt32();
        const std::uint32_t clientSend = reader.UInt32();
        const std::uint32_t clientMaxMessage = reader.UInt32();
        const std::uint32_t clientMaxChunks = reader.UInt32();
        if (reader.Remaining() >= 4) {
            const std::int32_t urlLength = static_cast<std::int32_t>(LoadUInt32(reader.Current()));
            if (urlLength > static_cast<std::int32_t>(kMaxUrlLength)) {
                Fail(status::BadTcpEndpointUrlInvalid, "an endpoint URL longer than 4096 bytes");
                return false;
            }
        }
        endpointUrl_ = reader.String();
        reader.ExpectEnd();
        if (clientReceive < TransportLimits::kMinBufferSize || clientSend < TransportLimits::kMinBufferSize) {
            Fail(kBadConnectionRejected, "buffers below 8192 bytes");
            return false;
        }
        const std::uint32_t ownReceive = std::max(limits_.receiveBufferSize, TransportLimits::kMinBufferSize);
        const std::uint32_t ownSend = std::max(limits_.sendBufferSize, TransportLimits::kMinBufferSize);
        receiveBufferSize_ = std::min(ownReceive, clientSend);
        peer_.sendBufferSize = std::min(ownSend, clientReceive);
        peer_.maxMessageSize = clientMaxMessage;
        peer_.maxChunkCount = clientMaxChunks;
        maxChunkCount_ = limits_.maxChunkCount;
        if (maxChunkCount_ == 0) {
            // Enough for the largest message even in the smallest chunks a
            // client may choose under any security; the message size bounds
            // the memory either way.
            const std::uint32_t perChunk = TransportLimits::kMinBufferSize - chunk::kMaxSymmetricOverhead;
            maxChunkCount_ = limits_.maxMessageSize / perChunk + 1;
        }
    } catch (const DecodeError&) {
        Fail(status::BadDecodingError, "a Hello that cannot be decoded");
        return false;
    }
    Writer writer;
    StartChunk(writer, "ACK", 'F');
    writer.UInt32(0);
    writer.UInt32(receiveBufferSize_);
    writer.UInt32(peer_.sendBufferSize);
    writer.UInt32(limits_.maxMessageSize);
    writer.UInt32(maxChunkCount_);
    FinishChunk(writer);
    host_.Write(writer.Take());
    state_ = State::AwaitOpen;
    return true;
}

bool UaConnection::OnOpen(const std::uint8_t* chunk, std::size_t size, Clock::time_point now) {
    Reader clear(chunk + kHeaderSize, size - kHeaderSize, DecodeLimits{size, 16, 8});
    const std::uint32_t channelId = clear.UInt32();
    const std::string policyUri = clear.String();
    const ByteString senderCertificate = clear.ByteStringValue();
    const ByteString receiverThumbprint = clear.ByteStringValue();
    const std::size_t clearSize = kHeaderSize + clear.Position();
    const SecurityPolicy* policy = FindPolicy(policyUri);
    if (policy == nullptr || (!policy->none && !security_.Secured())) {
        Fail(status::BadSecurityPolicyRejected, "a security policy this server does not offer");
        return false;
    }

    // The secured bytes (sequence header and body) opened: under a policy it
    // arrives encrypted for our certificate and signed with the client's.
    ByteString opened;
    std::shared_ptr<const crypto::Certificate> clientCertificate;
    if (policy->none) {
        opened.assign(reinterpret_cast<const char*>(chunk) + clearSize, size - clearSize);
    } else {
        if (receiverThumbprint != ownThumbprint_) {
            SecurityFail(status::BadSecurityChecksFailed, "an OpenSecureChannel for another server certificate");
            return false;
        }
        if (senderCertificate.empty()) {
            SecurityFail(status::BadCertificateInvalid, "an OpenSecureChannel without the client's certificate");
            return false;
        }
        std::vector<crypto::Certificate> chain;
        try {
            chain = crypto::Certificate::FromDerChain(senderCertificate);
        } catch (const crypto::CryptoError&) {
            SecurityFail(status::BadCertificateInvalid, "a client certificate that cannot be read");
            return false;
        }
        clientCertificate = std::make_shared<const crypto::Certificate>(chain.front());
        if (security_.validateClient) {
            const StatusCode verdict = security_.validateClient(senderCertificate);
            if (verdict != status::Good) {
                // The subject is the client's text: OpenSSL escapes its control
                // characters, and the log takes a bounded piece of it.
                SecurityFail(verdict, "the client certificate " + Truncated(clientCertificate->Subject(), 200) +
                                          " (" + clientCertificate->ThumbprintHex() + ") is refused");
                return false;
            }
        }
        const std::size_t keyBytes = clientCertificate->KeySizeBytes();
        if (keyBytes < policy->minKeyBytes || keyBytes > policy->maxKeyBytes) {
            SecurityFail(status::BadSecurityChecksFailed, "a client key of " + std::to_string(keyBytes * 8) +
                                                              " bits, outside what " + policy->name + " allows");
            return false;
        }
        opened = chunk::OpenAsymmetric(chunk, size, clearSize, *policy, *security_.key, *clientCertificate);
    }

    Reader reader(BytesOf(opened), opened.size(), DecodeLimits{size, 16, 8});
    const std::uint32_t sequenceNumber = reader.UInt32();
    const std::uint32_t requestId = reader.UInt32();
    const NodeId type = reader.NodeIdValue();
    if (!(type == NodeId(0, encoding::OpenSecureChannelRequest))) {
        Fail(status::BadTcpMessageTypeInvalid, "an OPN message without an OpenSecureChannel request");
        return false;
    }
    const RequestHeader header = ReadRequestHeader(reader);
    reader.UInt32();  // the client's protocol version
    const std::int32_t requestType = reader.Int32();
    const std::int32_t securityMode = reader.Int32();
    const ByteString clientNonce = reader.ByteStringValue();
    const std::uint32_t requestedLifetime = reader.UInt32();
    reader.ExpectEnd();

    const bool renew = requestType == 1;
    if (requestType != 0 && !renew) {
        Fail(status::BadDecodingError, "an unknown request type in OpenSecureChannel");
        return false;
    }
    const auto mode = static_cast<SecurityMode>(securityMode);
    const bool modeFits = policy->none ? mode == SecurityMode::None
                                       : mode == SecurityMode::Sign || mode == SecurityMode::SignAndEncrypt;
    if (!modeFits) {
        Fail(status::BadSecurityModeRejected, "a security mode that does not go with " + std::string(policy->name));
        return false;
    }
    if (!policy->none && clientNonce.size() != policy->nonceLength) {
        SecurityFail(status::BadNonceInvalid, "a client nonce of " + std::to_string(clientNonce.size()) + " bytes");
        return false;
    }
    if (renew) {
        if (state_ != State::Open || channelId != channelId_) {
            Fail(status::BadTcpSecureChannelUnknown, "a renewal of a channel this connection has not");
            return false;
        }
        // A renewal keeps what the channel was opened with: another policy,
        // mode or certificate would be a second client taking the channel over.
        if (policy != channelSecurity_.policy || mode != channelSecurity_.mode ||
            (clientCertificate != nullptr && clientCertificate->Der() != channelSecurity_.clientCertificate)) {
            SecurityFail(status::BadSecurityChecksFailed, "a renewal under other security than the channel's");
            return false;
        }
        if (!CheckSequence(sequenceNumber)) return false;
    } else {
        if (state_ == State::Open) {
            Fail(status::BadTcpSecureChannelUnknown, "a second secure channel on one connection");
            return false;
        }
        lastSequenceIn_ = sequenceNumber;
    }

    const std::uint32_t lifetime =
        std::clamp(requestedLifetime, limits_.minTokenLifetimeMs, std::max(limits_.minTokenLifetimeMs, limits_.maxTokenLifetimeMs));
    Token token;
    token.id = nextTokenId_++;
    if (nextTokenId_ == 0) nextTokenId_ = 1;
    token.expires = now + std::chrono::milliseconds(std::uint64_t{lifetime} * 5 / 4);
    ByteString serverNonce;
    if (!policy->none) {
        serverNonce = crypto::RandomBytes(policy->nonceLength);
        token.keys = DeriveChannelKeys(*policy, clientNonce, serverNonce);
    }
    if (renew) {
        // The old token serves on until the client first uses the new one.
        previous_ = current_;
    } else {
        sendTokenId_ = token.id;
        channelSecurity_.policy = policy;
        channelSecurity_.mode = mode;
        channelSecurity_.clientCertificate = clientCertificate == nullptr ? ByteString() : clientCertificate->Der();
        clientCertificate_ = clientCertificate;
        channel_ = std::make_shared<SecureChannel>(channelId_, peer_, endpointUrl_, peerAddress_, poster_, this,
                                                   channelSecurity_);
        state_ = State::Open;
    }
    current_ = token;

    Writer head;
    StartChunk(head, "OPN", 'F');
    head.UInt32(channelId_);
    head.String(policy->uri);
    if (policy->none) {
        head.NullString();
        head.NullString();
    } else {
        head.ByteStringValue(security_.certificate->Der());
        head.ByteStringValue(clientCertificate_->Thumbprint());
    }
    Writer body;
    body.UInt32(NextSequenceNumber());
    body.UInt32(requestId);
    body.NodeIdValue(NodeId(0, kOpenSecureChannelResponse));
    ResponseHeader response;
    response.timestamp = Now();
    response.requestHandle = header.requestHandle;
    WriteResponseHeader(body, response);
    body.UInt32(0);  // the server's protocol version
    body.UInt32(channelId_);
    body.UInt32(token.id);
    body.DateTimeValue(response.timestamp);
    body.UInt32(lifetime);
    if (policy->none)
        body.NullString();  // no server nonce under None
    else
        body.ByteStringValue(serverNonce);
    if (policy->none) {
        head.Raw(body.Out().data(), body.Size());
        FinishChunk(head);
        host_.Write(head.Take());
    } else {
        const auto& plain = body.Out();
        host_.Write(chunk::SealAsymmetric(head.Take(), ByteString(plain.begin(), plain.end()), *policy,
                                          *security_.key, *clientCertificate_));
    }
    return true;
}

bool UaConnection::CheckSequence(std::uint32_t sequenceNumber) {
    const bool next = lastSequenceIn_ != 0xFFFFFFFFu && sequenceNumber == lastSequenceIn_ + 1;
    const bool wrapped = lastSequenceIn_ > kSequenceWrapFrom && sequenceNumber < kSequenceWrapBelow;
    if (!next && !wrapped) {
        Fail(status::BadSequenceNumberInvalid, "a sequence number out of order");
        return false;
    }
    lastSequenceIn_ = sequenceNumber;
    return true;
}

bool UaConnection::CheckSymmetric(const std::uint8_t* chunk, std::size_t size, Clock::time_point now,
                                  std::uint32_t& requestId, const std::uint8_t*& body, std::size_t& bodySize) {
    Reader clear(chunk + kHeaderSize, size - kHeaderSize);
    const std::uint32_t channelId = clear.UInt32();
    const std::uint32_t tokenId = clear.UInt32();
    if (channelId != channelId_) {
        Fail(status::BadTcpSecureChannelUnknown, "a message for another secure channel");
        return false;
    }
    const Token* token = nullptr;
    if (tokenId == current_.id) {
        token = &current_;
    } else if (previous_ && tokenId == previous_->id && previous_->expires > now) {
        token = &*previous_;
    } else {
        Fail(status::BadSecureChannelTokenUnknown, "a message with an unknown or expired token");
        return false;
    }
    const std::uint8_t* secured = chunk + kSymmetricClearSize;
    std::size_t securedSize = size - kSymmetricClearSize;
    if (!channelSecurity_.policy->none) {
        // Each token has its own keys: a chunk under the old token opens with the old ones.
        opened_ = chunk::OpenSymmetric(chunk, size, kSymmetricClearSize, *channelSecurity_.policy,
                                       channelSecurity_.mode, token->keys.client);
        secured = BytesOf(opened_);
        securedSize = opened_.size();
    }
    Reader sequence(secured, securedSize);
    const std::uint32_t sequenceNumber = sequence.UInt32();
    requestId = sequence.UInt32();
    body = secured + kSequenceHeaderSize;
    bodySize = securedSize - kSequenceHeaderSize;
    if (token == &current_) {
        // The client moved to the new token: the old one ends here.
        previous_.reset();
        sendTokenId_ = current_.id;
    }
    return CheckSequence(sequenceNumber);
}

bool UaConnection::OnMessage(char chunkType, const std::uint8_t* chunk, std::size_t size, Clock::time_point now) {
    std::uint32_t requestId = 0;
    const std::uint8_t* body = nullptr;
    std::size_t bodySize = 0;
    if (!CheckSymmetric(chunk, size, now, requestId, body, bodySize)) return false;

    if (chunkType == 'A') {
        // The client gave the request up: what came of it goes.
        if (partialChunks_ != 0 && partialRequestId_ == requestId) {
            partial_.clear();
            partial_.shrink_to_fit();
            partialChunks_ = 0;
        }
        return true;
    }
    if (partialChunks_ != 0 && partialRequestId_ != requestId) {
        Fail(status::BadTcpMessageTypeInvalid, "chunks of two requests interleaved");
        return false;
    }
    if (partialChunks_ + 1 > maxChunkCount_) {
        Fail(status::BadTcpMessageTooLarge, "a request in more chunks than agreed");
        return false;
    }
    if (partial_.size() + bodySize > limits_.maxMessageSize) {
        Fail(status::BadRequestTooLarge, "a request larger than the largest message agreed");
        return false;
    }
    if (partialChunks_ == 0) {
        partialRequestId_ = requestId;
        partialDeadline_ = now + std::chrono::milliseconds(limits_.partialMessageTimeoutMs);
    }
    ++partialChunks_;
    partial_.insert(partial_.end(), body, body + bodySize);
    if (chunkType == 'C') return true;

    std::vector<std::uint8_t> message;
    message.swap(partial_);
    partialChunks_ = 0;
    Deliver(requestId, std::move(message));
    return state_ != State::Closed;
}

void UaConnection::Deliver(std::uint32_t requestId, std::vector<std::uint8_t> message) {
    Reader reader(message);
    const NodeId type = reader.NodeIdValue();
    if (type == NodeId(0, encoding::CloseSecureChannelRequest)) {
        End();
        return;
    }
    if (type == NodeId(0, encoding::OpenSecureChannelRequest)) {
        Fail(status::BadTcpMessageTypeInvalid, "an OpenSecureChannel request in a MSG message");
        return;
    }
    sink_.OnRequest(channel_, requestId, std::move(message));
}

bool UaConnection::OnClose(const std::uint8_t* chunk, std::size_t size, Clock::time_point now) {
    std::uint32_t requestId = 0;
    const std::uint8_t* body = nullptr;
    std::size_t bodySize = 0;
    if (!CheckSymmetric(chunk, size, now, requestId, body, bodySize)) return false;
    // The client is done: no answer, no error.
    End();
    return false;
}

void UaConnection::OnTimer(Clock::time_point now) {
    if (state_ == State::Closed) return;
    if (state_ == State::AwaitHello && now >= helloDeadline_) {
        Fail(status::BadTimeout, "no Hello in time");
        return;
    }
    if (partialChunks_ != 0 && now >= partialDeadline_) {
        Fail(status::BadTimeout, "a request left unfinished");
        return;
    }
    if (state_ == State::Open) {
        if (previous_ && previous_->expires <= now) previous_.reset();
        if (current_.expires <= now) Fail(status::BadSecureChannelClosed, "the secure channel was not renewed in time");
    }
}

void UaConnection::OnPeerClosed() {
    if (state_ == State::Closed) return;
    End();
}

void UaConnection::Shutdown(StatusCode reason, const std::string& text) { Fail(reason, text); }

std::uint32_t UaConnection::NextSequenceNumber() {
    // Starts again low once past the highest number the client must accept.
    sequenceOut_ = sequenceOut_ > kSequenceWrapFrom ? 1 : sequenceOut_ + 1;
    return sequenceOut_;
}

const UaConnection::Token& UaConnection::SendToken() {
    if (previous_ && previous_->id == sendTokenId_) return *previous_;
    // The token the client last used has expired meanwhile: the new one it must move to.
    sendTokenId_ = current_.id;
    return current_;
}

void UaConnection::SendResponse(std::uint32_t requestId, const std::vector<std::uint8_t>& message) {
    if (state_ != State::Open || channel_ == nullptr) return;
    const std::size_t perChunk = channel_->MaxBodyPerChunk();
    const bool secured = !channelSecurity_.policy->none;
    const Token& token = SendToken();
    std::size_t offset = 0;
    do {
        const std::size_t count = std::min(perChunk, message.size() - offset);
        const bool last = offset + count == message.size();
        Writer writer;
        StartChunk(writer, "MSG", last ? 'F' : 'C');
        writer.UInt32(channelId_);
        writer.UInt32(token.id);
        if (!secured) {
            writer.Out().reserve(count + kSymmetricClearSize + kSequenceHeaderSize);
            writer.UInt32(NextSequenceNumber());
            writer.UInt32(requestId);
            writer.Raw(message.data() + offset, count);
            FinishChunk(writer);
            host_.Write(writer.Take());
        } else {
            std::vector<std::uint8_t> plain;
            plain.reserve(count + kSequenceHeaderSize);
            Writer sequence(plain);
            sequence.UInt32(NextSequenceNumber());
            sequence.UInt32(requestId);
            sequence.Raw(message.data() + offset, count);
            try {
                host_.Write(chunk::SealSymmetric(writer.Take(), plain.data(), plain.size(), *channelSecurity_.policy,
                                                 channelSecurity_.mode, token.keys.server));
            } catch (const crypto::CryptoError& error) {
                SecurityFail(status::BadInternalError, std::string("an answer could not be secured: ") + error.what());
                return;
            }
        }
        offset += count;
    } while (offset < message.size());
}

void UaConnection::Fail(StatusCode code, const std::string& reason) {
    if (state_ == State::Closed) return;
    lastError_ = reason;
    host_.Write(EncodeError(code, reason));
    End();
}

void UaConnection::SecurityFail(StatusCode code, const std::string& reason) {
    if (state_ == State::Closed) return;
    EventLog()
        .Append("OPC UA secure channel refused, " + reason + ", from " + peerAddress_)
        .Commit(CLogFile::kWrite);
    lastErrorLogged_ = true;
    Fail(code, reason);
}

void UaConnection::End() {
    if (state_ == State::Closed) return;
    state_ = State::Closed;
    partial_.clear();
    partial_.shrink_to_fit();
    partialChunks_ = 0;
    EndChannel();
    host_.Close();
}

void UaConnection::EndChannel() {
    if (channel_ == nullptr) return;
    std::shared_ptr<SecureChannel> channel = std::move(channel_);
    channel_ = nullptr;
    channel->Detach();
    sink_.OnChannelClosed(channel);
}

}  // namespace ua
