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

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using vokdevice::Hold;
using vokdevice::LogStart;
using vokdevice::Value;

namespace {

constexpr int kKindCount = 21;
constexpr std::int32_t kOnDevice = -1;

struct KindInfo {
    std::int32_t firstSlot;
    std::int32_t slots;
    std::int32_t group;  // the group kind that holds the tags, or kOnDevice
    VARTYPE type;
    std::int32_t access;  // 0 read only, 1 read/write
    bool isVolatile;
    bool undeletable;
    std::int32_t image;
};

constexpr KindInfo kKinds[kKindCount] = {
    {0, 1, kOnDevice, VT_BSTR, 0, false, false, 0},       // Software Version
    {1, 1, kOnDevice, VT_I4, 0, false, false, 1},         // Num Bins
    {2, 32, VOKTagGroup::BinSizes, VT_R8, 0, false, false, 2},
    {34, 32, VOKTagGroup::CumulativeRaw, VT_I4, 0, true, false, 3},
    {66, 1, kOnDevice, VT_I4, 0, true, false, 4},         // Total Raw Counts
    {67, 32, VOKTagGroup::CumulativeNormalized, VT_R8, 0, true, false, 3},
    {99, 1, kOnDevice, VT_R8, 0, true, false, 4},         // Total Normalized Counts
    {100, 8, VOKTagGroup::AnalogData, VT_R8, 0, true, false, 9},
    {108, 1, kOnDevice, VT_R8, 1, false, false, 7},       // Sample Interval
    {109, 1, kOnDevice, VT_R4, 0, false, false, 6},       // Flow Level
    {110, 1, kOnDevice, VT_BOOL, 0, true, false, 12},     // the six alarms
    {111, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {112, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {113, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {114, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {115, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {116, 1, kOnDevice, VT_I4, 0, false, false, 8},       // Comm Status
    {117, 1, kOnDevice, VT_BOOL, 1, false, true, 10},     // Counter In Service
    {118, 8, VOKTagGroup::AnalogData, VT_BOOL, 1, false, true, 10},
    {126, 32, VOKTagGroup::DifferentialRaw, VT_I4, 0, true, false, 3},
    {158, 32, VOKTagGroup::DifferentialNormalized, VT_R8, 0, true, false, 3},
};

constexpr std::int32_t kAnalogKind = 7;
constexpr std::int32_t kSampleIntervalKind = 8;
constexpr std::int32_t kCounterInServiceKind = 17;
constexpr std::int32_t kAnalogInServiceKind = 18;

bool IsKind(std::int32_t kind) { return kind >= 0 && kind < kKindCount; }

// The comma-separated texts of the string table, split once; empty fields stay.
std::vector<std::string> SplitTable(UINT id) {
    std::vector<std::string> out;
    const std::string text = LoadStringText(id);
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        out.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    out.resize(kKindCount);
    return out;
}

const std::vector<std::string>& KindNames() {
    static const std::vector<std::string> names = SplitTable(IDS_TAG_KIND_NAMES);
    return names;
}

const std::vector<std::string>& KindDescriptions() {
    static const std::vector<std::string> texts = SplitTable(IDS_TAG_KIND_DESCRIPTIONS);
    return texts;
}

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

bool SameList(const Dll<double>& a, const Dll<double>& b) {
    if (a.GetCount() != b.GetCount()) return false;
    auto* x = a.Head();
    auto* y = b.Head();
    for (int i = 0; i < a.GetCount(); ++i, x = x->Next(), y = y->Next())
        if (x->Value() != y->Value()) return false;
    return true;
}

// Opens the port for one configuration change when the device has not opened
// it, and closes exactly what it opened. The port's use is counted per user,
// so a poll loop that opens the port meanwhile keeps its own opening.
class PortUse {
public:
    PortUse(bool alreadyOpen, int port) : port_(port) {
        if (alreadyOpen) return;
        opened_ = VOK_OpenPort(port);
        failed_ = !opened_;
        if (failed_) EventLog().Append("Unable to open port COM:").Append(port).Commit(CLogFile::kWrite);
    }
    ~PortUse() {
        if (opened_ && !VOK_ClosePort(port_))
            EventLog().Append("Unable to close port COM:").Append(port_).Commit(CLogFile::kWrite);
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;
    bool Failed() const { return failed_; }

private:
    int port_;
    bool opened_ = false;
    bool failed_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Kinds

std::string VOKDevice::KindName(std::int32_t kind) { return IsKind(kind) ? KindNames()[kind] : std::string(); }
std::string VOKDevice::KindDescription(std::int32_t kind) {
    return IsKind(kind) ? KindDescriptions()[kind] : std::string();
}
std::int32_t VOKDevice::FirstSlot(std::int32_t kind) { return IsKind(kind) ? kKinds[kind].firstSlot : -1; }
std::int32_t VOKDevice::SlotCount(std::int32_t kind) { return IsKind(kind) ? kKinds[kind].slots : 0; }

std::int32_t VOKDevice::KindOfSlot(std::int32_t slot) {
    for (std::int32_t kind = 0; kind < kKindCount; ++kind)
        if (slot >= kKinds[kind].firstSlot && slot < kKinds[kind].firstSlot + kKinds[kind].slots) return kind;
    return -1;
}

VOKTag* VOKDevice::MakeTag(std::int32_t kind, std::int32_t slot) {
    if (KindOfSlot(slot) != kind) return nullptr;
    const KindInfo& info = kKinds[kind];
    const int instance = slot - info.firstSlot + 1;
    char name[160];
    switch (kind) {
    case 2:
    case 3:
    case 5:
    case 19:
    case 20: std::snprintf(name, sizeof name, "%s %02d", KindName(kind).c_str(), instance); break;
    case kAnalogKind: std::snprintf(name, sizeof name, "%s %d", KindName(kAnalogKind).c_str(), instance); break;
    case kAnalogInServiceKind:
        std::snprintf(name, sizeof name, "%s %d - %s", KindName(kAnalogKind).c_str(), instance,
                      KindName(kAnalogInServiceKind).c_str());
        break;
    default: std::snprintf(name, sizeof name, "%s", KindName(kind).c_str()); break;
    }
    auto* tag = new VOKTag;
    tag->SetKind(kind);
    tag->SetSlot(slot);
    tag->SetName(name);
    tag->SetDescription(KindDescription(kind));
    tag->SetCanonicalType(info.type);
    tag->SetAccessRights(info.access);
    tag->SetVolatile(info.isVolatile);
    tag->SetUndeletable(info.undeletable);
    tag->SetImageIndex(info.image);
    switch (kind) {
    case 3:
    case 4:
    case 5:
    case 6:
    case 19:
    case 20:
        tag->SetEULimitsEnabled(true);
        tag->SetEULimits(0, 999999);
        tag->SetRawLimitsEnabled(false);
        tag->SetScalingEnabled(false);
        tag->SetSimulationEnabled(true);
        tag->SetSimulationType(SimulationType::Ramp);
        tag->SetSimulationSteps(200);
        break;
    case kAnalogKind:
        tag->SetEULimitsEnabled(true);
        tag->SetEULimits(0, 20);
        tag->SetRawLimitsEnabled(true);
        tag->SetRawLimits(0, 5000);
        tag->SetScalingEnabled(true);
        tag->SetScaling(0, 0.004);
        tag->SetSimulationEnabled(true);
        tag->SetSimulationType(SimulationType::Ramp);
        tag->SetSimulationSteps(200);
        break;
    default:
        tag->SetSimulationEnabled(false);
        tag->SetEULimitsEnabled(false);
        tag->SetRawLimitsEnabled(false);
        break;
    }
    return tag;
}

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
    LogStart("Deleting Device:", GetName()).Commit(CLogFile::kWrite);
    StopPollThread();
    ClosePort();
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
    {
        CriticalSectionLock hold(Counters().lock);
        auto& list = Counters().devices;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    LiveObjects<VOKDevice>::Remove(this);
    LogDevice("Destroyed");
    Hold hold(*this);
    calPoints_.RemoveAll();
    binSizes_.RemoveAll();
    // Retired tags belong to nobody else; holders test a tag before use.
    for (VOKTag* tag : retired_)
        if (OPCS_Tag::IsValidTag(tag)) delete tag;
    retired_.clear();
}

std::unique_ptr<VOKDevice> VOKDevice::Create(bool loading) {
    auto device = std::make_unique<VOKDevice>();
    if (!loading) device->BuildTagTree();
    return device;
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
        auto* group = new VOKTagGroup;
        group->SetName(LoadStringText(IDS_GROUP_BIN_SIZES + static_cast<UINT>(k)));
        group->SetKind(k);
        if (!AddGroup(group)) {
            delete group;
            continue;
        }
        {
            Hold hold(*this);
            groups_[static_cast<std::size_t>(k)] = group;
        }
        auto add = [group](std::int32_t kind, std::int32_t slot) {
            VOKTag* tag = MakeTag(kind, slot);
            if (tag != nullptr && !group->AddTag(tag)) delete tag;
        };
        if (k < 5) {
            for (int j = 0; j < kMaxBins; ++j) add(kGroupTagKind[k], FirstSlot(kGroupTagKind[k]) + j);
        } else {
            for (int n = 0; n < kAnalogInputs; ++n) {
                add(kAnalogKind, kSlotAnalogInput + n);
                add(kAnalogInServiceKind, kSlotAnalogInService + n);
            }
        }
    }
    for (std::int32_t kind : {0, 1, 4, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}) {
        VOKTag* tag = MakeTag(kind, FirstSlot(kind));
        if (tag != nullptr && !AddTag(tag)) delete tag;
    }
    RebuildSlots();
    {
        Hold hold(*this);
        commStatus_ = kCommOK;
        SetTagValue(kSlotCommStatus, Value::I4(0).get());
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
    ApplyBinSizes(bins);
    SetSampleIntervalTag();
    SetVersionTag();
    SetFlowTag();
    SetTagValue(kSlotCommStatus, Value::I4(0).get());
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
    auto* node = list.Head();
    for (int i = 0; i < list.GetCount(); ++i, node = node->Next()) {
        OPCS_Tag* tag = node->Value();
        if (!VOKTag::IsValidVOKTag(tag)) continue;
        auto* vok = static_cast<VOKTag*>(tag);
        const std::int32_t kind = vok->GetKind();
        const std::int32_t slot = vok->GetSlot();
        if (!IsKind(kind) || slot < 0 || slot >= kSlotCount || KindOfSlot(slot) != kind) continue;
        if (slots_[static_cast<std::size_t>(slot)] == nullptr) slots_[static_cast<std::size_t>(slot)] = vok;
    }
    ReapRetiredTags();
}

void VOKDevice::AfterLoad() {
    Dll<OPCS_TagGroup*> groups;
    CopyGroups(groups);
    {
        Hold hold(*this);
        tagsCreated_ = true;
        groups_.fill(nullptr);
        auto* node = groups.Head();
        for (int i = 0; i < groups.GetCount(); ++i, node = node->Next()) {
            if (!VOKTagGroup::IsValidVOKTagGroup(node->Value())) continue;
            auto* group = static_cast<VOKTagGroup*>(node->Value());
            const std::int32_t kind = group->GetKind();
            if (kind >= 0 && kind < 6 && groups_[static_cast<std::size_t>(kind)] == nullptr)
                groups_[static_cast<std::size_t>(kind)] = group;
        }
    }
    RebuildSlots();
    Dll<double> bins;
    GetBinSizes(bins);
    ApplyBinSizes(bins);
    SetSampleIntervalTag();
    SetVersionTag();
    SetFlowTag();
    {
        Hold hold(*this);
        commStatus_ = kCommOK;
    }
    SetTagValue(kSlotCommStatus, Value::I4(0).get());
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
        std::string digits = portName;
        if (digits.size() >= 3 && EqualNoCase(digits.substr(0, 3), "COM")) digits = digits.substr(3);
        portNumber_ = static_cast<std::int32_t>(std::strtol(digits.c_str(), nullptr, 10));
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
    if (!ReadType(type, cancel)) return failed("Failed to read device type");
    if (type != "MCA") return failed("Invalid type string");
    if (cancelled()) return false;
    std::string version;
    if (!ReadVersion(version, cancel)) return failed("Failed to read version");
    {
        Hold hold(*this);
        softwareVersion_ = version;
    }
    SetVersionTag();
    if (cancelled()) return false;
    int seconds = 0;
    if (!ReadSampleInterval(seconds, cancel)) return failed("Failed to read sample interval");
    SetSampleInterval(static_cast<DWORD>(std::max(seconds, 0)), false);
    if (cancelled()) return false;
    Dll<double> bins;
    if (!ReadBinSizes(bins, cancel)) return failed("Failed to read bin sizes");
    SetBinSizes(bins, false);
    if (cancelled()) return false;
    Dll<VOK_CalPt> points;
    if (!ReadCalPts(points, cancel)) return failed("Failed to read Cal Pts");
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
        portOpen = portOpen_;
        port = portNumber_;
    }
    if (writeToCounter && !IsSimulation()) {
        // Talks to the counter without the device lock: the confirmation takes seconds.
        PortUse use(portOpen, port);
        if (use.Failed()) return false;
        if (!WriteSampleInterval(static_cast<int>(seconds))) {
            LogStart("Failed to change sample interval on device", GetName()).Append("to")
                .Append(static_cast<unsigned long>(seconds)).Append("seconds").Commit(CLogFile::kWrite);
            return false;
        }
        Pause(pauses_.confirmation, false);
        int readBack = 0;
        if (!ReadSampleInterval(readBack) || readBack != static_cast<int>(seconds)) {
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
    SetSampleIntervalTag();
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
        if (SameList(sizes, binSizes_)) return;
        portOpen = portOpen_;
        port = portNumber_;
    }
    if (writeToCounter && !IsSimulation()) {
        PortUse use(portOpen, port);
        if (use.Failed()) return;
        if (!WriteBinSizes(sizes)) {
            LogDevice("Failed to write bin sizes");
            GetUiServices().ShowMessage(LoadStringText(IDS_BIN_SIZES_WRITE_FAILED), MessageIcon::Information,
                                        MessageButtons::Ok);
            return;
        }
        Pause(pauses_.confirmation, false);
        Dll<double> readBack;
        if (!ReadBinSizes(readBack) || !SameList(readBack, sizes)) {
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
    ApplyBinSizes(sizes);
    MarkDocumentModified();
}

void VOKDevice::SetFlow(double mlPerMin) {
    {
        Hold hold(*this);
        if (mlPerMin == flow_) return;
        flow_ = mlPerMin;
    }
    SetFlowTag();
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
    // Under the I/O lock, so that no transaction is under way on the old port.
    LockIO();
    ClosePort();
    {
        Hold hold(*this);
        portNumber_ = number;
    }
    // A counter on another line has not seen this device's configuration.
    initialised_ = false;
    UnlockIO();
    LogStart("Device:", GetName()).Append("Port changed from:").Append(old).Append("to:").Append(number)
        .Commit(CLogFile::kWrite);
    MarkDocumentModified();
}

void VOKDevice::SetAddress(BYTE address) {
    {
        Hold hold(*this);
        if (address == busAddress_) return;
    }
    LockIO();
    {
        Hold hold(*this);
        busAddress_ = address;
    }
    initialised_ = false;
    UnlockIO();
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
            SetTagBool(kSlotAnalogInService + n, true);
            LogStart("Device:", GetName()).Append("Analog input").Append(n).Append("enabled, Min:")
                .Append(entry.minimum).Append("Max:").Append(entry.maximum).Append("DeadBand:").Append(entry.deadBand)
                .Commit(CLogFile::kWrite);
        } else {
            SetTagBool(kSlotAnalogInService + n, false);
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
    SetTagBool(kSlotAnalogInService + index, enable);
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
    SetTagBool(kSlotCounterInService, inService);
}

void VOKDevice::SetPauses(const VOKDevicePauses& pauses) {
    Hold hold(*this);
    pauses_ = pauses;
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
    case kSampleIntervalKind: {
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
    case kCounterInServiceKind: {
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
// Transactions and the port

template <typename F>
bool VOKDevice::Transact(const StopFlag* stop, F&& exchange) {
    LockIO();
    struct Release {
        const VOKDevice& device;
        ~Release() { device.UnlockIO(); }
    } release{*this};
    if (IsSimulation()) return true;
    const StopFlag* flag = stop != nullptr ? stop : GetStopFlag();
    std::int32_t handle = 0;
    if (!VOK_SelectCounter(GetPort(), GetAddress(), handle, flag)) return false;
    const bool ok = exchange(handle, flag);
    VOK_ReleaseCounter(handle);
    return ok;
}

bool VOKDevice::ReadType(std::string& text, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadType(h, text, f); });
}
bool VOKDevice::ReadVersion(std::string& text, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadVersion(h, text, f); });
}
bool VOKDevice::ReadData(BYTE& flags, Dll<VOK_DataRec>& records) {
    records.RemoveAll();
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadData(h, flags, records, f); });
}
bool VOKDevice::ReadBinSizes(Dll<double>& sizes, const StopFlag* stop) {
    sizes.RemoveAll();
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadBinSizes(h, sizes, f); });
}
bool VOKDevice::ReadCalPts(Dll<VOK_CalPt>& points, const StopFlag* stop) {
    points.RemoveAll();
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadCalPts(h, points, f); });
}
bool VOKDevice::ReadSampleInterval(int& seconds, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadSampleInterval(h, seconds, f); });
}
bool VOKDevice::ReadCounterMode(int& mode) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadCounterMode(h, mode, f); });
}
bool VOKDevice::WriteBinSizes(const Dll<double>& sizes) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_WriteBinSizes(h, sizes, f); });
}
bool VOKDevice::StartSampling() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_StartSampling(h, f); });
}
bool VOKDevice::WriteSampleInterval(int seconds) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_WriteSampleInterval(h, seconds, f); });
}
bool VOKDevice::SetManualMode() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_SetManualMode(h, f); });
}
bool VOKDevice::ClearBuffer() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ClearBuffer(h, f); });
}

