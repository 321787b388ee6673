// Secured channels against a client of the test's own, built from the same
// OpenSSL wrappers but not from the server's chunk code: the OpenSecureChannel
// under the two certificates, requests and answers in several chunks under
// each policy and mode, the token renewal with its new keys, and the refusals
// of every check (signature, padding, decryption, keys, thumbprint, nonce,
// certificate) as an Error message that ends the connection.
#include "ServerSecurity.h"
#include "TcpClientMessages.h"
#include "UaConnection.h"
#include "foundation/CLogFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace {

using namespace uatest;
using ua::ByteString;
using ua::SecurityMode;
using ua::SecurityPolicy;
using ua::crypto::Certificate;
using ua::crypto::PrivateKey;
using Clock = ua::UaConnection::Clock;

constexpr std::uint32_t kChannel = 9;
constexpr std::uint32_t kReadRequest = 631;
constexpr std::uint32_t kReadResponse = 634;

ByteString AsString(const Bytes& bytes) { return ByteString(bytes.begin(), bytes.end()); }
Bytes AsBytes(const ByteString& bytes) { return Bytes(bytes.begin(), bytes.end()); }

struct Identity {
    PrivateKey key;
    Certificate certificate;
};

Identity MakeIdentity(int bits, const std::string& name) {
    PrivateKey key = PrivateKey::Generate(bits);
    Certificate certificate =
        Certificate::MakeSelfSigned(key, name, "VOK tests", "urn:test:" + name, {"localhost"}, 0, 4102444800);
    return {std::move(key), std::move(certificate)};
}

// Generated once: RSA key generation is what takes time in these tests.
const Identity& ServerId() { static const Identity id = MakeIdentity(2048, "server"); return id; }
const Identity& ClientId() { static const Identity id = MakeIdentity(2048, "client"); return id; }
const Identity& StrangerId() { static const Identity id = MakeIdentity(2048, "stranger"); return id; }
const Identity& LargeServerId() { static const Identity id = MakeIdentity(2056, "large-server"); return id; }
const Identity& LargeClientId() { static const Identity id = MakeIdentity(2056, "large-client"); return id; }

// Appends PaddingSize, the padding bytes and for keys above 2048 bits ExtraPaddingSize.
void Pad(ByteString& out, std::size_t count, bool extra) {
    out.push_back(static_cast<char>(count & 0xFF));
    out.append(count, static_cast<char>(count & 0xFF));
    if (extra) out.push_back(static_cast<char>(count >> 8));
}

void SetSize(ByteString& chunk, std::size_t size) {
    for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
}

// A decoded chunk from the server.
struct Opened {
    std::string type;
    char chunkType = 0;
    std::uint32_t tokenId = 0;
    std::uint32_t sequenceNumber = 0;
    std::uint32_t requestId = 0;
    Bytes body;
    std::size_t size = 0;
};

// What a test client's OpenSecureChannel may do wrong.
struct SecureOpenOptions {
    std::int32_t requestType = 0;
    std::uint32_t channelId = 0;
    std::size_t nonceLength = 32;
    std::int32_t mode = -1;                        // -1: the client's mode
    const ByteString* certificateField = nullptr;  // default: the client's certificate
    const ByteString* thumbprint = nullptr;        // default: the server's
    const PrivateKey* signer = nullptr;            // default: the client's key
};

// And its MSG chunks.
struct SecureMsgOptions {
    bool badPadding = false;
    const ua::SymmetricKeys* keys = nullptr;  // default: the token's
    std::uint32_t sequenceNumber = 0;         // 0: the next
};

// The client side of a secured channel.
class TestClient {
public:
    TestClient(const SecurityPolicy& policy, SecurityMode mode, const Identity& own, const Identity& server)
        : policy_(policy), mode_(mode), own_(own), server_(server) {}

    using OpenOptions = SecureOpenOptions;

