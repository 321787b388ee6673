#pragma once
// The sensor tree's shape and texts: one item per port that has sensors, in
// the order the sensors were found, with the sensors under it.

#include "setup/CSensor.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sensortree {

struct PortItem {
    int port = 0;
    std::vector<std::size_t> sensors;  // indexes into the found list, in its order
    bool operator==(const PortItem&) const = default;
};

// "Comport 3".
std::string PortItemText(int port);
// "Sensor:05   Model: MCA".
std::string SensorItemText(const CSensor& sensor);
// The port items for the found list; the first is the one shown expanded.
std::vector<PortItem> Build(const std::vector<CSensor>& found);

}  // namespace sensortree
