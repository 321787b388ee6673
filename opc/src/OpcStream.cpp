#include "opc/OpcStream.h"

#include <cstring>
#include <utility>

namespace opcstream {

namespace {

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void U8(std::uint8_t v) { out_.push_back(v); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
    void PutU32At(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::size_t Size() const { return out_.size(); }

private:
    std::vector<std::uint8_t>& out_;
};

class Reader {
public:
    Reader(const std::vector<std::uint8_t>& bytes, std::size_t at) : bytes_(bytes), at_(at) {}
    bool Has(std::size_t n) const { return at_ <= bytes_.size() && bytes_.size() - at_ >= n; }
    std::uint8_t U8() { return bytes_[at_++]; }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        return static_cast<std::uint16_t>(lo | (U8() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (static_cast<std::uint32_t>(U16()) << 16);
    }
    std::uint64_t U64() {
        const std::uint64_t lo = U32();
        return lo | (static_cast<std::uint64_t>(U32()) << 32);
    }
    void Skip(std::size_t n) { at_ += n; }
    std::size_t At() const { return at_; }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_;
};

// The bytes of one element (or of a VARIANT's value) of a fixed-size type
// on the standard's platform; 0 for the types a stream does not carry.
std::size_t ScalarSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_R8:
    case VT_DATE:
    case VT_CY: return 8;
    default: return 0;
    }
}

// Little-endian bytes of a scalar held in this platform's memory.
void WriteScalar(Writer& w, VARTYPE vt, const void* value) {
    switch (ScalarSize(vt)) {
    case 1: w.U8(*static_cast<const std::uint8_t*>(value)); break;
    case 2: {
        std::uint16_t v;
        std::memcpy(&v, value, 2);
        w.U16(v);
        break;
    }
    case 4: {
        std::uint32_t v;
        std::memcpy(&v, value, 4);
        w.U32(v);
        break;
    }
    case 8: {
        std::uint64_t v;
        std::memcpy(&v, value, 8);
        w.U64(v);
        break;
    }
    default: break;
    }
}

void ReadScalar(Reader& r, VARTYPE vt, void* value) {
    switch (ScalarSize(vt)) {
    case 1: *static_cast<std::uint8_t*>(value) = r.U8(); break;
    case 2: {
        const std::uint16_t v = r.U16();
        std::memcpy(value, &v, 2);
        break;
    }
    case 4: {
        const std::uint32_t v = r.U32();
        std::memcpy(value, &v, 4);
        break;
    }
    case 8: {
        const std::uint64_t v = r.U64();
        std::memcpy(value, &v, 8);
        break;
    }
    default: break;
    }
}

bool IsArrayOfScalars(const VARIANT& v) {
    if ((v.vt & VT_ARRAY) == 0 || (v.vt & VT_BYREF) != 0 || v.parray == nullptr) return false;
    return SafeArrayGetDim(v.parray) == 1 && ScalarSize(static_cast<VARTYPE>(v.vt & VT_TYPEMASK)) != 0;
}

// The type the stream carries for a value: its own, or VT_EMPTY for one it cannot carry.
VARTYPE CarriedType(const VARIANT& v) {
    if (v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_BSTR || ScalarSize(v.vt) != 0) return v.vt;
    if (IsArrayOfScalars(v)) return v.vt;
    return VT_EMPTY;
}

// The 16-byte VARIANT, then what it refers to.
void WriteValue(Writer& w, const VARIANT& v) {
    const VARTYPE vt = CarriedType(v);
    w.U16(vt);
    w.Zeros(6);
    const std::size_t scalar = ScalarSize(vt);
    if (scalar != 0) {
        WriteScalar(w, vt, &v.lVal);
        w.Zeros(8 - scalar);
        return;
    }
    w.Zeros(8);  // Empty, Null, or the pointer of a string or an array
    if (vt == VT_BSTR) {
        const UINT bytes = SysStringByteLen(v.bstrVal);
        w.U32(bytes);
        const UINT units = SysStringLen(v.bstrVal);
        for (UINT i = 0; i < units; ++i) w.U16(static_cast<std::uint16_t>(v.bstrVal[i]));
        w.U16(0);
    } else if ((vt & VT_ARRAY) != 0) {
        SAFEARRAY* a = v.parray;
        const VARTYPE element = static_cast<VARTYPE>(vt & VT_TYPEMASK);
        const std::size_t size = ScalarSize(element);
        w.U16(1);
        w.U16(a->fFeatures);
        w.U32(static_cast<std::uint32_t>(size));
        w.U32(0);  // locks
        w.U32(0);  // data pointer
        w.U32(a->rgsabound[0].cElements);
        w.U32(static_cast<std::uint32_t>(a->rgsabound[0].lLbound));
        const auto* data = static_cast<const std::uint8_t*>(a->pvData);
        for (ULONG i = 0; i < a->rgsabound[0].cElements; ++i) WriteScalar(w, element, data + i * a->cbElements);
    }
}

bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

bool ReadValue(Reader& r, VARIANT& out, std::string* error) {
    VariantInit(&out);
    if (!r.Has(kVariantSize)) return Fail(error, "a value runs past the end of the stream");
    const VARTYPE vt = r.U16();
    r.Skip(6);
    const std::size_t scalar = ScalarSize(vt);
    if (scalar != 0) {
        ReadScalar(r, vt, &out.lVal);
        r.Skip(8 - scalar);
        out.vt = vt;
        return true;
    }
    r.Skip(8);
    if (vt == VT_EMPTY || vt == VT_NULL) {
        out.vt = vt;
        return true;
    }
    if (vt == VT_BSTR) {
        if (!r.Has(4)) return Fail(error, "a string's length runs past the end of the stream");
        const std::uint32_t bytes = r.U32();
        if (bytes % 2 != 0 || !r.Has(static_cast<std::size_t>(bytes) + 2))
            return Fail(error, "a string runs past the end of the stream");
        std::u16string text(bytes / 2, u'\0');
        for (char16_t& c : text) c = static_cast<char16_t>(r.U16());
        if (r.U16() != 0) return Fail(error, "a string lacks its terminator");
        out.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        out.vt = VT_BSTR;
        return true;
    }
    const VARTYPE element = static_cast<VARTYPE>(vt & VT_TYPEMASK);
    if ((vt & ~VT_TYPEMASK) != VT_ARRAY || ScalarSize(element) == 0) return Fail(error, "a value of a type no stream carries");
    if (!r.Has(kArrayDescriptorSize)) return Fail(error, "an array descriptor runs past the end of the stream");
    const std::uint16_t dims = r.U16();
    r.Skip(2);
    const std::uint32_t elementSize = r.U32();
    r.Skip(8);
    const std::uint32_t count = r.U32();
    const auto lower = static_cast<LONG>(r.U32());
    if (dims != 1 || elementSize != ScalarSize(element)) return Fail(error, "an array descriptor does not fit its type");
    if (!r.Has(static_cast<std::size_t>(count) * elementSize)) return Fail(error, "array elements run past the end");
    SAFEARRAY* a = SafeArrayCreateVector(element, lower, count);
    if (a == nullptr) return Fail(error, "out of memory for an array");
    auto* data = static_cast<std::uint8_t*>(a->pvData);
    for (std::uint32_t i = 0; i < count; ++i) ReadScalar(r, element, data + i * a->cbElements);
    out.vt = vt;
    out.parray = a;
    return true;
}

}  // namespace

CLIPFORMAT DataFormat() {
    static const auto format = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATA"));
    return format;
}
CLIPFORMAT DataTimeFormat() {
    static const auto format = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));
    return format;
}
CLIPFORMAT WriteCompleteFormat() {
    static const auto format = static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"));
    return format;
}

