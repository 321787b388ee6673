#include "DaValues.h"

#include "opc/OpcDa.h"
#include "platform/OleAuto.h"

#include <cmath>
#include <limits>

namespace ua {

namespace {

// OLE dates count days from 1899-12-30; DateTimes count 100 ns from 1601-01-01.
// The DA quality the tags of a device not polled yet carry (no OpcDa.h name).
constexpr WORD kQualityWaitingForInitialData = 0x20;

constexpr double kTicksPerDay = 864000000000.0;
constexpr double kOleEpochInTicks = 94353120000000000.0;

DateTime FromOleDate(DATE date) { return static_cast<DateTime>(std::llround(date * kTicksPerDay + kOleEpochInTicks)); }
DATE ToOleDate(DateTime time) { return (static_cast<double>(time) - kOleEpochInTicks) / kTicksPerDay; }

// One element of a DA value (never an array) as the Variant's type and value.
bool ScalarOf(VARTYPE vt, const VARIANT& v, BuiltinType& type, VariantValue& out) {
    switch (vt) {
    case VT_BOOL: type = BuiltinType::Boolean; out = v.boolVal != VARIANT_FALSE; return true;
    case VT_I1: type = BuiltinType::SByte; out = std::int64_t{static_cast<signed char>(v.cVal)}; return true;
    case VT_UI1: type = BuiltinType::Byte; out = std::uint64_t{v.bVal}; return true;
    case VT_I2: type = BuiltinType::Int16; out = std::int64_t{v.iVal}; return true;
    case VT_UI2: type = BuiltinType::UInt16; out = std::uint64_t{v.uiVal}; return true;
    case VT_I4: type = BuiltinType::Int32; out = std::int64_t{v.lVal}; return true;
    case VT_INT: type = BuiltinType::Int32; out = std::int64_t{v.intVal}; return true;
    case VT_UI4: type = BuiltinType::UInt32; out = std::uint64_t{v.ulVal}; return true;
    case VT_UINT: type = BuiltinType::UInt32; out = std::uint64_t{v.uintVal}; return true;
    case VT_R4: type = BuiltinType::Float; out = double{v.fltVal}; return true;
    case VT_R8: type = BuiltinType::Double; out = v.dblVal; return true;
    // Currency has no UA type; its value is what matters to a client.
    case VT_CY: type = BuiltinType::Double; out = static_cast<double>(v.cyVal.int64) / 10000.0; return true;
    case VT_DATE: type = BuiltinType::DateTime; out = std::int64_t{FromOleDate(v.date)}; return true;
    case VT_BSTR: type = BuiltinType::String; out = BstrToUtf8(v.bstrVal); return true;
    case VT_ERROR: type = BuiltinType::Int32; out = std::int64_t{v.scode}; return true;
    default: return false;
    }
}

Variant FromArray(const VARIANT& value) {
    const VARTYPE element = value.vt & VT_TYPEMASK;
    SAFEARRAY* array = value.parray;
    if (array == nullptr || SafeArrayGetDim(array) != 1) return Variant{};
    LONG low = 0;
    LONG high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return Variant{};
    Variant out;
    out.isArray = true;
    out.type = DataTypeOf(element).numeric <= 25 ? static_cast<BuiltinType>(DataTypeOf(element).numeric)
                                                   : BuiltinType::Variant;
    for (LONG i = low; i <= high; ++i) {
        VARIANT one;
        VariantInit(&one);
        if (element == VT_VARIANT) {
            if (FAILED(SafeArrayGetElement(array, &i, &one))) continue;
        } else {
            one.vt = element;
            if (FAILED(SafeArrayGetElement(array, &i, element == VT_BSTR ? static_cast<void*>(&one.bstrVal)
                                                                         : static_cast<void*>(&one.lVal))))
                continue;
        }
        BuiltinType type = BuiltinType::Null;
        VariantValue item;
        if (element == VT_VARIANT) {
            out.type = BuiltinType::Variant;
            out.values.push_back(std::make_shared<Variant>(FromDaValue(one)));
        } else if (ScalarOf(element, one, type, item)) {
            out.type = type;
            out.values.push_back(std::move(item));
        }
        VariantClear(&one);
    }
    return out;
}

// The integer a UA numeric value holds, when it is one.
bool AsInteger(const VariantValue& value, long double& out) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) {
        out = static_cast<long double>(*i);
        return true;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&value)) {
        out = static_cast<long double>(*u);
        return true;
    }
    if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return false;
        // The DA server's own conversion rounds half to even; a write through
        // UA rounds the same way.
        out = std::nearbyint(static_cast<long double>(*d));
        return true;
    }
    return false;
}

bool IsNumeric(BuiltinType type) { return type >= BuiltinType::SByte && type <= BuiltinType::Double; }

