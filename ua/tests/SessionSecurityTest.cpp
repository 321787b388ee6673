// The session services on secured channels: which channels may carry a
// session, the signatures both sides give in CreateSession and
// ActivateSession, and user names with encrypted passwords checked against
// the user list, with the role the session then has.

#include "Crypto.h"
#include "Messages.h"
#include "ServiceCall.h"
#include "SessionManager.h"
#include "SessionServices.h"

#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ua {
namespace {

const crypto::PrivateKey& ServerKey() {
    static const crypto::PrivateKey key = crypto::PrivateKey::Generate(2048);
    return key;
}
const crypto::PrivateKey& ClientKey() {
    static const crypto::PrivateKey key = crypto::PrivateKey::Generate(2048);
    return key;
}

class SecureTestChannel : public ChannelLink {
public:
    SecureTestChannel(const SecurityPolicy& policy, SecurityMode mode, ByteString clientCertificate, bool loopback)
        : policy_(policy), mode_(mode), certificate_(std::move(clientCertificate)), loopback_(loopback) {}
    std::uint32_t Id() const override { return 5; }
    bool Send(std::uint32_t, std::vector<std::uint8_t> message) override {
        std::lock_guard lock(lock_);
        sent.push_back(std::move(message));
        arrived_.notify_all();
        return true;
    }
    bool IsOpen() const override { return true; }
    std::string EndpointUrl() const override { return "opc.tcp://vokhost:4840"; }
    std::string PeerAddress() const override { return "10.0.0.7:50123"; }
    const SecurityPolicy& Policy() const override { return policy_; }
    SecurityMode Mode() const override { return mode_; }
    ByteString ClientCertificate() const override { return certificate_; }
    bool FromLoopback() const override { return loopback_; }

    // Waits for the count'th answer (a delayed refusal comes from another thread).
    std::vector<std::uint8_t> Answer(std::size_t count, std::chrono::milliseconds wait) {
        std::unique_lock lock(lock_);
        arrived_.wait_for(lock, wait, [&] { return sent.size() >= count; });
        return sent.size() >= count ? sent[count - 1] : std::vector<std::uint8_t>{};
    }
    std::size_t Count() {
        std::lock_guard lock(lock_);
        return sent.size();
    }

    std::vector<std::vector<std::uint8_t>> sent;

private:
    const SecurityPolicy& policy_;
    const SecurityMode mode_;
    const ByteString certificate_;
    const bool loopback_;
    std::mutex lock_;
    std::condition_variable arrived_;
};

class SessionSecurityTest : public ::testing::Test {
protected:
    SessionSecurityTest()
        : serverCert_(std::make_shared<crypto::Certificate>(crypto::Certificate::MakeSelfSigned(
              ServerKey(), "VOK Explorer@vokhost", "VOK", "urn:vokhost:VOKExplorer", {"vokhost"}, 0, 4102444800))),
          clientCert_(crypto::Certificate::MakeSelfSigned(ClientKey(), "client", "test", "urn:test:client",
                                                          {"client"}, 0, 4102444800)),
          users_(std::make_shared<UserStore>(dir_.File("ua-users"))),
          security_(std::make_shared<crypto::PrivateKey>(ServerKey()), serverCert_, users_) {
        info_.applicationUri = "urn:vokhost:VOKExplorer";
        info_.endpointUrl = "opc.tcp://vokhost:4840";
        info_.endpoints = ConfiguredEndpoints(false, true);
        info_.certificateDer = serverCert_->Der();
        RegisterSessionServices(table_, manager_, info_, security_, delays_);
        std::string error;
        EXPECT_TRUE(users_->Add("op", Role::Operator, "right-password", error)) << error;
    }

    std::vector<std::uint8_t> Call(SecureTestChannel& channel, std::uint32_t type,
                                   const std::function<void(Writer&)>& body, const NodeId& token = {},
                                   std::chrono::milliseconds wait = std::chrono::milliseconds(100)) {
        Writer writer;
        body(writer);
        const std::vector<std::uint8_t> bytes = writer.Take();
        ServiceCall call;
        call.channel = std::shared_ptr<ChannelLink>(&channel, [](ChannelLink*) {});
        call.requestType = type;
        call.header.authenticationToken = token;
        const std::size_t before = channel.Count();
        Reader reader(bytes);
        table_.Find(type)->handler(call, reader);
        return channel.Answer(before + 1, wait);
    }