bool VOKDevice::OpenPort() {
    int port = 0;
    {
        Hold hold(*this);
        if (portOpen_) return true;
        port = portNumber_;
    }
    if (!VOK_OpenPort(port)) {
        EventLog().Append("Unable to open port COM:").Append(port).Commit(CLogFile::kWrite);
        return false;
    }
    Hold hold(*this);
    portOpen_ = true;
    return true;
}

void VOKDevice::ClosePort() {
    int port = 0;
    {
        Hold hold(*this);
        if (!portOpen_) return;
        portOpen_ = false;
        port = portNumber_;
    }
    if (!VOK_ClosePort(port)) EventLog().Append("Unable to close port COM:").Append(port).Commit(CLogFile::kWrite);
}

// ---------------------------------------------------------------------------
// Initialisation and the poll loop's start and stop

bool VOKDevice::InitStep(bool ok, const char* failure) {
    if (!ok && !IsStopRequested()) LogDevice(failure);
    return ok && !IsStopRequested();
}

bool VOKDevice::Initialise() {
    if (IsInitialised() || IsSimulation()) return true;
    LockIO();
    struct Release {
        const VOKDevice& device;
        ~Release() { device.UnlockIO(); }
    } release{*this};
    if (IsStopRequested()) return false;

    int mode = 2;
    if (!InitStep(ReadCounterMode(mode), "Failed to read counter mode")) return false;

    std::string type;
    if (!InitStep(ReadType(type), "Init - Failed to read device type")) return false;
    if (!EqualNoCase(type, "MCA")) {
        LogStart("Device:", GetName()).Append("Init - Invalid device type response:").Append(type).Commit(
            CLogFile::kWrite);
        return false;
    }

    std::string version;
    if (!InitStep(ReadVersion(version), "Init - Failed to read firmware version")) return false;
    {
        Hold hold(*this);
        softwareVersion_ = version;
    }
    SetVersionTag();

    Dll<VOK_CalPt> points;
    if (!InitStep(ReadCalPts(points), "Init - Failed to read cal pts")) return false;
    SetCalPoints(points);

    int seconds = 0;
    if (!InitStep(ReadSampleInterval(seconds), "Init - Failed to read sample interval")) return false;
    const int configured = static_cast<int>(GetSampleInterval());
    if (seconds != configured) {
        if (!InitStep(WriteSampleInterval(configured), "Init - Failed to write sample interval")) return false;
        ClearBuffer();
    }
    SetSampleIntervalTag();

    Dll<double> counterBins;
    if (!InitStep(ReadBinSizes(counterBins), "Init - Failed to read bin sizes")) return false;
    Dll<double> bins;
    GetBinSizes(bins);
    if (!SameList(counterBins, bins)) {
        if (!InitStep(WriteBinSizes(bins), "Init - Failed to write bin sizes")) return false;
        ClearBuffer();
    }

    if (!InitStep(SetManualMode(), "Init - Failed to set counter to manual mode")) return false;
    if (!InitStep(StartSampling(), "Init - Failed to start sampling")) return false;
    initialised_ = true;
    return true;
}

