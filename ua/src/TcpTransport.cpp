#include "TcpTransport.h"

#include "SecureChannel.h"
#include "UaConnection.h"
#include "foundation/CLogFile.h"
#include "remote/EventLoop.h"

#include <kj/async-io.h>

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

namespace ua {

namespace {

// How often the time limits of the connections are checked.
constexpr auto kTick = 1 * kj::SECONDS;
// A connection that ends waits this long at most for its last bytes to go.
constexpr auto kCloseGrace = std::chrono::seconds(5);
// How long Stop waits for the clients to get the reason.
constexpr auto kStopGrace = 500 * kj::MILLISECONDS;
constexpr auto kStopPoll = 10 * kj::MILLISECONDS;
// After a failed accept (out of descriptors for the moment) the listener waits a little.
constexpr auto kAcceptRetry = 100 * kj::MILLISECONDS;
constexpr std::size_t kReadSize = 65536;

void Log(const char* what, const std::string& peer, const std::string& detail) {
    EventLog().Append(what).Append(peer).Append(detail).Commit(CLogFile::kWrite);
}

// Work handed to the loop from any thread: the services' answers. A cross-
// thread fulfiller wakes the loop; the queue is taken whole on each wake.
class Inbox : public Poster {
public:
    ~Inbox() noexcept override {}

    bool Post(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        queue_.push_back(std::move(work));
        if (!signalled_ && fulfiller_) {
            signalled_ = true;
            fulfiller_->fulfill();
        }
        return true;
    }

    // The loop thread: runs what is posted until closed.
    kj::Promise<void> Serve() {
        auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
        {
            std::lock_guard lock(mutex_);
            if (closed_) return kj::READY_NOW;
            fulfiller_ = kj::mv(paf.fulfiller);
            signalled_ = !queue_.empty();
            if (signalled_) fulfiller_->fulfill();
        }
        return paf.promise.then([this] {
            std::deque<std::function<void()>> work;
            {
                std::lock_guard lock(mutex_);
                work.swap(queue_);
            }
            for (auto& one : work) one();
            return Serve();
        });
    }

    // The loop thread: no more work; what was queued is dropped.
    void Close() {
        std::deque<std::function<void()>> dropped;
        kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            dropped.swap(queue_);
            fulfiller = kj::mv(fulfiller_);
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller_;
    bool signalled_ = false;
    bool closed_ = false;
};

}  // namespace

class TcpTransport::Core : public kj::TaskSet::ErrorHandler {
public:
    Core(TcpTransport& owner, remote::EventLoop& loop)
        : owner_(owner), loop_(loop), inbox_(std::make_shared<Inbox>()), tasks_(*this) {
        tasks_.add(inbox_->Serve());
        tasks_.add(Tick());
    }
    ~Core() noexcept;

    void taskFailed(kj::Exception&& exception) override { (void)exception; }

    void Listen(kj::Own<kj::ConnectionReceiver> receiver) {
        receiver_ = kj::mv(receiver);
        accepting_ = Accept().eagerlyEvaluate(nullptr);
    }
    kj::ConnectionReceiver* Receiver() { return receiver_.get(); }
    bool Stopped() const { return stopped_; }

    kj::Promise<void> Stop();
    void DropAll();

private:
    class Connection;

    kj::Promise<void> WaitForClose(kj::TimePoint until) {
        if (connections_.empty() || loop_.Io().getTimer().now() >= until) {
            DropAll();
            return kj::READY_NOW;
        }
        return loop_.Io().getTimer().afterDelay(kStopPoll).then([this, until] { return WaitForClose(until); });
    }

    kj::Promise<void> Accept();
    void Accepted(kj::AuthenticatedStream&& accepted);
    void Refuse(kj::Own<kj::AsyncIoStream> stream, const std::string& peer);
    kj::Promise<void> Tick();
    void Remove(Connection* connection);

    TcpTransport& owner_;
    remote::EventLoop& loop_;
    std::shared_ptr<Inbox> inbox_;
    kj::Own<kj::ConnectionReceiver> receiver_;
    kj::Maybe<kj::Promise<void>> accepting_;
    bool stopped_ = false;
    std::list<std::unique_ptr<Connection>> connections_;
    std::uint32_t nextChannelId_ = 1;
    unsigned long failedAccepts_ = 0;
    kj::TaskSet tasks_;
};

// One client's socket and its protocol.
class TcpTransport::Core::Connection final : public ConnectionHost, public kj::TaskSet::ErrorHandler {
public:
    Connection(Core& core, kj::Own<kj::AsyncIoStream> stream, std::uint32_t channelId, std::string peer)
        : core_(core), stream_(kj::mv(stream)), peer_(std::move(peer)), tasks_(*this) {
        protocol_ = std::make_unique<UaConnection>(*this, core.owner_.sink_, core.owner_.limits_, channelId, peer_,
                                                   core.inbox_, UaConnection::Clock::now(), core.owner_.security_);
        tasks_.add(Read());
    }
    // The members go in reverse: the reads and writes first, then the
    // protocol (which tells the sink its channel ended), then the socket.
    ~Connection() noexcept override = default;

