#include "setup/SensorTree.h"

#include <cstdio>

namespace sensortree {

std::string PortItemText(int port) { return "Comport " + std::to_string(port); }

std::string SensorItemText(const CSensor& sensor) {
    char text[32];
    // At least two digits: 5 shows as 05.
    std::snprintf(text, sizeof text, "Sensor:%.2d   Model: ", sensor.address);
    return text + sensor.model;
}

std::vector<PortItem> Build(const std::vector<CSensor>& found) {
    std::vector<PortItem> items;
    for (std::size_t i = 0; i < found.size(); ++i) {
        PortItem* item = nullptr;
        for (PortItem& existing : items)
            if (existing.port == found[i].port) item = &existing;
        if (!item) {
            items.push_back({found[i].port, {}});
            item = &items.back();
        }
        item->sensors.push_back(i);
    }
    return items;
}

}  // namespace sensortree
