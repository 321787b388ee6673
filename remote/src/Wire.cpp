#include "Wire.h"

#include "opc/OpcStream.h"

#include <kj/exception.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace remote {

namespace {

bool IsScalar(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
        return true;
    default:
        return false;
    }
}

}  // namespace

void ToWire(REFGUID guid, vokrpc::Guid::Builder out) {
    out.setData1(guid.Data1);
    out.setData2(guid.Data2);
    out.setData3(guid.Data3);
    out.setData4(kj::arrayPtr(guid.Data4, 8));
}

bool FromWire(vokrpc::Guid::Reader in, GUID& out) {
    out = GUID{};
    out.Data1 = in.getData1();
    out.Data2 = in.getData2();
    out.Data3 = in.getData3();
    const auto bytes = in.getData4();
    if (bytes.size() != 8) return false;
    std::memcpy(out.Data4, bytes.begin(), 8);
    return true;
}

void ToWire(const FILETIME& time, vokrpc::FileTime::Builder out) {
    out.setLow(time.dwLowDateTime);
    out.setHigh(time.dwHighDateTime);
}

FILETIME FromWire(vokrpc::FileTime::Reader in) { return FILETIME{in.getLow(), in.getHigh()}; }

void ToWire(const VARIANT& given, vokrpc::Variant::Builder out) {
    VARIANT value;
    VariantInit(&value);
    const VARIANT* v = &given;
    if ((given.vt & VT_BYREF) != 0) {
        if (FAILED(VariantCopyInd(&value, &given))) return;
        v = &value;
    }
    out.setVt(v->vt);
    if (v->vt == VT_BSTR) {
        out.setText(BstrToUtf8(v->bstrVal));
    } else if ((v->vt & VT_ARRAY) != 0 && v->parray != nullptr && SafeArrayGetDim(v->parray) == 1) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(v->parray, 1, &low);
        SafeArrayGetUBound(v->parray, 1, &high);
        out.setLowerBound(low);
        const VARTYPE element = static_cast<VARTYPE>(v->vt & VT_TYPEMASK);
        auto elements = out.initElements(static_cast<unsigned>(high >= low ? high - low + 1 : 0));
        for (LONG k = low; k <= high; ++k) {
            VARIANT item;
            VariantInit(&item);
            if (element == VT_VARIANT) {
                SafeArrayGetElement(v->parray, &k, &item);
            } else if (element == VT_BSTR) {
                item.vt = VT_BSTR;
                SafeArrayGetElement(v->parray, &k, &item.bstrVal);
            } else {
                item.vt = element;
                SafeArrayGetElement(v->parray, &k, &item.lVal);
            }
            ToWire(item, elements[static_cast<unsigned>(k - low)]);
            VariantClear(&item);
        }
    } else if (IsScalar(v->vt)) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v->lVal, sizeof bits);
        out.setBits(bits);
    } else {
        out.setVt(VT_EMPTY);
    }
    VariantClear(&value);
}

