#include "model/VOKDataMapper.h"

#include "VOKDeviceSupport.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "model/VOKTagKinds.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using vokdevice::Hold;
using vokdevice::Value;

namespace {

constexpr int kMaxBins = VOKDevice::kMaxBins;
constexpr int kAnalogInputs = VOKDevice::kAnalogInputs;

// The five tags of one bin position: slot base and group kind.
struct BinTag {
    std::int32_t firstSlot;
    std::int32_t kind;
    std::int32_t group;
};
constexpr BinTag kBinTags[] = {
    {VOKDevice::kSlotBinSize, VOKTagKinds::kBinSize, VOKTagGroup::BinSizes},
    {VOKDevice::kSlotCumulativeRaw, 3, VOKTagGroup::CumulativeRaw},
    {VOKDevice::kSlotCumulativeNormalized, 5, VOKTagGroup::CumulativeNormalized},
    {VOKDevice::kSlotDifferentialRaw, 19, VOKTagGroup::DifferentialRaw},
    {VOKDevice::kSlotDifferentialNormalized, 20, VOKTagGroup::DifferentialNormalized},
};

// An analog label holds "AN"; the rest, with every "AN" taken out, is the input index.
bool AnalogIndex(const std::string& label, long& index) {
    if (label.find("AN") == std::string::npos) return false;
    std::string rest;
    for (std::size_t i = 0; i < label.size();) {
        if (label.compare(i, 2, "AN") == 0) {
            i += 2;
        } else {
            rest += label[i++];
        }
    }
    index = std::strtol(rest.c_str(), nullptr, 10);
    return true;
}

// A bin label starts with the bin's lower size in micrometres.
bool BinSize(const std::string& label, double& size) {
    const char* begin = label.c_str();
    char* end = nullptr;
    size = std::strtod(begin, &end);
    return end != begin;
}

}  // namespace

using enum VOKDevice::Slot;

void VOKDataMapper::ProcessCounterData(BYTE flags, const Dll<VOK_DataRec>& records) {
    Hold hold(device_);
    SetTagBool(kSlotCounterAlarm, flags != 0x20);
    SetTagBool(kSlotCalibrationAlarm, (flags & 0x01) != 0);
    SetTagBool(kSlotCountAlarm, (flags & 0x04) != 0);
    SetTagBool(kSlotAnalogAlarm, (flags & 0x16) != 0);
    SetTagBool(kSlotCommAlarm, (flags & 0x08) != 0);
    SetTagBool(kSlotConcentrationAlarm, (flags & 0x02) != 0);
    if (records.GetCount() == 0) return;

    for (const VOK_DataRec& record : records) {
        long index = 0;
        if (AnalogIndex(record.name, index)) {
            if (index < 0 || index >= kAnalogInputs) continue;
            VOKTag* analog = device_.SlotLocked(kSlotAnalogInput + static_cast<std::int32_t>(index));
            VOKTag* inService = device_.SlotLocked(kSlotAnalogInService + static_cast<std::int32_t>(index));
            if (analog == nullptr || inService == nullptr) continue;
            if (vokdevice::IsTrue(*inService))
                analog->SetValueGood(Value::R8(record.value).get());
            else
                analog->SetQuality(kQualityOutOfService);
            continue;
        }
        double size = 0;
        if (!BinSize(record.name, size)) continue;
        for (int j = 0; j < kMaxBins; ++j) {
            VOKTag* binSize = device_.SlotLocked(kSlotBinSize + j);
            double edge = 0;
            if (binSize == nullptr || !vokdevice::AsDouble(*binSize, edge) || edge != size) continue;
            if (VOKTag* raw = device_.SlotLocked(kSlotCumulativeRaw + j))
                raw->SetValueGood(Value::I4(vokdevice::ToInt32(record.value)).get());
            if (VOKTag* normalized = device_.SlotLocked(kSlotCumulativeNormalized + j))
                normalized->SetValueGood(Value::R8(Normalize(record.value)).get());
        }
    }

    SetTotals();

    for (int j = 0; j < kMaxBins; ++j) {
        VOKTag* rawDiff = device_.SlotLocked(kSlotDifferentialRaw + j);
        VOKTag* raw = device_.SlotLocked(kSlotCumulativeRaw + j);
        if (rawDiff != nullptr && raw != nullptr) {
            double here = 0, above = 0;
            vokdevice::AsDouble(*raw, here);
            VOKTag* next = j + 1 < kMaxBins ? device_.SlotLocked(kSlotCumulativeRaw + j + 1) : nullptr;
            if (next != nullptr) vokdevice::AsDouble(*next, above);
            // 32-bit subtraction that wraps rather than overflowing.
            const auto difference = static_cast<std::int32_t>(static_cast<std::uint32_t>(vokdevice::ToInt32(here)) -
                                                              static_cast<std::uint32_t>(vokdevice::ToInt32(above)));
            rawDiff->SetValueGood(Value::I4(difference).get());
        }
        VOKTag* normDiff = device_.SlotLocked(kSlotDifferentialNormalized + j);
        VOKTag* normalized = device_.SlotLocked(kSlotCumulativeNormalized + j);
        if (normDiff != nullptr && normalized != nullptr) {
            double here = 0, above = 0;
            vokdevice::AsDouble(*normalized, here);
            VOKTag* next = j + 1 < kMaxBins ? device_.SlotLocked(kSlotCumulativeNormalized + j + 1) : nullptr;
            if (next != nullptr) vokdevice::AsDouble(*next, above);
            normDiff->SetValueGood(Value::R8(here - above).get());
        }
    }
}

