// The opc.tcp listener over loopback with real sockets: clients served side
// by side, misbehaving clients cut off without harm to the others, answers
// from other threads cut into chunks, the connection limit, and stopping.
#include "TcpClientMessages.h"
#include "TcpTransport.h"

#include <gtest/gtest.h>
#include <kj/async-io.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace uatest;
using namespace std::chrono_literals;

constexpr std::uint32_t kLargeHandle = 999;
constexpr std::size_t kLargePayload = 200000;

// Answers every request from a thread of its own, as the services do: a
// small response, or a large one for kLargeHandle.
class AnsweringSink : public ua::RequestSink {
public:
    ~AnsweringSink() override { Join(); }
    void OnRequest(const std::shared_ptr<ua::ChannelLink>& channel, std::uint32_t requestId, Bytes message) override {
        ua::Reader reader(message);
        const ua::NodeId type = reader.NodeIdValue();
        const std::uint32_t handle = ua::ReadRequestHeader(reader).requestHandle;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(requestId);
        }
        const std::size_t payload = handle == kLargeHandle ? kLargePayload : 10;
        Bytes response = Response(ua::encoding::ResponseOf(type.numeric), handle, payload);
        std::lock_guard lock(mutex_);
        threads_.emplace_back([channel, requestId, response = std::move(response), this]() mutable {
            if (!channel->Send(requestId, std::move(response))) ++failedSends;
        });
    }
    void OnChannelClosed(const std::shared_ptr<ua::ChannelLink>& channel) override {
        EXPECT_FALSE(channel->IsOpen());
        ++closed;
    }
    void Join() {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            threads.swap(threads_);
        }
        for (auto& thread : threads) thread.join();
    }
    std::size_t RequestCount() {
        std::lock_guard lock(mutex_);
        return requests_.size();
    }
    std::atomic<int> closed{0};
    std::atomic<int> failedSends{0};

private:
    std::mutex mutex_;
    std::vector<std::uint32_t> requests_;
    std::vector<std::thread> threads_;
};

// A client on the test thread's own KJ loop.
class Client {
public:
    Client(kj::AsyncIoContext& io, std::uint16_t port) : io_(io) {
        stream_ = io.provider->getNetwork().parseAddress("127.0.0.1", port).wait(io.waitScope)->connect().wait(
            io.waitScope);
    }
    void Send(const Bytes& bytes) { stream_->write(bytes.data(), bytes.size()).wait(io_.waitScope); }
    void Hang() { stream_ = nullptr; }
    // Reads until count chunks came, the server closed, or 5 seconds passed.
    std::vector<ServerChunk> Read(std::size_t count) {
        std::vector<ServerChunk> chunks;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (true) {
            std::size_t used = 0;
            auto parsed = ParseServer(buffer_, &used);
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
            for (auto& chunk : parsed) chunks.push_back(std::move(chunk));
            if (chunks.size() >= count || ended || std::chrono::steady_clock::now() > deadline) return chunks;
            std::array<std::uint8_t, 65536> piece{};
            auto read = stream_->tryRead(piece.data(), 1, piece.size())
                            .exclusiveJoin(io_.provider->getTimer().afterDelay(200 * kj::MILLISECONDS).then(
                                [] { return std::size_t{static_cast<std::size_t>(-1)}; }))
                            .wait(io_.waitScope);
            if (read == static_cast<std::size_t>(-1)) continue;
            if (read == 0) ended = true;
            buffer_.insert(buffer_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(read));
        }
    }
    // Hello and an open channel; remembers the channel and token.
    void Handshake(std::uint32_t receiveBuffer = 65535) {
        Send(Hello(receiveBuffer));
        OpenOptions open;
        Send(Open(open));
        sequence = open.sequenceNumber;
        auto chunks = Read(2);
        ASSERT_EQ(chunks.size(), 2u);
        ASSERT_EQ(chunks[0].type, "ACK");
        ASSERT_EQ(chunks[1].type, "OPN");
        channelId = chunks[1].channelId;
        tokenId = chunks[1].tokenId;
    }
    void Request(std::uint32_t requestId, std::uint32_t handle) {
        Send(Chunk("MSG", 'F', channelId, tokenId, ++sequence, requestId,
                   uatest::Request(ua::encoding::ReadRequest, handle, 20)));
    }
    bool ended = false;
    std::uint32_t channelId = 0, tokenId = 0, sequence = 0;

private:
    kj::AsyncIoContext& io_;
    kj::Own<kj::AsyncIoStream> stream_;
    Bytes buffer_;
};

