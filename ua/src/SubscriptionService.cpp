#include "SubscriptionService.h"

#include "DaItemGroup.h"
#include "Messages.h"
#include "Session.h"
#include "platform/Com.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

namespace ua {

namespace {

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How often the tags that DA items watch are looked up again, to notice one
// removed from the configuration.
constexpr std::int64_t kExistenceCheckMs = 1000;
// How many tags of a subscription one round looks up: a look-up searches the
// configuration, so a large subscription is looked through over several
// rounds (10,000 tags in 100 s) to keep the cost a fraction of a percent of
// a core; a tag deleted from the configuration is noticed at once anyway,
// by the configuration error its DA item reports.
constexpr std::size_t kChecksPerRound = 100;
constexpr std::size_t kMaxRechecks = 10000;
// The longest the scheduler sleeps without looking at its work.
constexpr std::int64_t kMaxWaitMs = 1000;

// Where a monitored item's samples come from.
struct ItemSource {
    bool da = false;
    std::uint32_t rate = 0;          // the key of the DA group
    std::uint32_t clientHandle = 0;  // DA: the handle changes come back with
    std::uint32_t serverHandle = 0;  // DA: valid once added
    bool added = false;              // DA: the group holds the item
    std::string tag;                 // DA: the item ID
    bool gone = false;               // the node left the address space
};

struct SessionState;

struct Entry {
    std::unique_ptr<Subscription> sub;
    std::map<std::uint32_t, ItemSource> sources;
    std::set<std::uint32_t> polled;
    // DA groups by rate; touched only with the session's ops lock held and
    // never under the service's lock, since their calls reach the DA objects.
    std::map<std::uint32_t, std::unique_ptr<DaItemGroup>> groups;
    std::int64_t nextPublishMs = 0;
    std::int64_t nextCheckMs = 0;
    std::uint32_t checkCursor = 0;  // the item id the next round starts at
    bool closed = false;
    std::weak_ptr<SessionState> owner;
};

struct Parked {
    ServiceCall call;
    std::vector<StatusCode> ackResults;
    std::int64_t deadlineMs = 0;  // 0: none
};

// The last message of a subscription that expired, for the session's next Publish.
struct Final {
    std::uint32_t subscriptionId = 0;
    NotificationMessage message;
};

struct SessionState {
    std::shared_ptr<Session> session;
    // Orders the management calls of the session (they reach the DA objects
    // between short holds of the service's lock).
    std::mutex ops;
    std::deque<Parked> parked;
    std::map<std::uint32_t, std::shared_ptr<Entry>> subs;
    std::deque<Final> finals;
    bool ended = false;
};

// Answers gathered under the lock and sent after it is released.
struct Outbox {
    std::vector<std::pair<ServiceCall, std::vector<std::uint8_t>>> replies;
    std::vector<std::pair<ServiceCall, StatusCode>> faults;
    std::vector<std::pair<std::shared_ptr<SessionState>, std::shared_ptr<Entry>>> dying;

