#pragma once
// The discovery services a client calls before it has a session: GetEndpoints
// and FindServers, both answering about this server alone.

#include "ServerInfo.h"
#include "ServiceCall.h"

namespace ua {

// The ServiceTable and the ServerInfo must outlive the server's requests.
void RegisterDiscoveryServices(ServiceTable& table, const ServerInfo& info);

}  // namespace ua
