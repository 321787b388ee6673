#include "opc/OPCGroup.h"

#include "opc/CEnumItemAttributes.h"

#include "config/OPCS_Doc.h"
#include "foundation/CLogFile.h"
#include "foundation/Dll.h"
#include "model/OPCS_Tag.h"
#include "opc/COPCItem.h"
#include "opc/ComObjects.h"
#include "opc/HandleTable.h"
#include "opc/OpcStream.h"
#include "platform/Thread.h"

#include <cstring>
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

// Frees an [out] array on a failed call, so that the caller is given nothing to free.
template <typename T>
void DropArray(T** out) {
    CoTaskMemFree(*out);
    *out = nullptr;
}

HRESULT AllocErrors(DWORD count, HRESULT** ppErrors) {
    *ppErrors = TaskArray<HRESULT>(count);
    return *ppErrors != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

ASyncRequest::~ASyncRequest() {
    for (VARIANT& value : values) VariantClear(&value);
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

void OPCGroup::Initialize(const GroupState& state) {
    {
        CriticalSectionLock hold(stateLock_);
        if (initialised_) return;
        initialised_ = true;
        state_ = state;
    }
    dataWake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    asyncWake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    dataRun_.store(true);
    asyncRun_.store(true);
    dataThread_ = CreateThread(nullptr, 0, &OPCGroup::DataThreadStub, this, 0, nullptr);
    asyncThread_ = CreateThread(nullptr, 0, &OPCGroup::AsyncThreadStub, this, 0, nullptr);
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
    {
        CriticalSectionLock hold(stateLock_);
        if (pRequestedUpdateRate != nullptr) state_.updateRate = *pRequestedUpdateRate;
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
    if (activation) {
        SetPollRequests(true);
        return SendPendingDataChange();
    }
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

// ---------------------------------------------------------------------------
// Items

COPCItem* OPCGroup::FindItem(OPCHANDLE handle) const {
    // Only this group's own live items: an item of another group is refused
    // like a forged number, so that no group ever destroys what another holds.
    auto* item = HandleTable::ResolveAs<COPCItem>(handle, HandleKind::Item);
    if (item == nullptr || item->Owner() != this) return nullptr;
    return items_.count(handle) != 0 ? item : nullptr;
}

void OPCGroup::SetPollRequests(bool take) {
    CriticalSectionLock hold(itemLock_);
    for (auto& [handle, item] : items_) {
        if (take) {
            item->TakePollRequest();
        } else {
            item->ReleasePollRequest();
        }
    }
}

HRESULT OPCGroup::ResolveItems(bool add, DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppResults,
                               HRESULT** ppErrors) {
    if (pItemArray == nullptr || ppResults == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppResults = TaskArray<OPCITEMRESULT>(dwCount);
    *ppErrors = TaskArray<HRESULT>(dwCount);
    if (*ppResults == nullptr || *ppErrors == nullptr) {
        DropArray(ppResults);
        DropArray(ppErrors);
        return E_OUTOFMEMORY;
    }
    const bool active = IsActive();
    HRESULT result = S_OK;
    CriticalSectionLock hold(itemLock_);
    // The tag is found and referenced under the configuration lock, so that
    // it cannot be deleted between the two.
    ConfigLockHold config;
    OPCS_Doc* doc = GetCurrentDoc();
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& def = pItemArray[i];
        OPCS_Tag* tag = doc != nullptr && def.szItemID != nullptr ? doc->FindTag(Utf16ToUtf8(def.szItemID)) : nullptr;
        if (tag == nullptr) {
            (*ppErrors)[i] = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            continue;
        }
        OPCITEMRESULT& out = (*ppResults)[i];
        out.vtCanonicalDataType = tag->GetCanonicalType();
        out.dwAccessRights = OPC_READABLE | (tag->GetAccessRights() == 1 ? OPC_WRITEABLE : 0);
        (*ppErrors)[i] = S_OK;
        // A validation adds nothing, so its result names no item (hServer 0).
        if (!add) continue;
        auto item = std::unique_ptr<COPCItem>(new (std::nothrow) COPCItem(this, tag));
        if (item == nullptr || item->ServerHandle() == 0) {
            out = OPCITEMRESULT{};
            (*ppErrors)[i] = E_OUTOFMEMORY;
            return S_FALSE;
        }
        if (active) item->TakePollRequest();
        item->active = def.bActive != FALSE;
        item->hClient = def.hClient;
        item->requestedType = def.vtRequestedDataType == VT_EMPTY ? item->CanonicalType() : def.vtRequestedDataType;
        out.hServer = item->ServerHandle();
        EventLog().Append("Added Item:").Append(tag->GetName()).Commit(CLogFile::kWrite);
        items_.emplace(item->ServerHandle(), std::move(item));
    }
    return result;
}

HRESULT OPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::AddItems - GrpName: ")
        .Append(Utf16ToUtf8(Name()))
        .Append("#Items:")
        .Append(static_cast<unsigned long>(dwCount))
        .Commit(CLogFile::kWrite);
    return ResolveItems(true, dwCount, pItemArray, ppAddResults, ppErrors);
}

HRESULT OPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    return ResolveItems(false, dwCount, pItemArray, ppValidationResults, ppErrors);
}

template <typename Change>
HRESULT OPCGroup::ForEachItem(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, Change change) {
    if (phServer == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    CriticalSectionLock hold(itemLock_);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = FindItem(phServer[i]);
        if (item == nullptr) {
            DropArray(ppErrors);
            return E_FAIL;
        }
        change(i, *item);
    }
    return S_OK;
}

HRESULT OPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::RemoveItems - GrpName:")
        .Append(Utf16ToUtf8(Name()))
        .Append("#Items:")
        .Append(static_cast<unsigned long>(dwCount))
        .Commit(CLogFile::kWrite);
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD, COPCItem& item) {
        EventLog().Append("Removing Item:").Append(item.TagName()).Commit(CLogFile::kWrite);
        items_.erase(item.ServerHandle());
    });
}

