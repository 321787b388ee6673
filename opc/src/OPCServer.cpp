#include "opc/OPCServer.h"

#include "foundation/Dll.h"
#include "foundation/StringTable.h"
#include "config/OPCS_Doc.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "opc/CEnumItemIDs.h"
#include "opc/ComObjects.h"
#include "opc/HandleTable.h"
#include "opc/OPCGroup.h"
#include "opc/OpcErrors.h"

#include <new>
#include <vector>

namespace {

struct ServerList {
    std::mutex mutex;
    Dll<OPCServer*> servers;
};

ServerList& Servers() {
    static auto* list = new ServerList;
    return *list;
}

std::atomic<std::uint64_t> programStartTime{0};

}  // namespace

void SetProgramStartTime(const FILETIME& time) { programStartTime.store(FileTimeToUInt64(time)); }
FILETIME ProgramStartTime() { return UInt64ToFileTime(programStartTime.load()); }

OPCServer::OPCServer() : link_(std::make_shared<ServerLink>()) {
    InitializeCriticalSection(&lock_);
    groups_.reserve(10);
    link_->server = this;
    std::lock_guard lock(Servers().mutex);
    Servers().servers.AddTail(this);
}

OPCServer::~OPCServer() {
    PostComObjectCount(false);
    dying_.store(true);
    {
        std::lock_guard lock(Servers().mutex);
        if (auto* node = Servers().servers.FindNode(this)) Servers().servers.RemoveNode(node);
    }
    // Groups the client still holds must not reach this server any more.
    {
        std::lock_guard lock(link_->mutex);
        link_->server = nullptr;
    }
    std::vector<OPCGroup*> groups;
    {
        CriticalSectionLock hold(lock_);
        for (const auto& [handle, group] : groups_) groups.push_back(group);
        groups_.clear();
    }
    for (OPCGroup* group : groups) group->Release();
    DeleteCriticalSection(&lock_);
}

HRESULT OPCServer::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
        *ppvObject = static_cast<IOPCServer*>(this);
    } else if (riid == IID_IOPCBrowseServerAddressSpace) {
        *ppvObject = static_cast<IOPCBrowseServerAddressSpace*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG OPCServer::AddRef() { return ++refs_; }

ULONG OPCServer::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

std::u16string OPCServer::UnusedGroupName() const {
    for (unsigned number = 1;; ++number) {
        const std::u16string name = Utf8ToUtf16("Group" + std::to_string(number));
        if (!IsGroupNameUsed(name, nullptr)) return name;
    }
}

bool OPCServer::IsGroupNameUsed(const std::u16string& name, const OPCGroup* except) const {
    CriticalSectionLock hold(lock_);
    for (const auto& [handle, group] : groups_) {
        if (group != except && group->Name() == name) return true;
    }
    return false;
}

HRESULT OPCServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                            DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) {
    if (IsDying()) return E_FAIL;
    if (ppUnk == nullptr) return E_INVALIDARG;
    CriticalSectionLock hold(lock_);
    *ppUnk = nullptr;
    GroupState state;
    state.name = WideText(szName);
    if (!state.name.empty() && IsGroupNameUsed(state.name, nullptr)) return OPC_E_DUPLICATENAME;
    if (state.name.empty()) state.name = UnusedGroupName();

    // One client cannot take the server's threads for itself: each group runs two.
    if (groups_.size() >= kMaxGroupsPerServer) return E_OUTOFMEMORY;
    auto* group = new (std::nothrow) OPCGroup(link_);
    if (group == nullptr) return E_OUTOFMEMORY;
    // The client's own reference while the group is made: released at the
    // end, or on failure with the group.
    group->AddRef();
    if (group->ServerHandle() == 0) {
        // Every handle is taken: the group cannot be named to the client.
        group->Release();
        return E_OUTOFMEMORY;
    }
    state.active = bActive != FALSE ? TRUE : FALSE;
    state.updateRate = dwRequestedUpdateRate;
    state.clientGroup = hClientGroup;
    state.timeBias = pTimeBias != nullptr ? *pTimeBias : 0;
    state.percentDeadband = pPercentDeadband != nullptr ? *pPercentDeadband : 0.0f;
    state.lcid = dwLCID;
    if (!group->Initialize(state)) {
        group->Release();
        return E_OUTOFMEMORY;
    }
    // A group the client cannot hold is not kept either.
    const HRESULT query = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(query)) {
        group->Release();
        return query;
    }
    groups_.emplace(group->ServerHandle(), group);  // takes over the reference made above
    const DWORD revised = ReviseUpdateRate(dwRequestedUpdateRate);
    if (phServerGroup != nullptr) *phServerGroup = group->ServerHandle();
    if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = revised;
    return revised != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

