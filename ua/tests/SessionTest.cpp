// The table of sessions against the in-process OPC DA server (each session
// holds an OPCServer of its own), and the session and discovery services
// answering encoded requests through a channel that keeps what it is sent.

#include "DiscoveryServices.h"
#include "Messages.h"
#include "ServerDescriptions.h"
#include "ServiceCall.h"
#include "SessionManager.h"
#include "SessionServices.h"

#include "foundation/CLogFile.h"
#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "opc/OPCServer.h"
#include "platform/Com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace ua {

namespace {

class TestChannel : public ChannelLink {
public:
    TestChannel(std::uint32_t id, std::string url = "opc.tcp://vokhost:4840") : id_(id), url_(std::move(url)) {}
    std::uint32_t Id() const override { return id_; }
    bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!accepts) return false;
        sent.emplace_back(requestId, std::move(message));
        return true;
    }
    bool IsOpen() const override { return accepts; }
    std::string EndpointUrl() const override { return url_; }
    std::string PeerAddress() const override { return "127.0.0.1:50000"; }

    std::atomic<bool> accepts{true};
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> sent;

private:
    std::uint32_t id_;
    std::string url_;
    mutable std::mutex lock_;
};

constexpr DateTime kSecond = 10'000'000;

ExtensionObject TokenOfType(std::uint32_t encodingId) {
    return EncodeExtensionObject(encodingId, [](Writer& w) { w.String("policy"); });
}

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host_.Status(), S_OK);
        baseline_ = OPCServer::LiveCount();
    }

    std::shared_ptr<ServerSession> Make(SessionManager& manager, const ChannelLink& channel, double timeoutMs = 60000,
                                        const std::string& name = "s") {
        std::shared_ptr<ServerSession> session;
        EXPECT_EQ(manager.Create(name, "urn:client", timeoutMs, channel, session), status::Good);
        return session;
    }

    // Resolve of a request with the session's token on that channel.
    static StatusCode ResolveOn(SessionManager& manager, const Session& session, const ChannelLink& channel,
                                bool mustBeActivated = true) {
        RequestHeader header;
        header.authenticationToken = session.AuthenticationToken();
        std::shared_ptr<Session> resolved;
        const StatusCode result = manager.Resolve(header, channel, mustBeActivated, resolved);
        EXPECT_EQ(resolved != nullptr, result == status::Good);
        EXPECT_TRUE(resolved == nullptr || resolved.get() == &session);
        return result;
    }

    ScriptedUiServices ui_;
    InProcessServer host_;
    std::size_t baseline_ = 0;
    // The manager's clock, moved on by the tests.
    std::atomic<DateTime> now_{Now()};
    SessionManager::Clock clock_ = [this] { return now_.load(); };
    TestChannel channelA_{1};
    TestChannel channelB_{2};
};

TEST_F(SessionManagerTest, TokensAndIdsAreUniqueRandomGuids) {
    SessionManager manager({}, clock_);
    std::set<std::string> seen;
    std::vector<std::shared_ptr<ServerSession>> sessions;
    for (int i = 0; i < 20; ++i) sessions.push_back(Make(manager, channelA_));
    auto bitsApart = [](const Guid& a, const Guid& b) {
        int bits = std::popcount(a.data1 ^ b.data1) + std::popcount(unsigned(a.data2 ^ b.data2)) +
                   std::popcount(unsigned(a.data3 ^ b.data3));
        for (int i = 0; i < 8; ++i) bits += std::popcount(unsigned(a.data4[i] ^ b.data4[i]));
        return bits;
    };
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const NodeId token = sessions[i]->AuthenticationToken();
        EXPECT_EQ(token.kind, NodeId::Kind::Guid);
        EXPECT_EQ(sessions[i]->Id().kind, NodeId::Kind::Guid);
        EXPECT_TRUE(seen.insert(token.ToString()).second);
        EXPECT_TRUE(seen.insert(sessions[i]->Id().ToString()).second) << "an id equal to a token or another id";
        if (i > 0) {
            // A counter or a clock would change a few low bits from one to the next.
            EXPECT_GT(bitsApart(token.guid, sessions[i - 1]->AuthenticationToken().guid), 24) << token.ToString();
        }
    }
    const NodeId closed = sessions[0]->AuthenticationToken();
    manager.Close(closed, true);
    auto next = Make(manager, channelA_);
    EXPECT_FALSE(next->AuthenticationToken() == closed);
}

