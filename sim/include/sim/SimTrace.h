#pragma once
// The record of every byte on a simulated line, in the order it passed.
//
// File format, one byte per line:
//     <ms since start> <rx|tx> <HEX>
// ms since the line started, with three decimals; rx a byte the simulator
// received from the host, tx a byte it sent; HEX the byte as two upper-case
// hexadecimal digits. Example: "12.345 rx 85" then "12.391 tx 85".

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

enum class SimDirection { Rx, Tx };

struct SimTraceEntry {
    double ms = 0;
    SimDirection direction = SimDirection::Rx;
    std::uint8_t byte = 0;
};

// One trace line without its newline, in the file format above.
std::string FormatSimTraceLine(const SimTraceEntry& entry);

class SimTrace {
public:
    explicit SimTrace(std::size_t limit = 1u << 20);
    ~SimTrace();
    SimTrace(const SimTrace&) = delete;
    SimTrace& operator=(const SimTrace&) = delete;

    // Appends every later entry to the file (created or emptied); false with a reason on failure.
    bool OpenFile(const std::string& path, std::string* error);
    void CloseFile();

    void Record(double ms, SimDirection direction, const std::string& bytes);
    std::vector<SimTraceEntry> Entries() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::deque<SimTraceEntry> entries_;
    std::size_t limit_;
    std::FILE* file_ = nullptr;
};
