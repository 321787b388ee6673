// Any bytes as what a client process sends the server on its socket. The
// server is the real one: the class published on its socket in a run-time
// folder of the run's own, serving one simulated counter device. Each input
// is one client connection: the bytes are cut into the messages they frame
// and sent one by one; after a call the client waits for its answer, as a
// real client does, so that a call on an object an earlier call made finds
// it made (a call the server leaves unanswered with nothing in hand is not
// waited for). Bytes left over after the last whole message (or that frame
// nothing) go out as they are. Then the client hangs up, and the server must
// let go of the connection and everything the client held.
//
// Two more kinds of input reach what the server decodes from a client
// without a connection: "V" and a Cap'n Proto message of one variant, which
// the server's checked decoding refuses or takes, and which once taken
// writes back and reads again to the same wire form; "S" and a flag byte,
// then the bytes of a data (flag bit 0: with time stamps) or write-complete
// (bit 1) stream, as a client reads them.
//
// With VOK_FUZZ_SOCKET_SERVE=<seconds> the program only serves the same
// server for that long and prints its socket's path, so that the seeds can
// be recorded from real clients (scripts/fuzz.sh); VOK_FUZZ_SOCKET_SEEDS
// names a folder for seeds of the variant kind made with the server's own
// encoding.
#include "Wire.h"

#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/Environment.h"
#include "platform/LocalSocket.h"
#include "platform/Thread.h"
#include "remote/RemoteBroker.h"

#include <capnp/message.h>
#include <capnp/rpc.capnp.h>
#include <capnp/serialize-async.h>
#include <capnp/serialize.h>
#include <kj/async-io.h>
#include <kj/exception.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "socket: %s\n", what);
    std::abort();
}

// The server as a program serves it, made once for the run and never taken
// down (its threads outlive the inputs).
struct Server {
    std::filesystem::path folder;
    ScriptedUiServices ui;
    remote::RemoteBroker broker;
    std::unique_ptr<InProcessServer> host;
    std::string path;

    Server() : folder(MakeFolder()), broker(Settings()) {
        // The broker carries the class before the host registers it.
        broker.Install();
        host = std::make_unique<InProcessServer>();
        if (FAILED(host->Status())) Fault("the server class cannot be published");
        OPCS_Doc& doc = host->UseDocument();
        auto device = VOKDevice::Create(false);
        device->SetName("Dev1");
        device->SetSimulation(true);
        VOKDevice* raw = device.get();
        if (!doc.AddDevice(device.release())) Fault("the device cannot be added");
        auto* level = new VOKTag;
        level->SetName("Level");
        level->SetCanonicalType(VT_R8);
        level->SetAccessRights(1);
        level->SetVolatile(false);
        if (!doc.InsertTag(raw, level)) Fault("the tag cannot be added");
        path = remote::RemoteBroker::SocketPath(CLSID_VOKExplorer);
        if (path.empty()) Fault("no run-time folder");
    }

    static std::filesystem::path MakeFolder() {
        // Short: the socket's whole path must fit a socket address.
        char name[32];
        std::snprintf(name, sizeof name, "vokfz-%08x", static_cast<unsigned>(std::random_device()()));
        const auto folder = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        SetEnvironmentVariableA("XDG_RUNTIME_DIR", folder.string().c_str());
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", (folder / "registry").string().c_str());
        static std::filesystem::path made;
        made = folder;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return folder;
    }
    static remote::BrokerSettings Settings() {
        remote::BrokerSettings settings;
        settings.backlog = 4;
        return settings;
    }
};

Server& TheServer() {
    static Server* server = new Server;
    return *server;
}

