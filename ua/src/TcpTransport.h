#pragma once
// The opc.tcp listener: accepts clients on a TCP port and runs each
// connection's protocol on the transport's event loop, handing whole
// requests to the sink.

#include "Channel.h"
#include "ServerSecurity.h"
#include "TransportLimits.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace remote {
class EventLoop;
}

namespace ua {

class TcpTransport {
public:
    // On an event loop of its own. security: the server's key, certificate
    // and client check for the secured channels; the default opens
    // SecurityPolicy None channels only.
    explicit TcpTransport(RequestSink& sink, TransportLimits limits = {}, ServerSecurity security = {});
    // On the given loop, which must outlive the transport.
    TcpTransport(RequestSink& sink, remote::EventLoop& loop, TransportLimits limits = {},
                 ServerSecurity security = {});
    // Stops first.
    ~TcpTransport();
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    // Listens on the address ("127.0.0.1", "0.0.0.0", a host name) and port
    // (0: a free one); false with the reason, e.g. the port is in use.
    bool Listen(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t Port() const { return port_.load(); }
    std::size_t ConnectionCount() const { return connections_.load(); }
    // Stops listening and ends every connection; the sink hears of every
    // channel that was open. Waits a moment for the clients to get the reason.
    void Stop();

    class Core;

private:
    RequestSink& sink_;
    const TransportLimits limits_;
    const ServerSecurity security_;
    std::unique_ptr<remote::EventLoop> ownLoop_;
    remote::EventLoop& loop_;
    // Lives on the loop thread; created and destroyed there.
    std::unique_ptr<Core> core_;
    std::atomic<std::uint16_t> port_{0};
    std::atomic<std::size_t> connections_{0};
};

}  // namespace ua
