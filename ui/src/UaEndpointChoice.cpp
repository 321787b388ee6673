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

std::string UaEndpointChoice::EndpointUrl(const std::string& hostName) const {
    if (port == 0) return {};
    std::string host = listenAddress;
    if (host == "127.0.0.1" || host == "::1") host = "localhost";
    // An endpoint on every interface is reached by the machine's name.
    else if (host == "0.0.0.0" || host == "*" || host == "::") host = hostName;
    else if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "opc.tcp://" + host + ":" + std::to_string(port);
}