// The client's own event loop, on the fuzzing thread.
kj::AsyncIoContext& ClientIo() {
    static kj::AsyncIoContext* io = new kj::AsyncIoContext(kj::setupAsyncIo());
    return *io;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// The length of the framed message at the start of bytes, or 0 when they
// frame no whole message.
std::size_t FramedLength(const std::uint8_t* bytes, std::size_t size) {
    if (size < 4) return 0;
    const std::uint64_t segments = std::uint64_t(Le32(bytes)) + 1;
    if (segments > 512) return 0;
    std::uint64_t header = 4 + 4 * segments;
    header = (header + 7) & ~std::uint64_t(7);
    if (header > size) return 0;
    std::uint64_t words = 0;
    for (std::uint64_t i = 0; i < segments; ++i) words += Le32(bytes + 4 + 4 * i);
    if (words > (size - header) / 8) return 0;
    return static_cast<std::size_t>(header + words * 8);
}

// The question a framed message asks, if it is a call or a bootstrap.
std::optional<std::uint32_t> QuestionOf(const std::uint8_t* bytes, std::size_t size) {
    try {
        auto words = kj::heapArray<capnp::word>(size / sizeof(capnp::word));
        std::memcpy(words.begin(), bytes, size);
        capnp::FlatArrayMessageReader reader(words);
        const auto message = reader.getRoot<capnp::rpc::Message>();
        if (message.isCall()) return message.getCall().getQuestionId();
        if (message.isBootstrap()) return message.getBootstrap().getQuestionId();
    } catch (const kj::Exception&) {
    }
    return std::nullopt;
}

enum class Answer { kReturned, kUnanswered, kEnded };

// The server's side of one connection as the client reads it: a read that
// is under way stays under way from one wait to the next, so that a message
// is never cut in two.
class Replies {
public:
    explicit Replies(kj::AsyncIoStream& stream) : stream_(stream) {}

    // Reads the server's messages until the return of the question. A call
    // the server leaves unanswered while it has no call of a client in hand
    // (one on a promise that never resolves, say) is given up after a few
    // quiet milliseconds rather than waited for.
    Answer AwaitReturn(std::uint32_t question) {
        auto& io = ClientIo();
        const auto start = std::chrono::steady_clock::now();
        int quiet = 0;
        for (;;) {
            if (!pending_) {
                ended_ = false;
                pending_ = capnp::tryReadMessage(stream_)
                               .then([this](kj::Maybe<kj::Own<capnp::MessageReader>>&& message) {
                                   got_ = kj::mv(message);
                               },
                               [this](kj::Exception&&) { ended_ = true; })
                               .fork();
            }
            // A millisecond at most; the read itself goes on if it is not done.
            const bool ready = pending_->addBranch()
                                   .then([] { return true; })
                                   .exclusiveJoin(io.provider->getTimer().afterDelay(1 * kj::MILLISECONDS).then(
                                       [] { return false; }))
                                   .wait(io.waitScope);
            if (ready) {
                pending_.reset();
                quiet = 0;
                if (ended_) return Answer::kEnded;
                kj::Maybe<kj::Own<capnp::MessageReader>> got = kj::mv(got_);
                got_ = nullptr;
                KJ_IF_MAYBE(reader, got) {
                    try {
                        const auto message = (*reader)->getRoot<capnp::rpc::Message>();
                        if (message.isAbort()) return Answer::kEnded;
                        if (message.isReturn() && message.getReturn().getAnswerId() == question)
                            return Answer::kReturned;
                    } catch (const kj::Exception&) {
                        Fault("the server sent a message that does not read");
                    }
                    continue;
                }
                return Answer::kEnded;  // hung up
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) return Answer::kEnded;
            // Three quiet milliseconds with no call in the server's hands:
            // the server has nothing coming for this one.
            quiet = TheServer().broker.ServedCalls() == 0 ? quiet + 1 : 0;
            if (quiet >= 3) return Answer::kUnanswered;
        }
    }

private:
    kj::AsyncIoStream& stream_;
    std::optional<kj::ForkedPromise<void>> pending_;
    kj::Maybe<kj::Own<capnp::MessageReader>> got_;
    bool ended_ = false;
};

void Connection(const std::uint8_t* data, std::size_t size) {
    Server& server = TheServer();
    auto& io = ClientIo();
    const int fd = platform::ConnectLocalSocket(server.path);
    if (fd < 0) Fault("the server does not listen");
    {
        auto stream = io.lowLevelProvider->wrapSocketFd(fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
        Replies replies(*stream);
        std::size_t at = 0;
        bool open = true;
        try {
            while (open && at < size) {
                const std::size_t length = FramedLength(data + at, size - at);
                if (length == 0) break;
                stream->write(data + at, length).wait(io.waitScope);
                if (const auto question = QuestionOf(data + at, length))
                    open = replies.AwaitReturn(*question) != Answer::kEnded;
                at += length;
            }
            if (open && at < size) stream->write(data + at, size - at).wait(io.waitScope);
        } catch (const kj::Exception&) {
            // The server hung up on what it was sent.
        }
    }
    // Hung up: the server must drop the connection and what it held.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server.broker.ServedConnections() != 0) {
        if (std::chrono::steady_clock::now() > end) Fault("the server kept a connection its client closed");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// A variant as the server puts it on the wire: the bytes of its message.
std::vector<std::uint8_t> WireBytes(const VARIANT& value) {
    capnp::MallocMessageBuilder message;
    remote::ToWire(value, message.initRoot<vokrpc::Variant>());
    const auto flat = capnp::messageToFlatArray(message);
    const auto bytes = flat.asBytes();
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// Decodes the message in bytes as one variant; throws kj::Exception when
// the bytes are no message, as the RPC layer does before any decoding.
bool ReadVariant(const std::uint8_t* data, std::size_t size, VARIANT& value) {
    auto words = kj::heapArray<capnp::word>(size / sizeof(capnp::word));
    if (words.size() > 0) std::memcpy(words.begin(), data, words.size() * sizeof(capnp::word));
    capnp::ReaderOptions options;
    // Twice what one variant the server takes may write: its own output
    // always reads back.
    options.traversalLimitInWords = 2 * remote::kMaxVariantWords;
    capnp::FlatArrayMessageReader reader(words, options);
    return remote::FromWire(reader.getRoot<vokrpc::Variant>(), value);
}

void OneVariant(const std::uint8_t* data, std::size_t size) {
    VARIANT value;
    VariantInit(&value);
    try {
        if (!ReadVariant(data, size, value)) {
            if (value.vt != VT_EMPTY) Fault("a refused variant is not left empty");
            return;
        }
    } catch (const kj::Exception&) {
        VariantClear(&value);
        return;
    }
    // What was taken writes and reads back to the same wire form.
    const std::vector<std::uint8_t> first = WireBytes(value);
    VariantClear(&value);
    VARIANT again;
    VariantInit(&again);
    try {
        if (!ReadVariant(first.data(), first.size(), again)) Fault("a variant the server wrote is refused");
    } catch (const kj::Exception&) {
        Fault("a variant the server wrote is no message");
    }
    const std::vector<std::uint8_t> second = WireBytes(again);
    VariantClear(&again);
    if (first != second) Fault("a variant changed on its way back");
}

void OneStream(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::uint8_t flags = data[0];
    const std::vector<std::uint8_t> bytes(data + 1, data + size);
    std::string error;
    if ((flags & 2) != 0) {
        const auto read = opcstream::ReadWriteCompleteStream(bytes, &error);
        if (!read) return;
        const auto written = opcstream::WriteWriteCompleteStream(read->hClientGroup, read->transactionId, read->status,
                                                                 read->results, read->itemCount);
        const auto back = opcstream::ReadWriteCompleteStream(written, &error);
        if (!back || back->results.size() != read->results.size()) Fault("a write-complete stream does not read back");
        return;
    }
    const bool withTime = (flags & 1) != 0;
    const auto read = opcstream::ReadDataStream(bytes, withTime, &error);
    if (!read) return;
    const auto written =
        opcstream::WriteDataStream(withTime, read->hClientGroup, read->transactionId, read->status, read->items);
    const auto back = opcstream::ReadDataStream(written, withTime, &error);
    if (!back || back->items.size() != read->items.size()) Fault("a data stream does not read back");
    for (std::size_t i = 0; i < read->items.size(); ++i)
        if (back->items[i].hClient != read->items[i].hClient || back->items[i].quality != read->items[i].quality)
            Fault("a data stream's item changed on its way back");
}

void WriteSeed(const std::filesystem::path& file, const VARIANT& value) {
    const std::vector<std::uint8_t> bytes = WireBytes(value);
    std::ofstream out(file, std::ios::binary);
    out.put('V');
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Variants as the server writes them: a number, a text and an array of both.
void WriteVariantSeeds(const std::filesystem::path& folder) {
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_R8;
    number.dblVal = 12.5;
    WriteSeed(folder / "seed-variant-r8", number);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("4400 VOK");
    WriteSeed(folder / "seed-variant-text", text);
    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    LONG index = 1;
    SafeArrayPutElement(array.parray, &index, &number);
    index = 2;
    SafeArrayPutElement(array.parray, &index, &text);
    WriteSeed(folder / "seed-variant-array", array);
    VariantClear(&array);
    VariantClear(&text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* serve = std::getenv("VOK_FUZZ_SOCKET_SERVE");
    if (serve == nullptr) return 0;
    Server& server = TheServer();
    if (const char* seeds = std::getenv("VOK_FUZZ_SOCKET_SEEDS")) WriteVariantSeeds(seeds);
    std::printf("%s\n", server.path.c_str());
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(serve)) * 1000);
    std::_Exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == 'V') {
        OneVariant(data + 1, size - 1);
    } else if (size > 0 && data[0] == 'S') {
        OneStream(data + 1, size - 1);
    } else {
        Connection(data, size);
    }
    return 0;
}
