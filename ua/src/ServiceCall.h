#pragma once
// One request on its way through the services: where it came from, its
// header, the session it runs in, and how to answer it. A service answers at
// once or keeps the call and answers later (Publish) from any thread.

#include "Channel.h"
#include "Messages.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

namespace ua {

class Session;

struct ServiceCall {
    std::shared_ptr<ChannelLink> channel;
    std::uint32_t requestId = 0;
    std::uint32_t requestType = 0;  // the request's binary encoding id
    RequestHeader header;
    // The activated session the request's authentication token names; null
    // for the services that run without one (discovery, CreateSession,
    // ActivateSession).
    std::shared_ptr<Session> session;

    // Answers with the response header (this request's handle, the time, the
    // service result) followed by what body writes. False when the channel has ended.
    bool Reply(const std::function<void(Writer&)>& body, StatusCode serviceResult = status::Good) const;
    // Answers with a ServiceFault.
    bool Fault(StatusCode result) const;
};

using ServiceHandler = std::function<void(ServiceCall& call, Reader& body)>;

// Runs the body of a service that needs an activated session. The table only
// routes such a call with one, but a handler called directly without one is
// refused rather than followed into a null session; a request the body cannot
// decode is answered with the decoder's status, and the session and the
// channel carry on.
template <typename F>
void ServeInSession(ServiceCall& call, F&& body) {
    if (call.session == nullptr) {
        call.Fault(status::BadSessionNotActivated);
        return;
    }
    try {
        body();
    } catch (const DecodeError& error) {
        call.Fault(error.Code());
    }
}

// A request's list of operations: none is Bad_NothingToDo, more than the
// service takes in one call Bad_TooManyOperations, else Good.
inline StatusCode OperationCountStatus(std::size_t count, std::size_t limit) {
    if (count == 0) return status::BadNothingToDo;
    return count > limit ? status::BadTooManyOperations : status::Good;
}

// The services by their request's encoding id. Registered once while the
// server starts; read-only afterwards.
class ServiceTable {
public:
    enum class Needs { Nothing, Session, ActivatedSession };
    void Register(std::uint32_t requestType, Needs needs, ServiceHandler handler);
    struct Entry {
        Needs needs = Needs::Nothing;
        ServiceHandler handler;
    };
    const Entry* Find(std::uint32_t requestType) const;

private:
    std::unordered_map<std::uint32_t, Entry> entries_;
};

}  // namespace ua