HRESULT OPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::SetActiveState - GrpName: ")
        .Append(Utf16ToUtf8(Name()))
        .Append("Active:")
        .Append(bActive != FALSE ? "true" : "false")
        .Commit(CLogFile::kWrite);
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD, COPCItem& item) { item.active = bActive != FALSE; });
}

HRESULT OPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) {
    if (phClient == nullptr) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD i, COPCItem& item) { item.hClient = phClient[i]; });
}

HRESULT OPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    if (pRequestedDatatypes == nullptr) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD i, COPCItem& item) {
        item.requestedType = pRequestedDatatypes[i] == VT_EMPTY ? item.CanonicalType() : pRequestedDatatypes[i];
    });
}

HRESULT OPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    auto* enumerator = new (std::nothrow) CEnumItemAttributes(this);
    if (enumerator == nullptr) return E_OUTOFMEMORY;
    enumerator->AddRef();
    const HRESULT hr = enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    enumerator->Release();
    return hr;
}

std::vector<ItemAttributes> OPCGroup::ItemAttributesFrom(std::uint64_t& from, ULONG count) const {
    std::vector<ItemAttributes> out;
    CriticalSectionLock hold(itemLock_);
    if (from > 0xFFFFFFFFu) return out;
    for (auto at = items_.lower_bound(static_cast<OPCHANDLE>(from)); at != items_.end() && out.size() < count;
         ++at) {
        out.push_back(at->second->Attributes());
        from = std::uint64_t{at->first} + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Synchronous reads and writes

HRESULT OPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                       HRESULT** ppErrors) {
    if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppItemValues = TaskArray<OPCITEMSTATE>(dwCount);
    *ppErrors = TaskArray<HRESULT>(dwCount);
    if (*ppItemValues == nullptr || *ppErrors == nullptr) {
        DropArray(ppItemValues);
        DropArray(ppErrors);
        return E_OUTOFMEMORY;
    }
    // The item lock keeps the items alive while they are read: a RemoveItems
    // on another thread must not destroy an item under the read.
    CriticalSectionLock hold(itemLock_);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = FindItem(phServer[i]);
        if (item == nullptr) {
            for (DWORD j = 0; j < i; ++j) VariantClear(&(*ppItemValues)[j].vDataValue);
            DropArray(ppItemValues);
            DropArray(ppErrors);
            return E_FAIL;
        }
        item->Refresh();
        OPCITEMSTATE& state = (*ppItemValues)[i];
        VariantInit(&state.vDataValue);
        state.hClient = item->hClient;
        state.ftTimeStamp = item->timestamp;
        state.wQuality = item->quality;
        VariantCopy(&state.vDataValue, &item->value);
        (*ppErrors)[i] = S_OK;
    }
    return S_OK;
}

