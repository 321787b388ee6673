// Every type a tag can hold, converted to every other, and bad input to the
// array and date functions.

#include "platform/OleAuto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The types tags are configured with, Empty first.
constexpr VARTYPE kTagTypes[] = {VT_EMPTY, VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_BSTR,
                                 VT_BOOL, VT_UI1, VT_UI2, VT_UI4, VT_I1, VT_INT, VT_UINT};

VARIANT Make(VARTYPE vt, double x, const char* text = nullptr) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt) {
    case VT_I1: v.cVal = static_cast<char>(static_cast<signed char>(x)); break;
    case VT_I2: v.iVal = static_cast<SHORT>(x); break;
    case VT_I4: v.lVal = static_cast<LONG>(x); break;
    case VT_INT: v.intVal = static_cast<INT>(x); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(x); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(x); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(x); break;
    case VT_UINT: v.uintVal = static_cast<UINT>(x); break;
    case VT_R4: v.fltVal = static_cast<float>(x); break;
    case VT_R8: v.dblVal = x; break;
    case VT_DATE: v.date = x; break;
    case VT_BOOL: v.boolVal = x != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_BSTR: v.bstrVal = SysAllocStringFromUtf8(text); break;
    default: break;
    }
    return v;
}

double NumberOf(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_UI1: return v.bVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    case VT_DATE: return v.date;
    case VT_BOOL: return v.boolVal;
    default: ADD_FAILURE() << "no number in type " << v.vt; return 0;
    }
}

bool IsUnsigned(VARTYPE vt) { return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT; }

struct Expectation {
    HRESULT hr;
    double number;     // numeric, date and Boolean targets (Boolean: -1 or 0)
    std::string text;  // string targets
};

// Converts and checks one pair; on failure dest must keep what it held.
void Check(const VARIANT& source, VARTYPE target, const Expectation& e, const std::string& what) {
    VARIANT src;
    VariantInit(&src);
    ASSERT_EQ(VariantCopy(&src, &source), S_OK);
    VARIANT out = Make(VT_I4, 777);
    const HRESULT hr = VariantChangeType(&out, &src, 0, target);
    EXPECT_EQ(hr, e.hr) << what;
    if (FAILED(hr)) {
        EXPECT_EQ(out.vt, VT_I4) << what;
        EXPECT_EQ(out.lVal, 777) << what;
    } else {
        EXPECT_EQ(out.vt, target) << what;
        if (target == VT_BSTR) {
            EXPECT_EQ(BstrToUtf8(out.bstrVal), e.text) << what;
        } else if (target != VT_EMPTY) {
            EXPECT_EQ(NumberOf(out), e.number) << what;
        }
    }
    VariantClear(&out);
    VariantClear(&src);
}

std::string Name(const char* source, VARTYPE target) { return std::string(source) + " -> vt " + std::to_string(target); }

TEST(VariantConversionMatrix, FortyTwoInEveryTypeReachesEveryType) {
    struct Source {
        VARIANT value;
        const char* name;
    };
    const Source sources[] = {
        {Make(VT_I1, 42), "I1 42"},   {Make(VT_I2, 42), "I2 42"},     {Make(VT_I4, 42), "I4 42"},
        {Make(VT_INT, 42), "INT 42"}, {Make(VT_UI1, 42), "UI1 42"},   {Make(VT_UI2, 42), "UI2 42"},
        {Make(VT_UI4, 42), "UI4 42"}, {Make(VT_UINT, 42), "UINT 42"}, {Make(VT_R4, 42), "R4 42"},
        {Make(VT_R8, 42), "R8 42"},   {Make(VT_DATE, 42), "DATE 42"}, {Make(VT_BSTR, 0, " 42 "), "BSTR ' 42 '"},
    };
    for (const auto& s : sources) {
        for (VARTYPE target : kTagTypes) {
            Expectation e{S_OK, 42, "42"};
            if (target == VT_BOOL) e.number = VARIANT_TRUE;
            if (s.value.vt == VT_DATE) e.text = "1900-02-10";  // 42 days after 30 December 1899
            if (s.value.vt == VT_BSTR && target == VT_BSTR) e.text = " 42 ";  // same type: copied as it is
            Check(s.value, target, e, Name(s.name, target));
        }
    }
    for (const auto& s : sources) {
        VARIANT v = s.value;
        VariantClear(&v);
    }
}

TEST(VariantConversionMatrix, MinusOneAndTrueFitOnlySignedTargets) {
    struct Source {
        VARIANT value;
        const char* name;
    };
    const Source sources[] = {
        {Make(VT_I2, -1), "I2 -1"},       {Make(VT_I4, -1), "I4 -1"}, {Make(VT_R8, -1), "R8 -1"},
        {Make(VT_BSTR, 0, "-1"), "BSTR -1"}, {Make(VT_BOOL, 1), "BOOL true"}, {Make(VT_DATE, -1), "DATE -1"},
    };
    for (const auto& s : sources) {
        for (VARTYPE target : kTagTypes) {
            Expectation e{S_OK, -1, "-1"};
            if (IsUnsigned(target)) e.hr = DISP_E_OVERFLOW;
            if (s.value.vt == VT_DATE) e.text = "1899-12-29";
            Check(s.value, target, e, Name(s.name, target));
        }
        VARIANT v = s.value;
        VariantClear(&v);
    }
}

