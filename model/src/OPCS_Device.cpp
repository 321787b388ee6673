#include "model/OPCS_Device.h"

#include "foundation/CLogFile.h"
#include "foundation/LiveObjects.h"
#include "foundation/TextCompare.h"
#include "model/ItemId.h"
#include "model/ModelHost.h"
#include "model/OPCS_Tag.h"
#include "model/Posting.h"
#include "model/ScopedLock.h"
#include "platform/Thread.h"

#include <algorithm>
#include <chrono>

namespace {

// The program-wide list of devices, with its own lock.
struct DeviceList {
    CRITICAL_SECTION lock;
    Dll<OPCS_Device*> devices;
    DeviceList() { InitializeCriticalSection(&lock); }
};

DeviceList& Devices() {
    static DeviceList* list = new DeviceList;
    return *list;
}

using Hold = GroupLock;

void AppendTree(const OPCS_TagGroup& group, Dll<OPCS_Tag*>& out, int depth) {
    Dll<OPCS_Tag*> tags;
    group.CopyTags(tags);
    for (OPCS_Tag* tag : tags) out.AddTail(tag);
    if (depth > 32) return;  // a tree is never this deep; a cycle must not recurse forever
    Dll<OPCS_TagGroup*> groups;
    group.CopyGroups(groups);
    for (OPCS_TagGroup* child : groups)
        if (OPCS_TagGroup::IsValidGroup(child)) AppendTree(*child, out, depth + 1);
}

// Starts an entry with a text and a name. The name is read before the log's
// lock is taken: the log's lock is innermost, never held while taking a device's.
CLogFile& LogStart(const char* text, const std::string& name) { return EventLog().Append(text).Append(name); }

}  // namespace

OPCS_Device::OPCS_Device() {
    LiveObjects<OPCS_Device>::Add(this);
    SetName("Device");
    SetImageIndices(0, 1);
    updateInterval_ = std::clamp(GetModelHost().GetDefaultPollRate(), kMinUpdateInterval, kMaxUpdateInterval);
    GetLocalTime(&lastPollTime_);
    InitializeCriticalSection(&ioLock_);
    wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    startEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (wakeEvent_ != nullptr && startEvent_ != nullptr && GetModelHost().StartsPollThreads())
        thread_ = CreateThread(nullptr, 0, &OPCS_Device::PollThreadMain, this, 0, &threadId_);
    CriticalSectionLock hold(Devices().lock);
    Devices().devices.AddTail(this);
}

OPCS_Device::~OPCS_Device() {
    // Out of the program-wide list first: a name check on another thread must
    // never reach a device whose thread and members are being torn down.
    LeaveDeviceList();
    StopPollThread();
    if (wakeEvent_ != nullptr) CloseHandle(wakeEvent_);
    if (startEvent_ != nullptr) CloseHandle(startEvent_);
    wakeEvent_ = startEvent_ = nullptr;
    DeleteCriticalSection(&ioLock_);
    {
        Hold hold(*this);
        tagList_.RemoveAll();
    }
    LiveObjects<OPCS_Device>::Remove(this);
}

void OPCS_Device::LeaveDeviceList() {
    CriticalSectionLock hold(Devices().lock);
    if (auto* node = Devices().devices.FindNode(this)) Devices().devices.RemoveNode(node);
}

bool OPCS_Device::IsValidDevice(const OPCS_TagGroup* group) {
    // The group test first: only a live object may be asked for its type.
    if (!IsValidGroup(group)) return false;
    const auto* device = dynamic_cast<const OPCS_Device*>(group);
    return device != nullptr && LiveObjects<OPCS_Device>::Contains(device);
}

bool OPCS_Device::IsUniqueDeviceName(const std::string& name, const OPCS_Device* except) {
    CriticalSectionLock hold(Devices().lock);
    for (OPCS_Device* device : Devices().devices) {
        if (device == except || !IsValidDevice(device) || device->IsTerminating()) continue;
        if (EqualNoCase(device->GetName(), name)) return false;
    }
    return true;
}