class TcpTransportTest : public ::testing::Test {
protected:
    void Start(ua::TransportLimits limits = {}) {
        transport = std::make_unique<ua::TcpTransport>(sink, limits);
        std::string error;
        ASSERT_TRUE(transport->Listen("127.0.0.1", 0, error)) << error;
        ASSERT_NE(transport->Port(), 0);
    }
    void TearDown() override {
        transport.reset();
        sink.Join();
    }
    // The count settles after the loop dropped the connections.
    bool ConnectionsBecome(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (transport->ConnectionCount() != count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Held apart: its destructor may throw, which a test class's may not.
    std::unique_ptr<kj::AsyncIoContext> ioHeld = std::make_unique<kj::AsyncIoContext>(kj::setupAsyncIo());
    kj::AsyncIoContext& io = *ioHeld;
    AnsweringSink sink;
    std::unique_ptr<ua::TcpTransport> transport;
};

TEST_F(TcpTransportTest, ServesTwoClientsAtOnce) {
    Start();
    Client first(io, transport->Port());
    Client second(io, transport->Port());
    first.Handshake();
    second.Handshake();
    EXPECT_NE(first.channelId, second.channelId);
    EXPECT_TRUE(ConnectionsBecome(2));
    first.Request(10, 1);
    second.Request(20, 2);
    first.Request(11, 3);
    auto fromSecond = second.Read(1);
    auto fromFirst = first.Read(2);
    ASSERT_EQ(fromSecond.size(), 1u);
    EXPECT_EQ(fromSecond[0].requestId, 20u);
    EXPECT_EQ(fromSecond[0].channelId, second.channelId);
    ASSERT_EQ(fromFirst.size(), 2u);
    // Answered from two threads: either order, each whole.
    EXPECT_EQ(fromFirst[0].requestId + fromFirst[1].requestId, 21u);
    for (const auto& chunk : fromFirst) {
        ua::Reader reader(chunk.body);
        EXPECT_EQ(reader.NodeIdValue(), ua::NodeId(0, ua::encoding::ResponseOf(ua::encoding::ReadRequest)));
        EXPECT_EQ(ua::ReadResponseHeader(reader).requestHandle, chunk.requestId == 10 ? 1u : 3u);
    }
    EXPECT_EQ(sink.RequestCount(), 3u);
}

TEST_F(TcpTransportTest, MisbehavingClientsAreCutOffWhileOthersGoOn) {
    Start();
    Client good(io, transport->Port());
    good.Handshake();

    Client garbage(io, transport->Port());
    const std::string http = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    garbage.Send(Bytes(http.begin(), http.end()));
    auto answer = garbage.Read(2);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type, "ERR");
    EXPECT_EQ(answer[0].error, ua::status::BadTcpMessageTypeInvalid);
    EXPECT_TRUE(garbage.ended);

    // Half a Hello, then gone; and a channel dropped halfway through a request.
    {
        Client truncated(io, transport->Port());
        const Bytes hello = Hello();
        truncated.Send(Bytes(hello.begin(), hello.begin() + 20));
        Client dropped(io, transport->Port());
        dropped.Handshake();
        const Bytes request = Chunk("MSG", 'C', dropped.channelId, dropped.tokenId, dropped.sequence + 1, 5,
                                    Request(ua::encoding::ReadRequest, 5, 100));
        dropped.Send(Bytes(request.begin(), request.begin() + 40));
    }
    EXPECT_TRUE(ConnectionsBecome(1));
    EXPECT_EQ(sink.closed.load(), 1);  // the dropped client's channel

    good.Request(7, 70);
    auto chunks = good.Read(1);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].requestId, 7u);
    EXPECT_FALSE(good.ended);
}