    void Write(std::vector<std::uint8_t> bytes) override {
        if (gone_) return;
        queued_ += bytes.size();
        if (queued_ > core_.owner_.limits_.maxQueuedSendBytes) {
            // The client takes nothing: cut it off rather than let the server's memory grow.
            Log("OPC UA client cut off, it does not read its answers:", peer_, "");
            Gone();
            return;
        }
        queue_.push_back(std::move(bytes));
        if (!writing_) {
            writing_ = true;
            tasks_.add(WriteNext());
        }
    }

    void Close() override {
        if (closing_) return;
        closing_ = true;
        closingSince_ = std::chrono::steady_clock::now();
        if (!protocol_->LastError().empty() && !protocol_->LastErrorLogged()) Log("OPC UA connection ended:", peer_, protocol_->LastError());
        if (!gone_ && !writing_) Finish();
    }

    void taskFailed(kj::Exception&& exception) override {
        // The peer reset the connection or vanished.
        (void)exception;
        Gone();
    }

    void OnTimer() {
        protocol_->OnTimer(UaConnection::Clock::now());
        if (closing_ && !gone_ && std::chrono::steady_clock::now() - closingSince_ > kCloseGrace) Gone();
    }

    void Shutdown() { protocol_->Shutdown(status::BadShutdown, "the server stops"); }

private:
    kj::Promise<void> Read() {
        return stream_->tryRead(buffer_.data(), 1, buffer_.size()).then([this](std::size_t count) -> kj::Promise<void> {
            if (gone_) return kj::READY_NOW;
            if (count == 0) {
                Gone();
                return kj::READY_NOW;
            }
            protocol_->OnBytes(buffer_.data(), count, UaConnection::Clock::now());
            if (protocol_->Closed()) return kj::READY_NOW;
            return Read();
        });
    }

    kj::Promise<void> WriteNext() {
        if (queue_.empty()) {
            writing_ = false;
            if (closing_) Finish();
            return kj::READY_NOW;
        }
        const auto& front = queue_.front();
        return stream_->write(front.data(), front.size()).then([this] {
            queued_ -= queue_.front().size();
            queue_.pop_front();
            return WriteNext();
        });
    }

    // Everything went: the client sees the end of the stream.
    void Finish() {
        try {
            stream_->shutdownWrite();
        } catch (const kj::Exception&) {
        }
        Gone();
    }

    // The connection is done for: its channel ends now, so that the services'
    // answers stop at once, and the socket goes later in the loop.
    void Gone() {
        if (gone_) return;
        gone_ = true;
        protocol_->OnPeerClosed();
        core_.Remove(this);
    }