    static StatusCode Result(Reader& r) {
        r.NodeIdValue();
        return ReadResponseHeader(r).serviceResult;
    }

    struct Created {
        StatusCode result = status::Bad;
        NodeId token;
        ByteString serverNonce;
        ByteString serverCertificate;
        std::string signatureAlgorithm;
        ByteString signature;
    };

    Created Create(SecureTestChannel& channel, const ByteString& clientNonce, const std::string& applicationUri,
                   const ByteString& certificate) {
        const auto answer = Call(channel, encoding::CreateSessionRequest, [&](Writer& w) {
            w.String(applicationUri);
            w.String("urn:test");
            w.LocalizedTextValue({"en", "test client"});
            w.Int32(1);
            w.NullString();
            w.NullString();
            w.Int32(0);
            w.String(info_.applicationUri);
            w.String("opc.tcp://vokhost:4840");
            w.String("secure");
            w.ByteStringValue(clientNonce);
            w.ByteStringValue(certificate);
            w.Double(60000);
            w.UInt32(0);
        });
        Created out;
        Reader r(answer);
        out.result = Result(r);
        if (IsBad(out.result)) return out;
        r.NodeIdValue();
        out.token = r.NodeIdValue();
        r.Double();
        out.serverNonce = r.ByteStringValue();
        out.serverCertificate = r.ByteStringValue();
        r.Array<int>([](Reader& e) {
            e.String();
            e.String(), e.String(), e.LocalizedTextValue(), e.Int32(), e.String(), e.String();
            e.Array<std::string>([](Reader& s) { return s.String(); });
            e.ByteStringValue();
            e.Int32();
            e.String();
            e.Array<int>([](Reader& t) {
                t.String(), t.Int32(), t.String(), t.String(), t.String();
                return 0;
            });
            e.String();
            e.Byte();
            return 0;
        });
        r.Int32();
        out.signatureAlgorithm = r.String();
        out.signature = r.ByteStringValue();
        return out;
    }

    // The password as a client encrypts it: length, password, the server's last nonce.
    ByteString EncryptedPassword(const std::string& password, const ByteString& nonce,
                                 crypto::EncryptionScheme scheme) const {
        const std::uint32_t length = static_cast<std::uint32_t>(password.size() + nonce.size());
        ByteString plain;
        for (int i = 0; i < 4; ++i) plain += static_cast<char>((length >> (8 * i)) & 0xFF);
        plain += password + nonce;
        return serverCert_->Encrypt(plain, scheme);
    }

    StatusCode Activate(SecureTestChannel& channel, const NodeId& token, const ByteString& clientSignature,
                        const ExtensionObject& identity, ByteString* nextNonce = nullptr,
                        std::chrono::milliseconds wait = std::chrono::milliseconds(100)) {
        const std::string algorithm = channel.Policy().none ? "" : channel.Policy().asymmetricSignatureUri;
        const auto answer = Call(
            channel, encoding::ActivateSessionRequest,
            [&](Writer& w) {
                w.String(algorithm);
                w.ByteStringValue(clientSignature);
                w.Int32(0);
                w.Int32(0);
                w.ExtensionObjectValue(identity);
                w.NullString();
                w.NullString();
            },
            token, wait);
        if (answer.empty()) return status::BadTimeout;
        Reader r(answer);
        const StatusCode result = Result(r);
        if (IsGood(result) && nextNonce != nullptr) *nextNonce = r.ByteStringValue();
        return result;
    }

    static ExtensionObject UserNameToken(const std::string& user, const ByteString& secret, const std::string& algorithm) {
        return EncodeExtensionObject(encoding::UserNameIdentityToken, [&](Writer& w) {
            w.String("username");
            w.String(user);
            w.ByteStringValue(secret);
            w.String(algorithm);
        });
    }

    ByteString ClientSignature(const SecurityPolicy& policy, const ByteString& serverNonce) const {
        return ClientKey().Sign(serverCert_->Der() + serverNonce, policy.asymmetricSignature);
    }

