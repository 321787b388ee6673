#include "opc/OPCGroup.h"

#include "GroupArrays.h"

#include "foundation/CLogFile.h"
#include "foundation/Dll.h"
#include "model/OPCS_Tag.h"
#include "opc/ComObjects.h"
#include "opc/HandleTable.h"
#include "platform/Thread.h"

#include <new>

namespace {

struct GroupList {
    std::mutex mutex;
    Dll<OPCGroup*> groups;
};

GroupList& Groups() {
    static auto* list = new GroupList;
    return *list;
}

}  // namespace

ASyncRequest::~ASyncRequest() {
    for (VARIANT& value : values) VariantClear(&value);
    for (opcstream::ItemValue& item : found) VariantClear(&item.value);
}

OPCGroup::OPCGroup(std::shared_ptr<ServerLink> link)
    : handle_(HandleTable::Register(HandleKind::Group, this)), link_(std::move(link)) {
    InitializeCriticalSection(&stateLock_);
    InitializeCriticalSection(&itemLock_);
    InitializeCriticalSection(&adviseLock_);
    {
        std::lock_guard lock(Groups().mutex);
        Groups().groups.AddTail(this);
    }
    PostComObjectCount(true);
}

OPCGroup::~OPCGroup() {
    HandleTable::Unregister(handle_);
    // The data thread first, then the async thread: neither may run on a
    // group that is being taken apart.
    for (auto [thread, wake, run] : {std::tuple{&dataThread_, &dataWake_, &dataRun_},
                                     std::tuple{&asyncThread_, &asyncWake_, &asyncRun_}}) {
        run->store(false);
        if (*wake != nullptr) SetEvent(*wake);
        if (*thread != nullptr) {
            WaitForSingleObject(*thread, INFINITE);
            CloseHandle(*thread);
        }
        if (*wake != nullptr) CloseHandle(*wake);
    }
    IDataAdviseHolder* holder = nullptr;
    {
        CriticalSectionLock hold(itemLock_);
        holder = adviseHolder_;
        adviseHolder_ = nullptr;
        items_.clear();
        // Requests still queued are dropped without a completion.
        asyncQueue_.clear();
    }
    if (holder != nullptr) holder->Release();
    DeleteCriticalSection(&adviseLock_);
    DeleteCriticalSection(&itemLock_);
    DeleteCriticalSection(&stateLock_);
    {
        std::lock_guard lock(Groups().mutex);
        if (auto* node = Groups().groups.FindNode(this)) Groups().groups.RemoveNode(node);
    }
    PostComObjectCount(false);
}

bool OPCGroup::Initialize(const GroupState& state) {
    {
        CriticalSectionLock hold(stateLock_);
        if (initialised_) return true;
        initialised_ = true;
        state_ = state;
        state_.updateRate = ReviseUpdateRate(state.updateRate);
    }
    dataWake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    asyncWake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (dataWake_ == nullptr || asyncWake_ == nullptr) return false;
    dataRun_.store(true);
    asyncRun_.store(true);
    dataThread_ = CreateThread(nullptr, 0, &OPCGroup::DataThreadStub, this, 0, nullptr);
    asyncThread_ = CreateThread(nullptr, 0, &OPCGroup::AsyncThreadStub, this, 0, nullptr);
    // Without both threads the group would take requests it never answers.
    if (dataThread_ == nullptr || asyncThread_ == nullptr) return false;
    EventLog()
        .Append("OPCGroup::Initialize - GrpName:")
        .Append(Utf16ToUtf8(state.name))
        .Append("UpdateTime(ms)")
        .Append(static_cast<unsigned long>(state.updateRate))
        .Commit(CLogFile::kWrite);
    return true;
}

HRESULT OPCGroup::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCGroupStateMgt) {
        *ppvObject = static_cast<IOPCGroupStateMgt*>(this);
    } else if (riid == IID_IOPCPublicGroupStateMgt) {
        *ppvObject = static_cast<IOPCPublicGroupStateMgt*>(this);
    } else if (riid == IID_IOPCSyncIO) {
        *ppvObject = static_cast<IOPCSyncIO*>(this);
    } else if (riid == IID_IOPCAsyncIO) {
        *ppvObject = static_cast<IOPCAsyncIO*>(this);
    } else if (riid == IID_IOPCItemMgt) {
        *ppvObject = static_cast<IOPCItemMgt*>(this);
    } else if (riid == IID_IDataObject) {
        *ppvObject = static_cast<IDataObject*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG OPCGroup::AddRef() { return ++refs_; }

ULONG OPCGroup::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

std::u16string OPCGroup::Name() const {
    CriticalSectionLock hold(stateLock_);
    return state_.name;
}

void OPCGroup::SetNameLocked(const std::u16string& name) {
    CriticalSectionLock hold(stateLock_);
    state_.name = name;
}

bool OPCGroup::IsActive() const {
    CriticalSectionLock hold(stateLock_);
    return state_.active != FALSE;
}

DWORD OPCGroup::UpdateRate() const {
    CriticalSectionLock hold(stateLock_);
    return state_.updateRate;
}

OPCHANDLE OPCGroup::ClientGroup() const {
    CriticalSectionLock hold(stateLock_);
    return state_.clientGroup;
}

// ---------------------------------------------------------------------------
// State

HRESULT OPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                           OPCHANDLE* phServerGroup) {
    CriticalSectionLock hold(stateLock_);
    if (ppName != nullptr) {
        *ppName = TaskAllocString(state_.name);
        if (*ppName == nullptr) return E_OUTOFMEMORY;
    }
    if (pUpdateRate != nullptr) *pUpdateRate = state_.updateRate;
    if (pActive != nullptr) *pActive = state_.active;
    if (pTimeBias != nullptr) *pTimeBias = state_.timeBias;
    if (pPercentDeadband != nullptr) *pPercentDeadband = state_.percentDeadband;
    if (pLCID != nullptr) *pLCID = state_.lcid;
    if (phClientGroup != nullptr) *phClientGroup = state_.clientGroup;
    if (phServerGroup != nullptr) *phServerGroup = handle_;
    return S_OK;
}