StatusCode ScalarToDa(BuiltinType type, const VariantValue& value, VARTYPE target, VARIANT& out) {
    VariantInit(&out);
    auto integerIn = [&](long double low, long double high, auto store) -> StatusCode {
        if (!IsNumeric(type)) return status::BadTypeMismatch;
        long double v = 0;
        if (!AsInteger(value, v)) return status::BadOutOfRange;
        if (v < low || v > high) return status::BadOutOfRange;
        out.vt = target;
        store(v);
        return status::Good;
    };
    switch (target) {
    case VT_BOOL:
        if (type != BuiltinType::Boolean) return status::BadTypeMismatch;
        out.vt = VT_BOOL;
        out.boolVal = std::get<bool>(value) ? VARIANT_TRUE : VARIANT_FALSE;
        return status::Good;
    case VT_BSTR:
        if (type != BuiltinType::String) return status::BadTypeMismatch;
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocStringFromUtf8(std::get<std::string>(value));
        return out.bstrVal != nullptr || std::get<std::string>(value).empty() ? status::Good : status::BadOutOfMemory;
    case VT_DATE:
        if (type != BuiltinType::DateTime) return status::BadTypeMismatch;
        out.vt = VT_DATE;
        out.date = ToOleDate(std::get<std::int64_t>(value));
        return status::Good;
    case VT_I1: return integerIn(-128, 127, [&](long double v) { out.cVal = static_cast<char>(v); });
    case VT_UI1: return integerIn(0, 255, [&](long double v) { out.bVal = static_cast<BYTE>(v); });
    case VT_I2: return integerIn(-32768, 32767, [&](long double v) { out.iVal = static_cast<SHORT>(v); });
    case VT_UI2: return integerIn(0, 65535, [&](long double v) { out.uiVal = static_cast<USHORT>(v); });
    case VT_I4:
    case VT_INT:
        return integerIn(-2147483648.0L, 2147483647.0L, [&](long double v) { out.lVal = static_cast<LONG>(v); });
    case VT_UI4:
    case VT_UINT: return integerIn(0, 4294967295.0L, [&](long double v) { out.ulVal = static_cast<ULONG>(v); });
    case VT_R4:
    case VT_R8: {
        if (!IsNumeric(type)) return status::BadTypeMismatch;
        double v = 0;
        if (const auto* d = std::get_if<double>(&value)) v = *d;
        else if (const auto* i = std::get_if<std::int64_t>(&value)) v = static_cast<double>(*i);
        else if (const auto* u = std::get_if<std::uint64_t>(&value)) v = static_cast<double>(*u);
        if (target == VT_R4) {
            if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max()) return status::BadOutOfRange;
            out.vt = VT_R4;
            out.fltVal = static_cast<float>(v);
        } else {
            out.vt = VT_R8;
            out.dblVal = v;
        }
        return status::Good;
    }
    case VT_CY: {
        if (!IsNumeric(type)) return status::BadTypeMismatch;
        long double v = 0;
        if (const auto* d = std::get_if<double>(&value)) v = *d;
        else if (!AsInteger(value, v)) return status::BadOutOfRange;
        const long double scaled = std::nearbyint(v * 10000.0L);
        if (!(std::fabs(scaled) < 9.2e18L)) return status::BadOutOfRange;
        out.vt = VT_CY;
        out.cyVal.int64 = static_cast<LONGLONG>(scaled);
        return status::Good;
    }
    default: return status::BadTypeMismatch;
    }
}

}  // namespace

Variant FromDaValue(const VARIANT& value) {
    if ((value.vt & VT_BYREF) != 0) {
        VARIANT copy;
        VariantInit(&copy);
        if (FAILED(VariantCopyInd(&copy, &value))) return Variant{};
        Variant out = FromDaValue(copy);
        VariantClear(&copy);
        return out;
    }
    if ((value.vt & VT_ARRAY) != 0) return FromArray(value);
    BuiltinType type = BuiltinType::Null;
    VariantValue out;
    if (!ScalarOf(value.vt, value, type, out)) return Variant{};
    return Variant::Scalar(type, std::move(out));
}