TEST_F(SessionManagerTest, LimitsSessionsAndRevisesTimeouts) {
    SessionLimits limits;
    limits.maxSessions = 3;
    SessionManager manager(limits, clock_);
    std::vector<std::shared_ptr<ServerSession>> sessions;
    for (int i = 0; i < 3; ++i) sessions.push_back(Make(manager, channelA_));
    std::shared_ptr<ServerSession> refused;
    EXPECT_EQ(manager.Create("x", "", 60000, channelA_, refused), status::BadTooManySessions);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(OPCServer::LiveCount(), baseline_ + 3) << "no DA server made for a refused session";
    manager.Close(sessions[0]->AuthenticationToken(), true);
    EXPECT_EQ(manager.Create("x", "", 60000, channelA_, refused), status::Good);
    // A thread outside the apartment cannot make the DA server: the slot it held is given back.
    manager.Close(sessions[1]->AuthenticationToken(), true);
    std::thread([&] {
        std::shared_ptr<ServerSession> none;
        EXPECT_EQ(manager.Create("y", "", 60000, channelA_, none), status::BadResourceUnavailable);
        EXPECT_EQ(none, nullptr);
    }).join();
    EXPECT_EQ(manager.Count(), 2u);
    std::shared_ptr<ServerSession> last;
    EXPECT_EQ(manager.Create("z", "", 60000, channelA_, last), status::Good) << "no slot lost to the failure";
    EXPECT_EQ(manager.Create("z", "", 60000, channelA_, last), status::BadTooManySessions);

    EXPECT_EQ(manager.ReviseTimeout(1), limits.minSessionTimeoutMs);
    EXPECT_EQ(manager.ReviseTimeout(-5), limits.minSessionTimeoutMs);
    EXPECT_EQ(manager.ReviseTimeout(std::nan("")), limits.minSessionTimeoutMs);
    EXPECT_EQ(manager.ReviseTimeout(std::numeric_limits<double>::infinity()), limits.maxSessionTimeoutMs);
    EXPECT_EQ(manager.ReviseTimeout(1e12), limits.maxSessionTimeoutMs);
    EXPECT_EQ(manager.ReviseTimeout(45000), 45000);
    EXPECT_EQ(refused->TimeoutMs(), 60000);
}

TEST_F(SessionManagerTest, SweepEndsOnlySessionsIdleBeyondTheirTimeout) {
    std::vector<std::string> ended;  // outlives the manager, whose end still calls the listener
    SessionManager manager({}, clock_);
    manager.OnSessionEnd([&](Session& s, bool deleteSubscriptions) {
        EXPECT_TRUE(deleteSubscriptions);
        ended.push_back(s.Name());
    });
    auto shortOne = Make(manager, channelA_, 10000, "short");
    auto longOne = Make(manager, channelA_, 60000, "long");
    auto busy = Make(manager, channelA_, 10000, "busy");
    ASSERT_EQ(manager.Activate(busy->AuthenticationToken(), channelA_, {}), status::Good);
    const DateTime start = now_.load();

    EXPECT_EQ(manager.Sweep(start + 9 * kSecond), 0u);
    // A request at 8 s restarts the busy session's timeout.
    now_ = start + 8 * kSecond;
    ASSERT_EQ(ResolveOn(manager, *busy, channelA_), status::Good);

    EXPECT_EQ(manager.Sweep(start + 11 * kSecond), 1u);
    EXPECT_EQ(ended, std::vector<std::string>{"short"});
    EXPECT_EQ(OPCServer::LiveCount(), baseline_ + 3) << "still held by the test";
    shortOne.reset();
    EXPECT_EQ(OPCServer::LiveCount(), baseline_ + 2);

    EXPECT_EQ(manager.Sweep(start + 19 * kSecond), 1u);
    EXPECT_EQ(ended.back(), "busy");
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_EQ(manager.Sweep(start + 61 * kSecond), 1u);
    EXPECT_EQ(manager.Count(), 0u);
    longOne.reset();
    busy.reset();
    EXPECT_EQ(OPCServer::LiveCount(), baseline_);
}

