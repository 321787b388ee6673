#include "foundation/Archive.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the configuration file is little-endian");

namespace {

constexpr std::uint8_t kLongLength = 0xFF;
constexpr std::uint16_t kWideMarker = 0xFFFE;
constexpr std::uint16_t kLongerLength = 0xFFFF;

bool IsStorableScalar(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_ERROR: case VT_BOOL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_INT: case VT_UINT:
        return true;
    default:
        return false;
    }
}

}  // namespace

CArchive::CArchive() : mode_(store) {}

CArchive::CArchive(std::vector<std::uint8_t> bytes) : mode_(load), bytes_(std::move(bytes)) {}

void CArchive::RequireStoring() const {
    if (mode_ != store) throw ArchiveException("write to an archive that loads");
}

void CArchive::RequireLoading() const {
    if (mode_ != load) throw ArchiveException("read from an archive that stores");
}

void CArchive::Put(const void* data, std::size_t size) {
    RequireStoring();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + size);
}

void CArchive::Take(void* data, std::size_t size) {
    RequireLoading();
    if (size > GetRemaining()) throw ArchiveException("unexpected end of file");
    std::memcpy(data, bytes_.data() + position_, size);
    position_ += size;
}

void CArchive::WriteU8(std::uint8_t value) { Put(&value, 1); }
void CArchive::WriteU16(std::uint16_t value) { Put(&value, 2); }
void CArchive::WriteU32(std::uint32_t value) { Put(&value, 4); }
void CArchive::WriteF64(double value) { Put(&value, 8); }
void CArchive::WriteF32(float value) { Put(&value, 4); }

std::uint8_t CArchive::ReadU8() {
    std::uint8_t v;
    Take(&v, 1);
    return v;
}

std::uint16_t CArchive::ReadU16() {
    std::uint16_t v;
    Take(&v, 2);
    return v;
}

std::uint32_t CArchive::ReadU32() {
    std::uint32_t v;
    Take(&v, 4);
    return v;
}

double CArchive::ReadF64() {
    double v;
    Take(&v, 8);
    return v;
}

float CArchive::ReadF32() {
    float v;
    Take(&v, 4);
    return v;
}

void CArchive::WriteString(const std::string& text) {
    const std::size_t n = text.size();
    if (n > 0xFFFFFFFFu) throw ArchiveException("string too long to store");
    if (n < kLongLength) {
        WriteU8(static_cast<std::uint8_t>(n));
    } else if (n < kWideMarker) {
        WriteU8(kLongLength);
        WriteU16(static_cast<std::uint16_t>(n));
    } else {
        WriteU8(kLongLength);
        WriteU16(kLongerLength);
        WriteU32(static_cast<std::uint32_t>(n));
    }
    Put(text.data(), n);
}

// The length after its first byte, for the byte form; kWideMarker is handled by the caller.
std::size_t CArchive::ReadLength(std::uint8_t first) {
    if (first < kLongLength) return first;
    const std::uint16_t n16 = ReadU16();
    if (n16 == kLongerLength) return ReadU32();
    return n16;
}

std::string CArchive::ReadString() {
    const std::uint8_t first = ReadU8();
    if (first == kLongLength) {
        const std::uint16_t n16 = ReadU16();
        if (n16 == kWideMarker) {
            // Wide text: its own length by the same rules, in UTF-16 code units.
            const std::uint8_t wideFirst = ReadU8();
            std::size_t units = wideFirst;
            if (wideFirst == kLongLength) {
                const std::uint16_t w16 = ReadU16();
                units = w16 == kLongerLength ? ReadU32() : w16;
                if (w16 == kWideMarker) throw ArchiveException("unreadable string length");
            }
            if (units > GetRemaining() / 2) throw ArchiveException("unexpected end of file in a string");
            std::u16string wide(units, u'\0');
            Take(wide.data(), units * 2);
            return Utf16ToUtf8(wide);
        }
        const std::size_t n = n16 == kLongerLength ? ReadU32() : n16;
        if (n > GetRemaining()) throw ArchiveException("unexpected end of file in a string");
        std::string text(n, '\0');
        Take(text.data(), n);
        return text;
    }
    std::string text(first, '\0');
    Take(text.data(), first);
    return text;
}

void CArchive::WriteVariant(const VARIANT& value) {
    WriteU16(value.vt);
    switch (value.vt) {
    case VT_I2: WriteU16(static_cast<std::uint16_t>(value.iVal)); break;
    case VT_I4: WriteU32(static_cast<std::uint32_t>(value.lVal)); break;
    case VT_R4: WriteF32(value.fltVal); break;
    case VT_R8: WriteF64(value.dblVal); break;
    case VT_CY: {
        const auto bits = static_cast<std::uint64_t>(value.cyVal.int64);
        WriteU32(static_cast<std::uint32_t>(bits & 0xFFFFFFFFu));
        WriteU32(static_cast<std::uint32_t>(bits >> 32));
        break;
    }
    case VT_DATE: WriteF64(value.date); break;
    case VT_BSTR: {
        const UINT units = value.bstrVal ? SysStringLen(value.bstrVal) : 0;
        WriteU32(units * 2);
        if (units) Put(value.bstrVal, units * 2);
        break;
    }
    case VT_ERROR: WriteU32(static_cast<std::uint32_t>(value.scode)); break;
    case VT_BOOL: WriteU16(value.boolVal ? 0xFFFF : 0); break;
    case VT_UI1: WriteU8(value.bVal); break;
    default: break;  // Empty, Null and the types the file has no value for
    }
}

void CArchive::ReadVariant(VARIANT& value) {
    VariantClear(&value);
    const VARTYPE vt = ReadU16();
    VARIANT v;
    VariantInit(&v);
    switch (vt) {
    case VT_I2: v.iVal = static_cast<SHORT>(ReadU16()); break;
    case VT_I4: v.lVal = static_cast<LONG>(ReadU32()); break;
    case VT_R4: v.fltVal = ReadF32(); break;
    case VT_R8: v.dblVal = ReadF64(); break;
    case VT_CY: {
        const std::uint64_t low = ReadU32();
        const std::uint64_t high = ReadU32();
        v.cyVal.int64 = static_cast<LONGLONG>(low | (high << 32));
        break;
    }
    case VT_DATE: v.date = ReadF64(); break;
    case VT_BSTR: {
        const std::uint32_t bytes = ReadU32();
        if (bytes > GetRemaining()) throw ArchiveException("unexpected end of file in a text value");
        std::u16string wide(bytes / 2, u'\0');
        Take(wide.data(), wide.size() * 2);
        position_ += bytes % 2;  // an odd byte cannot be a code unit
        v.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()), static_cast<UINT>(wide.size()));
        if (!v.bstrVal) throw ArchiveException("out of memory for a text value");
        break;
    }
    case VT_ERROR: v.scode = static_cast<SCODE>(ReadU32()); break;
    case VT_BOOL: v.boolVal = ReadU16() ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_UI1: v.bVal = ReadU8(); break;
    default: break;
    }
    // Only scalar types are taken as they come. A code that would make the
    // value a pointer (by reference, arrays, interfaces) or that no variant
    // has is read as Empty: nothing was stored for it, and later readers
    // must never follow a pointer the file made up.
    if (!IsStorableScalar(vt)) {
        value.vt = VT_EMPTY;
        return;
    }
    v.vt = vt;
    value = v;
}
