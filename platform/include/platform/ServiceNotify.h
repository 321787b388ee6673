#pragma once
// Telling the service manager that started this process how it is doing, by
// its notification protocol: one datagram of "KEY=value" lines to the socket
// named by NOTIFY_SOCKET. A process started any other way has no such socket
// and the call does nothing.

#include <string>

namespace platform {

// state is e.g. "READY=1" or "STOPPING=1". False when there is no service
// manager to tell or the datagram could not be sent.
bool NotifyServiceManager(const std::string& state);

}  // namespace platform
