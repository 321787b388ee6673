#include "SessionManager.h"

#include "Crypto.h"
#include "LogText.h"
#include "foundation/CLogFile.h"
#include "opc/OpcDa.h"
#include "platform/Com.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace ua {

namespace {

// One Append per entry: the log puts a space after each piece.
void Log(const std::string& text) { EventLog().Append(text).Commit(CLogFile::kWrite); }

}  // namespace

SessionManager::SessionManager(SessionLimits limits, Clock clock) : limits_(limits), clock_(std::move(clock)) {}

SessionManager::~SessionManager() { CloseAll(); }

double SessionManager::ReviseTimeout(double requestedMs) const {
    if (std::isnan(requestedMs) || requestedMs < limits_.minSessionTimeoutMs) return limits_.minSessionTimeoutMs;
    if (requestedMs > limits_.maxSessionTimeoutMs) return limits_.maxSessionTimeoutMs;
    return requestedMs;
}

NodeId SessionManager::NewGuidNodeId(std::uint16_t ns) {
    const ByteString bytes = crypto::RandomBytes(16);
    Guid guid;
    std::memcpy(&guid.data1, bytes.data(), 4);
    std::memcpy(&guid.data2, bytes.data() + 4, 2);
    std::memcpy(&guid.data3, bytes.data() + 6, 2);
    std::memcpy(guid.data4.data(), bytes.data() + 8, 8);
    // A version 4 (random) GUID, so that tools that show it read it as one.
    guid.data3 = static_cast<std::uint16_t>((guid.data3 & 0x0FFF) | 0x4000);
    guid.data4[0] = static_cast<std::uint8_t>((guid.data4[0] & 0x3F) | 0x80);
    NodeId id;
    id.ns = ns;
    id.kind = NodeId::Kind::Guid;
    id.guid = guid;
    return id;
}

StatusCode SessionManager::Create(const std::string& name, const std::string& clientDescription,
                                  double requestedTimeoutMs, const ChannelLink& channel,
                                  std::shared_ptr<ServerSession>& out) {
    out.reset();
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (sessions_.size() + pending_ >= limits_.maxSessions) return status::BadTooManySessions;
        ++pending_;  // the slot is held while the DA server is made, outside the lock
    }
    IOPCServer* daServer = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                        reinterpret_cast<void**>(&daServer));
    if (FAILED(hr) || daServer == nullptr) {
        std::lock_guard<std::mutex> lock(lock_);
        --pending_;
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        Log("OPC UA session refused: " + ForLog(name) + " from " + ForLog(channel.PeerAddress()) +
            " (no OPC server object: " + code + ")");
        return status::BadResourceUnavailable;
    }

    const double timeoutMs = ReviseTimeout(requestedTimeoutMs);
    std::shared_ptr<ServerSession> session;
    {
        std::lock_guard<std::mutex> lock(lock_);
        --pending_;
        NodeId token;
        NodeId id;
        // 122 random bits collide practically never; checked anyway, so
        // that no live session's token or id is ever handed out twice.
        bool unique = false;
        while (!unique) {
            token = NewGuidNodeId(1);
            id = NewGuidNodeId(1);
            unique = sessions_.find(token) == sessions_.end();
            for (const auto& [otherToken, other] : sessions_) {
                if (other->Id() == id || otherToken == id || other->Id() == token) unique = false;
            }
        }
        const std::string shownName = name.empty() ? id.ToString() : name;
        session = std::make_shared<ServerSession>(id, token, shownName, clientDescription, channel.PeerAddress(),
                                                  timeoutMs, channel.Id(), daServer, clock_());
        sessions_.emplace(token, session);
    }
    Log("OPC UA session opened: " + ForLog(session->Name()) + " from " + ForLog(session->Peer()));
    out = std::move(session);
    return status::Good;
}

StatusCode SessionManager::Resolve(const RequestHeader& header, const ChannelLink& channel, bool mustBeActivated,
                                   std::shared_ptr<Session>& out) {
    out.reset();
    std::shared_ptr<ServerSession> session;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto found = sessions_.find(header.authenticationToken);
        if (found == sessions_.end()) return status::BadSessionIdInvalid;
        session = found->second;
    }
    const bool activated = session->IsActivated();
    if (mustBeActivated && !activated) return status::BadSessionNotActivated;
    // A session answers only on its own channel: another client that learnt
    // the token must not use it from its own connection.
    if (!session->IsBoundTo(channel.Id())) return status::BadSecureChannelIdInvalid;
    session->Touch(clock_());
    out = std::move(session);
    return status::Good;
}