    Bytes Open(const OpenOptions& options = {}) {
        clientNonce_ = ua::crypto::RandomBytes(options.nonceLength);
        ua::Writer clear;
        Start(clear, "OPN", 'F');
        clear.UInt32(options.channelId);
        clear.String(policy_.uri);
        clear.ByteStringValue(options.certificateField ? *options.certificateField : own_.certificate.Der());
        clear.ByteStringValue(options.thumbprint ? *options.thumbprint : server_.certificate.Thumbprint());
        ua::Writer plain;
        plain.UInt32(++sequence_);
        plain.UInt32(++requestId_);
        plain.NodeIdValue(ua::NodeId(0, ua::encoding::OpenSecureChannelRequest));
        ua::RequestHeader header;
        header.requestHandle = 77;
        ua::WriteRequestHeader(plain, header);
        plain.UInt32(0);
        plain.Int32(options.requestType);
        plain.Int32(options.mode >= 0 ? options.mode : static_cast<std::int32_t>(mode_));
        plain.ByteStringValue(clientNonce_);
        plain.UInt32(600000);

        const std::size_t cipherBlock = server_.certificate.KeySizeBytes();
        const std::size_t plainBlock = cipherBlock - ua::crypto::OaepOverhead(policy_.asymmetricEncryption);
        const bool extra = cipherBlock > 256;
        const PrivateKey& signer = options.signer ? *options.signer : own_.key;
        const std::size_t signatureSize = signer.SizeBytes();
        ByteString secured = AsString(plain.Out());
        const std::size_t fixed = secured.size() + 1 + (extra ? 1 : 0) + signatureSize;
        Pad(secured, (plainBlock - fixed % plainBlock) % plainBlock, extra);
        ByteString head = AsString(clear.Out());
        SetSize(head, head.size() + (secured.size() + signatureSize) / plainBlock * cipherBlock);
        secured += signer.Sign(head + secured, policy_.asymmetricSignature);
        return AsBytes(head + server_.certificate.Encrypt(secured, policy_.asymmetricEncryption));
    }

    // Takes the server's OpenSecureChannel answer apart and keeps its token's keys.
    std::uint32_t ReadOpen(const Bytes& chunk) {
        ua::Reader clear(chunk.data() + 8, chunk.size() - 8);
        channelId_ = clear.UInt32();
        EXPECT_EQ(clear.String(), policy_.uri);
        EXPECT_EQ(clear.ByteStringValue(), server_.certificate.Der());
        EXPECT_EQ(clear.ByteStringValue(), own_.certificate.Thumbprint());
        const std::size_t clearSize = 8 + clear.Position();
        EXPECT_EQ((chunk.size() - clearSize) % own_.key.SizeBytes(), 0u);
        ByteString plain = own_.key.Decrypt(AsString(Bytes(chunk.begin() + static_cast<std::ptrdiff_t>(clearSize), chunk.end())),
                                            policy_.asymmetricEncryption);
        const std::size_t signatureSize = server_.certificate.KeySizeBytes();
        const std::size_t signedEnd = plain.size() - signatureSize;
        const ByteString signedData = AsString(Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(clearSize))) +
                                      plain.substr(0, signedEnd);
        EXPECT_TRUE(server_.certificate.Verify(signedData, plain.substr(signedEnd), policy_.asymmetricSignature))
            << "the answer is not signed with the server's key";
        const std::size_t end = Unpad(plain, signedEnd, own_.key.SizeBytes() > 256);
        ua::Reader reader(reinterpret_cast<const std::uint8_t*>(plain.data()), end);
        reader.UInt32();
        reader.UInt32();
        EXPECT_EQ(reader.NodeIdValue(), ua::NodeId(0, 449));
        const ua::ResponseHeader header = ua::ReadResponseHeader(reader);
        EXPECT_EQ(header.requestHandle, 77u);
        reader.UInt32();
        EXPECT_EQ(reader.UInt32(), channelId_);
        const std::uint32_t tokenId = reader.UInt32();
        reader.DateTimeValue();
        reader.UInt32();
        const ByteString serverNonce = reader.ByteStringValue();
        reader.ExpectEnd();
        EXPECT_EQ(serverNonce.size(), policy_.nonceLength);
        keys_[tokenId] = ua::DeriveChannelKeys(policy_, clientNonce_, serverNonce);
        return tokenId;
    }

    using MsgOptions = SecureMsgOptions;

    Bytes Msg(const char* type, char chunkType, std::uint32_t tokenId, std::uint32_t requestId, const Bytes& body,
              const MsgOptions& options = {}) {
        const ua::SymmetricKeys& keys = options.keys ? *options.keys : keys_.at(tokenId).client;
        ua::Writer clear;
        Start(clear, type, chunkType);
        clear.UInt32(channelId_);
        clear.UInt32(tokenId);
        ua::Writer plain;
        plain.UInt32(options.sequenceNumber != 0 ? options.sequenceNumber : ++sequence_);
        plain.UInt32(requestId);
        plain.Raw(body.data(), body.size());
        ByteString secured = AsString(plain.Out());
        const bool encrypt = mode_ == SecurityMode::SignAndEncrypt;
        if (encrypt) {
            const std::size_t fixed = secured.size() + 1 + 32;
            const std::size_t count = (16 - fixed % 16) % 16;
            Pad(secured, count, false);
            if (options.badPadding) secured[secured.size() - 1 - (count > 0 ? 1 : 0)] ^= 0x40;
        }
        ByteString head = AsString(clear.Out());
        SetSize(head, head.size() + secured.size() + 32);
        secured += ua::crypto::HmacSha256(keys.signingKey, head + secured);
        if (encrypt) secured = ua::crypto::AesCbcEncrypt(keys.encryptingKey, keys.iv, secured);
        return AsBytes(head + secured);
    }

    // A MSG chunk from the server: decrypted, its signature and padding checked.
    Opened ReadMsg(const Bytes& chunk) {
        Opened out;
        out.size = chunk.size();
        out.type.assign(chunk.begin(), chunk.begin() + 3);
        out.chunkType = static_cast<char>(chunk[3]);
        ua::Reader clear(chunk.data() + 8, 8);
        EXPECT_EQ(clear.UInt32(), channelId_);
        out.tokenId = clear.UInt32();
        const ua::SymmetricKeys& keys = keys_.at(out.tokenId).server;
        ByteString secured = AsString(Bytes(chunk.begin() + 16, chunk.end()));
        const bool encrypted = mode_ == SecurityMode::SignAndEncrypt;
        if (encrypted) secured = ua::crypto::AesCbcDecrypt(keys.encryptingKey, keys.iv, secured);
        const std::size_t signedEnd = secured.size() - 32;
        const ByteString head = AsString(Bytes(chunk.begin(), chunk.begin() + 16));
        EXPECT_EQ(ua::crypto::HmacSha256(keys.signingKey, head + secured.substr(0, signedEnd)), secured.substr(signedEnd))
            << "an answer chunk not signed with the server's keys of token " << out.tokenId;
        const std::size_t end = encrypted ? Unpad(secured, signedEnd, false) : signedEnd;
        ua::Reader reader(reinterpret_cast<const std::uint8_t*>(secured.data()), end);
        out.sequenceNumber = reader.UInt32();
        out.requestId = reader.UInt32();
        out.body.assign(reader.Current(), reader.Current() + reader.Remaining());
        return out;
    }

    const ua::ChannelKeys& Keys(std::uint32_t tokenId) const { return keys_.at(tokenId); }

