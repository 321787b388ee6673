#pragma once
// What one simulated counter is: its bus address, the settings it starts
// with, and the faults it is told to show.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One point of a counter's calibration curve.
struct SimCalPoint {
    double sizeUm = 0;
    double millivolts = 0;
    bool operator==(const SimCalPoint&) const = default;
};

// Faults a counter shows on the line. Each is off by default.
struct SimFaults {
    // Answers nothing, not even its own address: the counter looks absent.
    bool silent = false;
    // Stops talking (no echo, no reply) once it has echoed this many bytes,
    // its address bytes included; it still acts on what it receives.
    std::optional<unsigned> noEchoAfter;
    // Every checksum field it sends carries a wrong sum.
    bool badChecksum = false;
    // Every checksum field it sends has lower-case hexadecimal digits.
    bool lowerChecksum = false;
    // The next this-many mode queries answer "C" (sample in progress).
    unsigned busyQueries = 0;
    // The next non-empty reply loses this many bytes at its end.
    unsigned truncateNext = 0;

    bool operator==(const SimFaults&) const = default;
};

struct SimCounterConfig {
    // Bus address 0..63; the address byte on the wire is 0x80 + address.
    int address = 0;
    // Lower edges of the size bins in micrometres, ascending, 1 to 32 of them.
    std::vector<double> binsUm{0.3, 0.5, 1.0, 5.0, 10.0};
    std::vector<SimCalPoint> calibration{{0.3, 100}, {0.5, 180}, {1.0, 300}, {5.0, 620}, {10.0, 850}, {20.0, 980}};
    // Sample time in seconds, 1..5999 (four digits of minutes and seconds).
    unsigned sampleIntervalS = 60;
    std::string versionText = "4400 VOK V3.12";
    std::string modelText = "MCA";
    // Analog inputs reported after the bins, 0..8 (AN0, AN1, ...).
    unsigned analogInputs = 8;
    // The status byte of every data reply; 0x20 means no alarm.
    std::uint8_t status = 0x20;
    // Seed of the counts; equal seeds give equal samples.
    std::uint32_t seed = 1;
    SimFaults faults;
};

// Checks one counter's settings; false with a reason in *error.
bool ValidateSimCounterConfig(const SimCounterConfig& config, std::string* error);
