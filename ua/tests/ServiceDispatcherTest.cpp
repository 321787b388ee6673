#include "ServiceDispatcher.h"

#include "Messages.h"
#include "SessionManager.h"
#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "opc/OPCServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using namespace ua;
using Clock = std::chrono::steady_clock;

class RecordingChannel : public ChannelLink {
public:
    std::uint32_t Id() const override { return 7; }
    bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) override {
        std::lock_guard lock(mutex_);
        sent_.push_back({requestId, std::move(message), Clock::now()});
        arrived_.notify_all();
        return true;
    }
    bool IsOpen() const override { return true; }
    std::string EndpointUrl() const override { return "opc.tcp://localhost:4840"; }
    std::string PeerAddress() const override { return "127.0.0.1:50000"; }

    struct Answer {
        std::uint32_t requestId = 0;
        std::vector<std::uint8_t> message;
        Clock::time_point at;
        // The response's type and its header's handle and result.
        std::uint32_t Type() const {
            Reader reader(message);
            return reader.NodeIdValue().numeric;
        }
        ResponseHeader Header() const {
            Reader reader(message);
            reader.NodeIdValue();
            return ReadResponseHeader(reader);
        }
    };
    // The answer to the request, waiting up to 5 s for it.
    Answer For(std::uint32_t requestId) {
        std::unique_lock lock(mutex_);
        Answer found;
        arrived_.wait_for(lock, std::chrono::seconds(5), [&] {
            for (const Answer& each : sent_)
                if (each.requestId == requestId) {
                    found = each;
                    return true;
                }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Answer> sent_;
};

std::vector<std::uint8_t> Request(std::uint32_t type, std::uint32_t handle, const std::vector<std::uint8_t>& body = {}) {
    Writer writer;
    writer.NodeIdValue(NodeId(0, type));
    RequestHeader header;
    header.requestHandle = handle;
    WriteRequestHeader(writer, header);
    writer.Raw(body.data(), body.size());
    return writer.Take();
}

constexpr std::uint32_t kEcho = 9001;
constexpr std::uint32_t kSlow = 9002;
constexpr std::uint32_t kThrows = 9003;
constexpr std::uint32_t kDecodes = 9004;
constexpr std::uint32_t kNeedsSession = 9005;

class ServiceDispatcherTest : public ::testing::Test {
protected:
    ServiceDispatcherTest() {
        table_.Register(kEcho, ServiceTable::Needs::Nothing, [](ServiceCall& call, Reader&) {
            call.Reply([](Writer& w) { w.UInt32(42); });
        });
        table_.Register(kSlow, ServiceTable::Needs::Nothing, [this](ServiceCall& call, Reader&) {
            std::unique_lock lock(slowMutex_);
            slowWake_.wait_for(lock, std::chrono::seconds(5), [this] { return releaseSlow_; });
            call.Reply({});
        });
        table_.Register(kThrows, ServiceTable::Needs::Nothing,
                        [](ServiceCall&, Reader&) -> void { throw std::runtime_error("broken below"); });
        table_.Register(kDecodes, ServiceTable::Needs::Nothing, [](ServiceCall& call, Reader& body) {
            // A body shorter than the service reads.
            body.UInt64();
            call.Reply({});
        });
        table_.Register(kNeedsSession, ServiceTable::Needs::ActivatedSession,
                        [](ServiceCall& call, Reader&) { call.Reply({}); });
    }
    void ReleaseSlow() {
        std::lock_guard lock(slowMutex_);
        releaseSlow_ = true;
        slowWake_.notify_all();
    }

    ServiceTable table_;
    SessionManager sessions_;
    std::shared_ptr<RecordingChannel> channel_ = std::make_shared<RecordingChannel>();
    std::mutex slowMutex_;
    std::condition_variable slowWake_;
    bool releaseSlow_ = false;
};

TEST_F(ServiceDispatcherTest, EveryRequestIsAnsweredWithItsResponseOrAFaultThatSaysWhy) {
    ServiceDispatcher dispatcher(table_, sessions_, 2);
    dispatcher.OnRequest(channel_, 1, Request(kEcho, 11));
    dispatcher.OnRequest(channel_, 2, Request(4242, 12));
    dispatcher.OnRequest(channel_, 3, Request(kThrows, 13));
    dispatcher.OnRequest(channel_, 4, Request(kDecodes, 14, {1, 2, 3}));
    dispatcher.OnRequest(channel_, 5, Request(kNeedsSession, 15));
    // A type that is no numeric id of namespace 0, and a message cut inside its header.
    Writer other;
    other.NodeIdValue(NodeId::String("Read", 1));
    WriteRequestHeader(other, RequestHeader{});
    dispatcher.OnRequest(channel_, 6, other.Take());
    auto cut = Request(kEcho, 17);
    cut.resize(6);
    dispatcher.OnRequest(channel_, 7, cut);

    const auto echo = channel_->For(1);
    ASSERT_FALSE(echo.message.empty());
    EXPECT_EQ(echo.Type(), kEcho + 3);
    EXPECT_EQ(echo.Header().requestHandle, 11u);
    EXPECT_EQ(echo.Header().serviceResult, status::Good);

    const std::vector<std::tuple<std::uint32_t, std::uint32_t, StatusCode>> faults = {
        {2, 12, status::BadServiceUnsupported},
        {3, 13, status::BadInternalError},
        {4, 14, status::BadDecodingError},
        {5, 15, status::BadSessionIdInvalid},
        {6, 0, status::BadServiceUnsupported},
        {7, 0, status::BadDecodingError},
    };
    for (const auto& [id, handle, code] : faults) {
        const auto answer = channel_->For(id);
        ASSERT_FALSE(answer.message.empty()) << "request " << id << " was not answered";
        EXPECT_EQ(answer.Type(), encoding::ServiceFault) << id;
        EXPECT_EQ(answer.Header().serviceResult, code) << id;
        // A readable header's handle is echoed; the message without one answers 0.
        EXPECT_EQ(answer.Header().requestHandle, handle) << id;
    }
}

TEST_F(ServiceDispatcherTest, ASlowServiceHoldsUpNoOtherRequestAndStopAnswersWhatWaits) {
    auto dispatcher = std::make_unique<ServiceDispatcher>(table_, sessions_, 2);
    const auto start = Clock::now();
    dispatcher->OnRequest(channel_, 1, Request(kSlow, 1));
    dispatcher->OnRequest(channel_, 2, Request(kEcho, 2));
    const auto quick = channel_->For(2);
    ASSERT_FALSE(quick.message.empty());
    EXPECT_LT(quick.at - start, std::chrono::seconds(1));
    ReleaseSlow();
    EXPECT_FALSE(channel_->For(1).message.empty());

    dispatcher->Stop();
    // Once stopped nothing runs any more, and nothing goes unanswered.
    dispatcher->OnRequest(channel_, 3, Request(kEcho, 3));
    const auto late = channel_->For(3);
    ASSERT_FALSE(late.message.empty());
    EXPECT_EQ(late.Type(), encoding::ServiceFault);
    EXPECT_EQ(late.Header().serviceResult, status::BadShutdown);
}

TEST_F(ServiceDispatcherTest, AClosedChannelsSessionsEndOnAWorkerNotOnTheTransportsThread) {
    ScriptedUiServices ui;
    InProcessServer host;
    ASSERT_EQ(host.Status(), S_OK);
    host.UseDocument();
    std::atomic<bool> ended{false};
    std::thread::id endedOn;
    sessions_.OnSessionEnd([&](Session&, bool) {
        endedOn = std::this_thread::get_id();
        ended = true;
    });
    // Never activated: its channel's end ends it, and with it its DA server.
    std::shared_ptr<ServerSession> session;
    ASSERT_EQ(sessions_.Create("left behind", "", 60000, *channel_, session), status::Good);
    session.reset();
    const std::size_t servers = OPCServer::LiveCount();
    ServiceDispatcher dispatcher(table_, sessions_, 2);
    dispatcher.OnChannelClosed(channel_);
    for (int i = 0; i < 200 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ended);
    EXPECT_NE(endedOn, std::this_thread::get_id());
    EXPECT_EQ(sessions_.Count(), 0u);
    for (int i = 0; i < 200 && OPCServer::LiveCount() >= servers; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(OPCServer::LiveCount(), servers);
}

}  // namespace
