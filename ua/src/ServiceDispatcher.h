#pragma once
// Takes the whole requests the transport receives and runs each on a worker
// thread of its own pool (threads in the COM apartment, since the services
// call the OPC DA objects, which may block on a counter for seconds): it
// reads the request's type and header, finds the service and the session the
// request names, and answers a ServiceFault for what it cannot run. The
// transport's loop thread never waits for a service.

#include "Channel.h"
#include "ServiceCall.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ua {

class SessionManager;

class ServiceDispatcher : public RequestSink {
public:
    // Requests waiting for a worker beyond this are answered
    // Bad_TooManyOperations at once.
    static constexpr std::size_t kMaxWaitingRequests = 10000;

    ServiceDispatcher(const ServiceTable& services, SessionManager& sessions, std::size_t workers);
    ~ServiceDispatcher() override;
    ServiceDispatcher(const ServiceDispatcher&) = delete;
    ServiceDispatcher& operator=(const ServiceDispatcher&) = delete;

    void OnRequest(const std::shared_ptr<ChannelLink>& channel, std::uint32_t requestId,
                   std::vector<std::uint8_t> message) override;
    void OnChannelClosed(const std::shared_ptr<ChannelLink>& channel) override;

    // Answers what still waits with Bad_Shutdown and ends the workers once
    // the requests they run return.
    void Stop();

    // Runs one request on the calling thread (the workers' body; tests).
    void Process(const std::shared_ptr<ChannelLink>& channel, std::uint32_t requestId,
                 const std::vector<std::uint8_t>& message);

private:
    struct Request {
        std::shared_ptr<ChannelLink> channel;
        std::uint32_t requestId = 0;
        std::vector<std::uint8_t> message;
        // Set instead of a message: work for a worker, such as ending the
        // sessions of a closed channel, which releases their DA objects.
        std::function<void()> work;
    };
    void Work();

    const ServiceTable& services_;
    SessionManager& sessions_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> waiting_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace ua