    TempDir dir_;
    ScriptedUiServices ui_;
    InProcessServer host_;
    std::shared_ptr<const crypto::Certificate> serverCert_;
    crypto::Certificate clientCert_;
    std::shared_ptr<UserStore> users_;
    ServerInfo info_;
    SessionSecurity security_;
    DelayedWork delays_;
    SessionManager manager_;
    ServiceTable table_;
};

TEST_F(SessionSecurityTest, SessionsRunOnlyOnTheEndpointsOfferedAndNoneOnlyOnThisMachine) {
    const SecurityPolicy& basic = *FindPolicy(kPolicyUriBasic256Sha256);
    const SecureTestChannel remoteNone(PolicyNone(), SecurityMode::None, {}, false);
    const SecureTestChannel localNone(PolicyNone(), SecurityMode::None, {}, true);
    const SecureTestChannel signOnly(basic, SecurityMode::Sign, clientCert_.Der(), false);
    const SecureTestChannel encrypted(basic, SecurityMode::SignAndEncrypt, clientCert_.Der(), false);
    EXPECT_EQ(security_.ChannelServesSessions(info_, remoteNone), status::BadSecurityPolicyRejected);
    EXPECT_EQ(security_.ChannelServesSessions(info_, localNone), status::Good);
    EXPECT_EQ(security_.ChannelServesSessions(info_, signOnly), status::BadSecurityModeRejected);
    EXPECT_EQ(security_.ChannelServesSessions(info_, encrypted), status::Good);
    ServerInfo strict = info_;
    strict.endpoints = ConfiguredEndpoints(true, false);
    EXPECT_EQ(security_.ChannelServesSessions(strict, localNone), status::BadSecurityPolicyRejected)
        << "the None endpoint turned off";
    EXPECT_EQ(security_.ChannelServesSessions(strict, signOnly), status::Good);
}

TEST_F(SessionSecurityTest, CreateSessionIsSignedForTheClientAndChecksWhatTheClientClaims) {
    for (const char* uri : {kPolicyUriBasic256Sha256, kPolicyUriAes128Sha256RsaOaep, kPolicyUriAes256Sha256RsaPss}) {
        const SecurityPolicy& policy = *FindPolicy(uri);
        SecureTestChannel channel(policy, SecurityMode::SignAndEncrypt, clientCert_.Der(), false);
        const ByteString clientNonce = crypto::RandomBytes(32);
        const Created created = Create(channel, clientNonce, "urn:test:client", clientCert_.Der());
        ASSERT_EQ(created.result, status::Good) << uri;
        EXPECT_EQ(created.serverCertificate, serverCert_->Der());
        EXPECT_EQ(created.signatureAlgorithm, policy.asymmetricSignatureUri);
        EXPECT_TRUE(serverCert_->Verify(clientCert_.Der() + clientNonce, created.signature, policy.asymmetricSignature))
            << uri;
        EXPECT_EQ(created.serverNonce.size(), 32u);
    }
    const SecurityPolicy& basic = *FindPolicy(kPolicyUriBasic256Sha256);
    SecureTestChannel channel(basic, SecurityMode::SignAndEncrypt, clientCert_.Der(), false);
    EXPECT_EQ(Create(channel, crypto::RandomBytes(32), "urn:someone:else", clientCert_.Der()).result,
              status::BadCertificateUriInvalid);
    EXPECT_EQ(Create(channel, crypto::RandomBytes(16), "urn:test:client", clientCert_.Der()).result,
              status::BadNonceInvalid);
    const crypto::Certificate other =
        crypto::Certificate::MakeSelfSigned(ClientKey(), "other", "test", "urn:test:client", {}, 0, 4102444800);
    EXPECT_EQ(Create(channel, crypto::RandomBytes(32), "urn:test:client", other.Der()).result,
              status::BadCertificateInvalid)
        << "not the certificate the channel was opened with";
    EXPECT_EQ(manager_.Count(), 3u) << "no session for a refused request";
}

TEST_F(SessionSecurityTest, ActivationNeedsTheClientsSignatureAndTheRightPasswordForTheSessionsNonce) {
    const SecurityPolicy& policy = *FindPolicy(kPolicyUriAes128Sha256RsaOaep);
    SecureTestChannel channel(policy, SecurityMode::SignAndEncrypt, clientCert_.Der(), false);
    const Created created = Create(channel, crypto::RandomBytes(32), "urn:test:client", clientCert_.Der());
    ASSERT_EQ(created.result, status::Good);
    const auto scheme = policy.asymmetricEncryption;
    const std::string algorithm = policy.asymmetricEncryptionUri;

    // A signature of another nonce is not the client's proof.
    EXPECT_EQ(Activate(channel, created.token, ClientSignature(policy, "another nonce"),
                       UserNameToken("op", EncryptedPassword("right-password", created.serverNonce, scheme), algorithm)),
              status::BadApplicationSignatureInvalid);
    std::shared_ptr<ServerSession> session;
    ASSERT_EQ(manager_.Find(created.token, session), status::Good);
    EXPECT_FALSE(session->IsActivated());

    // Every answer gave a new nonce: the one of CreateSession is spent.
    ByteString nonce = session->ServerNonce();
    EXPECT_NE(nonce, created.serverNonce);
    EXPECT_EQ(Activate(channel, created.token, ClientSignature(policy, nonce),
                       UserNameToken("op", EncryptedPassword("right-password", created.serverNonce, scheme), algorithm)),
              status::BadIdentityTokenInvalid)
        << "a password encrypted for an old nonce is a replay";

    nonce = session->ServerNonce();
    ByteString next;
    ASSERT_EQ(Activate(channel, created.token, ClientSignature(policy, nonce),
                       UserNameToken("op", EncryptedPassword("right-password", nonce, scheme), algorithm), &next),
              status::Good);
    EXPECT_TRUE(session->IsActivated());
    EXPECT_EQ(session->User().role, Role::Operator);
    EXPECT_EQ(session->User().userName, "op");
    EXPECT_EQ(next, session->ServerNonce());

    // A password given in clear is taken only on a channel that encrypts.
    nonce = session->ServerNonce();
    EXPECT_EQ(Activate(channel, created.token, ClientSignature(policy, nonce), UserNameToken("op", "right-password", "")),
              status::Good);
    SecureTestChannel signing(policy, SecurityMode::Sign, clientCert_.Der(), false);
    info_.endpoints = ConfiguredEndpoints(true, false);
    nonce = session->ServerNonce();
    EXPECT_EQ(Activate(signing, created.token, ClientSignature(policy, nonce), UserNameToken("op", "right-password", "")),
              status::BadIdentityTokenInvalid);
}

TEST_F(SessionSecurityTest, WrongPasswordsAreRefusedAndAnsweredLaterEachTime) {
    // On the None endpoint the password is encrypted with the server's certificate under Basic256Sha256.
    SecureTestChannel channel(PolicyNone(), SecurityMode::None, {}, true);
    const Created created = Create(channel, {}, "urn:test:client", {});
    ASSERT_EQ(created.result, status::Good);
    std::shared_ptr<ServerSession> session;
    ASSERT_EQ(manager_.Find(created.token, session), status::Good);
    const SecurityPolicy& basic = *FindPolicy(kPolicyUriBasic256Sha256);
    const auto token = [&](const std::string& user, const std::string& password) {
        return UserNameToken(user, EncryptedPassword(password, session->ServerNonce(), basic.asymmetricEncryption),
                             basic.asymmetricEncryptionUri);
    };
    // The first failure is answered at once, the next after a second.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Activate(channel, created.token, {}, token("op", "wrong-password")), status::BadUserAccessDenied);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(Activate(channel, created.token, {}, token("nobody", "right-password"), nullptr, std::chrono::seconds(5)),
              status::BadUserAccessDenied);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_FALSE(session->IsActivated());
    // The right password still works, and a viewer's role is what the list says.
    std::string error;
    ASSERT_TRUE(users_->Add("watcher", Role::Viewer, "viewer-password", error)) << error;
    EXPECT_EQ(Activate(channel, created.token, {}, token("watcher", "viewer-password"), nullptr,
                       std::chrono::seconds(5)),
              status::Good);
    EXPECT_EQ(session->User().role, Role::Viewer);
    EXPECT_EQ(session->User().userName, "watcher");
}

}  // namespace
}  // namespace ua
