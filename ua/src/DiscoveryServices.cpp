#include "DiscoveryServices.h"

#include "ServerDescriptions.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ua {

namespace {

std::vector<std::string> ReadStrings(Reader& body) {
    return body.Array<std::string>([](Reader& r) { return r.String(); }, 4);
}

bool Contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// The url the client reached us under: the request's, else its Hello's.
std::string AskedUrl(const ServiceCall& call, std::string requestUrl) {
    if (!requestUrl.empty() || !call.channel) return requestUrl;
    return call.channel->EndpointUrl();
}

void GetEndpoints(const ServerInfo& info, ServiceCall& call, Reader& body) {
    std::string endpointUrl;
    std::vector<std::string> profileUris;
    try {
        endpointUrl = body.String();
        ReadStrings(body);  // localeIds: the one endpoint's texts are in English anyway
        profileUris = ReadStrings(body);
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    const std::string asked = AskedUrl(call, std::move(endpointUrl));
    // A client that asks only for transports this server lacks gets none.
    const bool wanted = profileUris.empty() || Contains(profileUris, kTransportProfileBinary);
    call.Reply([&](Writer& w) {
        if (wanted) {
            WriteEndpointDescriptions(w, info, asked, call.channel != nullptr && call.channel->FromLoopback());
        } else {
            w.Int32(0);
        }
    });
}

void FindServers(const ServerInfo& info, ServiceCall& call, Reader& body) {
    std::string endpointUrl;
    std::vector<std::string> serverUris;
    try {
        endpointUrl = body.String();
        ReadStrings(body);  // localeIds
        serverUris = ReadStrings(body);
    } catch (const DecodeError& e) {
        call.Fault(e.Code());
        return;
    }
    const std::string url = EndpointUrlFor(info, AskedUrl(call, std::move(endpointUrl)));
    const bool wanted = serverUris.empty() || Contains(serverUris, info.applicationUri);
    call.Reply([&](Writer& w) {
        if (wanted) {
            w.Int32(1);
            WriteApplicationDescription(w, info, url);
        } else {
            w.Int32(0);
        }
    });
}

}  // namespace

void RegisterDiscoveryServices(ServiceTable& table, const ServerInfo& info) {
    const ServerInfo* shared = &info;
    table.Register(encoding::GetEndpointsRequest, ServiceTable::Needs::Nothing,
                   [shared](ServiceCall& call, Reader& body) { GetEndpoints(*shared, call, body); });
    table.Register(encoding::FindServersRequest, ServiceTable::Needs::Nothing,
                   [shared](ServiceCall& call, Reader& body) { FindServers(*shared, call, body); });
}

}  // namespace ua