HRESULT OPCServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    if (ppString != nullptr) *ppString = nullptr;
    if (IsDying()) return E_FAIL;
    if (ppString == nullptr) return E_INVALIDARG;
    // The texts are English only; a client asking in another language gets
    // them rather than nothing.
    (void)dwLocale;
    const char* text = OpcErrorText(dwError);
    if (text == nullptr) return E_INVALIDARG;
    *ppString = TaskAllocString(Utf8ToUtf16(text));
    return *ppString != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT OPCServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (IsDying()) return E_FAIL;
    if (ppUnk == nullptr) return E_INVALIDARG;
    CriticalSectionLock hold(lock_);
    *ppUnk = nullptr;
    const std::u16string name = WideText(szName);
    for (const auto& [handle, group] : groups_) {
        if (group->Name() == name) return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    }
    return E_INVALIDARG;
}

HRESULT OPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    if (IsDying()) return E_FAIL;
    if (ppServerStatus == nullptr) return E_INVALIDARG;
    *ppServerStatus = nullptr;
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (status == nullptr) return E_OUTOFMEMORY;
    *status = OPCSERVERSTATUS{};
    status->szVendorInfo = TaskAllocString(Utf8ToUtf16(LoadStringText(IDS_VENDOR_INFO)));
    if (status->szVendorInfo == nullptr) {
        CoTaskMemFree(status);
        return E_OUTOFMEMORY;
    }
    status->ftStartTime = ProgramStartTime();
    CoFileTimeNow(&status->ftCurrentTime);
    status->ftLastUpdateTime = UInt64ToFileTime(lastUpdateTime_.load());
    status->dwServerState = OPC_STATUS_RUNNING;
    {
        CriticalSectionLock hold(lock_);
        status->dwGroupCount = static_cast<DWORD>(groups_.size());
    }
    status->dwBandWidth = 0;
    status->wMajorVersion = 2;
    status->wMinorVersion = 1;
    status->wBuildNumber = 1;
    *ppServerStatus = status;
    return S_OK;
}

HRESULT OPCServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    if (IsDying()) return E_FAIL;
    OPCGroup* removed = nullptr;
    {
        CriticalSectionLock hold(lock_);
        // Only a live group's number is looked for in the map; an item's
        // number or a forged one is refused here already.
        if (HandleTable::Resolve(hServerGroup, HandleKind::Group) == nullptr) return E_INVALIDARG;
        const auto found = groups_.find(hServerGroup);
        if (found == groups_.end()) return E_INVALIDARG;
        removed = found->second;
        groups_.erase(found);
    }
    // The group lives on while its client holds references.
    removed->Release();
    return S_OK;
}

HRESULT OPCServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    if (IsDying()) return E_FAIL;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// Browsing

HRESULT OPCServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    if (pNameSpaceType == nullptr) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

OPCS_TagGroup* OPCServer::LivePositionLocked() {
    if (position_ != nullptr && !OPCS_TagGroup::IsValidGroup(position_)) position_ = nullptr;
    return position_;
}

