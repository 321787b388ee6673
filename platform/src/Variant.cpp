// VARIANT lifetime, copies and type conversions. Text is read and written in
// one invariant form (decimal point '.', thousands ',', ISO dates) so that
// configuration and OPC clients see the same values whatever the locale.

#include "OleAutoDate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace {

bool IsScalarType(VARTYPE base) {
    switch (base) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR: case VT_ERROR:
    case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_INT: case VT_UINT:
        return true;
    default:
        return false;
    }
}

// Whether vt is a type a variant may hold at all.
bool IsValidType(VARTYPE vt) {
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) return false;
    if (vt == VT_EMPTY || vt == VT_NULL) return true;
    if (base == VT_VARIANT) return (vt & (VT_ARRAY | VT_BYREF)) != 0;
    return IsScalarType(base);
}

// A by-reference variant seen as the value it refers to, without taking ownership.
HRESULT Dereference(const VARIANT& src, VARIANT& view) {
    if ((src.vt & VT_BYREF) == 0) {
        view = src;
        return S_OK;
    }
    if (src.byref == nullptr) return E_INVALIDARG;
    VARIANT v;
    VariantInit(&v);
    v.vt = src.vt & ~VT_BYREF;
    if ((v.vt & VT_ARRAY) != 0) {
        v.parray = *src.pparray;
        view = v;
        return S_OK;
    }
    switch (v.vt) {
    case VT_I2: v.iVal = *src.piVal; break;
    case VT_I4: v.lVal = *src.plVal; break;
    case VT_R4: v.fltVal = *src.pfltVal; break;
    case VT_R8: v.dblVal = *src.pdblVal; break;
    case VT_CY: v.cyVal = *src.pcyVal; break;
    case VT_DATE: v.date = *src.pdate; break;
    case VT_BSTR: v.bstrVal = *src.pbstrVal; break;
    case VT_ERROR: v.scode = *src.pscode; break;
    case VT_BOOL: v.boolVal = *src.pboolVal; break;
    case VT_I1: v.cVal = *src.pcVal; break;
    case VT_UI1: v.bVal = *src.pbVal; break;
    case VT_UI2: v.uiVal = *src.puiVal; break;
    case VT_UI4: v.ulVal = *src.pulVal; break;
    case VT_INT: v.intVal = *src.pintVal; break;
    case VT_UINT: v.uintVal = *src.puintVal; break;
    case VT_VARIANT: {
        // One level only: a variant that refers to another by-reference variant is refused.
        const VARIANT& inner = *src.pvarVal;
        if (inner.vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
        if (!IsValidType(inner.vt)) return DISP_E_BADVARTYPE;
        return Dereference(inner, view);
    }
    default: return DISP_E_BADVARTYPE;
    }
    view = v;
    return S_OK;
}

// Copies what src owns into dest, which holds nothing yet.
HRESULT DeepCopy(VARIANT& dest, const VARIANT& src) {
    dest = src;
    if ((src.vt & VT_BYREF) != 0) return S_OK;
    if ((src.vt & VT_ARRAY) != 0) {
        dest.parray = nullptr;
        const HRESULT hr = SafeArrayCopy(src.parray, &dest.parray);
        if (FAILED(hr)) VariantInit(&dest);
        return hr;
    }
    if (src.vt == VT_BSTR && src.bstrVal != nullptr) {
        dest.bstrVal = SysAllocStringLen(src.bstrVal, SysStringLen(src.bstrVal));
        if (dest.bstrVal == nullptr) {
            VariantInit(&dest);
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

// Replaces dest with the ready value; on failure the value is freed and dest kept.
HRESULT Install(VARIANT* dest, VARIANT& ready) {
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&ready);
        return hr;
    }
    *dest = ready;
    return S_OK;
}

// ---- numbers -------------------------------------------------------------

using Real = long double;

Real RoundHalfEven(Real x) {
    const Real down = std::floor(x);
    const Real rest = x - down;
    if (rest > 0.5L) return down + 1;
    if (rest < 0.5L) return down;
    return std::fmod(down, 2.0L) == 0 ? down : down + 1;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0xA0; }

// Reads a number in the invariant form: surrounding white space, a leading or
// trailing sign, parentheses for negative, '$', ',' between digits, '.', an
// exponent, and &H / &O for hexadecimal and octal. The whole text must be used.
HRESULT ParseNumber(std::u16string_view s, Real& out) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    s = s.substr(b, e - b);
    bool negative = false;
    bool signSeen = false;
    if (s.size() >= 2 && s.front() == u'(' && s.back() == u')') {
        negative = true;
        signSeen = true;
        s = s.substr(1, s.size() - 2);
    }
    if (!signSeen && !s.empty() && (s.front() == u'+' || s.front() == u'-')) {
        negative = s.front() == u'-';
        signSeen = true;
        s.remove_prefix(1);
    }
    if (!s.empty() && s.front() == u'$') s.remove_prefix(1);
    if (!signSeen && !s.empty() && (s.back() == u'+' || s.back() == u'-')) {
        negative = s.back() == u'-';
        s.remove_suffix(1);
    }
    if (s.empty()) return DISP_E_TYPEMISMATCH;

    if (s.size() > 2 && s[0] == u'&' && (s[1] == u'H' || s[1] == u'h' || s[1] == u'O' || s[1] == u'o')) {
        const unsigned base = (s[1] == u'H' || s[1] == u'h') ? 16 : 8;
        Real value = 0;
        for (std::size_t i = 2; i < s.size(); ++i) {
            const char16_t c = s[i];
            unsigned digit;
            if (c >= u'0' && c <= u'9') digit = c - u'0';
            else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
            else return DISP_E_TYPEMISMATCH;
            if (digit >= base) return DISP_E_TYPEMISMATCH;
            value = value * base + digit;
        }
        if (!std::isfinite(value)) return DISP_E_OVERFLOW;
        out = negative ? -value : value;
        return S_OK;
    }

    std::string ascii;
    if (negative) ascii.push_back('-');
    std::size_t i = 0;
    bool digits = false;
    for (; i < s.size() && ((s[i] >= u'0' && s[i] <= u'9') || s[i] == u','); ++i) {
        if (s[i] == u',') {
            // A thousands separator only stands between digits.
            if (!digits || i + 1 >= s.size() || s[i + 1] < u'0' || s[i + 1] > u'9') return DISP_E_TYPEMISMATCH;
            continue;
        }
        ascii.push_back(static_cast<char>(s[i]));
        digits = true;
    }
    if (i < s.size() && s[i] == u'.') {
        ascii.push_back('.');
        for (++i; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
            ascii.push_back(static_cast<char>(s[i]));
            digits = true;
        }
    }
    if (!digits) return DISP_E_TYPEMISMATCH;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ascii.push_back('e');
        ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ascii.push_back(static_cast<char>(s[i++]));
        bool expDigits = false;
        for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
            ascii.push_back(static_cast<char>(s[i]));
            expDigits = true;
        }
        if (!expDigits) return DISP_E_TYPEMISMATCH;
    }
    if (i != s.size()) return DISP_E_TYPEMISMATCH;
    double value = 0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Too small underflows to zero; too large cannot be held by any target.
        // Which of the two it is follows from the decimal magnitude.
        const std::size_t ePos = ascii.find('e');
        long exponent = 0;
        if (ePos != std::string::npos) {
            const char* first = ascii.data() + ePos + 1;
            if (*first == '+') ++first;
            if (std::from_chars(first, ascii.data() + ascii.size(), exponent).ec != std::errc()) {
                exponent = *first == '-' ? std::numeric_limits<long>::min() / 2 : std::numeric_limits<long>::max() / 2;
            }
        }
        long leading = 0;  // digits before the point, without leading zeros
        bool significant = false;
        for (char c : ascii.substr(0, std::min(ePos, ascii.find('.')))) {
            if (c >= '1' && c <= '9') significant = true;
            if (significant && c >= '0' && c <= '9') ++leading;
        }
        if (leading + exponent > 0) return DISP_E_OVERFLOW;
        value = 0;
    } else if (ec != std::errc() || end != ascii.data() + ascii.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    out = value;
    return S_OK;
}