namespace {

// The words a variant struct takes as ToWire writes it: two data words and
// two pointers.
constexpr std::size_t kVariantWords = 4;

// The words of a text ToWire writes for a wide string of that many units: a
// unit is at most three bytes of UTF-8 (a pair of them four), plus the NUL.
std::size_t TextWords(std::size_t units) { return (3 * units + 1 + 7) / 8; }

// Reads one variant and adds the words its written form takes to written;
// false as soon as that passes kMaxVariantWords.
bool FromWireAt(vokrpc::Variant::Reader in, VARIANT& out, int depth, std::size_t& written) {
    VariantInit(&out);
    written += kVariantWords;
    const VARTYPE vt = in.getVt();
    if (vt == VT_BSTR) {
        out.bstrVal = SysAllocStringFromUtf8(std::string_view(in.getText().cStr(), in.getText().size()));
        if (out.bstrVal == nullptr && in.getText().size() != 0) return false;
        out.vt = VT_BSTR;
        written += TextWords(SysStringLen(out.bstrVal));
        if (written > kMaxVariantWords) {
            VariantClear(&out);
            return false;
        }
        return true;
    }
    if ((vt & VT_ARRAY) != 0) {
        const VARTYPE element = static_cast<VARTYPE>(vt & VT_TYPEMASK);
        if (depth > 0 || (vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0) return false;
        if (element != VT_VARIANT && element != VT_BSTR && !IsScalar(element)) return false;
        const auto elements = in.getElements();
        const LONG lower = in.getLowerBound();
        // The list's tag word, then each element; checked before anything is
        // made for them.
        written += 1 + kVariantWords * std::size_t(elements.size());
        if (written > kMaxVariantWords) return false;
        // Every index of the array must be a LONG, the upper bound too.
        if (elements.size() > 0 && std::int64_t(lower) + std::int64_t(elements.size()) - 1 > INT32_MAX) return false;
        SAFEARRAY* array = SafeArrayCreateVector(element, lower, elements.size());
        if (array == nullptr) return false;
        // A malformed element throws while the elements are read: the array
        // and what it holds go with it.
        struct Guard {
            SAFEARRAY* array;
            ~Guard() { SafeArrayDestroy(array); }
        } guard{array};
        for (unsigned i = 0; i < elements.size(); ++i) {
            VARIANT item;
            // The element's own struct is counted above already.
            std::size_t tail = written - kVariantWords;
            const bool good = FromWireAt(elements[i], item, depth + 1, tail);
            written = tail;
            const LONG index = lower + static_cast<LONG>(i);
            HRESULT hr = E_INVALIDARG;
            if (good && element == VT_VARIANT) {
                hr = SafeArrayPutElement(array, &index, &item);
            } else if (good && item.vt == element) {
                hr = SafeArrayPutElement(array, &index, element == VT_BSTR ? static_cast<const void*>(item.bstrVal)
                                                                           : static_cast<const void*>(&item.lVal));
            }
            VariantClear(&item);
            if (FAILED(hr)) return false;
        }
        guard.array = nullptr;
        out.vt = vt;
        out.parray = array;
        return true;
    }
    if (!IsScalar(vt)) return false;
    const std::uint64_t bits = in.getBits();
    std::memcpy(&out.lVal, &bits, sizeof bits);
    out.vt = vt;
    return true;
}

}  // namespace

bool FromWire(vokrpc::Variant::Reader in, VARIANT& out) {
    // A message whose pointers lead outside it throws as it is read; for the
    // server it is one more variant it does not take.
    try {
        // The root pointer and the variant's own struct.
        std::size_t written = 1;
        return FromWireAt(in, out, 0, written);
    } catch (const kj::Exception&) {
        VariantInit(&out);
        return false;
    }
}

void ToWire(const FORMATETC& format, vokrpc::FormatEtc::Builder out) {
    out.setFormat(format.cfFormat);
    if (format.cfFormat >= 0xC000) {
        char name[256];
        const int length = GetClipboardFormatNameA(format.cfFormat, name, sizeof name);
        if (length > 0) out.setFormatName(std::string(name, static_cast<std::size_t>(length)));
    }
    out.setAspect(format.dwAspect);
    out.setIndex(format.lindex);
    out.setTymed(format.tymed);
}

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// The registered formats another process may name: the three of the OPC
// streams. A name is looked up here, never registered: the process's table
// of formats is for good, and no client may fill it. An unknown name gives
// format 0, which no object serves (DV_E_FORMATETC).
CLIPFORMAT KnownFormat(std::string_view name) {
    static const struct {
        const char* name;
        CLIPFORMAT (*format)();
    } kKnown[] = {{"OPCSTMFORMATDATA", opcstream::DataFormat},
                  {"OPCSTMFORMATDATATIME", opcstream::DataTimeFormat},
                  {"OPCSTMFORMATWRITECOMPLETE", opcstream::WriteCompleteFormat}};
    for (const auto& known : kKnown)
        if (SameName(name, known.name)) return known.format();
    return 0;
}

}  // namespace

FORMATETC FromWire(vokrpc::FormatEtc::Reader in) {
    FORMATETC format{};
    format.cfFormat = in.getFormat();
    if (in.hasFormatName() && in.getFormatName().size() > 0) {
        // Registered formats are numbered by each process for itself.
        format.cfFormat = KnownFormat(std::string_view(in.getFormatName().cStr(), in.getFormatName().size()));
    } else if (format.cfFormat >= 0xC000) {
        // A registered number without its name means nothing here.
        format.cfFormat = 0;
    }
    format.ptd = nullptr;
    format.dwAspect = in.getAspect();
    format.lindex = in.getIndex();
    format.tymed = in.getTymed();
    return format;
}

std::string Text(LPCWSTR text) { return text != nullptr ? Utf16ToUtf8(text) : std::string(); }

std::u16string Wide(capnp::Text::Reader text) { return Utf8ToUtf16(std::string_view(text.cStr(), text.size())); }

}  // namespace remote
