#include "ServerDescriptions.h"
#include "ServerInfo.h"

#include <cctype>

namespace ua {

namespace {

// Longer URLs are not echoed: the answer would carry them three times.
constexpr std::size_t kMaxEchoedUrl = 1024;

constexpr std::int32_t kApplicationTypeServer = 0;
constexpr std::int32_t kUserTokenAnonymous = 0;
constexpr std::int32_t kUserTokenUserName = 1;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

void WriteUserTokenPolicies(Writer& writer, const ServerInfo& info, const EndpointConfig& endpoint) {
    writer.Int32(info.anonymous ? 2 : 1);
    if (info.anonymous) {
        writer.String("anonymous");
        writer.Int32(kUserTokenAnonymous);
        writer.NullString();  // issuedTokenType
        writer.NullString();  // issuerEndpointUrl
        writer.NullString();  // securityPolicyUri: the endpoint's
    }
    writer.String("username");
    writer.Int32(kUserTokenUserName);
    writer.NullString();
    writer.NullString();
    // A password never travels in clear: on the None endpoint the client
    // encrypts it with the server's certificate under Basic256Sha256.
    if (endpoint.policy->none) writer.String(kPolicyUriBasic256Sha256);
    else writer.NullString();
}

// Clients pick the endpoint with the highest level: encrypted before signed,
// the stronger policy first.
std::uint8_t SecurityLevel(const EndpointConfig& endpoint) {
    if (endpoint.policy->none) return 0;
    const std::uint8_t base = endpoint.mode == SecurityMode::SignAndEncrypt ? 100 : 50;
    const std::string uri = endpoint.policy->uri;
    if (uri == kPolicyUriAes256Sha256RsaPss) return static_cast<std::uint8_t>(base + 3);
    if (uri == kPolicyUriBasic256Sha256) return static_cast<std::uint8_t>(base + 2);
    return static_cast<std::uint8_t>(base + 1);
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

void WriteEndpointDescriptions(Writer& writer, const ServerInfo& info, const std::string& askedUrl,
                               bool fromLoopback) {
    const std::string url = EndpointUrlFor(info, askedUrl);
    std::vector<EndpointConfig> shown;
    for (const EndpointConfig& endpoint : info.endpoints)
        if (!endpoint.policy->none || fromLoopback) shown.push_back(endpoint);
    writer.Int32(static_cast<std::int32_t>(shown.size()));
    for (const EndpointConfig& endpoint : shown) {
        writer.String(url);
        WriteApplicationDescription(writer, info, url);
        if (info.certificateDer.empty()) writer.NullString();
        else writer.ByteStringValue(info.certificateDer);
        writer.Int32(static_cast<std::int32_t>(endpoint.mode));
        writer.String(endpoint.policy->uri);
        WriteUserTokenPolicies(writer, info, endpoint);
        writer.String(kTransportProfileBinary);
        writer.Byte(SecurityLevel(endpoint));
    }
}

}  // namespace ua
