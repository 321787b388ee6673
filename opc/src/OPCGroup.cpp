#include "opc/OPCGroup.h"

#include "foundation/CLogFile.h"
#include "foundation/Dll.h"
#include "opc/ComObjects.h"
#include "opc/HandleTable.h"

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

OPCGroup::OPCGroup(std::shared_ptr<ServerLink> link)
    : handle_(HandleTable::Register(HandleKind::Group, this)), link_(std::move(link)) {
    InitializeCriticalSection(&stateLock_);
    {
        std::lock_guard lock(Groups().mutex);
        Groups().groups.AddTail(this);
    }
    PostComObjectCount(true);
}

OPCGroup::~OPCGroup() {
    HandleTable::Unregister(handle_);
    {
        std::lock_guard lock(Groups().mutex);
        if (auto* node = Groups().groups.FindNode(this)) Groups().groups.RemoveNode(node);
    }
    DeleteCriticalSection(&stateLock_);
    PostComObjectCount(false);
}

void OPCGroup::Initialize(const GroupState& state) {
    {
        CriticalSectionLock hold(stateLock_);
        if (initialised_) return;
        initialised_ = true;
        state_ = state;
    }
    EventLog()
        .Append("OPCGroup::Initialize - GrpName:")
        .Append(Utf16ToUtf8(state.name))
        .Append("UpdateTime(ms)")
        .Append(static_cast<unsigned long>(state.updateRate))
        .Commit(CLogFile::kWrite);
}

HRESULT OPCGroup::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCGroupStateMgt) {
        *ppvObject = static_cast<IOPCGroupStateMgt*>(this);
    } else if (riid == IID_IOPCPublicGroupStateMgt) {
        *ppvObject = static_cast<IOPCPublicGroupStateMgt*>(this);
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
    {
        CriticalSectionLock hold(stateLock_);
        if (pRequestedUpdateRate != nullptr) state_.updateRate = *pRequestedUpdateRate;
        if (pTimeBias != nullptr) state_.timeBias = *pTimeBias;
        if (pPercentDeadband != nullptr) state_.percentDeadband = *pPercentDeadband;
        if (pLCID != nullptr) state_.lcid = *pLCID;
        if (phClientGroup != nullptr) state_.clientGroup = *phClientGroup;
        if (pActive != nullptr) state_.active = *pActive != FALSE ? TRUE : FALSE;
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
    return S_OK;
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
    std::lock_guard link(link_->mutex);
    OPCServer* server = link_->server;
    if (server == nullptr) return E_FAIL;
    return server->AddGroup(szName, FALSE, state.updateRate, state.clientGroup, &state.timeBias,
                            &state.percentDeadband, state.lcid, nullptr, nullptr, riid, ppUnk);
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
