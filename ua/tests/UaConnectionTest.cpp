// The opc.tcp protocol of one connection, fed bytes as a client would send
// them: the handshake and its refusals, the secure channel's tokens and
// sequence numbers, requests in chunks, time limits, and answers cut into
// chunks for the client.
#include "TcpClientMessages.h"
#include "UaConnection.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace {

using namespace uatest;
using Clock = ua::UaConnection::Clock;
using namespace std::chrono_literals;

class RecordingHost : public ua::ConnectionHost {
public:
    void Write(std::vector<std::uint8_t> bytes) override {
        EXPECT_FALSE(closed) << "written after the close";
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    void Close() override { ++closes; closed = true; }
    // The server's chunks since the last call.
    std::vector<ServerChunk> Take() {
        std::size_t used = 0;
        auto chunks = ParseServer(stream, &used);
        EXPECT_EQ(used, stream.size()) << "a chunk cut short";
        stream.clear();
        return chunks;
    }
    Bytes stream;
    bool closed = false;
    int closes = 0;
};

class QueuePoster : public ua::Poster {
public:
    bool Post(std::function<void()> work) override {
        if (stopped) return false;
        queue.push_back(std::move(work));
        return true;
    }
    void RunAll() {
        while (!queue.empty()) {
            auto work = std::move(queue.front());
            queue.pop_front();
            work();
        }
    }
    std::deque<std::function<void()>> queue;
    bool stopped = false;
};

class RecordingSink : public ua::RequestSink {
public:
    struct Request {
        std::shared_ptr<ua::ChannelLink> channel;
        std::uint32_t requestId;
        Bytes message;
    };
    void OnRequest(const std::shared_ptr<ua::ChannelLink>& channel, std::uint32_t requestId, Bytes message) override {
        requests.push_back({channel, requestId, std::move(message)});
    }
    void OnChannelClosed(const std::shared_ptr<ua::ChannelLink>& channel) override {
        closed.push_back(channel);
        EXPECT_FALSE(channel->IsOpen());
    }
    std::vector<Request> requests;
    std::vector<std::shared_ptr<ua::ChannelLink>> closed;
};

constexpr std::uint32_t kChannel = 7;

class UaConnectionTest : public ::testing::Test {
protected:
    void Make(ua::TransportLimits limits = {}) {
        connection = std::make_unique<ua::UaConnection>(host, sink, limits, kChannel, "127.0.0.1:5000", poster, now);
    }
    // A fresh start: the last connection goes first, so that its end is not
    // counted against the next case.
    void Reset() {
        connection.reset();
        host = RecordingHost();
        sink = RecordingSink();
    }
    void Feed(const Bytes& bytes) { connection->OnBytes(bytes.data(), bytes.size(), now); }
    // Hello and an open channel; returns the token.
    std::uint32_t Handshake(std::uint32_t clientReceive = 65535, std::uint32_t maxMessage = 0,
                            std::uint32_t maxChunks = 0, std::uint32_t firstSequence = 1) {
        Feed(Hello(clientReceive, 65535, maxMessage, maxChunks));
        OpenOptions open;
        open.sequenceNumber = firstSequence;
        Feed(Open(open));
        sequence = firstSequence;
        auto chunks = host.Take();
        EXPECT_EQ(chunks.size(), 2u);
        if (chunks.size() != 2) return 0;
        EXPECT_EQ(chunks[1].type, "OPN");
        return chunks[1].tokenId;
    }
    Bytes Msg(char chunkType, std::uint32_t token, std::uint32_t requestId, const Bytes& body) {
        return Chunk("MSG", chunkType, kChannel, token, ++sequence, requestId, body);
    }
    // Expects the connection ended with exactly this error.
    void ExpectError(ua::StatusCode code) {
        auto chunks = host.Take();
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks.back().type, "ERR");
        EXPECT_EQ(chunks.back().error, code) << std::hex << chunks.back().error << " " << chunks.back().reason;
        EXPECT_TRUE(connection->Closed());
        EXPECT_TRUE(host.closed);
    }

