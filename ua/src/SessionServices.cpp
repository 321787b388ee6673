#include "SessionServices.h"

#include "Crypto.h"
#include "ServerDescriptions.h"

#include <chrono>
#include <string>

namespace ua {

namespace {

// Fresh for every CreateSession and ActivateSession; the policies' nonces are
// 32 bytes.
constexpr std::size_t kNonceLength = 32;

struct SignatureData {
    std::string algorithm;
    ByteString signature;
};

SignatureData ReadSignatureData(Reader& body) {
    SignatureData data;
    data.algorithm = body.String();
    data.signature = body.ByteStringValue();
    return data;
}

struct ClientDescription {
    std::string applicationUri;
    std::string shown;  // for the session's name in the log: the URI, else the name
};

ClientDescription ReadClientDescription(Reader& body) {
    ClientDescription out;
    out.applicationUri = body.String();
    body.String();  // productUri
    const LocalizedText applicationName = body.LocalizedTextValue();
    body.Int32();    // applicationType
    body.String();   // gatewayServerUri
    body.String();   // discoveryProfileUri
    body.Array<std::string>([](Reader& r) { return r.String(); }, 4);  // discoveryUrls
    out.shown = out.applicationUri.empty() ? applicationName.text : out.applicationUri;
    return out;
}

void CreateSession(SessionManager& sessions, const ServerInfo& info, SessionSecurity& security, ServiceCall& call,
                   Reader& body) {
    ClientDescription client;
    std::string endpointUrl;
    std::string sessionName;
    ByteString clientNonce;
    ByteString clientCertificate;
    double requestedTimeout = 0;
    try {
        client = ReadClientDescription(body);
        body.String();  // serverUri
        endpointUrl = body.String();
        sessionName = body.String();
        clientNonce = body.ByteStringValue();
        clientCertificate = body.ByteStringValue();
        requestedTimeout = body.Double();
        body.UInt32();  // maxResponseMessageSize: the channel enforces the client's buffer sizes
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    if (!call.channel) {
        call.Fault(status::BadSecureChannelIdInvalid);
        return;
    }
    StatusCode allowed = security.ChannelServesSessions(info, *call.channel);
    if (IsGood(allowed))
        allowed = security.CheckCreate(*call.channel, clientCertificate, client.applicationUri, clientNonce);
    if (IsBad(allowed)) {
        call.Fault(allowed);
        return;
    }
    std::shared_ptr<ServerSession> session;
    const StatusCode result = sessions.Create(sessionName, client.shown, requestedTimeout, *call.channel, session);
    if (IsBad(result)) {
        call.Fault(result);
        return;
    }
    if (endpointUrl.empty()) endpointUrl = call.channel->EndpointUrl();
    const ByteString nonce = crypto::RandomBytes(kNonceLength);
    session->SetServerNonce(nonce);
    session->SetClientCertificate(clientCertificate);
    std::pair<std::string, ByteString> signature;
    try {
        signature = security.SignForClient(*call.channel, clientCertificate, clientNonce);
    } catch (const crypto::CryptoError&) {
        sessions.Close(session->AuthenticationToken(), true);
        call.Fault(status::BadInternalError);
        return;
    }
    const bool sent = call.Reply([&](Writer& w) {
        w.NodeIdValue(session->Id());
        w.NodeIdValue(session->AuthenticationToken());
        w.Double(session->TimeoutMs());
        w.ByteStringValue(nonce);
        if (info.certificateDer.empty()) w.NullString();
        else w.ByteStringValue(info.certificateDer);
        WriteEndpointDescriptions(w, info, endpointUrl, call.channel->FromLoopback());
        w.Int32(0);  // serverSoftwareCertificates
        if (signature.first.empty()) w.NullString();
        else w.String(signature.first);
        if (signature.second.empty()) w.NullString();
        else w.ByteStringValue(signature.second);
        w.UInt32(0);  // maxRequestMessageSize: no limit beyond the channel's
    });
    // A client that never learns its token cannot use or close the session.
    if (!sent) sessions.Close(session->AuthenticationToken(), true);
}

void ActivateSession(SessionManager& sessions, const ServerInfo& info, SessionSecurity& security,
                     DelayedWork& delays, ServiceCall& call, Reader& body) {
    ExtensionObject identityToken;
    SignatureData clientSignature;
    try {
        clientSignature = ReadSignatureData(body);
        body.Array<int>(
            [](Reader& r) {
                r.ByteStringValue();  // certificateData
                r.ByteStringValue();  // signature
                return 0;
            },
            8);  // clientSoftwareCertificates
        body.Array<std::string>([](Reader& r) { return r.String(); }, 4);  // localeIds
        identityToken = body.ExtensionObjectValue();
        ReadSignatureData(body);  // userTokenSignature: only X509 tokens sign, and they are not served
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    if (!call.channel) {
        call.Fault(status::BadSecureChannelIdInvalid);
        return;
    }
    std::shared_ptr<ServerSession> session;
    StatusCode result = sessions.Find(call.header.authenticationToken, session);
    if (IsGood(result)) result = security.ChannelServesSessions(info, *call.channel);
    if (IsGood(result))
        result = security.CheckClientSignature(*call.channel, *session, clientSignature.algorithm,
                                               clientSignature.signature);
    UserIdentity user;
    std::chrono::milliseconds delay{0};
    if (IsGood(result)) result = security.CheckIdentity(info, *call.channel, *session, identityToken, user, delay);
    if (IsGood(result)) result = sessions.Activate(call.header.authenticationToken, *call.channel, user);
    // Every answer carries a new nonce, which the next activation's
    // signature and password must use.
    const ByteString nonce = crypto::RandomBytes(kNonceLength);
    if (session) session->SetServerNonce(nonce);
    if (IsBad(result)) {
        // A wrong password is answered late, and later with each further
        // one from the same address, without holding a worker meanwhile.
        if (delay.count() > 0) {
            delays.After(delay, [call, result] { call.Fault(result); });
        } else {
            call.Fault(result);
        }
        return;
    }
    call.Reply([&](Writer& w) {
        w.ByteStringValue(nonce);
        w.Int32(0);  // results: no software certificates were checked
        WriteNoDiagnostics(w);
    });
}

void CloseSession(SessionManager& sessions, ServiceCall& call, Reader& body) {
    bool deleteSubscriptions = true;
    try {
        deleteSubscriptions = body.Boolean();
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    const NodeId token = call.session ? call.session->AuthenticationToken() : call.header.authenticationToken;
    const StatusCode result = sessions.Close(token, deleteSubscriptions);
    if (IsBad(result)) {
        call.Fault(result);
        return;
    }
    call.Reply([](Writer&) {});
}

}  // namespace

void RegisterSessionServices(ServiceTable& table, SessionManager& sessions, const ServerInfo& info,
                             SessionSecurity& security, DelayedWork& delays) {
    SessionManager* manager = &sessions;
    const ServerInfo* shared = &info;
    SessionSecurity* checks = &security;
    DelayedWork* later = &delays;
    table.Register(encoding::CreateSessionRequest, ServiceTable::Needs::Nothing,
                   [manager, shared, checks](ServiceCall& call, Reader& body) {
                       CreateSession(*manager, *shared, *checks, call, body);
                   });
    table.Register(encoding::ActivateSessionRequest, ServiceTable::Needs::Nothing,
                   [manager, shared, checks, later](ServiceCall& call, Reader& body) {
                       ActivateSession(*manager, *shared, *checks, *later, call, body);
                   });
    table.Register(encoding::CloseSessionRequest, ServiceTable::Needs::Session,
                   [manager](ServiceCall& call, Reader& body) { CloseSession(*manager, call, body); });
}

}  // namespace ua
