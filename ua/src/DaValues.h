#pragma once
// Values between the OPC DA objects and OPC UA: VARIANTs to Variants and
// back, DA qualities to status codes (the OPC UA standard's DA mapping),
// FILETIMEs to DateTimes, and the UA data type of a tag's canonical type.

#include "platform/OleAuto.h"
#include "platform/Time.h"
#include "platform/WinTypes.h"
#include "ua/Types.h"

#include <optional>

namespace ua {

// A DA value as a UA Variant; VT_EMPTY is a null Variant, arrays (VT_ARRAY)
// become arrays of the element type.
Variant FromDaValue(const VARIANT& value);
// A UA value as a DA VARIANT of the tag's canonical type, converted as the DA
// server's own write would; nullopt when the UA value's built-in type does not
// fit the tag's type (the write then answers Bad_TypeMismatch). The caller
// clears the VARIANT it gets.
std::optional<VARIANT> ToDaValue(const Variant& value, VARTYPE canonicalType);
// The same with the reason when it does not fit: Bad_TypeMismatch for a
// value of another kind (text for a number, a scalar for an array),
// Bad_OutOfRange for a number the tag's type cannot hold. out is Empty then.
StatusCode ConvertToDa(const Variant& value, VARTYPE canonicalType, VARIANT& out);
// The DA quality as a UA StatusCode, limit bits kept.
StatusCode FromDaQuality(WORD quality);
DateTime FromFileTime(const FILETIME& time);
// The DataType node (namespace 0) of a canonical VARTYPE: Boolean i=1 ...
// Double i=11, String i=12, DateTime i=13; BaseDataType i=24 for VT_EMPTY
// and VT_VARIANT.
NodeId DataTypeOf(VARTYPE canonicalType);
// The ValueRank of a canonical VARTYPE: -1 scalar, 1 for VT_ARRAY types.
std::int32_t ValueRankOf(VARTYPE canonicalType);
// A DA write's per-item result (an HRESULT of the group's Write) as a UA status.
StatusCode FromDaWriteResult(HRESULT result);

}  // namespace ua