    RecordingHost host;
    RecordingSink sink;
    std::shared_ptr<QueuePoster> poster = std::make_shared<QueuePoster>();
    Clock::time_point now = Clock::now();
    std::unique_ptr<ua::UaConnection> connection;
    std::uint32_t sequence = 0;
};

TEST_F(UaConnectionTest, HelloNegotiatesTheSmallerBuffersInAnyPieces) {
    Make();
    const Bytes hello = Hello(8192, 200000, 1000000, 50, std::string(4096, 'u'));
    for (std::uint8_t byte : hello) Feed({byte});
    auto chunks = host.Take();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].type, "ACK");
    EXPECT_EQ(chunks[0].sendBuffer, 8192u);       // what the client can take
    EXPECT_EQ(chunks[0].receiveBuffer, 65535u);   // ours, below what the client may send
    EXPECT_EQ(chunks[0].maxMessage, 16u * 1024 * 1024);
    // Enough chunks for the largest message at the negotiated size.
    EXPECT_GE(std::uint64_t{chunks[0].maxChunks} * (65535 - 24), 16u * 1024 * 1024);
    EXPECT_FALSE(connection->Closed());
    EXPECT_EQ(connection->ReceiveBufferSize(), 65535u);
}

TEST_F(UaConnectionTest, RefusesWhatIsNoProperHello) {
    struct Case {
        const char* what;
        Bytes bytes;
        ua::StatusCode error;
    };
    const std::string longUrl(9000, 'u');
    const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const Case cases[] = {
        {"a receive buffer below 8192", Hello(8191, 65535), 0x80AC0000},
        {"a send buffer below 8192", Hello(65535, 4096), 0x80AC0000},
        {"a Hello beyond the first chunk's limit", Hello(65535, 65535, 0, 0, longUrl), ua::status::BadTcpMessageTooLarge},
        {"an endpoint URL of 4097 bytes", Hello(65535, 65535, 0, 0, std::string(4097, 'u')),
         ua::status::BadTcpEndpointUrlInvalid},
        {"HTTP", Bytes(http.begin(), http.end()), ua::status::BadTcpMessageTypeInvalid},
        {"a reverse hello", [] { auto b = Hello(); std::memcpy(b.data(), "RHE", 3); return b; }(),
         ua::status::BadTcpMessageTypeInvalid},
        {"a secure channel before the Hello", Open(), ua::status::BadTcpMessageTypeInvalid},
        {"a Hello in chunks", [] { auto b = Hello(); b[3] = 'C'; return b; }(), ua::status::BadTcpMessageTypeInvalid},
        {"a size below the header", Bytes{'H', 'E', 'L', 'F', 4, 0, 0, 0}, ua::status::BadTcpMessageTypeInvalid},
        {"a Hello with bytes left over", [] { auto b = Hello(); b.push_back(0); b[4]++; return b; }(),
         ua::status::BadDecodingError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        Make();
        Feed(c.bytes);
        ExpectError(c.error);
        // Nothing more is read once it ended.
        Feed(Hello());
        EXPECT_TRUE(host.stream.empty());
    }
}

TEST_F(UaConnectionTest, OpensChannelWithLifetimeWithinBounds) {
    const std::pair<std::uint32_t, std::uint32_t> lifetimes[] = {
        {1000, 600000}, {0, 600000}, {900000, 900000}, {100000000, 3600000}};
    for (auto [requested, revised] : lifetimes) {
        SCOPED_TRACE(requested);
        Reset();
        Make();
        Feed(Hello());
        OpenOptions open;
        open.requestedLifetime = requested;
        open.requestId = 42;
        Feed(Open(open));
        auto chunks = host.Take();
        ASSERT_EQ(chunks.size(), 2u);
        ASSERT_EQ(chunks[1].type, "OPN");
        EXPECT_EQ(chunks[1].channelId, kChannel);
        EXPECT_EQ(chunks[1].requestId, 42u);
        EXPECT_EQ(chunks[1].revisedLifetime, revised);
        EXPECT_NE(chunks[1].tokenId, 0u);
        EXPECT_TRUE(connection->ChannelOpen());
        EXPECT_TRUE(connection->Channel()->IsOpen());
        EXPECT_EQ(connection->Channel()->Id(), kChannel);
        EXPECT_EQ(connection->Channel()->EndpointUrl(), "opc.tcp://localhost:4840");
    }
}

TEST_F(UaConnectionTest, RefusesChannelsItDoesNotOffer) {
    struct Case {
        const char* what;
        OpenOptions open;
        ua::StatusCode error;
    };
    OpenOptions signing;
    signing.securityMode = 2;
    OpenOptions rsa;
    rsa.policy = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    OpenOptions unknownType;
    unknownType.requestType = 5;
    OpenOptions renewOfNothing;
    renewOfNothing.requestType = 1;
    renewOfNothing.channelId = kChannel;
    const Case cases[] = {
        {"signing", signing, ua::status::BadSecurityModeRejected},
        {"a security policy", rsa, ua::status::BadSecurityPolicyRejected},
        {"an unknown request type", unknownType, ua::status::BadDecodingError},
        {"a renewal before the channel", renewOfNothing, ua::status::BadTcpSecureChannelUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        Make();
        Feed(Hello());
        Feed(Open(c.open));
        ExpectError(c.error);
        EXPECT_TRUE(sink.closed.empty());
    }
    // A truncated request body.
    Reset();
    Make();
    Feed(Hello());
    Bytes open = Open();
    open.erase(open.end() - 3, open.end());
    open[4] = static_cast<std::uint8_t>(open.size());
    Feed(open);
    ExpectError(ua::status::BadDecodingError);
}

TEST_F(UaConnectionTest, ReassemblesChunkedRequestForTheSink) {
    Make();
    const std::uint32_t token = Handshake();
    const Bytes request = Request(ua::encoding::ReadRequest, 9, 3000);
    const Bytes first(request.begin(), request.begin() + 1000);
    const Bytes second(request.begin() + 1000, request.begin() + 2500);
    const Bytes third(request.begin() + 2500, request.end());
    Feed(Concat({Msg('C', token, 31, first), Msg('C', token, 31, second)}));
    EXPECT_TRUE(sink.requests.empty());
    Feed(Msg('F', token, 31, third));
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_EQ(sink.requests[0].requestId, 31u);
    EXPECT_EQ(sink.requests[0].message, request);
    EXPECT_EQ(sink.requests[0].channel, connection->Channel());
    // A following request in one chunk stands alone.
    const Bytes next = Request(ua::encoding::BrowseRequest, 10, 5);
    Feed(Msg('F', token, 32, next));
    ASSERT_EQ(sink.requests.size(), 2u);
    EXPECT_EQ(sink.requests[1].message, next);
    EXPECT_TRUE(host.stream.empty());
}

TEST_F(UaConnectionTest, AbortDropsThePartialRequest) {
    Make();
    const std::uint32_t token = Handshake();
    Feed(Msg('C', token, 5, Request(ua::encoding::ReadRequest, 1, 100)));
    ua::Writer abort;
    abort.UInt32(ua::status::BadRequestCancelledByClient);
    abort.String("gave up");
    Feed(Msg('A', token, 5, abort.Take()));
    const Bytes next = Request(ua::encoding::ReadRequest, 2, 10);
    Feed(Msg('F', token, 6, next));
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_EQ(sink.requests[0].requestId, 6u);
    EXPECT_EQ(sink.requests[0].message, next);
    EXPECT_FALSE(connection->Closed());
}

TEST_F(UaConnectionTest, SequenceNumbersFollowOnAndStartAgainLowOnlyFromTheTop) {
    struct Case {
        std::uint32_t first;  // the OpenSecureChannel's
        std::uint32_t next;
        bool accepted;
    };
    const Case cases[] = {
        {1, 2, true},           {1, 1, false},          {1, 3, false},           {100, 3, false},
        {4294966272u, 5, true}, {4294966271u, 5, false},  // the top begins above 4294966271
        {4294967295u, 0, true}, {4294967290u, 1023, true}, {4294967290u, 1024, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " -> " + std::to_string(c.next));
        Reset();
        Make();
        const std::uint32_t token = Handshake(65535, 0, 0, c.first);
        sequence = c.next - 1;
        Feed(Msg('F', token, 1, Request(ua::encoding::ReadRequest, 1)));
        if (c.accepted) {
            Feed(Msg('F', token, 2, Request(ua::encoding::ReadRequest, 2)));  // and on from there
            EXPECT_EQ(sink.requests.size(), 2u);
            EXPECT_FALSE(connection->Closed());
        } else {
            ExpectError(ua::status::BadSequenceNumberInvalid);
            EXPECT_TRUE(sink.requests.empty());
            EXPECT_EQ(sink.closed.size(), 1u);
        }
    }
}

TEST_F(UaConnectionTest, RefusesMessagesOfOtherChannelsAndTokens) {
    Make();
    std::uint32_t token = Handshake();
    Feed(Chunk("MSG", 'F', kChannel + 1, token, ++sequence, 1, Request(ua::encoding::ReadRequest, 1)));
    ExpectError(ua::status::BadTcpSecureChannelUnknown);

    Reset();
    Make();
    token = Handshake();
    Feed(Msg('F', token + 1, 1, Request(ua::encoding::ReadRequest, 1)));
    ExpectError(ua::status::BadSecureChannelTokenUnknown);

    // An OpenSecureChannel request inside a MSG.
    Reset();
    Make();
    token = Handshake();
    Feed(Msg('F', token, 1, Request(ua::encoding::OpenSecureChannelRequest, 1)));
    ExpectError(ua::status::BadTcpMessageTypeInvalid);
    // Two requests' chunks interleaved.
    Reset();
    Make();
    token = Handshake();
    Feed(Msg('C', token, 1, Request(ua::encoding::ReadRequest, 1)));
    Feed(Msg('C', token, 2, Request(ua::encoding::ReadRequest, 2)));
    EXPECT_TRUE(connection->Closed());
    EXPECT_TRUE(sink.requests.empty());
}

TEST_F(UaConnectionTest, RefusesRequestsBeyondTheAgreedSizes) {
    // More bytes than the largest message.
    ua::TransportLimits limits;
    limits.maxMessageSize = 20000;
    Make(limits);
    std::uint32_t token = Handshake();
    const Bytes piece(8000, 0x11);
    Feed(Concat({Msg('C', token, 1, piece), Msg('C', token, 1, piece)}));
    EXPECT_FALSE(connection->Closed());
    Feed(Msg('F', token, 1, piece));
    ExpectError(ua::status::BadRequestTooLarge);
    EXPECT_TRUE(sink.requests.empty());

    // More chunks than agreed.
    Reset();
    limits = {};
    limits.maxChunkCount = 3;
    Make(limits);
    Feed(Hello());
    auto ack = host.Take();
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].maxChunks, 3u);
    Feed(Open());
    host.Take();
    sequence = 1;
    token = 1;
    for (int i = 0; i < 3; ++i) Feed(Msg('C', token, 1, Bytes(10, 0x22)));
    EXPECT_FALSE(connection->Closed());
    Feed(Msg('F', token, 1, Bytes(10, 0x22)));
    ExpectError(ua::status::BadTcpMessageTooLarge);

    // A chunk larger than the receive buffer: refused from its header alone.
    Reset();
    limits = {};
    limits.receiveBufferSize = 8192;
    Make(limits);
    token = Handshake();
    const Bytes big = Msg('F', token, 1, Bytes(9000, 0x33));
    Feed(Bytes(big.begin(), big.begin() + 8));
    ExpectError(ua::status::BadTcpMessageTooLarge);
}