    Core& core_;
    kj::Own<kj::AsyncIoStream> stream_;
    const std::string peer_;
    std::unique_ptr<UaConnection> protocol_;
    std::array<std::uint8_t, kReadSize> buffer_{};
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queued_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool gone_ = false;
    std::chrono::steady_clock::time_point closingSince_;
    kj::TaskSet tasks_;
};

TcpTransport::Core::~Core() noexcept {
    inbox_->Close();
    accepting_ = nullptr;
    receiver_ = nullptr;
    connections_.clear();
}

kj::Promise<void> TcpTransport::Core::Stop() {
    stopped_ = true;
    // The pending accept refers to the receiver: it goes first.
    accepting_ = nullptr;
    receiver_ = nullptr;
    inbox_->Close();
    for (auto& connection : connections_) connection->Shutdown();
    return WaitForClose(loop_.Io().getTimer().now() + kStopGrace);
}

void TcpTransport::Core::DropAll() {
    connections_.clear();
    owner_.connections_.store(0);
}

kj::Promise<void> TcpTransport::Core::Accept() {
    // An accept that fails at once throws rather than rejects: evalNow makes both the same failure.
    return kj::evalNow([this] { return receiver_->acceptAuthenticated(); })
        .then(
            [this](kj::AuthenticatedStream&& accepted) {
                failedAccepts_ = 0;
                Accepted(kj::mv(accepted));
                return Accept();
            },
            [this](kj::Exception&& failure) {
                // Ending here would leave every later client waiting in the backlog for good.
                if (failedAccepts_++ % 100 == 0)
                    Log("OPC UA client connection not accepted, trying again:", "",
                        failure.getDescription().cStr());
                return loop_.Io().getTimer().afterDelay(kAcceptRetry).then([this] { return Accept(); });
            });
}

void TcpTransport::Core::Accepted(kj::AuthenticatedStream&& accepted) {
    std::string peer = "unknown";
    KJ_IF_MAYBE(network, kj::dynamicDowncastIfAvailable<kj::NetworkPeerIdentity>(*accepted.peerIdentity)) {
        peer = network->getAddress().toString().cStr();
    }
    if (connections_.size() >= owner_.limits_.maxConnections) {
        Refuse(kj::mv(accepted.stream), peer);
        return;
    }
    const std::uint32_t channelId = nextChannelId_++;
    if (nextChannelId_ == 0) nextChannelId_ = 1;
    connections_.push_back(std::make_unique<Connection>(*this, kj::mv(accepted.stream), channelId, peer));
    owner_.connections_.store(connections_.size());
}

void TcpTransport::Core::Refuse(kj::Own<kj::AsyncIoStream> stream, const std::string& peer) {
    Log("OPC UA client refused, too many connections:", peer, "");
    const auto error = UaConnection::EncodeError(status::BadTcpNotEnoughResources, "too many connections");
    auto bytes = kj::heapArray<kj::byte>(error.size());
    std::copy(error.begin(), error.end(), bytes.begin());
    auto& socket = *stream;
    auto written = socket.write(bytes.begin(), bytes.size()).then([&socket] { socket.shutdownWrite(); });
    // A client that does not even take the error is not waited for long.
    tasks_.add(written.exclusiveJoin(loop_.Io().getTimer().afterDelay(5 * kj::SECONDS))
                   .attach(kj::mv(stream), kj::mv(bytes)));
}

kj::Promise<void> TcpTransport::Core::Tick() {
    return loop_.Io().getTimer().afterDelay(kTick).then([this] {
        // Timers may end connections, which removes them later in the loop: a copy to walk.
        std::vector<Connection*> all;
        for (auto& connection : connections_) all.push_back(connection.get());
        for (Connection* connection : all) connection->OnTimer();
        return Tick();
    });
}

void TcpTransport::Core::Remove(Connection* connection) {
    // Later in the loop: the connection may be inside its own callbacks now.
    tasks_.add(kj::evalLater([this, connection] {
        connections_.remove_if([connection](const std::unique_ptr<Connection>& c) { return c.get() == connection; });
        owner_.connections_.store(connections_.size());
    }));
}

TcpTransport::TcpTransport(RequestSink& sink, TransportLimits limits, ServerSecurity security)
    : sink_(sink), limits_(limits), security_(std::move(security)), ownLoop_(std::make_unique<remote::EventLoop>()), loop_(*ownLoop_) {
    loop_.Run([this] { core_ = std::make_unique<Core>(*this, loop_); });
}

TcpTransport::TcpTransport(RequestSink& sink, remote::EventLoop& loop, TransportLimits limits,
                           ServerSecurity security)
    : sink_(sink), limits_(limits), security_(std::move(security)), loop_(loop) {
    loop_.Run([this] { core_ = std::make_unique<Core>(*this, loop_); });
}

TcpTransport::~TcpTransport() {
    Stop();
    try {
        loop_.Run([this] { core_.reset(); });
    } catch (const kj::Exception&) {
    }
}

bool TcpTransport::Listen(const std::string& address, std::uint16_t port, std::string& error) {
    try {
        loop_.Run([&]() -> kj::Promise<void> {
            if (core_ == nullptr || core_->Stopped()) KJ_FAIL_REQUIRE("the transport has stopped");
            if (core_->Receiver() != nullptr) KJ_FAIL_REQUIRE("the transport listens already");
            return loop_.Io().getNetwork().parseAddress(address, port).then([this](kj::Own<kj::NetworkAddress>&& parsed) {
                auto receiver = parsed->listen();
                port_.store(static_cast<std::uint16_t>(receiver->getPort()));
                core_->Listen(kj::mv(receiver));
            });
        });
    } catch (const kj::Exception& failure) {
        const std::string description = failure.getDescription().cStr();
        if (description.find("in use") != std::string::npos)
            error = "port " + std::to_string(port) + " on " + address + " is in use by another program";
        else
            error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + description;
        return false;
    }
    return true;
}

void TcpTransport::Stop() {
    try {
        loop_.Run([this]() -> kj::Promise<void> {
            if (core_ == nullptr) return kj::READY_NOW;
            return core_->Stop();
        });
    } catch (const kj::Exception&) {
    }
    port_.store(0);
}

}  // namespace ua