bool OPCGroup::WriteItem(COPCItem& item, const VARIANT& value) {
    if (!item.IsWritable()) return false;
    if (OPCS_Tag* tag = item.LiveTag(); tag != nullptr && tag->WriteFromClient(value)) item.changed = true;
    return true;
}

HRESULT OPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    if (phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    CriticalSectionLock hold(itemLock_);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = FindItem(phServer[i]);
        if (item == nullptr) {
            DropArray(ppErrors);
            return E_FAIL;
        }
        if (WriteItem(*item, pItemValues[i])) {
            (*ppErrors)[i] = S_OK;
        } else {
            (*ppErrors)[i] = OPC_E_BADRIGHTS;
            result = S_FALSE;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// Asynchronous requests

HRESULT OPCGroup::QueueRequest(std::unique_ptr<ASyncRequest> request, DWORD* pTransactionID) {
    {
        CriticalSectionLock hold(itemLock_);
        request->transactionId = nextTransactionId_++;
        *pTransactionID = request->transactionId;
        asyncQueue_.push_back(std::move(request));
    }
    SetEvent(asyncWake_);
    return S_OK;
}

HRESULT OPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       DWORD* pTransactionID, HRESULT** ppErrors) {
    if (phServer == nullptr || pTransactionID == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    {
        CriticalSectionLock hold(itemLock_);
        for (DWORD i = 0; i < dwCount; ++i)
            if (FindItem(phServer[i]) == nullptr) return E_FAIL;
    }
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (request == nullptr || FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    request->connection = dwConnection;
    request->count = dwCount;
    request->source = dwSource;
    request->kind = ASyncRequest::kRead;
    request->items.assign(phServer, phServer + dwCount);
    return QueueRequest(std::move(request), pTransactionID);
}

HRESULT OPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        DWORD* pTransactionID, HRESULT** ppErrors) {
    if (phServer == nullptr || pItemValues == nullptr || pTransactionID == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    {
        CriticalSectionLock hold(itemLock_);
        for (DWORD i = 0; i < dwCount; ++i)
            if (FindItem(phServer[i]) == nullptr) return E_FAIL;
    }
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (request == nullptr || FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    request->connection = dwConnection;
    request->count = dwCount;
    request->kind = ASyncRequest::kWrite;
    request->items.assign(phServer, phServer + dwCount);
    request->values.resize(dwCount);
    request->errors.assign(dwCount, S_OK);
    for (DWORD i = 0; i < dwCount; ++i) {
        VariantInit(&request->values[i]);
        if (FAILED(VariantCopy(&request->values[i], &pItemValues[i]))) {
            DropArray(ppErrors);
            return E_OUTOFMEMORY;
        }
    }
    return QueueRequest(std::move(request), pTransactionID);
}

HRESULT OPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    if (pTransactionID == nullptr) return E_INVALIDARG;
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (request == nullptr) return E_OUTOFMEMORY;
    request->connection = dwConnection;
    request->source = dwSource;
    request->kind = ASyncRequest::kRefresh;
    return QueueRequest(std::move(request), pTransactionID);
}

HRESULT OPCGroup::Cancel(DWORD dwTransactionID) { return E_NOTIMPL; }

void OPCGroup::ProcessRequest(ASyncRequest& request) {
    CriticalSectionLock hold(itemLock_);
    switch (request.kind) {
    case ASyncRequest::kRead:
        for (OPCHANDLE handle : request.items)
            if (COPCItem* item = FindItem(handle)) item->Refresh();
        break;
    case ASyncRequest::kWrite:
        for (std::size_t i = 0; i < request.items.size(); ++i) {
            if (COPCItem* item = FindItem(request.items[i]))
                request.errors[i] = WriteItem(*item, request.values[i]) ? S_OK : OPC_E_BADRIGHTS;
        }
        break;
    case ASyncRequest::kRefresh:
        if (IsActive())
            for (auto& [handle, item] : items_) item->Refresh();
        break;
    }
}

void OPCGroup::SendAsyncCompletion(ASyncRequest& request) {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return;
    IEnumSTATDATA* advises = nullptr;
    if (FAILED(adviseHolder_->EnumAdvise(&advises)) || advises == nullptr) return;
    STATDATA found{};
    bool have = false;
    STATDATA data{};
    ULONG fetched = 0;
    while (advises->Next(1, &data, &fetched) == S_OK && fetched == 1) {
        if (!have && data.dwConnection == request.connection) {
            found = data;
            have = true;
        } else if (data.pAdvSink != nullptr) {
            data.pAdvSink->Release();
        }
    }
    advises->Release();
    if (!have) return;

    OPCHANDLE clientGroup = 0;
    {
        CriticalSectionLock hold(stateLock_);
        clientGroup = state_.clientGroup;
    }
    FORMATETC format = found.formatetc;
    std::vector<std::uint8_t> bytes;
    if (request.kind == ASyncRequest::kWrite) {
        std::vector<opcstream::WriteResult> results;
        {
            CriticalSectionLock hold(itemLock_);
            for (std::size_t i = 0; i < request.items.size(); ++i) {
                if (COPCItem* item = FindItem(request.items[i])) results.push_back({item->hClient, request.errors[i]});
            }
        }
        bytes = opcstream::WriteWriteCompleteStream(clientGroup, request.transactionId, S_OK, results, request.count);
        format.cfFormat = opcstream::WriteCompleteFormat();
    } else {
        bytes = BuildStream(found.formatetc.cfFormat != opcstream::DataFormat(), request.transactionId);
    }
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = opcstream::ToGlobal(bytes);
    medium.pUnkForRelease = nullptr;
    if (medium.hGlobal != nullptr && found.pAdvSink != nullptr) found.pAdvSink->OnDataChange(&format, &medium);
    ReleaseStgMedium(&medium);
    if (found.pAdvSink != nullptr) found.pAdvSink->Release();
}

// ---------------------------------------------------------------------------
// Streams and subscriptions

std::vector<std::uint8_t> OPCGroup::BuildStream(bool withTime, DWORD transactionId) {
    OPCHANDLE clientGroup = 0;
    {
        CriticalSectionLock hold(stateLock_);
        clientGroup = state_.clientGroup;
    }
    std::vector<opcstream::ItemValue> values;
    {
        CriticalSectionLock hold(itemLock_);
        for (auto& [handle, item] : items_) {
            if (!item->changed) continue;
            item->changed = false;
            opcstream::ItemValue v;
            v.hClient = item->hClient;
            v.quality = item->quality;
            v.timestamp = item->timestamp;
            // A value the client's type cannot hold is sent as bad and empty.
            if (!item->ValueForClient(v.value)) v.quality = OPC_QUALITY_BAD;
            values.push_back(v);
        }
    }
    std::vector<std::uint8_t> bytes = opcstream::WriteDataStream(withTime, clientGroup, transactionId, S_OK, values);
    for (opcstream::ItemValue& v : values) VariantClear(&v.value);
    return bytes;
}

std::vector<std::uint8_t> OPCGroup::BuildDataStream(DWORD transactionId) { return BuildStream(false, transactionId); }
std::vector<std::uint8_t> OPCGroup::BuildDataTimeStream(DWORD transactionId) { return BuildStream(true, transactionId); }

HRESULT OPCGroup::SendPendingDataChange() {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr || !dataChanged_.load()) return S_FALSE;
    const HRESULT result = adviseHolder_->SendOnDataChange(static_cast<IDataObject*>(this), 0, 0);
    if (SUCCEEDED(result)) dataChanged_.store(false);
    return SUCCEEDED(result) ? S_OK : result;
}

HRESULT OPCGroup::QueryGetData(FORMATETC* pformatetc) {
    if (pformatetc == nullptr) return E_INVALIDARG;
    if (pformatetc->tymed != TYMED_HGLOBAL) return DV_E_TYMED;
    if (pformatetc->cfFormat == opcstream::DataFormat() || pformatetc->cfFormat == opcstream::DataTimeFormat())
        return S_OK;
    return DV_E_FORMATETC;
}

HRESULT OPCGroup::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
    const HRESULT query = QueryGetData(pformatetcIn);
    if (FAILED(query)) return query;
    const std::vector<std::uint8_t> bytes = BuildStream(pformatetcIn->cfFormat != opcstream::DataFormat(), 0);
    HGLOBAL block = opcstream::ToGlobal(bytes);
    if (block == nullptr) return E_OUTOFMEMORY;
    pmedium->tymed = TYMED_HGLOBAL;
    pmedium->hGlobal = block;
    pmedium->pUnkForRelease = nullptr;
    return S_OK;
}

HRESULT OPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT OPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
HRESULT OPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
HRESULT OPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc) {
    if (ppenumFormatEtc != nullptr) *ppenumFormatEtc = nullptr;
    return E_NOTIMPL;
}

