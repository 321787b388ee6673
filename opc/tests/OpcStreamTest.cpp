#include "opc/OpcStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace opcstream;

namespace {

// Little-endian bytes laid out by hand, as the standard's 32-bit platform has them.
struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u16(std::uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& zeros(int n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
};

VARIANT I2(SHORT v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I2;
    x.iVal = v;
    return x;
}

}  // namespace

TEST(OpcStream, DataTimeStreamIsLaidOutByteForByte) {
    ItemValue a;
    a.hClient = 0x11;
    a.quality = 0xC0;
    a.timestamp = {0x01020304, 0x05060708};
    a.value = I2(-2);
    ItemValue b;
    b.hClient = 0x22;
    b.quality = 0x1C;
    b.timestamp = {9, 10};
    VariantInit(&b.value);
    b.value.vt = VT_BSTR;
    b.value.bstrVal = SysAllocString(u"Hi");

    const auto stream = WriteDataStream(true, 0xAB, 7, S_OK, {a, b});
    // 20 header + 2 x 20 item headers = 60: values start there.
    Bytes expected;
    expected.u32(60 + 16 + 16 + 4 + 4 + 2).u32(2).u32(0xAB).u32(7).u32(0);
    expected.u32(0x11).u32(60).u16(0xC0).u16(0).u32(0x01020304).u32(0x05060708);
    expected.u32(0x22).u32(76).u16(0x1C).u16(0).u32(9).u32(10);
    expected.u16(VT_I2).zeros(6).u16(0xFFFE).zeros(6);
    expected.u16(VT_BSTR).zeros(6).zeros(8).u32(4).u16('H').u16('i').u16(0);
    EXPECT_EQ(stream, expected.b);
    SysFreeString(b.value.bstrVal);
}

TEST(OpcStream, DataStreamWithoutTimeAndTheScalarWidths) {
    std::vector<ItemValue> items(4);
    for (auto& item : items) VariantInit(&item.value);
    items[0].value.vt = VT_R8;
    items[0].value.dblVal = 1.5;  // 0x3FF8000000000000
    items[1].value.vt = VT_BOOL;
    items[1].value.boolVal = VARIANT_TRUE;
    items[2].value.vt = VT_UI1;
    items[2].value.bVal = 0x7F;
    items[3].value.vt = VT_I4;
    items[3].value.lVal = 0x12345678;
    const auto stream = WriteDataStream(false, 1, 0, S_OK, items);
    Bytes e;
    e.u32(20 + 4 * 12 + 4 * 16).u32(4).u32(1).u32(0).u32(0);
    for (std::uint32_t i = 0; i < 4; ++i) e.u32(0).u32(68 + 16 * i).u16(0).u16(0);
    e.u16(VT_R8).zeros(6).u32(0).u32(0x3FF80000);
    e.u16(VT_BOOL).zeros(6).u16(0xFFFF).zeros(6);
    e.u16(VT_UI1).zeros(6).u8(0x7F).zeros(7);
    e.u16(VT_I4).zeros(6).u32(0x12345678).zeros(4);
    EXPECT_EQ(stream, e.b);
}

TEST(OpcStream, ArraysCarryTheirDescriptorAndElements) {
    ItemValue item;
    VariantInit(&item.value);
    item.value.vt = VT_ARRAY | VT_R8;
    item.value.parray = SafeArrayCreateVector(VT_R8, 0, 2);
    LONG index = 1;
    double high = 2.0;  // 0x4000000000000000
    SafeArrayPutElement(item.value.parray, &index, &high);
    const auto stream = WriteDataStream(false, 0, 0, S_OK, {item});
    Bytes e;
    e.u32(20 + 12 + 16 + 24 + 16).u32(1).u32(0).u32(0).u32(0);
    e.u32(0).u32(32).u16(0).u16(0);
    e.u16(VT_ARRAY | VT_R8).zeros(6).zeros(8);
    e.u16(1).u16(item.value.parray->fFeatures).u32(8).u32(0).u32(0).u32(2).u32(0);
    e.zeros(8).u32(0).u32(0x40000000);
    EXPECT_EQ(stream, e.b);

    std::string error;
    const auto parsed = ReadDataStream(stream, false, &error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->items.size(), 1u);
    double back = 0;
    ASSERT_EQ(SafeArrayGetElement(parsed->items[0].value.parray, &index, &back), S_OK);
    EXPECT_EQ(back, 2.0);
    VariantClear(&item.value);
}

TEST(OpcStream, WriteCompleteStreamAndItsReader) {
    const auto stream =
        WriteWriteCompleteStream(5, 3, S_OK, {{0x31, S_OK}, {0x32, static_cast<HRESULT>(0xC0040006)}}, 3);
    Bytes e;
    e.u32(3).u32(5).u32(3).u32(0).u32(0x31).u32(0).u32(0x32).u32(0xC0040006);
    EXPECT_EQ(stream, e.b);
    std::string error;
    const auto parsed = ReadWriteCompleteStream(stream, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->transactionId, 3u);
    ASSERT_EQ(parsed->results.size(), 2u);
    EXPECT_EQ(parsed->results[1].error, OPC_E_BADRIGHTS);
    EXPECT_FALSE(ReadWriteCompleteStream({1, 2, 3}, &error));
}

TEST(OpcStream, TheReaderRefusesWhatDoesNotHoldTogether) {
    ItemValue item;
    VariantInit(&item.value);
    item.value.vt = VT_BSTR;
    item.value.bstrVal = SysAllocString(u"abc");
    const auto good = WriteDataStream(true, 0, 0, S_OK, {item});
    SysFreeString(item.value.bstrVal);
    std::string error;
    const auto parsed = ReadDataStream(good, true, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(BstrToUtf8(parsed->items[0].value.bstrVal), "abc");

    auto shorter = good;
    shorter.pop_back();
    EXPECT_FALSE(ReadDataStream(shorter, true, &error)) << "dwSize no longer matches";
    auto badOffset = good;
    badOffset[24] = 0xFF;  // the item's value offset
    EXPECT_FALSE(ReadDataStream(badOffset, true, &error));
    auto longString = good;
    longString[20 + 20 + 16] = 0xF0;  // the string's byte length
    EXPECT_FALSE(ReadDataStream(longString, true, &error));
    auto manyItems = good;
    manyItems[4] = 0xFF;
    EXPECT_FALSE(ReadDataStream(manyItems, true, &error));
    EXPECT_FALSE(ReadDataStream({}, false, &error));
}

TEST(OpcStream, FormatsAreRegisteredOnceByName) {
    EXPECT_EQ(DataFormat(), RegisterClipboardFormatA("opcstmformatdata"));
    EXPECT_NE(DataFormat(), DataTimeFormat());
    EXPECT_NE(DataTimeFormat(), WriteCompleteFormat());
    HGLOBAL block = ToGlobal({1, 2, 3});
    EXPECT_EQ(FromGlobal(block), (std::vector<std::uint8_t>{1, 2, 3}));
    GlobalFree(block);
}
