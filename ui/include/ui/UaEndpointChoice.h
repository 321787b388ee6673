#pragma once
// The OPC UA page's rules, apart from its widgets: which port and listen
// address are accepted, the endpoint URL a client is given for them, and
// whether a change needs the endpoint opened again.

#include <string>

struct UaEndpointChoice {
    unsigned port = 4840;
    std::string listenAddress;

    // Empty when the choice can be used; otherwise what is wrong with it.
    std::string Problem() const;
    // "opc.tcp://HOST:PORT" for a client on this machine (the host name for
    // an address that serves every interface); empty for port 0 (off).
    std::string EndpointUrl(const std::string& hostName) const;
    bool operator==(const UaEndpointChoice&) const = default;
};
