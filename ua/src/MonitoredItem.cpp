#include "MonitoredItem.h"

#include <cmath>
#include <utility>

namespace ua {

namespace {

bool IsNumericType(BuiltinType type) {
    switch (type) {
    case BuiltinType::SByte:
    case BuiltinType::Byte:
    case BuiltinType::Int16:
    case BuiltinType::UInt16:
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Float:
    case BuiltinType::Double:
        return true;
    default:
        return false;
    }
}

std::optional<double> AsDouble(const VariantValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&value)) return static_cast<double>(*u);
    if (const auto* d = std::get_if<double>(&value)) return *d;
    return std::nullopt;
}

// Whether any element moved by more than the band; values of another shape
// or kind always count as a change.
bool ExceedsDeadband(const Variant& last, const Variant& next, double band) {
    if (!IsNumeric(last) || !IsNumeric(next) || last.values.size() != next.values.size() ||
        last.isArray != next.isArray)
        return !(last == next);
    for (std::size_t i = 0; i < next.values.size(); ++i) {
        const auto a = AsDouble(last.values[i]);
        const auto b = AsDouble(next.values[i]);
        if (!a || !b) return true;
        // A NaN on either side is a change unless both are NaN.
        if (std::isnan(*a) || std::isnan(*b)) {
            if (std::isnan(*a) != std::isnan(*b)) return true;
            continue;
        }
        if (std::fabs(*a - *b) > band) return true;
    }
    return false;
}

bool SameValue(const std::optional<Variant>& a, const std::optional<Variant>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || *a == *b;
}

}  // namespace

bool IsNumeric(const Variant& value) {
    if (!IsNumericType(value.type)) return false;
    return value.isArray || value.values.size() == 1;
}

MonitoredItem::MonitoredItem(std::uint32_t id, ReadValueId item, MonitoringMode mode, TimestampsToReturn timestamps,
                             MonitoredItemSettings settings)
    : id_(id), item_(std::move(item)), mode_(mode), timestamps_(timestamps), settings_(settings) {
    if (settings_.queueSize == 0) settings_.queueSize = 1;
}

void MonitoredItem::Modify(const MonitoredItemSettings& settings, TimestampsToReturn timestamps) {
    settings_ = settings;
    if (settings_.queueSize == 0) settings_.queueSize = 1;
    timestamps_ = timestamps;
    while (queue_.size() > settings_.queueSize) {
        if (settings_.discardOldest)
            queue_.pop_front();
        else
            queue_.pop_back();
    }
}

void MonitoredItem::SetMode(MonitoringMode mode) {
    if (mode == mode_) return;
    if (mode == MonitoringMode::Disabled) queue_.clear();
    if (mode_ == MonitoringMode::Disabled) last_.reset();
    mode_ = mode;
}

bool MonitoredItem::Passes(const DataChangeFilterSettings& filter, const DataValue& last, const DataValue& next,
                           double range) {
    if (last.Status() != next.Status()) return true;
    if (filter.trigger == DataChangeTrigger::Status) return false;
    bool valueChanged = false;
    if (filter.deadbandType == DeadbandType::None || !last.value || !next.value) {
        valueChanged = !SameValue(last.value, next.value);
    } else {
        const double band = filter.deadbandType == DeadbandType::Absolute ? filter.deadbandValue
                                                                           : filter.deadbandValue / 100.0 * range;
        valueChanged = ExceedsDeadband(*last.value, *next.value, band);
    }
    if (valueChanged) return true;
    return filter.trigger == DataChangeTrigger::StatusValueTimestamp && last.sourceTimestamp != next.sourceTimestamp;
}

DataValue MonitoredItem::Stamped(const DataValue& sample) const {
    DataValue out = sample;
    const bool source = timestamps_ == TimestampsToReturn::Source || timestamps_ == TimestampsToReturn::Both;
    const bool server = timestamps_ == TimestampsToReturn::Server || timestamps_ == TimestampsToReturn::Both;
    if (!source) {
        out.sourceTimestamp.reset();
        out.sourcePicoseconds.reset();
    }
    if (!server) {
        out.serverTimestamp.reset();
        out.serverPicoseconds.reset();
    }
    return out;
}

bool MonitoredItem::Offer(const DataValue& sample) {
    if (mode_ == MonitoringMode::Disabled) return false;
    if (last_ && !Passes(settings_.filter, *last_, sample, range_)) return false;
    last_ = sample;
    Enqueue(Stamped(sample));
    return true;
}

bool MonitoredItem::OfferStatus(StatusCode status, DateTime now) {
    if (mode_ == MonitoringMode::Disabled) return false;
    if (last_ && last_->Status() == status) return false;
    DataValue value;
    value.status = status;
    value.serverTimestamp = now;
    last_ = value;
    Enqueue(Stamped(value));
    return true;
}

void MonitoredItem::Enqueue(DataValue value) {
    if (queue_.size() < settings_.queueSize) {
        queue_.push_back(std::move(value));
        return;
    }
    // The queue is full. One value: it always holds the newest, without a flag.
    if (settings_.queueSize == 1) {
        queue_.back() = std::move(value);
        return;
    }
    if (settings_.discardOldest) {
        queue_.pop_front();
        queue_.push_back(std::move(value));
        // The value after the lost one says values were lost before it.
        queue_.front().status = queue_.front().Status() | kOverflowInfoBits;
    } else {
        value.status = value.Status() | kOverflowInfoBits;
        queue_.back() = std::move(value);
    }
}

std::size_t MonitoredItem::Take(std::vector<ItemNotification>& out, std::size_t max) {
    std::size_t taken = 0;
    while (!queue_.empty() && (max == 0 || taken < max)) {
        out.push_back({settings_.clientHandle, std::move(queue_.front())});
        queue_.pop_front();
        ++taken;
    }
    return taken;
}

}  // namespace ua
