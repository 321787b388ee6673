// Clipboard-format numbers, storage media and the data advise holder.

#include "platform/DataObject.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Clipboard formats

constexpr UINT kFirstRegisteredFormat = 0xC000;
constexpr UINT kLastRegisteredFormat = 0xFFFF;

struct FormatTable {
    std::mutex mutex;
    std::vector<std::string> names;  // the format number is kFirstRegisteredFormat + index
};

FormatTable& Formats() {
    static FormatTable* table = new FormatTable;  // never destroyed: threads may outlive static destruction
    return *table;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// ---------------------------------------------------------------------------
// The advise holder

template <typename Interface>
HRESULT AnswerQuery(Interface* self, REFIID riid, REFIID own, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == own) {
        self->AddRef();
        *ppv = self;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// The connections an enumeration captured. Each entry holds one reference on
// its sink for as long as any enumerator over the snapshot lives.
class StatDataSnapshot {
public:
    explicit StatDataSnapshot(std::vector<STATDATA> items) : items_(std::move(items)) {}
    StatDataSnapshot(const StatDataSnapshot&) = delete;
    StatDataSnapshot& operator=(const StatDataSnapshot&) = delete;
    ~StatDataSnapshot() {
        for (STATDATA& item : items_) item.pAdvSink->Release();
    }
    const std::vector<STATDATA>& Items() const { return items_; }

private:
    std::vector<STATDATA> items_;
};

class StatDataEnumerator final : public IEnumSTATDATA {
public:
    StatDataEnumerator(std::shared_ptr<const StatDataSnapshot> snapshot, std::size_t position)
        : snapshot_(std::move(snapshot)), position_(position) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery<IEnumSTATDATA>(this, riid, IID_IEnumSTATDATA, ppv);
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Next(ULONG celt, STATDATA* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched != nullptr) *pceltFetched = 0;
        if (celt == 0) return S_OK;
        if (rgelt == nullptr) return E_POINTER;
        if (pceltFetched == nullptr && celt != 1) return E_INVALIDARG;
        const auto& items = snapshot_->Items();
        ULONG fetched = 0;
        {
            std::lock_guard lock(mutex_);
            while (fetched < celt && position_ < items.size()) {
                rgelt[fetched] = items[position_++];
                rgelt[fetched].pAdvSink->AddRef();  // the receiver's own reference
                ++fetched;
            }
        }
        if (pceltFetched != nullptr) *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }

    HRESULT Skip(ULONG celt) override {
        std::lock_guard lock(mutex_);
        const std::size_t left = snapshot_->Items().size() - position_;
        if (celt > left) {
            position_ = snapshot_->Items().size();
            return S_FALSE;
        }
        position_ += celt;
        return S_OK;
    }

    HRESULT Reset() override {
        std::lock_guard lock(mutex_);
        position_ = 0;
        return S_OK;
    }

    HRESULT Clone(IEnumSTATDATA** ppenum) override {
        if (ppenum == nullptr) return E_POINTER;
        std::size_t position;
        {
            std::lock_guard lock(mutex_);
            position = position_;
        }
        *ppenum = new (std::nothrow) StatDataEnumerator(snapshot_, position);
        return *ppenum == nullptr ? E_OUTOFMEMORY : S_OK;
    }

private:
    ~StatDataEnumerator() override = default;

    std::atomic<ULONG> refs_{1};
    const std::shared_ptr<const StatDataSnapshot> snapshot_;
    std::mutex mutex_;
    std::size_t position_;
};

class DataAdviseHolder final : public IDataAdviseHolder {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery<IDataAdviseHolder>(this, riid, IID_IDataAdviseHolder, ppv);
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Advise(IDataObject* pDataObject, FORMATETC* pFetc, DWORD advf, IAdviseSink* pAdvise,
                   DWORD* pdwConnection) override {
        if (pdwConnection != nullptr) *pdwConnection = 0;
        if (pFetc == nullptr || pAdvise == nullptr || pdwConnection == nullptr) return E_INVALIDARG;
        // The target device is the caller's memory and its layout is not
        // known here, so it could be neither copied nor kept safely; only
        // device-independent data is served anyway.
        if (pFetc->ptd != nullptr) return DV_E_DVTARGETDEVICE;

        const bool prime = (advf & ADVF_PRIMEFIRST) != 0 && pDataObject != nullptr;
        pAdvise->AddRef();  // the connection's reference, taken before the lock
        DWORD connection;
        {
            std::lock_guard lock(mutex_);
            if (nextConnection_ > 0xFFFFFFFFull) {
                pAdvise->Release();  // cannot reach zero: the caller holds its own
                return E_OUTOFMEMORY;
            }
            connection = static_cast<DWORD>(nextConnection_++);
            // A one-time connection that is primed is claimed for that first
            // send, so a concurrent SendOnDataChange does not send to it too.
            connections_.push_back(Connection{connection, *pFetc, advf, pAdvise, prime && IsOnlyOnce(advf)});
        }
        *pdwConnection = connection;
        if (prime) {
            pAdvise->AddRef();  // the send's reference, as a snapshot would hold
            Send(pDataObject, Target{connection, *pFetc, advf, pAdvise}, 0);
        }
        return S_OK;
    }

    HRESULT Unadvise(DWORD dwConnection) override {
        IAdviseSink* sink = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto it = FindLocked(dwConnection);
            if (it == connections_.end()) return OLE_E_NOCONNECTION;
            sink = it->sink;
            connections_.erase(it);
        }
        sink->Release();  // outside the lock: the sink's destructor may call back
        return S_OK;
    }

    HRESULT EnumAdvise(IEnumSTATDATA** ppenumAdvise) override {
        if (ppenumAdvise == nullptr) return E_POINTER;
        *ppenumAdvise = nullptr;
        std::vector<STATDATA> items;
        {
            std::lock_guard lock(mutex_);
            items.reserve(connections_.size());
            for (const Connection& c : connections_) {
                // Taken under the lock: an Unadvise must not release the sink
                // between copying the pointer and holding it.
                c.sink->AddRef();
                items.push_back(STATDATA{c.format, c.advf, c.sink, c.id});
            }
        }
        std::shared_ptr<const StatDataSnapshot> snapshot;
        try {
            snapshot = std::make_shared<const StatDataSnapshot>(std::move(items));
        } catch (const std::bad_alloc&) {
            for (STATDATA& item : items) item.pAdvSink->Release();
            return E_OUTOFMEMORY;
        }
        *ppenumAdvise = new (std::nothrow) StatDataEnumerator(std::move(snapshot), 0);
        return *ppenumAdvise == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT SendOnDataChange(IDataObject* pDataObject, DWORD, DWORD advf) override {
        if (pDataObject == nullptr) return E_INVALIDARG;
        std::vector<Target> targets;
        {
            std::lock_guard lock(mutex_);
            targets.reserve(connections_.size());
            for (Connection& c : connections_) {
                if (c.claimed) continue;  // a one-time connection already being sent to
                if (IsOnlyOnce(c.advf)) c.claimed = true;
                c.sink->AddRef();  // keeps the sink alive through a concurrent Unadvise
                targets.push_back(Target{c.id, c.format, c.advf, c.sink});
            }
        }
        for (const Target& target : targets) Send(pDataObject, target, advf);
        return S_OK;
    }

private:
    struct Connection {
        DWORD id;
        FORMATETC format;
        DWORD advf;
        IAdviseSink* sink;  // the connection's reference
        bool claimed;       // a one-time connection with a send in progress
    };
    // A connection as captured for one send; holds its own reference on the sink.
    struct Target {
        DWORD id;
        FORMATETC format;
        DWORD advf;
        IAdviseSink* sink;
    };

    ~DataAdviseHolder() override {
        for (Connection& c : connections_) c.sink->Release();
    }

    static bool IsOnlyOnce(DWORD advf) { return (advf & ADVF_ONLYONCE) != 0; }

    std::vector<Connection>::iterator FindLocked(DWORD id) {
        return std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) { return c.id == id; });
    }

    // Sends to one captured connection with no lock held, then settles a
    // one-time connection: removed when it was sent to, released for a later
    // send when the data could not be had. Consumes the target's reference.
    void Send(IDataObject* dataObject, Target target, DWORD sendAdvf) {
        STGMEDIUM medium{};
        medium.tymed = TYMED_NULL;
        medium.hGlobal = nullptr;
        medium.pUnkForRelease = nullptr;
        FORMATETC format = target.format;
        bool sent = true;
        if (((target.advf | sendAdvf) & ADVF_NODATA) == 0) {
            // A failed GetData owns nothing it may have written, so the medium
            // is not released: that could free what the data object still holds.
            sent = SUCCEEDED(dataObject->GetData(&format, &medium));
            format = target.format;  // GetData may have written over its copy
        }
        if (sent) {
            target.sink->OnDataChange(&format, &medium);
            ReleaseStgMedium(&medium);
        }

        if (IsOnlyOnce(target.advf)) {
            IAdviseSink* removed = nullptr;
            {
                std::lock_guard lock(mutex_);
                auto it = FindLocked(target.id);
                if (it != connections_.end()) {
                    if (sent) {
                        removed = it->sink;
                        connections_.erase(it);
                    } else {
                        it->claimed = false;
                    }
                }
            }
            if (removed != nullptr) removed->Release();
        }
        target.sink->Release();
    }

    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    std::vector<Connection> connections_;
    // Numbers count up from 1 and are not reused; 64 bits so the end of the
    // 32-bit range is refused rather than wrapped onto live numbers.
    std::uint64_t nextConnection_ = 1;
};

}  // namespace