TEST_F(SessionManagerTest, RequestsAndActivationsAreBoundToTheSessionsChannel) {
    SessionManager manager({}, clock_);
    auto session = Make(manager, channelA_);
    std::shared_ptr<Session> resolved;
    RequestHeader unknown;
    EXPECT_EQ(manager.Resolve(unknown, channelA_, false, resolved), status::BadSessionIdInvalid);
    unknown.authenticationToken = session->Id();
    EXPECT_EQ(manager.Resolve(unknown, channelA_, false, resolved), status::BadSessionIdInvalid)
        << "the public session id is no token";
    EXPECT_EQ(ResolveOn(manager, *session, channelB_, false), status::BadSecureChannelIdInvalid);
    EXPECT_EQ(manager.Activate(session->AuthenticationToken(), channelB_, {}), status::BadSecureChannelIdInvalid)
        << "the first activation comes on the creating channel";
    EXPECT_FALSE(session->IsActivated());
    EXPECT_EQ(manager.Activate(session->Id(), channelA_, {}), status::BadSessionIdInvalid);

    ASSERT_EQ(manager.Activate(session->AuthenticationToken(), channelA_, {}), status::Good);
    EXPECT_EQ(ResolveOn(manager, *session, channelB_), status::BadSecureChannelIdInvalid);
    // A later activation moves the session to the new channel.
    ASSERT_EQ(manager.Activate(session->AuthenticationToken(), channelB_, {}), status::Good);
    EXPECT_EQ(session->ChannelId(), channelB_.Id());
    EXPECT_EQ(ResolveOn(manager, *session, channelB_), status::Good);
    EXPECT_EQ(ResolveOn(manager, *session, channelA_), status::BadSecureChannelIdInvalid);
}

TEST_F(SessionManagerTest, ClosedChannelKeepsActivatedSessionsAndEndsUnactivatedOnes) {
    std::vector<std::string> ended;  // outlives the manager, whose end still calls the listener
    SessionManager manager({}, clock_);
    manager.OnSessionEnd([&](Session& s, bool) { ended.push_back(s.Name()); });
    auto activated = Make(manager, channelA_, 60000, "activated");
    auto fresh = Make(manager, channelA_, 60000, "fresh");
    auto elsewhere = Make(manager, channelB_, 60000, "elsewhere");
    ASSERT_EQ(manager.Activate(activated->AuthenticationToken(), channelA_, {}), status::Good);

    manager.OnChannelClosed(channelA_.Id());
    EXPECT_EQ(ended, std::vector<std::string>{"fresh"});
    EXPECT_EQ(manager.Count(), 2u);
    EXPECT_EQ(activated->ChannelId(), 0u);
    EXPECT_EQ(elsewhere->ChannelId(), channelB_.Id());

    EXPECT_EQ(ResolveOn(manager, *activated, channelA_), status::BadSecureChannelIdInvalid);
    TestChannel reconnected(3);
    ASSERT_EQ(manager.Activate(activated->AuthenticationToken(), reconnected, {}), status::Good);
    EXPECT_EQ(ResolveOn(manager, *activated, reconnected), status::Good);
}

