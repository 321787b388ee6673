#pragma once
// Who this server is, as clients are told in GetEndpoints, FindServers,
// CreateSession and the Server object: its application description, its
// endpoints with their security and user tokens, and its build.

#include "SecurityPolicy.h"
#include "ua/Binary.h"
#include "ua/Types.h"

#include <string>
#include <vector>

namespace ua {

inline constexpr const char* kTransportProfileBinary =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

// One endpoint the server offers: a policy in a mode.
struct EndpointConfig {
    const SecurityPolicy* policy;
    SecurityMode mode;
};
// The encrypted endpoints, strongest first, each also signing only when
// signOnly; the None endpoint last when noneOnLoopback (it serves sessions to
// clients on this machine only).
std::vector<EndpointConfig> ConfiguredEndpoints(bool signOnly, bool noneOnLoopback);

struct ServerInfo {
    std::string applicationUri;   // "urn:<host>:VOKExplorer", also namespace 1's URI
    std::string productUri = "urn:vok:VOKExplorer";
    std::string applicationName = "VOK Explorer";
    std::string hostName;
    std::string endpointUrl;      // "opc.tcp://<host>:<port>"
    std::string manufacturerName = "VOK";
    std::string productName = "VOK Explorer";
    std::string softwareVersion;
    std::string buildNumber;
    DateTime buildDate = 0;
    DateTime startTime = 0;
    // The endpoints (SecurityPolicy None alone for a server without a
    // certificate), the certificate they name, and whether sessions without
    // a user name are served.
    std::vector<EndpointConfig> endpoints{{&PolicyNone(), SecurityMode::None}};
    ByteString certificateDer;
    bool anonymous = true;
};

// ApplicationDescription (OPC 10000-4, 7.2) of this server.
void WriteApplicationDescription(Writer& writer, const ServerInfo& info);
// The array of EndpointDescriptions (OPC 10000-4, 7.14), with the URL the
// client asked for when it names this server's port. The None endpoint is
// shown only to clients on this machine, the only ones it serves.
void WriteEndpointDescriptions(Writer& writer, const ServerInfo& info, const std::string& askedUrl,
                               bool fromLoopback);

}  // namespace ua
