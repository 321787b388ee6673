#include "ServerDescriptions.h"
#include "ServerInfo.h"

#include <cctype>

namespace ua {

namespace {

// Longer URLs are not echoed: the answer would carry them three times.
constexpr std::size_t kMaxEchoedUrl = 1024;

constexpr std::int32_t kApplicationTypeServer = 0;
constexpr std::int32_t kSecurityModeNone = 1;
constexpr std::int32_t kUserTokenAnonymous = 0;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

void WriteUserTokenPolicy(Writer& writer) {
    writer.String("anonymous");
    writer.Int32(kUserTokenAnonymous);
    writer.NullString();  // issuedTokenType
    writer.NullString();  // issuerEndpointUrl
    writer.NullString();  // securityPolicyUri: the endpoint's
}

}  // namespace

std::vector<EndpointConfig> ConfiguredEndpoints(bool signOnly, bool noneOnLoopback) {
    std::vector<EndpointConfig> out;
    for (const SecurityPolicy* policy : AllPolicies()) {
        if (policy->none) continue;
        out.push_back({policy, SecurityMode::SignAndEncrypt});
        if (signOnly) out.push_back({policy, SecurityMode::Sign});
    }
    if (noneOnLoopback) out.push_back({&PolicyNone(), SecurityMode::None});
    return out;
}

std::optional<EndpointUrlParts> ParseEndpointUrl(const std::string& url) {
    constexpr const char* kScheme = "opc.tcp://";
    if (!StartsWithNoCase(url, kScheme)) return std::nullopt;
    std::size_t pos = std::char_traits<char>::length(kScheme);
    EndpointUrlParts parts;
    std::size_t hostEnd = 0;
    if (pos < url.size() && url[pos] == '[') {
        hostEnd = url.find(']', pos);
        if (hostEnd == std::string::npos) return std::nullopt;
        parts.host = url.substr(pos + 1, hostEnd - pos - 1);
        ++hostEnd;
    } else {
        hostEnd = url.find_first_of(":/", pos);
        if (hostEnd == std::string::npos) hostEnd = url.size();
        parts.host = url.substr(pos, hostEnd - pos);
    }
    if (parts.host.empty()) return std::nullopt;
    pos = hostEnd;
    if (pos < url.size() && url[pos] == ':') {
        ++pos;
        std::uint32_t port = 0;
        std::size_t digits = 0;
        while (pos < url.size() && std::isdigit(static_cast<unsigned char>(url[pos])) != 0) {
            port = port * 10 + static_cast<std::uint32_t>(url[pos] - '0');
            if (port > 65535) return std::nullopt;
            ++pos;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        parts.port = static_cast<std::uint16_t>(port);
    }
    if (pos < url.size() && url[pos] != '/') return std::nullopt;
    parts.path = url.substr(pos);
    return parts;
}

std::string EndpointUrlFor(const ServerInfo& info, const std::string& askedUrl) {
    if (askedUrl.empty() || askedUrl.size() > kMaxEchoedUrl) return info.endpointUrl;
    const auto asked = ParseEndpointUrl(askedUrl);
    const auto own = ParseEndpointUrl(info.endpointUrl);
    if (!asked || !own || asked->port != own->port) return info.endpointUrl;
    // Nothing but printable text goes back to clients and their logs.
    for (char c : askedUrl) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return info.endpointUrl;
    }
    return askedUrl;
}

void WriteApplicationDescription(Writer& writer, const ServerInfo& info, const std::string& discoveryUrl) {
    writer.String(info.applicationUri);
    writer.String(info.productUri);
    writer.LocalizedTextValue(LocalizedText{"en", info.applicationName});
    writer.Int32(kApplicationTypeServer);
    writer.NullString();  // gatewayServerUri
    writer.NullString();  // discoveryProfileUri
    writer.Int32(1);
    writer.String(discoveryUrl);
}

void WriteApplicationDescription(Writer& writer, const ServerInfo& info) {
    WriteApplicationDescription(writer, info, info.endpointUrl);
}

void WriteEndpointDescriptions(Writer& writer, const ServerInfo& info, const std::string& askedUrl) {
    const std::string url = EndpointUrlFor(info, askedUrl);
    writer.Int32(1);
    writer.String(url);
    WriteApplicationDescription(writer, info, url);
    writer.NullString();  // serverCertificate: none while the only policy is None
    writer.Int32(kSecurityModeNone);
    writer.String(kSecurityPolicyNone);
    writer.Int32(1);
    WriteUserTokenPolicy(writer);
    writer.String(kTransportProfileBinary);
    writer.Byte(0);  // securityLevel: the lowest, nothing is secured
}

}  // namespace ua