TEST(VariantConversionMatrix, EmptyBecomesZeroEmptyTextOrFalse) {
    const VARIANT empty = Make(VT_EMPTY, 0);
    for (VARTYPE target : kTagTypes) Check(empty, target, {S_OK, 0, ""}, Name("Empty", target));
    // Falsehood reads as zero everywhere too.
    const VARIANT no = Make(VT_BOOL, 0);
    for (VARTYPE target : kTagTypes) Check(no, target, {S_OK, 0, "0"}, Name("BOOL false", target));
}

TEST(VariantConversionMatrix, IntegerSourcesOverflowAtEachBoundary) {
    struct Row {
        VARTYPE source;
        double value;
        VARTYPE target;
        HRESULT hr;
    };
    const Row rows[] = {
        {VT_I4, 32767, VT_I2, S_OK},          {VT_I4, 32768, VT_I2, DISP_E_OVERFLOW},
        {VT_I4, -32768, VT_I2, S_OK},         {VT_I4, -32769, VT_I2, DISP_E_OVERFLOW},
        {VT_UI2, 65535, VT_I2, DISP_E_OVERFLOW}, {VT_I2, -1, VT_UI2, DISP_E_OVERFLOW},
        {VT_I2, 255, VT_UI1, S_OK},           {VT_I2, 256, VT_UI1, DISP_E_OVERFLOW},
        {VT_UI4, 4294967295.0, VT_I4, DISP_E_OVERFLOW}, {VT_UI4, 2147483647, VT_I4, S_OK},
        {VT_I4, 65536, VT_UI2, DISP_E_OVERFLOW}, {VT_UI4, 4294967295.0, VT_R8, S_OK},
        {VT_UI1, 128, VT_I1, DISP_E_OVERFLOW},  {VT_UINT, 4294967295.0, VT_UI4, S_OK},
        {VT_R8, 2958465.5, VT_DATE, S_OK},    {VT_R8, 2958466.5, VT_DATE, DISP_E_OVERFLOW},
        {VT_R8, -657434.5, VT_DATE, S_OK},    {VT_R8, -657435.5, VT_DATE, DISP_E_OVERFLOW},
    };
    for (const auto& r : rows) {
        const VARIANT src = Make(r.source, r.value);
        Check(src, r.target, {r.hr, r.value, ""}, "vt " + std::to_string(r.source) + " " + std::to_string(r.value) +
                                                      " -> vt " + std::to_string(r.target));
    }
    // An R4 keeps 24 bits: 2^24 + 1 lands on a neighbour.
    const VARIANT big = Make(VT_UI4, 16777217);
    Check(big, VT_R4, {S_OK, 16777216, ""}, "UI4 2^24+1 -> R4");
}

TEST(VariantConversionMatrix, AnythingBecomesEmptyButNothingBecomesNullOrError) {
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    for (VARTYPE target : kTagTypes) {
        if (target == VT_EMPTY) continue;
        Check(null, target, {DISP_E_TYPEMISMATCH, 0, ""}, Name("Null", target));
    }
    Check(null, VT_EMPTY, {S_OK, 0, ""}, "Null -> Empty");
    const VARIANT x = Make(VT_R8, 1);
    Check(x, VT_NULL, {DISP_E_TYPEMISMATCH, 0, ""}, "R8 -> Null");
    Check(x, VT_ERROR, {DISP_E_TYPEMISMATCH, 0, ""}, "R8 -> Error");
    for (VARTYPE bad : {VARTYPE(9), VARTYPE(13), VARTYPE(14), VARTYPE(20), VARTYPE(0x0FFF), VARTYPE(VT_VARIANT),
                        VARTYPE(VT_R8 | VT_BYREF)}) {
        Check(x, bad, {DISP_E_BADVARTYPE, 0, ""}, Name("R8", bad));
    }
}

TEST(VariantConversionMatrix, BadArgumentsAreRefused) {
    VARIANT v = Make(VT_R8, 1);
    EXPECT_EQ(VariantChangeType(nullptr, &v, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&v, nullptr, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeTypeEx(&v, &v, 0x0409, VARIANT_NOVALUEPROP, VT_I4), S_OK);
    EXPECT_EQ(v.lVal, 1);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(nullptr, &v), E_INVALIDARG);
    VariantInit(nullptr);  // harmless

    // A null reference, and a reference to a variant of no valid type.
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&v, &ref, 0, VT_R8), E_INVALIDARG);
    VARIANT junk;
    VariantInit(&junk);
    junk.vt = 0x0FFF;
    ref.vt = VT_VARIANT | VT_BYREF;
    ref.pvarVal = &junk;
    EXPECT_EQ(VariantChangeType(&v, &ref, 0, VT_R8), DISP_E_BADVARTYPE);
    VARIANT copy;
    VariantInit(&copy);
    EXPECT_EQ(VariantCopyInd(&copy, &ref), DISP_E_BADVARTYPE);
    EXPECT_EQ(copy.vt, VT_EMPTY);

    // Text too large for any number type overflows rather than becoming infinite.
    VARIANT hex;
    VariantInit(&hex);
    hex.vt = VT_BSTR;
    hex.bstrVal = SysAllocStringFromUtf8("&H" + std::string(6000, 'F'));
    EXPECT_EQ(VariantChangeType(&v, &hex, 0, VT_R8), DISP_E_OVERFLOW);
    VariantClear(&hex);
}

