#pragma once
// The session services: CreateSession, ActivateSession and CloseSession over
// the server's table of sessions.

#include "ServerInfo.h"
#include "ServiceCall.h"
#include "SessionManager.h"

namespace ua {

// The table, the manager and the ServerInfo must outlive the server's requests.
void RegisterSessionServices(ServiceTable& table, SessionManager& sessions, const ServerInfo& info);

}  // namespace ua
