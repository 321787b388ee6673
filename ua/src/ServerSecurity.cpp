#include "ServerSecurity.h"

#include <cctype>

namespace ua {

namespace {

// A dotted IPv4 address in 127.0.0.0/8: four decimal parts of at most 255.
bool IsLoopbackV4(const std::string& host) {
    int parts = 0;
    std::size_t i = 0;
    int first = -1;
    while (i <= host.size()) {
        std::size_t digits = 0;
        int value = 0;
        while (i < host.size() && std::isdigit(static_cast<unsigned char>(host[i])) != 0 && digits < 4) {
            value = value * 10 + (host[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (parts == 0) first = value;
        ++parts;
        if (i == host.size()) break;
        if (host[i] != '.' || parts == 4) return false;
        ++i;
    }
    return parts == 4 && first == 127;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool IsLoopbackPeer(const std::string& peerAddress) {
    std::string host;
    if (!peerAddress.empty() && peerAddress.front() == '[') {
        const std::size_t close = peerAddress.find(']');
        if (close == std::string::npos) return false;
        host = Lower(peerAddress.substr(1, close - 1));
        // A zone ("::1%lo") names the interface, not the address.
        const std::size_t zone = host.find('%');
        if (zone != std::string::npos) host.resize(zone);
        if (host == "::1" || host == "0:0:0:0:0:0:0:1") return true;
        for (const char* mapped : {"::ffff:", "0:0:0:0:0:ffff:"}) {
            const std::string prefix = mapped;
            if (host.compare(0, prefix.size(), prefix) == 0) return IsLoopbackV4(host.substr(prefix.size()));
        }
        return false;
    }
    const std::size_t colon = peerAddress.rfind(':');
    host = colon == std::string::npos ? peerAddress : peerAddress.substr(0, colon);
    // More than one colon without brackets is a bare IPv6 address.
    if (host.find(':') != std::string::npos) return Lower(peerAddress) == "::1";
    return IsLoopbackV4(host);
}

}  // namespace ua
