#include "ui/TagValueText.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>

namespace {

std::string_view Trimmed(std::string_view text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool ToBool(std::string_view text, VARIANT& out) {
    text = Trimmed(text);
    bool on;
    if (SameLetters(text, "T") || SameLetters(text, "True") || text == "1") {
        on = true;
    } else if (SameLetters(text, "F") || SameLetters(text, "False") || text == "0") {
        on = false;
    } else {
        // "yes", "on", an empty field: the operator's intent is not clear, and
        // a bool tag switches a counter in or out of service.
        return false;
    }
    out.vt = VT_BOOL;
    out.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    return true;
}

bool ToNumber(const std::string& text, VARTYPE type, VARIANT& out) {
    // The conversion reads ',' as a thousands separator, so "2,5" typed with a
    // decimal comma would be written as 25. Refused: the decimal point is '.'.
    if (text.find(',') != std::string::npos) return false;
    VARIANT typed;
    VariantInit(&typed);
    typed.vt = VT_BSTR;
    typed.bstrVal = SysAllocStringFromUtf8(text);
    if (typed.bstrVal == nullptr) return false;
    // The conversion OPC clients' text values go through: the whole text must
    // be a number, and one that does not fit the type is an overflow, not a
    // wrapped value.
    const bool converted = SUCCEEDED(VariantChangeType(&out, &typed, 0, type));
    VariantClear(&typed);
    if (!converted) return false;
    const bool finite = (type != VT_R4 || std::isfinite(out.fltVal)) && (type != VT_R8 || std::isfinite(out.dblVal));
    if (!finite) VariantClear(&out);
    return finite;
}

}  // namespace

const char* TagValueText::TypeName(VARTYPE type) {
    switch (type) {
    case VT_I2: return "Short 2 Byte Int";
    case VT_I4: return "Int 4 Byte Int";
    case VT_R4: return "Float 4 Byte real";
    case VT_R8: return "Double 8 Byte real";
    case VT_BSTR: return "String";
    case VT_BOOL: return "Bool (T/F,True/False,1/0)";
    case VT_UI1: return "Byte 0-255";
    default: return "Unknown";
    }
}

bool TagValueText::IsWritableType(VARTYPE type) {
    switch (type) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BSTR: case VT_BOOL: case VT_UI1: return true;
    default: return false;
    }
}

bool TagValueText::ToVariant(const std::string& text, VARTYPE type, VARIANT& out) {
    if (FAILED(VariantClear(&out))) VariantInit(&out);
    switch (type) {
    case VT_BSTR:
        out.bstrVal = SysAllocStringFromUtf8(text);
        if (out.bstrVal == nullptr) return false;
        out.vt = VT_BSTR;
        return true;
    case VT_BOOL: return ToBool(text, out);
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_UI1: return ToNumber(text, type, out);
    default: return false;
    }
}
