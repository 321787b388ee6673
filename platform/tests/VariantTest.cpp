#include "platform/OleAuto.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

VARIANT R8(double v) { VARIANT x; VariantInit(&x); x.vt = VT_R8; x.dblVal = v; return x; }
VARIANT Bool(bool b) { VARIANT x; VariantInit(&x); x.vt = VT_BOOL; x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; return x; }
VARIANT I4(LONG v) { VARIANT x; VariantInit(&x); x.vt = VT_I4; x.lVal = v; return x; }
VARIANT Text(const char* s) { VARIANT x; VariantInit(&x); x.vt = VT_BSTR; x.bstrVal = SysAllocStringFromUtf8(s); return x; }

// The converted value as a 64-bit number, whatever integer type it landed in.
long long IntegerOf(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_UI1: return v.bVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    case VT_BOOL: return v.boolVal;
    default: ADD_FAILURE() << "not an integer type " << v.vt; return 0;
    }
}

struct IntegerCase {
    VARIANT source;
    VARTYPE target;
    HRESULT hr;
    long long expected;
};

TEST(VariantChangeType, IntegerTargetsRoundHalfToEvenAndCheckRange) {
    const IntegerCase cases[] = {
        {R8(32767.4), VT_I2, S_OK, 32767},
        {R8(32767.5), VT_I2, DISP_E_OVERFLOW, 0},
        {R8(-32768.5), VT_I2, S_OK, -32768},
        {R8(-32768.6), VT_I2, DISP_E_OVERFLOW, 0},
        {R8(0.5), VT_I4, S_OK, 0},
        {R8(1.5), VT_I4, S_OK, 2},
        {R8(2.5), VT_I4, S_OK, 2},
        {R8(3.5), VT_I4, S_OK, 4},
        {R8(-2.5), VT_I4, S_OK, -2},
        {R8(-3.5), VT_I4, S_OK, -4},
        {R8(2.6), VT_I2, S_OK, 3},
        {R8(255.4), VT_UI1, S_OK, 255},
        {R8(255.5), VT_UI1, DISP_E_OVERFLOW, 0},
        {R8(-0.5), VT_UI1, S_OK, 0},
        {R8(-0.6), VT_UI1, DISP_E_OVERFLOW, 0},
        {R8(65535), VT_UI2, S_OK, 65535},
        {R8(65536), VT_UI2, DISP_E_OVERFLOW, 0},
        {R8(4294967295.0), VT_UI4, S_OK, 4294967295LL},
        {R8(4294967296.0), VT_UI4, DISP_E_OVERFLOW, 0},
        {R8(-1), VT_UINT, DISP_E_OVERFLOW, 0},
        {R8(2147483647.0), VT_I4, S_OK, 2147483647},
        {R8(2147483648.0), VT_I4, DISP_E_OVERFLOW, 0},
        {R8(-2147483648.0), VT_INT, S_OK, -2147483648LL},
        {R8(127), VT_I1, S_OK, 127},
        {R8(-128), VT_I1, S_OK, -128},
        {R8(128), VT_I1, DISP_E_OVERFLOW, 0},
        {R8(NAN), VT_I4, DISP_E_OVERFLOW, 0},
        {R8(INFINITY), VT_I2, DISP_E_OVERFLOW, 0},
        {I4(70000), VT_I2, DISP_E_OVERFLOW, 0},
        {I4(-1), VT_UI4, DISP_E_OVERFLOW, 0},
        {Text("  12 "), VT_I2, S_OK, 12},
        {Text("1e3"), VT_I4, S_OK, 1000},
        {Text("-7"), VT_I4, S_OK, -7},
        {Text("7-"), VT_I4, S_OK, -7},
        {Text("(8)"), VT_I4, S_OK, -8},
        {Text("1,234"), VT_I4, S_OK, 1234},
        {Text("2.5"), VT_I2, S_OK, 2},
        {Text("&HFF"), VT_I4, S_OK, 255},
        {Text("70000"), VT_I2, DISP_E_OVERFLOW, 0},
        {Text("1e400"), VT_I4, DISP_E_OVERFLOW, 0},
        {Text("1e-400"), VT_I4, S_OK, 0},
        {Text("abc"), VT_I2, DISP_E_TYPEMISMATCH, 0},
        {Text(""), VT_I2, DISP_E_TYPEMISMATCH, 0},
        {Text("   "), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Text("12abc"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Text("1e"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Text(",1"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Bool(true), VT_I2, S_OK, -1},
        {Bool(false), VT_I4, S_OK, 0},
        {Bool(true), VT_UI1, DISP_E_OVERFLOW, 0},
        {R8(5), VT_BOOL, S_OK, VARIANT_TRUE},
        {R8(0.25), VT_BOOL, S_OK, VARIANT_TRUE},
        {R8(0), VT_BOOL, S_OK, VARIANT_FALSE},
        {I4(-1), VT_BOOL, S_OK, VARIANT_TRUE},
        {Text("True"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Text(" false "), VT_BOOL, S_OK, VARIANT_FALSE},
        {Text("0"), VT_BOOL, S_OK, VARIANT_FALSE},
        {Text("-1"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Text("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        VARIANT src = cases[i].source;
        VARIANT out;
        VariantInit(&out);
        const HRESULT hr = VariantChangeType(&out, &src, 0, cases[i].target);
        EXPECT_EQ(hr, cases[i].hr) << "case " << i;
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(out.vt, cases[i].target) << "case " << i;
            EXPECT_EQ(IntegerOf(out), cases[i].expected) << "case " << i;
        } else {
            EXPECT_EQ(out.vt, VT_EMPTY) << "case " << i << ": a failed conversion leaves dest alone";
        }
        VariantClear(&out);
        VariantClear(&src);
    }
}

struct TextCase {
    VARIANT source;
    USHORT flags;
    const char* expected;
};

TEST(VariantChangeType, ToTextRoundTripsAndUsesOneInvariantForm) {
    VARIANT cy;
    VariantInit(&cy);
    cy.vt = VT_CY;
    cy.cyVal.int64 = -12345;  // -1.2345
    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    date.date = 5.25;
    VARIANT r4;
    VariantInit(&r4);
    r4.vt = VT_R4;
    r4.fltVal = 0.1f;
    VARIANT empty;
    VariantInit(&empty);
    const TextCase cases[] = {
        {R8(2.5), 0, "2.5"},
        {R8(-0.1), 0, "-0.1"},
        {r4, 0, "0.1"},
        {I4(-42), 0, "-42"},
        {Bool(true), 0, "-1"},
        {Bool(false), 0, "0"},
        {Bool(true), VARIANT_ALPHABOOL, "True"},
        {Bool(false), VARIANT_ALPHABOOL, "False"},
        {cy, 0, "-1.2345"},
        {date, 0, "1900-01-04 06:00:00"},
        {empty, 0, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        VARIANT src = cases[i].source;
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(VariantChangeType(&out, &src, cases[i].flags, VT_BSTR), S_OK) << "case " << i;
        ASSERT_EQ(out.vt, VT_BSTR);
        EXPECT_EQ(BstrToUtf8(out.bstrVal), cases[i].expected) << "case " << i;
        // The text reads back as the value it came from.
        if (src.vt != VT_EMPTY) {
            VARIANT back;
            VariantInit(&back);
            ASSERT_EQ(VariantChangeType(&back, &out, 0, src.vt), S_OK) << "case " << i;
            if (src.vt == VT_R8) {
                EXPECT_EQ(back.dblVal, src.dblVal) << "case " << i;
            }
            if (src.vt == VT_R4) {
                EXPECT_EQ(back.fltVal, src.fltVal) << "case " << i;
            }
            if (src.vt == VT_BOOL) {
                EXPECT_EQ(back.boolVal, src.boolVal) << "case " << i;
            }
            if (src.vt == VT_CY) {
                EXPECT_EQ(back.cyVal.int64, src.cyVal.int64) << "case " << i;
            }
            if (src.vt == VT_DATE) {
                EXPECT_EQ(back.date, src.date) << "case " << i;
            }
        }
        VariantClear(&out);
    }
}

TEST(VariantChangeType, FloatingTargetsAndEmptyAndNull) {
    VARIANT big = R8(1e39);
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_R4), DISP_E_OVERFLOW);
    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, 0.0);
    ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(out.vt, VT_BOOL);
    EXPECT_EQ(VariantChangeType(&out, &empty, 0, 99), DISP_E_BADVARTYPE);
    VARIANT i4 = I4(16777217);
    ASSERT_EQ(VariantChangeType(&out, &i4, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, 16777217.0);
}

TEST(VariantChangeType, InPlaceAndByReference) {
    VARIANT v = Text("41.5");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the string is freed (sanitizers watch)
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(BstrToUtf8(v.bstrVal), "42");
    // A failure in place keeps the value.
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_UI1), S_OK);
    VARIANT t = Text("x");
    EXPECT_EQ(VariantChangeType(&t, &t, 0, VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(BstrToUtf8(t.bstrVal), "x");
    VariantClear(&t);

    double target = 2.5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_R8 | VT_BYREF;
    ref.pdblVal = &target;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, 2);
    VariantClear(&v);
}

TEST(VariantChangeType, DatesConvertByValueWithinTheValidYears) {
    VARIANT out;
    VariantInit(&out);
    VARIANT text = Text("1970-01-01");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_DATE), S_OK);
    EXPECT_EQ(out.date, 25569.0);
    VariantClear(&text);
    text = Text("1899-12-29 06:00");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_DATE), S_OK);
    EXPECT_EQ(out.date, -1.25);
    VariantClear(&text);
    text = Text("2024-02-30");
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_DATE), DISP_E_TYPEMISMATCH);
    VariantClear(&text);
    VARIANT far = R8(3e6);
    EXPECT_EQ(VariantChangeType(&out, &far, 0, VT_DATE), DISP_E_OVERFLOW);
    VARIANT d = R8(2.5);
    ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_DATE), S_OK);
    EXPECT_EQ(out.vt, VT_DATE);
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 2);
}