HRESULT OPCServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    if (IsDying()) return E_FAIL;
    CriticalSectionLock hold(lock_);
    ConfigLockHold config;
    OPCS_TagGroup* position = LivePositionLocked();
    if (dwBrowseDirection == OPC_BROWSE_UP) {
        if (position == nullptr) return E_FAIL;
        OPCS_TagGroup* parent = position->GetParent();
        position_ = OPCS_TagGroup::IsValidGroup(parent) ? parent : nullptr;
        return S_OK;
    }
    const std::string name = Utf16ToUtf8(WideText(szString));
    OPCS_TagGroup* branch = nullptr;
    if (dwBrowseDirection == OPC_BROWSE_DOWN) {
        // One step to a branch of the position.
        branch = addressspace::FindBranch(position, name);
    } else if (dwBrowseDirection == OPC_BROWSE_TO) {
        // The full item ID of a branch from wherever the client stands; an
        // empty one is the root, as OPC DA 2.0 clients expect.
        if (name.empty()) {
            position_ = nullptr;
            return S_OK;
        }
        branch = addressspace::FindBranchByPath(name);
    }
    if (branch == nullptr) return E_INVALIDARG;
    position_ = branch;
    return S_OK;
}

HRESULT OPCServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                    VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                    IEnumString** ppIEnumString) {
    if (IsDying()) return E_FAIL;
    if (ppIEnumString == nullptr) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    CriticalSectionLock hold(lock_);
    auto* enumerator = new (std::nothrow) CEnumItemIDs;
    if (enumerator == nullptr) return E_OUTOFMEMORY;
    CEnumItemIDs::Filter filter;
    filter.type = dwBrowseFilterType;
    filter.criteria = WideText(szFilterCriteria);
    filter.dataType = vtDataTypeFilter;
    filter.accessRights = dwAccessRightsFilter;
    {
        ConfigLockHold config;
        enumerator->Fill(LivePositionLocked(), filter);
    }
    enumerator->AddRef();
    const HRESULT hr = enumerator->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
    enumerator->Release();
    return hr;
}

HRESULT OPCServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    if (IsDying()) return E_FAIL;
    if (szItemID == nullptr) return E_INVALIDARG;
    *szItemID = nullptr;
    const std::string name = Utf16ToUtf8(WideText(szItemDataID));
    CriticalSectionLock hold(lock_);
    ConfigLockHold config;
    OPCS_TagGroup* position = LivePositionLocked();
    // Item IDs name members exactly as the configuration spells them; at the
    // root the only members are the devices, whose item ID is their name.
    const auto named = [&name](const std::vector<std::string>& names) {
        for (const std::string& each : names)
            if (each == name) return true;
        return false;
    };
    std::string id;
    if (named(addressspace::BranchNames(position)) || named(addressspace::LeafNames(position))) {
        id = (position != nullptr ? position->GetPath() : std::string()) + name;
    } else if (named(addressspace::LeafItemIds(position))) {
        // A name of the flat list is already the full item ID.
        id = name;
    } else {
        return E_INVALIDARG;
    }
    *szItemID = TaskAllocString(Utf8ToUtf16(id));
    return *szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT OPCServer::BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) {
    if (ppIEnumString != nullptr) *ppIEnumString = nullptr;
    return E_NOTIMPL;
}

void OPCServer::SetLastUpdateTime(const FILETIME& time) { lastUpdateTime_.store(FileTimeToUInt64(time)); }

void OPCServer::SetAllDying() {
    std::lock_guard lock(Servers().mutex);
    for (OPCServer* server : Servers().servers) server->dying_.store(true);
}

void OPCServer::DestroyAll() {
    SetAllDying();
    for (;;) {
        OPCServer* server = nullptr;
        {
            std::lock_guard lock(Servers().mutex);
            if (Servers().servers.IsEmpty()) return;
            server = Servers().servers.Head()->Value();
        }
        delete server;  // leaves the list first thing
    }
}

std::size_t OPCServer::LiveCount() {
    std::lock_guard lock(Servers().mutex);
    return static_cast<std::size_t>(Servers().servers.GetCount());
}