private:
    static std::size_t Unpad(const ByteString& plain, std::size_t signedEnd, bool extra) {
        const std::size_t fields = extra ? 2 : 1;
        const auto low = static_cast<std::uint8_t>(plain[signedEnd - fields]);
        const std::size_t count = low | (extra ? static_cast<std::size_t>(static_cast<std::uint8_t>(plain[signedEnd - 1])) << 8 : 0);
        const std::size_t start = signedEnd - fields - count;
        for (std::size_t i = start; i < start + count + 1; ++i)
            EXPECT_EQ(static_cast<std::uint8_t>(plain[i]), low) << "padding byte " << i - start;
        return start;
    }

    const SecurityPolicy& policy_;
    const SecurityMode mode_;
    const Identity& own_;
    const Identity& server_;
    std::uint32_t channelId_ = 0;
    std::uint32_t sequence_ = 0;
    std::uint32_t requestId_ = 0;
    ByteString clientNonce_;
    std::map<std::uint32_t, ua::ChannelKeys> keys_;
};

// Splits the server's bytes into chunks.
std::vector<Bytes> SplitChunks(Bytes& stream) {
    std::vector<Bytes> chunks;
    std::size_t at = 0;
    while (stream.size() - at >= 8) {
        ua::Reader head(stream.data() + at + 4, 4);
        const std::uint32_t size = head.UInt32();
        if (size < 8 || stream.size() - at < size) break;
        chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    EXPECT_EQ(at, stream.size()) << "a chunk cut short";
    stream.clear();
    return chunks;
}

class Host : public ua::ConnectionHost {
public:
    void Write(std::vector<std::uint8_t> bytes) override {
        EXPECT_FALSE(closed) << "written after the close";
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    void Close() override { closed = true; }
    Bytes stream;
    bool closed = false;
};

class Poster : public ua::Poster {
public:
    bool Post(std::function<void()> work) override {
        queue.push_back(std::move(work));
        return true;
    }
    void RunAll() {
        while (!queue.empty()) {
            auto work = std::move(queue.front());
            queue.erase(queue.begin());
            work();
        }
    }
    std::vector<std::function<void()>> queue;
};

class Sink : public ua::RequestSink {
public:
    struct Request {
        std::shared_ptr<ua::ChannelLink> channel;
        std::uint32_t requestId;
        Bytes message;
    };
    void OnRequest(const std::shared_ptr<ua::ChannelLink>& channel, std::uint32_t requestId, Bytes message) override {
        requests.push_back({channel, requestId, std::move(message)});
    }
    void OnChannelClosed(const std::shared_ptr<ua::ChannelLink>&) override { ++closed; }
    std::vector<Request> requests;
    int closed = 0;
};

ua::ServerSecurity SecurityOf(const Identity& id, std::function<ua::StatusCode(const ByteString&)> validate = {}) {
    ua::ServerSecurity security;
    security.key = std::make_shared<const PrivateKey>(id.key);
    security.certificate = std::make_shared<const Certificate>(id.certificate);
    security.validateClient = std::move(validate);
    return security;
}

class SecureChannelSecurityTest : public ::testing::Test {
protected:
    void Make(ua::ServerSecurity security, std::string peer = "127.0.0.1:5000", std::uint32_t clientReceive = 65535) {
        connection = std::make_unique<ua::UaConnection>(host, sink, ua::TransportLimits{}, kChannel, std::move(peer),
                                                        poster, now, std::move(security));
        Feed(Hello(clientReceive, 65535));
        auto chunks = SplitChunks(host.stream);
        ASSERT_EQ(chunks.size(), 1u);
        ASSERT_EQ(std::string(chunks[0].begin(), chunks[0].begin() + 3), "ACK");
    }
    void Feed(const Bytes& bytes) { connection->OnBytes(bytes.data(), bytes.size(), now); }
    // Opens the channel; returns the token.
    std::uint32_t OpenWith(TestClient& client, const TestClient::OpenOptions& options = {}) {
        Feed(client.Open(options));
        auto chunks = SplitChunks(host.stream);
        EXPECT_EQ(chunks.size(), 1u);
        if (chunks.size() != 1) return 0;
        EXPECT_EQ(std::string(chunks[0].begin(), chunks[0].begin() + 3), "OPN") << ErrorOf(chunks[0]);
        return client.ReadOpen(chunks[0]);
    }
    static std::string ErrorOf(const Bytes& chunk) {
        auto parsed = ParseServer(chunk);
        return parsed.empty() ? "" : parsed[0].reason;
    }
    // Expects the connection ended with exactly this error and nothing reached the services.
    void ExpectRefused(ua::StatusCode code, std::size_t requestsBefore = 0) {
        auto chunks = ParseServer(host.stream);
        host.stream.clear();
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks.back().type, "ERR");
        EXPECT_EQ(chunks.back().error, code) << std::hex << chunks.back().error << " " << chunks.back().reason;
        EXPECT_TRUE(connection->Closed());
        EXPECT_TRUE(host.closed);
        EXPECT_EQ(sink.requests.size(), requestsBefore);
    }
    // Answers a request through the channel as a service would.
    std::vector<Opened> Answer(TestClient& client, const Sink::Request& request, const Bytes& response) {
        EXPECT_TRUE(request.channel->Send(request.requestId, response));
        poster->RunAll();
        std::vector<Opened> out;
        for (const Bytes& chunk : SplitChunks(host.stream)) out.push_back(client.ReadMsg(chunk));
        return out;
    }

    Host host;
    Sink sink;
    std::shared_ptr<Poster> poster = std::make_shared<Poster>();
    Clock::time_point now = Clock::now();
    std::unique_ptr<ua::UaConnection> connection;
};

const SecurityPolicy& Policy(const char* uri) { return *ua::FindPolicy(uri); }

TEST_F(SecureChannelSecurityTest, EveryPolicyAndModeCarriesChunkedRequestsAndAnswers) {
    constexpr std::uint32_t kClientBuffer = 8200;
    for (const SecurityPolicy* policy : ua::AllPolicies()) {
        if (policy->none) continue;
        for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            SCOPED_TRACE(std::string(policy->name) + (mode == SecurityMode::Sign ? " Sign" : " SignAndEncrypt"));
            host = Host();
            sink = Sink();
            // The client takes chunks of 8200 bytes at most, not a whole number
            // of cipher blocks: answers come in several.
            Make(SecurityOf(ServerId()), "127.0.0.1:5000", kClientBuffer);
            TestClient client(*policy, mode, ClientId(), ServerId());
            const std::uint32_t token = OpenWith(client);
            ASSERT_NE(token, 0u);

            const Bytes request = Request(kReadRequest, 5, 20000);
            const std::size_t third = request.size() / 3;
            Feed(client.Msg("MSG", 'C', token, 40, Bytes(request.begin(), request.begin() + third)));
            Feed(client.Msg("MSG", 'C', token, 40, Bytes(request.begin() + third, request.begin() + 2 * third)));
            Feed(client.Msg("MSG", 'F', token, 40, Bytes(request.begin() + 2 * third, request.end())));
            ASSERT_FALSE(connection->Closed()) << ErrorOf(host.stream);
            ASSERT_EQ(sink.requests.size(), 1u);
            EXPECT_EQ(sink.requests[0].message, request) << "the request reassembled from decrypted chunks";
            EXPECT_EQ(sink.requests[0].requestId, 40u);
            const auto& channel = *sink.requests[0].channel;
            EXPECT_EQ(channel.Policy().uri, policy->uri);
            EXPECT_EQ(channel.Mode(), mode);
            EXPECT_EQ(channel.ClientCertificate(), ClientId().certificate.Der());

            const Bytes response = Response(kReadResponse, 5, 30000);
            const auto chunks = Answer(client, sink.requests[0], response);
            auto* secure = dynamic_cast<ua::SecureChannel*>(sink.requests[0].channel.get());
            ASSERT_NE(secure, nullptr);
            EXPECT_EQ(chunks.size(), secure->ChunksFor(response.size())) << "the count the size checks promise";
            EXPECT_GE(chunks.size(), 4u);
            Bytes whole;
            for (std::size_t i = 0; i < chunks.size(); ++i) {
                EXPECT_LE(chunks[i].size, kClientBuffer) << "a chunk larger than the client's buffer";
                EXPECT_EQ(chunks[i].chunkType, i + 1 == chunks.size() ? 'F' : 'C');
                EXPECT_EQ(chunks[i].requestId, 40u);
                EXPECT_EQ(chunks[i].tokenId, token);
                if (i > 0) {
                    EXPECT_EQ(chunks[i].sequenceNumber, chunks[i - 1].sequenceNumber + 1);
                }
                // Full chunks waste no more than a cipher block and the padding byte.
                if (i + 1 < chunks.size()) {
                    EXPECT_GE(chunks[i].size, kClientBuffer - 32);
                }
                whole.insert(whole.end(), chunks[i].body.begin(), chunks[i].body.end());
            }
            EXPECT_EQ(whole, response);

            // The close is checked like any message, then ends the channel quietly.
            Feed(client.Msg("CLO", 'F', token, 41, Request(ua::encoding::CloseSecureChannelRequest, 6)));
            EXPECT_TRUE(connection->Closed());
            EXPECT_TRUE(host.stream.empty()) << ErrorOf(host.stream);
            connection.reset();
        }
    }
}