TEST(SafeArrayRegistry, StaleAndForeignArraysAreRefused) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(SafeArrayDestroy(a), S_OK);
    // A second destroy, or any use after it, must not touch the freed block.
    LONG i = 0;
    BSTR s = nullptr;
    EXPECT_EQ(SafeArrayDestroy(a), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a, &i, &s), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(a, &i, s), E_INVALIDARG);

    // A descriptor this process did not create.
    double storage[2] = {1, 2};
    SAFEARRAY foreign{};
    foreign.cDims = 1;
    foreign.cbElements = sizeof(double);
    foreign.pvData = storage;
    foreign.rgsabound[0] = {2, 0};
    void* data = nullptr;
    LONG bound = 0;
    VARTYPE vt = 0;
    SAFEARRAY* copy = nullptr;
    EXPECT_EQ(SafeArrayAccessData(&foreign, &data), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(&foreign, 1, &bound), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetVartype(&foreign, &vt), E_INVALIDARG);
    EXPECT_EQ(SafeArrayCopy(&foreign, &copy), E_INVALIDARG);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(SafeArrayGetDim(&foreign), 0u);
    EXPECT_EQ(SafeArrayDestroy(&foreign), E_INVALIDARG);

    // A variant cannot copy such an array either.
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_ARRAY | VT_R8;
    var.parray = &foreign;
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantCopy(&out, &var), E_INVALIDARG);
    EXPECT_EQ(out.vt, VT_EMPTY);
}

TEST(SafeArrayRegistry, ArraysInsideVariantArraysAreFreedWithTheirOwner) {
    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    SAFEARRAY* inner = SafeArrayCreateVector(VT_BSTR, 0, 1);
    ASSERT_NE(outer, nullptr);
    ASSERT_NE(inner, nullptr);
    LONG i = 0;
    BSTR text = SysAllocStringFromUtf8("bin 3");
    ASSERT_EQ(SafeArrayPutElement(inner, &i, text), S_OK);
    SysFreeString(text);
    VARIANT element;
    VariantInit(&element);
    element.vt = VT_ARRAY | VT_BSTR;
    element.parray = inner;
    ASSERT_EQ(SafeArrayPutElement(outer, &i, &element), S_OK);  // deep copy
    VariantClear(&element);                                       // frees inner
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(outer, &copy), S_OK);
    ASSERT_EQ(SafeArrayDestroy(outer), S_OK);
    VARIANT back;
    ASSERT_EQ(SafeArrayGetElement(copy, &i, &back), S_OK);
    ASSERT_EQ(back.vt, VT_ARRAY | VT_BSTR);
    BSTR got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(back.parray, &i, &got), S_OK);
    EXPECT_EQ(BstrToUtf8(got), "bin 3");
    SysFreeString(got);
    VariantClear(&back);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);  // the sanitizers report anything left behind
}

TEST(VariantTimeLimits, FileTimesBeyondTheDateRangeFail) {
    DATE d = 123;
    EXPECT_FALSE(FileTimeToVariantTime(UInt64ToFileTime(~0ULL), &d));
    EXPECT_FALSE(FileTimeToVariantTime(UInt64ToFileTime(~0ULL - 1000), &d));
    EXPECT_EQ(d, 123);
    EXPECT_FALSE(FileTimeToVariantTime(UInt64ToFileTime(0), nullptr));
    // Rounding to the millisecond: 0.5 ms up, 0.4999 ms down.
    const std::uint64_t epoch1970 = 116444736000000000ULL;
    ASSERT_TRUE(FileTimeToVariantTime(UInt64ToFileTime(epoch1970 + 5000), &d));
    FILETIME ft{};
    ASSERT_TRUE(VariantTimeToFileTime(d, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), epoch1970 + 10000);
    ASSERT_TRUE(FileTimeToVariantTime(UInt64ToFileTime(epoch1970 + 4999), &d));
    EXPECT_EQ(d, 25569.0);
    EXPECT_FALSE(VariantTimeToFileTime(25569.0, nullptr));
    SYSTEMTIME st{};
    EXPECT_FALSE(VariantTimeToSystemTime(0, nullptr));
    EXPECT_FALSE(SystemTimeToVariantTime(nullptr, &d));
    EXPECT_FALSE(SystemTimeToVariantTime(&st, nullptr));
}

}  // namespace
