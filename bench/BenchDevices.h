#pragma once
// The configuration the OPC benchmarks measure against: simulated-data
// counter devices "Dev0" ... with 32 bins each (53 devices: 10,070 tags),
// added to the document. Returns them in order.

#include "config/OPCS_Doc.h"
#include "model/VOKDevice.h"

#include <string>
#include <vector>

inline std::vector<VOKDevice*> AddSimulatedDevices(OPCS_Doc& doc, int count = 53, int binCount = 32) {
    std::vector<VOKDevice*> added;
    for (int d = 0; d < count; ++d) {
        auto device = VOKDevice::Create(false);
        device->SetName("Dev" + std::to_string(d));
        device->SetSimulation(true);
        Dll<double> bins;
        for (int b = 0; b < binCount; ++b) bins.AddTail(0.3 + b);
        device->SetBinSizes(bins, false);
        added.push_back(device.get());
        doc.AddDevice(device.release());
    }
    return added;
}
