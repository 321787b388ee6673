#include "SessionServices.h"

#include "ServerDescriptions.h"

#include <string>

namespace ua {

namespace {

// Fresh for every CreateSession and ActivateSession; clients that sign later
// expect at least 32 bytes.
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

// Only what the session keeps from the client's ApplicationDescription.
std::string ReadClientDescription(Reader& body) {
    std::string applicationUri = body.String();
    body.String();  // productUri
    const LocalizedText applicationName = body.LocalizedTextValue();
    body.Int32();    // applicationType
    body.String();   // gatewayServerUri
    body.String();   // discoveryProfileUri
    body.Array<std::string>([](Reader& r) { return r.String(); }, 4);  // discoveryUrls
    return applicationUri.empty() ? applicationName.text : applicationUri;
}

void CreateSession(SessionManager& sessions, const ServerInfo& info, ServiceCall& call, Reader& body) {
    std::string clientDescription;
    std::string endpointUrl;
    std::string sessionName;
    double requestedTimeout = 0;
    try {
        clientDescription = ReadClientDescription(body);
        body.String();  // serverUri
        endpointUrl = body.String();
        sessionName = body.String();
        body.ByteStringValue();  // clientNonce: nothing is signed under SecurityPolicy None
        body.ByteStringValue();  // clientCertificate: likewise
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
    std::shared_ptr<ServerSession> session;
    const StatusCode result = sessions.Create(sessionName, clientDescription, requestedTimeout, *call.channel, session);
    if (IsBad(result)) {
        call.Fault(result);
        return;
    }
    if (endpointUrl.empty()) endpointUrl = call.channel->EndpointUrl();
    const ByteString nonce = SessionManager::RandomBytes(kNonceLength);
    const bool sent = call.Reply([&](Writer& w) {
        w.NodeIdValue(session->Id());
        w.NodeIdValue(session->AuthenticationToken());
        w.Double(session->TimeoutMs());
        w.ByteStringValue(nonce);
        w.NullString();  // serverCertificate
        WriteEndpointDescriptions(w, info, endpointUrl);
        w.Int32(0);         // serverSoftwareCertificates
        w.NullString();     // serverSignature.algorithm
        w.NullString();     // serverSignature.signature
        w.UInt32(0);        // maxRequestMessageSize: no limit beyond the channel's
    });
    // A client that never learns its token cannot use or close the session.
    if (!sent) sessions.Close(session->AuthenticationToken(), true);
}

void ActivateSession(SessionManager& sessions, ServiceCall& call, Reader& body) {
    ExtensionObject identityToken;
    try {
        ReadSignatureData(body);  // clientSignature: SecurityPolicy None signs nothing
        body.Array<int>(
            [](Reader& r) {
                r.ByteStringValue();  // certificateData
                r.ByteStringValue();  // signature
                return 0;
            },
            8);  // clientSoftwareCertificates
        body.Array<std::string>([](Reader& r) { return r.String(); }, 4);  // localeIds
        identityToken = body.ExtensionObjectValue();
        ReadSignatureData(body);  // userTokenSignature
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    if (!call.channel) {
        call.Fault(status::BadSecureChannelIdInvalid);
        return;
    }
    const StatusCode result = sessions.Activate(call.header.authenticationToken, *call.channel, identityToken);
    if (IsBad(result)) {
        call.Fault(result);
        return;
    }
    const ByteString nonce = SessionManager::RandomBytes(kNonceLength);
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

void RegisterSessionServices(ServiceTable& table, SessionManager& sessions, const ServerInfo& info) {
    SessionManager* manager = &sessions;
    const ServerInfo* shared = &info;
    table.Register(encoding::CreateSessionRequest, ServiceTable::Needs::Nothing,
                   [manager, shared](ServiceCall& call, Reader& body) { CreateSession(*manager, *shared, call, body); });
    table.Register(encoding::ActivateSessionRequest, ServiceTable::Needs::Nothing,
                   [manager](ServiceCall& call, Reader& body) { ActivateSession(*manager, call, body); });
    table.Register(encoding::CloseSessionRequest, ServiceTable::Needs::Session,
                   [manager](ServiceCall& call, Reader& body) { CloseSession(*manager, call, body); });
}

}  // namespace ua
