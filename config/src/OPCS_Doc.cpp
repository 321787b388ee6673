#include "config/OPCS_Doc.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "foundation/StringTable.h"
#include "foundation/TextCompare.h"
#include "foundation/VersionInfo.h"
#include "model/ItemId.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/ScopedLock.h"
#include "model/UiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "platform/Time.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace {

// Guards the current-document pointer only; nothing is called while it is held
// but an atomic store, so it may be taken under any other lock. Never
// destroyed, so that a late poll thread still finds it at process exit.
std::mutex& CurrentDocMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::atomic<OPCS_Doc*> g_currentDoc{nullptr};

constexpr std::array<const char*, 4> kPollStateNames{
    "Polling Stopped",
    "Polling Starting",
    "Waiting Poll Interval",
    "Polling Device",
};

std::unique_ptr<OPCS_Device> DefaultNewDevice() {
    std::unique_ptr<VOKDevice> device = VOKDevice::Create(false);
    if (device) device->SetSimulation(true);
    return device;
}

SYSTEMTIME AddSeconds(const SYSTEMTIME& time, DWORD seconds) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return time;
    file = UInt64ToFileTime(FileTimeToUInt64(file) + static_cast<std::uint64_t>(seconds) * 10'000'000ull);
    SYSTEMTIME out{};
    return FileTimeToSystemTime(&file, &out) ? out : time;
}

using DeviceHold = ScopedLock<OPCS_Device>;

}  // namespace

// ---------------------------------------------------------------------------
// Program-wide state

CRITICAL_SECTION& ConfigLock() {
    // Created on first use and never deleted: devices, poll threads and OPC
    // threads may reach it until the process ends.
    static CRITICAL_SECTION* lock = [] {
        auto* cs = new CRITICAL_SECTION;
        InitializeCriticalSection(cs);
        return cs;
    }();
    return *lock;
}

OPCS_Doc* GetCurrentDoc() { return g_currentDoc.load(); }

void MarkCurrentDocModified() {
    std::lock_guard hold(CurrentDocMutex());
    if (OPCS_Doc* doc = g_currentDoc.load()) doc->SetModifiedFlag(true);
}

// ---------------------------------------------------------------------------
// Construction and destruction

OPCS_Doc::OPCS_Doc() {
    std::lock_guard hold(CurrentDocMutex());
    g_currentDoc.store(this);
}

OPCS_Doc::~OPCS_Doc() {
    {
        std::lock_guard hold(CurrentDocMutex());
        if (g_currentDoc.load() == this) g_currentDoc.store(nullptr);
    }
    ConfigLockHold hold;
    selection_ = nullptr;
    observers_.clear();
    DestroyAllDevices();
}

void OPCS_Doc::DestroyAllDevices() {
    while (!devices_.IsEmpty()) {
        OPCS_Device* device = devices_.RemoveNode(devices_.Head());
        if (OPCS_Device::IsValidDevice(device)) delete device;
    }
}

// ---------------------------------------------------------------------------
// Structure