HRESULT OPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) {
    if (pformatetc == nullptr || pformatetc->tymed != TYMED_HGLOBAL || pformatetc->ptd != nullptr ||
        pformatetc->dwAspect != DVASPECT_CONTENT || pformatetc->lindex != -1)
        return E_FAIL;
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) {
        const HRESULT made = CreateDataAdviseHolder(&adviseHolder_);
        if (FAILED(made)) return made;
    }
    return adviseHolder_->Advise(static_cast<IDataObject*>(this), pformatetc, advf, pAdvSink, pdwConnection);
}

HRESULT OPCGroup::DUnadvise(DWORD dwConnection) {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return OLE_E_NOCONNECTION;
    return adviseHolder_->Unadvise(dwConnection);
}

HRESULT OPCGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return OLE_E_NOCONNECTION;
    return adviseHolder_->EnumAdvise(ppenumAdvise);
}

// ---------------------------------------------------------------------------
// The two threads

namespace {

// The start and end entries of the group's two threads.
void LogThread(const char* stub, const std::string& name, const char* idLabel, unsigned long id, const char* what) {
    EventLog().Append(stub).Append(name).Append(idLabel).Append(id).Append(what).Commit(CLogFile::kWrite);
}

}  // namespace

void OPCGroup::NoteServerUpdate() {
    FILETIME now{};
    CoFileTimeNow(&now);
    std::lock_guard link(link_->mutex);
    if (link_->server != nullptr) link_->server->SetLastUpdateTime(now);
}

