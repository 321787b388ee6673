#pragma once
// Unix-domain stream sockets in the user's run-time folder, through which the
// programs of one user reach one another: a server listens at a path only its
// user may open, and checks who is on the other end of each connection.

#include <cstdint>
#include <string>

namespace platform {

// Listens at path (mode 0600, close-on-exec, non-blocking). A socket file no
// server answers on any more (its server was killed) is replaced; -1 with the
// reason when another server still listens there or the socket cannot be made.
int ListenLocalSocket(const std::string& path, std::string& error);

// Connects to the server listening at path (close-on-exec, blocking); -1 when
// nothing listens there.
int ConnectLocalSocket(const std::string& path);

// The user id of the process at the other end of a connected socket.
bool LocalSocketPeerUser(int fd, std::uint32_t& user);

// This process's effective user id, which its sockets and files belong to.
std::uint32_t CurrentUserId();

void CloseDescriptor(int fd);
// Removes the socket file at path when it is one (never another kind of file).
void RemoveLocalSocket(const std::string& path);

}  // namespace platform
