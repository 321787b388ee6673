#pragma once
// One monitored item of a subscription: what it watches, how its samples are
// filtered (the data-change trigger and dead band) and the queue of values
// waiting for the next notification message. It knows nothing of where the
// samples come from (a DA group's changes or reads of the address space).

#include "AddressSpace.h"
#include "ua/Types.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace ua {

enum class MonitoringMode : std::uint32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class DataChangeTrigger : std::uint32_t { Status = 0, StatusValue = 1, StatusValueTimestamp = 2 };
enum class DeadbandType : std::uint32_t { None = 0, Absolute = 1, Percent = 2 };

struct DataChangeFilterSettings {
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    DeadbandType deadbandType = DeadbandType::None;
    // Absolute: in the value's units; Percent: of the EU range's span.
    double deadbandValue = 0;
};

struct MonitoredItemSettings {
    std::uint32_t clientHandle = 0;
    double samplingInterval = 0;  // ms, already revised
    std::uint32_t queueSize = 1;  // already revised, at least 1
    bool discardOldest = true;
    DataChangeFilterSettings filter;
};

// What a notification message carries for one item.
struct ItemNotification {
    std::uint32_t clientHandle = 0;
    DataValue value;
};

// The InfoBits a lost value leaves on the value after it: info type DataValue
// and the overflow flag.
constexpr StatusCode kOverflowInfoBits = 0x0400 | 0x0080;

class MonitoredItem {
public:
    MonitoredItem(std::uint32_t id, ReadValueId item, MonitoringMode mode, TimestampsToReturn timestamps,
                  MonitoredItemSettings settings);

    std::uint32_t Id() const { return id_; }
    const ReadValueId& Item() const { return item_; }
    MonitoringMode Mode() const { return mode_; }
    TimestampsToReturn Timestamps() const { return timestamps_; }
    const MonitoredItemSettings& Settings() const { return settings_; }

    // New parameters; values already queued stay, the oldest (or newest, as
    // the discard policy says) leaving when the queue shrinks.
    void Modify(const MonitoredItemSettings& settings, TimestampsToReturn timestamps);
    // Disabling drops the queue; an item that samples again reports its
    // first sample whatever the filter says, as after creation.
    void SetMode(MonitoringMode mode);

    // The span (high - low) of the item's EU range, for a percent dead band.
    void SetRange(double span) { range_ = span; }

    // A new sample (both time stamps set). Queued when the item samples and
    // the sample passes the filter against the last one queued; the first
    // sample always passes. Returns whether it was queued.
    bool Offer(const DataValue& sample);
    // A status the item reports once (the node went away): queued whatever
    // the filter, unless the last value queued already carried it.
    bool OfferStatus(StatusCode status, DateTime now);

    bool HasNotifications() const { return mode_ == MonitoringMode::Reporting && !queue_.empty(); }
    std::size_t QueuedCount() const { return queue_.size(); }
    // Moves up to max queued values (0: all) to out, oldest first.
    std::size_t Take(std::vector<ItemNotification>& out, std::size_t max);

    // Whether next differs from last enough to be reported under the filter
    // (range: the EU span for a percent dead band).
    static bool Passes(const DataChangeFilterSettings& filter, const DataValue& last, const DataValue& next,
                       double range);

    // For items sampled by reads: when the next sample is due (steady ms).
    std::int64_t nextSampleMs = 0;

private:
    void Enqueue(DataValue value);
    DataValue Stamped(const DataValue& sample) const;

    std::uint32_t id_;
    ReadValueId item_;
    MonitoringMode mode_;
    TimestampsToReturn timestamps_;
    MonitoredItemSettings settings_;
    double range_ = 0;
    // The last sample that passed the filter, with both time stamps.
    std::optional<DataValue> last_;
    std::deque<DataValue> queue_;
};

// Whether the variant holds numbers only (a scalar or an array), the values a
// dead band can apply to.
bool IsNumeric(const Variant& value);

}  // namespace ua