TEST_F(UaConnectionTest, RenewalKeepsOldTokenUntilTheClientUsesTheNewOne) {
    Make();
    const std::uint32_t first = Handshake();
    OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = kChannel;
    renew.sequenceNumber = ++sequence;
    renew.requestId = 2;
    Feed(Open(renew));
    auto chunks = host.Take();
    ASSERT_EQ(chunks.size(), 1u);
    ASSERT_EQ(chunks[0].type, "OPN");
    const std::uint32_t second = chunks[0].tokenId;
    EXPECT_NE(second, first);
    EXPECT_EQ(chunks[0].channelId, kChannel);

    // The old token still works, and answers carry it.
    Feed(Msg('F', first, 3, Request(ua::encoding::ReadRequest, 3)));
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_TRUE(connection->Channel()->Send(3, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 3)));
    poster->RunAll();
    chunks = host.Take();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].tokenId, first);

    // The client moves to the new one: answers follow, the old one ends.
    Feed(Msg('F', second, 4, Request(ua::encoding::ReadRequest, 4)));
    EXPECT_TRUE(connection->Channel()->Send(4, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 4)));
    poster->RunAll();
    chunks = host.Take();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].tokenId, second);
    Feed(Msg('F', first, 5, Request(ua::encoding::ReadRequest, 5)));
    ExpectError(ua::status::BadSecureChannelTokenUnknown);
    EXPECT_EQ(sink.requests.size(), 2u);
}

