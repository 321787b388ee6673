#include "platform/LocalSocket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool IsSocketFile(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

int ConnectLocalSocket(const std::string& path) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ListenLocalSocket(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        error = "the socket path is empty or too long: " + path;
        return -1;
    }
    if (IsSocketFile(path)) {
        const int probe = ConnectLocalSocket(path);
        if (probe >= 0) {
            ::close(probe);
            error = "another server listens at " + path;
            return -1;
        }
        // Left by a server that is gone: nobody answers on it.
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return -1;
    }
    // The folder is the user's own (0700), so nobody else reaches the file
    // in the moment before its own mode is narrowed too.
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen at " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
        ::close(fd);
        if (bound == 0) ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

bool LocalSocketPeerUser(int fd, std::uint32_t& user) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
        return false;
    user = credentials.uid;
    return true;
}

std::uint32_t CurrentUserId() { return ::geteuid(); }

void CloseDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

void RemoveLocalSocket(const std::string& path) {
    if (IsSocketFile(path)) ::unlink(path.c_str());
}

}  // namespace platform
