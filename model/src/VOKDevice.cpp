#include "model/VOKDevice.h"

#include "VOKDeviceSupport.h"
#include "foundation/CLogFile.h"
#include "foundation/LiveObjects.h"
#include "foundation/StringTable.h"
#include "foundation/TextCompare.h"
#include "model/ModelHost.h"
#include "model/Posting.h"
#include "model/UiServices.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "model/VOKTagKinds.h"
#include "platform/SerialNames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using vokdevice::Hold;
using vokdevice::LogStart;
using vokdevice::Value;

namespace {

constexpr std::int32_t kAnalogKind = VOKTagKinds::kAnalog;
constexpr std::int32_t kAnalogInServiceKind = VOKTagKinds::kAnalogInService;
constexpr int kBusyRetries = 3;

// The program-wide list of counter devices, with its own lock.
struct CounterList {
    CRITICAL_SECTION lock;
    std::vector<VOKDevice*> devices;
    CounterList() { InitializeCriticalSection(&lock); }
};

CounterList& Counters() {
    static CounterList* list = new CounterList;
    return *list;
}

}  // namespace

// ---------------------------------------------------------------------------
// Life

VOKDevice::VOKDevice() {
    SetClassCode(kClassCode);
    sampleInterval_ = std::clamp(GetModelHost().GetDefaultPollRate(), kMinUpdateInterval, kMaxUpdateInterval);
    for (double size : {2.0, 5.0, 10.0, 15.0}) binSizes_.AddTail(size);
    LiveObjects<VOKDevice>::Add(this);
    CriticalSectionLock hold(Counters().lock);
    Counters().devices.push_back(this);
}

