#pragma once
// The OPC UA page's rules, apart from its widgets: which port and listen
// address are accepted, and whether a change needs the endpoint opened again.

#include <string>

struct UaEndpointChoice {
    unsigned port = 4840;
    std::string listenAddress;

    // Empty when the choice can be used; otherwise what is wrong with it.
    std::string Problem() const;
    bool operator==(const UaEndpointChoice&) const = default;
};
