#pragma once
// Text from a client (session names, user names, addresses, URIs) on its way
// into the event log: control characters would forge lines, and a name may
// be a megabyte.

#include <cstddef>
#include <string>

namespace ua {

inline std::string ForLog(const std::string& text, std::size_t limit = 128) {
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) return out + "...";
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return out;
}

}  // namespace ua