VOKDevice::~VOKDevice() {
    {
        // First of all: from here on another thread's uniqueness test must not
        // reach this device, which is being taken apart.
        CriticalSectionLock hold(Counters().lock);
        auto& list = Counters().devices;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    LeaveDeviceList();
    LogStart("Deleting Device:", GetName()).Commit(CLogFile::kWrite);
    StopPollThread();
    session_.ClosePort();
    {
        Hold hold(*this);
        busAddress_ = kDefaultAddress;
        portNumber_ = 0;
        commStatus_ = kCommOK;
        tagsCreated_ = false;
        softwareVersion_ = "Unavailable";
        slots_.fill(nullptr);
        groups_.fill(nullptr);
    }
    LiveObjects<VOKDevice>::Remove(this);
    LogDevice("Destroyed");
    Hold hold(*this);
    calPoints_.RemoveAll();
    binSizes_.RemoveAll();
    data_.DestroyRetiredTags();
}

std::unique_ptr<VOKDevice> VOKDevice::Create(bool loading) {
    auto device = std::make_unique<VOKDevice>();
    if (!loading) device->BuildTagTree();
    return device;
}

bool VOKDevice::FitsCounter(double size) {
    if (!std::isfinite(size) || size <= 0) return false;
    char carried[32];
    std::snprintf(carried, sizeof carried, "%g", size);
    return std::strlen(carried) <= 3 && std::strtod(carried, nullptr) == size;
}

bool VOKDevice::IsValidVOKDevice(const OPCS_TagGroup* group) {
    if (!IsValidDevice(group)) return false;
    const auto* device = dynamic_cast<const VOKDevice*>(group);
    return device != nullptr && LiveObjects<VOKDevice>::Contains(device);
}

void VOKDevice::BuildTagTree() {
    {
        Hold hold(*this);
        if (tagsCreated_) return;
        tagsCreated_ = true;
    }
    static constexpr std::int32_t kGroupTagKind[5] = {2, 3, 5, 19, 20};
    for (std::int32_t k = 0; k < 6; ++k) {
        auto made = std::make_unique<VOKTagGroup>();
        made->SetName(LoadStringText(IDS_GROUP_BIN_SIZES + static_cast<UINT>(k)));
        made->SetKind(k);
        // The device owns the group from the moment it takes it.
        if (!AddGroup(made.get())) continue;
        VOKTagGroup* group = made.release();
        {
            Hold hold(*this);
            groups_[static_cast<std::size_t>(k)] = group;
        }
        auto add = [group](std::int32_t kind, std::int32_t slot) {
            VOKTagKinds::AddTo(*group, VOKTagKinds::MakeTag(kind, slot));
        };
        if (k < 5) {
            for (int j = 0; j < kMaxBins; ++j) add(kGroupTagKind[k], VOKTagKinds::FirstSlot(kGroupTagKind[k]) + j);
        } else {
            for (int n = 0; n < kAnalogInputs; ++n) {
                add(kAnalogKind, kSlotAnalogInput + n);
                add(kAnalogInServiceKind, kSlotAnalogInService + n);
            }
        }
    }
    for (std::int32_t kind : {0, 1, 4, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}) {
        VOKTagKinds::AddTo(*this, VOKTagKinds::MakeTag(kind, VOKTagKinds::FirstSlot(kind)));
    }
    RebuildSlots();
    {
        Hold hold(*this);
        commStatus_ = kCommOK;
        data_.SetTagValue(kSlotCommStatus, Value::I4(0).get());
        Value empty;
        for (VOKTag* tag : slots_) {
            if (tag == nullptr || !VOKTag::IsValidVOKTag(tag)) continue;
            if (tag->IsVolatile())
                tag->SetValue(empty.get(), kQualityBad, FILETIME{});
            else
                tag->SetValueGood(empty.get());
        }
    }
    Dll<double> bins;
    GetBinSizes(bins);
    data_.ApplyBinSizes(bins);
    data_.SetSampleIntervalTag();
    data_.SetVersionTag();
    data_.SetFlowTag();
    data_.SetTagValue(kSlotCommStatus, Value::I4(0).get());
    SetInService(true);
    for (int n = 0; n < kAnalogInputs; ++n) EnableAnalogInput(n, true);
}

void VOKDevice::RebuildSlots() { RebuildTagList(); }

void VOKDevice::RebuildTagList() {
    Hold hold(*this);
    OPCS_Device::RebuildTagList();
    // Only the standard kinds have a slot, and only inside their kind's range:
    // a tag the operator added (no kind) keeps its default slot number 0 and
    // must not take the place of the Software Version tag.
    slots_.fill(nullptr);
    Dll<OPCS_Tag*> list;
    CopyTagList(list);
    for (OPCS_Tag* tag : list) {
        if (!VOKTag::IsValidVOKTag(tag)) continue;
        auto* vok = static_cast<VOKTag*>(tag);
        const std::int32_t kind = vok->GetKind();
        const std::int32_t slot = vok->GetSlot();
        if (!VOKTagKinds::IsKind(kind) || slot < 0 || slot >= kSlotCount || VOKTagKinds::KindOfSlot(slot) != kind)
            continue;
        if (slots_[static_cast<std::size_t>(slot)] == nullptr) slots_[static_cast<std::size_t>(slot)] = vok;
    }
    data_.ReapRetiredTags();
}

void VOKDevice::AfterLoad() {
    Dll<OPCS_TagGroup*> groups;
    CopyGroups(groups);
    {
        Hold hold(*this);
        tagsCreated_ = true;
        groups_.fill(nullptr);
        for (OPCS_TagGroup* member : groups) {
            if (!VOKTagGroup::IsValidVOKTagGroup(member)) continue;
            auto* group = static_cast<VOKTagGroup*>(member);
            const std::int32_t kind = group->GetKind();
            if (kind >= 0 && kind < 6 && groups_[static_cast<std::size_t>(kind)] == nullptr)
                groups_[static_cast<std::size_t>(kind)] = group;
        }
    }
    RebuildSlots();
    Dll<double> bins;
    GetBinSizes(bins);
    data_.ApplyBinSizes(bins);
    data_.SetSampleIntervalTag();
    data_.SetVersionTag();
    data_.SetFlowTag();
    {
        Hold hold(*this);
        commStatus_ = kCommOK;
    }
    data_.SetTagValue(kSlotCommStatus, Value::I4(0).get());
    SetInService(true);
}

// ---------------------------------------------------------------------------
// Names and the bus

std::string VOKDevice::GetDefaultName() {
    char base[160];
    std::snprintf(base, sizeof base, "%s %u-%02u", LoadStringText(IDS_MODEL_NAME).c_str(),
                  static_cast<unsigned>(GetPort()), static_cast<unsigned>(GetAddress() - kDefaultAddress) & 0xFFu);
    std::string name = base;
    for (unsigned n = 2; !IsUniqueDeviceName(name, this) && n < 100000; ++n) {
        char candidate[200];
        std::snprintf(candidate, sizeof candidate, "%s v%u", base, n);
        name = candidate;
    }
    return name;
}

bool VOKDevice::IsUniqueOnBus() const {
    const std::int32_t port = GetPort();
    const BYTE address = GetAddress();
    const std::string name = GetName();
    CriticalSectionLock hold(Counters().lock);
    for (VOKDevice* other : Counters().devices) {
        if (other == this || !IsValidVOKDevice(other) || other->IsTerminating()) continue;
        if (other->GetPort() == port && other->GetAddress() == address) return false;
        if (EqualNoCase(other->GetName(), name)) return false;
    }
    return true;
}

bool VOKDevice::InitFromDiscovery(BYTE address, const std::string& portName, const StopFlag* cancel) {
    {
        Hold hold(*this);
        busAddress_ = address;
        // A name that is no COM name leaves the device without a port (0):
        // its reads then fail without a byte sent on any line.
        int number = 0;
        portNumber_ = serialnames::ParseComName(portName, &number) ? number : 0;
    }
    BuildTagTree();
    auto failed = [&](const char* message) {
        EventLog().Append("Device on port:").Append(portName).Append("Addr:").AppendByte(address).Append(message).Commit(
            CLogFile::kWrite);
        return false;
    };
    auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    std::string type;
    if (cancelled()) return false;
    if (!session_.ReadType(type, cancel)) return failed("Failed to read device type");
    if (type != "MCA") return failed("Invalid type string");
    if (cancelled()) return false;
    std::string version;
    if (!session_.ReadVersion(version, cancel)) return failed("Failed to read version");
    {
        Hold hold(*this);
        softwareVersion_ = version;
    }
    data_.SetVersionTag();
    if (cancelled()) return false;
    int seconds = 0;
    if (!session_.ReadSampleInterval(seconds, cancel)) return failed("Failed to read sample interval");
    SetSampleInterval(static_cast<DWORD>(std::max(seconds, 0)), false);
    if (cancelled()) return false;
    Dll<double> bins;
    if (!session_.ReadBinSizes(bins, cancel)) return failed("Failed to read bin sizes");
    SetBinSizes(bins, false);
    if (cancelled()) return false;
    Dll<VOK_CalPt> points;
    if (!session_.ReadCalPts(points, cancel)) return failed("Failed to read Cal Pts");
    SetCalPoints(points);
    return true;
}

// ---------------------------------------------------------------------------
// Configuration

bool VOKDevice::SetSampleInterval(DWORD requested, bool writeToCounter) {
    const DWORD seconds = std::clamp(requested, kMinUpdateInterval, kMaxUpdateInterval);
    bool portOpen = false;
    int port = 0;
    {
        Hold hold(*this);
        if (seconds == sampleInterval_) return true;
        portOpen = session_.IsPortOpen();
        port = portNumber_;
    }
    if (writeToCounter && !IsSimulation()) {
        // Talks to the counter without the device lock: the confirmation takes seconds.
        VOKCounterSession::PortUse use(portOpen, port);
        if (use.Failed()) return false;
        if (!session_.WriteSampleInterval(static_cast<int>(seconds))) {
            LogStart("Failed to change sample interval on device", GetName()).Append("to")
                .Append(static_cast<unsigned long>(seconds)).Append("seconds").Commit(CLogFile::kWrite);
            return false;
        }
        Pause(GetPauses().confirmation, false);
        int readBack = 0;
        if (!session_.ReadSampleInterval(readBack) || readBack != static_cast<int>(seconds)) {
            LogStart("Failed to confirm sample interval change on device", GetName()).Commit(
                CLogFile::kWrite);
            return false;
        }
    }
    {
        Hold hold(*this);
        sampleInterval_ = seconds;
    }
    SetUpdateInterval(seconds);
    LogStart("Device:", GetName()).Append("Sample interval set to:")
        .Append(static_cast<unsigned long>(seconds)).Append("Secs").Commit(CLogFile::kWrite);
    data_.SetSampleIntervalTag();
    MarkDocumentModified();
    return true;
}

void VOKDevice::SetBinSizes(const Dll<double>& sizes, bool writeToCounter) {
    if (sizes.GetCount() > kMaxBins) {
        LogDevice("Bin list refused: more than 32 bins");
        return;
    }
    bool portOpen = false;
    int port = 0;
    {
        Hold hold(*this);
        if (vokdevice::SameList(sizes, binSizes_)) return;
        portOpen = session_.IsPortOpen();
        port = portNumber_;
    }
    if (writeToCounter && !IsSimulation()) {
        VOKCounterSession::PortUse use(portOpen, port);
        if (use.Failed()) return;
        if (!session_.WriteBinSizes(sizes)) {
            LogDevice("Failed to write bin sizes");
            GetUiServices().ShowMessage(LoadStringText(IDS_BIN_SIZES_WRITE_FAILED), MessageIcon::Information,
                                        MessageButtons::Ok);
            return;
        }
        Pause(GetPauses().confirmation, false);
        Dll<double> readBack;
        if (!session_.ReadBinSizes(readBack) || !vokdevice::SameList(readBack, sizes)) {
            LogDevice("Failed to confirm write of new bin sizes");
            GetUiServices().ShowMessage(LoadStringText(IDS_BIN_SIZES_NOT_CONFIRMED), MessageIcon::Information,
                                        MessageButtons::Ok);
            return;
        }
    }
    {
        Hold hold(*this);
        binSizes_.Assign(sizes);
    }
    data_.ApplyBinSizes(sizes);
    MarkDocumentModified();
}

void VOKDevice::SetFlow(double mlPerMin) {
    {
        Hold hold(*this);
        if (mlPerMin == flow_) return;
        flow_ = mlPerMin;
    }
    data_.SetFlowTag();
    LogStart("Device:", GetName()).Append("Flow value set to:").Append(mlPerMin).Commit(
        CLogFile::kWrite);
    MarkDocumentModified();
}

void VOKDevice::SetPort(std::int32_t number) {
    std::int32_t old = 0;
    {
        Hold hold(*this);
        if (number == portNumber_) return;
        old = portNumber_;
    }
    {
        // Under the I/O lock, so that no transaction is under way on the old port.
        vokdevice::IOHold io(*this);
        session_.ClosePort();
        {
            Hold hold(*this);
            portNumber_ = number;
        }
        // A counter on another line has not seen this device's configuration.
        initialised_ = false;
    }
    LogStart("Device:", GetName()).Append("Port changed from:").Append(old).Append("to:").Append(number)
        .Commit(CLogFile::kWrite);
    MarkDocumentModified();
}

void VOKDevice::SetAddress(BYTE address) {
    {
        Hold hold(*this);
        if (address == busAddress_) return;
    }
    {
        vokdevice::IOHold io(*this);
        {
            Hold hold(*this);
            busAddress_ = address;
        }
        initialised_ = false;
    }
    MarkDocumentModified();
}

void VOKDevice::SetCalPoints(const Dll<VOK_CalPt>& points) {
    Hold hold(*this);
    calPoints_.Assign(points);
}

void VOKDevice::SetAnalogLimits(const std::vector<VOKAnalogLimits>& limits) {
    VOKTagGroup* group = GetKindGroup(VOKTagGroup::AnalogData);
    if (limits.size() != static_cast<std::size_t>(kAnalogInputs) || group == nullptr) return;
    for (const VOKAnalogLimits& entry : limits) {
        if (entry.inputIndex < 0 || entry.inputIndex >= kAnalogInputs) continue;
        const std::int32_t n = entry.inputIndex;
        {
            Hold hold(*this);
            AddMissingTag(group, kAnalogKind, kSlotAnalogInput + n);
            AddMissingTag(group, kAnalogInServiceKind, kSlotAnalogInService + n);
        }
        VOKTag* analog = GetSlotTag(kSlotAnalogInput + n);
        if (analog == nullptr) continue;
        if (entry.enabled) {
            analog->SetEULimits(entry.minimum, entry.maximum);
            analog->SetDeadBand(entry.deadBand);
            data_.SetTagBool(kSlotAnalogInService + n, true);
            LogStart("Device:", GetName()).Append("Analog input").Append(n).Append("enabled, Min:")
                .Append(entry.minimum).Append("Max:").Append(entry.maximum).Append("DeadBand:").Append(entry.deadBand)
                .Commit(CLogFile::kWrite);
        } else {
            data_.SetTagBool(kSlotAnalogInService + n, false);
            LogStart("Device:", GetName()).Append("Analog input").Append(n).Append("disabled").Commit(
                CLogFile::kWrite);
        }
    }
}

std::vector<VOKAnalogLimits> VOKDevice::GetAnalogLimits() const {
    std::vector<VOKAnalogLimits> out;
    for (int n = 0; n < kAnalogInputs; ++n) {
        VOKAnalogLimits entry;
        entry.inputIndex = n;
        if (VOKTag* analog = GetSlotTag(kSlotAnalogInput + n)) {
            entry.minimum = analog->GetEUMin();
            entry.maximum = analog->GetEUMax();
            entry.deadBand = analog->GetDeadBand();
            entry.analogTag = analog;
        }
        if (VOKTag* inService = GetSlotTag(kSlotAnalogInService + n)) entry.enabled = vokdevice::IsTrue(*inService);
        out.push_back(entry);
    }
    return out;
}

bool VOKDevice::EnableAnalogInput(std::int32_t index, bool enable) {
    if (index < 0 || index >= kAnalogInputs || GetKindGroup(VOKTagGroup::AnalogData) == nullptr) return false;
    Hold hold(*this);
    VOKTag* analog = SlotLocked(kSlotAnalogInput + index);
    VOKTag* inService = SlotLocked(kSlotAnalogInService + index);
    if (analog == nullptr || inService == nullptr) return false;
    data_.SetTagBool(kSlotAnalogInService + index, enable);
    Value empty;
    analog->SetValue(empty.get(), kQualityBad, FILETIME{});
    if (!enable) analog->SetQuality(kQualityOutOfService);
    return true;
}

void VOKDevice::SetSimulation(bool on) {
    if (simulation_.exchange(on) == on) return;
    if (on) LogStart("Device:", GetName()).Append("Simulation:").Append("Enabled").Commit(CLogFile::kWrite);
    // The counter has to be set up again when the data comes from it once more.
    if (!on) initialised_ = false;
    MarkDocumentModified();
}

void VOKDevice::SetInService(bool inService) {
    OPCS_Device::SetInService(inService);
    initialised_ = false;
    data_.SetTagBool(kSlotCounterInService, inService);
}

void VOKDevice::SetPauses(const VOKDevicePauses& pauses) {
    Hold hold(*this);
    pauses_ = pauses;
}

VOKDevicePauses VOKDevice::GetPauses() const {
    // A copy taken under the lock: another thread may set new pauses while
    // this one waits on the counter.
    Hold hold(*this);
    return pauses_;
}

DWORD VOKDevice::GetSampleInterval() const {
    Hold hold(*this);
    return sampleInterval_;
}

void VOKDevice::GetBinSizes(Dll<double>& out) const {
    Hold hold(*this);
    out.Assign(binSizes_);
}

void VOKDevice::GetCalPoints(Dll<VOK_CalPt>& out) const {
    Hold hold(*this);
    out.Assign(calPoints_);
}

double VOKDevice::GetFlow() const {
    Hold hold(*this);
    return flow_;
}

std::int32_t VOKDevice::GetPort() const {
    Hold hold(*this);
    return portNumber_;
}

BYTE VOKDevice::GetAddress() const {
    Hold hold(*this);
    return busAddress_;
}

std::string VOKDevice::GetSoftwareVersion() const {
    Hold hold(*this);
    return softwareVersion_;
}

std::int32_t VOKDevice::GetCommStatus() const {
    Hold hold(*this);
    return commStatus_;
}

bool VOKDevice::AreTagsCreated() const {
    Hold hold(*this);
    return tagsCreated_;
}

VOKTag* VOKDevice::GetSlotTag(std::int32_t slot) const {
    Hold hold(*this);
    return SlotLocked(slot);
}

VOKTag* VOKDevice::SlotLocked(std::int32_t slot) const {
    if (slot < 0 || slot >= kSlotCount) return nullptr;
    VOKTag* tag = slots_[static_cast<std::size_t>(slot)];
    return tag != nullptr && VOKTag::IsValidVOKTag(tag) ? tag : nullptr;
}

VOKTagGroup* VOKDevice::GetKindGroup(std::int32_t kind) const {
    if (kind < 0 || kind >= 6) return nullptr;
    Hold hold(*this);
    VOKTagGroup* group = groups_[static_cast<std::size_t>(kind)];
    return VOKTagGroup::IsValidVOKTagGroup(group) ? group : nullptr;
}

bool VOKDevice::RemoveTag(OPCS_Tag*) { return false; }
bool VOKDevice::RemoveGroup(OPCS_TagGroup*) { return false; }
bool VOKDevice::ShowProperties() { return GetUiServices().ShowDeviceProperties(*this); }
std::int32_t VOKDevice::GetImageIndex() const { return IsCommOK() ? 0 : 2; }
std::int32_t VOKDevice::GetOpenImageIndex() const { return IsCommOK() ? 1 : 3; }

bool VOKDevice::WriteDeviceTag(OPCS_Tag* tag, const VARIANT& value) {
    if (!VOKTag::IsValidVOKTag(tag)) return false;
    auto* vok = static_cast<VOKTag*>(tag);
    switch (vok->GetKind()) {
    case VOKTagKinds::kSampleInterval: {
        VARIANT seconds;
        VariantInit(&seconds);
        const bool ok = SUCCEEDED(VariantChangeType(&seconds, &value, 0, VT_R8)) && std::isfinite(seconds.dblVal);
        const double whole = ok ? std::trunc(seconds.dblVal) : 0;
        VariantClear(&seconds);
        if (!ok) return false;
        // Out-of-range values are held to the range here, before they become unsigned.
        const DWORD clamped = whole < 0 ? 0 : whole > kMaxUpdateInterval ? kMaxUpdateInterval : static_cast<DWORD>(whole);
        return SetSampleInterval(clamped, true);
    }
    case VOKTagKinds::kCounterInService: {
        bool on = false;
        if (!vokdevice::AsBool(value, on)) return false;
        SetInService(on);
        return true;
    }
    case kAnalogInServiceKind: {
        bool on = false;
        if (!vokdevice::AsBool(value, on)) return false;
        return EnableAnalogInput(vok->GetSlot() - kSlotAnalogInService, on);
    }
    default: return false;
    }
}

// ---------------------------------------------------------------------------
// The poll pass and the poll loop's start and stop

void VOKDevice::PollOnce() {
    if (IsSimulation()) {
        data_.SimulateCounterData();
        return;
    }
    if (!session_.OpenPort()) {
        SetCommStatus(kCommFailure);
        return;
    }
    const std::int32_t port = GetPort();
    if (IsInitialised()) {
        const VOKDevicePauses pauses = GetPauses();
        if (!Pause(pauses.beforeData) || IsStopRequested()) return;
        int retries = 0;
        while (!IsStopRequested()) {
            int mode = 2;
            if (!session_.ReadCounterMode(mode)) {
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
            if (!session_.ReadData(flags, records)) {
                if (IsStopRequested()) return;
                SetCommStatus(kCommFailure);
                LogDevice("Failed counter data read");
                return;
            }
            if (IsStopRequested()) return;
            data_.ProcessCounterData(flags, records);
            session_.StartSampling();
            SetCommStatus(kCommOK);
            if (HasSampleSinks()) PublishSample(data_.MakeSampleRecord(flags));
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
    if (session_.Initialise()) {
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

void VOKDevice::AddMissingTag(VOKTagGroup* group, std::int32_t kind, std::int32_t slot) {
    if (SlotLocked(slot) != nullptr) return;
    OPCS_TagGroup& owner = group != nullptr ? static_cast<OPCS_TagGroup&>(*group) : *this;
    if (VOKTag* tag = VOKTagKinds::AddTo(owner, VOKTagKinds::MakeTag(kind, slot)))
        slots_[static_cast<std::size_t>(slot)] = tag;
}

void VOKDevice::EnsureFixedTags() {
    RebuildSlots();
    {
        Hold hold(*this);
        for (std::int32_t kind : {10, 11, 12, 13, 14, 15}) AddMissingTag(nullptr, kind, VOKTagKinds::FirstSlot(kind));
        const bool hadInService = SlotLocked(kSlotCounterInService) != nullptr;
        AddMissingTag(nullptr, VOKTagKinds::kCounterInService, kSlotCounterInService);
        if (!hadInService) data_.SetTagBool(kSlotCounterInService, IsInService());
        const bool hadStatus = SlotLocked(kSlotCommStatus) != nullptr;
        AddMissingTag(nullptr, VOKTagKinds::kCommStatus, kSlotCommStatus);
        if (!hadStatus) data_.SetTagValue(kSlotCommStatus, Value::I4(0).get());
        VOKTagGroup* analog = groups_[VOKTagGroup::AnalogData];
        if (VOKTagGroup::IsValidVOKTagGroup(analog)) {
            for (int n = 0; n < kAnalogInputs; ++n) {
                if (SlotLocked(kSlotAnalogInput + n) == nullptr || SlotLocked(kSlotAnalogInService + n) != nullptr)
                    continue;
                AddMissingTag(analog, kAnalogInServiceKind, kSlotAnalogInService + n);
                data_.SetTagBool(kSlotAnalogInService + n, true);
            }
        }
    }
    RebuildSlots();
    PostTimer(PostTarget::TagList, kTimerTagRows);
}

void VOKDevice::OnPollStart() {
    SetStopRequested(false);
    EnsureFixedTags();
    SetCommStatus(kCommOK);
    initialised_ = IsSimulation();
    LogDevice("Poll loop started");
    PublishEvent(DeviceEventKind::PollStarted, "Poll loop started");
}

void VOKDevice::OnPollStop() {
    // Stopped, the device is no longer failing: the history reads the stop,
    // not a communication coming back.
    PublishEvent(DeviceEventKind::PollStopped, "Poll loop stopped");
    SetCommStatus(kCommOK, false);
    session_.ClosePort();
    LogDevice("Poll loop stopped");
    SetStopRequested(false);
}

void VOKDevice::PublishEvent(DeviceEventKind kind, const char* text) {
    // A device in simulation keeps no history: its counts are made up.
    if (!HasSampleSinks() || IsSimulation()) return;
    DeviceEvent event;
    event.timeMs = NowUtcMs();
    event.kind = kind;
    event.text = text;
    event.device = GetName();
    {
        Hold hold(*this);
        event.port = portNumber_;
        event.address = busAddress_ & 0x7F;
        event.commStatus = commStatus_;
    }
    PublishDeviceEvent(event);
}

void VOKDevice::SetCommStatus(std::int32_t status, bool recordChange) {
    std::int32_t before = kCommOK;
    {
        Hold hold(*this);
        if (status == commStatus_) return;
        before = commStatus_;
        commStatus_ = status;
    }
    // A loss and its end are kept, so that the time between reads as a gap
    // rather than as missing data; a change between two failures is one loss.
    if (recordChange && status == kCommOK)
        PublishEvent(DeviceEventKind::CommRestored, "Communication restored");
    else if (recordChange && before == kCommOK)
        PublishEvent(DeviceEventKind::CommLost, status == kAddressConflict ? "Address conflict" : "Communication lost");
    data_.SetTagValue(kSlotCommStatus, Value::I4(status).get());
    if (status != kCommOK) {
        SetCommOK(false);
        initialised_ = false;
        SetAllVolatile(kQualityCommFailure);
    } else {
        SetCommOK(true);
    }
}

void VOKDevice::LogDevice(const char* text) {
    LogStart("Device:", GetName()).Append(text).Commit(CLogFile::kWrite);
}
