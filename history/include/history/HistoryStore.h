#pragma once
// The history's writer: every sample record and device event the counter
// devices publish is queued in memory and written by one thread of its own to
// an SQLite database in WAL mode, in batched transactions at least once a
// second, so that polling never waits for the disk. A power loss costs at most
// the records of the last commit interval.
//
// A full disk or an unwritable file is reported once (event log, Status())
// and the records wait in memory up to memoryLimit; beyond that the oldest
// waiting records are dropped and their count logged. The writer tries again
// every few seconds and writes what waits once it can. A damaged database is
// moved aside (never deleted) and a new one started, with a log entry.
// Old records are pruned in small steps between batches (retention by age
// and, when set, by size).

#include "model/SampleSinks.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace history {

struct HistoryOptions {
    std::string path;                       // the database file
    std::int64_t retentionDays = 400;       // records older than this are pruned; 0 keeps them by age
    std::int64_t maxBytes = 0;              // the oldest records go while the file is larger; 0: no bound
    std::size_t memoryLimit = 100000;       // records waiting in memory before the oldest are dropped
    int commitIntervalMs = 1000;            // the longest a record waits for its commit while all is well
    int retryIntervalMs = 5000;             // between attempts while the database cannot be written
    std::function<std::int64_t()> clock;    // now in ms UTC for pruning; the wall clock when empty
};

struct HistoryStatus {
    std::string path;
    bool running = false;        // the writer thread runs
    bool writable = false;       // the last attempt to write succeeded
    std::string problem;         // why it cannot write now; empty while all is well
    std::string movedAside;      // where a damaged database was moved at start, if it was
    std::uint64_t written = 0;   // records committed since the start
    std::uint64_t waiting = 0;   // records in memory not yet committed
    std::uint64_t dropped = 0;   // records dropped because memory was full
    std::uint64_t pruned = 0;    // records removed by retention since the start
};

class HistoryStore : public SampleSink {
public:
    explicit HistoryStore(HistoryOptions options);
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Opens (or creates) the database and starts the writer thread. The writer
    // runs even when the file cannot be opened yet (it keeps trying); false and
    // the reason then, for the caller's message.
    bool Start(std::string& error);
    // Writes what waits (for at most a few seconds when the disk refuses) and closes.
    void Stop();
    // Waits until everything handed in before the call is committed; false on timeout.
    bool Flush(int timeoutMs = 10000);
    // One pruning pass to the end now, on the writer thread; returns the records removed.
    std::uint64_t PruneNow();
    HistoryStatus Status() const;
    const HistoryOptions& Options() const { return options_; }

    void OnSample(const SampleRecord& sample) override;
    void OnDeviceEvent(const DeviceEvent& event) override;

private:
    struct Writer;
    HistoryOptions options_;
    std::unique_ptr<Writer> writer_;
};

// The state in one line for people (the options page, the OPC UA server
// object): "Writing to PATH", with the records written since the start when
// there are any; "Not writing: WHY; N records wait in memory, M dropped";
// "Stopped".
std::string DescribeStatus(const HistoryStatus& status);

// The running program's history, null when it keeps none (tests, tools,
// --history off). Set by the program around its store's life.
HistoryStore* ProgramHistory();
void SetProgramHistory(HistoryStore* store);

}  // namespace history
