// Values between the DA objects and UA: the quality table, conversions a UA
// write makes into a tag's type, DA values as Variants, and index ranges.

#include "DaValues.h"
#include "IndexRange.h"

#include "opc/OpcDa.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace ua;

TEST(DaQuality, EachQualityOfTheMappingTableGivesItsStatus) {
    const std::pair<WORD, StatusCode> table[] = {
        {0xC0, status::Good},
        {0xD8, status::GoodLocalOverride},
        {0x40, status::Uncertain},
        {0x44, status::UncertainLastUsableValue},
        {0x50, status::UncertainSensorNotAccurate},
        {0x54, status::UncertainEngineeringUnitsExceeded},
        {0x58, status::UncertainSubNormal},
        {0x00, status::Bad},
        {0x04, status::BadConfigurationError},
        {0x08, status::BadNotConnected},
        {0x0C, status::BadDeviceFailure},
        {0x10, status::BadSensorFailure},
        {0x18, status::BadNoCommunication},
        {0x1C, status::BadOutOfService},
        {0x20, status::BadWaitingForInitialData},
    };
    for (const auto& [quality, code] : table) EXPECT_EQ(FromDaQuality(quality), code) << std::hex << quality;
}

TEST(DaQuality, LimitBitsBecomeTheStatusLimitBitsAndUnknownSubStatusesKeepTheirMajor) {
    EXPECT_EQ(FromDaQuality(0xC1), status::Good | 0x100u);  // low limited
    EXPECT_EQ(FromDaQuality(0x56), status::UncertainEngineeringUnitsExceeded | 0x200u);
    EXPECT_EQ(FromDaQuality(0x1B), status::BadNoCommunication | 0x300u);
    // 0x14 (last known) and 0xC4 are not in the table: still bad, still good.
    EXPECT_TRUE(IsBad(FromDaQuality(0x14)));
    EXPECT_EQ(FromDaQuality(0xC4), status::Good);
    EXPECT_TRUE(IsUncertain(FromDaQuality(0x4C)));
}

TEST(DaWriteResult, ItemErrorsMapToTheStatusesClientsTestFor) {
    EXPECT_EQ(FromDaWriteResult(S_OK), status::Good);
    EXPECT_EQ(FromDaWriteResult(OPC_E_BADRIGHTS), status::BadNotWritable);
    EXPECT_EQ(FromDaWriteResult(OPC_E_BADTYPE), status::BadTypeMismatch);
    EXPECT_EQ(FromDaWriteResult(OPC_E_RANGE), status::BadOutOfRange);
    EXPECT_EQ(FromDaWriteResult(OPC_E_UNKNOWNITEMID), status::BadNodeIdUnknown);
    EXPECT_EQ(FromDaWriteResult(OPC_E_INVALIDHANDLE), status::BadNodeIdUnknown);
    EXPECT_EQ(FromDaWriteResult(E_FAIL), status::BadDeviceFailure);
}

TEST(DaToUa, ScalarsKeepTheirTypeAndValue) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = -123456;
    EXPECT_EQ(FromDaValue(v), Variant::Int32(-123456));
    v.vt = VT_R4;
    v.fltVal = 1.5f;
    EXPECT_EQ(FromDaValue(v), Variant::Scalar(BuiltinType::Float, 1.5));
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(FromDaValue(v), Variant::Boolean(true));
    v.vt = VT_UI2;
    v.uiVal = 65535;
    EXPECT_EQ(FromDaValue(v), Variant::Scalar(BuiltinType::UInt16, std::uint64_t{65535}));
    v.vt = VT_EMPTY;
    EXPECT_TRUE(FromDaValue(v).IsNull());

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("µm größe");
    EXPECT_EQ(FromDaValue(text), Variant::String("µm größe"));
    VariantClear(&text);
}

TEST(DaToUa, DatesBecomeDateTimesOfTheSameInstant) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = 25569.0;  // 1970-01-01 00:00 UTC
    const Variant got = FromDaValue(v);
    ASSERT_EQ(got.type, BuiltinType::DateTime);
    // 1970 is 11,644,473,600 s after 1601.
    EXPECT_EQ(std::get<std::int64_t>(got.values[0]), 116444736000000000LL);
    FILETIME time{0x12345678u, 0x01D9ABCDu};
    EXPECT_EQ(FromFileTime(time), static_cast<DateTime>((0x01D9ABCDull << 32) | 0x12345678u));
}

TEST(DaToUa, ArraysBecomeArraysOfTheElementType) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, 3);
    ASSERT_NE(array, nullptr);
    for (LONG i = 0; i < 3; ++i) {
        double d = 0.5 * i;
        ASSERT_EQ(SafeArrayPutElement(array, &i, &d), S_OK);
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_R8;
    v.parray = array;
    const Variant got = FromDaValue(v);
    EXPECT_TRUE(got.isArray);
    EXPECT_EQ(got.type, BuiltinType::Double);
    EXPECT_EQ(got, Variant::Array(BuiltinType::Double, {0.0, 0.5, 1.0}));
    VariantClear(&v);
}

