#pragma once
// OLE Automation values: BSTR strings, VARIANTs with their type conversions,
// one-dimensional SAFEARRAYs, the COM task allocator and DATE conversions.

#include "platform/Time.h"
#include "platform/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Strings

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

// A length-prefixed UTF-16 string: a 32-bit byte count sits just before the
// first character and a zero unit follows the last. A null BSTR is the empty string.
using BSTR = OLECHAR*;

BSTR SysAllocString(const OLECHAR* text);
// Copies len units of text (which may hold zeros); a null text gives len zero units.
BSTR SysAllocStringLen(const OLECHAR* text, UINT len);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
// Replaces *target with a copy of text; the old string is freed only on success.
INT SysReAllocString(BSTR* target, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT len);

// The system's own code keeps text in UTF-8. Malformed input becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
BSTR SysAllocStringFromUtf8(std::string_view text);
std::string BstrToUtf8(BSTR text);

// ---------------------------------------------------------------------------
// Task allocator: the memory of [out] parameters.

void* CoTaskMemAlloc(SIZE_T size);
// A size of 0 frees the block and returns null.
void* CoTaskMemRealloc(void* block, SIZE_T size);
void CoTaskMemFree(void* block);

// ---------------------------------------------------------------------------
// Variant types

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = SHORT;
// Days since 30 December 1899, local time. Before that day the integer part is
// negative while the fraction still counts forward from midnight (-1.25 is
// 29 December 1899, 06:00).
using DATE = double;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Currency: the value times 10 000.
struct CY {
    LONGLONG int64;
};

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_CY = 6;
constexpr VARTYPE VT_DATE = 7;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_ERROR = 10;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_VARIANT = 12;
constexpr VARTYPE VT_I1 = 16;
constexpr VARTYPE VT_UI1 = 17;
constexpr VARTYPE VT_UI2 = 18;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_INT = 22;
constexpr VARTYPE VT_UINT = 23;
constexpr VARTYPE VT_ARRAY = 0x2000;
constexpr VARTYPE VT_BYREF = 0x4000;
constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

struct SAFEARRAY;
struct VARIANT;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        SAFEARRAY* parray;
        char cVal;
        USHORT uiVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        // With VT_BYREF: the value lives elsewhere and is not owned.
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        char* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        INT* pintVal;
        UINT* puintVal;
        void* byref;
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

// Conversion flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

void VariantInit(VARIANTARG* value);
// Frees the strings and arrays the variant owns and leaves it Empty.
HRESULT VariantClear(VARIANTARG* value);
// Clears dest, then gives it a deep copy of src (a by-reference source copies the reference).
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// As VariantCopy, but a by-reference source is copied as the value it refers to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src);
// Converts src to type vt into dest (dest may be src). On failure dest is left as it was.
// Text is read and written in one invariant form whatever the locale.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID locale, USHORT flags, VARTYPE vt);

// ---------------------------------------------------------------------------
// Arrays. Only one dimension is served.

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_VARIANT = 0x0800;

// Element types: I1, I2, I4, INT, UI1, UI2, UI4, UINT, R4, R8, CY, DATE, ERROR,
// BOOL, BSTR and VARIANT. Elements start zeroed (null strings, Empty variants).
// Returns null for any other type, for more than one dimension and when out of memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
// Frees the array and everything its elements own; refused while the array is locked.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
// A BSTR element is returned as a new copy, a VARIANT element as a deep copy
// written over *value (whatever *value held is not freed).
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value);
// value points at the element, except for BSTR arrays where it is the BSTR itself.
// Strings and variants are copied; the element's old contents are freed.
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lowerBound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upperBound);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
// Deep copy; a null source gives a null copy.
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);

// ---------------------------------------------------------------------------
// DATE conversions. Valid DATEs run from 1 January 100 to 31 December 9999.
// Times are kept to the millisecond. Both return TRUE on success.

INT VariantTimeToSystemTime(DOUBLE time, LPSYSTEMTIME systemTime);
INT SystemTimeToVariantTime(const SYSTEMTIME* systemTime, DOUBLE* time);

// No time zone is applied: a DATE is local time, so a UTC FILETIME goes through
// FileTimeToLocalFileTime first when the user is to see it.
bool FileTimeToVariantTime(const FILETIME& fileTime, DATE* time);
bool VariantTimeToFileTime(DATE time, FILETIME* fileTime);