TEST_F(UaConnectionTest, TimeLimitsEndTheConnection) {
    // No Hello.
    Make();
    connection->OnTimer(now + 9s);
    EXPECT_FALSE(connection->Closed());
    connection->OnTimer(now + 10s);
    ExpectError(ua::status::BadTimeout);

    // A request left half sent.
    Reset();
    Make();
    std::uint32_t token = Handshake();
    connection->OnTimer(now + 20s);  // a channel with nothing pending stays
    Feed(Msg('C', token, 1, Bytes(10, 1)));
    connection->OnTimer(now + 29s);
    EXPECT_FALSE(connection->Closed());
    connection->OnTimer(now + 30s);
    ExpectError(ua::status::BadTimeout);
    EXPECT_EQ(sink.closed.size(), 1u);

    // A token not renewed within 125 % of its lifetime (600 s).
    Reset();
    Make();
    token = Handshake();
    connection->OnTimer(now + 749s);
    EXPECT_FALSE(connection->Closed());
    connection->OnTimer(now + 750s);
    ExpectError(ua::status::BadSecureChannelClosed);
    EXPECT_EQ(sink.closed.size(), 1u);

    // A renewed one lives on; the old token expires on its own time.
    Reset();
    Make();
    token = Handshake();
    now += 500s;
    OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = kChannel;
    renew.sequenceNumber = ++sequence;
    Feed(Open(renew));
    host.Take();
    connection->OnTimer(now + 300s);  // 800 s after the first token was made
    EXPECT_FALSE(connection->Closed());
    now += 300s;
    Feed(Msg('F', token, 1, Request(ua::encoding::ReadRequest, 1)));
    ExpectError(ua::status::BadSecureChannelTokenUnknown);
}

