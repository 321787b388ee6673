#pragma once
// The sizes and times the opc.tcp transport offers and enforces: what one
// client may make the server hold, and how long it may keep it waiting.

#include <cstddef>
#include <cstdint>

namespace ua {

struct TransportLimits {
    // The largest chunk the server reads and writes; a client's Hello may
    // lower either, never below kMinBufferSize.
    std::uint32_t receiveBufferSize = 65535;
    std::uint32_t sendBufferSize = 65535;
    // The largest request the server reassembles.
    std::uint32_t maxMessageSize = 16u * 1024u * 1024u;
    // Chunks of one request; 0: as many as maxMessageSize needs.
    std::uint32_t maxChunkCount = 0;
    // Connections served at once; the next ones get an error and are closed.
    std::size_t maxConnections = 200;
    // Bytes queued for a client that does not read; beyond it the
    // connection is closed rather than let the server's memory grow.
    std::size_t maxQueuedSendBytes = 64u * 1024u * 1024u;
    // A connection that says no Hello within this time is closed.
    std::uint32_t helloTimeoutMs = 10000;
    // A request begun in chunks and not finished within this time ends the connection.
    std::uint32_t partialMessageTimeoutMs = 30000;
    // The secure channel's token lifetime is kept within these bounds; older
    // clients refuse a lifetime below ten minutes.
    std::uint32_t minTokenLifetimeMs = 600000;
    std::uint32_t maxTokenLifetimeMs = 3600000;

    static constexpr std::uint32_t kMinBufferSize = 8192;
};

}  // namespace ua