bool OPCS_Doc::AddDevice(OPCS_Device* device) {
    ConfigLockHold hold;
    if (!OPCS_Device::IsValidDevice(device) || devices_.FindNode(device) != nullptr) return false;
    devices_.AddTail(device);
    UpdateAllViews(dochint::kDeviceAdded, device);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::InsertGroup(OPCS_TagGroup* parent, OPCS_TagGroup* group) {
    ConfigLockHold hold;
    if (!OPCS_TagGroup::IsValidGroup(parent) || !OPCS_TagGroup::IsValidGroup(group)) return false;
    if (!parent->AddGroup(group)) return false;
    UpdateAllViews(dochint::kGroupAdded, group);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::InsertTag(OPCS_TagGroup* parent, OPCS_Tag* tag) {
    ConfigLockHold hold;
    if (!OPCS_TagGroup::IsValidGroup(parent) || !OPCS_Tag::IsValidTag(tag)) return false;
    if (!parent->AddTag(tag)) return false;
    UpdateAllViews(dochint::kTagAdded, tag);
    SetModifiedFlag(true);
    return true;
}

bool OPCS_Doc::DeleteItem(OPCS_TagGroup* item) {
    std::string refusedName;
    {
        ConfigLockHold hold;
        if (!OPCS_TagGroup::IsValidGroup(item)) return false;
        if (item->CanDelete()) {
            if (OPCS_Device::IsValidDevice(item)) {
                auto* device = static_cast<OPCS_Device*>(item);
                auto* node = devices_.FindNode(device);
                // A device the document does not own is not the document's to destroy.
                if (node == nullptr) return false;
                devices_.RemoveNode(node);
            } else {
                OPCS_TagGroup* parent = item->GetParent();
                if (OPCS_TagGroup::IsValidGroup(parent) && !parent->RemoveGroup(item)) return false;
            }
            delete item;
            UpdateAllViews(dochint::kRebuild);
            SetModifiedFlag(true);
            return true;
        }
        refusedName = item->GetName();
        EventLog().Append("Failed to delete:").Append(refusedName).Append(", delete failed").Commit(CLogFile::kWrite);
    }
    // The modal box is shown without the configuration lock, so that the OPC
    // threads' look-ups are not held up while the operator reads it.
    GetUiServices().ShowMessage(kTextUnableToDelete, MessageIcon::Error, MessageButtons::Ok);
    return false;
}

OPCS_Tag* OPCS_Doc::FindTag(const std::string& itemId) const {
    const std::size_t dot = itemId.find(kItemDelimiter);
    if (dot == std::string::npos || dot == 0) return nullptr;
    const std::string deviceName = itemId.substr(0, dot);
    const std::string rest = itemId.substr(dot + 1);
    ConfigLockHold hold;
    for (DllPosition<OPCS_Device*> at(devices_); !at.PastEnd(); at.Advance()) {
        OPCS_Device* device = at.Value();
        if (OPCS_Device::IsValidDevice(device) && EqualNoCase(device->GetName(), deviceName))
            return device->FindTag(rest);
    }
    return nullptr;
}

void OPCS_Doc::GetDeviceList(Dll<OPCS_Device*>& out) const {
    ConfigLockHold hold;
    out.RemoveAll();
    for (DllPosition<OPCS_Device*> at(devices_); !at.PastEnd(); at.Advance()) out.AddTail(at.Value());
}

OPCS_TagGroup* OPCS_Doc::GetSelectedGroup() const {
    ConfigLockHold hold;
    if (selection_ == nullptr) return nullptr;
    OPCS_TagGroup* item = selection_->GetSelectedItem();
    return OPCS_TagGroup::IsValidGroup(item) ? item : nullptr;
}

OPCS_Device* OPCS_Doc::GetSelectedDevice() const {
    ConfigLockHold hold;
    OPCS_TagGroup* group = GetSelectedGroup();
    if (group == nullptr) return nullptr;
    OPCS_TagGroup* device = group->GetDevice();
    return OPCS_Device::IsValidDevice(device) ? static_cast<OPCS_Device*>(device) : nullptr;
}

// ---------------------------------------------------------------------------
// Views

void OPCS_Doc::AddObserver(DocObserver* observer) {
    if (observer == nullptr) return;
    ConfigLockHold hold;
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) observers_.push_back(observer);
}

void OPCS_Doc::RemoveObserver(DocObserver* observer) {
    ConfigLockHold hold;
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void OPCS_Doc::SetSelection(DocSelection* selection) {
    ConfigLockHold hold;
    selection_ = selection;
}

bool OPCS_Doc::HasSelection() const {
    ConfigLockHold hold;
    return selection_ != nullptr;
}

void OPCS_Doc::UpdateAllViews(int hint, void* object, DocObserver* sender) {
    ConfigLockHold hold;
    // A view may register or unregister views while it handles the hint.
    const std::vector<DocObserver*> observers = observers_;
    for (DocObserver* observer : observers) {
        if (observer == sender) continue;
        if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) continue;
        observer->OnUpdate(hint, object);
    }
}

// ---------------------------------------------------------------------------
// Commands

bool OPCS_Doc::IsPolling(const OPCS_Device* device) {
    DeviceHold hold(*device);
    return device->GetTotalPollRequests() > 0 && device->HasPollThread();
}

bool OPCS_Doc::AnyDevicePolling() const {
    ConfigLockHold hold;
    for (DllPosition<OPCS_Device*> at(devices_); !at.PastEnd(); at.Advance()) {
        OPCS_Device* device = at.Value();
        if (OPCS_Device::IsValidDevice(device) && IsPolling(device)) return true;
    }
    return false;
}

bool OPCS_Doc::AreClientsConnected() const { return hooks_.clientsConnected && hooks_.clientsConnected(); }

std::string OPCS_Doc::ConfigurationPath() const {
    return hooks_.configurationPath ? hooks_.configurationPath() : ProgramSettings().GetLastUsedFile();
}

CommandState OPCS_Doc::GetCommandState(UINT id) const {
    using namespace doccmd;
    switch (id) {
    case kAddDevice:
    case kOptions:
    case kChooseColumns:
        return {true, false};
    case kDiscover:
        return {!AnyDevicePolling(), false};
    case kFileOpen:
        return {!AreClientsConnected(), false};
    default:
        break;
    }
    if (FindDocCommand(id) == nullptr) return {};

    ConfigLockHold hold;
    const OPCS_Device* device = GetSelectedDevice();
    if (device == nullptr) return {};
    DeviceHold deviceHold(*device);
    const bool guiRequest = device->GetGuiPollRequests() > 0;
    switch (id) {
    case kAddTagGroup:
    case kAddTag:
        return {!IsPolling(device), false};
    case kStartPolling:
    case kTogglePolling:
        return {true, guiRequest};
    case kStopPolling:
        return {true, !guiRequest};
    case kForceUpdate:
        return {IsPolling(device), false};
    case kGuiPollingIndicator:
        return {guiRequest, guiRequest};
    case kClientIndicator: {
        const bool clientRequest = device->GetClientPollRequests() > 0;
        return {clientRequest, clientRequest};
    }
    default:
        return {};
    }
}

bool OPCS_Doc::OnCommand(UINT id) {
    using namespace doccmd;
    if (FindDocCommand(id) == nullptr || !GetCommandState(id).enabled) return false;
    auto run = [](const std::function<void()>& hook) {
        if (hook) hook();
    };
    switch (id) {
    case kAddDevice:
        AddDeviceCommand();
        break;
    case kAddTagGroup:
        AddTagGroupCommand();
        break;
    case kAddTag:
        AddTagCommand();
        break;
    case kDiscover:
        run(hooks_.discover);
        break;
    case kOptions:
        run(hooks_.options);
        break;
    case kChooseColumns:
        run(hooks_.chooseColumns);
        break;
    case kFileOpen:
        run(hooks_.fileOpen);
        break;
    case kStartPolling:
    case kStopPolling:
    case kTogglePolling:
    case kForceUpdate: {
        ConfigLockHold hold;
        OPCS_Device* device = GetSelectedDevice();
        if (device == nullptr) break;
        const bool guiRequest = device->GetGuiPollRequests() > 0;
        if (id == kForceUpdate) {
            device->ForceUpdate();
            break;
        }
        if (id == kStartPolling && guiRequest) break;
        if (id == kStopPolling && !guiRequest) break;
        if (guiRequest)
            device->ReleasePolling(OPCS_Device::kOperator);
        else
            device->RequestPolling(OPCS_Device::kOperator);
        UpdateAllViews(dochint::kTagList);
        break;
    }
    default:  // the two indicators: nothing to do
        break;
    }
    return true;
}

void OPCS_Doc::AddDeviceCommand() {
    std::unique_ptr<OPCS_Device> device = hooks_.newDevice ? hooks_.newDevice() : DefaultNewDevice();
    if (!device) return;
    device->SetName(device->GetDefaultName());
    if (!device->ShowProperties()) return;
    if (!AddDevice(device.get())) {
        const std::string failed = device->GetName();  // before the log's lock, which is innermost
        EventLog().Append("Failed to add device:").Append(failed).Commit(CLogFile::kWrite);
        return;
    }
    device.release();  // owned by the device list now
}

OPCS_TagGroup* OPCS_Doc::SelectedParent(bool forGroup, std::string& name) const {
    ConfigLockHold hold;
    if (selection_ == nullptr) return nullptr;
    OPCS_TagGroup* parent = GetSelectedGroup();
    if (parent != nullptr) name = forGroup ? parent->MakeUniqueGroupName("Group") : parent->MakeUniqueTagName("Tag");
    return parent;
}

void OPCS_Doc::AddTagGroupCommand() {
    std::string name;
    OPCS_TagGroup* parent = SelectedParent(true, name);
    if (parent == nullptr) return;
    auto group = std::make_unique<VOKTagGroup>();
    group->SetName(name);
    if (!group->ShowProperties()) return;
    // InsertGroup tests the parent again: it may have gone while the dialog was open.
    if (!InsertGroup(parent, group.get())) {
        const std::string failed = group->GetName();  // before the log's lock, which is innermost
        EventLog().Append("Failed to add group:").Append(failed).Commit(CLogFile::kWrite);
        return;
    }
    group.release();  // owned by its parent now
}

void OPCS_Doc::AddTagCommand() {
    std::string name;
    OPCS_TagGroup* parent = SelectedParent(false, name);
    if (parent == nullptr) return;
    auto tag = std::make_unique<VOKTag>();
    tag->SetName(name);
    if (!tag->ShowProperties()) return;
    if (!InsertTag(parent, tag.get())) {
        const std::string failed = tag->GetName();  // before the log's lock, which is innermost
        EventLog().Append("Failed to add tag:").Append(failed).Commit(CLogFile::kWrite);
        return;
    }
    tag.release();  // owned by its group now
}

std::string OPCS_Doc::GetPaneText(UINT paneId) const {
    using namespace doccmd;
    if (paneId == kPaneTime) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return "Time: " + versioninfo::DateTimeText(now);
    }
    if (paneId != kPaneLastPollTime && paneId != kPaneNextPollTime && paneId != kPanePollState) return {};

    ConfigLockHold hold;
    const OPCS_Device* device = GetSelectedDevice();
    if (device == nullptr) return paneId == kPanePollState ? std::string() : std::string("No Device Selected!!!");
    SYSTEMTIME lastPoll{};
    DWORD interval = 0;
    std::int32_t state = 0;
    bool polling = false;
    {
        DeviceHold deviceHold(*device);
        polling = IsPolling(device);
        lastPoll = device->GetLastPollTime();
        interval = device->GetUpdateInterval();
        state = device->GetPollState();
    }
    switch (paneId) {
    case kPaneLastPollTime:
        return polling ? "Last Poll Time: " + versioninfo::DateTimeText(lastPoll) : "Device polling is not active!!!";
    case kPaneNextPollTime:
        return polling ? "Next Poll Time: " + versioninfo::DateTimeText(AddSeconds(lastPoll, interval)) : std::string();
    default: {
        const bool known = state >= 0 && state < static_cast<std::int32_t>(kPollStateNames.size());
        return std::string("Poll State: ") + (known ? kPollStateNames[static_cast<std::size_t>(state)] : "");
    }
    }
}

