#pragma once
// What an opc.tcp client sends and how it reads the server's answers, for the
// transport's tests and the fuzz target's seeds: Hello, OpenSecureChannel,
// MSG and CLO chunks built with the project's writer, and the server's
// chunks taken apart.

#include "Messages.h"
#include "UaConnection.h"
#include "ua/Binary.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace uatest {

using Bytes = std::vector<std::uint8_t>;

inline void Start(ua::Writer& writer, const char* type, char chunkType) {
    writer.Raw(type, 3);
    writer.Byte(static_cast<std::uint8_t>(chunkType));
    writer.UInt32(0);
}

inline Bytes Finish(ua::Writer& writer) {
    writer.PatchUInt32(4, static_cast<std::uint32_t>(writer.Size()));
    return writer.Take();
}

inline Bytes Hello(std::uint32_t receiveBuffer = 65535, std::uint32_t sendBuffer = 65535,
                   std::uint32_t maxMessage = 0, std::uint32_t maxChunks = 0,
                   const std::string& url = "opc.tcp://localhost:4840") {
    ua::Writer writer;
    Start(writer, "HEL", 'F');
    writer.UInt32(0);
    writer.UInt32(receiveBuffer);
    writer.UInt32(sendBuffer);
    writer.UInt32(maxMessage);
    writer.UInt32(maxChunks);
    writer.String(url);
    return Finish(writer);
}

struct OpenOptions {
    std::uint32_t channelId = 0;
    std::uint32_t sequenceNumber = 1;
    std::uint32_t requestId = 1;
    std::int32_t requestType = 0;  // 0 a new channel, 1 a renewal
    std::int32_t securityMode = 1;
    std::uint32_t requestedLifetime = 600000;
    std::uint32_t requestHandle = 1;
    std::string policy = ua::kPolicyUriNone;
};

inline Bytes Open(const OpenOptions& options = {}) {
    ua::Writer writer;
    Start(writer, "OPN", 'F');
    writer.UInt32(options.channelId);
    writer.String(options.policy);
    writer.NullString();
    writer.NullString();
    writer.UInt32(options.sequenceNumber);
    writer.UInt32(options.requestId);
    writer.NodeIdValue(ua::NodeId(0, ua::encoding::OpenSecureChannelRequest));
    ua::RequestHeader header;
    header.requestHandle = options.requestHandle;
    ua::WriteRequestHeader(writer, header);
    writer.UInt32(0);
    writer.Int32(options.requestType);
    writer.Int32(options.securityMode);
    writer.NullString();
    writer.UInt32(options.requestedLifetime);
    return Finish(writer);
}

// One chunk of a MSG (or CLO, type "CLO") with its body as given.
inline Bytes Chunk(const char* type, char chunkType, std::uint32_t channelId, std::uint32_t tokenId,
                   std::uint32_t sequenceNumber, std::uint32_t requestId, const Bytes& body) {
    ua::Writer writer;
    Start(writer, type, chunkType);
    writer.UInt32(channelId);
    writer.UInt32(tokenId);
    writer.UInt32(sequenceNumber);
    writer.UInt32(requestId);
    writer.Raw(body.data(), body.size());
    return Finish(writer);
}

// A request body: its encoding id, a request header and some payload bytes.
inline Bytes Request(std::uint32_t encodingId, std::uint32_t requestHandle, std::size_t payload = 0,
                     std::uint8_t fill = 0x5A) {
    ua::Writer writer;
    writer.NodeIdValue(ua::NodeId(0, encodingId));
    ua::RequestHeader header;
    header.requestHandle = requestHandle;
    ua::WriteRequestHeader(writer, header);
    for (std::size_t i = 0; i < payload; ++i) writer.Byte(static_cast<std::uint8_t>(fill + i));
    return writer.Take();
}

// A response body for a request handle, with payload bytes after its header.
inline Bytes Response(std::uint32_t encodingId, std::uint32_t requestHandle, std::size_t payload = 0) {
    ua::Writer writer;
    writer.NodeIdValue(ua::NodeId(0, encodingId));
    ua::ResponseHeader header;
    header.requestHandle = requestHandle;
    ua::WriteResponseHeader(writer, header);
    for (std::size_t i = 0; i < payload; ++i) writer.Byte(static_cast<std::uint8_t>(i * 7));
    return writer.Take();
}

inline Bytes Concat(std::initializer_list<Bytes> pieces) {
    Bytes all;
    for (const Bytes& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

// One chunk from the server, taken apart.
struct ServerChunk {
    std::string type;  // "ACK", "ERR", "OPN", "MSG"
    char chunkType = 0;
    Bytes whole;
    // ERR
    std::uint32_t error = 0;
    std::string reason;
    // ACK
    std::uint32_t receiveBuffer = 0, sendBuffer = 0, maxMessage = 0, maxChunks = 0;
    // OPN and MSG
    std::uint32_t channelId = 0, tokenId = 0, sequenceNumber = 0, requestId = 0;
    std::uint32_t revisedLifetime = 0;  // OPN
    Bytes body;                         // MSG
};

// Cuts a stream of the server's bytes into chunks; throws ua::DecodeError
// on anything malformed, so that a test fails on it.
inline std::vector<ServerChunk> ParseServer(const Bytes& stream, std::size_t* used = nullptr) {
    std::vector<ServerChunk> chunks;
    std::size_t at = 0;
    while (stream.size() - at >= 8) {
        ua::Reader head(stream.data() + at + 4, 4);
        const std::uint32_t size = head.UInt32();
        if (size < 8) throw ua::DecodeError(ua::status::BadDecodingError, "short chunk");
        if (stream.size() - at < size) break;
        ServerChunk chunk;
        chunk.type.assign(reinterpret_cast<const char*>(stream.data() + at), 3);
        chunk.chunkType = static_cast<char>(stream[at + 3]);
        chunk.whole.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        ua::Reader reader(stream.data() + at + 8, size - 8);
        if (chunk.type == "ERR") {
            chunk.error = reader.UInt32();
            chunk.reason = reader.String();
        } else if (chunk.type == "ACK") {
            reader.UInt32();
            chunk.receiveBuffer = reader.UInt32();
            chunk.sendBuffer = reader.UInt32();
            chunk.maxMessage = reader.UInt32();
            chunk.maxChunks = reader.UInt32();
        } else if (chunk.type == "OPN") {
            chunk.channelId = reader.UInt32();
            reader.String();
            reader.ByteStringValue();
            reader.ByteStringValue();
            chunk.sequenceNumber = reader.UInt32();
            chunk.requestId = reader.UInt32();
            reader.NodeIdValue();
            ua::ReadResponseHeader(reader);
            reader.UInt32();
            const std::uint32_t tokenChannel = reader.UInt32();
            if (tokenChannel != chunk.channelId) throw ua::DecodeError(ua::status::BadDecodingError, "token channel");
            chunk.tokenId = reader.UInt32();
            reader.DateTimeValue();
            chunk.revisedLifetime = reader.UInt32();
            reader.ByteStringValue();
        } else if (chunk.type == "MSG") {
            chunk.channelId = reader.UInt32();
            chunk.tokenId = reader.UInt32();
            chunk.sequenceNumber = reader.UInt32();
            chunk.requestId = reader.UInt32();
            chunk.body.assign(reader.Current(), reader.Current() + reader.Remaining());
        }
        chunks.push_back(std::move(chunk));
        at += size;
    }
    if (used != nullptr) *used = at;
    return chunks;
}

}  // namespace uatest