TEST(VariantCopy, DeepCopiesStringsAndClearFreesThem) {
    VARIANT src = Text("Partikel µm");
    VARIANT dest = Text("old");  // freed by the copy
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    ASSERT_NE(dest.bstrVal, src.bstrVal);
    EXPECT_EQ(BstrToUtf8(dest.bstrVal), "Partikel µm");
    VariantClear(&src);
    EXPECT_EQ(src.vt, VT_EMPTY);
    EXPECT_EQ(BstrToUtf8(dest.bstrVal), "Partikel µm");  // survives the source

    // A copy onto itself keeps the value.
    ASSERT_EQ(VariantCopy(&dest, &dest), S_OK);
    EXPECT_EQ(BstrToUtf8(dest.bstrVal), "Partikel µm");

    // By-reference: VariantCopy copies the reference, VariantCopyInd the value.
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BSTR | VT_BYREF;
    ref.pbstrVal = &dest.bstrVal;
    VARIANT shallow, deep;
    VariantInit(&shallow);
    VariantInit(&deep);
    ASSERT_EQ(VariantCopy(&shallow, &ref), S_OK);
    EXPECT_EQ(shallow.pbstrVal, &dest.bstrVal);
    ASSERT_EQ(VariantCopyInd(&deep, &ref), S_OK);
    EXPECT_EQ(deep.vt, VT_BSTR);
    EXPECT_NE(deep.bstrVal, dest.bstrVal);
    EXPECT_EQ(VariantClear(&shallow), S_OK);  // owns nothing
    VariantClear(&deep);
    VariantClear(&dest);

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&deep, &bad), DISP_E_BADVARTYPE);
}

