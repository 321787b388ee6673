#include "ui/UaEndpointChoice.h"

#include <cctype>

std::string UaEndpointChoice::Problem() const {
    if (port > 65535) return "The port must be a number from 0 (off) to 65535.";
    if (listenAddress.empty()) return "Give the address to listen on: 127.0.0.1 for this machine only.";
    for (const char c : listenAddress)
        if (std::isspace(static_cast<unsigned char>(c)) != 0 || c == '/')
            return "The listen address \"" + listenAddress + "\" is not an address: give a host name or an IP address.";
    return {};
}

ua::UaServerSettings UaEndpointChoice::ServerSettings() const {
    ua::UaServerSettings settings;
    settings.port = port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
    settings.listenAddress = listenAddress;
    settings.noneOnLoopback = allowNone;
    settings.anonymous = allowAnonymous;
    settings.signOnly = offerSign;
    return settings;
}