    void Send() {
        for (auto& reply : replies) {
            const std::vector<std::uint8_t>& body = reply.second;
            reply.first.Reply([&body](Writer& w) { w.Raw(body.data(), body.size()); });
        }
        for (auto& [call, status] : faults) call.Fault(status);
        replies.clear();
        faults.clear();
    }
};

std::vector<std::uint8_t> PublishBody(std::uint32_t subscriptionId, const std::vector<std::uint32_t>& available,
                                      bool more, const NotificationMessage& message,
                                      const std::vector<StatusCode>& results) {
    Writer w;
    w.UInt32(subscriptionId);
    w.Array(available, [](Writer& out, std::uint32_t n) { out.UInt32(n); });
    w.Boolean(more);
    WriteNotificationMessage(w, message);
    w.Array(results, [](Writer& out, StatusCode s) { out.StatusCodeValue(s); });
    WriteNoDiagnostics(w);
    return w.Take();
}

void WriteStatuses(Writer& w, const std::vector<StatusCode>& results) {
    w.Array(results, [](Writer& out, StatusCode s) { out.StatusCodeValue(s); });
    WriteNoDiagnostics(w);
}

ReadValueId ReadReadValueId(Reader& r) {
    ReadValueId id;
    id.nodeId = r.NodeIdValue();
    id.attributeId = r.UInt32();
    id.indexRange = r.String();
    id.dataEncoding = r.QualifiedNameValue();
    return id;
}

struct RequestedParameters {
    std::uint32_t clientHandle = 0;
    double samplingInterval = 0;
    ExtensionObject filter;
    std::uint32_t queueSize = 0;
    bool discardOldest = true;
};

RequestedParameters ReadParameters(Reader& r) {
    RequestedParameters p;
    p.clientHandle = r.UInt32();
    p.samplingInterval = r.Double();
    p.filter = r.ExtensionObjectValue();
    p.queueSize = r.UInt32();
    p.discardOldest = r.Boolean();
    return p;
}

// The filter of a monitored item of the Value attribute, or why it is refused.
StatusCode DecodeFilter(const ExtensionObject& object, std::uint32_t attributeId, DataChangeFilterSettings& out) {
    out = DataChangeFilterSettings{};
    if (object.encoding == ExtensionObject::Encoding::None && object.typeId.IsNull()) return status::Good;
    if (attributeId != static_cast<std::uint32_t>(AttributeId::Value)) return status::BadFilterNotAllowed;
    if (object.encoding != ExtensionObject::Encoding::Binary || !(object.typeId == NodeId(0, encoding::DataChangeFilter)))
        return status::BadMonitoredItemFilterUnsupported;
    try {
        Reader r(reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size());
        const std::uint32_t trigger = r.UInt32();
        const std::uint32_t deadbandType = r.UInt32();
        const double deadbandValue = r.Double();
        if (trigger > 2) return status::BadMonitoredItemFilterInvalid;
        if (deadbandType > 2) return status::BadDeadbandFilterInvalid;
        if (deadbandType != 0 && (!(deadbandValue >= 0) || std::isinf(deadbandValue)))
            return status::BadDeadbandFilterInvalid;
        if (deadbandType == 2 && deadbandValue > 100) return status::BadDeadbandFilterInvalid;
        out.trigger = static_cast<DataChangeTrigger>(trigger);
        out.deadbandType = static_cast<DeadbandType>(deadbandType);
        out.deadbandValue = deadbandValue;
    } catch (const DecodeError&) {
        return status::BadMonitoredItemFilterInvalid;
    }
    return status::Good;
}

// Whether a DataType node (namespace 0) is one of the number types a dead
// band applies to: SByte i=2 ... Double i=11, Number, Integer, UInteger.
bool IsNumberType(const DataValue& dataType) {
    if (IsBad(dataType.Status()) || !dataType.value || !dataType.value->IsScalar()) return false;
    const auto* id = std::get_if<NodeId>(&dataType.value->values[0]);
    if (id == nullptr || id->ns != 0 || id->kind != NodeId::Kind::Numeric) return false;
    return (id->numeric >= 2 && id->numeric <= 11) || (id->numeric >= 26 && id->numeric <= 28);
}

// The span (high - low) of a Range value, when it is one.
std::optional<double> RangeSpan(const DataValue& value) {
    if (IsBad(value.Status()) || !value.value || !value.value->IsScalar()) return std::nullopt;
    const auto* object = std::get_if<ExtensionObject>(&value.value->values[0]);
    if (object == nullptr || !(object->typeId == NodeId(0, encoding::Range))) return std::nullopt;
    try {
        Reader r(reinterpret_cast<const std::uint8_t*>(object->body.data()), object->body.size());
        const double low = r.Double();
        const double high = r.Double();
        if (!(high - low > 0) || std::isinf(high - low)) return std::nullopt;
        return high - low;
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

bool ValidAttribute(std::uint32_t id) { return id >= 1 && id <= 27; }

// Answers with a fault once the service's lock is let go: the channel is
// never called under it.
void FaultUnlocked(std::unique_lock<std::mutex>& lock, ServiceCall& call, StatusCode result) {
    lock.unlock();
    call.Fault(result);
}

}  // namespace

struct SubscriptionService::Impl {
    Impl(AddressSpace& space_, SubscriptionLimits limits_) : space(space_), limits(limits_) {}

    AddressSpace& space;
    const SubscriptionLimits limits;

    mutable std::mutex mutex;
    std::condition_variable wake;
    // Counts the changes the scheduler must look at (a request parked, a
    // subscription or item made or changed); it waits only while none came
    // since it last looked, so a change made while it was sending is not
    // left until its next timer.
    std::uint64_t pokes = 0;
    std::map<const Session*, std::shared_ptr<SessionState>> sessions;
    std::map<std::uint32_t, std::shared_ptr<Entry>> index;
    // The items DA changes are for, by the client handle they were added with.
    struct DaRef {
        MonitoredItem* item;
        std::uint32_t subscriptionId;
    };
    std::unordered_map<std::uint32_t, DaRef> daItems;
    // Items whose tag reported a configuration error: looked up at the next pass.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> rechecks;
    std::uint32_t nextSubscriptionId = 1;
    std::uint32_t nextDaHandle = 1;
    bool stopping = false;
    std::atomic<std::size_t> daGroups{0};
    std::thread scheduler;

    // ---- state helpers (lock held) ----

    std::shared_ptr<SessionState> StateOf(const ServiceCall& call, bool create) {
        if (!call.session) return nullptr;
        const auto found = sessions.find(call.session.get());
        if (found != sessions.end()) return found->second;
        if (!create) return nullptr;
        auto state = std::make_shared<SessionState>();
        state->session = call.session;
        sessions.emplace(call.session.get(), state);
        return state;
    }

    std::uint32_t NewDaHandle() {
        while (nextDaHandle == 0 || daItems.count(nextDaHandle) != 0) ++nextDaHandle;
        return nextDaHandle++;
    }

    void ForgetItemLocked(Entry& entry, std::uint32_t itemId) {
        const auto source = entry.sources.find(itemId);
        if (source != entry.sources.end() && source->second.da) daItems.erase(source->second.clientHandle);
        entry.sources.erase(itemId);
        entry.polled.erase(itemId);
        entry.sub->Items().erase(itemId);
    }

    // Takes the subscription out of every table; its DA groups are left for
    // the caller to end outside the lock.
    void RemoveEntryLocked(SessionState& state, const std::shared_ptr<Entry>& entry) {
        for (const auto& [id, source] : entry->sources)
            if (source.da) daItems.erase(source.clientHandle);
        entry->closed = true;
        index.erase(entry->sub->Id());
        state.subs.erase(entry->sub->Id());
    }

    // The oldest parked request whose channel is still open.
    std::optional<Parked> PopParked(SessionState& state) {
        while (!state.parked.empty()) {
            Parked p = std::move(state.parked.front());
            state.parked.pop_front();
            if (!p.call.channel || p.call.channel->IsOpen()) return p;
        }
        return std::nullopt;
    }

    void Answer(Entry& entry, Parked parked, Outbox& out) {
        Subscription::Outgoing o = entry.sub->Produce(Now());
        out.replies.emplace_back(std::move(parked.call),
                                 PublishBody(entry.sub->Id(), entry.sub->AvailableSequenceNumbers(),
                                             o.moreNotifications, o.message, parked.ackResults));
    }

    void EndAllLocked(SessionState& state, StatusCode answer, Outbox& out) {
        state.ended = true;
        auto subs = state.subs;
        for (auto& [id, entry] : subs) RemoveEntryLocked(state, entry);
        for (auto& [id, entry] : subs) out.dying.emplace_back(nullptr, entry);
        for (Parked& p : state.parked) out.faults.emplace_back(std::move(p.call), answer);
        state.parked.clear();
        state.finals.clear();
    }

    // ---- DA changes (any thread of the DA server) ----

    void OnDaChanges(std::vector<DaItemGroup::Change>& changes) {
        std::lock_guard lock(mutex);
        for (auto& [handle, value] : changes) {
            const auto found = daItems.find(handle);
            if (found == daItems.end()) continue;
            found->second.item->Offer(value);
            // The DA server says so when an item's tag left the configuration.
            if (value.Status() == status::BadConfigurationError && rechecks.size() < kMaxRechecks)
                rechecks.emplace_back(found->second.subscriptionId, found->second.item->Id());
        }
    }

    DaItemGroup::ChangeHandler Handler() {
        return [this](std::vector<DaItemGroup::Change>& changes) { OnDaChanges(changes); };
    }

    DaItemGroup* GroupFor(SessionState& state, Entry& entry, std::uint32_t rate) {
        auto& group = entry.groups[rate];
        if (!group) {
            group = std::make_unique<DaItemGroup>(state.session->DaServer(), rate, Handler());
            ++daGroups;
        }
        return group->Ok() ? group.get() : nullptr;
    }

    // Ends the DA groups that hold no items any more (ops lock held, service lock not).
    void DropEmptyGroups(Entry& entry) {
        for (auto it = entry.groups.begin(); it != entry.groups.end();) {
            if (it->second->Count() == 0) {
                it = entry.groups.erase(it);
                --daGroups;
            } else {
                ++it;
            }
        }
    }

    void EndGroups(Entry& entry) {
        daGroups -= entry.groups.size();
        entry.groups.clear();
    }

    // Tags are sampled no faster than the DA groups run, whose rate the DA
    // server revises itself; the other nodes' values are computed when read.
    double ReviseSampling(double requested, double publishing) const {
        // NaN asks for nothing sensible: the fastest rate, as 0 does.
        if (std::isnan(requested)) requested = 0;
        if (requested < 0) requested = publishing;
        double revised = std::max(requested, limits.minSamplingInterval);
        revised = std::min(revised, limits.maxSamplingInterval);
        return std::ceil(revised);
    }

    std::uint32_t ReviseQueue(std::uint32_t requested) const {
        return std::clamp<std::uint32_t>(requested, 1, limits.maxQueueSize);
    }

    // ---- services ----

    void CreateSubscription(ServiceCall& call, Reader& body) {
        Subscription::Parameters requested;
        requested.publishingInterval = body.Double();
        requested.lifetimeCount = body.UInt32();
        requested.maxKeepAliveCount = body.UInt32();
        requested.maxNotificationsPerPublish = body.UInt32();
        requested.publishingEnabled = body.Boolean();
        requested.priority = body.Byte();
        const Subscription::Parameters revised = Subscription::Revise(requested, limits);
        std::uint32_t id = 0;
        {
            std::unique_lock lock(mutex);
            if (stopping) return FaultUnlocked(lock, call, status::BadShutdown);
            auto state = StateOf(call, true);
            if (state->subs.size() >= limits.maxSubscriptionsPerSession)
                return FaultUnlocked(lock, call, status::BadTooManySubscriptions);
            id = nextSubscriptionId++;
            if (nextSubscriptionId == 0) nextSubscriptionId = 1;
            auto entry = std::make_shared<Entry>();
            entry->sub = std::make_unique<Subscription>(id, revised, limits);
            entry->owner = state;
            const std::int64_t now = SteadyMs();
            entry->nextPublishMs = now + static_cast<std::int64_t>(revised.publishingInterval);
            entry->nextCheckMs = now + kExistenceCheckMs;
            state->subs[id] = entry;
            index[id] = entry;
        }
        Poke();
        call.Reply([&](Writer& w) {
            w.UInt32(id);
            w.Double(revised.publishingInterval);
            w.UInt32(revised.lifetimeCount);
            w.UInt32(revised.maxKeepAliveCount);
        });
    }

    void ModifySubscription(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        Subscription::Parameters requested;
        requested.publishingInterval = body.Double();
        requested.lifetimeCount = body.UInt32();
        requested.maxKeepAliveCount = body.UInt32();
        requested.maxNotificationsPerPublish = body.UInt32();
        requested.priority = body.Byte();
        Subscription::Parameters revised;
        {
            std::unique_lock lock(mutex);
            auto state = StateOf(call, false);
            const auto found = state ? state->subs.find(id) : decltype(state->subs.end()){};
            if (!state || found == state->subs.end()) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            revised = Subscription::Revise(requested, limits);
            found->second->sub->Modify(revised);
            found->second->nextPublishMs = SteadyMs() + static_cast<std::int64_t>(revised.publishingInterval);
        }
        Poke();
        call.Reply([&](Writer& w) {
            w.Double(revised.publishingInterval);
            w.UInt32(revised.lifetimeCount);
            w.UInt32(revised.maxKeepAliveCount);
        });
    }

    std::vector<std::uint32_t> ReadIds(Reader& body) {
        return body.Array<std::uint32_t>([](Reader& r) { return r.UInt32(); }, 4);
    }

    // Refuses an empty list or one longer than the server takes in one request.
    bool CheckCount(ServiceCall& call, std::size_t count) {
        const StatusCode counted = OperationCountStatus(count, limits.maxOperationsPerRequest);
        if (IsBad(counted)) call.Fault(counted);
        return !IsBad(counted);
    }

    void SetPublishingMode(ServiceCall& call, Reader& body) {
        const bool enabled = body.Boolean();
        const auto ids = ReadIds(body);
        if (!CheckCount(call, ids.size())) return;
        std::vector<StatusCode> results;
        {
            std::lock_guard lock(mutex);
            auto state = StateOf(call, false);
            for (std::uint32_t id : ids) {
                const auto found = state ? state->subs.find(id) : decltype(state->subs.end()){};
                if (!state || found == state->subs.end()) {
                    results.push_back(status::BadSubscriptionIdInvalid);
                    continue;
                }
                found->second->sub->SetPublishingEnabled(enabled);
                results.push_back(status::Good);
            }
        }
        call.Reply([&](Writer& w) { WriteStatuses(w, results); });
    }

    void DeleteSubscriptions(ServiceCall& call, Reader& body) {
        const auto ids = ReadIds(body);
        if (!CheckCount(call, ids.size())) return;
        std::shared_ptr<SessionState> state;
        {
            std::lock_guard lock(mutex);
            state = StateOf(call, false);
        }
        std::vector<StatusCode> results(ids.size(), status::BadSubscriptionIdInvalid);
        Outbox out;
        if (state) {
            std::lock_guard ops(state->ops);
            {
                std::lock_guard lock(mutex);
                for (std::size_t i = 0; i < ids.size(); ++i) {
                    const auto found = state->subs.find(ids[i]);
                    if (found == state->subs.end()) continue;
                    auto entry = found->second;
                    RemoveEntryLocked(*state, entry);
                    out.dying.emplace_back(nullptr, entry);
                    results[i] = status::Good;
                }
                // Requests parked for subscriptions that are all gone have nothing to wait for.
                if (state->subs.empty() && state->finals.empty()) {
                    for (Parked& p : state->parked) out.faults.emplace_back(std::move(p.call), status::BadNoSubscription);
                    state->parked.clear();
                }
            }
            for (auto& [unused, entry] : out.dying) EndGroups(*entry);
        }
        out.Send();
        call.Reply([&](Writer& w) { WriteStatuses(w, results); });
    }

    void Publish(ServiceCall& call, Reader& body) {
        struct Ack {
            std::uint32_t subscriptionId;
            std::uint32_t sequenceNumber;
        };
        const auto acks = body.Array<Ack>(
            [](Reader& r) {
                Ack a{};
                a.subscriptionId = r.UInt32();
                a.sequenceNumber = r.UInt32();
                return a;
            },
            8);
        if (acks.size() > limits.maxOperationsPerRequest) return void(call.Fault(status::BadTooManyOperations));
        Outbox out;
        {
            std::unique_lock lock(mutex);
            if (stopping) return FaultUnlocked(lock, call, status::BadShutdown);
            auto state = StateOf(call, false);
            if (!state || (state->subs.empty() && state->finals.empty()))
                return FaultUnlocked(lock, call, status::BadNoSubscription);
            Parked parked;
            parked.call = call;
            for (const Ack& ack : acks) {
                const auto found = state->subs.find(ack.subscriptionId);
                if (found == state->subs.end())
                    parked.ackResults.push_back(status::BadSubscriptionIdInvalid);
                else
                    parked.ackResults.push_back(found->second->sub->Acknowledge(ack.sequenceNumber)
                                                    ? status::Good
                                                    : status::BadSequenceNumberUnknown);
            }
            for (auto& [id, entry] : state->subs) entry->sub->ResetLifetime();
            if (!state->finals.empty()) {
                Final final = std::move(state->finals.front());
                state->finals.pop_front();
                out.replies.emplace_back(std::move(parked.call), PublishBody(final.subscriptionId, {}, false,
                                                                             final.message, parked.ackResults));
            } else {
                // A subscription that waited for a request is answered now:
                // the highest priority first, then the oldest.
                Entry* late = nullptr;
                for (auto& [id, entry] : state->subs)
                    if (entry->sub->IsLate() && (late == nullptr || entry->sub->Settings().priority >
                                                                        late->sub->Settings().priority))
                        late = entry.get();
                if (late != nullptr) {
                    Answer(*late, std::move(parked), out);
                } else {
                    if (call.header.timeoutHint != 0)
                        parked.deadlineMs = SteadyMs() + static_cast<std::int64_t>(call.header.timeoutHint);
                    if (state->parked.size() >= limits.maxPublishRequestsPerSession) {
                        out.faults.emplace_back(std::move(state->parked.front().call),
                                                status::BadTooManyPublishRequests);
                        state->parked.pop_front();
                    }
                    state->parked.push_back(std::move(parked));
                }
            }
        }
        Poke();
        out.Send();
    }

    void Republish(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        const std::uint32_t sequenceNumber = body.UInt32();
        std::vector<std::uint8_t> message;
        {
            std::unique_lock lock(mutex);
            auto state = StateOf(call, false);
            const auto found = state ? state->subs.find(id) : decltype(state->subs.end()){};
            if (!state || found == state->subs.end()) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            const NotificationMessage* kept = found->second->sub->Retransmission(sequenceNumber);
            if (kept == nullptr) return FaultUnlocked(lock, call, status::BadMessageNotAvailable);
            Writer w;
            WriteNotificationMessage(w, *kept);
            message = w.Take();
        }
        call.Reply([&](Writer& w) { w.Raw(message.data(), message.size()); });
    }

    // The session's state and the subscription, checked; faults the call otherwise.
    std::pair<std::shared_ptr<SessionState>, std::shared_ptr<Entry>> Find(ServiceCall& call, std::uint32_t id) {
        std::lock_guard lock(mutex);
        auto state = StateOf(call, false);
        if (!state) return {};
        const auto found = state->subs.find(id);
        if (found == state->subs.end()) return {};
        return {state, found->second};
    }

    struct Plan {
        StatusCode status = status::Good;
        std::uint32_t itemId = 0;
        bool da = false;
        std::string tag;
        double sampling = 0;
        std::uint32_t queueSize = 1;
        DataChangeFilterSettings filter;
        std::optional<std::size_t> initialRead;   // index into the batch read
        std::optional<std::size_t> dataTypeRead;  // index into the batch read
        std::optional<std::size_t> rangeRead;     // index into the batch read
        double range = 0;                         // the EU range's span, for a percent dead band
        std::uint32_t clientHandle = 0;
    };

    // The node's EURange property, when it has one.
    std::optional<NodeId> EURangeNode(const NodeId& node) const {
        BrowseFilter filter;
        filter.referenceTypeId = NodeId(0, 46);  // HasProperty
        filter.includeSubtypes = false;
        std::vector<ReferenceDescription> references;
        if (IsBad(space.Browse(node, filter, references))) return std::nullopt;
        for (const ReferenceDescription& r : references)
            if (r.browseName.ns == 0 && r.browseName.name == "EURange" && r.nodeId.serverIndex == 0)
                return r.nodeId.node;
        return std::nullopt;
    }

    // Checks what the address space can tell about each item in one read:
    // the first value of items sampled by reads, the data type of items with
    // a dead band and the EU range of those with a percent one.
    void CheckWithRead(Session& session, std::vector<Plan>& plans, const std::vector<ReadValueId>& nodes,
                       std::vector<ReadValueId>& batch, std::vector<DataValue>& values) {
        for (std::size_t i = 0; i < plans.size(); ++i) {
            Plan& p = plans[i];
            if (IsBad(p.status)) continue;
            if (!p.da) {
                p.initialRead = batch.size();
                batch.push_back(nodes[i]);
            }
            if (p.filter.deadbandType == DeadbandType::Percent) {
                // Only an analog item has the EU range a percentage is of.
                if (auto range = EURangeNode(nodes[i].nodeId)) {
                    p.rangeRead = batch.size();
                    ReadValueId value;
                    value.nodeId = *range;
                    batch.push_back(value);
                } else {
                    p.status = status::BadMonitoredItemFilterUnsupported;
                }
            }
            if (p.filter.deadbandType != DeadbandType::None) {
                p.dataTypeRead = batch.size();
                ReadValueId dataType;
                dataType.nodeId = nodes[i].nodeId;
                dataType.attributeId = static_cast<std::uint32_t>(AttributeId::DataType);
                batch.push_back(dataType);
            }
        }
        if (!batch.empty()) values = space.Read(session, batch, TimestampsToReturn::Both, 0);
        values.resize(batch.size());
        for (Plan& p : plans) {
            if (IsBad(p.status)) continue;
            if (p.initialRead) {
                const StatusCode s = values[*p.initialRead].Status();
                if (s == status::BadAttributeIdInvalid || s == status::BadNodeIdUnknown) p.status = s;
            }
            if (!IsBad(p.status) && p.dataTypeRead && !IsNumberType(values[*p.dataTypeRead]))
                p.status = status::BadFilterNotAllowed;
            if (!IsBad(p.status) && p.rangeRead) {
                const auto span = RangeSpan(values[*p.rangeRead]);
                if (span)
                    p.range = *span;
                else
                    p.status = status::BadMonitoredItemFilterUnsupported;
            }
        }
    }

    void CreateMonitoredItems(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        const std::uint32_t timestampsValue = body.UInt32();
        struct Request {
            ReadValueId item;
            std::uint32_t mode = 0;
            RequestedParameters parameters;
        };
        const auto requests = body.Array<Request>(
            [](Reader& r) {
                Request q;
                q.item = ReadReadValueId(r);
                q.mode = r.UInt32();
                q.parameters = ReadParameters(r);
                return q;
            },
            40);
        if (timestampsValue > 3) return void(call.Fault(status::BadTimestampsToReturnInvalid));
        const auto timestamps = static_cast<TimestampsToReturn>(timestampsValue);
        if (!CheckCount(call, requests.size())) return;
        auto [state, entry] = Find(call, id);
        if (!entry) return void(call.Fault(status::BadSubscriptionIdInvalid));

        std::lock_guard ops(state->ops);
        double publishing = 0;
        std::size_t count = 0;
        {
            std::unique_lock lock(mutex);
            if (entry->closed) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            publishing = entry->sub->Settings().publishingInterval;
            count = entry->sub->Items().size();
        }
        std::vector<Plan> plans(requests.size());
        std::vector<ReadValueId> nodes;
        nodes.reserve(requests.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const Request& q = requests[i];
            Plan& p = plans[i];
            nodes.push_back(q.item);
            if (q.mode > 2) {
                p.status = status::BadMonitoringModeInvalid;
            } else if (!ValidAttribute(q.item.attributeId)) {
                p.status = status::BadAttributeIdInvalid;
            } else if (count >= limits.maxMonitoredItemsPerSubscription) {
                p.status = status::BadTooManyMonitoredItems;
            } else {
                p.status = DecodeFilter(q.parameters.filter, q.item.attributeId, p.filter);
            }
            if (IsBad(p.status)) continue;
            // One look-up per item: each searches the configuration.
            auto tag = space.TagItemId(q.item.nodeId);
            if (!tag && !space.Exists(q.item.nodeId)) {
                p.status = status::BadNodeIdUnknown;
                continue;
            }
            ++count;
            if (tag && q.item.attributeId == static_cast<std::uint32_t>(AttributeId::Value) &&
                q.item.indexRange.empty()) {
                p.da = true;
                p.tag = std::move(*tag);
            }
            p.sampling = ReviseSampling(q.parameters.samplingInterval, publishing);
            p.queueSize = ReviseQueue(q.parameters.queueSize);
        }
        std::vector<ReadValueId> batch;
        std::vector<DataValue> values;
        CheckWithRead(*state->session, plans, nodes, batch, values);

        // The items exist (and DA changes find them) before their tags are added.
        std::map<std::uint32_t, std::vector<std::size_t>> byRate;
        {
            std::unique_lock lock(mutex);
            if (entry->closed) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            const std::int64_t now = SteadyMs();
            for (std::size_t i = 0; i < plans.size(); ++i) {
                Plan& p = plans[i];
                if (IsBad(p.status)) continue;
                const Request& q = requests[i];
                MonitoredItemSettings settings;
                settings.clientHandle = q.parameters.clientHandle;
                settings.samplingInterval = p.sampling;
                settings.queueSize = p.queueSize;
                settings.discardOldest = q.parameters.discardOldest;
                settings.filter = p.filter;
                p.itemId = entry->sub->NextItemId();
                auto item = std::make_unique<MonitoredItem>(p.itemId, q.item, static_cast<MonitoringMode>(q.mode),
                                                            timestamps, settings);
                item->SetRange(p.range);
                ItemSource source;
                if (p.da) {
                    source.da = true;
                    source.rate = static_cast<std::uint32_t>(p.sampling);
                    source.clientHandle = p.clientHandle = NewDaHandle();
                    source.tag = p.tag;
                    daItems[source.clientHandle] = {item.get(), id};
                    // A disabled item joins its DA group when it is enabled.
                    if (static_cast<MonitoringMode>(q.mode) != MonitoringMode::Disabled) byRate[source.rate].push_back(i);
                } else {
                    if (p.initialRead) {
                        DataValue first = values[*p.initialRead];
                        if (!first.serverTimestamp) first.serverTimestamp = Now();
                        item->Offer(first);
                    }
                    item->nextSampleMs = now + static_cast<std::int64_t>(p.sampling);
                    entry->polled.insert(p.itemId);
                }
                entry->sources[p.itemId] = source;
                entry->sub->Items()[p.itemId] = std::move(item);
            }
        }
        // DA calls with no lock of ours held.
        std::vector<std::pair<std::size_t, DaItemGroup::Result>> added;
        for (auto& [rate, indices] : byRate) {
            DaItemGroup* group = GroupFor(*state, *entry, rate);
            std::vector<DaItemGroup::Request> daRequests;
            for (std::size_t i : indices)
                daRequests.push_back({plans[i].tag, plans[i].clientHandle, true});
            const auto results = group != nullptr ? group->Add(daRequests)
                                                  : std::vector<DaItemGroup::Result>(indices.size());
            for (std::size_t k = 0; k < indices.size(); ++k) {
                added.emplace_back(indices[k], results[k]);
                if (group != nullptr && results[k].ok) plans[indices[k]].sampling = group->Rate();
                if (group == nullptr) plans[indices[k]].status = status::BadResourceUnavailable;
            }
        }
        {
            std::lock_guard lock(mutex);
            for (auto& [i, result] : added) {
                Plan& p = plans[i];
                if (result.ok && !entry->closed) {
                    entry->sources[p.itemId].serverHandle = result.serverHandle;
                    entry->sources[p.itemId].added = true;
                    continue;
                }
                if (!IsBad(p.status)) p.status = status::BadNodeIdUnknown;
                if (!entry->closed) ForgetItemLocked(*entry, p.itemId);
            }
        }
        DropEmptyGroups(*entry);
        Poke();
        call.Reply([&](Writer& w) {
            w.Array(plans, [](Writer& out, const Plan& p) {
                const bool ok = !IsBad(p.status);
                out.StatusCodeValue(p.status);
                out.UInt32(ok ? p.itemId : 0);
                out.Double(ok ? p.sampling : 0);
                out.UInt32(ok ? p.queueSize : 0);
                out.ExtensionObjectValue(ExtensionObject{});
            });
            WriteNoDiagnostics(w);
        });
    }

    void ModifyMonitoredItems(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        const std::uint32_t timestampsValue = body.UInt32();
        struct Request {
            std::uint32_t itemId = 0;
            RequestedParameters parameters;
        };
        const auto requests = body.Array<Request>(
            [](Reader& r) {
                Request q;
                q.itemId = r.UInt32();
                q.parameters = ReadParameters(r);
                return q;
            },
            24);
        if (timestampsValue > 3) return void(call.Fault(status::BadTimestampsToReturnInvalid));
        const auto timestamps = static_cast<TimestampsToReturn>(timestampsValue);
        if (!CheckCount(call, requests.size())) return;
        auto [state, entry] = Find(call, id);
        if (!entry) return void(call.Fault(status::BadSubscriptionIdInvalid));

        std::lock_guard ops(state->ops);
        std::vector<Plan> plans(requests.size());
        std::vector<ReadValueId> nodes(requests.size());
        std::vector<ItemSource> sources(requests.size());
        {
            std::unique_lock lock(mutex);
            if (entry->closed) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            const double publishing = entry->sub->Settings().publishingInterval;
            for (std::size_t i = 0; i < requests.size(); ++i) {
                Plan& p = plans[i];
                MonitoredItem* item = entry->sub->Item(requests[i].itemId);
                if (item == nullptr) {
                    p.status = status::BadMonitoredItemIdInvalid;
                    continue;
                }
                nodes[i] = item->Item();
                sources[i] = entry->sources[item->Id()];
                p.itemId = item->Id();
                p.da = sources[i].da;
                p.status = DecodeFilter(requests[i].parameters.filter, nodes[i].attributeId, p.filter);
                p.sampling = requests[i].parameters.samplingInterval;
                p.queueSize = ReviseQueue(requests[i].parameters.queueSize);
            }
            for (std::size_t i = 0; i < requests.size(); ++i)
                if (!IsBad(plans[i].status))
                    plans[i].sampling = ReviseSampling(plans[i].sampling, publishing);
        }
        // Only the data type matters here: the items sample already.
        for (Plan& p : plans) p.da = true;
        std::vector<ReadValueId> batch;
        std::vector<DataValue> values;
        CheckWithRead(*state->session, plans, nodes, batch, values);

        // An item of a DA group at another rate moves to the group of its new rate.
        for (std::size_t i = 0; i < plans.size(); ++i) {
            Plan& p = plans[i];
            if (IsBad(p.status) || !sources[i].da) continue;
            const auto rate = static_cast<std::uint32_t>(p.sampling);
            if (rate == sources[i].rate) {
                const auto current = entry->groups.find(rate);
                if (current != entry->groups.end()) p.sampling = current->second->Rate();
                continue;
            }
            const std::uint32_t oldRate = std::exchange(sources[i].rate, rate);
            // A disabled or vanished item is in no group; it joins one when enabled.
            if (!sources[i].added) continue;
            const auto old = entry->groups.find(oldRate);
            if (old != entry->groups.end()) old->second->Remove({sources[i].serverHandle});
            DaItemGroup* group = GroupFor(*state, *entry, rate);
            std::vector<DaItemGroup::Result> result(1);
            if (group != nullptr) result = group->Add({{sources[i].tag, sources[i].clientHandle, true}});
            sources[i].serverHandle = result[0].serverHandle;
            sources[i].added = result[0].ok;
            if (result[0].ok) p.sampling = group->Rate();
            // Without its tag the item learns nothing more; it reports that once.
            if (!result[0].ok) sources[i].gone = true;
        }
        {
            std::lock_guard lock(mutex);
            for (std::size_t i = 0; i < requests.size(); ++i) {
                Plan& p = plans[i];
                if (IsBad(p.status)) continue;
                MonitoredItem* item = entry->closed ? nullptr : entry->sub->Item(p.itemId);
                if (item == nullptr) {
                    p.status = status::BadMonitoredItemIdInvalid;
                    continue;
                }
                MonitoredItemSettings settings = item->Settings();
                settings.clientHandle = requests[i].parameters.clientHandle;
                settings.samplingInterval = p.sampling;
                settings.queueSize = p.queueSize;
                settings.discardOldest = requests[i].parameters.discardOldest;
                settings.filter = p.filter;
                item->Modify(settings, timestamps);
                item->SetRange(p.range);
                if (sources[i].da) {
                    ItemSource& source = entry->sources[p.itemId];
                    source.rate = sources[i].rate;
                    source.serverHandle = sources[i].serverHandle;
                    source.added = sources[i].added;
                    if (sources[i].gone && !source.gone) {
                        source.gone = true;
                        daItems.erase(source.clientHandle);
                        item->OfferStatus(status::BadNodeIdUnknown, Now());
                    }
                }
            }
        }
        DropEmptyGroups(*entry);
        call.Reply([&](Writer& w) {
            w.Array(plans, [](Writer& out, const Plan& p) {
                const bool ok = !IsBad(p.status);
                out.StatusCodeValue(p.status);
                out.Double(ok ? p.sampling : 0);
                out.UInt32(ok ? p.queueSize : 0);
                out.ExtensionObjectValue(ExtensionObject{});
            });
            WriteNoDiagnostics(w);
        });
    }

    void SetMonitoringMode(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        const std::uint32_t modeValue = body.UInt32();
        const auto ids = ReadIds(body);
        if (modeValue > 2) return void(call.Fault(status::BadMonitoringModeInvalid));
        const auto mode = static_cast<MonitoringMode>(modeValue);
        if (!CheckCount(call, ids.size())) return;
        auto [state, entry] = Find(call, id);
        if (!entry) return void(call.Fault(status::BadSubscriptionIdInvalid));

        std::lock_guard ops(state->ops);
        std::vector<StatusCode> results(ids.size(), status::BadMonitoredItemIdInvalid);
        // The DA server polls for every item of an active group, so a disabled
        // item leaves its group (its device need not poll for it) and comes
        // back when enabled.
        struct Readd {
            std::uint32_t itemId;
            DaItemGroup::Request request;
        };
        std::map<std::uint32_t, std::vector<std::uint32_t>> removals;
        std::map<std::uint32_t, std::vector<Readd>> additions;
        {
            std::unique_lock lock(mutex);
            if (entry->closed) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            const std::int64_t now = SteadyMs();
            for (std::size_t i = 0; i < ids.size(); ++i) {
                MonitoredItem* item = entry->sub->Item(ids[i]);
                if (item == nullptr) continue;
                results[i] = status::Good;
                const bool wasOn = item->Mode() != MonitoringMode::Disabled;
                const bool on = mode != MonitoringMode::Disabled;
                item->SetMode(mode);
                ItemSource& source = entry->sources[item->Id()];
                if (wasOn == on) continue;
                if (!source.da) {
                    if (on) item->nextSampleMs = now;
                } else if (!on && source.added) {
                    removals[source.rate].push_back(source.serverHandle);
                    source.added = false;
                } else if (on && !source.added && !source.gone) {
                    additions[source.rate].push_back({item->Id(), {source.tag, source.clientHandle, true}});
                }
            }
        }
        for (auto& [rate, handles] : removals) {
            const auto group = entry->groups.find(rate);
            if (group != entry->groups.end()) group->second->Remove(handles);
        }
        std::vector<std::pair<std::uint32_t, DaItemGroup::Result>> added;
        for (auto& [rate, list] : additions) {
            DaItemGroup* group = GroupFor(*state, *entry, rate);
            std::vector<DaItemGroup::Request> requests;
            for (const Readd& r : list) requests.push_back(r.request);
            const auto addResults = group != nullptr ? group->Add(requests)
                                                     : std::vector<DaItemGroup::Result>(requests.size());
            for (std::size_t k = 0; k < list.size(); ++k) added.emplace_back(list[k].itemId, addResults[k]);
        }
        if (!added.empty()) {
            std::lock_guard lock(mutex);
            for (auto& [itemId, result] : added) {
                MonitoredItem* item = entry->closed ? nullptr : entry->sub->Item(itemId);
                if (item == nullptr) continue;
                ItemSource& source = entry->sources[itemId];
                source.added = result.ok;
                source.serverHandle = result.serverHandle;
                if (!result.ok && !source.gone) {
                    // The tag went away while the item was disabled.
                    source.gone = true;
                    daItems.erase(source.clientHandle);
                    item->OfferStatus(status::BadNodeIdUnknown, Now());
                }
            }
        }
        DropEmptyGroups(*entry);
        Poke();
        call.Reply([&](Writer& w) { WriteStatuses(w, results); });
    }

    void DeleteMonitoredItems(ServiceCall& call, Reader& body) {
        const std::uint32_t id = body.UInt32();
        const auto ids = ReadIds(body);
        if (!CheckCount(call, ids.size())) return;
        auto [state, entry] = Find(call, id);
        if (!entry) return void(call.Fault(status::BadSubscriptionIdInvalid));

        std::lock_guard ops(state->ops);
        std::vector<StatusCode> results(ids.size(), status::BadMonitoredItemIdInvalid);
        std::map<std::uint32_t, std::vector<std::uint32_t>> removed;
        {
            std::unique_lock lock(mutex);
            if (entry->closed) return FaultUnlocked(lock, call, status::BadSubscriptionIdInvalid);
            for (std::size_t i = 0; i < ids.size(); ++i) {
                if (entry->sub->Item(ids[i]) == nullptr) continue;
                const ItemSource source = entry->sources[ids[i]];
                if (source.da && source.added) removed[source.rate].push_back(source.serverHandle);
                ForgetItemLocked(*entry, ids[i]);
                results[i] = status::Good;
            }
        }
        for (auto& [rate, handles] : removed) {
            const auto group = entry->groups.find(rate);
            if (group != entry->groups.end()) group->second->Remove(handles);
        }
        DropEmptyGroups(*entry);
        call.Reply([&](Writer& w) { WriteStatuses(w, results); });
    }

    // ---- the scheduler ----

    struct Sample {
        std::uint32_t subscriptionId;
        std::uint32_t itemId;
    };
    struct SessionReads {
        std::shared_ptr<Session> session;
        std::vector<Sample> samples;
        std::vector<ReadValueId> nodes;
    };
    struct Check {
        std::uint32_t subscriptionId;
        std::uint32_t itemId;
        NodeId node;
        bool exists = true;
    };

    void Poke() {
        {
            std::lock_guard lock(mutex);
            ++pokes;
        }
        wake.notify_all();
    }

    void Run() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::unique_lock lock(mutex);
        while (!stopping) {
            // What to read and check, gathered under the lock.
            std::int64_t now = SteadyMs();
            std::map<const Session*, SessionReads> reads;
            std::vector<Check> checks;
            for (auto& [id, entry] : index) {
                auto state = entry->owner.lock();
                if (!state) continue;
                for (std::uint32_t itemId : entry->polled) {
                    MonitoredItem* item = entry->sub->Item(itemId);
                    if (item == nullptr || item->Mode() == MonitoringMode::Disabled || item->nextSampleMs > now)
                        continue;
                    item->nextSampleMs = now + static_cast<std::int64_t>(item->Settings().samplingInterval);
                    SessionReads& r = reads[state->session.get()];
                    r.session = state->session;
                    r.samples.push_back({id, itemId});
                    r.nodes.push_back(item->Item());
                }
                if (entry->nextCheckMs <= now) {
                    entry->nextCheckMs = now + kExistenceCheckMs;
                    std::size_t looked = 0;
                    auto it = entry->sources.lower_bound(entry->checkCursor);
                    for (; it != entry->sources.end() && looked < kChecksPerRound; ++it) {
                        if (!it->second.da || it->second.gone) continue;
                        checks.push_back({id, it->first, entry->sub->Item(it->first)->Item().nodeId});
                        ++looked;
                    }
                    entry->checkCursor = it != entry->sources.end() ? it->first : 0;
                }
            }
            for (const auto& [subscriptionId, itemId] : rechecks) {
                const auto found = index.find(subscriptionId);
                MonitoredItem* item = found != index.end() ? found->second->sub->Item(itemId) : nullptr;
                if (item != nullptr) checks.push_back({subscriptionId, itemId, item->Item().nodeId});
            }
            rechecks.clear();
            lock.unlock();
            std::vector<std::pair<const SessionReads*, std::vector<DataValue>>> sampled;
            for (auto& [key, r] : reads) {
                try {
                    sampled.emplace_back(&r, space.Read(*r.session, r.nodes, TimestampsToReturn::Both, 0));
                } catch (const std::exception&) {
                    // A read that fails leaves the items' last values; the next interval tries again.
                }
            }
            for (Check& c : checks) c.exists = space.Exists(c.node);
            lock.lock();

            Outbox out;
            const DateTime stamp = Now();
            for (auto& [r, values] : sampled) {
                for (std::size_t i = 0; i < r->samples.size() && i < values.size(); ++i) {
                    const auto found = index.find(r->samples[i].subscriptionId);
                    if (found == index.end()) continue;
                    MonitoredItem* item = found->second->sub->Item(r->samples[i].itemId);
                    if (item == nullptr) continue;
                    if (!values[i].serverTimestamp) values[i].serverTimestamp = stamp;
                    item->Offer(values[i]);
                }
            }
            for (const Check& c : checks) {
                if (c.exists) continue;
                const auto found = index.find(c.subscriptionId);
                if (found == index.end()) continue;
                Entry& entry = *found->second;
                const auto source = entry.sources.find(c.itemId);
                MonitoredItem* item = entry.sub->Item(c.itemId);
                if (source == entry.sources.end() || item == nullptr || source->second.gone) continue;
                source->second.gone = true;
                daItems.erase(source->second.clientHandle);
                item->OfferStatus(status::BadNodeIdUnknown, stamp);
            }

            now = SteadyMs();
            std::int64_t next = now + kMaxWaitMs;
            std::vector<std::shared_ptr<Entry>> expired;
            for (auto& [id, entry] : index) {
                auto state = entry->owner.lock();
                if (!state) continue;
                if (entry->nextPublishMs <= now) {
                    const auto interval = static_cast<std::int64_t>(entry->sub->Settings().publishingInterval);
                    entry->nextPublishMs += interval;
                    if (entry->nextPublishMs <= now) entry->nextPublishMs = now + interval;
                    const auto tick = entry->sub->OnPublishingTimer(!state->parked.empty());
                    if (tick == Subscription::Tick::Expired) {
                        expired.push_back(entry);
                        continue;
                    }
                    if (tick == Subscription::Tick::WantsToSend) {
                        if (auto parked = PopParked(*state))
                            Answer(*entry, std::move(*parked), out);
                        else
                            entry->sub->MarkLate();  // another subscription took the last request
                    }
                }
                next = std::min(next, entry->nextPublishMs);
                for (std::uint32_t itemId : entry->polled) {
                    const MonitoredItem* item = entry->sub->Item(itemId);
                    if (item != nullptr && item->Mode() != MonitoringMode::Disabled)
                        next = std::min(next, item->nextSampleMs);
                }
            }
            for (auto& entry : expired) {
                auto state = entry->owner.lock();
                state->finals.push_back({entry->sub->Id(), entry->sub->ProduceStatusChange(status::BadTimeout, Now())});
                RemoveEntryLocked(*state, entry);
                out.dying.emplace_back(state, entry);
            }
            // Publish requests the client stopped waiting for.
            for (auto& [key, state] : sessions) {
                for (auto it = state->parked.begin(); it != state->parked.end();) {
                    if (it->deadlineMs != 0 && it->deadlineMs <= now) {
                        out.faults.emplace_back(std::move(it->call), status::BadTimeout);
                        it = state->parked.erase(it);
                    } else {
                        if (it->deadlineMs != 0) next = std::min(next, it->deadlineMs);
                        ++it;
                    }
                }
            }
            const std::uint64_t seen = pokes;
            lock.unlock();
            out.Send();
            for (auto& [state, entry] : out.dying) {
                std::lock_guard ops(state->ops);
                EndGroups(*entry);
            }
            out.dying.clear();
            lock.lock();
            if (stopping) break;
            const std::int64_t wait = std::max<std::int64_t>(0, next - SteadyMs());
            if (wait > 0)
                wake.wait_for(lock, std::chrono::milliseconds(wait), [&] { return stopping || pokes != seen; });
        }
        lock.unlock();
        CoUninitialize();
    }

    void EndSession(Session& session, StatusCode answer) {
        std::shared_ptr<SessionState> state;
        {
            std::lock_guard lock(mutex);
            const auto found = sessions.find(&session);
            if (found == sessions.end()) return;
            state = found->second;
            sessions.erase(found);
        }
        Outbox out;
        {
            std::lock_guard ops(state->ops);
            {
                std::lock_guard lock(mutex);
                EndAllLocked(*state, answer, out);
            }
            for (auto& [unused, entry] : out.dying) EndGroups(*entry);
        }
        out.Send();
    }

    void Stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        Poke();
        if (scheduler.joinable()) scheduler.join();
        std::vector<std::shared_ptr<SessionState>> all;
        {
            std::lock_guard lock(mutex);
            for (auto& [key, state] : sessions) all.push_back(state);
        }
        for (auto& state : all) EndSession(*state->session, status::BadShutdown);
    }
};

SubscriptionService::SubscriptionService(AddressSpace& addressSpace, SubscriptionLimits limits)
    : impl_(std::make_shared<Impl>(addressSpace, limits)) {
    impl_->scheduler = std::thread([impl = impl_.get()] { impl->Run(); });
}

SubscriptionService::~SubscriptionService() { Stop(); }

void SubscriptionService::Register(ServiceTable& table) {
    using Method = void (Impl::*)(ServiceCall&, Reader&);
    const std::pair<std::uint32_t, Method> services[] = {
        {encoding::CreateSubscriptionRequest, &Impl::CreateSubscription},
        {encoding::ModifySubscriptionRequest, &Impl::ModifySubscription},
        {encoding::SetPublishingModeRequest, &Impl::SetPublishingMode},
        {encoding::DeleteSubscriptionsRequest, &Impl::DeleteSubscriptions},
        {encoding::PublishRequest, &Impl::Publish},
        {encoding::RepublishRequest, &Impl::Republish},
        {encoding::CreateMonitoredItemsRequest, &Impl::CreateMonitoredItems},
        {encoding::ModifyMonitoredItemsRequest, &Impl::ModifyMonitoredItems},
        {encoding::SetMonitoringModeRequest, &Impl::SetMonitoringMode},
        {encoding::DeleteMonitoredItemsRequest, &Impl::DeleteMonitoredItems},
    };
    std::weak_ptr<Impl> weak = impl_;
    for (const auto& [type, method] : services) {
        table.Register(type, ServiceTable::Needs::ActivatedSession, [weak, method = method](ServiceCall& call, Reader& body) {
            const auto impl = weak.lock();
            if (!impl) return void(call.Fault(status::BadShutdown));
            try {
                (impl.get()->*method)(call, body);
            } catch (const DecodeError& e) {
                call.Fault(e.Code());
            } catch (const std::bad_alloc&) {
                call.Fault(status::BadOutOfMemory);
            } catch (const std::exception&) {
                // Whatever failed below (the address space, the DA objects)
                // fails this request only.
                call.Fault(status::BadInternalError);
            }
        });
    }
}

void SubscriptionService::OnSessionEnd(Session& session, bool /*deleteSubscriptions*/) {
    impl_->EndSession(session, status::BadSessionClosed);
}

void SubscriptionService::Stop() { impl_->Stop(); }

SubscriptionService::Counts SubscriptionService::GetCounts() const {
    Counts counts;
    std::lock_guard lock(impl_->mutex);
    counts.sessions = impl_->sessions.size();
    counts.subscriptions = impl_->index.size();
    for (const auto& [id, entry] : impl_->index) counts.monitoredItems += entry->sub->Items().size();
    for (const auto& [key, state] : impl_->sessions) counts.parkedPublishRequests += state->parked.size();
    counts.daGroups = impl_->daGroups.load();
    return counts;
}

}  // namespace ua
