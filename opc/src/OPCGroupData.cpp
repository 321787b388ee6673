// The group's data thread, its streams and its subscriptions. A scan decides
// once which items changed and stamps each change with the group's change
// number; every subscription (and GetData) keeps the number up to which it
// was sent, so each receives every change exactly once, however many there
// are and whatever reads run between.

#include "opc/OPCGroup.h"

#include "foundation/CLogFile.h"
#include "opc/ComObjects.h"
#include "platform/Thread.h"

#include <set>

namespace {

// The start and end entries of the data thread.
void LogDataThread(const std::string& name, unsigned long id, const char* what) {
    EventLog()
        .Append("OPCGroup::ThreadStub - GrpName:")
        .Append(name)
        .Append(" DataThread Id: ")
        .Append(id)
        .Append(what)
        .Commit(CLogFile::kWrite);
}

bool IsDataFormat(CLIPFORMAT format) {
    return format == opcstream::DataFormat() || format == opcstream::DataTimeFormat();
}

void ClearValues(std::vector<opcstream::ItemValue>& values) {
    for (opcstream::ItemValue& v : values) VariantClear(&v.value);
}

}  // namespace

opcstream::ItemValue OPCGroup::StreamValue(const COPCItem& item) {
    opcstream::ItemValue v;
    v.hClient = item.hClient;
    v.quality = item.quality;
    v.timestamp = item.timestamp;
    // A value the client's type cannot hold is sent as bad and empty.
    if (!item.ValueForClient(v.value)) v.quality = OPC_QUALITY_BAD;
    return v;
}

std::vector<opcstream::ItemValue> OPCGroup::ChangesSince(std::uint64_t& sentUpTo) {
    std::vector<opcstream::ItemValue> values;
    CriticalSectionLock hold(itemLock_);
    if (sentUpTo >= changeNumber_) return values;
    for (auto& [handle, item] : items_)
        if (item->changedAt > sentUpTo) values.push_back(StreamValue(*item));
    sentUpTo = changeNumber_;
    return values;
}

std::vector<std::uint8_t> OPCGroup::BuildStream(bool withTime, DWORD transactionId,
                                                const std::vector<opcstream::ItemValue>& values) const {
    return opcstream::WriteDataStream(withTime, ClientGroup(), transactionId, S_OK, values);
}

std::vector<std::uint8_t> OPCGroup::BuildDataStream(DWORD transactionId) {
    std::vector<opcstream::ItemValue> values = ChangesSince(getDataSentUpTo_);
    std::vector<std::uint8_t> bytes = BuildStream(false, transactionId, values);
    ClearValues(values);
    return bytes;
}

std::vector<std::uint8_t> OPCGroup::BuildDataTimeStream(DWORD transactionId) {
    std::vector<opcstream::ItemValue> values = ChangesSince(getDataSentUpTo_);
    std::vector<std::uint8_t> bytes = BuildStream(true, transactionId, values);
    ClearValues(values);
    return bytes;
}

std::vector<STATDATA> OPCGroup::Subscriptions() {
    std::vector<STATDATA> subscriptions;
    IEnumSTATDATA* advises = nullptr;
    if (adviseHolder_ == nullptr || FAILED(adviseHolder_->EnumAdvise(&advises)) || advises == nullptr)
        return subscriptions;
    STATDATA data{};
    ULONG fetched = 0;
    while (advises->Next(1, &data, &fetched) == S_OK && fetched == 1) subscriptions.push_back(data);
    advises->Release();
    return subscriptions;
}

