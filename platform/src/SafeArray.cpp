// One-dimensional SAFEARRAYs. The element type is kept beside the descriptor,
// so that destroying or copying an array knows which elements own memory.
// Every array made here is registered until it is destroyed, so that a stale
// pointer (a second destroy) or a descriptor made elsewhere is refused, not touched.

#include "platform/OleAuto.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

struct ArrayBlock {
    SAFEARRAY header;  // first, so a SAFEARRAY* and its block convert into each other
    VARTYPE vt;
};

ArrayBlock* BlockOf(SAFEARRAY* array) { return reinterpret_cast<ArrayBlock*>(array); }

class LiveArrays {
public:
    void Add(const SAFEARRAY* array) {
        std::lock_guard hold(lock_);
        arrays_.insert(array);
    }
    void Remove(const SAFEARRAY* array) {
        std::lock_guard hold(lock_);
        arrays_.erase(array);
    }
    bool Contains(const SAFEARRAY* array) {
        std::lock_guard hold(lock_);
        return arrays_.count(array) != 0;
    }

private:
    std::mutex lock_;
    std::unordered_set<const SAFEARRAY*> arrays_;
};

LiveArrays& Live() {
    static LiveArrays live;
    return live;
}

// Null and unknown pointers alike.
bool IsLive(SAFEARRAY* array) { return array != nullptr && Live().Contains(array); }

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

void* ElementAt(SAFEARRAY* array, ULONG offset) {
    return static_cast<unsigned char*>(array->pvData) + static_cast<std::size_t>(offset) * array->cbElements;
}

HRESULT Offset(SAFEARRAY* array, const LONG* indices, ULONG& offset) {
    if (!IsLive(array) || indices == nullptr) return E_INVALIDARG;
    const std::int64_t k = static_cast<std::int64_t>(indices[0]) - array->rgsabound[0].lLbound;
    if (k < 0 || k >= static_cast<std::int64_t>(array->rgsabound[0].cElements)) return DISP_E_BADINDEX;
    offset = static_cast<ULONG>(k);
    return S_OK;
}