StatusCode ConvertToDa(const Variant& value, VARTYPE canonicalType, VARIANT& out) {
    VariantInit(&out);
    if (value.IsNull() || value.type == BuiltinType::Variant) return status::BadTypeMismatch;
    const bool wantArray = (canonicalType & VT_ARRAY) != 0;
    if (wantArray != value.isArray) return status::BadTypeMismatch;
    if (!wantArray) {
        if (value.values.size() != 1) return status::BadTypeMismatch;
        return ScalarToDa(value.type, value.values[0], canonicalType, out);
    }
    if (!value.dimensions.empty() && value.dimensions.size() != 1) return status::BadTypeMismatch;
    const VARTYPE element = canonicalType & VT_TYPEMASK;
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(value.values.size()));
    if (array == nullptr) return status::BadOutOfMemory;
    for (std::size_t i = 0; i < value.values.size(); ++i) {
        VARIANT one;
        StatusCode result = status::Good;
        if (element == VT_VARIANT) {
            result = status::BadTypeMismatch;
        } else {
            result = ScalarToDa(value.type, value.values[i], element, one);
        }
        if (result == status::Good) {
            const LONG index = static_cast<LONG>(i);
            const void* at = element == VT_BSTR ? static_cast<const void*>(one.bstrVal)
                                                : static_cast<const void*>(&one.lVal);
            if (FAILED(SafeArrayPutElement(array, &index, at))) result = status::BadOutOfMemory;
        }
        VariantClear(&one);
        if (result != status::Good) {
            SafeArrayDestroy(array);
            return result;
        }
    }
    out.vt = canonicalType;
    out.parray = array;
    return status::Good;
}

std::optional<VARIANT> ToDaValue(const Variant& value, VARTYPE canonicalType) {
    VARIANT out;
    if (ConvertToDa(value, canonicalType, out) != status::Good) {
        VariantClear(&out);
        return std::nullopt;
    }
    return out;
}

StatusCode FromDaQuality(WORD quality) {
    const StatusCode limits = static_cast<StatusCode>(quality & 0x03) << 8;
    StatusCode code = status::Bad;
    switch (quality & 0xFC) {
    case OPC_QUALITY_GOOD: code = status::Good; break;
    case OPC_QUALITY_LOCAL_OVERRIDE: code = status::GoodLocalOverride; break;
    case OPC_QUALITY_UNCERTAIN: code = status::Uncertain; break;
    case OPC_QUALITY_LAST_USABLE: code = status::UncertainLastUsableValue; break;
    case OPC_QUALITY_SENSOR_CAL: code = status::UncertainSensorNotAccurate; break;
    case OPC_QUALITY_EGU_EXCEEDED: code = status::UncertainEngineeringUnitsExceeded; break;
    case OPC_QUALITY_SUB_NORMAL: code = status::UncertainSubNormal; break;
    case OPC_QUALITY_BAD: code = status::Bad; break;
    case OPC_QUALITY_CONFIG_ERROR: code = status::BadConfigurationError; break;
    case OPC_QUALITY_NOT_CONNECTED: code = status::BadNotConnected; break;
    case OPC_QUALITY_DEVICE_FAILURE: code = status::BadDeviceFailure; break;
    case OPC_QUALITY_SENSOR_FAILURE: code = status::BadSensorFailure; break;
    case OPC_QUALITY_COMM_FAILURE: code = status::BadNoCommunication; break;
    case OPC_QUALITY_OUT_OF_SERVICE: code = status::BadOutOfService; break;
    case kQualityWaitingForInitialData: code = status::BadWaitingForInitialData; break;
    default:
        // A sub-status the table does not name keeps at least its major quality.
        switch (quality & OPC_QUALITY_MASK) {
        case OPC_QUALITY_GOOD: code = status::Good; break;
        case OPC_QUALITY_UNCERTAIN: code = status::Uncertain; break;
        default: code = status::Bad; break;
        }
    }
    return code | limits;
}

DateTime FromFileTime(const FILETIME& time) {
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<DateTime>(ticks);
}

NodeId DataTypeOf(VARTYPE canonicalType) {
    switch (canonicalType & VT_TYPEMASK) {
    case VT_BOOL: return NodeId(0, 1u);
    case VT_I1: return NodeId(0, 2u);
    case VT_UI1: return NodeId(0, 3u);
    case VT_I2: return NodeId(0, 4u);
    case VT_UI2: return NodeId(0, 5u);
    case VT_I4:
    case VT_INT:
    case VT_ERROR: return NodeId(0, 6u);
    case VT_UI4:
    case VT_UINT: return NodeId(0, 7u);
    case VT_R4: return NodeId(0, 10u);
    case VT_R8:
    case VT_CY: return NodeId(0, 11u);
    case VT_BSTR: return NodeId(0, 12u);
    case VT_DATE: return NodeId(0, 13u);
    default: return NodeId(0, 24u);
    }
}

std::int32_t ValueRankOf(VARTYPE canonicalType) { return (canonicalType & VT_ARRAY) != 0 ? 1 : -1; }

StatusCode FromDaWriteResult(HRESULT result) {
    if (SUCCEEDED(result)) return status::Good;
    switch (result) {
    case OPC_E_BADRIGHTS: return status::BadNotWritable;
    case OPC_E_BADTYPE: return status::BadTypeMismatch;
    case OPC_E_RANGE: return status::BadOutOfRange;
    case OPC_E_UNKNOWNITEMID:
    case OPC_E_INVALIDHANDLE: return status::BadNodeIdUnknown;
    default: return status::BadDeviceFailure;
    }
}

}  // namespace ua