StatusCode SessionManager::Find(const NodeId& token, std::shared_ptr<ServerSession>& out) const {
    std::lock_guard<std::mutex> lock(lock_);
    auto found = sessions_.find(token);
    if (found == sessions_.end()) return status::BadSessionIdInvalid;
    out = found->second;
    return status::Good;
}

StatusCode SessionManager::Activate(const NodeId& token, const ChannelLink& channel, const UserIdentity& user) {
    std::shared_ptr<ServerSession> session;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto found = sessions_.find(token);
        if (found == sessions_.end()) return status::BadSessionIdInvalid;
        session = found->second;
    }
    // The first activation proves the creator holds the session: it must come
    // on the channel the session was made on.
    if (!session->IsActivated() && session->CreatedOnChannel() != channel.Id()) {
        return status::BadSecureChannelIdInvalid;
    }
    if (session->IsEnded()) return status::BadSessionIdInvalid;
    session->Activate(channel.Id(), user, clock_());
    return status::Good;
}

StatusCode SessionManager::Close(const NodeId& token, bool deleteSubscriptions) {
    std::shared_ptr<ServerSession> session;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto found = sessions_.find(token);
        if (found == sessions_.end()) return status::BadSessionIdInvalid;
        session = std::move(found->second);
        sessions_.erase(found);
    }
    Finish(session, deleteSubscriptions, EndReason::ClosedByClient);
    return status::Good;
}

std::size_t SessionManager::Sweep(DateTime now) {
    std::vector<std::shared_ptr<ServerSession>> ended;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second->HasTimedOut(now)) {
                ended.push_back(std::move(it->second));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // A session that timed out leaves no client to publish to: its
    // subscriptions go with it.
    for (const auto& session : ended) Finish(session, true, EndReason::TimedOut);
    return ended.size();
}

void SessionManager::CloseAll() {
    std::vector<std::shared_ptr<ServerSession>> ended;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (auto& [token, session] : sessions_) ended.push_back(std::move(session));
        sessions_.clear();
    }
    for (const auto& session : ended) Finish(session, true, EndReason::ServerStop);
}

void SessionManager::OnChannelClosed(std::uint32_t channelId) {
    std::vector<std::shared_ptr<ServerSession>> ended;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            ServerSession& session = *it->second;
            if (!session.IsActivated() && session.CreatedOnChannel() == channelId) {
                ended.push_back(std::move(it->second));
                it = sessions_.erase(it);
                continue;
            }
            if (session.IsBoundTo(channelId)) session.DropChannel();
            ++it;
        }
    }
    for (const auto& session : ended) Finish(session, true, EndReason::ChannelClosed);
}

std::size_t SessionManager::Count() const {
    std::lock_guard<std::mutex> lock(lock_);
    return sessions_.size();
}

void SessionManager::OnSessionEnd(EndListener listener) {
    std::lock_guard<std::mutex> lock(listenersLock_);
    listeners_.push_back(std::move(listener));
}

void SessionManager::Finish(const std::shared_ptr<ServerSession>& session, bool deleteSubscriptions,
                            EndReason reason) {
    session->MarkEnded();
    std::vector<EndListener> listeners;
    {
        std::lock_guard<std::mutex> lock(listenersLock_);
        listeners = listeners_;
    }
    for (const EndListener& listener : listeners) {
        // One service set's failure must not keep the others from letting go.
        try {
            listener(*session, deleteSubscriptions);
        } catch (const std::exception& e) {
            Log("OPC UA session end: a listener failed: " + ForLog(e.what()));
        }
    }
    const char* why = "closed by the client";
    switch (reason) {
        case EndReason::ClosedByClient: break;
        case EndReason::TimedOut: why = "timed out"; break;
        case EndReason::ServerStop: why = "server stop"; break;
        case EndReason::ChannelClosed: why = "its channel closed before activation"; break;
    }
    Log("OPC UA session closed: " + ForLog(session->Name()) + " (" + why + ")");
    // The extensions and the DA server go with the last holder of the
    // session: here, unless a request still runs in it.
}

}  // namespace ua
