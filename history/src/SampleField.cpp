#include "history/SampleField.h"

#include "model/VOKDevice.h"

#include <cstdio>

namespace history {

namespace {

using Kind = SampleFieldKind;

// Bin-indexed fields: the first slot of the 32 and the kind.
struct BinRange {
    std::int32_t first;
    Kind kind;
};
constexpr BinRange kBinRanges[] = {
    {VOKDevice::kSlotCumulativeRaw, Kind::CumulativeRaw},
    {VOKDevice::kSlotCumulativeNormalized, Kind::CumulativeNormalized},
    {VOKDevice::kSlotDifferentialRaw, Kind::DifferentialRaw},
    {VOKDevice::kSlotDifferentialNormalized, Kind::DifferentialNormalized},
};

}  // namespace

std::optional<SampleField> FieldOfSlot(std::int32_t slot) {
    for (const BinRange& range : kBinRanges)
        if (slot >= range.first && slot < range.first + VOKDevice::kMaxBins) return SampleField{range.kind, slot - range.first};
    if (slot >= VOKDevice::kSlotAnalogInput && slot < VOKDevice::kSlotAnalogInput + VOKDevice::kAnalogInputs)
        return SampleField{Kind::Analog, slot - VOKDevice::kSlotAnalogInput};
    switch (slot) {
    case VOKDevice::kSlotTotalRaw: return SampleField{Kind::TotalRaw};
    case VOKDevice::kSlotTotalNormalized: return SampleField{Kind::TotalNormalized};
    case VOKDevice::kSlotFlowLevel: return SampleField{Kind::FlowLevel};
    case VOKDevice::kSlotCommStatus: return SampleField{Kind::CommStatus};
    case VOKDevice::kSlotCounterAlarm: return SampleField{Kind::CounterAlarm};
    case VOKDevice::kSlotCalibrationAlarm: return SampleField{Kind::CalibrationAlarm};
    case VOKDevice::kSlotCountAlarm: return SampleField{Kind::CountAlarm};
    case VOKDevice::kSlotAnalogAlarm: return SampleField{Kind::AnalogAlarm};
    case VOKDevice::kSlotCommAlarm: return SampleField{Kind::CommAlarm};
    case VOKDevice::kSlotConcentrationAlarm: return SampleField{Kind::ConcentrationAlarm};
    default: return std::nullopt;
    }
}

std::optional<double> FieldValue(const SampleRecord& sample, const SampleField& field) {
    const auto bin = static_cast<std::size_t>(field.index);
    const bool hasBin = field.index >= 0 && bin < sample.BinCount();
    switch (field.kind) {
    case Kind::CumulativeRaw: return hasBin ? std::optional<double>(sample.cumulativeRaw[bin]) : std::nullopt;
    case Kind::CumulativeNormalized: return hasBin ? std::optional<double>(sample.CumulativeNormalized(bin)) : std::nullopt;
    case Kind::DifferentialRaw: return hasBin ? std::optional<double>(sample.DifferentialRaw(bin)) : std::nullopt;
    case Kind::DifferentialNormalized:
        return hasBin ? std::optional<double>(sample.DifferentialNormalized(bin)) : std::nullopt;
    case Kind::TotalRaw: return sample.BinCount() != 0 ? std::optional<double>(sample.TotalRaw()) : std::nullopt;
    case Kind::TotalNormalized: return sample.BinCount() != 0 ? std::optional<double>(sample.TotalNormalized()) : std::nullopt;
    case Kind::Analog:
        return field.index >= 0 && bin < sample.analog.size() ? sample.analog[bin] : std::nullopt;
    case Kind::FlowLevel: return sample.flow;
    case Kind::CommStatus: return sample.commStatus;
    case Kind::CounterAlarm: return sample.CounterAlarm() ? 1.0 : 0.0;
    case Kind::CalibrationAlarm: return sample.CalibrationAlarm() ? 1.0 : 0.0;
    case Kind::CountAlarm: return sample.CountAlarm() ? 1.0 : 0.0;
    case Kind::AnalogAlarm: return sample.AnalogAlarm() ? 1.0 : 0.0;
    case Kind::CommAlarm: return sample.CommAlarm() ? 1.0 : 0.0;
    case Kind::ConcentrationAlarm: return sample.ConcentrationAlarm() ? 1.0 : 0.0;
    }
    return std::nullopt;
}

bool FieldIsInteger(const SampleField& field) {
    return field.kind == Kind::CumulativeRaw || field.kind == Kind::DifferentialRaw || field.kind == Kind::TotalRaw ||
           field.kind == Kind::CommStatus;
}

bool FieldIsBoolean(const SampleField& field) {
    switch (field.kind) {
    case Kind::CounterAlarm:
    case Kind::CalibrationAlarm:
    case Kind::CountAlarm:
    case Kind::AnalogAlarm:
    case Kind::CommAlarm:
    case Kind::ConcentrationAlarm: return true;
    default: return false;
    }
}

std::string FieldTitle(const SampleField& field) {
    char bin[64];
    const int number = field.index + 1;
    switch (field.kind) {
    case Kind::CumulativeRaw: std::snprintf(bin, sizeof bin, "Cumulative Raw Count Bin %02d", number); return bin;
    case Kind::CumulativeNormalized:
        std::snprintf(bin, sizeof bin, "Cumulative Normalized Count Bin %02d", number);
        return bin;
    case Kind::DifferentialRaw: std::snprintf(bin, sizeof bin, "Differential Raw Count Bin %02d", number); return bin;
    case Kind::DifferentialNormalized:
        std::snprintf(bin, sizeof bin, "Differential Normalized Count Bin %02d", number);
        return bin;
    case Kind::TotalRaw: return "Total Raw Count";
    case Kind::TotalNormalized: return "Total Normalized Count";
    case Kind::Analog: std::snprintf(bin, sizeof bin, "Analog Input %d", number); return bin;
    case Kind::FlowLevel: return "Flow Level";
    case Kind::CommStatus: return "Comm Status";
    case Kind::CounterAlarm: return "Counter Alarm";
    case Kind::CalibrationAlarm: return "Calibration Alarm";
    case Kind::CountAlarm: return "Count Alarm";
    case Kind::AnalogAlarm: return "Analog Alarm";
    case Kind::CommAlarm: return "Comm Alarm";
    case Kind::ConcentrationAlarm: return "Concentration Alarm";
    }
    return "Value";
}

}  // namespace history
