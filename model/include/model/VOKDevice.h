#pragma once
// The device of one "4400 VOK" particle counter on a numbered serial port and
// bus address: the fixed tree of bin, total, alarm and analog tags, the
// counter's configuration (sample interval, bins, flow, calibration points,
// analog inputs) and the poll pass. Its counter session (VOKCounterSession)
// talks to the counter; its data mapper (VOKDataMapper) turns the counter's
// data into tag values; the tag kinds (VOKTagKinds) say what each tag is.

#include "foundation/Dll.h"
#include "link/VOKCommands.h"
#include "model/OPCS_Device.h"
#include "model/VOKCounterSession.h"
#include "model/SampleSinks.h"
#include "model/VOKDataMapper.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CArchive;
class VOKTag;
class VOKTagGroup;

// Bad, configuration error: what an item of a tag whose bin went away reads.
constexpr WORD kQualityConfigError = 0x04;

// What the analog-input page exchanges with the device, one per input.
struct VOKAnalogLimits {
    std::int32_t enabled = 0;
    std::int32_t inputIndex = 0;  // 0 to 7
    double minimum = 0;
    double maximum = 0;
    double deadBand = 0;  // percent
    VOKTag* analogTag = nullptr;
};

// The pauses the counter's timing asks for. Only tests and benchmarks against
// a fast simulator shorten them.
struct VOKDevicePauses {
    DWORD beforeData = 300;     // after the sample interval, before asking for the data
    DWORD busyRetry = 500;      // between mode queries while a sample is still running
    DWORD confirmation = 5000;  // after a configuration write, before reading it back
};

class VOKDevice : public OPCS_Device {
public:
    static constexpr std::int32_t kClassCode = 3;
    static constexpr int kMaxBins = 32;
    static constexpr int kAnalogInputs = 8;
    static constexpr int kSlotCount = 190;
    static constexpr BYTE kDefaultAddress = 0x80;

    enum CommStatus : std::int32_t { kCommOK = 0, kCommFailure = 1, kAddressConflict = 2 };

    // Slots of the device's tags (bins j = 0..31, analog inputs n = 0..7 are added).
    enum Slot : std::int32_t {
        kSlotSoftwareVersion = 0,
        kSlotNumBins = 1,
        kSlotBinSize = 2,
        kSlotCumulativeRaw = 34,
        kSlotTotalRaw = 66,
        kSlotCumulativeNormalized = 67,
        kSlotTotalNormalized = 99,
        kSlotAnalogInput = 100,
        kSlotSampleInterval = 108,
        kSlotFlowLevel = 109,
        kSlotCounterAlarm = 110,
        kSlotCalibrationAlarm = 111,
        kSlotCountAlarm = 112,
        kSlotAnalogAlarm = 113,
        kSlotCommAlarm = 114,
        kSlotConcentrationAlarm = 115,
        kSlotCommStatus = 116,
        kSlotCounterInService = 117,
        kSlotAnalogInService = 118,
        kSlotDifferentialRaw = 126,
        kSlotDifferentialNormalized = 158,
    };

    VOKDevice();
    ~VOKDevice() override;

    // A new device; unless it is about to be loaded from a file, with its tag tree.
    static std::unique_ptr<VOKDevice> Create(bool loading);
    static bool IsValidVOKDevice(const OPCS_TagGroup* group);
    // Whether the counter can hold this bin size: it keeps a size as at most
    // three characters ("0.3", "12", "999"), so any other would be written as a
    // different size and its counts never matched.
    static bool FitsCounter(double size);

    void BuildTagTree();

    std::string GetDefaultName() override;
    bool IsUniqueOnBus() const;
    bool InitFromDiscovery(BYTE address, const std::string& portName, const StopFlag* cancel);

    // Configuration.
    bool SetSampleInterval(DWORD seconds, bool writeToCounter);
    void SetBinSizes(const Dll<double>& sizes, bool writeToCounter);
    void SetFlow(double mlPerMin);
    void SetPort(std::int32_t number);
    void SetAddress(BYTE address);
    void SetCalPoints(const Dll<VOK_CalPt>& points);
    void SetAnalogLimits(const std::vector<VOKAnalogLimits>& limits);
    std::vector<VOKAnalogLimits> GetAnalogLimits() const;
    bool EnableAnalogInput(std::int32_t index, bool enable);
    void SetSimulation(bool on);
    void SetInService(bool inService) override;
    void SetPauses(const VOKDevicePauses& pauses);

    DWORD GetSampleInterval() const;
    void GetBinSizes(Dll<double>& out) const;
    void GetCalPoints(Dll<VOK_CalPt>& out) const;
    double GetFlow() const;
    std::int32_t GetPort() const;
    BYTE GetAddress() const;
    std::string GetSoftwareVersion() const;
    std::int32_t GetCommStatus() const;
    bool IsSimulation() const { return simulation_.load(); }
    bool IsInitialised() const { return initialised_.load(); }
    bool AreTagsCreated() const;
    // The tag in a slot, or null; and a group by its kind 0..5.
    VOKTag* GetSlotTag(std::int32_t slot) const;
    VOKTagGroup* GetKindGroup(std::int32_t kind) const;

    // The device's tags and groups stay; members of the groups follow the group rules.
    bool RemoveTag(OPCS_Tag* tag) override;
    bool RemoveGroup(OPCS_TagGroup* group) override;
    bool ShowProperties() override;
    // After loading, the device re-associates its standard groups and tags.
    void Serialize(CArchive& ar) override;
    std::int32_t GetImageIndex() const override;
    std::int32_t GetOpenImageIndex() const override;
    bool WriteDeviceTag(OPCS_Tag* tag, const VARIANT& value) override;
    void PollOnce() override;
    void OnPollStart() override;
    void OnPollStop() override;
    void RebuildTagList() override;

    // The device's talk with its counter, and what it makes of the data.
    VOKCounterSession& Session() { return session_; }
    VOKDataMapper& Data() { return data_; }

private:
    // The device's parts work on its configuration and slot table under its lock.
    friend class VOKCounterSession;
    friend class VOKDataMapper;

    void RebuildSlots();
    // After loading from a file: groups by kind, slots, configuration onto the tags.
    void AfterLoad();
    // recordChange false: a reset that is no change of the line (the poll
    // loop's end), which the sample sinks are not told of.
    void SetCommStatus(std::int32_t status, bool recordChange = true);
    void EnsureFixedTags();
    // With the device lock held: a tag of that kind in an empty slot.
    void AddMissingTag(VOKTagGroup* group, std::int32_t kind, std::int32_t slot);
    void LogDevice(const char* text);
    // A device event to the sample sinks, stamped now.
    void PublishEvent(DeviceEventKind kind, const char* text);
    // With the device lock held: the valid tag in a slot, or null.
    VOKTag* SlotLocked(std::int32_t slot) const;
    VOKDevicePauses GetPauses() const;

    bool tagsCreated_ = false;
    std::atomic<bool> initialised_{false};
    std::atomic<bool> simulation_{false};
    BYTE busAddress_ = kDefaultAddress;
    double flow_ = 100.0;
    Dll<double> binSizes_;
    Dll<VOK_CalPt> calPoints_;
    DWORD sampleInterval_ = 30;
    std::string softwareVersion_ = "Unavailable";
    std::array<VOKTag*, kSlotCount> slots_{};
    std::int32_t portNumber_ = 0;
    std::int32_t commStatus_ = kCommOK;
    std::array<VOKTagGroup*, 6> groups_{};
    VOKDevicePauses pauses_;
    VOKCounterSession session_{*this};
    VOKDataMapper data_{*this};
};
