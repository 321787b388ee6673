#pragma once
// One counter found on a port: where it sits, what it says it is, and the
// size bins and calibration curve read from it (or last programmed into it).

#include <string>
#include <vector>

// One point of a calibration curve: particle size against threshold voltage.
struct SetupCalPt {
    double size = 0;     // micrometres
    double voltage = 0;  // millivolts
    bool operator==(const SetupCalPt&) const = default;
};

struct CSensor {
    int port = -1;     // COM port number 1..32
    int address = -1;  // bus address 0..31
    std::string model;
    std::vector<double> sizes;
    std::vector<SetupCalPt> calibration;
    bool operator==(const CSensor&) const = default;
};