TEST(Bstr, LengthPrefixEmbeddedZerosAndUtf8) {
    const char16_t withZero[] = {u'a', 0, u'b'};
    BSTR s = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(BstrToUtf8(s), std::string("a\0b", 3));
    // Reallocating from the string's own tail is sound.
    ASSERT_TRUE(SysReAllocString(&s, s + 2));
    EXPECT_EQ(BstrToUtf8(s), "b");
    SysFreeString(s);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrToUtf8(nullptr), "");
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR zeros = SysAllocStringLen(nullptr, 2);
    EXPECT_EQ(SysStringLen(zeros), 2u);
    EXPECT_EQ(zeros[0], 0);
    SysFreeString(zeros);

    const struct { std::string utf8; std::u16string utf16; } cases[] = {
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // outside the basic plane: a surrogate pair
        {"\xC3\xA9", u"\u00E9"},
        {"a\xFF" "b", u"a\uFFFDb"},           // malformed byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong form
        {"\xE2\x82", u"\uFFFD"},              // cut short
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(CoTaskMem, AllocReallocFree) {
    auto* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // freed
    void* zero = CoTaskMemAlloc(0);
    EXPECT_NE(zero, nullptr);
    CoTaskMemFree(zero);
    CoTaskMemFree(nullptr);
}

TEST(SafeArray, VectorOfDoublesBoundsLocksAndCopy) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_R8, 1, 3);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SafeArrayGetDim(a), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(a), sizeof(double));
    LONG lo = 0, hi = 0;
    EXPECT_EQ(SafeArrayGetLBound(a, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(a, 1, &hi), S_OK);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 3);
    EXPECT_EQ(SafeArrayGetLBound(a, 2, &lo), DISP_E_BADINDEX);
    for (LONG i = 1; i <= 3; ++i) {
        const double v = i * 1.5;
        ASSERT_EQ(SafeArrayPutElement(a, &i, &v), S_OK);
    }
    const LONG outside[] = {0, 4};
    double v = 0;
    for (LONG i : outside) EXPECT_EQ(SafeArrayGetElement(a, &i, &v), DISP_E_BADINDEX);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
    EXPECT_EQ(static_cast<double*>(data)[2], 4.5);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnlock(a), E_UNEXPECTED);

    VARIANT var;
    VariantInit(&var);
    var.vt = VT_ARRAY | VT_R8;
    var.parray = a;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &var), S_OK);
    ASSERT_NE(copy.parray, a);
    LONG two = 2;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &two, &v), S_OK);
    EXPECT_EQ(v, 3.0);
    VARTYPE vt = 0;
    EXPECT_EQ(SafeArrayGetVartype(copy.parray, &vt), S_OK);
    EXPECT_EQ(vt, VT_R8);
    EXPECT_EQ(VariantChangeType(&copy, &copy, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&copy, &var, 0, VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&var), S_OK);

    const SAFEARRAYBOUND two_dims[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_R8, 2, two_dims), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
}

