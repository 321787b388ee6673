#pragma once
// Reading the history: the devices it holds, one device's samples and events
// over a time range (an index on device and time, so only that device's rows
// are read), all devices' samples for an export, the integrity check with
// the gaps, and a consistent copy (SQLite's online backup). A reader opens
// the file read-only and may run while the server writes (WAL readers see
// the last committed state); it never creates or changes the database.

#include "model/SampleRecord.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace history {

struct DeviceSpan {
    std::string device;
    std::int32_t port = 0;      // of the newest sample
    std::int32_t address = 0;
    std::int64_t firstMs = 0;   // first and last sample (0 when it has only events)
    std::int64_t lastMs = 0;
    std::uint64_t samples = 0;
};

// A stretch without samples where samples were due.
struct HistoryGap {
    std::string device;
    std::int64_t fromMs = 0;   // the last sample (or event) before the gap
    std::int64_t toMs = 0;     // the first sample after it, or the last record when it is still open
    std::string reason;        // "comm lost", "poll stopped", "program stopped" or "no record"
};

struct HistoryCheck {
    bool intact = false;                   // PRAGMA integrity_check said ok
    std::vector<std::string> problems;     // what the integrity check said otherwise
    std::uint64_t samples = 0;
    std::uint64_t events = 0;
    std::vector<HistoryGap> gaps;
};

class HistoryReader {
public:
    // Opens an existing database for reading; null with the reason when it
    // cannot be opened or is no history database.
    static std::unique_ptr<HistoryReader> Open(const std::string& path, std::string& error);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // Every device with its first and last sample and its count; the count
    // reads each of its samples' keys (about a tenth of a second per year of
    // one-minute samples).
    std::vector<DeviceSpan> Devices();
    // The devices' names only, without reading their samples.
    std::vector<std::string> DeviceNames();

    // The samples of a device with fromMs <= time <= toMs, oldest first (newest
    // first when backward), at most maxCount of them (0: all). Each sample is
    // handed to each in turn; each returns false to stop early. False with the
    // reason when the query fails.
    bool ForEachSample(const std::string& device, std::int64_t fromMs, std::int64_t toMs, std::size_t maxCount,
                       bool backward, const std::function<bool(const SampleRecord&)>& each, std::string& error);
    // The same, collected.
    std::vector<SampleRecord> Samples(const std::string& device, std::int64_t fromMs, std::int64_t toMs,
                                      std::size_t maxCount = 0, bool backward = false);
    // Every device's samples in the range, in time order (ties by device name).
    bool ForEachSampleOfAll(std::int64_t fromMs, std::int64_t toMs,
                            const std::function<bool(const SampleRecord&)>& each, std::string& error);
    // A device's events in the range, oldest first; an empty device: all events.
    std::vector<DeviceEvent> Events(const std::string& device, std::int64_t fromMs, std::int64_t toMs);

    // PRAGMA integrity_check, the counts, and the gaps: a device's samples
    // further apart than twice its interval, with the reason the events give.
    HistoryCheck Check();

    // The last error of a collecting call, empty when it succeeded.
    const std::string& LastError() const { return lastError_; }

private:
    struct Db;
    explicit HistoryReader(std::unique_ptr<Db> db);
    std::unique_ptr<Db> db_;
    std::string lastError_;
};

// A consistent copy of the database at source into target (SQLite's online
// backup; safe while the server writes). False with the reason.
bool BackupHistory(const std::string& source, const std::string& target, std::string& error);

}  // namespace history
