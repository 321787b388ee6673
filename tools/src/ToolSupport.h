#pragma once
// What several vok subcommands share: COM names given on the command line
// and variants printed as JSON (see tools/ToolOutput.h for how JSON is printed).

#include "platform/OleAuto.h"
#include "platform/SerialNames.h"
#include "tools/ToolOutput.h"

#include <nlohmann/json.hpp>

#include <string>

// The number of "COMn" (letter case ignored, as the platform reads COM names);
// -1 when the text is not a COM name.
inline int ComNumber(const std::string& name) {
    int number = 0;
    return serialnames::ParseComName(name, &number) ? number : -1;
}

// Null for Empty; a Boolean, a string or a number for the types that have one;
// a number for anything else that converts to one, else null.
inline nlohmann::json JsonOfVariant(const VARIANT& v) {
    switch (v.vt) {
    case VT_EMPTY: return nullptr;
    case VT_BOOL: return v.boolVal != VARIANT_FALSE;
    case VT_BSTR: return BstrToUtf8(v.bstrVal);
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    default: {
        VARIANT d;
        VariantInit(&d);
        nlohmann::json out = SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)) ? nlohmann::json(d.dblVal) : nullptr;
        VariantClear(&d);
        return out;
    }
    }
}