SampleRecord VOKDataMapper::MakeSampleRecord(BYTE flags) const {
    SampleRecord sample;
    sample.timeMs = NowUtcMs();
    sample.counterFlags = flags;
    Hold hold(device_);
    sample.intervalSeconds = static_cast<std::int32_t>(device_.sampleInterval_);
    sample.device = device_.GetName();
    sample.port = device_.portNumber_;
    sample.address = device_.busAddress_ & 0x7F;
    sample.flow = device_.flow_;
    sample.commStatus = device_.commStatus_;
    for (int j = 0; j < kMaxBins; ++j) {
        VOKTag* size = device_.SlotLocked(kSlotBinSize + j);
        VOKTag* raw = device_.SlotLocked(kSlotCumulativeRaw + j);
        double edge = 0, count = 0;
        if (size == nullptr || raw == nullptr || !vokdevice::AsDouble(*size, edge)) break;
        // A bin the counter sent no count for reads 0, as a cleared tag would.
        if (raw->GetQuality() != kQualityGood || !vokdevice::AsDouble(*raw, count)) count = 0;
        sample.binSizes.push_back(edge);
        sample.cumulativeRaw.push_back(vokdevice::ToInt32(count));
    }
    for (int n = 0; n < kAnalogInputs; ++n) {
        VOKTag* analog = device_.SlotLocked(kSlotAnalogInput + n);
        double value = 0;
        if (analog != nullptr && analog->GetQuality() == kQualityGood && vokdevice::AsDouble(*analog, value))
            sample.analog[static_cast<std::size_t>(n)] = value;
    }
    return sample;
}

void VOKDataMapper::SetTotals() {
    VOKTag* firstRaw = device_.SlotLocked(kSlotCumulativeRaw);
    VOKTag* totalRaw = device_.SlotLocked(kSlotTotalRaw);
    if (firstRaw != nullptr && totalRaw != nullptr) {
        VARIANT v;
        firstRaw->GetValue(v);
        totalRaw->SetValueGood(v);
        VariantClear(&v);
    }
    VOKTag* firstNormalized = device_.SlotLocked(kSlotCumulativeNormalized);
    VOKTag* totalNormalized = device_.SlotLocked(kSlotTotalNormalized);
    if (firstNormalized != nullptr && totalNormalized != nullptr) {
        VARIANT v;
        firstNormalized->GetValue(v);
        totalNormalized->SetValueGood(v);
        VariantClear(&v);
    }
}

double VOKDataMapper::Normalize(double count) const {
    Hold hold(device_);
    const double volume = device_.flow_ * (1.0 / 60.0) * static_cast<double>(device_.sampleInterval_);
    return volume != 0 ? count / volume : count;
}

void VOKDataMapper::ApplyBinSizes(const Dll<double>& sizes) {
    Hold hold(device_);
    const int count = std::min(sizes.GetCount(), kMaxBins);
    SetTagValue(kSlotNumBins, Value::I4(count).get());
    auto size = sizes.begin();
    bool treeChanged = false;
    for (int j = 0; j < kMaxBins; ++j) {
        const bool active = j < count;
        for (const BinTag& bin : kBinTags) {
            const std::int32_t slot = bin.firstSlot + j;
            VOKTag* tag = device_.SlotLocked(slot);
            if (active) {
                if (tag == nullptr) {
                    VOKTagGroup* group = device_.groups_[static_cast<std::size_t>(bin.group)];
                    if (!VOKTagGroup::IsValidVOKTagGroup(group)) continue;
                    device_.AddMissingTag(group, bin.kind, slot);
                    treeChanged = true;
                    tag = device_.SlotLocked(slot);
                    if (tag == nullptr) continue;
                }
                if (bin.kind == VOKTagKinds::kBinSize)
                    tag->SetValueGood(Value::R8(*size).get());
                else
                    tag->SetBad();
                continue;
            }
            if (tag == nullptr) continue;
            treeChanged = true;
            device_.slots_[static_cast<std::size_t>(slot)] = nullptr;
            OPCS_TagGroup* group = tag->GetGroup();
            if (!OPCS_TagGroup::IsValidGroup(group)) group = device_.groups_[static_cast<std::size_t>(bin.group)];
            if (OPCS_TagGroup::IsValidGroup(group) && group->RemoveTag(tag))
                delete tag;
            else
                RetireTag(tag, group);
        }
        if (active) ++size;
    }
    // The flat list must not keep pointers to the tags just destroyed, and
    // takes the tags just made; with neither it is still right as it is.
    if (treeChanged) device_.RebuildTagList();
}

