#include "SessionSecurity.h"

#include "LogText.h"
#include "Messages.h"
#include "foundation/CLogFile.h"
#include "ua/Binary.h"

#include <algorithm>

namespace ua {

namespace {

// User names and URIs are logged shorter than session names: a refusal line
// carries two of them.
constexpr std::size_t kLoggedName = 64;

void LogRefusal(const ChannelLink& channel, const std::string& who, const std::string& why) {
    EventLog()
        .Append("OPC UA sign-in refused: " + who + " from " + ForLog(channel.PeerAddress(), kLoggedName) + " (" + why + ")")
        .Commit(CLogFile::kWrite);
}

bool IsType(const ExtensionObject& token, std::uint32_t id) {
    return token.typeId.ns == 0 && token.typeId.kind == NodeId::Kind::Numeric && token.typeId.numeric == id;
}

Reader BodyReader(const ExtensionObject& token) {
    return Reader(reinterpret_cast<const std::uint8_t*>(token.body.data()), token.body.size(),
                  DecodeLimits{4096, 0, 4});
}

// The policy a password is encrypted under: the channel's, or on a None
// channel the one the None endpoint's user name policy names.
const SecurityPolicy& PasswordPolicy(const ChannelLink& channel) {
    if (!channel.Policy().none) return channel.Policy();
    return *FindPolicy(kPolicyUriBasic256Sha256);
}

}  // namespace

DelayedWork::DelayedWork() {
    thread_ = std::thread([this] {
        std::unique_lock lock(lock_);
        while (!stopping_) {
            if (due_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto first = due_.begin()->first;
            if (std::chrono::steady_clock::now() < first) {
                wake_.wait_until(lock, first);
                continue;
            }
            std::function<void()> work = std::move(due_.begin()->second);
            due_.erase(due_.begin());
            lock.unlock();
            work();
            lock.lock();
        }
    });
}

DelayedWork::~DelayedWork() { Stop(); }

void DelayedWork::After(std::chrono::milliseconds delay, std::function<void()> work) {
    std::lock_guard lock(lock_);
    if (stopping_) return;
    due_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
    wake_.notify_all();
}

void DelayedWork::Stop() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
        due_.clear();
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

std::string PeerHost(const std::string& peerAddress) {
    if (!peerAddress.empty() && peerAddress.front() == '[') {
        const auto close = peerAddress.find(']');
        return close == std::string::npos ? peerAddress : peerAddress.substr(1, close - 1);
    }
    const auto colon = peerAddress.rfind(':');
    return colon == std::string::npos ? peerAddress : peerAddress.substr(0, colon);
}

SessionSecurity::SessionSecurity(std::shared_ptr<const crypto::PrivateKey> key,
                                 std::shared_ptr<const crypto::Certificate> certificate,
                                 std::shared_ptr<UserStore> users)
    : key_(std::move(key)),
      certificate_(std::move(certificate)),
      certificateDer_(certificate_ ? certificate_->Der() : ByteString()),
      users_(std::move(users)) {}

StatusCode SessionSecurity::ChannelServesSessions(const ServerInfo& info, const ChannelLink& channel) const {
    const SecurityPolicy& policy = channel.Policy();
    bool policyOffered = false;
    for (const EndpointConfig& endpoint : info.endpoints) {
        if (endpoint.policy != &policy) continue;
        policyOffered = true;
        if (endpoint.mode != channel.Mode()) continue;
        // The None endpoint serves sessions to clients on this machine only;
        // others reach it for discovery and nothing else.
        if (policy.none && !channel.FromLoopback()) return status::BadSecurityPolicyRejected;
        return status::Good;
    }
    return policyOffered ? status::BadSecurityModeRejected : status::BadSecurityPolicyRejected;
}

StatusCode SessionSecurity::CheckCreate(const ChannelLink& channel, const ByteString& clientCertificate,
                                        const std::string& clientApplicationUri, const ByteString& clientNonce) const {
    const SecurityPolicy& policy = channel.Policy();
    if (policy.none) return status::Good;
    if (clientNonce.size() < policy.nonceLength) return status::BadNonceInvalid;
    // The certificate the client signs with must be the one its channel was
    // opened with (it may send its chain; the first is its own).
    const ByteString channelCertificate = channel.ClientCertificate();
    try {
        const auto chain = crypto::Certificate::FromDerChain(clientCertificate);
        if (chain.front().Der() != channelCertificate) return status::BadCertificateInvalid;
        if (chain.front().ApplicationUri() != clientApplicationUri) {
            EventLog()
                .Append("OPC UA session refused: the client's ApplicationUri " + ForLog(clientApplicationUri, kLoggedName) +
                        " is not its certificate's " + ForLog(chain.front().ApplicationUri(), kLoggedName))
                .Commit(CLogFile::kWrite);
            return status::BadCertificateUriInvalid;
        }
    } catch (const crypto::CryptoError&) {
        return status::BadCertificateInvalid;
    }
    return status::Good;
}

std::pair<std::string, ByteString> SessionSecurity::SignForClient(const ChannelLink& channel,
                                                                  const ByteString& clientCertificate,
                                                                  const ByteString& clientNonce) const {
    const SecurityPolicy& policy = channel.Policy();
    if (policy.none || key_ == nullptr) return {};
    // The client's own certificate, without the chain it may have sent.
    ByteString own = clientCertificate;
    try {
        own = crypto::Certificate::FromDerChain(clientCertificate).front().Der();
    } catch (const crypto::CryptoError&) {
    }
    return {policy.asymmetricSignatureUri, key_->Sign(own + clientNonce, policy.asymmetricSignature)};
}

StatusCode SessionSecurity::CheckClientSignature(const ChannelLink& channel, const ServerSession& session,
                                                 const std::string& algorithm, const ByteString& signature) const {
    const SecurityPolicy& policy = channel.Policy();
    if (policy.none) return status::Good;
    if (algorithm != policy.asymmetricSignatureUri || certificate_ == nullptr)
        return status::BadApplicationSignatureInvalid;
    try {
        const crypto::Certificate client = crypto::Certificate::FromDer(channel.ClientCertificate());
        if (!client.Verify(certificateDer_ + session.ServerNonce(), signature, policy.asymmetricSignature))
            return status::BadApplicationSignatureInvalid;
    } catch (const crypto::CryptoError&) {
        return status::BadApplicationSignatureInvalid;
    }
    return status::Good;
}

StatusCode SessionSecurity::CheckIdentity(const ServerInfo& info, const ChannelLink& channel,
                                          const ServerSession& session, const ExtensionObject& token,
                                          UserIdentity& out, std::chrono::milliseconds& delay) {
    delay = std::chrono::milliseconds(0);
    const bool emptyToken = token.encoding == ExtensionObject::Encoding::None && token.typeId.IsNull();
    if (emptyToken || IsType(token, encoding::AnonymousIdentityToken)) {
        if (!info.anonymous) {
            LogRefusal(channel, "anonymous", "anonymous sessions are turned off");
            return status::BadIdentityTokenRejected;
        }
        out = UserIdentity{};
        return status::Good;
    }
    if (IsType(token, encoding::UserNameIdentityToken)) return CheckUserName(channel, session, token, out, delay);
    const bool known = IsType(token, encoding::X509IdentityToken) || IsType(token, encoding::IssuedIdentityToken);
    LogRefusal(channel, "a client", known ? "only anonymous and user name sign-ins are served" : "an unknown token");
    return known ? status::BadIdentityTokenRejected : status::BadIdentityTokenInvalid;
}

StatusCode SessionSecurity::CheckUserName(const ChannelLink& channel, const ServerSession& session,
                                          const ExtensionObject& token, UserIdentity& out,
                                          std::chrono::milliseconds& delay) {
    std::string userName;
    ByteString secret;
    std::string algorithm;
    try {
        Reader body = BodyReader(token);
        body.String();  // policyId: the endpoint's one user name policy
        userName = body.String();
        secret = body.ByteStringValue();
        algorithm = body.String();
    } catch (const DecodeError&) {
        LogRefusal(channel, "a client", "a user name token that cannot be read");
        return status::BadIdentityTokenInvalid;
    }
    const std::string who = "user " + ForLog(userName, kLoggedName);
    std::string password;
    if (algorithm.empty()) {
        // Only a channel that encrypts keeps a password given in clear off the wire.
        if (channel.Mode() != SecurityMode::SignAndEncrypt) {
            LogRefusal(channel, who, "a password in clear on a channel that does not encrypt");
            return status::BadIdentityTokenInvalid;
        }
        password = secret;
    } else {
        const SecurityPolicy& policy = PasswordPolicy(channel);
        if (key_ == nullptr || algorithm != policy.asymmetricEncryptionUri) {
            LogRefusal(channel, who, "a password encrypted with " + ForLog(algorithm, kLoggedName));
            return status::BadIdentityTokenInvalid;
        }
        // The plain text is the length of what follows, the password and the
        // nonce the server last gave this session.
        ByteString plain;
        try {
            plain = key_->Decrypt(secret, policy.asymmetricEncryption);
        } catch (const crypto::CryptoError&) {
            LogRefusal(channel, who, "a password that does not decrypt");
            return status::BadIdentityTokenInvalid;
        }
        const ByteString nonce = session.ServerNonce();
        if (plain.size() < 4) {
            LogRefusal(channel, who, "a password that does not decrypt");
            return status::BadIdentityTokenInvalid;
        }
        const std::uint32_t length = static_cast<std::uint32_t>(static_cast<unsigned char>(plain[0])) |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(plain[1])) << 8 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(plain[2])) << 16 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(plain[3])) << 24;
        if (length != plain.size() - 4 || length < nonce.size() || nonce.empty() ||
            plain.compare(plain.size() - nonce.size(), nonce.size(), nonce) != 0) {
            LogRefusal(channel, who, "a password not encrypted for this session's nonce");
            return status::BadIdentityTokenInvalid;
        }
        password = plain.substr(4, length - nonce.size());
    }
    const std::string host = PeerHost(channel.PeerAddress());
    const std::optional<Role> role = users_ ? users_->Check(userName, password) : std::nullopt;
    if (!role) {
        delay = throttle_.Failure(host, SignInThrottle::Clock::now());
        LogRefusal(channel, who, "unknown user or wrong password");
        return status::BadUserAccessDenied;
    }
    throttle_.Success(host);
    out.role = *role;
    out.userName = userName;
    return status::Good;
}

}  // namespace ua
