#pragma once
// The server's side of the transport: the listening socket of a published
// class, one RPC connection per client process (its peer's user checked),
// and the adapters that carry each call to the real object on a worker
// thread. When a client's connection ends, every reference it held is
// released, as the object broker does for a client that died.

#include "remote/EventLoop.h"
#include "WorkerPool.h"

#include "platform/Com.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace remote {

struct ServerSettings {
    // Data changes kept for a subscriber that does not keep up; beyond them
    // the oldest are merged into one.
    std::size_t backlog = 16;
    // Calls of one client connection taken and not yet answered; a call
    // beyond them is answered E_OUTOFMEMORY at once.
    std::size_t callsPerConnection = 64;
    // Worker threads one connection's calls may use at once; its further
    // calls wait for one of them, not for the other clients' calls.
    std::size_t workersPerConnection = 8;
};

class ClassListener;

// Listens on the loop; made, used and destroyed through it.
class ServerSide {
public:
    ServerSide(EventLoop& loop, WorkerPool& pool, ServerSettings settings);
    ~ServerSide();
    ServerSide(const ServerSide&) = delete;
    ServerSide& operator=(const ServerSide&) = delete;

    // Listens at path for clients of the class object (which is AddRef'ed).
    HRESULT Publish(REFCLSID clsid, IUnknown* classObject, const std::string& path, std::string& error);
    // Stops listening, ends the class's connections and waits until every
    // reference their clients held is released.
    void Withdraw(REFCLSID clsid);
    // The client connections open now, over all classes.
    std::size_t ConnectionCount();
    // The client calls taken and not yet answered, over all connections.
    std::size_t CallsInFlight() const;

private:
    EventLoop& loop_;
    WorkerPool& pool_;
    const ServerSettings settings_;
    const std::shared_ptr<std::atomic<std::size_t>> calls_ = std::make_shared<std::atomic<std::size_t>>(0);
    // Touched on the loop only.
    std::vector<std::unique_ptr<ClassListener>> listeners_;
};

}  // namespace remote