TEST(UaToDa, NumbersConvertWhenTheTagTypeHoldsThemAndSayWhyNot) {
    VARIANT out;
    EXPECT_EQ(ConvertToDa(Variant::Double(41.6), VT_I4, out), status::Good);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 42);
    EXPECT_EQ(ConvertToDa(Variant::Int32(-7), VT_R8, out), status::Good);
    EXPECT_EQ(out.vt, VT_R8);
    EXPECT_DOUBLE_EQ(out.dblVal, -7.0);
    EXPECT_EQ(ConvertToDa(Variant::UInt32(255), VT_UI1, out), status::Good);
    EXPECT_EQ(out.bVal, 255);

    EXPECT_EQ(ConvertToDa(Variant::UInt32(256), VT_UI1, out), status::BadOutOfRange);
    EXPECT_EQ(out.vt, VT_EMPTY);
    EXPECT_EQ(ConvertToDa(Variant::Double(3e9), VT_I4, out), status::BadOutOfRange);
    EXPECT_EQ(ConvertToDa(Variant::Int32(-1), VT_UI4, out), status::BadOutOfRange);
    EXPECT_EQ(ConvertToDa(Variant::Double(1e39), VT_R4, out), status::BadOutOfRange);
    EXPECT_EQ(ConvertToDa(Variant::Double(std::nan("")), VT_I4, out), status::BadOutOfRange);
    EXPECT_EQ(ConvertToDa(Variant::Scalar(BuiltinType::Int64, std::int64_t{1} << 40), VT_I4, out),
              status::BadOutOfRange);
}

TEST(UaToDa, TextBooleansAndNumbersDoNotStandInForEachOther) {
    VARIANT out;
    EXPECT_EQ(ConvertToDa(Variant::String("12"), VT_I4, out), status::BadTypeMismatch);
    EXPECT_EQ(ConvertToDa(Variant::Boolean(true), VT_I4, out), status::BadTypeMismatch);
    EXPECT_EQ(ConvertToDa(Variant::Int32(1), VT_BOOL, out), status::BadTypeMismatch);
    EXPECT_EQ(ConvertToDa(Variant::Double(1), VT_BSTR, out), status::BadTypeMismatch);
    EXPECT_EQ(ConvertToDa(Variant{}, VT_R8, out), status::BadTypeMismatch);
    EXPECT_EQ(ConvertToDa(Variant::Array(BuiltinType::Double, {1.0}), VT_R8, out), status::BadTypeMismatch);
    EXPECT_FALSE(ToDaValue(Variant::String("x"), VT_R8).has_value());

    ASSERT_EQ(ConvertToDa(Variant::Boolean(true), VT_BOOL, out), status::Good);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(ConvertToDa(Variant::String("héllo"), VT_BSTR, out), status::Good);
    EXPECT_EQ(BstrToUtf8(out.bstrVal), "héllo");
    VariantClear(&out);
}

TEST(DataTypes, CanonicalTypesGiveTheirDataTypeNodeAndRank) {
    EXPECT_EQ(DataTypeOf(VT_BOOL), NodeId(0, 1u));
    EXPECT_EQ(DataTypeOf(VT_I4), NodeId(0, 6u));
    EXPECT_EQ(DataTypeOf(VT_R4), NodeId(0, 10u));
    EXPECT_EQ(DataTypeOf(VT_R8), NodeId(0, 11u));
    EXPECT_EQ(DataTypeOf(VT_BSTR), NodeId(0, 12u));
    EXPECT_EQ(DataTypeOf(VT_DATE), NodeId(0, 13u));
    EXPECT_EQ(DataTypeOf(VT_EMPTY), NodeId(0, 24u));
    EXPECT_EQ(DataTypeOf(VT_ARRAY | VT_I2), NodeId(0, 4u));
    EXPECT_EQ(ValueRankOf(VT_R8), -1);
    EXPECT_EQ(ValueRankOf(VT_ARRAY | VT_R8), 1);
}

TEST(IndexRanges, TextThatIsNoRangeIsRefused) {
    for (const char* bad : {"", "a", "1:", ":2", "3:3", "4:2", "1,", "-1", "1:2:3", "99999999999", " 1"})
        EXPECT_FALSE(IndexRange::Parse(bad).has_value()) << bad;
    const auto range = IndexRange::Parse("2:5,0:1");
    ASSERT_TRUE(range.has_value());
    ASSERT_EQ(range->Dimensions().size(), 2u);
    EXPECT_EQ(range->Dimensions()[0], std::make_pair(2u, 5u));
    EXPECT_EQ(range->Dimensions()[1], std::make_pair(0u, 1u));
}

TEST(IndexRanges, CutArraysAndStringsAndClipAtTheirEnd) {
    Variant array = Variant::Array(BuiltinType::Int32, {std::int64_t{10}, std::int64_t{11}, std::int64_t{12}});
    Variant one = array;
    ASSERT_EQ(IndexRange::Parse("1")->Apply(one), status::Good);
    EXPECT_EQ(one, Variant::Array(BuiltinType::Int32, {std::int64_t{11}}));
    Variant clipped = array;
    ASSERT_EQ(IndexRange::Parse("1:9")->Apply(clipped), status::Good);
    EXPECT_EQ(clipped, Variant::Array(BuiltinType::Int32, {std::int64_t{11}, std::int64_t{12}}));
    Variant past = array;
    EXPECT_EQ(IndexRange::Parse("3")->Apply(past), status::BadIndexRangeNoData);
    EXPECT_EQ(past, array);

    Variant text = Variant::String("particle");
    ASSERT_EQ(IndexRange::Parse("1:3")->Apply(text), status::Good);
    EXPECT_EQ(text, Variant::String("art"));
    Variant number = Variant::Double(1.0);
    EXPECT_EQ(IndexRange::Parse("0")->Apply(number), status::BadIndexRangeNoData);
    Variant names = Variant::StringArray({"alpha", "beta"});
    ASSERT_EQ(IndexRange::Parse("1,0:1")->Apply(names), status::Good);
    EXPECT_EQ(names, Variant::StringArray({"be"}));
}

}  // namespace