TEST(SafeArray, StringAndVariantElementsAreOwnedCopies) {
    SAFEARRAY* s = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(s, nullptr);
    BSTR text = SysAllocStringFromUtf8("zone 1");
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(s, &i, text), S_OK);
    SysFreeString(text);  // the array keeps its own copy
    BSTR got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(s, &i, &got), S_OK);
    EXPECT_EQ(BstrToUtf8(got), "zone 1");
    SysFreeString(got);
    LONG one = 1;
    ASSERT_EQ(SafeArrayGetElement(s, &one, &got), S_OK);
    EXPECT_EQ(got, nullptr);  // elements start as null strings
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(s, &copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(s), S_OK);
    ASSERT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
    EXPECT_EQ(BstrToUtf8(got), "zone 1");
    SysFreeString(got);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

    SAFEARRAY* v = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT item = Text("count");
    ASSERT_EQ(SafeArrayPutElement(v, &i, &item), S_OK);
    VariantClear(&item);
    VARIANT back;
    ASSERT_EQ(SafeArrayGetElement(v, &i, &back), S_OK);
    EXPECT_EQ(BstrToUtf8(back.bstrVal), "count");
    VariantClear(&back);
    EXPECT_EQ(SafeArrayDestroy(v), S_OK);
}

struct DateCase {
    SYSTEMTIME st;
    DATE date;
};

TEST(VariantTime, SystemTimeRoundTripsToTheMillisecond) {
    const DateCase cases[] = {
        {{1899, 12, 6, 30, 0, 0, 0, 0}, 0.0},
        {{1900, 1, 1, 1, 0, 0, 0, 0}, 2.0},
        {{1900, 1, 4, 4, 6, 0, 0, 0}, 5.25},
        {{1899, 12, 5, 29, 6, 0, 0, 0}, -1.25},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 25569.0},
        {{100, 1, 5, 1, 0, 0, 0, 0}, -657434.0},
        {{2024, 2, 4, 29, 23, 59, 58, 999}, 45351.0 + 86398999.0 / 86400000.0},
    };
    for (const auto& c : cases) {
        DATE d = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&c.st, &d)) << c.date;
        EXPECT_DOUBLE_EQ(d, c.date);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(d, &back)) << c.date;
        EXPECT_EQ(std::memcmp(&back, &c.st, sizeof back), 0) << c.date << " day " << back.wDay << " dow "
                                                               << back.wDayOfWeek << " ms " << back.wMilliseconds;
    }
    SYSTEMTIME st{};
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    EXPECT_TRUE(VariantTimeToSystemTime(2958465.5, &st));
    EXPECT_EQ(st.wYear, 9999);
    EXPECT_FALSE(VariantTimeToSystemTime(-657436.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(NAN, &st));
    SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
    DATE d;
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
}

TEST(VariantTime, FileTimeRoundTrips) {
    DATE d = 0;
    ASSERT_TRUE(FileTimeToVariantTime(UInt64ToFileTime(116444736000000000ULL), &d));
    EXPECT_EQ(d, 25569.0);
    FILETIME ft{};
    ASSERT_TRUE(VariantTimeToFileTime(25569.5, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), 116444736000000000ULL + 12ULL * 3600 * 10'000'000);
    EXPECT_FALSE(VariantTimeToFileTime(-200000.0, &ft));  // before 1601
    ASSERT_TRUE(FileTimeToVariantTime(UInt64ToFileTime(0), &d));  // 1 January 1601
    EXPECT_EQ(d, -109205.0);
}

}  // namespace