TEST_F(UaConnectionTest, CloseEndsChannelQuietly) {
    Make();
    const std::uint32_t token = Handshake();
    auto channel = connection->Channel();
    Feed(Chunk("CLO", 'F', kChannel, token, ++sequence, 9, Request(ua::encoding::CloseSecureChannelRequest, 9)));
    EXPECT_TRUE(host.stream.empty());
    EXPECT_TRUE(connection->Closed());
    EXPECT_EQ(host.closes, 1);
    ASSERT_EQ(sink.closed.size(), 1u);
    EXPECT_EQ(sink.closed[0], channel);
    EXPECT_FALSE(channel->Send(1, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 1)));
    connection.reset();
    EXPECT_EQ(sink.closed.size(), 1u) << "told twice";
}

TEST_F(UaConnectionTest, PeerGoneOrServerStoppingEndsChannelOnce) {
    Make();
    Handshake();
    connection->OnPeerClosed();
    connection->OnPeerClosed();
    EXPECT_EQ(sink.closed.size(), 1u);
    EXPECT_TRUE(host.stream.empty());

    Reset();
    Make();
    Handshake();
    connection->Shutdown(ua::status::BadShutdown, "stopping");
    ExpectError(ua::status::BadShutdown);
    EXPECT_EQ(sink.closed.size(), 1u);

    // Destroyed while open: the sink still hears of it.
    Reset();
    Make();
    Handshake();
    connection.reset();
    EXPECT_EQ(sink.closed.size(), 1u);
}