TEST_F(SessionManagerTest, AnonymousAndUserNameAreTheIdentitiesServed) {
    SessionManager manager({}, clock_);
    auto session = Make(manager, channelA_);
    SessionSecurity security(nullptr, nullptr, nullptr);
    ServerInfo info;
    UserIdentity user;
    user.role = Role::Engineer;
    std::chrono::milliseconds delay{0};
    for (std::uint32_t kind : {encoding::X509IdentityToken, encoding::IssuedIdentityToken}) {
        EXPECT_EQ(security.CheckIdentity(info, channelA_, *session, TokenOfType(kind), user, delay),
                  status::BadIdentityTokenRejected)
            << kind;
    }
    EXPECT_EQ(security.CheckIdentity(info, channelA_, *session, TokenOfType(999), user, delay),
              status::BadIdentityTokenInvalid);
    // A password in clear on a channel that does not encrypt is never looked at.
    const ExtensionObject clear = EncodeExtensionObject(encoding::UserNameIdentityToken, [](Writer& w) {
        w.String("username");
        w.String("op");
        w.ByteStringValue("secret-password");
        w.NullString();
    });
    EXPECT_EQ(security.CheckIdentity(info, channelA_, *session, clear, user, delay), status::BadIdentityTokenInvalid);
    ASSERT_EQ(security.CheckIdentity(info, channelA_, *session, TokenOfType(encoding::AnonymousIdentityToken), user,
                                     delay),
              status::Good);
    EXPECT_EQ(user.role, Role::Viewer) << "anonymous sessions are viewers";
    EXPECT_TRUE(user.userName.empty());
    info.anonymous = false;
    EXPECT_EQ(security.CheckIdentity(info, channelA_, *session, TokenOfType(encoding::AnonymousIdentityToken), user,
                                     delay),
              status::BadIdentityTokenRejected);
    EXPECT_EQ(security.CheckIdentity(info, channelA_, *session, ExtensionObject{}, user, delay),
              status::BadIdentityTokenRejected)
        << "an empty token is anonymous";
    EXPECT_EQ(delay.count(), 0);

    EXPECT_EQ(manager.Activate(session->AuthenticationToken(), channelA_, UserIdentity{Role::Operator, "op"}),
              status::Good);
    EXPECT_EQ(session->User().role, Role::Operator);
    EXPECT_EQ(session->User().userName, "op");
}

struct Probe : Session::Extension {
    Probe(std::vector<std::string>& log, std::string name, std::size_t daServersAtEnd)
        : log_(log), name_(std::move(name)), expected_(daServersAtEnd) {}
    ~Probe() override {
        log_.push_back(name_);
        // Extensions go before the DA server they may have groups in.
        EXPECT_EQ(OPCServer::LiveCount(), expected_);
    }
    std::vector<std::string>& log_;
    std::string name_;
    std::size_t expected_;
};

TEST_F(SessionManagerTest, ExtensionsAreMadeOnceAndGoAfterTheListenersBeforeTheDaServer) {
    std::vector<std::string> destroyed;
    bool listenerSawBoth = false;
    {
        SessionManager manager({}, clock_);
        auto session = Make(manager, channelA_);
        int made = 0;
        const int keyA = 0;
        const int keyB = 0;
        auto makeA = [&] {
            ++made;
            // A maker that needs another extension first.
            session->Extend(&keyB, [&] { return std::make_unique<Probe>(destroyed, "B", baseline_ + 1); });
            return std::make_unique<Probe>(destroyed, "A", baseline_ + 1);
        };
        Session::Extension& first = session->Extend(&keyA, makeA);
        Session::Extension& again = session->Extend(&keyA, makeA);
        EXPECT_EQ(&first, &again);
        EXPECT_EQ(made, 1);
        EXPECT_NE(&session->Extend(&keyB, [] { return std::unique_ptr<Session::Extension>(); }), &first);

        // One listener's failure does not keep the next from its turn; Count() takes the
        // table's lock, so a listener called under it would hang.
        manager.OnSessionEnd([](Session&, bool) { throw std::runtime_error("subscriptions broke"); });
        manager.OnSessionEnd([&](Session&, bool deleteSubscriptions) {
            listenerSawBoth = destroyed.empty() && manager.Count() == 0 && !deleteSubscriptions;
        });
        manager.Close(session->AuthenticationToken(), false);
        EXPECT_TRUE(listenerSawBoth) << "listeners run while the extensions are still there";
        EXPECT_TRUE(destroyed.empty()) << "the test still holds the session";
        session.reset();
        EXPECT_EQ(destroyed.size(), 2u);
    }
    EXPECT_EQ(OPCServer::LiveCount(), baseline_);
}

