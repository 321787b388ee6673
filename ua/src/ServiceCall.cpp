#include "ServiceCall.h"

namespace ua {

bool ServiceCall::Reply(const std::function<void(Writer&)>& body, StatusCode serviceResult) const {
    Writer writer;
    writer.NodeIdValue(NodeId(0, encoding::ResponseOf(requestType)));
    ResponseHeader response;
    response.timestamp = Now();
    response.requestHandle = header.requestHandle;
    response.serviceResult = serviceResult;
    WriteResponseHeader(writer, response);
    if (body) body(writer);
    return channel->Send(requestId, writer.Take());
}

bool ServiceCall::Fault(StatusCode result) const {
    return channel->Send(requestId, EncodeServiceFault(header.requestHandle, result));
}

void ServiceTable::Register(std::uint32_t requestType, Needs needs, ServiceHandler handler) {
    entries_[requestType] = Entry{needs, std::move(handler)};
}

const ServiceTable::Entry* ServiceTable::Find(std::uint32_t requestType) const {
    const auto found = entries_.find(requestType);
    return found != entries_.end() ? &found->second : nullptr;
}

}  // namespace ua
