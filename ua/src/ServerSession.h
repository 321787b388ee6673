#pragma once
// The session the server keeps for a client: its identity, the channel it is
// bound to, when it was last used, its extensions and its own OPCServer
// object, which it releases when the last holder lets go of it.

#include "Session.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ua {

class ServerSession final : public Session {
public:
    // Takes over the reference on daServer.
    ServerSession(NodeId id, NodeId token, std::string name, std::string clientDescription, std::string peer,
                  double timeoutMs, std::uint32_t channelId, IOPCServer* daServer, DateTime now);
    // Extensions first (they may hold DA groups of the server), then the server.
    ~ServerSession() override;
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    NodeId Id() const override { return id_; }
    NodeId AuthenticationToken() const override { return token_; }
    std::string Name() const override { return name_; }
    bool IsActivated() const override;
    // 0 while the session has no channel (its channel closed).
    std::uint32_t ChannelId() const override;
    IOPCServer* DaServer() const override { return daServer_; }
    Extension& Extend(const void* key, const std::function<std::unique_ptr<Extension>()>& make) override;
    UserIdentity User() const override;

    const std::string& ClientDescription() const { return clientDescription_; }
    const std::string& Peer() const { return peer_; }
    // The revised timeout in milliseconds.
    double TimeoutMs() const { return timeoutMs_; }

    // The manager's side, each under the session's own lock.
    void Touch(DateTime now);
    bool HasTimedOut(DateTime now) const;
    void Activate(std::uint32_t channelId, const UserIdentity& user, DateTime now);
    // The nonce the server last gave the client (CreateSession's, then each
    // ActivateSession's), which the client's next signature and an encrypted
    // password must carry.
    ByteString ServerNonce() const;
    void SetServerNonce(ByteString nonce);
    // The client certificate of CreateSession (empty under SecurityPolicy None).
    ByteString ClientCertificate() const;
    void SetClientCertificate(ByteString certificate);
    // The session's channel ended; it stays until its timeout.
    void DropChannel();
    // Whether a request on that channel may use the session.
    bool IsBoundTo(std::uint32_t channelId) const;
    // The channel the session was created on, which its first activation must use.
    std::uint32_t CreatedOnChannel() const { return createdOnChannel_; }
    void MarkEnded();
    bool IsEnded() const;

private:
    const NodeId id_;
    const NodeId token_;
    const std::string name_;
    const std::string clientDescription_;
    const std::string peer_;
    const double timeoutMs_;
    const std::uint32_t createdOnChannel_;
    IOPCServer* const daServer_;

    mutable std::mutex stateLock_;
    bool activated_ = false;
    UserIdentity user_;
    ByteString serverNonce_;
    ByteString clientCertificate_;
    bool ended_ = false;
    std::uint32_t channelId_;
    DateTime lastUsed_;

    // Recursive: an extension's make() may itself ask for another extension.
    std::recursive_mutex extensionLock_;
    std::map<const void*, std::unique_ptr<Extension>> extensions_;
};

}  // namespace ua