TEST_F(SessionManagerTest, ParallelClientsNeverExceedTheLimitNorLeakDaServers) {
    SessionLimits limits;
    limits.maxSessions = 8;
    SessionManager manager(limits, clock_);
    constexpr int kThreads = 4;
    constexpr int kEach = 3;
    constexpr int kRounds = 20;
    std::atomic<int> refusals{0};
    std::atomic<std::size_t> peak{0};
    // Every round all threads hold their sessions at once, so that the limit is met each time.
    std::barrier round(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            TestChannel channel(10 + t);
            for (int i = 0; i < kRounds; ++i) {
                std::vector<std::shared_ptr<ServerSession>> mine;
                for (int k = 0; k < kEach; ++k) {
                    std::shared_ptr<ServerSession> s;
                    if (manager.Create("p", "", 60000, channel, s) == status::BadTooManySessions) ++refusals;
                    if (s) mine.push_back(std::move(s));
                }
                round.arrive_and_wait();
                std::size_t count = manager.Count(), seen = peak.load();
                while (count > seen && !peak.compare_exchange_weak(seen, count)) {}
                round.arrive_and_wait();
                for (auto& s : mine) {
                    EXPECT_EQ(manager.Activate(s->AuthenticationToken(), channel, {}), status::Good);
                    EXPECT_EQ(manager.Close(s->AuthenticationToken(), true), status::Good);
                }
                round.arrive_and_wait();
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(peak.load(), limits.maxSessions);
    EXPECT_EQ(refusals.load(), static_cast<int>(kThreads * kEach - limits.maxSessions) * kRounds);
    EXPECT_EQ(manager.Count(), 0u);
    EXPECT_EQ(OPCServer::LiveCount(), baseline_);
}

TEST_F(SessionManagerTest, EventLogTellsOpenAndCloseWithTheReasonAndNoForgedLines) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("vok-session-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
                                        "-" + std::to_string(Now()) + ".txt");
    std::filesystem::remove(path);
    ASSERT_TRUE(EventLog().Open(path.string()));
    {
        SessionManager manager({}, clock_);
        auto byClient = Make(manager, channelA_, 60000, "panel\nOPC UA session closed: forged");
        auto idle = Make(manager, channelA_, 10000, "idle");
        auto left = Make(manager, channelA_, 60000, std::string(300, 'n'));
        manager.Close(byClient->AuthenticationToken(), true);
        manager.Sweep(now_.load() + 20 * kSecond);
    }
    EventLog().Close();
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.find("OPC UA session") != std::string::npos) lines.push_back(line);
    }
    std::filesystem::remove(path);
    auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("OPC UA session opened: panel?OPC UA session closed: forged from 127.0.0.1:50000")) << lines.size();
    EXPECT_TRUE(has("OPC UA session closed: panel?OPC UA session closed: forged (closed by the client)"));
    EXPECT_TRUE(has("OPC UA session closed: idle (timed out)"));
    EXPECT_TRUE(has("OPC UA session closed: " + std::string(128, 'n') + "... (server stop)"));
    EXPECT_FALSE(has(std::string(129, 'n'))) << "a client's name is cut before the log";
    EXPECT_EQ(lines.size(), 6u) << "one line each, none forged";
}

// ---------------------------------------------------------------------------
// The services, through encoded requests.

class SessionServicesTest : public SessionManagerTest {
protected:
    SessionServicesTest() {
        info_.applicationUri = "urn:vokhost:VOKExplorer";
        info_.hostName = "vokhost";
        info_.endpointUrl = "opc.tcp://vokhost:4840";
        RegisterSessionServices(table_, manager_, info_, security_, delays_);
        RegisterDiscoveryServices(table_, info_);
    }

    // Runs the request through its handler; the bytes the channel was sent.
    std::vector<std::uint8_t> Call(std::uint32_t type, const std::function<void(Writer&)>& body, TestChannel& channel,
                                   const NodeId& token = {}) {
        Writer writer;
        body(writer);
        const std::vector<std::uint8_t> bytes = writer.Take();
        ServiceCall call;
        call.channel = std::shared_ptr<ChannelLink>(&channel, [](ChannelLink*) {});
        call.requestId = 77;
        call.requestType = type;
        call.header.authenticationToken = token;
        call.header.requestHandle = 4242;
        const ServiceTable::Entry* entry = table_.Find(type);
        EXPECT_NE(entry, nullptr);
        if (entry == nullptr) return {};
        if (entry->needs != ServiceTable::Needs::Nothing) {
            EXPECT_EQ(manager_.Resolve(call.header, channel, entry->needs == ServiceTable::Needs::ActivatedSession,
                                       call.session),
                      status::Good);
        }
        const std::size_t before = channel.sent.size();
        Reader reader(bytes);
        entry->handler(call, reader);
        EXPECT_EQ(channel.sent.size(), before + 1) << "one answer per request";
        if (channel.sent.size() != before + 1) return {};
        EXPECT_EQ(channel.sent.back().first, 77u);
        return channel.sent.back().second;
    }