void VOKDataMapper::RetireTag(VOKTag* tag, OPCS_TagGroup* group) {
    // Still referenced (an OPC item, the running poll loop): it leaves the tree
    // now, carries no value any more, and is destroyed once its last holder
    // has let go of it.
    if (OPCS_TagGroup::IsValidGroup(group)) group->DetachTag(tag);
    Value empty;
    tag->SetValue(empty.get(), kQualityConfigError, FILETIME{});
    if (std::find(retired_.begin(), retired_.end(), tag) == retired_.end()) retired_.push_back(tag);
}

void VOKDataMapper::ReapRetiredTags() {
    for (auto it = retired_.begin(); it != retired_.end();) {
        VOKTag* tag = *it;
        if (!OPCS_Tag::IsValidTag(tag)) {
            it = retired_.erase(it);
        } else if (tag->GetReferenceCount() == 0) {
            delete tag;
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

void VOKDataMapper::DestroyRetiredTags() {
    Hold hold(device_);
    // Holders test a tag before use.
    for (VOKTag* tag : retired_)
        if (OPCS_Tag::IsValidTag(tag)) delete tag;
    retired_.clear();
}

std::size_t VOKDataMapper::RetiredTagCount() const {
    Hold hold(device_);
    return retired_.size();
}

void VOKDataMapper::SetSampleIntervalTag() {
    Hold hold(device_);
    SetTagValue(kSlotSampleInterval, Value::I4(static_cast<std::int32_t>(device_.sampleInterval_)).get());
}

void VOKDataMapper::SetVersionTag() {
    Hold hold(device_);
    SetTagValue(kSlotSoftwareVersion, Value::Text(device_.softwareVersion_).get());
}

void VOKDataMapper::SetFlowTag() {
    Hold hold(device_);
    SetTagValue(kSlotFlowLevel, Value::R8(device_.flow_).get());
}

void VOKDataMapper::SimulateCounterData() {
    Hold hold(device_);
    SetTagValue(kSlotSoftwareVersion, Value::Text("Simulation").get());
    for (std::int32_t slot = kSlotCounterAlarm; slot <= kSlotConcentrationAlarm; ++slot) SetTagBool(slot, false);
    for (int j = kMaxBins - 1; j >= 0; --j) {
        VOKTag* raw = device_.SlotLocked(kSlotCumulativeRaw + j);
        if (raw != nullptr) raw->SimulateStep();
        VOKTag* normalized = device_.SlotLocked(kSlotCumulativeNormalized + j);
        if (normalized == nullptr) continue;
        double count = 0;
        if (raw != nullptr) vokdevice::AsDouble(*raw, count);
        normalized->SetValueGood(Value::R8(Normalize(count)).get());
        VOKTag* rawDiff = device_.SlotLocked(kSlotDifferentialRaw + j);
        if (rawDiff == nullptr) continue;
        rawDiff->SimulateStep();
        if (VOKTag* normDiff = device_.SlotLocked(kSlotDifferentialNormalized + j)) {
            double diff = 0;
            vokdevice::AsDouble(*rawDiff, diff);
            normDiff->SetValueGood(Value::R8(Normalize(diff)).get());
        }
    }
    for (int n = 0; n < kAnalogInputs; ++n) {
        VOKTag* analog = device_.SlotLocked(kSlotAnalogInput + n);
        VOKTag* inService = device_.SlotLocked(kSlotAnalogInService + n);
        if (analog == nullptr || inService == nullptr) continue;
        if (vokdevice::IsTrue(*inService))
            analog->SimulateStep();
        else
            analog->SetQuality(kQualityOutOfService);
    }
    SetTotals();
}

void VOKDataMapper::SetTagValue(std::int32_t slot, const VARIANT& value) {
    Hold hold(device_);
    if (VOKTag* tag = device_.SlotLocked(slot)) tag->SetValueGood(value);
}

void VOKDataMapper::SetTagBool(std::int32_t slot, bool on) {
    SetTagValue(slot, Value::I2(on ? -1 : 0).get());
}
