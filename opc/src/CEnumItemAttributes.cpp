#include "opc/CEnumItemAttributes.h"

#include "opc/ComObjects.h"
#include "opc/OPCGroup.h"

#include <new>

namespace {

void FreeAttributes(OPCITEMATTRIBUTES& attributes) {
    CoTaskMemFree(attributes.szAccessPath);
    CoTaskMemFree(attributes.szItemID);
    VariantClear(&attributes.vEUInfo);
}

// The client's copy of one item's attributes; false when out of memory (and
// then nothing of it is left allocated).
bool FillAttributes(const ItemAttributes& from, OPCITEMATTRIBUTES& to) {
    to = OPCITEMATTRIBUTES{};
    VariantInit(&to.vEUInfo);
    to.szAccessPath = TaskAllocString(u"");
    to.szItemID = TaskAllocString(Utf8ToUtf16(from.tagName));
    to.bActive = from.active;
    to.hClient = from.hClient;
    to.hServer = from.hServer;
    to.dwAccessRights = from.accessRights;
    to.vtRequestedDataType = from.requestedType;
    to.vtCanonicalDataType = from.canonicalType;
    to.dwEUType = OPC_NOENUM;
    bool filled = to.szAccessPath != nullptr && to.szItemID != nullptr;
    if (filled && from.hasRange) {
        to.dwEUType = OPC_ANALOG;
        SAFEARRAY* limits = SafeArrayCreateVector(VT_R8, 0, 2);
        filled = limits != nullptr;
        if (filled) {
            const double values[2] = {from.low, from.high};
            for (LONG index = 0; index < 2; ++index) SafeArrayPutElement(limits, &index, &values[index]);
            to.vEUInfo.vt = VT_ARRAY | VT_R8;
            to.vEUInfo.parray = limits;
        }
    }
    if (!filled) FreeAttributes(to);
    return filled;
}

}  // namespace

CEnumItemAttributes::CEnumItemAttributes(OPCGroup* group) : group_(group) {
    InitializeCriticalSection(&lock_);
    group_->AddRef();
    PostComObjectCount(true);
}

CEnumItemAttributes::~CEnumItemAttributes() {
    group_->Release();
    DeleteCriticalSection(&lock_);
    PostComObjectCount(false);
}

HRESULT CEnumItemAttributes::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid != IID_IUnknown && riid != IID_IEnumOPCItemAttributes) return E_NOINTERFACE;
    *ppvObject = static_cast<IEnumOPCItemAttributes*>(this);
    AddRef();
    return S_OK;
}

ULONG CEnumItemAttributes::AddRef() { return ++refs_; }

ULONG CEnumItemAttributes::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT CEnumItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    if (pceltFetched != nullptr) *pceltFetched = 0;
    if (ppItemArray == nullptr) return E_INVALIDARG;
    *ppItemArray = nullptr;
    CriticalSectionLock hold(lock_);
    std::uint64_t position = next_;
    const std::vector<ItemAttributes> items = group_->ItemAttributesFrom(position, celt);
    // The array holds the items there are, not the count asked for: a client
    // asking for four billion gets what the group has.
    if (!items.empty()) {
        auto* array = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(items.size() * sizeof(OPCITEMATTRIBUTES)));
        if (array == nullptr) return E_OUTOFMEMORY;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (FillAttributes(items[i], array[i])) continue;
            for (std::size_t k = 0; k < i; ++k) FreeAttributes(array[k]);
            CoTaskMemFree(array);
            return E_OUTOFMEMORY;  // the position stays where it was
        }
        *ppItemArray = array;
    }
    next_ = position;
    const auto fetched = static_cast<ULONG>(items.size());
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CEnumItemAttributes::Skip(ULONG celt) {
    CriticalSectionLock hold(lock_);
    const std::size_t skipped = group_->ItemAttributesFrom(next_, celt).size();
    return skipped == celt ? S_OK : S_FALSE;
}

HRESULT CEnumItemAttributes::Reset() {
    CriticalSectionLock hold(lock_);
    next_ = 0;
    return S_OK;
}

HRESULT CEnumItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (ppEnumItemAttributes == nullptr) return E_INVALIDARG;
    *ppEnumItemAttributes = nullptr;
    auto* clone = new (std::nothrow) CEnumItemAttributes(group_);
    if (clone == nullptr) return E_OUTOFMEMORY;
    clone->AddRef();
    const HRESULT hr = clone->QueryInterface(IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes));
    clone->Release();
    return hr;
}