UINT RegisterClipboardFormatA(LPCSTR lpszFormat) {
    if (lpszFormat == nullptr || *lpszFormat == '\0') return 0;
    const std::string_view name(lpszFormat);
    FormatTable& table = Formats();
    std::lock_guard lock(table.mutex);
    for (std::size_t i = 0; i < table.names.size(); ++i) {
        if (SameNameIgnoringCase(table.names[i], name)) return kFirstRegisteredFormat + static_cast<UINT>(i);
    }
    if (table.names.size() > kLastRegisteredFormat - kFirstRegisteredFormat) return 0;
    table.names.emplace_back(name);
    return kFirstRegisteredFormat + static_cast<UINT>(table.names.size() - 1);
}

int GetClipboardFormatNameA(UINT format, LPSTR lpszFormatName, int cchMaxCount) {
    if (lpszFormatName == nullptr || cchMaxCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    lpszFormatName[0] = '\0';
    FormatTable& table = Formats();
    std::lock_guard lock(table.mutex);
    if (format < kFirstRegisteredFormat || format - kFirstRegisteredFormat >= table.names.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string& name = table.names[format - kFirstRegisteredFormat];
    const std::size_t copied = std::min(name.size(), static_cast<std::size_t>(cchMaxCount - 1));
    std::memcpy(lpszFormatName, name.data(), copied);
    lpszFormatName[copied] = '\0';
    return static_cast<int>(copied);
}

void ReleaseStgMedium(LPSTGMEDIUM medium) {
    if (medium == nullptr) return;
    IUnknown* forRelease = medium->pUnkForRelease;
    switch (medium->tymed) {
    case TYMED_HGLOBAL:
        // With pUnkForRelease the memory belongs to its provider, who frees it
        // when that object is released.
        if (forRelease == nullptr && medium->hGlobal != nullptr) GlobalFree(medium->hGlobal);
        break;
    case TYMED_FILE:
        // The name is always the receiver's; the file itself is left alone.
        CoTaskMemFree(medium->lpszFileName);
        break;
    case TYMED_ISTREAM:
        // An interface medium is a reference the receiver was given.
        if (medium->pstm != nullptr) medium->pstm->Release();
        break;
    case TYMED_ISTORAGE:
        if (medium->pstg != nullptr) medium->pstg->Release();
        break;
    default:
        break;  // no other medium is served, so nothing else is owned here
    }
    medium->tymed = TYMED_NULL;
    medium->hGlobal = nullptr;
    medium->pUnkForRelease = nullptr;
    if (forRelease != nullptr) forRelease->Release();
}

HRESULT CreateDataAdviseHolder(IDataAdviseHolder** ppDAHolder) {
    if (ppDAHolder == nullptr) return E_POINTER;
    *ppDAHolder = new (std::nothrow) DataAdviseHolder;
    return *ppDAHolder == nullptr ? E_OUTOFMEMORY : S_OK;
}