    // The response's type and its header's result, checked for this request.
    static StatusCode Open(Reader& reader, std::uint32_t requestType) {
        const NodeId type = reader.NodeIdValue();
        const ResponseHeader header = ReadResponseHeader(reader);
        EXPECT_EQ(header.requestHandle, 4242u);
        if (IsBad(header.serviceResult)) {
            EXPECT_EQ(type, NodeId(0, encoding::ServiceFault));
        } else {
            EXPECT_EQ(type, NodeId(0, encoding::ResponseOf(requestType)));
        }
        return header.serviceResult;
    }

    static void WriteCreateSession(Writer& w, const std::string& url, double timeout) {
        w.String("urn:test:client");
        w.String("urn:test");
        w.LocalizedTextValue({"en", "test client"});
        w.Int32(1);  // Client
        w.NullString();
        w.NullString();
        w.Int32(0);
        w.String(info_.applicationUri);  // serverUri
        w.String(url);
        w.String("encoded");
        w.ByteStringValue(std::string(32, 'n'));
        w.NullString();
        w.Double(timeout);
        w.UInt32(0);
    }

    static void WriteActivateSession(Writer& w, const ExtensionObject& identity) {
        w.NullString();
        w.NullString();
        w.Int32(0);
        w.Int32(1);
        w.String("en");
        w.ExtensionObjectValue(identity);
        w.NullString();
        w.NullString();
    }

    struct Endpoint {
        std::string url, applicationUri, policyUri, tokenPolicyId, transport;
        std::vector<std::string> discoveryUrls;
        std::int32_t mode = 0, tokenType = -1;
    };
    static std::vector<Endpoint> ReadEndpoints(Reader& r) {
        return r.Array<Endpoint>([](Reader& e) {
            Endpoint endpoint;
            endpoint.url = e.String();
            endpoint.applicationUri = e.String();
            e.String();
            EXPECT_EQ(e.LocalizedTextValue().text, "VOK Explorer");
            EXPECT_EQ(e.Int32(), 0);
            for (int i = 0; i < 2; ++i) EXPECT_TRUE(e.String().empty());
            endpoint.discoveryUrls = e.Array<std::string>([](Reader& s) { return s.String(); });
            EXPECT_TRUE(e.ByteStringValue().empty());
            endpoint.mode = e.Int32();
            endpoint.policyUri = e.String();
            EXPECT_EQ(e.Int32(), 2);  // anonymous and user name
            endpoint.tokenPolicyId = e.String();
            endpoint.tokenType = e.Int32();
            for (int i = 0; i < 3; ++i) EXPECT_TRUE(e.String().empty());
            EXPECT_EQ(e.String(), "username");
            EXPECT_EQ(e.Int32(), 1);
            for (int i = 0; i < 2; ++i) EXPECT_TRUE(e.String().empty());
            // The password on the None endpoint is encrypted with the server's certificate.
            EXPECT_EQ(e.String(), kPolicyUriBasic256Sha256);
            endpoint.transport = e.String();
            EXPECT_EQ(e.Byte(), 0);
            return endpoint;
        });
    }

    static inline ServerInfo info_;
    SessionSecurity security_{nullptr, nullptr, nullptr};
    DelayedWork delays_;
    SessionManager manager_{{}, clock_};
    ServiceTable table_;
};

