#pragma once
// Carries the server class and its objects between the user's processes: a
// class a program publishes for a local server is listened for on a socket
// in the user's run-time folder, and a client's CoCreateInstance of a class
// no object of its own process serves connects there, starting the program
// the class is registered with when nothing listens yet. Clients use the very
// interfaces an in-process client uses; their objects are proxies.

#include "platform/Com.h"

#include <cstddef>
#include <memory>
#include <string>

namespace remote {

// A call to a server process that was not answered in the client's time.
constexpr HRESULT RPC_E_TIMEOUT = static_cast<HRESULT>(0x8001011F);

struct BrokerSettings {
    // How long a client waits for a server it started to listen.
    unsigned activationTimeoutMs = 30000;
    // Data changes kept per subscriber that does not keep up.
    std::size_t backlog = 16;
    // Calls one client connection may have taken and not yet answered.
    std::size_t callsPerConnection = 64;
    // Worker threads one client connection's calls may use at once.
    std::size_t workersPerConnection = 8;
    // How long a client's call waits for the server's answer (0: no limit).
    unsigned callTimeoutMs = 0;
};

class RemoteBroker : public platform::LocalServerBroker {
public:
    explicit RemoteBroker(BrokerSettings settings = {});
    // Uninstalls itself if installed; ends every connection, serving and client.
    ~RemoteBroker() override;
    RemoteBroker(const RemoteBroker&) = delete;
    RemoteBroker& operator=(const RemoteBroker&) = delete;

    // Makes this broker the process's carrier (platform::SetLocalServerBroker).
    void Install();

    HRESULT Publish(REFCLSID clsid, IUnknown* classObject) override;
    // Also ends the connections of the class's clients: every reference they
    // held is released before this returns.
    void Withdraw(REFCLSID clsid) override;
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) override;

    // The client connections served now.
    std::size_t ServedConnections();
    // The client calls taken and not yet answered, over all connections.
    std::size_t ServedCalls() const;

    // Where the class is listened for.
    static std::string SocketPath(REFCLSID clsid);

private:
    struct Parts;
    const BrokerSettings settings_;
    std::unique_ptr<Parts> parts_;
    bool installed_ = false;
};

}  // namespace remote
