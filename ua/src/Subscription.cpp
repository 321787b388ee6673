#include "Subscription.h"

#include "Messages.h"

#include <algorithm>
#include <cmath>

namespace ua {

Subscription::Parameters Subscription::Revise(Parameters requested, const SubscriptionLimits& limits) {
    Parameters out = requested;
    // Zero, negative and NaN ask for the fastest the server offers.
    if (!(requested.publishingInterval >= limits.minPublishingInterval))
        out.publishingInterval = limits.minPublishingInterval;
    else if (requested.publishingInterval > limits.maxPublishingInterval)
        out.publishingInterval = limits.maxPublishingInterval;
    out.maxKeepAliveCount = std::clamp<std::uint32_t>(requested.maxKeepAliveCount, 1, limits.maxKeepAliveCount);
    const std::uint32_t minLifetime = out.maxKeepAliveCount * 3;
    out.lifetimeCount =
        std::clamp<std::uint32_t>(requested.lifetimeCount, minLifetime, std::max(minLifetime, limits.maxLifetimeCount));
    if (out.maxNotificationsPerPublish == 0 || out.maxNotificationsPerPublish > limits.maxNotificationsPerMessage)
        out.maxNotificationsPerPublish = limits.maxNotificationsPerMessage;
    return out;
}

Subscription::Subscription(std::uint32_t id, const Parameters& revised, const SubscriptionLimits& limits)
    : id_(id), parameters_(revised), limits_(limits) {
    // The first publishing interval answers at once with notifications or a
    // keep-alive, so the client learns early that the subscription runs.
    keepAliveCounter_ = parameters_.maxKeepAliveCount;
}

void Subscription::Modify(const Parameters& revised) {
    const bool enabled = parameters_.publishingEnabled;
    parameters_ = revised;
    parameters_.publishingEnabled = enabled;
    lifetimeCounter_ = 0;
    keepAliveCounter_ = std::min(keepAliveCounter_, parameters_.maxKeepAliveCount);
}

MonitoredItem* Subscription::Item(std::uint32_t id) {
    const auto found = items_.find(id);
    return found != items_.end() ? found->second.get() : nullptr;
}

bool Subscription::HasNotifications() const {
    if (!parameters_.publishingEnabled) return false;
    for (const auto& [id, item] : items_)
        if (item->HasNotifications()) return true;
    return false;
}

Subscription::Tick Subscription::OnPublishingTimer(bool requestWaiting) {
    if (requestWaiting) {
        lifetimeCounter_ = 0;
    } else if (++lifetimeCounter_ >= parameters_.lifetimeCount) {
        return Tick::Expired;
    }
    if (late_) return Tick::WantsToSend;
    if (HasNotifications()) {
        late_ = !requestWaiting;
        return Tick::WantsToSend;
    }
    if (++keepAliveCounter_ >= parameters_.maxKeepAliveCount) {
        late_ = !requestWaiting;
        return Tick::WantsToSend;
    }
    return Tick::Idle;
}

std::uint32_t Subscription::NextSequenceNumber() {
    const std::uint32_t number = sequenceNumber_;
    // Sequence numbers wrap to 1, never 0.
    sequenceNumber_ = sequenceNumber_ == 0xFFFFFFFFu ? 1 : sequenceNumber_ + 1;
    return number;
}

Subscription::Outgoing Subscription::Produce(DateTime now) {
    Outgoing out;
    out.message.publishTime = now;
    keepAliveCounter_ = 0;
    late_ = false;
    if (!HasNotifications()) {
        out.message.sequenceNumber = sequenceNumber_;
        return out;
    }
    std::vector<ItemNotification> taken;
    const std::size_t max = parameters_.maxNotificationsPerPublish;
    for (auto& [id, item] : items_) {
        if (item->Mode() != MonitoringMode::Reporting) continue;
        item->Take(taken, max - taken.size());
        if (taken.size() >= max) break;
    }
    out.message.sequenceNumber = NextSequenceNumber();
    out.message.notificationData.push_back(EncodeDataChangeNotification(taken));
    out.moreNotifications = HasNotifications();
    // What is left goes to the next Publish request without waiting for the timer.
    late_ = out.moreNotifications;
    retransmission_.push_back(out.message);
    while (retransmission_.size() > limits_.retransmissionQueueSize) retransmission_.pop_front();
    return out;
}

NotificationMessage Subscription::ProduceStatusChange(StatusCode status, DateTime now) {
    NotificationMessage message;
    message.sequenceNumber = NextSequenceNumber();
    message.publishTime = now;
    message.notificationData.push_back(EncodeStatusChangeNotification(status));
    return message;
}

bool Subscription::Acknowledge(std::uint32_t sequenceNumber) {
    const auto found = std::find_if(retransmission_.begin(), retransmission_.end(),
                                    [&](const NotificationMessage& m) { return m.sequenceNumber == sequenceNumber; });
    if (found == retransmission_.end()) return false;
    retransmission_.erase(found);
    return true;
}

const NotificationMessage* Subscription::Retransmission(std::uint32_t sequenceNumber) const {
    for (const NotificationMessage& m : retransmission_)
        if (m.sequenceNumber == sequenceNumber) return &m;
    return nullptr;
}

std::vector<std::uint32_t> Subscription::AvailableSequenceNumbers() const {
    std::vector<std::uint32_t> out;
    out.reserve(retransmission_.size());
    for (const NotificationMessage& m : retransmission_) out.push_back(m.sequenceNumber);
    return out;
}

ExtensionObject EncodeDataChangeNotification(const std::vector<ItemNotification>& items) {
    return EncodeExtensionObject(encoding::DataChangeNotification, [&](Writer& w) {
        w.Array(items, [](Writer& out, const ItemNotification& item) {
            out.UInt32(item.clientHandle);
            out.DataValueValue(item.value);
        });
        WriteNoDiagnostics(w);
    });
}

ExtensionObject EncodeStatusChangeNotification(StatusCode status) {
    return EncodeExtensionObject(encoding::StatusChangeNotification, [&](Writer& w) {
        w.StatusCodeValue(status);
        w.DiagnosticInfoValue(DiagnosticInfo{});
    });
}

void WriteNotificationMessage(Writer& writer, const NotificationMessage& message) {
    writer.UInt32(message.sequenceNumber);
    writer.DateTimeValue(message.publishTime);
    writer.Array(message.notificationData,
                 [](Writer& out, const ExtensionObject& data) { out.ExtensionObjectValue(data); });
}

}  // namespace ua
