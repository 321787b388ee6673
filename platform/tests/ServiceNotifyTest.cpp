// The service manager's notification as the manager receives it: a datagram
// on the socket that NOTIFY_SOCKET names, a path or an abstract name.
#include "platform/ServiceNotify.h"

#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A bound datagram socket standing in for the service manager.
class Manager {
public:
    explicit Manager(const std::string& name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        if (name[0] == '@') address.sun_path[0] = '\0';
        bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
        timeval wait{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Manager() { close(fd_); }
    bool Bound() const { return bound_; }
    std::string Receive() {
        char buffer[256];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

class ServiceNotify : public ::testing::Test {
protected:
    void TearDown() override { SetEnvironmentVariableA("NOTIFY_SOCKET", nullptr); }
    TempDir dir_;
};

TEST_F(ServiceNotify, TheStateReachesTheSocketNamedByPathOrAbstractName) {
    const std::string path = dir_.File("notify");
    Manager byPath(path);
    ASSERT_TRUE(byPath.Bound());
    ASSERT_TRUE(SetEnvironmentVariableA("NOTIFY_SOCKET", path.c_str()));
    EXPECT_TRUE(platform::NotifyServiceManager("READY=1"));
    EXPECT_EQ(byPath.Receive(), "READY=1");

    const std::string abstract = "@vok-notify-test-" + std::to_string(getpid());
    Manager byName(abstract);
    ASSERT_TRUE(byName.Bound());
    ASSERT_TRUE(SetEnvironmentVariableA("NOTIFY_SOCKET", abstract.c_str()));
    EXPECT_TRUE(platform::NotifyServiceManager("STOPPING=1"));
    EXPECT_EQ(byName.Receive(), "STOPPING=1");
}

TEST_F(ServiceNotify, WithoutAManagerNothingIsSent) {
    SetEnvironmentVariableA("NOTIFY_SOCKET", nullptr);
    EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
    ASSERT_TRUE(SetEnvironmentVariableA("NOTIFY_SOCKET", "relative/name"));
    EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
    ASSERT_TRUE(SetEnvironmentVariableA("NOTIFY_SOCKET", dir_.File("nobody-listens").c_str()));
    EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
}

}  // namespace
