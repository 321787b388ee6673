#include "sim/SimTrace.h"

#include <cerrno>
#include <cstring>

std::string FormatSimTraceLine(const SimTraceEntry& entry) {
    char line[48];
    std::snprintf(line, sizeof line, "%.3f %s %02X", entry.ms, entry.direction == SimDirection::Rx ? "rx" : "tx",
                  entry.byte);
    return line;
}

SimTrace::SimTrace(std::size_t limit) : limit_(limit) {}

SimTrace::~SimTrace() { CloseFile(); }

bool SimTrace::OpenFile(const std::string& path, std::string* error) {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
        if (error) *error = "cannot write the trace file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void SimTrace::CloseFile() {
    std::lock_guard lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void SimTrace::Record(double ms, SimDirection direction, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    for (char c : bytes) {
        const SimTraceEntry entry{ms, direction, static_cast<std::uint8_t>(c)};
        if (limit_ > 0) {
            if (entries_.size() >= limit_) entries_.pop_front();
            entries_.push_back(entry);
        }
        if (file_) {
            const std::string line = FormatSimTraceLine(entry);
            std::fprintf(file_, "%s\n", line.c_str());
        }
    }
    // Flushed at once, so that a reader sees the bytes while the line runs.
    if (file_) std::fflush(file_);
}

std::vector<SimTraceEntry> SimTrace::Entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

void SimTrace::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}
