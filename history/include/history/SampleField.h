#pragma once
// Which value of a stored sample a device tag carries: how OPC UA HistoryRead
// and the trend view find a tag's past values. Tags the history does not keep
// (bin sizes, configuration, in-service switches) have no field.

#include "model/SampleRecord.h"

#include <cstdint>
#include <optional>
#include <string>

namespace history {

enum class SampleFieldKind {
    CumulativeRaw,          // index: bin
    CumulativeNormalized,   // index: bin
    DifferentialRaw,        // index: bin
    DifferentialNormalized, // index: bin
    TotalRaw,
    TotalNormalized,
    Analog,                 // index: input 0..7
    FlowLevel,
    CommStatus,
    CounterAlarm,
    CalibrationAlarm,
    CountAlarm,
    AnalogAlarm,
    CommAlarm,
    ConcentrationAlarm,
};

struct SampleField {
    SampleFieldKind kind = SampleFieldKind::CumulativeRaw;
    int index = 0;
    bool operator==(const SampleField&) const = default;
};

// The field of a counter device tag's slot (the device's slot numbering);
// nullopt for the tags the history does not keep.
std::optional<SampleField> FieldOfSlot(std::int32_t slot);
// That field's value in a sample; nullopt when the sample has none (a bin it
// did not have, an analog input out of service). Alarms read 1 or 0.
std::optional<double> FieldValue(const SampleRecord& sample, const SampleField& field);
// Whether the tag's own type is an integer (raw counts, totals, Comm Status)
// or a Boolean alarm, so that readers give the value the tag's type.
bool FieldIsInteger(const SampleField& field);
bool FieldIsBoolean(const SampleField& field);
// A column title for exports and the trend ("Cumulative Raw Count Bin 01 (0.3 µm)" needs the sample for the size).
std::string FieldTitle(const SampleField& field);

}  // namespace history
