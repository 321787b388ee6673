#pragma once
// One subscription of a session: its publishing parameters, its monitored
// items, the keep-alive and lifetime counters of its publishing cycle, the
// sequence numbers it hands out and the messages kept for retransmission.
// Not thread-safe: the subscription service holds its lock around every call.

#include "MonitoredItem.h"
#include "ua/Binary.h"
#include "ua/Types.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace ua {

// What the server allows, in one place: the counts bound the memory a client
// can make the server hold.
struct SubscriptionLimits {
    std::size_t maxSubscriptionsPerSession = 10;
    std::size_t maxMonitoredItemsPerSubscription = 10000;
    std::size_t maxPublishRequestsPerSession = 20;
    std::uint32_t maxQueueSize = 100;
    // Messages kept per subscription for Republish.
    std::size_t retransmissionQueueSize = 10;
    // Notifications in one message when the client sets no limit.
    std::uint32_t maxNotificationsPerMessage = 10000;
    double minPublishingInterval = 50;
    double maxPublishingInterval = 3'600'000;
    // The fastest rate the DA groups run at.
    double minSamplingInterval = 50;
    double maxSamplingInterval = 3'600'000;
    std::uint32_t maxKeepAliveCount = 10000;
    std::uint32_t maxLifetimeCount = 100000;
    // Operations in one request (items, ids, acknowledgements).
    std::size_t maxOperationsPerRequest = 10000;
};
inline constexpr SubscriptionLimits kDefaultSubscriptionLimits{};

struct NotificationMessage {
    std::uint32_t sequenceNumber = 0;
    DateTime publishTime = 0;
    std::vector<ExtensionObject> notificationData;
};

class Subscription {
public:
    struct Parameters {
        double publishingInterval = 0;
        std::uint32_t lifetimeCount = 0;
        std::uint32_t maxKeepAliveCount = 0;
        std::uint32_t maxNotificationsPerPublish = 0;
        std::uint8_t priority = 0;
        bool publishingEnabled = true;
    };
    // The parameters the server runs with: the interval into the allowed
    // range (zero, negative or NaN: the fastest), a keep-alive count of at
    // least one, a lifetime of at least three keep-alive periods.
    static Parameters Revise(Parameters requested, const SubscriptionLimits& limits);

    Subscription(std::uint32_t id, const Parameters& revised, const SubscriptionLimits& limits);

    std::uint32_t Id() const { return id_; }
    const Parameters& Settings() const { return parameters_; }
    // New parameters (revised); the counters restart.
    void Modify(const Parameters& revised);
    void SetPublishingEnabled(bool enabled) { parameters_.publishingEnabled = enabled; }

    // Monitored items by id.
    std::map<std::uint32_t, std::unique_ptr<MonitoredItem>>& Items() { return items_; }
    MonitoredItem* Item(std::uint32_t id);
    std::uint32_t NextItemId() { return nextItemId_++; }

    enum class Tick { Idle, WantsToSend, Expired };
    // One publishing interval passed. requestWaiting: the session has a
    // Publish request parked. WantsToSend: notifications are queued or a
    // keep-alive is due; the caller answers a request with Produce() or,
    // with none, the subscription waits ("late") for the next one.
    Tick OnPublishingTimer(bool requestWaiting);
    // Whether a Publish request that arrives now should be answered at once.
    bool IsLate() const { return late_; }
    // It wanted to send but found no request: the next one is for it.
    void MarkLate() { late_ = true; }
    // A Publish request came in for the session.
    void ResetLifetime() { lifetimeCounter_ = 0; }

    struct Outgoing {
        NotificationMessage message;
        bool moreNotifications = false;
    };
    // The message for a Publish response: the queued notifications (up to
    // the per-publish limit) under the next sequence number, kept for
    // retransmission; or a keep-alive that carries the next sequence number
    // without using it.
    Outgoing Produce(DateTime now);
    // The last message of an expired subscription: a status change.
    NotificationMessage ProduceStatusChange(StatusCode status, DateTime now);

    // Removes an acknowledged message; false when it is not kept.
    bool Acknowledge(std::uint32_t sequenceNumber);
    const NotificationMessage* Retransmission(std::uint32_t sequenceNumber) const;
    std::vector<std::uint32_t> AvailableSequenceNumbers() const;

    bool HasNotifications() const;

private:
    std::uint32_t NextSequenceNumber();

    std::uint32_t id_;
    Parameters parameters_;
    SubscriptionLimits limits_;
    std::map<std::uint32_t, std::unique_ptr<MonitoredItem>> items_;
    std::uint32_t nextItemId_ = 1;
    std::uint32_t sequenceNumber_ = 1;
    std::uint32_t keepAliveCounter_ = 0;
    std::uint32_t lifetimeCounter_ = 0;
    bool late_ = false;
    std::deque<NotificationMessage> retransmission_;
};

// The DataChangeNotification structure of these notifications, in an ExtensionObject.
ExtensionObject EncodeDataChangeNotification(const std::vector<ItemNotification>& items);
ExtensionObject EncodeStatusChangeNotification(StatusCode status);
void WriteNotificationMessage(Writer& writer, const NotificationMessage& message);

}  // namespace ua
