#pragma once
// The URL this server tells a client it is reached at, and its application
// description with that URL: a client that reached the server under another
// host name than the server's own (localhost, an address, an alias) is
// answered with the name it used, so that it connects again the same way.

#include "ServerInfo.h"

#include <optional>
#include <string>

namespace ua {

// The parts of an "opc.tcp://host:port/path" URL; nullopt when it is not one.
struct EndpointUrlParts {
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 4840;
    std::string path;  // from the '/' on, possibly empty
};
std::optional<EndpointUrlParts> ParseEndpointUrl(const std::string& url);

// askedUrl when it is an opc.tcp URL on this server's port, else the server's own.
std::string EndpointUrlFor(const ServerInfo& info, const std::string& askedUrl);

// The ApplicationDescription with discoveryUrl as its one discovery URL.
void WriteApplicationDescription(Writer& writer, const ServerInfo& info, const std::string& discoveryUrl);

}  // namespace ua