std::vector<std::uint8_t> WriteDataStream(bool withTime, OPCHANDLE hClientGroup, DWORD transactionId, HRESULT status,
                                          const std::vector<ItemValue>& items) {
    std::vector<std::uint8_t> out;
    const std::size_t headerSize = withTime ? kItemHeaderTimeSize : kItemHeaderSize;
    out.reserve(kGroupHeaderSize + items.size() * (headerSize + kVariantSize));
    Writer w(out);
    w.U32(0);  // dwSize, written last
    w.U32(static_cast<std::uint32_t>(items.size()));
    w.U32(hClientGroup);
    w.U32(transactionId);
    w.U32(static_cast<std::uint32_t>(status));
    // Item headers with their value offsets filled in as the values follow.
    for (const ItemValue& item : items) {
        w.U32(item.hClient);
        w.U32(0);
        w.U16(item.quality);
        w.U16(0);
        if (withTime) {
            w.U32(item.timestamp.dwLowDateTime);
            w.U32(item.timestamp.dwHighDateTime);
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        w.PutU32At(kGroupHeaderSize + i * headerSize + 4, static_cast<std::uint32_t>(w.Size()));
        WriteValue(w, items[i].value);
    }
    w.PutU32At(0, static_cast<std::uint32_t>(w.Size()));
    return out;
}

std::vector<std::uint8_t> WriteWriteCompleteStream(OPCHANDLE hClientGroup, DWORD transactionId, HRESULT status,
                                                   const std::vector<WriteResult>& results, DWORD itemCount) {
    std::vector<std::uint8_t> out;
    out.reserve(kWriteHeaderSize + results.size() * kWriteRecordSize);
    Writer w(out);
    w.U32(itemCount);
    w.U32(hClientGroup);
    w.U32(transactionId);
    w.U32(static_cast<std::uint32_t>(status));
    for (const WriteResult& result : results) {
        w.U32(result.hClient);
        w.U32(static_cast<std::uint32_t>(result.error));
    }
    return out;
}

HGLOBAL ToGlobal(const std::vector<std::uint8_t>& bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (block == nullptr) return nullptr;
    if (void* data = GlobalLock(block)) {
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        GlobalUnlock(block);
        return block;
    }
    GlobalFree(block);
    return nullptr;
}

std::vector<std::uint8_t> FromGlobal(HGLOBAL block) {
    const SIZE_T size = GlobalSize(block);
    const void* data = GlobalLock(block);
    if (data == nullptr) return {};
    std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
    GlobalUnlock(block);
    return bytes;
}

DataStream::DataStream(DataStream&& other) noexcept { *this = std::move(other); }

DataStream& DataStream::operator=(DataStream&& other) noexcept {
    if (this != &other) {
        for (ItemValue& item : items) VariantClear(&item.value);
        size = other.size;
        itemCount = other.itemCount;
        hClientGroup = other.hClientGroup;
        transactionId = other.transactionId;
        status = other.status;
        items = std::move(other.items);
        other.items.clear();
    }
    return *this;
}

DataStream::~DataStream() {
    for (ItemValue& item : items) VariantClear(&item.value);
}

std::optional<DataStream> ReadDataStream(const std::vector<std::uint8_t>& bytes, bool withTime, std::string* error) {
    Reader r(bytes, 0);
    if (!r.Has(kGroupHeaderSize)) {
        Fail(error, "shorter than a group header");
        return std::nullopt;
    }
    DataStream stream;
    stream.size = r.U32();
    stream.itemCount = r.U32();
    stream.hClientGroup = r.U32();
    stream.transactionId = r.U32();
    stream.status = static_cast<HRESULT>(r.U32());
    if (stream.size != bytes.size()) {
        Fail(error, "dwSize " + std::to_string(stream.size) + " differs from the " + std::to_string(bytes.size()) +
                        " bytes of the stream");
        return std::nullopt;
    }
    const std::size_t headerSize = withTime ? kItemHeaderTimeSize : kItemHeaderSize;
    if (!r.Has(static_cast<std::size_t>(stream.itemCount) * headerSize)) {
        Fail(error, "the item headers run past the end of the stream");
        return std::nullopt;
    }
    const std::size_t valuesStart = kGroupHeaderSize + static_cast<std::size_t>(stream.itemCount) * headerSize;
    stream.items.reserve(stream.itemCount);
    for (DWORD i = 0; i < stream.itemCount; ++i) {
        ItemValue item;
        VariantInit(&item.value);
        item.hClient = r.U32();
        const std::uint32_t offset = r.U32();
        item.quality = r.U16();
        r.Skip(2);
        if (withTime) {
            item.timestamp.dwLowDateTime = r.U32();
            item.timestamp.dwHighDateTime = r.U32();
        }
        if (offset < valuesStart || offset >= bytes.size()) {
            Fail(error, "item " + std::to_string(i) + " has a value offset outside the value area");
            return std::nullopt;
        }
        Reader value(bytes, offset);
        if (!ReadValue(value, item.value, error)) return std::nullopt;
        stream.items.push_back(item);
    }
    return stream;
}

std::optional<WriteCompleteStream> ReadWriteCompleteStream(const std::vector<std::uint8_t>& bytes,
                                                           std::string* error) {
    Reader r(bytes, 0);
    if (!r.Has(kWriteHeaderSize) || (bytes.size() - kWriteHeaderSize) % kWriteRecordSize != 0) {
        Fail(error, "not a write-complete header followed by whole records");
        return std::nullopt;
    }
    WriteCompleteStream stream;
    stream.itemCount = r.U32();
    stream.hClientGroup = r.U32();
    stream.transactionId = r.U32();
    stream.status = static_cast<HRESULT>(r.U32());
    const std::size_t records = (bytes.size() - kWriteHeaderSize) / kWriteRecordSize;
    if (records > stream.itemCount) {
        Fail(error, "more records than the header's item count");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < records; ++i) {
        WriteResult result;
        result.hClient = r.U32();
        result.error = static_cast<HRESULT>(r.U32());
        stream.results.push_back(result);
    }
    return stream;
}

}  // namespace opcstream
