#include "model/SampleRecord.h"

#include <chrono>

double SampleRecord::Volume() const { return flow * (1.0 / 60.0) * static_cast<double>(intervalSeconds); }

double SampleRecord::Normalized(double count) const {
    const double volume = Volume();
    return volume != 0 ? count / volume : count;
}

double SampleRecord::CumulativeNormalized(std::size_t bin) const {
    return bin < cumulativeRaw.size() ? Normalized(cumulativeRaw[bin]) : 0.0;
}

std::int32_t SampleRecord::DifferentialRaw(std::size_t bin) const {
    if (bin >= cumulativeRaw.size()) return 0;
    const std::int32_t above = bin + 1 < cumulativeRaw.size() ? cumulativeRaw[bin + 1] : 0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(cumulativeRaw[bin]) - static_cast<std::uint32_t>(above));
}

double SampleRecord::DifferentialNormalized(std::size_t bin) const {
    if (bin >= cumulativeRaw.size()) return 0.0;
    const double above = bin + 1 < cumulativeRaw.size() ? CumulativeNormalized(bin + 1) : 0.0;
    return CumulativeNormalized(bin) - above;
}

std::int32_t SampleRecord::TotalRaw() const { return cumulativeRaw.empty() ? 0 : cumulativeRaw.front(); }

double SampleRecord::TotalNormalized() const { return cumulativeRaw.empty() ? 0.0 : CumulativeNormalized(0); }

const char* DeviceEventName(DeviceEventKind kind) {
    switch (kind) {
    case DeviceEventKind::CommLost: return "comm lost";
    case DeviceEventKind::CommRestored: return "comm restored";
    case DeviceEventKind::PollStarted: return "poll started";
    case DeviceEventKind::PollStopped: return "poll stopped";
    case DeviceEventKind::ProgramStarted: return "program started";
    case DeviceEventKind::ProgramStopped: return "program stopped";
    }
    return "event";
}

std::int64_t NowUtcMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
