// Asynchronous reads, writes and refreshes: the calls queue a request, the
// group's async thread works the queue off in order and sends each request's
// completion to the subscription it names.

#include "opc/OPCGroup.h"

#include "GroupArrays.h"

#include "foundation/CLogFile.h"
#include "opc/ComObjects.h"
#include "platform/Thread.h"

#include <new>

namespace {

// The start and end entries of the async thread.
void LogAsyncThread(const std::string& name, unsigned long id, const char* what) {
    EventLog()
        .Append("OPCGroup::ASyncThreadStub - GrpName ")
        .Append(name)
        .Append("ASyncThread Id:")
        .Append(id)
        .Append(what)
        .Commit(CLogFile::kWrite);
}

}  // namespace

bool OPCGroup::HasConnection(DWORD connection) {
    // Asked of the group's own bookkeeping under the item lock, not of the
    // advise holder under the advise lock: a completion being delivered holds
    // that lock, and queueing must not wait for a slow subscriber.
    CriticalSectionLock hold(itemLock_);
    return sentUpTo_.count(connection) != 0;
}

HRESULT OPCGroup::QueueRequest(std::unique_ptr<ASyncRequest> request, DWORD* pTransactionID) {
    // A completion that no subscription would receive is refused at once,
    // rather than worked off and dropped.
    if (!HasConnection(request->connection)) return CONNECT_E_NOCONNECTION;
    {
        CriticalSectionLock hold(itemLock_);
        if (asyncQueue_.size() >= kMaxQueuedRequests) return E_OUTOFMEMORY;
        request->transactionId = nextTransactionId_++;
        *pTransactionID = request->transactionId;
        asyncQueue_.push_back(std::move(request));
    }
    SetEvent(asyncWake_);
    return S_OK;
}

HRESULT OPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       DWORD* pTransactionID, HRESULT** ppErrors) {
    return QueueItemRequest(dwConnection, dwSource, dwCount, phServer, nullptr, pTransactionID, ppErrors);
}

HRESULT OPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        DWORD* pTransactionID, HRESULT** ppErrors) {
    if (pItemValues == nullptr) return E_INVALIDARG;
    return QueueItemRequest(dwConnection, OPC_DS_DEVICE, dwCount, phServer, pItemValues, pTransactionID, ppErrors);
}

HRESULT OPCGroup::QueueItemRequest(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                   VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors) {
    if (phServer == nullptr || pTransactionID == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    auto request = std::unique_ptr<ASyncRequest>(new (std::nothrow) ASyncRequest);
    if (request == nullptr || FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    request->connection = dwConnection;
    request->source = dwSource;
    request->kind = pItemValues != nullptr ? ASyncRequest::kWrite : ASyncRequest::kRead;
    HRESULT result = S_OK;
    {
        CriticalSectionLock hold(itemLock_);
        std::vector<COPCItem*> items;
        result = ResolveHandles(dwCount, phServer, *ppErrors, items);
        for (DWORD i = 0; i < dwCount; ++i) {
            if (items[i] == nullptr) continue;
            request->items.push_back(phServer[i]);
            if (pItemValues == nullptr) continue;
            VARIANT copy;
            VariantInit(&copy);
            request->values.push_back(copy);
            if (FAILED(VariantCopy(&request->values.back(), &pItemValues[i]))) {
                DropArray(ppErrors);
                return E_OUTOFMEMORY;
            }
        }
    }
    // Only the valid items are asked for; with none there is nothing to complete.
    if (request->items.empty()) {
        DropArray(ppErrors);
        return E_FAIL;
    }
    request->count = static_cast<DWORD>(request->items.size());
    request->errors.assign(request->items.size(), S_OK);
    const HRESULT queued = QueueRequest(std::move(request), pTransactionID);
    if (FAILED(queued)) {
        DropArray(ppErrors);
        return queued;
    }
    return result;
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
    if (request.kind == ASyncRequest::kWrite) {
        WriteItems(request.items, request.values.data(), request.errors.data());
        return;
    }
    // A read completes with exactly its items, a refresh with every active
    // item of an active group: current values, changed or not, and without
    // taking any change from the group's subscriptions.
    const bool groupActive = IsActive();
    CriticalSectionLock hold(itemLock_);
    auto take = [&](COPCItem& item) {
        RefreshItem(item);
        request.found.push_back(StreamValue(item));
    };
    if (request.kind == ASyncRequest::kRead) {
        for (OPCHANDLE handle : request.items)
            if (COPCItem* item = FindItem(handle)) take(*item);
    } else if (groupActive) {
        for (auto& [handle, item] : items_)
            if (item->active) take(*item);
    }
}

void OPCGroup::SendAsyncCompletion(ASyncRequest& request) {
    CriticalSectionLock advise(adviseLock_);
    STATDATA found{};
    bool have = false;
    for (STATDATA& data : Subscriptions()) {
        if (!have && data.dwConnection == request.connection) {
            found = data;
            have = true;
        } else if (data.pAdvSink != nullptr) {
            data.pAdvSink->Release();
        }
    }
    if (!have) return;

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
        // The count is that of the records sent, as a client walks the stream by it.
        bytes = opcstream::WriteWriteCompleteStream(ClientGroup(), request.transactionId, S_OK, results,
                                                    static_cast<DWORD>(results.size()));
        format.cfFormat = opcstream::WriteCompleteFormat();
    } else {
        bytes = BuildStream(found.formatetc.cfFormat != opcstream::DataFormat(), request.transactionId, request.found);
    }
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = opcstream::ToGlobal(bytes);
    medium.pUnkForRelease = nullptr;
    if (medium.hGlobal != nullptr && found.pAdvSink != nullptr) found.pAdvSink->OnDataChange(&format, &medium);
    ReleaseStgMedium(&medium);
    if (found.pAdvSink != nullptr) found.pAdvSink->Release();
}

DWORD OPCGroup::AsyncThreadStub(LPVOID parameter) {
    static_cast<OPCGroup*>(parameter)->RunAsyncThread();
    return 0;
}

void OPCGroup::RunAsyncThread() {
    const std::string name = Utf16ToUtf8(Name());
    const unsigned long id = GetCurrentThreadId();
    LogAsyncThread(name, id, "started");
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
    LogAsyncThread(name, id, "terminated");
}
