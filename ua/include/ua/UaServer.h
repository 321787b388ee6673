#pragma once
// The program's OPC UA endpoint: opc.tcp on a port, the services, and the
// address space over the in-process OPC DA server, whose class must be
// published before the first session opens.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ua {

struct UaServerSettings {
    std::uint16_t port = 4840;  // 0: any free port (tests)
    // Only loopback while the one endpoint is SecurityPolicy None.
    std::string listenAddress = "127.0.0.1";
};

// The URL a client on this machine reaches an endpoint by: "localhost" for a
// loopback address, the host name for one that serves every interface, else
// the address itself; empty for port 0 (off).
std::string EndpointUrlFor(const UaServerSettings& settings, const std::string& hostName);

class UaServer {
public:
    UaServer();
    // Stops first.
    ~UaServer();
    UaServer(const UaServer&) = delete;
    UaServer& operator=(const UaServer&) = delete;

    // Opens the endpoint; false with the reason (the port is in use, the
    // address is not this machine's ...). The event log says either.
    bool Start(const UaServerSettings& settings, std::string& error);
    // Ends every session and connection; their DA objects are released
    // before it returns.
    void Stop();
    bool IsRunning() const;
    std::uint16_t Port() const;
    // The endpoint's URL (EndpointUrlFor), as GetEndpoints answers it.
    std::string EndpointUrl() const;
    std::size_t SessionCount() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace ua