TEST_F(TcpTransportTest, LargeResponseArrivesInSeveralChunks) {
    Start();
    Client client(io, transport->Port());
    client.Handshake(8192);
    client.Request(3, kLargeHandle);
    const Bytes response = Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), kLargeHandle, kLargePayload);
    const std::size_t expected = (response.size() + 8192 - 24 - 1) / (8192 - 24);
    auto chunks = client.Read(expected);
    ASSERT_EQ(chunks.size(), expected);
    Bytes joined;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(chunks[i].whole.size(), 8192u);
        EXPECT_EQ(chunks[i].requestId, 3u);
        EXPECT_EQ(chunks[i].chunkType, i + 1 == chunks.size() ? 'F' : 'C');
        if (i > 0) {
            EXPECT_EQ(chunks[i].sequenceNumber, chunks[i - 1].sequenceNumber + 1);
        }
        joined.insert(joined.end(), chunks[i].body.begin(), chunks[i].body.end());
    }
    EXPECT_EQ(joined, response);
}

TEST_F(TcpTransportTest, PortInUseIsAClearError) {
    Start();
    AnsweringSink otherSink;
    ua::TcpTransport other(otherSink);
    std::string error;
    EXPECT_FALSE(other.Listen("127.0.0.1", transport->Port(), error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(transport->Port())), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(other.Listen("no.such.host.invalid", 0, error));
    EXPECT_FALSE(error.empty());
    // One listener per transport.
    error.clear();
    EXPECT_FALSE(transport->Listen("127.0.0.1", 0, error));
    EXPECT_NE(error.find("listens already"), std::string::npos) << error;
    // The first transport still serves.
    Client client(io, transport->Port());
    client.Handshake();
}

TEST_F(TcpTransportTest, ConnectionsBeyondTheLimitAreRefused) {
    ua::TransportLimits limits;
    limits.maxConnections = 1;
    Start(limits);
    Client first(io, transport->Port());
    first.Handshake();
    Client second(io, transport->Port());
    auto chunks = second.Read(2);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].type, "ERR");
    EXPECT_EQ(chunks[0].error, ua::status::BadTcpNotEnoughResources);
    EXPECT_TRUE(second.ended);
    EXPECT_EQ(transport->ConnectionCount(), 1u);
    first.Request(1, 1);
    EXPECT_EQ(first.Read(1).size(), 1u);
}

TEST_F(TcpTransportTest, ClientThatReadsNothingIsCutOff) {
    ua::TransportLimits limits;
    limits.maxQueuedSendBytes = 1024 * 1024;
    Start(limits);
    Client reading(io, transport->Port());
    reading.Handshake();
    Client stuck(io, transport->Port());
    stuck.Handshake();
    // Large answers pile up once the socket's buffers are full.
    bool cut = false;
    for (std::uint32_t i = 1; i <= 300 && !cut; ++i) {
        stuck.Request(i, kLargeHandle);
        sink.Join();
        cut = transport->ConnectionCount() == 1;
        for (int wait = 0; wait < 20 && !cut; ++wait) {
            std::this_thread::sleep_for(1ms);
            cut = transport->ConnectionCount() == 1;
        }
    }
    EXPECT_TRUE(cut) << "60 MB queued for a client that reads nothing";
    EXPECT_EQ(sink.closed.load(), 1);
    reading.Request(1, 1);
    EXPECT_EQ(reading.Read(1).size(), 1u);
}

TEST_F(TcpTransportTest, CloseAndStopEndChannels) {
    Start();
    Client leaving(io, transport->Port());
    leaving.Handshake();
    leaving.Send(Chunk("CLO", 'F', leaving.channelId, leaving.tokenId, leaving.sequence + 1, 9,
                       Request(ua::encoding::CloseSecureChannelRequest, 9)));
    EXPECT_TRUE(leaving.Read(1).empty());
    EXPECT_TRUE(leaving.ended);
    EXPECT_TRUE(ConnectionsBecome(0));
    EXPECT_EQ(sink.closed.load(), 1);

    Client staying(io, transport->Port());
    staying.Handshake();
    transport->Stop();
    EXPECT_EQ(sink.closed.load(), 2);
    EXPECT_EQ(transport->ConnectionCount(), 0u);
    auto chunks = staying.Read(2);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].error, ua::status::BadShutdown);
    EXPECT_TRUE(staying.ended);
    EXPECT_EQ(transport->Port(), 0);
    std::string error;
    EXPECT_FALSE(transport->Listen("127.0.0.1", 0, error));
    EXPECT_NE(error.find("stopped"), std::string::npos) << error;
}

}  // namespace
