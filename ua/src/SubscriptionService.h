#pragma once
// The subscription and monitored-item services: sessions' subscriptions,
// their publishing cycles on one scheduler thread, the Publish requests each
// session parks until a subscription has something to say, and the sampling
// of monitored items (tags through DA groups of the session's own OPCServer,
// other nodes by reading the address space at their sampling interval).

#include "AddressSpace.h"
#include "ServiceCall.h"
#include "Subscription.h"

#include <cstddef>
#include <memory>

namespace ua {

class Session;

class SubscriptionService {
public:
    explicit SubscriptionService(AddressSpace& addressSpace, SubscriptionLimits limits = {});
    // Stops, as Stop().
    ~SubscriptionService();
    SubscriptionService(const SubscriptionService&) = delete;
    SubscriptionService& operator=(const SubscriptionService&) = delete;

    // CreateSubscription, ModifySubscription, SetPublishingMode,
    // DeleteSubscriptions, Publish, Republish, CreateMonitoredItems,
    // ModifyMonitoredItems, SetMonitoringMode and DeleteMonitoredItems, each
    // for activated sessions. SetTriggering and TransferSubscriptions are not
    // offered.
    void Register(ServiceTable& table);

    // The session ends (closed, timed out, its channel gone): its parked
    // Publish requests are answered with Bad_SessionClosed and its
    // subscriptions end with their DA groups. This server does not transfer
    // subscriptions between sessions, so they end whatever
    // deleteSubscriptions says. Call it on a thread in the COM apartment
    // before the session lets its OPCServer go.
    void OnSessionEnd(Session& session, bool deleteSubscriptions);

    // Ends the scheduler and every subscription; parked Publish requests are
    // answered with Bad_Shutdown. Further requests are refused the same way.
    void Stop();

    struct Counts {
        std::size_t sessions = 0;
        std::size_t subscriptions = 0;
        std::size_t monitoredItems = 0;
        std::size_t parkedPublishRequests = 0;
        std::size_t daGroups = 0;
    };
    Counts GetCounts() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace ua