void VOKDevice::AddMissingTag(VOKTagGroup* group, std::int32_t kind, std::int32_t slot) {
    if (SlotLocked(slot) != nullptr) return;
    VOKTag* tag = MakeTag(kind, slot);
    if (tag == nullptr) return;
    const bool added = group != nullptr ? group->AddTag(tag) : OPCS_TagGroup::AddTag(tag);
    if (!added) {
        delete tag;
        return;
    }
    slots_[static_cast<std::size_t>(slot)] = tag;
}

void VOKDevice::EnsureFixedTags() {
    RebuildSlots();
    {
        Hold hold(*this);
        for (std::int32_t kind : {10, 11, 12, 13, 14, 15}) AddMissingTag(nullptr, kind, FirstSlot(kind));
        const bool hadInService = SlotLocked(kSlotCounterInService) != nullptr;
        AddMissingTag(nullptr, kCounterInServiceKind, kSlotCounterInService);
        if (!hadInService) SetTagBool(kSlotCounterInService, IsInService());
        const bool hadStatus = SlotLocked(kSlotCommStatus) != nullptr;
        AddMissingTag(nullptr, 16, kSlotCommStatus);
        if (!hadStatus) SetTagValue(kSlotCommStatus, Value::I4(0).get());
        VOKTagGroup* analog = groups_[VOKTagGroup::AnalogData];
        if (VOKTagGroup::IsValidVOKTagGroup(analog)) {
            for (int n = 0; n < kAnalogInputs; ++n) {
                if (SlotLocked(kSlotAnalogInput + n) == nullptr || SlotLocked(kSlotAnalogInService + n) != nullptr)
                    continue;
                AddMissingTag(analog, kAnalogInServiceKind, kSlotAnalogInService + n);
                SetTagBool(kSlotAnalogInService + n, true);
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
}

void VOKDevice::OnPollStop() {
    SetCommStatus(kCommOK);
    ClosePort();
    LogDevice("Poll loop stopped");
    SetStopRequested(false);
}

void VOKDevice::SetCommStatus(std::int32_t status) {
    {
        Hold hold(*this);
        if (status == commStatus_) return;
        commStatus_ = status;
    }
    SetTagValue(kSlotCommStatus, Value::I4(status).get());
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
