#include "DaItemGroup.h"

// The DA headers first: the value conversions need their VARIANT.
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/OleAuto.h"

#include "DaValues.h"

#include <atomic>
#include <mutex>

namespace ua {

// Receives the group's data streams. The group may give its reference back
// after the owner is gone, so the sink counts its references and Stop()
// makes sure no call reaches the handler afterwards.
class DaSink : public IAdviseSink {
public:
    explicit DaSink(DaItemGroup::ChangeHandler handler) : handler_(std::move(handler)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
        *ppv = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        if (format == nullptr || medium == nullptr || medium->tymed != TYMED_HGLOBAL) return;
        if (format->cfFormat != opcstream::DataTimeFormat()) return;
        std::string error;
        const auto stream = opcstream::ReadDataStream(opcstream::FromGlobal(medium->hGlobal), true, &error);
        if (!stream) return;
        const DateTime now = Now();
        std::vector<DaItemGroup::Change> changes;
        changes.reserve(stream->items.size());
        for (const opcstream::ItemValue& item : stream->items) {
            DataValue value;
            value.value = FromDaValue(item.value);
            const StatusCode status = FromDaQuality(item.quality);
            if (status != status::Good) value.status = status;
            value.sourceTimestamp = FromFileTime(item.timestamp);
            value.serverTimestamp = now;
            changes.emplace_back(static_cast<std::uint32_t>(item.hClient), std::move(value));
        }
        std::lock_guard lock(mutex_);
        if (handler_) handler_(changes);
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    void Stop() {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }

private:
    ~DaSink() = default;
    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    DaItemGroup::ChangeHandler handler_;
};

DaItemGroup::DaItemGroup(IOPCServer* server, std::uint32_t rateMs, ChangeHandler handler)
    : server_(server), rate_(rateMs) {
    if (server_ == nullptr) return;
    IUnknown* unknown = nullptr;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    HRESULT hr = server_->AddGroup(u"", TRUE, rateMs, 0, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt,
                                   &unknown);
    if (FAILED(hr) || unknown == nullptr) {
        server_ = nullptr;
        return;
    }
    groupHandle_ = handle;
    rate_ = revised;
    items_ = static_cast<IOPCItemMgt*>(unknown);
    items_->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data_));
    if (data_ == nullptr) return;
    sink_ = new DaSink(std::move(handler));
    FORMATETC format{opcstream::DataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    hr = data_->DAdvise(&format, 0, sink_, &connection);
    if (SUCCEEDED(hr)) connection_ = connection;
}

DaItemGroup::~DaItemGroup() {
    if (sink_ != nullptr) {
        sink_->Stop();
        if (connection_ != 0) data_->DUnadvise(connection_);
        sink_->Release();
    }
    if (data_ != nullptr) data_->Release();
    if (items_ != nullptr) items_->Release();
    if (server_ != nullptr) server_->RemoveGroup(groupHandle_, FALSE);
}

std::vector<DaItemGroup::Result> DaItemGroup::Add(const std::vector<Request>& requests) {
    std::vector<Result> out(requests.size());
    if (!Ok() || requests.empty()) return out;
    std::vector<std::u16string> ids;
    ids.reserve(requests.size());
    for (const Request& r : requests) ids.push_back(Utf8ToUtf16(r.itemId));
    std::vector<OPCITEMDEF> defs(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = requests[i].active ? TRUE : FALSE;
        defs[i].hClient = requests[i].clientHandle;
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    for (std::size_t i = 0; SUCCEEDED(hr) && results != nullptr && errors != nullptr && i < requests.size(); ++i) {
        if (FAILED(errors[i])) continue;
        out[i].ok = true;
        out[i].serverHandle = results[i].hServer;
        out[i].canonicalType = results[i].vtCanonicalDataType;
        CoTaskMemFree(results[i].pBlob);
        ++count_;
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return out;
}

void DaItemGroup::Remove(const std::vector<std::uint32_t>& serverHandles) {
    if (!Ok() || serverHandles.empty()) return;
    std::vector<OPCHANDLE> handles(serverHandles.begin(), serverHandles.end());
    HRESULT* errors = nullptr;
    const HRESULT hr = items_->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
    for (std::size_t i = 0; SUCCEEDED(hr) && errors != nullptr && i < handles.size(); ++i)
        if (SUCCEEDED(errors[i]) && count_ > 0) --count_;
    CoTaskMemFree(errors);
}

void DaItemGroup::SetActive(const std::vector<std::uint32_t>& serverHandles, bool active) {
    if (!Ok() || serverHandles.empty()) return;
    std::vector<OPCHANDLE> handles(serverHandles.begin(), serverHandles.end());
    HRESULT* errors = nullptr;
    items_->SetActiveState(static_cast<DWORD>(handles.size()), handles.data(), active ? TRUE : FALSE, &errors);
    CoTaskMemFree(errors);
}

}  // namespace ua