HRESULT OPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) {
    std::u16string name;
    DWORD rate = 0;
    bool activation = false;
    bool deactivation = false;
    bool revised = false;
    {
        CriticalSectionLock hold(stateLock_);
        if (pRequestedUpdateRate != nullptr) {
            state_.updateRate = ReviseUpdateRate(*pRequestedUpdateRate);
            revised = state_.updateRate != *pRequestedUpdateRate;
        }
        if (pTimeBias != nullptr) state_.timeBias = *pTimeBias;
        if (pPercentDeadband != nullptr) state_.percentDeadband = *pPercentDeadband;
        if (pLCID != nullptr) state_.lcid = *pLCID;
        if (phClientGroup != nullptr) state_.clientGroup = *phClientGroup;
        if (pActive != nullptr) {
            const BOOL active = *pActive != FALSE ? TRUE : FALSE;
            activation = active && !state_.active;
            deactivation = !active && state_.active;
            state_.active = active;
        }
        if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = state_.updateRate;
        name = state_.name;
        rate = state_.updateRate;
    }
    EventLog()
        .Append("OPCGroup::SetState - GrpName:")
        .Append(Utf16ToUtf8(name))
        .Append("Update Rate (ms):")
        .Append(static_cast<unsigned long>(rate))
        .Commit(CLogFile::kWrite);
    // A new rate takes effect at once, not after the wait of the old one.
    if (pRequestedUpdateRate != nullptr && dataWake_ != nullptr) SetEvent(dataWake_);
    if (deactivation) SetPollRequests(false);
    HRESULT result = S_OK;
    if (activation) {
        SetPollRequests(true);
        result = SendPendingDataChange();
    }
    // A revised rate is the one thing a client must learn of the call.
    return revised && SUCCEEDED(result) ? OPC_S_UNSUPPORTEDRATE : result;
}

HRESULT OPCGroup::SetName(LPCWSTR szName) {
    if (szName == nullptr) return E_FAIL;
    const std::u16string name(szName);
    if (name == Name()) return S_OK;
    std::lock_guard link(link_->mutex);
    OPCServer* server = link_->server;
    if (server == nullptr || server->IsDying()) return E_FAIL;
    CriticalSectionLock hold(server->Lock());
    if (server->IsGroupNameUsed(name, this)) return OPC_E_DUPLICATENAME;
    SetNameLocked(name);
    return S_OK;
}

HRESULT OPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    GroupState state;
    {
        CriticalSectionLock hold(stateLock_);
        state = state_;
    }
    // The clone's items are those of this group, as the OPC DA standard has
    // it: the same tags, active flags, client handles and requested types.
    std::vector<ItemCopy> copies;
    {
        CriticalSectionLock hold(itemLock_);
        for (auto& [handle, item] : items_) {
            OPCS_Tag* tag = item->LiveTag();
            if (tag == nullptr) continue;
            tag->AddReference();
            copies.push_back({tag, item->active ? TRUE : FALSE, item->hClient, item->requestedType});
        }
    }
    OPCHANDLE cloneHandle = 0;
    HRESULT result = E_FAIL;
    {
        std::lock_guard link(link_->mutex);
        if (OPCServer* server = link_->server)
            result = server->AddGroup(szName, FALSE, state.updateRate, state.clientGroup, &state.timeBias,
                                      &state.percentDeadband, state.lcid, &cloneHandle, nullptr, riid, ppUnk);
    }
    if (SUCCEEDED(result)) {
        if (auto* clone = HandleTable::ResolveAs<OPCGroup>(cloneHandle, HandleKind::Group)) clone->AddCopies(copies);
    }
    for (const ItemCopy& copy : copies) copy.tag->ReleaseReference();
    return result;
}

HRESULT OPCGroup::GetState(BOOL* pPublic) {
    if (pPublic == nullptr) return E_INVALIDARG;
    *pPublic = FALSE;
    return S_OK;
}

HRESULT OPCGroup::MoveToPublic() { return E_NOTIMPL; }

std::size_t OPCGroup::LiveCount() {
    std::lock_guard lock(Groups().mutex);
    return static_cast<std::size_t>(Groups().groups.GetCount());
}
