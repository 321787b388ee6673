// Fuzz target: any bytes as what an opc.tcp client sends on its connection.
// The protocol must neither crash nor leak nor hold more than the agreed
// sizes, must answer only in well-formed chunks no larger than the client
// accepts, must write nothing after it closed, and must tell the services
// exactly once of every channel that ended.
//
// The first byte picks the size of the pieces the rest arrives in (as a
// socket would cut it), and every piece moves the clock on by a second, so
// that the time limits run too. Every request is answered with a small
// response, as the services would, and every tenth with one of several
// chunks.
//
// With VOK_FUZZ_UA_SEEDS=<folder> the program first writes seeds there: a
// Hello, an opened channel, requests whole and in chunks, an aborted one, a
// renewal and a close, made by the same builders the transport's tests use.
#include "TcpClientMessages.h"
#include "UaConnection.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <string>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "ua: %s\n", what);
    std::abort();
}

class CheckingHost : public ua::ConnectionHost {
public:
    void Write(std::vector<std::uint8_t> bytes) override {
        if (closed) Fault("written after the close");
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        // Every chunk whole, well formed, and within what the client accepts.
        std::size_t used = 0;
        std::vector<uatest::ServerChunk> chunks;
        try {
            chunks = uatest::ParseServer(stream, &used);
        } catch (const ua::DecodeError&) {
            Fault("a chunk the client cannot read");
        }
        if (used != stream.size()) Fault("a chunk cut short");
        for (const auto& chunk : chunks) {
            if (chunk.whole.size() > 65535) Fault("a chunk larger than any buffer");
            // The channel opened (or renewed: the same one channel).
            if (chunk.type == "OPN") opened = true;
        }
        stream.clear();
    }
    void Close() override {
        if (closed) Fault("closed twice");
        closed = true;
    }
    std::vector<std::uint8_t> stream;
    bool closed = false;
    bool opened = false;
};

class QueuePoster : public ua::Poster {
public:
    bool Post(std::function<void()> work) override {
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
};

class AnsweringSink : public ua::RequestSink {
public:
    void OnRequest(const std::shared_ptr<ua::ChannelLink>& channel, std::uint32_t requestId,
                   std::vector<std::uint8_t> message) override {
        if (!channel->IsOpen()) Fault("a request of a closed channel");
        if (message.size() > ua::TransportLimits{}.maxMessageSize) Fault("a request beyond the largest message");
        const std::size_t payload = ++requests % 10 == 0 ? 20000 : 8;
        channel->Send(requestId,
                      uatest::Response(ua::encoding::ResponseOf(ua::encoding::ReadRequest), requestId, payload));
    }
    void OnChannelClosed(const std::shared_ptr<ua::ChannelLink>& channel) override {
        if (channel->IsOpen()) Fault("a closed channel still open");
        ++closed;
    }
    unsigned requests = 0;
    int closed = 0;
};

void WriteSeed(const std::string& folder, const char* name, std::uint8_t pieces, const uatest::Bytes& stream) {
    std::ofstream out(folder + "/seed-" + name, std::ios::binary);
    out.put(static_cast<char>(pieces));
    out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
}

void WriteSeeds(const std::string& folder) {
    using namespace uatest;
    const std::uint32_t channel = 1;  // the id the fuzz connection gives its channel
    const std::uint32_t token = 1;
    const Bytes hello = Hello(8192, 8192, 0, 0);
    const Bytes open = Open();
    const Bytes read = Request(ua::encoding::ReadRequest, 5, 40);
    const Bytes big = Request(ua::encoding::BrowseRequest, 6, 12000);
    const Bytes half1(big.begin(), big.begin() + 6000);
    const Bytes half2(big.begin() + 6000, big.end());
    ua::Writer abort;
    abort.UInt32(ua::status::BadRequestCancelledByClient);
    abort.String("gave up");
    OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = channel;
    renew.sequenceNumber = 3;
    renew.requestId = 3;
    WriteSeed(folder, "hello", 0, hello);
    WriteSeed(folder, "open", 0, Concat({hello, open}));
    WriteSeed(folder, "read", 3, Concat({hello, open, Chunk("MSG", 'F', channel, token, 2, 2, read)}));
    WriteSeed(folder, "chunked",
              0, Concat({hello, open, Chunk("MSG", 'C', channel, token, 2, 2, half1),
                         Chunk("MSG", 'F', channel, token, 3, 2, half2)}));
    WriteSeed(folder, "abort", 0,
              Concat({hello, open, Chunk("MSG", 'C', channel, token, 2, 2, half1),
                      Chunk("MSG", 'A', channel, token, 3, 2, abort.Take()),
                      Chunk("MSG", 'F', channel, token, 4, 4, read)}));
    WriteSeed(folder, "renew-close", 1,
              Concat({hello, open, Chunk("MSG", 'F', channel, token, 2, 2, read), Open(renew),
                      Chunk("MSG", 'F', channel, token + 1, 4, 4, read),
                      Chunk("CLO", 'F', channel, token + 1, 5, 5,
                            Request(ua::encoding::CloseSecureChannelRequest, 6))}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* seeds = std::getenv("VOK_FUZZ_UA_SEEDS")) WriteSeeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // 0: the rest at once; otherwise pieces of 1 to 255 bytes times 7.
    const std::size_t piece = data[0] == 0 ? size : std::size_t{data[0]} * 7 % 1021 + 1;
    ++data;
    --size;

    CheckingHost host;
    AnsweringSink sink;
    auto poster = std::make_shared<QueuePoster>();
    auto now = ua::UaConnection::Clock::time_point{} + std::chrono::hours(1);
    {
        ua::UaConnection connection(host, sink, ua::TransportLimits{}, 1, "fuzz", poster, now);
        for (std::size_t at = 0; at < size && !connection.Closed(); at += piece) {
            connection.OnBytes(data + at, std::min(piece, size - at), now);
            poster->RunAll();
            now += std::chrono::seconds(1);
            connection.OnTimer(now);
        }
    }
    poster->RunAll();  // answers queued for a connection that is gone go nowhere
    if (sink.closed != (host.opened ? 1 : 0)) Fault("a channel's end told other than once");
    return 0;
}
