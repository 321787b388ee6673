#pragma once
// The server's table of sessions: creates them (each with its own OPC DA
// client), resolves a request's authentication token to its session, ends
// sessions that are closed, timed out or outlived by the server, and tells the
// service sets when one ends. Thread-safe: the dispatcher's workers call it.

#include "Channel.h"
#include "Messages.h"
#include "ServerSession.h"
#include "Session.h"
#include "ua/Types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ua {

struct SessionLimits {
    std::size_t maxSessions = 100;
    // The range a client's requested session timeout is revised into.
    double minSessionTimeoutMs = 10000;
    double maxSessionTimeoutMs = 3600000;
    // Browse continuation points one session may hold at once (the view services read it).
    std::size_t maxBrowseContinuationPoints = 10;
};

class SessionManager {
public:
    using EndListener = std::function<void(Session&, bool deleteSubscriptions)>;
    using Clock = std::function<DateTime()>;

    // clock: the time a request counts as made at (tests move it on).
    explicit SessionManager(SessionLimits limits = {}, Clock clock = Now);
    // Ends the sessions still open, as at the server's stop.
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    const SessionLimits& Limits() const { return limits_; }
    // A requested timeout (ms) as the server revises it; NaN, 0 and negative
    // ask for the shortest, infinity for the longest.
    double ReviseTimeout(double requestedMs) const;

    // A new, not yet activated session bound to the channel, with its own
    // OPCServer object. Bad_TooManySessions at the limit,
    // Bad_ResourceUnavailable when the DA server cannot be made. The calling
    // thread must be in the apartment.
    StatusCode Create(const std::string& name, const std::string& clientDescription, double requestedTimeoutMs,
                      const ChannelLink& channel, std::shared_ptr<ServerSession>& out);
    // The session a request names: Bad_SessionIdInvalid for an unknown token,
    // Bad_SessionNotActivated when mustBeActivated and it is not,
    // Bad_SecureChannelIdInvalid from another channel than the session's.
    // A request that resolves restarts the session's timeout.
    StatusCode Resolve(const RequestHeader& header, const ChannelLink& channel, bool mustBeActivated,
                       std::shared_ptr<Session>& out);
    // The session a token names, activated or not (ActivateSession checks the
    // client's signature against it first); Bad_SessionIdInvalid otherwise.
    StatusCode Find(const NodeId& token, std::shared_ptr<ServerSession>& out) const;
    // Activates the session for the user the session services checked. The
    // first activation must come on the channel the session was made on; a
    // later one moves the session to its channel.
    StatusCode Activate(const NodeId& token, const ChannelLink& channel, const UserIdentity& user);
    // Bad_SessionIdInvalid for an unknown token.
    StatusCode Close(const NodeId& token, bool deleteSubscriptions);
    // Ends the sessions whose timeout passed since their last request; the
    // number ended.
    std::size_t Sweep(DateTime now);
    // The server stops: every session ends.
    void CloseAll();
    // A channel ended: its activated sessions wait for a new channel until
    // their timeout; those never activated cannot be (their first activation
    // needs that channel) and end now.
    void OnChannelClosed(std::uint32_t channelId);
    std::size_t Count() const;
    // Called, outside the table's lock, for each session that ends, before
    // its extensions and DA server go. A listener must stay callable until
    // the manager is destroyed: the destructor ends the sessions still open.
    void OnSessionEnd(EndListener listener);


private:
    enum class EndReason { ClosedByClient, TimedOut, ServerStop, ChannelClosed };
    NodeId NewGuidNodeId(std::uint16_t ns);
    // After the session left the table: the listeners, the event log.
    void Finish(const std::shared_ptr<ServerSession>& session, bool deleteSubscriptions, EndReason reason);

    const SessionLimits limits_;
    const Clock clock_;
    mutable std::mutex lock_;
    std::unordered_map<NodeId, std::shared_ptr<ServerSession>, NodeIdHash> sessions_;  // by token
    std::size_t pending_ = 0;  // creations between the count check and the insert
    std::mutex listenersLock_;
    std::vector<EndListener> listeners_;
};

}  // namespace ua
