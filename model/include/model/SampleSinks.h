#pragma once
// Where counter devices hand their samples and events: the sinks the program
// installed (the history, later the limits and plant links). A sink is called
// on the poll thread of the device and must return at once: it copies what it
// needs and queues it, never blocks, and never calls back into the device.
// Without a sink installed, publishing costs one check.

#include "model/SampleRecord.h"

class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual void OnSample(const SampleRecord& sample) = 0;
    virtual void OnDeviceEvent(const DeviceEvent& event) = 0;
};

// Installs a sink (not owned). Removing returns once no call into the sink runs.
void AddSampleSink(SampleSink* sink);
void RemoveSampleSink(SampleSink* sink);
bool HasSampleSinks();

void PublishSample(const SampleRecord& sample);
void PublishDeviceEvent(const DeviceEvent& event);