// Frees what one element owns and leaves it zeroed.
void ReleaseElement(VARTYPE vt, void* element) {
    if (vt == VT_BSTR) {
        BSTR* s = static_cast<BSTR*>(element);
        SysFreeString(*s);
        *s = nullptr;
    } else if (vt == VT_VARIANT) {
        VARIANT* v = static_cast<VARIANT*>(element);
        if (FAILED(VariantClear(v))) VariantInit(v);
    }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
    const ULONG size = ElementSize(vt);
    if (size == 0 || dims != 1 || bounds == nullptr) return nullptr;
    const ULONG elements = bounds[0].cElements;
    // The upper bound must be a LONG too.
    if (static_cast<std::int64_t>(bounds[0].lLbound) + elements - 1 > std::numeric_limits<LONG>::max()) return nullptr;
    if (elements > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    auto* block = new (std::nothrow) ArrayBlock{};
    if (block == nullptr) return nullptr;
    SAFEARRAY& sa = block->header;
    sa.cDims = 1;
    sa.fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0) | (vt == VT_VARIANT ? FADF_VARIANT : 0);
    sa.cbElements = size;
    sa.cLocks = 0;
    sa.rgsabound[0] = bounds[0];
    block->vt = vt;
    // Zeroed memory is a null BSTR and an Empty VARIANT alike.
    sa.pvData = elements == 0 ? nullptr : std::calloc(elements, size);
    if (elements != 0 && sa.pvData == nullptr) {
        delete block;
        return nullptr;
    }
    Live().Add(&sa);
    return &sa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
    const SAFEARRAYBOUND bound{elements, lowerBound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) return S_OK;
    if (!IsLive(array)) return E_INVALIDARG;
    if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    const VARTYPE vt = BlockOf(array)->vt;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) ReleaseElement(vt, ElementAt(array, i));
    std::free(array->pvData);
    Live().Remove(array);
    delete BlockOf(array);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
    if (!IsLive(array)) return E_INVALIDARG;
    if (array->cLocks == std::numeric_limits<ULONG>::max()) return E_UNEXPECTED;
    ++array->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
    if (!IsLive(array)) return E_INVALIDARG;
    if (array->cLocks == 0) return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (!IsLive(array) || data == nullptr) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(array);
    if (SUCCEEDED(hr)) *data = array->pvData;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) { return SafeArrayUnlock(array); }

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value) {
    ULONG offset = 0;
    HRESULT hr = Offset(array, indices, offset);
    if (FAILED(hr)) return hr;
    if (value == nullptr) return E_INVALIDARG;
    const VARTYPE vt = BlockOf(array)->vt;
    const void* element = ElementAt(array, offset);
    if (vt == VT_BSTR) {
        BSTR s = *static_cast<const BSTR*>(element);
        BSTR copy = nullptr;
        if (s != nullptr && (copy = SysAllocStringLen(s, SysStringLen(s))) == nullptr) return E_OUTOFMEMORY;
        *static_cast<BSTR*>(value) = copy;
    } else if (vt == VT_VARIANT) {
        VARIANT* out = static_cast<VARIANT*>(value);
        VariantInit(out);
        hr = VariantCopy(out, static_cast<const VARIANT*>(element));
    } else {
        std::memcpy(value, element, array->cbElements);
    }
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value) {
    ULONG offset = 0;
    const HRESULT hr = Offset(array, indices, offset);
    if (FAILED(hr)) return hr;
    const VARTYPE vt = BlockOf(array)->vt;
    void* element = ElementAt(array, offset);
    if (vt == VT_BSTR) {
        BSTR s = const_cast<BSTR>(static_cast<const OLECHAR*>(value));
        BSTR copy = nullptr;
        if (s != nullptr && (copy = SysAllocStringLen(s, SysStringLen(s))) == nullptr) return E_OUTOFMEMORY;
        BSTR* slot = static_cast<BSTR*>(element);
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    if (value == nullptr) return E_INVALIDARG;
    if (vt == VT_VARIANT) return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
    std::memmove(element, value, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lowerBound) {
    if (!IsLive(array) || lowerBound == nullptr) return E_INVALIDARG;
    if (dim != 1) return DISP_E_BADINDEX;
    *lowerBound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upperBound) {
    if (!IsLive(array) || upperBound == nullptr) return E_INVALIDARG;
    if (dim != 1) return DISP_E_BADINDEX;
    // An empty array has its upper bound one below the lower; the lower bound of
    // an empty array may be the smallest LONG, so the sum is made in 64 bits.
    const std::int64_t upper = static_cast<std::int64_t>(array->rgsabound[0].lLbound) + array->rgsabound[0].cElements - 1;
    if (upper < std::numeric_limits<LONG>::min()) return DISP_E_BADINDEX;
    *upperBound = static_cast<LONG>(upper);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) { return IsLive(array) ? array->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* array) { return IsLive(array) ? array->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
    if (!IsLive(array) || vt == nullptr) return E_INVALIDARG;
    *vt = BlockOf(array)->vt;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy) {
    if (copy == nullptr) return E_INVALIDARG;
    *copy = nullptr;
    if (array == nullptr) return S_OK;
    if (!IsLive(array)) return E_INVALIDARG;
    const VARTYPE vt = BlockOf(array)->vt;
    SAFEARRAY* out = SafeArrayCreate(vt, 1, array->rgsabound);
    if (out == nullptr) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        const LONG index = static_cast<LONG>(array->rgsabound[0].lLbound + static_cast<std::int64_t>(i));
        const void* element = ElementAt(array, i);
        const void* value = vt == VT_BSTR ? *static_cast<const BSTR*>(element) : element;
        const HRESULT hr = SafeArrayPutElement(out, &index, value);
        if (FAILED(hr)) {
            SafeArrayDestroy(out);
            return hr;
        }
    }
    *copy = out;
    return S_OK;
}
