#include "ServerSession.h"

#include "opc/OpcDa.h"

#include <stdexcept>
#include <utility>

namespace ua {

ServerSession::ServerSession(NodeId id, NodeId token, std::string name, std::string clientDescription,
                             std::string peer, double timeoutMs, std::uint32_t channelId, IOPCServer* daServer,
                             DateTime now)
    : id_(std::move(id)),
      token_(std::move(token)),
      name_(std::move(name)),
      clientDescription_(std::move(clientDescription)),
      peer_(std::move(peer)),
      timeoutMs_(timeoutMs),
      createdOnChannel_(channelId),
      daServer_(daServer),
      channelId_(channelId),
      lastUsed_(now) {}

ServerSession::~ServerSession() {
    {
        std::lock_guard<std::recursive_mutex> lock(extensionLock_);
        // Taken out of the map before each is destroyed, so that a destructor
        // that still asks the session for an extension never meets a half-dead one.
        while (!extensions_.empty()) {
            auto node = extensions_.extract(extensions_.begin());
            node.mapped().reset();
        }
    }
    if (daServer_ != nullptr) daServer_->Release();
}

bool ServerSession::IsActivated() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return activated_;
}

std::uint32_t ServerSession::ChannelId() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return channelId_;
}

Session::Extension& ServerSession::Extend(const void* key, const std::function<std::unique_ptr<Extension>()>& make) {
    std::lock_guard<std::recursive_mutex> lock(extensionLock_);
    auto found = extensions_.find(key);
    if (found != extensions_.end()) return *found->second;
    std::unique_ptr<Extension> made = make();
    if (!made) throw std::logic_error("a session extension's maker returned nothing");
    // make() may have asked for the same key again (recursive lock): keep the first.
    auto [where, inserted] = extensions_.emplace(key, std::move(made));
    return *where->second;
}

void ServerSession::Touch(DateTime now) {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (now > lastUsed_) lastUsed_ = now;
}

bool ServerSession::HasTimedOut(DateTime now) const {
    std::lock_guard<std::mutex> lock(stateLock_);
    // DateTime counts 100 ns; the timeout is in milliseconds.
    const double elapsedMs = static_cast<double>(now - lastUsed_) / 10000.0;
    return elapsedMs > timeoutMs_;
}

UserIdentity ServerSession::User() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return user_;
}

ByteString ServerSession::ServerNonce() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return serverNonce_;
}

void ServerSession::SetServerNonce(ByteString nonce) {
    std::lock_guard<std::mutex> lock(stateLock_);
    serverNonce_ = std::move(nonce);
}

ByteString ServerSession::ClientCertificate() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return clientCertificate_;
}

void ServerSession::SetClientCertificate(ByteString certificate) {
    std::lock_guard<std::mutex> lock(stateLock_);
    clientCertificate_ = std::move(certificate);
}

void ServerSession::Activate(std::uint32_t channelId, const UserIdentity& user, DateTime now) {
    std::lock_guard<std::mutex> lock(stateLock_);
    activated_ = true;
    user_ = user;
    channelId_ = channelId;
    if (now > lastUsed_) lastUsed_ = now;
}

void ServerSession::DropChannel() {
    std::lock_guard<std::mutex> lock(stateLock_);
    channelId_ = 0;
}

bool ServerSession::IsBoundTo(std::uint32_t channelId) const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return channelId_ != 0 && channelId_ == channelId;
}

void ServerSession::MarkEnded() {
    std::lock_guard<std::mutex> lock(stateLock_);
    ended_ = true;
}

bool ServerSession::IsEnded() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return ended_;
}

}  // namespace ua