void OPCS_Device::StopPollThread() {
    if (thread_ == nullptr) return;
    terminate_ = true;
    {
        Hold hold(*this);
        totalPollRequests_ = 0;
        guiPollRequests_ = 0;
        clientPollRequests_ = 0;
    }
    // A transaction in progress is abandoned too: it polls the stop flag.
    SetStopRequested(true);
    WakePauses();
    SetEvent(startEvent_);
    SetEvent(wakeEvent_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD OPCS_Device::PollThreadMain(LPVOID self) {
    static_cast<OPCS_Device*>(self)->RunPollThread();
    return 0;
}

void OPCS_Device::RunPollThread() {
    while (!terminate_) {
        if (GetTotalPollRequests() == 0) {
            WaitForSingleObject(startEvent_, INFINITE);
            if (terminate_) break;
        }
        try {
            RunPollLoop();
        } catch (...) {
            // Outside PollOnce only running out of memory can throw; the device
            // gives its references back and tries again rather than ending its thread.
            LogStart("Exception caught in the poll loop for device", GetName()).Commit(CLogFile::kWrite);
            {
                Hold hold(*this);
                ReleaseLoopReferences();
            }
            SetPollState(kPollingStopped);
            Pause(1000, false);
        }
    }
    LogEntry("Thread to poll device terminated");
}

void OPCS_Device::RunPollLoop() {
    if (GetTotalPollRequests() == 0 || terminate_) return;
    SetPollState(kPollingStarting);
    RebuildTagList();
    {
        Hold hold(*this);
        loopHoldsReferences_ = true;
        SyncLoopReferences();
    }
    SetAllVolatile(kQualityNotConnected);
    ResetEvent(wakeEvent_);
    OnPollStart();
    for (;;) {
        if (GetTotalPollRequests() == 0 || terminate_) break;
        SetPollState(kPollingDevice);
        if (IsConfigurationChanged()) RebuildTagList();
        const bool wasInService = IsInService();
        if (wasInService) {
            try {
                PollOnce();
            } catch (...) {
                LogStart("Exception caught in the poll loop for device", GetName()).Commit(
                    CLogFile::kWrite);
            }
        }
        if (!wasInService || !IsInService()) SetAllVolatile(kQualityOutOfService);
        StampLastPoll();
        PostTimer(PostTarget::TagList, kTimerTagRows);
        if (GetTotalPollRequests() == 0 || terminate_) break;
        SetPollState(kWaitingPollInterval);
        WaitForSingleObject(wakeEvent_, GetUpdateInterval() * 1000);
    }
    {
        Hold hold(*this);
        ReleaseLoopReferences();
    }
    SetAllVolatile(kQualityNotConnected);
    OnPollStop();
    SetPollState(kPollingStopped);
}

void OPCS_Device::SyncLoopReferences() {
    if (!loopHoldsReferences_) return;
    std::vector<OPCS_Tag*> now(tagList_.begin(), tagList_.end());
    std::sort(now.begin(), now.end());
    now.erase(std::unique(now.begin(), now.end()), now.end());
    std::vector<OPCS_Tag*> kept;
    kept.reserve(now.size());
    // Give back what left the tree; a tag can only leave while referenced by
    // being retired by its device, which keeps it alive until released.
    for (OPCS_Tag* tag : loopReferences_) {
        if (std::binary_search(now.begin(), now.end(), tag)) {
            kept.push_back(tag);
        } else if (OPCS_Tag::IsValidTag(tag)) {
            tag->ReleaseReference();
        }
    }
    std::sort(kept.begin(), kept.end());
    for (OPCS_Tag* tag : now) {
        if (std::binary_search(kept.begin(), kept.end(), tag) || !OPCS_Tag::IsValidTag(tag)) continue;
        tag->AddReference();
        kept.push_back(tag);
    }
    loopReferences_ = std::move(kept);
}

void OPCS_Device::ReleaseLoopReferences() {
    for (OPCS_Tag* tag : loopReferences_)
        if (OPCS_Tag::IsValidTag(tag)) tag->ReleaseReference();
    loopReferences_.clear();
    loopHoldsReferences_ = false;
}

std::string OPCS_Device::GetNamePrefix() const { return GetName() + kItemDelimiter; }

void OPCS_Device::SetUpdateInterval(DWORD seconds) {
    {
        Hold hold(*this);
        if (seconds == updateInterval_) return;
        updateInterval_ = std::clamp(seconds, kMinUpdateInterval, kMaxUpdateInterval);
    }
    const unsigned long stored = GetUpdateInterval();
    LogStart("Device:", GetName()).Append("Update Interval set to (secs):").Append(stored).Commit(CLogFile::kWrite);
    MarkChanged();
    ForceUpdate();
}

void OPCS_Device::SetInService(bool inService) {
    if (inService_.exchange(inService) == inService) return;
    LogEntry(inService ? "In Service" : "Out of Service");
    SetAllVolatile(inService ? kQualityNotConnected : kQualityOutOfService);
    if (inService && GetTotalPollRequests() > 0) ForceUpdate();
    MarkChanged();
}

bool OPCS_Device::WriteDeviceTag(OPCS_Tag*, const VARIANT&) { return false; }

void OPCS_Device::OnPollStart() { SetStopRequested(false); }
void OPCS_Device::OnPollStop() { SetStopRequested(false); }

void OPCS_Device::RebuildTagList() {
    Hold hold(*this);
    tagList_.RemoveAll();
    AppendTree(*this, tagList_, 0);
    SetConfigurationChanged(false);
    SyncLoopReferences();
}

void OPCS_Device::SetCommOK(bool ok) {
    if (commOK_.exchange(ok) == ok) return;
    PostTimer(PostTarget::DeviceTree, kTimerDeviceIcons);
}

bool OPCS_Device::WriteTag(OPCS_Tag* tag, const VARIANT& value) {
    if (!OPCS_Tag::IsValidTag(tag) || !WriteDeviceTag(tag, value)) return false;
    PostTimer(PostTarget::TagList, kTimerTagRows);
    return true;
}

bool OPCS_Device::CanDelete() const {
    if (GetTotalPollRequests() != 0 && thread_ != nullptr) return false;
    // An OPC item keeps its tag while its group is inactive too (and a new
    // tag could be made where the old one was), so a device goes only once no
    // tag of it is held by anything but its own poll loop, which may still be
    // ending and is stopped with the device.
    std::vector<OPCS_Tag*> loop;
    {
        Hold hold(*this);
        loop = loopReferences_;
    }
    std::sort(loop.begin(), loop.end());
    return !HasReferencedTag(loop);
}

std::int32_t OPCS_Device::RequestPolling(std::int32_t requester) {
    if (!IsValidDevice(this) || terminate_ || thread_ == nullptr) return 0;
    if (requester == kQueryOnly) return GetTotalPollRequests();
    if (requester != kOperator && requester != kClient) return GetTotalPollRequests();
    std::int32_t total = 0;
    {
        Hold hold(*this);
        ++(requester == kOperator ? guiPollRequests_ : clientPollRequests_);
        total = ++totalPollRequests_;
        SetStopRequested(false);
        SetEvent(startEvent_);
    }
    LogEntry("Poll Loop Start Request Queued");
    return total;
}

std::int32_t OPCS_Device::ReleasePolling(std::int32_t requester) {
    if (requester != kOperator && requester != kClient) return GetTotalPollRequests();
    {
        Hold hold(*this);
        std::int32_t& count = requester == kOperator ? guiPollRequests_ : clientPollRequests_;
        if (count == 0) return totalPollRequests_;
        --count;
        if (totalPollRequests_ > 0) --totalPollRequests_;
        if (totalPollRequests_ >= 1) return totalPollRequests_;
        SetStopRequested(true);
        if (startEvent_ != nullptr) ResetEvent(startEvent_);
        if (wakeEvent_ != nullptr) SetEvent(wakeEvent_);
    }
    WakePauses();
    LogEntry("Poll Loop Stop Request Queued");
    return 0;
}

void OPCS_Device::ForceUpdate() {
    if (GetTotalPollRequests() != 0 && thread_ != nullptr) SetEvent(wakeEvent_);
}

void OPCS_Device::SetAllVolatile(WORD quality) {
    {
        Hold hold(*this);
        VARIANT empty;
        VariantInit(&empty);
        const FILETIME never{};
        for (OPCS_Tag* tag : tagList_)
            if (OPCS_Tag::IsValidTag(tag) && tag->IsVolatile()) tag->SetValue(empty, quality, never);
    }
    LogEntry("-Volatile flags cleared");
}

SYSTEMTIME OPCS_Device::GetLastPollTime() const {
    Hold hold(*this);
    return lastPollTime_;
}

void OPCS_Device::StampLastPoll() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    Hold hold(*this);
    lastPollTime_ = now;
    ++pollPasses_;
}

std::uint64_t OPCS_Device::GetPollPassCount() const {
    Hold hold(*this);
    return pollPasses_;
}

DWORD OPCS_Device::GetUpdateInterval() const {
    Hold hold(*this);
    return updateInterval_;
}

std::int32_t OPCS_Device::GetGuiPollRequests() const {
    Hold hold(*this);
    return guiPollRequests_;
}

std::int32_t OPCS_Device::GetClientPollRequests() const {
    Hold hold(*this);
    return clientPollRequests_;
}

std::int32_t OPCS_Device::GetTotalPollRequests() const {
    Hold hold(*this);
    return totalPollRequests_;
}

void OPCS_Device::CopyTagList(Dll<OPCS_Tag*>& out) const {
    Hold hold(*this);
    out.Assign(tagList_);
}

void OPCS_Device::SetStopRequested(bool on) {
    {
        // Under the pause mutex, so that a pause about to wait cannot miss it.
        std::lock_guard lock(pauseMutex_);
        stopRequested_.store(on);
    }
    if (on) pauseWake_.notify_all();
}

void OPCS_Device::WakePauses() {
    { std::lock_guard lock(pauseMutex_); }
    pauseWake_.notify_all();
}

bool OPCS_Device::Pause(DWORD ms, bool honourStop) {
    std::unique_lock lock(pauseMutex_);
    const bool interrupted = pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return terminate_.load() || (honourStop && stopRequested_.load());
    });
    return !interrupted;
}

void OPCS_Device::LogEntry(const char* text) {
    LogStart("Device:", GetName()).Append(text).Commit(CLogFile::kWrite);
}