TEST_F(SessionServicesTest, CreateActivateAndCloseThroughEncodedRequests) {
    // The client reached the server as localhost on its port: it is answered so.
    const auto created = Call(encoding::CreateSessionRequest,
                              [](Writer& w) { WriteCreateSession(w, "opc.tcp://localhost:4840", 1000); }, channelA_);
    Reader r(created);
    ASSERT_EQ(Open(r, encoding::CreateSessionRequest), status::Good);
    const NodeId sessionId = r.NodeIdValue();
    const NodeId token = r.NodeIdValue();
    EXPECT_EQ(r.Double(), 10000) << "1 s is revised up to the shortest timeout";
    EXPECT_EQ(r.ByteStringValue().size(), 32u);
    EXPECT_TRUE(r.ByteStringValue().empty());
    const auto endpoints = ReadEndpoints(r);
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0].url, "opc.tcp://localhost:4840");
    EXPECT_EQ(endpoints[0].discoveryUrls, std::vector<std::string>{"opc.tcp://localhost:4840"});
    EXPECT_EQ(endpoints[0].applicationUri, info_.applicationUri);
    EXPECT_EQ(endpoints[0].mode, 1);
    EXPECT_EQ(endpoints[0].policyUri, kPolicyUriNone);
    EXPECT_EQ(endpoints[0].tokenPolicyId, "anonymous");
    EXPECT_EQ(endpoints[0].tokenType, 0);
    EXPECT_EQ(endpoints[0].transport, kTransportProfileBinary);
    EXPECT_EQ(r.Int32(), 0);               // serverSoftwareCertificates
    EXPECT_TRUE(r.String().empty());       // signature algorithm
    EXPECT_TRUE(r.ByteStringValue().empty());
    EXPECT_EQ(r.UInt32(), 0u);
    r.ExpectEnd();
    EXPECT_FALSE(sessionId == token);
    EXPECT_EQ(manager_.Count(), 1u);
    EXPECT_EQ(OPCServer::LiveCount(), baseline_ + 1) << "the session is a DA client of its own";
    RequestHeader header;
    header.authenticationToken = token;
    std::shared_ptr<Session> session;
    EXPECT_EQ(manager_.Resolve(header, channelA_, true, session), status::BadSessionNotActivated);

    const auto rejected = Call(encoding::ActivateSessionRequest,
                               [](Writer& w) { WriteActivateSession(w, TokenOfType(encoding::UserNameIdentityToken)); },
                               channelA_, token);
    Reader rr(rejected);
    EXPECT_EQ(Open(rr, encoding::ActivateSessionRequest), status::BadIdentityTokenInvalid)
        << "a user name token that cannot be read";

    const auto activated = Call(encoding::ActivateSessionRequest,
                                [](Writer& w) { WriteActivateSession(w, TokenOfType(encoding::AnonymousIdentityToken)); },
                                channelA_, token);
    Reader ra(activated);
    ASSERT_EQ(Open(ra, encoding::ActivateSessionRequest), status::Good);
    EXPECT_EQ(ra.ByteStringValue().size(), 32u);
    EXPECT_EQ(ra.Int32(), 0);
    EXPECT_EQ(ra.Int32(), 0);
    ra.ExpectEnd();

    ASSERT_EQ(manager_.Resolve(header, channelA_, true, session), status::Good);
    EXPECT_EQ(session->Id(), sessionId);
    EXPECT_NE(session->DaServer(), nullptr);
    session.reset();

    const auto closed = Call(encoding::CloseSessionRequest, [](Writer& w) { w.Boolean(true); }, channelA_, token);
    Reader rc(closed);
    EXPECT_EQ(Open(rc, encoding::CloseSessionRequest), status::Good);
    rc.ExpectEnd();
    EXPECT_EQ(manager_.Count(), 0u);
    EXPECT_EQ(manager_.Resolve(header, channelA_, false, session), status::BadSessionIdInvalid);
    EXPECT_EQ(manager_.Close(token, true), status::BadSessionIdInvalid);
    EXPECT_EQ(OPCServer::LiveCount(), baseline_) << "its OPCServer is released";
}

TEST_F(SessionServicesTest, BadCreateRequestsMakeNoSession) {
    // Cut off inside the client description.
    const auto truncated = Call(encoding::CreateSessionRequest, [](Writer& w) { w.String("urn:test:client"); }, channelA_);
    Reader rt(truncated);
    EXPECT_EQ(Open(rt, encoding::CreateSessionRequest), status::BadDecodingError);
    // A client whose channel is gone before it hears its token.
    channelA_.accepts = false;
    Writer w;
    WriteCreateSession(w, "", 60000);
    const std::vector<std::uint8_t> bytes = w.Take();
    ServiceCall call;
    call.channel = std::shared_ptr<ChannelLink>(&channelA_, [](ChannelLink*) {});
    call.requestType = encoding::CreateSessionRequest;
    Reader reader(bytes);
    table_.Find(encoding::CreateSessionRequest)->handler(call, reader);
    EXPECT_EQ(manager_.Count(), 0u);
    EXPECT_EQ(OPCServer::LiveCount(), baseline_);
}