DWORD OPCGroup::DataThreadStub(LPVOID parameter) {
    static_cast<OPCGroup*>(parameter)->RunDataThread();
    return 0;
}

DWORD OPCGroup::AsyncThreadStub(LPVOID parameter) {
    static_cast<OPCGroup*>(parameter)->RunAsyncThread();
    return 0;
}

void OPCGroup::RunDataThread() {
    const std::string name = Utf16ToUtf8(Name());
    const unsigned long id = GetCurrentThreadId();
    LogThread("OPCGroup::ThreadStub - GrpName:", name, " DataThread Id: ", id, "started");
    const bool inApartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    while (inApartment && dataRun_.load()) {
        const DWORD start = GetTickCount();
        if (IsActive()) {
            bool anyChanged = false;
            {
                CriticalSectionLock hold(itemLock_);
                for (auto& [handle, item] : items_) anyChanged = item->Refresh() || anyChanged;
            }
            if (anyChanged) dataChanged_.store(true);
            if (dataRun_.load()) {
                SendPendingDataChange();
                NoteServerUpdate();
            }
        }
        const DWORD rate = UpdateRate();
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed < rate && dataRun_.load()) WaitForSingleObject(dataWake_, rate - elapsed);
    }
    if (inApartment) CoUninitialize();
    LogThread("OPCGroup::ThreadStub - GrpName:", name, " DataThread Id: ", id, "terminated");
}

void OPCGroup::RunAsyncThread() {
    const std::string name = Utf16ToUtf8(Name());
    const unsigned long id = GetCurrentThreadId();
    LogThread("OPCGroup::ASyncThreadStub - GrpName ", name, "ASyncThread Id:", id, "started");
    const bool inApartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    while (asyncRun_.load()) {
        std::unique_ptr<ASyncRequest> request;
        {
            CriticalSectionLock hold(itemLock_);
            if (!asyncQueue_.empty()) {
                request = std::move(asyncQueue_.front());
                asyncQueue_.pop_front();
            }
        }
        if (request == nullptr) {
            WaitForSingleObject(asyncWake_, INFINITE);
            continue;
        }
        ProcessRequest(*request);
        if (asyncRun_.load()) SendAsyncCompletion(*request);
    }
    if (inApartment) CoUninitialize();
    LogThread("OPCGroup::ASyncThreadStub - GrpName ", name, "ASyncThread Id:", id, "terminated");
}

std::size_t OPCGroup::LiveCount() {
    std::lock_guard lock(Groups().mutex);
    return static_cast<std::size_t>(Groups().groups.GetCount());
}
