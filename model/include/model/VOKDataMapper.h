#pragma once
// What a counter device makes of its counter's data: bin, total,
// differential, normalized, alarm and analog tag values; the simulated data
// source; the single-tag setters the configuration paths share; and the tag
// set that the configured bins shape, with the retirement of tags whose bin
// went away while something still referenced them.

#include "foundation/Dll.h"
#include "link/VOKCommands.h"
#include "model/SampleRecord.h"
#include "platform/OleAuto.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class OPCS_TagGroup;
class VOKDevice;
class VOKTag;

class VOKDataMapper {
public:
    explicit VOKDataMapper(VOKDevice& device) : device_(device) {}
    VOKDataMapper(const VOKDataMapper&) = delete;
    VOKDataMapper& operator=(const VOKDataMapper&) = delete;

    // One sample: the status byte onto the alarms, the records onto the bin
    // and analog tags, then totals and differentials.
    void ProcessCounterData(BYTE flags, const Dll<VOK_DataRec>& records);
    // Counts per millilitre of the sample; raw counts when flow or interval is 0.
    double Normalize(double count) const;
    // Number of bins, bin sizes and the tags of the active bins; the tags of
    // inactive bins leave the tree.
    void ApplyBinSizes(const Dll<double>& sizes);
    // The sample just mapped, read back from the tags (what clients were
    // shown), with the counter's status byte, for the sample sinks.
    SampleRecord MakeSampleRecord(BYTE flags) const;
    void SetSampleIntervalTag();
    void SetVersionTag();
    void SetFlowTag();
    void SimulateCounterData();
    void SetTagValue(std::int32_t slot, const VARIANT& value);
    void SetTagBool(std::int32_t slot, bool on);

    // Tags of inactive bins that were still referenced when their bin went away:
    // out of the tree, alive until the last reference is given back.
    std::size_t RetiredTagCount() const;
    // Destroys the retired tags nobody references any more.
    void ReapRetiredTags();
    // The device's end: the retired tags belong to nobody else.
    void DestroyRetiredTags();

private:
    void SetTotals();
    void RetireTag(VOKTag* tag, OPCS_TagGroup* group);

    VOKDevice& device_;
    std::vector<VOKTag*> retired_;  // under the device lock
};
