#include "platform/ServiceNotify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

bool NotifyServiceManager(const std::string& state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return false;
    const std::size_t length = std::strlen(name);
    sockaddr_un address{};
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
    close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

}  // namespace platform