TEST_F(UaConnectionTest, ResponsesAreCutToTheClientsBufferInOrder) {
    Make();
    Handshake(8192);
    auto channel = connection->Channel();
    const Bytes response = Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 77, 30000);
    const Bytes small = Response(ua::encoding::ResponseOf(ua::encoding::BrowseRequest), 78, 3);
    // From another thread's point of view: nothing goes out until the loop runs it.
    EXPECT_TRUE(channel->Send(12, response));
    EXPECT_TRUE(channel->Send(13, small));
    EXPECT_TRUE(host.stream.empty());
    poster->RunAll();
    auto chunks = host.Take();
    ASSERT_EQ(chunks.size(), 5u);  // 30000+ bytes in chunks of 8168, then the small one
    Bytes joined;
    std::uint32_t expected = chunks[0].sequenceNumber;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chunks[i].type, "MSG");
        EXPECT_LE(chunks[i].whole.size(), 8192u);
        EXPECT_EQ(chunks[i].sequenceNumber, expected++);
        EXPECT_EQ(chunks[i].channelId, kChannel);
        if (i < 4) {
            EXPECT_EQ(chunks[i].requestId, 12u);
            EXPECT_EQ(chunks[i].chunkType, i < 3 ? 'C' : 'F');
            joined.insert(joined.end(), chunks[i].body.begin(), chunks[i].body.end());
        }
    }
    EXPECT_EQ(joined, response);
    EXPECT_EQ(chunks[4].requestId, 13u);
    EXPECT_EQ(chunks[4].chunkType, 'F');
    EXPECT_EQ(chunks[4].body, small);
}

TEST_F(UaConnectionTest, ResponseTooLargeForTheClientBecomesAFault) {
    const std::pair<std::uint32_t, std::uint32_t> clientLimits[] = {{10000, 0}, {0, 2}};
    for (auto [maxMessage, maxChunks] : clientLimits) {
        SCOPED_TRACE(maxMessage);
        Reset();
        Make();
        Handshake(8192, maxMessage, maxChunks);
        auto channel = connection->Channel();
        EXPECT_FALSE(channel->Send(21, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 555, 20000)));
        poster->RunAll();
        auto chunks = host.Take();
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].requestId, 21u);
        ua::Reader reader(chunks[0].body);
        EXPECT_EQ(reader.NodeIdValue(), ua::NodeId(0, ua::encoding::ServiceFault));
        const ua::ResponseHeader header = ua::ReadResponseHeader(reader);
        EXPECT_EQ(header.serviceResult, ua::status::BadResponseTooLarge);
        EXPECT_EQ(header.requestHandle, 555u);
        EXPECT_FALSE(connection->Closed());
        // Exactly at the limit still goes.
        const std::size_t fits = maxMessage != 0 ? maxMessage : 2 * (8192 - 24);
        Bytes exact = Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 556, 0);
        exact.resize(fits, 0x44);
        EXPECT_TRUE(channel->Send(22, exact));
        EXPECT_FALSE(channel->Send(23, Bytes(fits + 1, 0x44)));
    }
}

TEST_F(UaConnectionTest, AnswersAfterTheConnectionWentAreDropped) {
    Make();
    Handshake();
    auto channel = connection->Channel();
    EXPECT_TRUE(channel->Send(1, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 1)));
    connection.reset();
    poster->RunAll();  // must not touch the connection that is gone
    EXPECT_TRUE(host.stream.empty());
    EXPECT_FALSE(channel->IsOpen());
    EXPECT_FALSE(channel->Send(2, Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), 2)));
}

}  // namespace