// ---------------------------------------------------------------------------
// Life cycle

bool OPCS_Doc::NewConfiguration() {
    const MessageAnswer answer = GetUiServices().ShowMessage(LoadStringText(IDS_CONFIRM_DESTROY_CONFIG),
                                                             MessageIcon::Warning, MessageButtons::YesNo);
    if (answer != MessageAnswer::Yes) return false;
    SetModifiedFlag(false);
    EventLog().Append("Existing configuration destroyed.").Commit(CLogFile::kWrite);
    return OnNewDocument();
}

bool OPCS_Doc::OnNewDocument() {
    if (AreClientsConnected()) {
        GetUiServices().ShowMessage(kTextCannotChangeFiles, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    // The framework's new-document step.
    DeleteContents();
    SetModifiedFlag(false);
    const std::string path = ConfigurationPath();
    SetPathName(path);
    // The empty configuration is saved at once; a failure is reported by the file code.
    if (!path.empty()) OnSaveDocument(path);
    return true;
}

void OPCS_Doc::OnCloseDocument() {
    if (!pathName_.empty()) OnSaveDocument(pathName_);
    // The framework's close empties the document.
    DeleteContents();
}

void OPCS_Doc::DeleteContents() {
    ConfigLockHold hold;
    UpdateAllViews(dochint::kDeleteAll);
    DestroyAllDevices();
}

void OPCS_Doc::SetPathName(const std::string& path) {
    pathName_ = path;
    std::string folder;
    std::string name;
    versioninfo::SplitPath(path, folder, name);
    title_ = name;
}
