#include "ServiceDispatcher.h"

#include "SessionManager.h"
#include "foundation/CLogFile.h"
#include "platform/Com.h"

namespace ua {

ServiceDispatcher::ServiceDispatcher(const ServiceTable& services, SessionManager& sessions, std::size_t workers)
    : services_(services), sessions_(sessions) {
    if (workers == 0) workers = 1;
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

ServiceDispatcher::~ServiceDispatcher() { Stop(); }

void ServiceDispatcher::OnRequest(const std::shared_ptr<ChannelLink>& channel, std::uint32_t requestId,
                                  std::vector<std::uint8_t> message) {
    StatusCode refusal = status::BadTooManyOperations;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_ && waiting_.size() < kMaxWaitingRequests) {
            waiting_.push_back(Request{channel, requestId, std::move(message), {}});
            wake_.notify_one();
            return;
        }
        if (stopping_) refusal = status::BadShutdown;
    }
    // The request's handle is not read here: the loop thread does no
    // decoding. Clients match an answer by its request id.
    channel->Send(requestId, EncodeServiceFault(0, refusal));
}

void ServiceDispatcher::OnChannelClosed(const std::shared_ptr<ChannelLink>& channel) {
    // The sessions the channel leaves behind may end now, releasing their
    // DA objects: that waits on the objects' threads and needs the
    // apartment, so a worker does it, not the transport's loop thread.
    const std::uint32_t id = channel->Id();
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            Request request;
            request.work = [this, id] { sessions_.OnChannelClosed(id); };
            waiting_.push_back(std::move(request));
            wake_.notify_one();
            return;
        }
    }
    sessions_.OnChannelClosed(id);
}

void ServiceDispatcher::Stop() {
    std::deque<Request> left;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && workers_.empty()) return;
        stopping_ = true;
        left.swap(waiting_);
        wake_.notify_all();
    }
    for (const Request& request : left) {
        if (request.work) request.work();
        else request.channel->Send(request.requestId, EncodeServiceFault(0, status::BadShutdown));
    }
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
}

void ServiceDispatcher::Work() {
    // The services call the OPC DA objects, which serve threads of the apartment.
    const bool entered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (;;) {
        Request request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) break;
            request = std::move(waiting_.front());
            waiting_.pop_front();
        }
        if (request.work) request.work();
        else Process(request.channel, request.requestId, request.message);
    }
    if (entered) CoUninitialize();
}

void ServiceDispatcher::Process(const std::shared_ptr<ChannelLink>& channel, std::uint32_t requestId,
                                const std::vector<std::uint8_t>& message) {
    ServiceCall call;
    call.channel = channel;
    call.requestId = requestId;
    Reader reader(message);
    const ServiceTable::Entry* entry = nullptr;
    try {
        const NodeId type = reader.NodeIdValue();
        call.header = ReadRequestHeader(reader);
        if (type.ns == 0 && type.kind == NodeId::Kind::Numeric) {
            call.requestType = type.numeric;
            entry = services_.Find(type.numeric);
        }
    } catch (const DecodeError& error) {
        // Without a readable header there is no handle to answer with.
        call.Fault(error.Code());
        return;
    }
    if (entry == nullptr) {
        call.Fault(status::BadServiceUnsupported);
        return;
    }
    if (entry->needs != ServiceTable::Needs::Nothing) {
        const StatusCode found = sessions_.Resolve(call.header, *channel,
                                                   entry->needs == ServiceTable::Needs::ActivatedSession, call.session);
        if (IsBad(found)) {
            call.Fault(found);
            return;
        }
    }
    try {
        entry->handler(call, reader);
    } catch (const DecodeError& error) {
        call.Fault(error.Code());
    } catch (const std::bad_alloc&) {
        call.Fault(status::BadOutOfMemory);
    } catch (const std::exception& error) {
        EventLog().Append("OPC UA service " + std::to_string(call.requestType) + " failed: " + error.what())
            .Commit(CLogFile::kWrite);
        call.Fault(status::BadInternalError);
    }
}

}  // namespace ua