TEST_F(SecureChannelSecurityTest, KeysAbove2048BitsPadWithTheExtraByteBothWays) {
    // Keys of 2056 bits: blocks of 257 bytes, whose padding a single byte may not count.
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    Make(SecurityOf(LargeServerId()));
    TestClient client(policy, SecurityMode::SignAndEncrypt, LargeClientId(), LargeServerId());
    const std::uint32_t token = OpenWith(client);
    ASSERT_NE(token, 0u);
    Feed(client.Msg("MSG", 'F', token, 3, Request(kReadRequest, 1, 100)));
    ASSERT_EQ(sink.requests.size(), 1u) << ErrorOf(host.stream);
    const auto chunks = Answer(client, sink.requests[0], Response(kReadResponse, 1, 10));
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].body, Response(kReadResponse, 1, 10));
}

TEST_F(SecureChannelSecurityTest, RenewalBringsNewKeysAndTheOldTokenServesUntilTheNewIsUsed) {
    const auto& policy = Policy(ua::kPolicyUriAes128Sha256RsaOaep);
    Make(SecurityOf(ServerId()));
    TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
    const std::uint32_t first = OpenWith(client);
    ASSERT_NE(first, 0u);

    TestClient::OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = kChannel;
    const std::uint32_t second = OpenWith(client, renew);
    ASSERT_NE(second, 0u);
    ASSERT_NE(second, first);
    EXPECT_NE(client.Keys(first).client.signingKey, client.Keys(second).client.signingKey);
    EXPECT_NE(client.Keys(first).server.encryptingKey, client.Keys(second).server.encryptingKey);

    // The old token, with the old keys, still works, and is answered under it.
    Feed(client.Msg("MSG", 'F', first, 10, Request(kReadRequest, 1)));
    ASSERT_EQ(sink.requests.size(), 1u) << ErrorOf(host.stream);
    auto answer = Answer(client, sink.requests[0], Response(kReadResponse, 1));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].tokenId, first);

    // A chunk naming the new token but sealed with the old keys is a forgery.
    {
        Host otherHost;
        std::swap(host, otherHost);
        auto saved = std::move(connection);
        Make(SecurityOf(ServerId()));
        TestClient other(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
        const std::uint32_t a = OpenWith(other);
        const std::uint32_t b = OpenWith(other, renew);
        TestClient::MsgOptions oldKeys;
        oldKeys.keys = &other.Keys(a).client;
        Feed(other.Msg("MSG", 'F', b, 1, Request(kReadRequest, 1), oldKeys));
        ExpectRefused(ua::status::BadSecurityChecksFailed, 1);
        connection = std::move(saved);
        host = std::move(otherHost);
    }

    // The new token with the new keys; from now on answers go under it.
    Feed(client.Msg("MSG", 'F', second, 11, Request(kReadRequest, 2)));
    ASSERT_EQ(sink.requests.size(), 2u) << ErrorOf(host.stream);
    EXPECT_EQ(sink.requests[1].message, Request(kReadRequest, 2));
    answer = Answer(client, sink.requests[1], Response(kReadResponse, 2));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].tokenId, second);
    EXPECT_EQ(answer[0].body, Response(kReadResponse, 2));

    // The old token is gone once the new one was used.
    Feed(client.Msg("MSG", 'F', first, 12, Request(kReadRequest, 3)));
    ExpectRefused(ua::status::BadSecureChannelTokenUnknown, 2);
}