HRESULT OPCGroup::SendPendingDataChange() {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return S_FALSE;
    std::vector<STATDATA> subscriptions = Subscriptions();

    HRESULT result = S_FALSE;
    std::set<DWORD> live;
    for (STATDATA& subscription : subscriptions) {
        live.insert(subscription.dwConnection);
        // A write-complete subscription receives completions only.
        if (!IsDataFormat(subscription.formatetc.cfFormat) || subscription.pAdvSink == nullptr) continue;
        std::vector<opcstream::ItemValue> values;
        {
            CriticalSectionLock hold(itemLock_);
            values = ChangesSince(sentUpTo_[subscription.dwConnection]);
        }
        if (values.empty()) continue;
        STGMEDIUM medium{};
        if ((subscription.advf & ADVF_NODATA) == 0) {
            medium.tymed = TYMED_HGLOBAL;
            medium.hGlobal = opcstream::ToGlobal(
                BuildStream(subscription.formatetc.cfFormat != opcstream::DataFormat(), 0, values));
        }
        ClearValues(values);
        subscription.pAdvSink->OnDataChange(&subscription.formatetc, &medium);
        ReleaseStgMedium(&medium);
        result = S_OK;
        if ((subscription.advf & ADVF_ONLYONCE) != 0) adviseHolder_->Unadvise(subscription.dwConnection);
    }
    for (STATDATA& subscription : subscriptions)
        if (subscription.pAdvSink != nullptr) subscription.pAdvSink->Release();
    // Subscriptions that ended take their place in the bookkeeping with them.
    CriticalSectionLock hold(itemLock_);
    for (auto at = sentUpTo_.begin(); at != sentUpTo_.end();)
        at = live.count(at->first) != 0 ? std::next(at) : sentUpTo_.erase(at);
    return result;
}

HRESULT OPCGroup::QueryGetData(FORMATETC* pformatetc) {
    if (pformatetc == nullptr) return E_INVALIDARG;
    if (pformatetc->tymed != TYMED_HGLOBAL) return DV_E_TYMED;
    return IsDataFormat(pformatetc->cfFormat) ? S_OK : DV_E_FORMATETC;
}

HRESULT OPCGroup::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
    const HRESULT query = QueryGetData(pformatetcIn);
    if (FAILED(query)) return query;
    const std::vector<std::uint8_t> bytes =
        pformatetcIn->cfFormat == opcstream::DataFormat() ? BuildDataStream(0) : BuildDataTimeStream(0);
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
    if (pdwConnection == nullptr) return E_INVALIDARG;
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) {
        const HRESULT made = CreateDataAdviseHolder(&adviseHolder_);
        if (FAILED(made)) return made;
    }
    {
        CriticalSectionLock hold(itemLock_);
        if (sentUpTo_.size() >= kMaxAdvisesPerGroup) return CONNECT_E_ADVISELIMIT;
    }
    const HRESULT result =
        adviseHolder_->Advise(static_cast<IDataObject*>(this), pformatetc, advf, pAdvSink, pdwConnection);
    // A new subscription is sent every item's current state first. One that
    // was sent its data once at the advise has ended already.
    constexpr DWORD kOnce = ADVF_ONLYONCE | ADVF_PRIMEFIRST;
    if (SUCCEEDED(result) && (advf & kOnce) != kOnce) {
        CriticalSectionLock hold(itemLock_);
        sentUpTo_[*pdwConnection] = 0;
    }
    return result;
}

HRESULT OPCGroup::DUnadvise(DWORD dwConnection) {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return OLE_E_NOCONNECTION;
    const HRESULT result = adviseHolder_->Unadvise(dwConnection);
    CriticalSectionLock hold(itemLock_);
    sentUpTo_.erase(dwConnection);
    return result;
}

HRESULT OPCGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    CriticalSectionLock advise(adviseLock_);
    if (adviseHolder_ == nullptr) return OLE_E_NOCONNECTION;
    return adviseHolder_->EnumAdvise(ppenumAdvise);
}

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

void OPCGroup::RunDataThread() {
    const std::string name = Utf16ToUtf8(Name());
    const unsigned long id = GetCurrentThreadId();
    LogDataThread(name, id, "started");
    const bool inApartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    while (inApartment && dataRun_.load()) {
        const DWORD start = GetTickCount();
        if (IsActive()) {
            {
                CriticalSectionLock hold(itemLock_);
                for (auto& [handle, item] : items_) RefreshItem(*item);
            }
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
    LogDataThread(name, id, "terminated");
}
