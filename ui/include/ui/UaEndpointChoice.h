#pragma once
// The OPC UA page's rules, apart from its widgets: which port and listen
// address are accepted, and whether a change needs the endpoint opened again.

#include "ua/UaServer.h"

#include <string>

struct UaEndpointChoice {
    unsigned port = 4840;
    std::string listenAddress;
    // The security choices: the None endpoint for this machine, anonymous
    // (viewer) sessions, and endpoints that sign without encrypting.
    bool allowNone = true;
    bool allowAnonymous = true;
    bool offerSign = false;

    // Empty when the choice can be used; otherwise what is wrong with it.
    std::string Problem() const;
    // What a server opened with this choice is given (the default certificate
    // folder and user list). A port beyond 65535 reads as 0, off.
    ua::UaServerSettings ServerSettings() const;
    // Any difference, security included, means the endpoint opens again.
    bool operator==(const UaEndpointChoice&) const = default;
};
