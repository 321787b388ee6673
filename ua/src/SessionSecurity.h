#pragma once
// What the session services check a client against beyond its secure
// channel: whether the channel's security is an endpoint this server offers
// to that client, the signatures of CreateSession and ActivateSession
// (OPC 10000-4, 5.6.2 and 5.6.3), and the user identity token with the
// password it carries, against the program's user list.

#include "Channel.h"
#include "ServerInfo.h"
#include "ServerSession.h"
#include "ua/UserStore.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ua {

// Work run once its time has come, on a thread of its own: the answers to
// failed sign-ins, which wait without holding a service worker.
class DelayedWork {
public:
    DelayedWork();
    // Runs nothing more; what waits is dropped.
    ~DelayedWork();
    DelayedWork(const DelayedWork&) = delete;
    DelayedWork& operator=(const DelayedWork&) = delete;
    void After(std::chrono::milliseconds delay, std::function<void()> work);
    void Stop();

private:
    std::mutex lock_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due_;
    bool stopping_ = false;
    std::thread thread_;
};

class SessionSecurity {
public:
    // key and certificate null: SecurityPolicy None only. users null: no one
    // signs in with a user name.
    SessionSecurity(std::shared_ptr<const crypto::PrivateKey> key, std::shared_ptr<const crypto::Certificate> certificate,
                    std::shared_ptr<UserStore> users);

    // Whether a session may be made on the channel: its policy and mode are
    // an endpoint of the server's, and None only from this machine;
    // Bad_SecurityPolicyRejected or Bad_SecurityModeRejected otherwise.
    StatusCode ChannelServesSessions(const ServerInfo& info, const ChannelLink& channel) const;
    // CreateSession's check of the client: the certificate it names is the
    // one it opened the channel with, its ApplicationUri is the one in the
    // certificate, its nonce long enough.
    StatusCode CheckCreate(const ChannelLink& channel, const ByteString& clientCertificate,
                           const std::string& clientApplicationUri, const ByteString& clientNonce) const;
    // The server's signature of clientCertificate + clientNonce under the
    // channel's policy: algorithm and bytes, both empty under None.
    std::pair<std::string, ByteString> SignForClient(const ChannelLink& channel, const ByteString& clientCertificate,
                                                     const ByteString& clientNonce) const;
    // ActivateSession's client signature of the server certificate + the
    // session's last server nonce; Bad_ApplicationSignatureInvalid otherwise.
    StatusCode CheckClientSignature(const ChannelLink& channel, const ServerSession& session,
                                    const std::string& algorithm, const ByteString& signature) const;

    // The identity token of ActivateSession: anonymous (when allowed) is a
    // viewer; a user name with its password, decrypted and checked against
    // the user list, is the user's role. A refusal is
    // Bad_IdentityTokenRejected (a kind not served, anonymous turned off),
    // Bad_IdentityTokenInvalid (a token that cannot be read, a password in
    // clear, a nonce that is not the session's) or Bad_UserAccessDenied (an
    // unknown user or a wrong password: delay says how long to wait before
    // answering). Every refusal is written to the event log.
    StatusCode CheckIdentity(const ServerInfo& info, const ChannelLink& channel, const ServerSession& session,
                             const ExtensionObject& token, UserIdentity& out, std::chrono::milliseconds& delay);

    const crypto::Certificate* Certificate() const { return certificate_.get(); }

private:
    StatusCode CheckUserName(const ChannelLink& channel, const ServerSession& session, const ExtensionObject& token,
                             UserIdentity& out, std::chrono::milliseconds& delay);

    const std::shared_ptr<const crypto::PrivateKey> key_;
    const std::shared_ptr<const crypto::Certificate> certificate_;
    const ByteString certificateDer_;
    const std::shared_ptr<UserStore> users_;
    SignInThrottle throttle_;
};

// The host part of a peer address ("10.0.0.7:51234" -> "10.0.0.7"), which
// the sign-in delay counts failures by.
std::string PeerHost(const std::string& peerAddress);

}  // namespace ua