std::u16string_view TextOf(BSTR s) { return s == nullptr ? std::u16string_view() : std::u16string_view(s, SysStringLen(s)); }

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

HRESULT ParseDate(std::u16string_view s, DATE& out);

// The numeric value of a scalar source. Booleans count as -1 and 0.
HRESULT ReadNumber(const VARIANT& v, Real& out) {
    switch (v.vt) {
    case VT_EMPTY: out = 0; return S_OK;
    case VT_I2: out = v.iVal; return S_OK;
    case VT_I4: out = v.lVal; return S_OK;
    case VT_R4: out = v.fltVal; return S_OK;
    case VT_R8: out = v.dblVal; return S_OK;
    case VT_CY: out = static_cast<Real>(v.cyVal.int64) / 10000; return S_OK;
    case VT_DATE: out = v.date; return S_OK;
    case VT_BSTR: return ParseNumber(TextOf(v.bstrVal), out);
    case VT_BOOL: out = v.boolVal != 0 ? -1 : 0; return S_OK;
    case VT_I1: out = static_cast<signed char>(v.cVal); return S_OK;
    case VT_UI1: out = v.bVal; return S_OK;
    case VT_UI2: out = v.uiVal; return S_OK;
    case VT_UI4: out = v.ulVal; return S_OK;
    case VT_INT: out = v.intVal; return S_OK;
    case VT_UINT: out = v.uintVal; return S_OK;
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToInteger(Real x, Real lo, Real hi, std::int64_t& out) {
    if (!std::isfinite(x)) return DISP_E_OVERFLOW;
    // Rounded first, then checked: 32767.5 rounds to 32768, which an I2 cannot hold.
    const Real r = RoundHalfEven(x);
    if (r < lo || r > hi) return DISP_E_OVERFLOW;
    out = static_cast<std::int64_t>(r);
    return S_OK;
}

// ---- text ----------------------------------------------------------------

template <typename T>
std::string Shortest(T value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string CurrencyText(std::int64_t scaled) {
    const bool negative = scaled < 0;
    // Magnitude as unsigned so that the most negative value has one too.
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
    std::uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(fraction));
        std::string f = digits;
        while (f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return text;
}

// Dates as yyyy-mm-dd, with " hh:mm:ss" (and ".mmm") when the time is not midnight.
bool DateText(DATE value, std::string& text) {
    std::int64_t day, ms;
    if (!oleauto::SplitDate(value, day, ms)) return false;
    std::int64_t y;
    unsigned m, d;
    oleauto::CivilFromDay(day, y, m, d);
    char buffer[40];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(y), m, d);
    if (ms != 0) {
        const auto h = static_cast<unsigned>(ms / 3'600'000), mi = static_cast<unsigned>(ms / 60'000 % 60),
                   s = static_cast<unsigned>(ms / 1000 % 60), milli = static_cast<unsigned>(ms % 1000);
        n += std::snprintf(buffer + n, sizeof buffer - static_cast<std::size_t>(n), " %02u:%02u:%02u", h, mi, s);
        if (milli != 0) std::snprintf(buffer + n, sizeof buffer - static_cast<std::size_t>(n), ".%03u", milli);
    }
    text = buffer;
    return true;
}

bool ReadDigits(std::u16string_view s, std::size_t& i, std::size_t minCount, std::size_t maxCount, unsigned& value) {
    value = 0;
    std::size_t count = 0;
    while (i < s.size() && count < maxCount && s[i] >= u'0' && s[i] <= u'9') {
        value = value * 10 + (s[i] - u'0');
        ++i;
        ++count;
    }
    return count >= minCount;
}

bool Expect(std::u16string_view s, std::size_t& i, char16_t c) {
    if (i < s.size() && s[i] == c) {
        ++i;
        return true;
    }
    return false;
}

// Reads "yyyy-mm-dd", "yyyy-mm-dd hh:mm[:ss[.mmm]]" (or with 'T') and "hh:mm[:ss[.mmm]]".
HRESULT ParseDate(std::u16string_view s, DATE& out) {
    s = Trim(s);
    std::size_t i = 0;
    SYSTEMTIME st{};
    st.wYear = 1899;
    st.wMonth = 12;
    st.wDay = 30;
    unsigned a;
    const bool hasDate = s.size() >= 5 && s[4] == u'-';
    if (hasDate) {
        unsigned mo, d;
        if (!ReadDigits(s, i, 4, 4, a) || !Expect(s, i, u'-') || !ReadDigits(s, i, 1, 2, mo) || !Expect(s, i, u'-') ||
            !ReadDigits(s, i, 1, 2, d)) {
            return DISP_E_TYPEMISMATCH;
        }
        st.wYear = static_cast<WORD>(a);
        st.wMonth = static_cast<WORD>(mo);
        st.wDay = static_cast<WORD>(d);
        if (i < s.size() && !Expect(s, i, u' ') && !Expect(s, i, u'T')) return DISP_E_TYPEMISMATCH;
    }
    if (i < s.size() || !hasDate) {
        unsigned h, mi, sec = 0, ms = 0;
        if (!ReadDigits(s, i, 1, 2, h) || !Expect(s, i, u':') || !ReadDigits(s, i, 2, 2, mi)) return DISP_E_TYPEMISMATCH;
        if (Expect(s, i, u':')) {
            if (!ReadDigits(s, i, 2, 2, sec)) return DISP_E_TYPEMISMATCH;
            if (Expect(s, i, u'.')) {
                std::size_t start = i;
                if (!ReadDigits(s, i, 1, 3, ms)) return DISP_E_TYPEMISMATCH;
                for (std::size_t k = i - start; k < 3; ++k) ms *= 10;
            }
        }
        if (i != s.size()) return DISP_E_TYPEMISMATCH;
        st.wHour = static_cast<WORD>(h);
        st.wMinute = static_cast<WORD>(mi);
        st.wSecond = static_cast<WORD>(sec);
        st.wMilliseconds = static_cast<WORD>(ms);
    }
    if (!SystemTimeToVariantTime(&st, &out)) return DISP_E_TYPEMISMATCH;
    return S_OK;
}

HRESULT ToText(const VARIANT& v, USHORT flags, std::string& text) {
    switch (v.vt) {
    case VT_EMPTY: text.clear(); return S_OK;
    case VT_I2: text = std::to_string(v.iVal); return S_OK;
    case VT_I4: text = std::to_string(v.lVal); return S_OK;
    case VT_R4: text = Shortest(v.fltVal); return S_OK;
    case VT_R8: text = Shortest(v.dblVal); return S_OK;
    case VT_CY: text = CurrencyText(v.cyVal.int64); return S_OK;
    case VT_DATE: return DateText(v.date, text) ? S_OK : DISP_E_OVERFLOW;
    case VT_BOOL:
        if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
            text = v.boolVal != 0 ? "True" : "False";
        } else {
            text = v.boolVal != 0 ? "-1" : "0";
        }
        return S_OK;
    case VT_I1: text = std::to_string(static_cast<signed char>(v.cVal)); return S_OK;
    case VT_UI1: text = std::to_string(v.bVal); return S_OK;
    case VT_UI2: text = std::to_string(v.uiVal); return S_OK;
    case VT_UI4: text = std::to_string(v.ulVal); return S_OK;
    case VT_INT: text = std::to_string(v.intVal); return S_OK;
    case VT_UINT: text = std::to_string(v.uintVal); return S_OK;
    default: return DISP_E_TYPEMISMATCH;
    }
}

// Builds the converted value of a scalar (non-array, dereferenced) source.
HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out) {
    VariantInit(&out);
    if (vt == VT_EMPTY) return S_OK;
    if (vt == VT_NULL) {
        if (src.vt != VT_NULL && src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (src.vt == vt) return DeepCopy(out, src);
    if (src.vt == VT_ERROR || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

    if (vt == VT_BSTR) {
        std::string text;
        const HRESULT hr = ToText(src, flags, text);
        if (FAILED(hr)) return hr;
        BSTR s = SysAllocStringFromUtf8(text);
        if (s == nullptr) return E_OUTOFMEMORY;
        out.vt = VT_BSTR;
        out.bstrVal = s;
        return S_OK;
    }
    if (vt == VT_BOOL && src.vt == VT_BSTR) {
        const std::u16string_view text = Trim(TextOf(src.bstrVal));
        if (EqualsIgnoringCase(text, u"True") || EqualsIgnoringCase(text, u"False")) {
            out.vt = VT_BOOL;
            out.boolVal = EqualsIgnoringCase(text, u"True") ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
    }
    if (vt == VT_DATE && src.vt == VT_BSTR) {
        DATE d;
        if (SUCCEEDED(ParseDate(TextOf(src.bstrVal), d))) {
            out.vt = VT_DATE;
            out.date = d;
            return S_OK;
        }
    }

    Real x;
    HRESULT hr = ReadNumber(src, x);
    if (FAILED(hr)) return hr;
    std::int64_t n = 0;
    switch (vt) {
    case VT_BOOL: out.boolVal = x != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_R8:
        if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<double>::max()) return DISP_E_OVERFLOW;
        out.dblVal = static_cast<double>(x);
        break;
    case VT_R4:
        if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
        out.fltVal = static_cast<float>(x);
        break;
    case VT_DATE: {
        DATE d = static_cast<double>(x);
        std::int64_t day, ms;
        if (!std::isfinite(x) || !oleauto::SplitDate(d, day, ms)) return DISP_E_OVERFLOW;
        out.date = d;
        break;
    }
    case VT_CY:
        hr = ToInteger(x * 10000, -9223372036854775807.0L - 1, 9223372036854775807.0L, n);
        out.cyVal.int64 = n;
        break;
    case VT_I1: hr = ToInteger(x, -128, 127, n); out.cVal = static_cast<char>(static_cast<signed char>(n)); break;
    case VT_I2: hr = ToInteger(x, -32768, 32767, n); out.iVal = static_cast<SHORT>(n); break;
    case VT_I4: hr = ToInteger(x, -2147483648.0L, 2147483647, n); out.lVal = static_cast<LONG>(n); break;
    case VT_INT: hr = ToInteger(x, -2147483648.0L, 2147483647, n); out.intVal = static_cast<INT>(n); break;
    case VT_UI1: hr = ToInteger(x, 0, 255, n); out.bVal = static_cast<BYTE>(n); break;
    case VT_UI2: hr = ToInteger(x, 0, 65535, n); out.uiVal = static_cast<USHORT>(n); break;
    case VT_UI4: hr = ToInteger(x, 0, 4294967295.0L, n); out.ulVal = static_cast<ULONG>(n); break;
    case VT_UINT: hr = ToInteger(x, 0, 4294967295.0L, n); out.uintVal = static_cast<UINT>(n); break;
    default: return DISP_E_BADVARTYPE;
    }
    if (FAILED(hr)) {
        VariantInit(&out);
        return hr;
    }
    out.vt = vt;
    return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* value) {
    if (value == nullptr) return;
    std::memset(value, 0, sizeof *value);
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* value) {
    if (value == nullptr) return E_INVALIDARG;
    if (!IsValidType(value->vt)) return DISP_E_BADVARTYPE;
    if ((value->vt & VT_BYREF) == 0) {
        if ((value->vt & VT_ARRAY) != 0) {
            if (value->parray != nullptr) {
                const HRESULT hr = SafeArrayDestroy(value->parray);
                if (FAILED(hr)) return hr;  // a locked array stays with its variant
            }
        } else if (value->vt == VT_BSTR) {
            SysFreeString(value->bstrVal);
        }
    }
    VariantInit(value);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (dest == src) return S_OK;
    if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
    // The copy is made before dest is cleared, so src may be owned by dest.
    VARIANT copy;
    const HRESULT hr = DeepCopy(copy, *src);
    if (FAILED(hr)) return hr;
    return Install(dest, copy);
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
    if ((src->vt & VT_BYREF) == 0) return VariantCopy(dest, src);
    VARIANT view;
    HRESULT hr = Dereference(*src, view);
    if (FAILED(hr)) return hr;
    VARIANT copy;
    hr = DeepCopy(copy, view);
    if (FAILED(hr)) return hr;
    return Install(dest, copy);
}

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID locale, USHORT flags, VARTYPE vt) {
    return VariantChangeType(dest, src, flags, vt);
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
    if ((vt & VT_BYREF) != 0 || !IsValidType(vt)) return DISP_E_BADVARTYPE;
    VARIANT view;
    HRESULT hr = Dereference(*src, view);
    if (FAILED(hr)) return hr;
    VARIANT result;
    if ((view.vt & VT_ARRAY) != 0 || (vt & VT_ARRAY) != 0) {
        // Arrays are copied as they are; one element type is never turned into another.
        if (vt == VT_EMPTY) {
            VariantInit(&result);
        } else if (view.vt != vt) {
            return DISP_E_TYPEMISMATCH;
        } else {
            hr = DeepCopy(result, view);
            if (FAILED(hr)) return hr;
        }
    } else {
        hr = Convert(view, flags, vt, result);
        if (FAILED(hr)) return hr;
    }
    return Install(dest, result);
}
