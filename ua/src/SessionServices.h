#pragma once
// The session services: CreateSession, ActivateSession and CloseSession over
// the server's table of sessions, with the checks of the client's security
// and identity.

#include "ServerInfo.h"
#include "ServiceCall.h"
#include "SessionManager.h"
#include "SessionSecurity.h"

namespace ua {

// The table, the manager, the ServerInfo and the checks must outlive the
// server's requests; delays answers refused sign-ins late.
void RegisterSessionServices(ServiceTable& table, SessionManager& sessions, const ServerInfo& info,
                             SessionSecurity& security, DelayedWork& delays);

}  // namespace ua
