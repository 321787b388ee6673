#include "foundation/Archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Stored(const std::string& text) {
    CArchive ar;
    ar.WriteString(text);
    return ar.GetBytes();
}

}  // namespace

TEST(Archive, StringPrefixesChangeAt255AndAt65534) {
    const Bytes b254 = Stored(std::string(254, 'a'));
    ASSERT_EQ(b254.size(), 255u);
    EXPECT_EQ(b254[0], 254);

    const Bytes b255 = Stored(std::string(255, 'b'));
    ASSERT_EQ(b255.size(), 258u);
    EXPECT_EQ((Bytes{b255[0], b255[1], b255[2]}), (Bytes{0xFF, 0xFF, 0x00}));

    const Bytes b65533 = Stored(std::string(0xFFFD, 'c'));
    EXPECT_EQ((Bytes{b65533[0], b65533[1], b65533[2]}), (Bytes{0xFF, 0xFD, 0xFF}));
    const Bytes b65534 = Stored(std::string(0xFFFE, 'd'));
    ASSERT_EQ(b65534.size(), 7u + 0xFFFE);
    EXPECT_EQ((Bytes{b65534[0], b65534[1], b65534[2], b65534[3], b65534[4], b65534[5], b65534[6]}),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}));

    for (std::size_t n : {0u, 1u, 254u, 255u, 256u, 0xFFFDu, 0xFFFEu, 0x10005u}) {
        std::string text(n, 'x');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
        CArchive in(Stored(text));
        EXPECT_EQ(in.ReadString(), text) << n;
        EXPECT_EQ(in.GetRemaining(), 0u) << n;
    }
}

TEST(Archive, WideStringsAreReadAndShortOrBrokenOnesRefused) {
    // 0xFF, 0xFFFE marks wide text; then a length in code units and UTF-16LE.
    CArchive wide(Bytes{0xFF, 0xFE, 0xFF, 0x03, 'H', 0, 0xE9, 0, '!', 0, 0x07});
    EXPECT_EQ(wide.ReadString(), "H\xC3\xA9!");
    EXPECT_EQ(wide.ReadU8(), 0x07);

    for (const Bytes& bad : {Bytes{}, Bytes{5, 'a', 'b'}, Bytes{0xFF, 0x10}, Bytes{0xFF, 0x00, 0x01, 'a'},
                             Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a'},
                             Bytes{0xFF, 0xFE, 0xFF, 0x02, 'a', 0}}) {
        CArchive in(bad);
        EXPECT_THROW(in.ReadString(), ArchiveException);
    }
}

TEST(Archive, VariantsHaveTheirStoredBytes) {
    auto bytes = [](const VARIANT& v) {
        CArchive ar;
        ar.WriteVariant(v);
        return ar.GetBytes();
    };
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(bytes(v), (Bytes{0x0B, 0x00, 0xFF, 0xFF}));
    v.boolVal = VARIANT_FALSE;
    EXPECT_EQ(bytes(v), (Bytes{0x0B, 0x00, 0x00, 0x00}));
    v.vt = VT_I2;
    v.iVal = -2;
    EXPECT_EQ(bytes(v), (Bytes{0x02, 0x00, 0xFE, 0xFF}));
    v.vt = VT_I4;
    v.lVal = 0x01020304;
    EXPECT_EQ(bytes(v), (Bytes{0x03, 0x00, 0x04, 0x03, 0x02, 0x01}));
    v.vt = VT_R8;
    v.dblVal = 1.6;
    EXPECT_EQ(bytes(v), (Bytes{0x05, 0x00, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF9, 0x3F}));
    v.vt = VT_UI1;
    v.bVal = 0xAB;
    EXPECT_EQ(bytes(v), (Bytes{0x11, 0x00, 0xAB}));
    v.vt = VT_UI4;
    v.ulVal = 77;
    EXPECT_EQ(bytes(v), (Bytes{0x13, 0x00}));  // the file has no value for it
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringFromUtf8("Hi");
    EXPECT_EQ(bytes(v), (Bytes{0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 'H', 0x00, 'i', 0x00}));
    VariantClear(&v);
}

TEST(Archive, VariantsRoundTripAndUnknownOrPointerTypesLoadSafely) {
    CArchive out;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_CY;
    v.cyVal.int64 = -1234567890123LL;
    out.WriteVariant(v);
    v.vt = VT_R4;
    v.fltVal = 2.5f;
    out.WriteVariant(v);
    v.vt = VT_DATE;
    v.date = 45000.25;
    out.WriteVariant(v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringFromUtf8("Bin \xC2\xB5m");
    out.WriteVariant(v);
    VariantClear(&v);

    CArchive in(out.GetBytes());
    VARIANT r;
    VariantInit(&r);
    in.ReadVariant(r);
    EXPECT_EQ(r.vt, VT_CY);
    EXPECT_EQ(r.cyVal.int64, -1234567890123LL);
    in.ReadVariant(r);
    EXPECT_EQ(r.vt, VT_R4);
    EXPECT_EQ(r.fltVal, 2.5f);
    in.ReadVariant(r);
    EXPECT_EQ(r.vt, VT_DATE);
    EXPECT_EQ(r.date, 45000.25);
    in.ReadVariant(r);
    ASSERT_EQ(r.vt, VT_BSTR);
    EXPECT_EQ(BstrToUtf8(r.bstrVal), "Bin \xC2\xB5m");
    VariantClear(&r);

    // An unsigned type comes back as that type without a value; a made-up
    // by-reference, array or interface type never becomes a pointer.
    CArchive odd(Bytes{0x12, 0x00, 0x05, 0x40, 0x0C, 0x00, 0x09, 0x00, 0x05, 0x20, 0xFF, 0x7F});
    odd.ReadVariant(r);
    EXPECT_EQ(r.vt, VT_UI2);
    EXPECT_EQ(r.uiVal, 0);
    for (int i = 0; i < 5; ++i) {
        odd.ReadVariant(r);
        EXPECT_EQ(r.vt, VT_EMPTY) << i;
    }
    VariantClear(&r);

    // A text value longer than the file is refused before anything is allocated.
    CArchive cut(Bytes{0x08, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0});
    EXPECT_THROW(cut.ReadVariant(r), ArchiveException);
    EXPECT_EQ(r.vt, VT_EMPTY);
}

TEST(Archive, NumbersAreLittleEndianAndReadsStopAtTheEnd) {
    CArchive out;
    out.WriteU16(0x0102);
    out.WriteU32(0x03040506);
    out.WriteI32(-1);
    out.WriteBool32(true);
    EXPECT_EQ(out.GetBytes(), (Bytes{0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}));
    EXPECT_THROW(out.ReadU8(), ArchiveException);

    CArchive in(Bytes{7, 0, 0, 0, 1, 2, 3});
    EXPECT_TRUE(in.ReadBool32());
    EXPECT_THROW(in.ReadU32(), ArchiveException);
    EXPECT_EQ(in.GetPosition(), 4u);
    EXPECT_THROW(in.WriteU8(1), ArchiveException);
}
