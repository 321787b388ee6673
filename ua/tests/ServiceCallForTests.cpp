// The answering side of ServiceCall and the service table, as the dispatcher
// does them, for the service tests until the dispatcher's own code is in this
// library: a response is the response's encoding id, the response header
// and the body, sent on the call's channel.
#include "Messages.h"
#include "ServiceCall.h"

namespace ua {

bool ServiceCall::Reply(const std::function<void(Writer&)>& body, StatusCode serviceResult) const {
    Writer w;
    w.NodeIdValue(NodeId(0, encoding::ResponseOf(requestType)));
    ResponseHeader response;
    response.timestamp = Now();
    response.requestHandle = header.requestHandle;
    response.serviceResult = serviceResult;
    WriteResponseHeader(w, response);
    body(w);
    return channel && channel->Send(requestId, w.Take());
}

bool ServiceCall::Fault(StatusCode result) const {
    return channel && channel->Send(requestId, EncodeServiceFault(header.requestHandle, result));
}

void ServiceTable::Register(std::uint32_t requestType, Needs needs, ServiceHandler handler) {
    entries_[requestType] = Entry{needs, std::move(handler)};
}

const ServiceTable::Entry* ServiceTable::Find(std::uint32_t requestType) const {
    const auto found = entries_.find(requestType);
    return found != entries_.end() ? &found->second : nullptr;
}

}  // namespace ua
