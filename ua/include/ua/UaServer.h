#pragma once
// The program's OPC UA endpoint: opc.tcp on a port, the services, and the
// address space over the in-process OPC DA server, whose class must be
// published before the first session opens.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ua {

struct UaServerSettings {
    std::uint16_t port = 4840;  // 0: any free port (tests)
    // Every interface: beyond the loopback interface only the signed and
    // encrypted endpoints serve sessions.
    std::string listenAddress = "0.0.0.0";
    // The certificate folders and the user list; empty: the defaults beside
    // the settings (CertificateStore::DefaultFolder, UserStore::DefaultFile).
    std::string pkiFolder;
    std::string usersFile;
    // The SecurityPolicy None endpoint, for clients on this machine only.
    bool noneOnLoopback = true;
    // Sessions without a user name (viewers).
    bool anonymous = true;
    // Endpoints that sign without encrypting, besides the encrypted ones.
    bool signOnly = false;
};

// One endpoint as `vok ua endpoints` and the options page list it.
struct EndpointSummary {
    std::string url;
    std::string policy;      // "Basic256Sha256", "None" ...
    std::string mode;        // "SignAndEncrypt", "Sign", "None"
    std::string userTokens;  // "anonymous, user name" or "user name"
    bool loopbackOnly = false;
};
// What a server with these settings offers; empty when the port is 0.
std::vector<EndpointSummary> OfferedEndpoints(const UaServerSettings& settings, const std::string& hostName);

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