TEST_F(SessionServicesTest, DiscoveryAnswersWithThisServerOnly) {
    auto endpointsFor = [&](const std::string& url, std::vector<std::string> profiles) {
        const auto bytes = Call(encoding::GetEndpointsRequest, [&](Writer& w) {
            w.String(url);
            w.Int32(0);
            w.Array(profiles, [](Writer& o, const std::string& p) { o.String(p); });
        }, channelA_);
        Reader r(bytes);
        EXPECT_EQ(Open(r, encoding::GetEndpointsRequest), status::Good);
        auto endpoints = ReadEndpoints(r);
        r.ExpectEnd();
        return endpoints;
    };
    EXPECT_EQ(endpointsFor("opc.tcp://127.0.0.1:4840/", {}).at(0).url, "opc.tcp://127.0.0.1:4840/");
    EXPECT_EQ(endpointsFor("opc.tcp://localhost:4841", {}).at(0).url, info_.endpointUrl) << "another port is not ours";
    EXPECT_EQ(endpointsFor("http://localhost:4840", {}).at(0).url, info_.endpointUrl);
    EXPECT_EQ(endpointsFor("", {}).at(0).url, channelA_.EndpointUrl()) << "the Hello's URL when the request has none";
    EXPECT_EQ(endpointsFor("", {kTransportProfileBinary}).size(), 1u);
    EXPECT_TRUE(endpointsFor("", {"http://opcfoundation.org/UA-Profile/Transport/https-uabinary"}).empty());

    auto serversFor = [&](std::vector<std::string> uris) {
        const auto bytes = Call(encoding::FindServersRequest, [&](Writer& w) {
            w.String("opc.tcp://localhost:4840");
            w.Int32(0);
            w.Array(uris, [](Writer& o, const std::string& u) { o.String(u); });
        }, channelA_);
        Reader r(bytes);
        EXPECT_EQ(Open(r, encoding::FindServersRequest), status::Good);
        auto servers = r.Array<std::pair<std::string, std::vector<std::string>>>([](Reader& a) {
            std::string uri = a.String();
            a.String(), a.LocalizedTextValue(), a.Int32(), a.String(), a.String();
            return std::make_pair(std::move(uri), a.Array<std::string>([](Reader& s) { return s.String(); }));
        });
        r.ExpectEnd();
        return servers;
    };
    const auto all = serversFor({});
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].first, info_.applicationUri);
    EXPECT_EQ(all[0].second, std::vector<std::string>{"opc.tcp://localhost:4840"});
    EXPECT_EQ(serversFor({"urn:other", info_.applicationUri}).size(), 1u);
    EXPECT_TRUE(serversFor({"urn:other"}).empty());
}

TEST(EndpointUrlTest, EchoesOnlyOpcTcpUrlsOnThisServersPort) {
    auto v6 = ParseEndpointUrl("opc.tcp://[::1]:4855/ua");
    ASSERT_TRUE(v6);
    EXPECT_EQ(std::tie(v6->host, v6->port, v6->path), std::make_tuple(std::string("::1"), std::uint16_t{4855}, std::string("/ua")));
    EXPECT_EQ(ParseEndpointUrl("OPC.TCP://host")->port, 4840) << "the usual port when none is given";
    for (const char* bad : {"opc.tcp://host:70000", "opc.tcp://host:", "opc.tcp://:4840", "opc.tcp://[::1:4840",
                            "opc.tcp://host:48x0", "http://host:4840"}) {
        EXPECT_FALSE(ParseEndpointUrl(bad)) << bad;
    }
    ServerInfo info;
    info.endpointUrl = "opc.tcp://vokhost:4840";
    EXPECT_EQ(EndpointUrlFor(info, "opc.tcp://alias:4840"), "opc.tcp://alias:4840");
    EXPECT_EQ(EndpointUrlFor(info, "opc.tcp://alias:4840/\n"), info.endpointUrl) << "no control characters echoed";
    EXPECT_EQ(EndpointUrlFor(info, "opc.tcp://alias:4840/" + std::string(5000, 'x')), info.endpointUrl);
}

}  // namespace
}  // namespace ua
