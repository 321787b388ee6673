#pragma once
// One completed sample of a counter device, as the program keeps it and hands
// it on (history, and later limits and plant links), and the device events
// that explain the time between samples: a communication loss and its end,
// polling started and stopped, the program started and stopped. A counter
// device builds the record from its tags once a sample has been mapped onto
// them, so that what is kept is what clients were shown.
//
// Only the raw cumulative counts are kept per bin: the normalised,
// differential and total values follow from them, the flow and the interval
// exactly as the device's tags compute them, which keeps a stored sample small.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SampleRecord {
    static constexpr std::size_t kAnalogInputs = 8;
    // The counter's status byte when all is well.
    static constexpr std::uint8_t kFlagsAllWell = 0x20;

    std::int64_t timeMs = 0;           // when the sample ended: milliseconds since 1970-01-01 UTC
    std::int32_t intervalSeconds = 0;  // the counter's sample interval
    std::string device;                // the device's name
    std::int32_t port = 0;             // COM number
    std::int32_t address = 0;          // the counter's bus address, 1 to 63 (without the configuration's 0x80 mark)
    double flow = 0;                   // ml/min
    std::vector<double> binSizes;      // lower edge of each active bin, µm
    std::vector<std::int32_t> cumulativeRaw;                 // one per bin
    std::array<std::optional<double>, kAnalogInputs> analog;  // inputs in service that sent a value
    std::uint8_t counterFlags = kFlagsAllWell;                // the status byte the counter sent
    std::int32_t commStatus = 0;       // 0 OK, 1 communication failure, 2 address conflict

    // The millilitres sampled: flow per minute over the interval.
    double Volume() const;
    // Counts per millilitre; the count itself when the volume is 0, as the tags do.
    double Normalized(double count) const;
    std::size_t BinCount() const { return cumulativeRaw.size(); }
    double CumulativeNormalized(std::size_t bin) const;
    // Bin minus the next bin up, in 32 bits that wrap as the tag's do.
    std::int32_t DifferentialRaw(std::size_t bin) const;
    double DifferentialNormalized(std::size_t bin) const;
    // The totals are the first bin's cumulative values (0 without bins).
    std::int32_t TotalRaw() const;
    double TotalNormalized() const;

    // The alarm tags' reading of the status byte.
    bool CounterAlarm() const { return counterFlags != kFlagsAllWell; }
    bool CalibrationAlarm() const { return (counterFlags & 0x01) != 0; }
    bool ConcentrationAlarm() const { return (counterFlags & 0x02) != 0; }
    bool CountAlarm() const { return (counterFlags & 0x04) != 0; }
    bool CommAlarm() const { return (counterFlags & 0x08) != 0; }
    bool AnalogAlarm() const { return (counterFlags & 0x16) != 0; }
};

enum class DeviceEventKind : std::int32_t {
    CommLost = 1,       // the device's Comm Status left OK (commStatus says how)
    CommRestored = 2,   // it is OK again
    PollStarted = 3,
    PollStopped = 4,
    ProgramStarted = 5,  // device empty
    ProgramStopped = 6,  // device empty
};

struct DeviceEvent {
    std::int64_t timeMs = 0;  // milliseconds since 1970-01-01 UTC
    DeviceEventKind kind = DeviceEventKind::ProgramStarted;
    std::string device;       // empty for the program's own events
    std::int32_t port = 0;
    std::int32_t address = 0;  // as the sample's
    std::int32_t commStatus = 0;
    std::string text;         // a short explanation for a reader ("Failed counter data read")
};

// The name a reader sees for an event kind ("comm lost", "poll started", ...).
const char* DeviceEventName(DeviceEventKind kind);

// The wall clock as records carry it.
std::int64_t NowUtcMs();