TEST_F(SecureChannelSecurityTest, RenewalMustKeepTheChannelsCertificateAndMode) {
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    TestClient::OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = kChannel;
    {
        Make(SecurityOf(ServerId()));
        TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
        ASSERT_NE(OpenWith(client), 0u);
        TestClient intruder(policy, SecurityMode::SignAndEncrypt, StrangerId(), ServerId());
        Feed(intruder.Open(renew));
        ExpectRefused(ua::status::BadSecurityChecksFailed);
    }
    host = Host();
    {
        Make(SecurityOf(ServerId()));
        TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
        ASSERT_NE(OpenWith(client), 0u);
        TestClient::OpenOptions weaker = renew;
        weaker.mode = static_cast<std::int32_t>(SecurityMode::Sign);
        Feed(client.Open(weaker));
        ExpectRefused(ua::status::BadSecurityChecksFailed);
    }
}

TEST_F(SecureChannelSecurityTest, TamperedMessagesCloseTheChannel) {
    const auto& policy = Policy(ua::kPolicyUriAes256Sha256RsaPss);
    struct Case {
        const char* name;
        SecurityMode mode;
        std::function<Bytes(TestClient&, std::uint32_t)> make;
        ua::StatusCode expected;
    };
    const Bytes body = Request(kReadRequest, 1, 64);
    const std::vector<Case> cases = {
        {"a flipped byte in the ciphertext", SecurityMode::SignAndEncrypt,
         [&](TestClient& c, std::uint32_t t) {
             Bytes chunk = c.Msg("MSG", 'F', t, 1, body);
             chunk[40] ^= 0x01;
             return chunk;
         },
         ua::status::BadSecurityChecksFailed},
        {"a flipped byte in a signed body", SecurityMode::Sign,
         [&](TestClient& c, std::uint32_t t) {
             Bytes chunk = c.Msg("MSG", 'F', t, 1, body);
             chunk[30] ^= 0x01;
             return chunk;
         },
         ua::status::BadSecurityChecksFailed},
        {"a wrong signature", SecurityMode::Sign,
         [&](TestClient& c, std::uint32_t t) {
             Bytes chunk = c.Msg("MSG", 'F', t, 1, body);
             chunk.back() ^= 0x80;
             return chunk;
         },
         ua::status::BadSecurityChecksFailed},
        {"a signed chunk with bad padding", SecurityMode::SignAndEncrypt,
         [&](TestClient& c, std::uint32_t t) {
             TestClient::MsgOptions options;
             options.badPadding = true;
             return c.Msg("MSG", 'F', t, 1, body, options);
         },
         ua::status::BadSecurityChecksFailed},
        {"the server's keys instead of the client's", SecurityMode::SignAndEncrypt,
         [&](TestClient& c, std::uint32_t t) {
             TestClient::MsgOptions options;
             options.keys = &c.Keys(t).server;
             return c.Msg("MSG", 'F', t, 1, body, options);
         },
         ua::status::BadSecurityChecksFailed},
        {"ciphertext cut short of a block", SecurityMode::SignAndEncrypt,
         [&](TestClient& c, std::uint32_t t) {
             Bytes chunk = c.Msg("MSG", 'F', t, 1, body);
             chunk.erase(chunk.end() - 5, chunk.end());
             const auto size = static_cast<std::uint32_t>(chunk.size());
             for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
             return chunk;
         },
         ua::status::BadSecurityChecksFailed},
        {"a chunk of headers alone", SecurityMode::Sign,
         [&](TestClient&, std::uint32_t t) { return Chunk("MSG", 'F', kChannel, t, 2, 1, {}); },
         ua::status::BadSecurityChecksFailed},
        {"a CLO with a bad signature", SecurityMode::Sign,
         [&](TestClient& c, std::uint32_t t) {
             Bytes chunk = c.Msg("CLO", 'F', t, 1, Request(ua::encoding::CloseSecureChannelRequest, 1));
             chunk.back() ^= 0x01;
             return chunk;
         },
         ua::status::BadSecurityChecksFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host = Host();
        sink = Sink();
        Make(SecurityOf(ServerId()));
        TestClient client(policy, c.mode, ClientId(), ServerId());
        const std::uint32_t token = OpenWith(client);
        ASSERT_NE(token, 0u);
        Feed(c.make(client, token));
        ExpectRefused(c.expected);
        EXPECT_EQ(sink.closed, 1);
        connection.reset();
    }
}

TEST_F(SecureChannelSecurityTest, AnyFlippedByteAfterTheTokenIsRefused) {
    // Every byte after the clear header is encrypted and signed: whichever is
    // changed, nothing reaches the services.
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    const Bytes body = Request(kReadRequest, 1, 40);
    std::size_t chunkSize = 0;
    for (std::size_t position = 16;; position += 7) {
        host = Host();
        sink = Sink();
        Make(SecurityOf(ServerId()));
        TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
        const std::uint32_t token = OpenWith(client);
        Bytes chunk = client.Msg("MSG", 'F', token, 1, body);
        chunkSize = chunk.size();
        if (position >= chunkSize) break;
        SCOPED_TRACE(position);
        chunk[position] ^= 0x10;
        Feed(chunk);
        ExpectRefused(ua::status::BadSecurityChecksFailed);
        connection.reset();
    }
    EXPECT_GT(chunkSize, 100u);
}

TEST_F(SecureChannelSecurityTest, ReplayedSequenceNumberIsRefused) {
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    Make(SecurityOf(ServerId()));
    TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
    const std::uint32_t token = OpenWith(client);
    const Bytes chunk = client.Msg("MSG", 'F', token, 1, Request(kReadRequest, 1));
    Feed(chunk);
    ASSERT_EQ(sink.requests.size(), 1u);
    // The very same chunk again: signature and padding are right, the number is old.
    Feed(chunk);
    ExpectRefused(ua::status::BadSequenceNumberInvalid, 1);
}

TEST_F(SecureChannelSecurityTest, OpenSecureChannelRefusals) {
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    const ByteString strangerThumbprint = StrangerId().certificate.Thumbprint();
    const ByteString garbageCertificate = "not a certificate";
    const PrivateKey& strangerKey = StrangerId().key;
    struct Case {
        const char* name;
        std::function<void(TestClient::OpenOptions&)> change;
        ua::StatusCode expected;
    };
    const std::vector<Case> cases = {
        {"a thumbprint of another certificate",
         [&](TestClient::OpenOptions& o) { o.thumbprint = &strangerThumbprint; }, ua::status::BadSecurityChecksFailed},
        {"a client nonce of the wrong length", [](TestClient::OpenOptions& o) { o.nonceLength = 16; },
         ua::status::BadNonceInvalid},
        {"signed with a key not the certificate's", [&](TestClient::OpenOptions& o) { o.signer = &strangerKey; },
         ua::status::BadSecurityChecksFailed},
        {"a certificate that does not parse",
         [&](TestClient::OpenOptions& o) { o.certificateField = &garbageCertificate; },
         ua::status::BadCertificateInvalid},
        {"security mode None under a policy",
         [](TestClient::OpenOptions& o) { o.mode = static_cast<std::int32_t>(SecurityMode::None); },
         ua::status::BadSecurityModeRejected},
        {"an invalid security mode", [](TestClient::OpenOptions& o) { o.mode = 7; },
         ua::status::BadSecurityModeRejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host = Host();
        sink = Sink();
        Make(SecurityOf(ServerId()));
        TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
        TestClient::OpenOptions options;
        c.change(options);
        Feed(client.Open(options));
        ExpectRefused(c.expected);
        EXPECT_FALSE(connection->ChannelOpen());
        connection.reset();
    }
}

TEST_F(SecureChannelSecurityTest, ClientCertificateCheckAndKeySizeDecide) {
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    // The check sees the whole chain the client sent; its status is the error.
    ByteString seen;
    Make(SecurityOf(ServerId(), [&](const ByteString& chain) {
        seen = chain;
        return ua::status::BadCertificateUntrusted;
    }));
    TestClient client(policy, SecurityMode::Sign, ClientId(), ServerId());
    Feed(client.Open());
    ExpectRefused(ua::status::BadCertificateUntrusted);
    EXPECT_EQ(seen, ClientId().certificate.Der());

    // A trusted client whose key is below the policy's 2048 bits.
    host = Host();
    static const Identity small = MakeIdentity(1024, "small");
    Make(SecurityOf(ServerId(), [](const ByteString&) { return ua::status::Good; }));
    TestClient weak(policy, SecurityMode::Sign, small, ServerId());
    Feed(weak.Open());
    ExpectRefused(ua::status::BadSecurityChecksFailed);
}

TEST_F(SecureChannelSecurityTest, ChainSenderIsTheFirstCertificateAndLoopbackIsKnown) {
    const auto& policy = Policy(ua::kPolicyUriBasic256Sha256);
    const ByteString chain = ClientId().certificate.Der() + StrangerId().certificate.Der();
    ByteString seen;
    Make(SecurityOf(ServerId(), [&](const ByteString& c) {
             seen = c;
             return ua::status::Good;
         }),
         "10.1.2.3:40000");
    TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
    TestClient::OpenOptions options;
    options.certificateField = &chain;
    const std::uint32_t token = OpenWith(client, options);
    ASSERT_NE(token, 0u);
    EXPECT_EQ(seen, chain);
    Feed(client.Msg("MSG", 'F', token, 2, Request(kReadRequest, 1)));
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_EQ(sink.requests[0].channel->ClientCertificate(), ClientId().certificate.Der());
    EXPECT_FALSE(sink.requests[0].channel->FromLoopback());
}

TEST_F(SecureChannelSecurityTest, PolicyNeedsTheServersCertificateAndNoneStaysOpen) {
    // Without a certificate the server offers None alone.
    Make(ua::ServerSecurity{});
    TestClient client(Policy(ua::kPolicyUriBasic256Sha256), SecurityMode::Sign, ClientId(), ServerId());
    Feed(client.Open());
    ExpectRefused(ua::status::BadSecurityPolicyRejected);

    // With one, None channels still open (discovery), and report themselves as such.
    host = Host();
    Make(SecurityOf(ServerId()), "[::1]:6000");
    Feed(Open());
    auto chunks = ParseServer(host.stream);
    host.stream.clear();
    ASSERT_EQ(chunks.size(), 1u);
    ASSERT_EQ(chunks[0].type, "OPN");
    Feed(Chunk("MSG", 'F', kChannel, chunks[0].tokenId, 2, 1, Request(kReadRequest, 1)));
    ASSERT_EQ(sink.requests.size(), 1u);
    EXPECT_TRUE(sink.requests[0].channel->Policy().none);
    EXPECT_EQ(sink.requests[0].channel->Mode(), SecurityMode::None);
    EXPECT_TRUE(sink.requests[0].channel->ClientCertificate().empty());
    EXPECT_TRUE(sink.requests[0].channel->FromLoopback());

    // A renewal may not switch the None channel to a policy.
    TestClient::OpenOptions renew;
    renew.requestType = 1;
    renew.channelId = kChannel;
    TestClient upgrade(Policy(ua::kPolicyUriBasic256Sha256), SecurityMode::Sign, ClientId(), ServerId());
    Feed(upgrade.Open(renew));
    ExpectRefused(ua::status::BadSecurityChecksFailed, 1);
}

TEST_F(SecureChannelSecurityTest, RefusalsGoToTheEventLogWithCheckAndPeer) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("vok-channel-log-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt");
    ASSERT_TRUE(EventLog().Open(path.string()));
    Make(SecurityOf(ServerId()), "192.168.7.8:51000");
    TestClient client(Policy(ua::kPolicyUriBasic256Sha256), SecurityMode::Sign, ClientId(), ServerId());
    const ByteString thumbprint = StrangerId().certificate.Thumbprint();
    TestClient::OpenOptions options;
    options.thumbprint = &thumbprint;
    Feed(client.Open(options));
    EventLog().Close();
    ExpectRefused(ua::status::BadSecurityChecksFailed);
    EXPECT_TRUE(connection->LastErrorLogged());
    std::ifstream in(path);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    EXPECT_NE(log.find("another server certificate"), std::string::npos) << log;
    EXPECT_NE(log.find("192.168.7.8:51000"), std::string::npos) << log;
}

TEST_F(SecureChannelSecurityTest, GarbageAfterAnOpenHeaderNeverCrashes) {
    // Mutated OpenSecureChannel chunks: every one ends in an error, none opens.
    const auto& policy = Policy(ua::kPolicyUriAes128Sha256RsaOaep);
    TestClient client(policy, SecurityMode::SignAndEncrypt, ClientId(), ServerId());
    const Bytes good = client.Open();
    std::uint32_t seed = 12345;
    for (int round = 0; round < 40; ++round) {
        host = Host();
        Make(SecurityOf(ServerId()));
        Bytes chunk = good;
        for (int flips = 0; flips < 3; ++flips) {
            seed = seed * 1103515245u + 12345u;
            const std::size_t position = 8 + (seed >> 8) % (chunk.size() - 8);
            chunk[position] = static_cast<std::uint8_t>(chunk[position] ^ (1u + (seed & 0x7F)));
        }
        Feed(chunk);
        EXPECT_FALSE(connection->ChannelOpen()) << "round " << round;
        connection.reset();
    }
}

TEST(LoopbackPeerTest, KnowsTheLoopbackAddressesInTheTransportsForms) {
    for (const char* peer : {"127.0.0.1:53422", "127.1.2.3:1", "[::1]:53422", "[::ffff:127.0.0.1]:53422",
                             "[0:0:0:0:0:0:0:1]:9", "[::1%lo]:4840", "[::FFFF:127.0.0.9]:1"})
        EXPECT_TRUE(ua::IsLoopbackPeer(peer)) << peer;
    for (const char* peer : {"10.0.0.1:53422", "128.0.0.1:1", "1270.0.0.1:1", "127.0.0:1", "127.0.0.1.5:1",
                             "127.0.0.256:1", "[::2]:1", "[::ffff:10.0.0.1]:1", "[fe80::1]:1", "unknown", "",
                             "[::1", "localhost:4840"})
        EXPECT_FALSE(ua::IsLoopbackPeer(peer)) << peer;
}

}  // namespace
