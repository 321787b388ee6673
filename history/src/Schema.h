#pragma once
// The history database's layout, shared by the writer and the readers.
//
//   meta(key, value)                 the layout version and who wrote it
//   devices(id, name)                one row per device name
//   setups(id, port, address, flow, interval_s, bins)
//                                    a device's setup, which changes rarely,
//                                    so each sample names it by a small id
//   samples(device_id, time_ms, setup_id, flags, comm, counts, analog)
//                                    WITHOUT ROWID, keyed (device_id, time_ms):
//                                    one device over a time range is one range
//                                    of the key and reads only that device's rows
//   events(id, device_id, time_ms, kind, comm, port, address, text)
//                                    device_id 0 for the program's own events
//
// The counts are the raw cumulative counts as varints: the first bin, then
// each bin's difference to the bin below it (zig-zag, as a counter may send a
// larger count in a higher bin), which keeps an 8-bin sample near a dozen
// bytes. Normalised, differential and total values are derived on reading.
// The analog inputs are NULL when none is in service, else a mask byte and
// the values of the inputs in it.

#include "model/SampleRecord.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace history::sql {
class Connection;
}

namespace history::schema {

// "VOKH" in the file header, so that any tool can tell the file apart.
constexpr std::int32_t kApplicationId = 0x564F4B48;
constexpr std::int32_t kVersion = 1;

// Creates the tables in a new, empty database (auto_vacuum must be set before
// this, on the empty file). False with the reason.
bool Create(sql::Connection& db, std::string& error);

// Whether an open database is a history database of a layout this program
// reads; the reason otherwise ("not a history database"). An empty file is
// reported as empty.
// Failed: a query failed (the connection's code says whether the file is damaged).
enum class Kind { Ours, Empty, NotOurs, Newer, Failed };
Kind Identify(sql::Connection& db, std::string& error);

// The device setup a sample names.
struct Setup {
    std::int32_t port = 0;
    std::int32_t address = 0;
    double flow = 0;
    std::int32_t intervalSeconds = 0;
    std::vector<double> binSizes;
    bool operator<(const Setup& other) const;
};

std::vector<std::uint8_t> PackCounts(const std::vector<std::int32_t>& counts);
bool UnpackCounts(const std::vector<std::uint8_t>& bytes, std::vector<std::int32_t>& counts);
std::vector<std::uint8_t> PackBins(const std::vector<double>& bins);
bool UnpackBins(const std::vector<std::uint8_t>& bytes, std::vector<double>& bins);
// Empty when no input has a value (stored as NULL).
std::vector<std::uint8_t> PackAnalog(const std::array<std::optional<double>, SampleRecord::kAnalogInputs>& analog);
bool UnpackAnalog(const std::vector<std::uint8_t>& bytes,
                  std::array<std::optional<double>, SampleRecord::kAnalogInputs>& analog);

// The queries the readers run, here so that a test can check their plans.
extern const char* const kSelectDeviceSamplesForward;
extern const char* const kSelectDeviceSamplesBackward;
extern const char* const kSelectDeviceEvents;

}  // namespace history::schema
