// The counter device's poll pass and what it makes of the counter's data:
// bin, total, differential, normalized, alarm and analog tag values; the
// simulated data source; and the tag set that the configured bins shape.
#include "model/VOKDevice.h"

#include "VOKDeviceSupport.h"
#include "foundation/CLogFile.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using vokdevice::Hold;
using vokdevice::LogStart;
using vokdevice::Value;

namespace {

constexpr int kBusyRetries = 3;

// The five tags of one bin position: slot base and group kind.
struct BinTag {
    std::int32_t firstSlot;
    std::int32_t kind;
    std::int32_t group;
};
constexpr BinTag kBinTags[] = {
    {VOKDevice::kSlotBinSize, 2, VOKTagGroup::BinSizes},
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

void VOKDevice::PollOnce() {
    if (IsSimulation()) {
        SimulateCounterData();
        return;
    }
    if (!OpenPort()) {
        SetCommStatus(kCommFailure);
        return;
    }
    const std::int32_t port = GetPort();
    if (IsInitialised()) {
        VOKDevicePauses pauses;
        {
            Hold hold(*this);
            pauses = pauses_;
        }
        if (!Pause(pauses.beforeData) || IsStopRequested()) return;
        int retries = 0;
        while (!IsStopRequested()) {
            int mode = 2;
            if (!ReadCounterMode(mode)) {
                if (IsStopRequested()) return;
                SetCommStatus(kCommFailure);
                LogDevice("Failed to read counter mode");
                return;
            }
            if (mode == 0) {
                ++retries;
                LogStart("Device:", GetName()).Append("Waiting for device to finish sample. Retry Cnt:")
                    .Append(retries).Commit(CLogFile::kWrite);
                if (!Pause(pauses.busyRetry)) return;
            }
            if (retries > kBusyRetries) {
                LogDevice("Timeout waiting for device to finish sample");
                SetCommStatus(kCommFailure);
                return;
            }
            if (mode == 0) continue;
            BYTE flags = 0;
            Dll<VOK_DataRec> records;
            if (!ReadData(flags, records)) {
                if (IsStopRequested()) return;
                SetCommStatus(kCommFailure);
                LogDevice("Failed counter data read");
                return;
            }
            if (IsStopRequested()) return;
            ProcessCounterData(flags, records);
            StartSampling();
            SetCommStatus(kCommOK);
            return;
        }
        return;
    }
    if (!IsUniqueOnBus()) {
        LogStart("Device:", GetName()).Append("Port:").Append(port)
            .Append("Is not unique in address & port").Commit(CLogFile::kWrite);
        SetCommStatus(kAddressConflict);
        return;
    }
    if (Initialise()) {
        initialised_ = true;
        SetCommStatus(kCommOK);
        LogStart("Device:", GetName()).Append("Port:").Append(port).Append("Initialized.").Commit(
            CLogFile::kWrite);
    } else if (!IsStopRequested()) {
        SetCommStatus(kCommFailure);
        LogStart("Failed to initialize device:", GetName()).Append("Port:").Append(port).Commit(
            CLogFile::kWrite);
    }
}

void VOKDevice::ProcessCounterData(BYTE flags, Dll<VOK_DataRec>& records) {
    Hold hold(*this);
    SetTagBool(kSlotCounterAlarm, flags != 0x20);
    SetTagBool(kSlotCalibrationAlarm, (flags & 0x01) != 0);
    SetTagBool(kSlotCountAlarm, (flags & 0x04) != 0);
    SetTagBool(kSlotAnalogAlarm, (flags & 0x16) != 0);
    SetTagBool(kSlotCommAlarm, (flags & 0x08) != 0);
    SetTagBool(kSlotConcentrationAlarm, (flags & 0x02) != 0);
    if (records.GetCount() == 0) return;

    auto* node = records.Head();
    for (int i = 0; i < records.GetCount(); ++i, node = node->Next()) {
        const VOK_DataRec& record = node->Value();
        long index = 0;
        if (AnalogIndex(record.name, index)) {
            if (index < 0 || index >= kAnalogInputs) continue;
            VOKTag* analog = SlotLocked(kSlotAnalogInput + static_cast<std::int32_t>(index));
            VOKTag* inService = SlotLocked(kSlotAnalogInService + static_cast<std::int32_t>(index));
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
            VOKTag* binSize = SlotLocked(kSlotBinSize + j);
            double edge = 0;
            if (binSize == nullptr || !vokdevice::AsDouble(*binSize, edge) || edge != size) continue;
            if (VOKTag* raw = SlotLocked(kSlotCumulativeRaw + j))
                raw->SetValueGood(Value::I4(vokdevice::ToInt32(record.value)).get());
            if (VOKTag* normalized = SlotLocked(kSlotCumulativeNormalized + j))
                normalized->SetValueGood(Value::R8(Normalize(record.value)).get());
        }
    }

    SetTotals();

    for (int j = 0; j < kMaxBins; ++j) {
        VOKTag* rawDiff = SlotLocked(kSlotDifferentialRaw + j);
        VOKTag* raw = SlotLocked(kSlotCumulativeRaw + j);
        if (rawDiff != nullptr && raw != nullptr) {
            double here = 0, above = 0;
            vokdevice::AsDouble(*raw, here);
            VOKTag* next = j + 1 < kMaxBins ? SlotLocked(kSlotCumulativeRaw + j + 1) : nullptr;
            if (next != nullptr) vokdevice::AsDouble(*next, above);
            // 32-bit subtraction that wraps rather than overflowing.
            const auto difference = static_cast<std::int32_t>(static_cast<std::uint32_t>(vokdevice::ToInt32(here)) -
                                                              static_cast<std::uint32_t>(vokdevice::ToInt32(above)));
            rawDiff->SetValueGood(Value::I4(difference).get());
        }
        VOKTag* normDiff = SlotLocked(kSlotDifferentialNormalized + j);
        VOKTag* normalized = SlotLocked(kSlotCumulativeNormalized + j);
        if (normDiff != nullptr && normalized != nullptr) {
            double here = 0, above = 0;
            vokdevice::AsDouble(*normalized, here);
            VOKTag* next = j + 1 < kMaxBins ? SlotLocked(kSlotCumulativeNormalized + j + 1) : nullptr;
            if (next != nullptr) vokdevice::AsDouble(*next, above);
            normDiff->SetValueGood(Value::R8(here - above).get());
        }
    }
}

void VOKDevice::SetTotals() {
    VOKTag* firstRaw = SlotLocked(kSlotCumulativeRaw);
    VOKTag* totalRaw = SlotLocked(kSlotTotalRaw);
    if (firstRaw != nullptr && totalRaw != nullptr) {
        VARIANT v;
        firstRaw->GetValue(v);
        totalRaw->SetValueGood(v);
        VariantClear(&v);
    }
    VOKTag* firstNormalized = SlotLocked(kSlotCumulativeNormalized);
    VOKTag* totalNormalized = SlotLocked(kSlotTotalNormalized);
    if (firstNormalized != nullptr && totalNormalized != nullptr) {
        VARIANT v;
        firstNormalized->GetValue(v);
        totalNormalized->SetValueGood(v);
        VariantClear(&v);
    }
}

double VOKDevice::Normalize(double count) const {
    Hold hold(*this);
    const double volume = flow_ * (1.0 / 60.0) * static_cast<double>(sampleInterval_);
    return volume != 0 ? count / volume : count;
}

void VOKDevice::ApplyBinSizes(const Dll<double>& sizes) {
    Hold hold(*this);
    const int count = std::min(sizes.GetCount(), kMaxBins);
    SetTagValue(kSlotNumBins, Value::I4(count).get());
    auto* node = sizes.Head();
    for (int j = 0; j < kMaxBins; ++j) {
        const bool active = j < count;
        for (const BinTag& bin : kBinTags) {
            const std::int32_t slot = bin.firstSlot + j;
            VOKTag* tag = SlotLocked(slot);
            if (active) {
                if (tag == nullptr) {
                    VOKTagGroup* group = groups_[static_cast<std::size_t>(bin.group)];
                    if (!VOKTagGroup::IsValidVOKTagGroup(group)) continue;
                    AddMissingTag(group, bin.kind, slot);
                    tag = SlotLocked(slot);
                    if (tag == nullptr) continue;
                }
                if (bin.kind == 2)
                    tag->SetValueGood(Value::R8(node->Value()).get());
                else
                    tag->SetBad();
                continue;
            }
            if (tag == nullptr) continue;
            slots_[static_cast<std::size_t>(slot)] = nullptr;
            OPCS_TagGroup* group = tag->GetGroup();
            if (!OPCS_TagGroup::IsValidGroup(group)) group = groups_[static_cast<std::size_t>(bin.group)];
            if (OPCS_TagGroup::IsValidGroup(group) && group->RemoveTag(tag))
                delete tag;
            else
                RetireTag(tag, group);
        }
        if (active) node = node->Next();
    }
    // The flat list must not keep pointers to the tags just destroyed.
    RebuildTagList();
}

void VOKDevice::RetireTag(VOKTag* tag, OPCS_TagGroup* group) {
    // Still referenced (an OPC item, the running poll loop): it leaves the tree
    // now, carries no value any more, and is destroyed once its last holder
    // has let go of it.
    if (OPCS_TagGroup::IsValidGroup(group)) group->DetachTag(tag);
    Value empty;
    tag->SetValue(empty.get(), kQualityConfigError, FILETIME{});
    if (std::find(retired_.begin(), retired_.end(), tag) == retired_.end()) retired_.push_back(tag);
}

void VOKDevice::ReapRetiredTags() {
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

std::size_t VOKDevice::RetiredTagCount() const {
    Hold hold(*this);
    return retired_.size();
}

void VOKDevice::SetSampleIntervalTag() {
    Hold hold(*this);
    SetTagValue(kSlotSampleInterval, Value::I4(static_cast<std::int32_t>(sampleInterval_)).get());
}

void VOKDevice::SetVersionTag() {
    Hold hold(*this);
    SetTagValue(kSlotSoftwareVersion, Value::Text(softwareVersion_).get());
}

void VOKDevice::SetFlowTag() {
    Hold hold(*this);
    SetTagValue(kSlotFlowLevel, Value::R8(flow_).get());
}

void VOKDevice::SimulateCounterData() {
    Hold hold(*this);
    SetTagValue(kSlotSoftwareVersion, Value::Text("Simulation").get());
    for (std::int32_t slot = kSlotCounterAlarm; slot <= kSlotConcentrationAlarm; ++slot) SetTagBool(slot, false);
    for (int j = kMaxBins - 1; j >= 0; --j) {
        VOKTag* raw = SlotLocked(kSlotCumulativeRaw + j);
        if (raw != nullptr) raw->SimulateStep();
        VOKTag* normalized = SlotLocked(kSlotCumulativeNormalized + j);
        if (normalized == nullptr) continue;
        double count = 0;
        if (raw != nullptr) vokdevice::AsDouble(*raw, count);
        normalized->SetValueGood(Value::R8(Normalize(count)).get());
        VOKTag* rawDiff = SlotLocked(kSlotDifferentialRaw + j);
        if (rawDiff == nullptr) continue;
        rawDiff->SimulateStep();
        if (VOKTag* normDiff = SlotLocked(kSlotDifferentialNormalized + j)) {
            double diff = 0;
            vokdevice::AsDouble(*rawDiff, diff);
            normDiff->SetValueGood(Value::R8(Normalize(diff)).get());
        }
    }
    for (int n = 0; n < kAnalogInputs; ++n) {
        VOKTag* analog = SlotLocked(kSlotAnalogInput + n);
        VOKTag* inService = SlotLocked(kSlotAnalogInService + n);
        if (analog == nullptr || inService == nullptr) continue;
        if (vokdevice::IsTrue(*inService))
            analog->SimulateStep();
        else
            analog->SetQuality(kQualityOutOfService);
    }
    SetTotals();
}

void VOKDevice::SetTagValue(std::int32_t slot, const VARIANT& value) {
    Hold hold(*this);
    if (VOKTag* tag = SlotLocked(slot)) tag->SetValueGood(value);
}

void VOKDevice::SetTagBool(std::int32_t slot, bool on) {
    SetTagValue(slot, Value::I2(on ? -1 : 0).get());
}
