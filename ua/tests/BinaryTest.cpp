// The UA Binary reader and writer: byte-exact encodings clients depend on,
// round trips of every built-in type, and refusal of malformed input.

// ua/src is not yet on the tests' include path; the relative path works either way.
#include "Messages.h"
#include "ua/Binary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

namespace {

using namespace ua;
using Bytes = std::vector<std::uint8_t>;

template <typename F>
Bytes Encode(F&& write) {
    Writer writer;
    write(writer);
    return writer.Take();
}

Variant RoundTrip(const Variant& v) {
    const Bytes bytes = Encode([&](Writer& w) { w.VariantValue(v); });
    Reader reader(bytes);
    Variant back = reader.VariantValue();
    reader.ExpectEnd();
    return back;
}

// Expects the read to throw DecodeError with that code.
void ExpectRefused(const Bytes& bytes, const std::function<void(Reader&)>& read, StatusCode code,
                   DecodeLimits limits = {}) {
    Reader reader(bytes, limits);
    try {
        read(reader);
        FAIL() << "accepted";
    } catch (const DecodeError& e) {
        EXPECT_EQ(e.Code(), code) << e.what();
    }
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Two values of each built-in type, different from each other and from the
// type's default, so a field the encoder drops or mixes up shows.
std::vector<VariantValue> Samples(BuiltinType type) {
    Guid g{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
    auto inner = std::make_shared<DiagnosticInfo>();
    inner->innerStatusCode = status::BadTimeout;
    auto diag = std::make_shared<DiagnosticInfo>();
    diag->symbolicId = 1;
    diag->namespaceUri = 2;
    diag->localizedText = 3;
    diag->locale = 4;
    diag->additionalInfo = "more";
    diag->innerDiagnosticInfo = inner;
    auto dv = std::make_shared<DataValue>();
    dv->value = Variant::Double(2.5);
    dv->status = status::UncertainLastUsableValue;
    dv->sourceTimestamp = 132223104000000000;
    dv->sourcePicoseconds = 7;
    dv->serverTimestamp = 132223104000000001;
    dv->serverPicoseconds = 9;
    switch (type) {
        case BuiltinType::Boolean: return {true, false};
        case BuiltinType::SByte: return {std::int64_t{-128}, std::int64_t{127}};
        case BuiltinType::Byte: return {std::uint64_t{255}, std::uint64_t{1}};
        case BuiltinType::Int16: return {std::int64_t{-32768}, std::int64_t{12345}};
        case BuiltinType::UInt16: return {std::uint64_t{65535}, std::uint64_t{258}};
        case BuiltinType::Int32: return {std::int64_t{INT32_MIN}, std::int64_t{0x01020304}};
        case BuiltinType::UInt32: return {std::uint64_t{UINT32_MAX}, std::uint64_t{0x01020304}};
        case BuiltinType::Int64: return {std::int64_t{INT64_MIN}, std::int64_t{0x0102030405060708}};
        case BuiltinType::UInt64: return {std::uint64_t{UINT64_MAX}, std::uint64_t{0x0102030405060708}};
        case BuiltinType::Float: return {1.5, -0.25};
        case BuiltinType::Double: return {3.141592653589793, -1e300};
        case BuiltinType::String: return {std::string("Hot\xE6\xB0\xB4"), std::string("")};
        case BuiltinType::DateTime: return {std::int64_t{132223104000000000}, std::int64_t{-1}};
        case BuiltinType::Guid: return {g, Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}};
        case BuiltinType::ByteString: return {std::string("\x00\xFF\x01", 3), std::string("b")};
        case BuiltinType::XmlElement: return {std::string("<a/>"), std::string("<b>x</b>")};
        case BuiltinType::NodeId:
            return {NodeId(0, 72), NodeId(2, "Dev.Group.Tag")};
        case BuiltinType::ExpandedNodeId: {
            NodeId opaque(3, std::uint32_t{0});
            opaque.kind = NodeId::Kind::Opaque;
            opaque.text = std::string("\x01\x00", 2);
            return {ExpandedNodeId{opaque, "urn:x", 4}, ExpandedNodeId{NodeId(0, 70000), "", 0}};
        }
        case BuiltinType::StatusCode: return {std::uint64_t{status::BadNodeIdUnknown}, std::uint64_t{status::Good}};
        case BuiltinType::QualifiedName: return {QualifiedName{1, "Tag"}, QualifiedName{0, "Server"}};
        case BuiltinType::LocalizedText: return {LocalizedText{"en", "Counter"}, LocalizedText{"", "only text"}};
        case BuiltinType::ExtensionObject: {
            ExtensionObject binary{NodeId(0, 324), ExtensionObject::Encoding::Binary, std::string("\x01\x02", 2)};
            ExtensionObject xml{NodeId(5, 70000), ExtensionObject::Encoding::Xml, "<x/>"};
            return {binary, xml, ExtensionObject{}};
        }
        case BuiltinType::DataValue: return {dv, std::make_shared<DataValue>()};
        case BuiltinType::Variant:
            return {std::make_shared<Variant>(Variant::String("in")),
                    std::make_shared<Variant>(Variant::Array(BuiltinType::Int16, {std::int64_t{1}, std::int64_t{-2}}))};
        case BuiltinType::DiagnosticInfo: return {diag, std::make_shared<DiagnosticInfo>()};
        case BuiltinType::Null: break;
    }
    return {};
}

TEST(BinaryEncoding, MatchesTheStandardsExamples) {
    // NodeIds in their shortest forms.
    EXPECT_EQ(Encode([](Writer& w) { w.NodeIdValue(NodeId(0, 72)); }), (Bytes{0x00, 0x48}));
    EXPECT_EQ(Encode([](Writer& w) { w.NodeIdValue(NodeId(5, 1025)); }), (Bytes{0x01, 0x05, 0x01, 0x04}));
    EXPECT_EQ(Encode([](Writer& w) { w.NodeIdValue(NodeId(0, 70000)); }),
              (Bytes{0x02, 0x00, 0x00, 0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(Encode([](Writer& w) { w.NodeIdValue(NodeId(1, std::string("Hot\xE6\xB0\xB4"))); }),
              (Bytes{0x03, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x48, 0x6F, 0x74, 0xE6, 0xB0, 0xB4}));
    // A String: Int32 length in bytes, then UTF-8.
    EXPECT_EQ(Encode([](Writer& w) { w.String("\xE6\xB0\xB4" "Boy"); }),
              (Bytes{0x06, 0x00, 0x00, 0x00, 0xE6, 0xB0, 0xB4, 0x42, 0x6F, 0x79}));
    // A Guid: data1..3 little-endian, data4 as it stands.
    EXPECT_EQ(Encode([](Writer& w) { w.GuidValue(std::get<Guid>(Samples(BuiltinType::Guid)[0])); }),
              (Bytes{0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A, 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}));
    // A Variant Int32 scalar, and an array of two.
    EXPECT_EQ(Encode([](Writer& w) { w.VariantValue(Variant::Int32(1000)); }), (Bytes{0x06, 0xE8, 0x03, 0x00, 0x00}));
    EXPECT_EQ(Encode([](Writer& w) {
                  w.VariantValue(Variant::Array(BuiltinType::Int16, {std::int64_t{1}, std::int64_t{-1}}));
              }),
              (Bytes{0x84, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF}));
    // A null ByteString and an empty String are not the same bytes.
    EXPECT_EQ(Encode([](Writer& w) { w.ByteStringValue(""); }), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Encode([](Writer& w) { w.String(""); }), (Bytes{0x00, 0x00, 0x00, 0x00}));
}

TEST(BinaryEncoding, MasksAndFieldOrderOfTheCompositeTypes) {
    DataValue dv;
    dv.status = 0x80340000;
    dv.sourceTimestamp = 1;
    dv.sourcePicoseconds = 2;
    dv.serverTimestamp = 3;
    dv.serverPicoseconds = 4;
    // Source picoseconds follow the source timestamp, before the server's.
    EXPECT_EQ(Encode([&](Writer& w) { w.DataValueValue(dv); }),
              (Bytes{0x3E, 0x00, 0x00, 0x34, 0x80, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 0, 0, 0, 0, 0, 4, 0}));
    // Good and a null value are left out.
    DataValue good;
    good.status = status::Good;
    good.value = Variant{};
    EXPECT_EQ(Encode([&](Writer& w) { w.DataValueValue(good); }), (Bytes{0x00}));

    LocalizedText text{"", "A"};
    EXPECT_EQ(Encode([&](Writer& w) { w.LocalizedTextValue(text); }), (Bytes{0x02, 1, 0, 0, 0, 'A'}));

    ExpandedNodeId expanded{NodeId(0, 5), "u", 2};
    EXPECT_EQ(Encode([&](Writer& w) { w.ExpandedNodeIdValue(expanded); }),
              (Bytes{0xC0, 0x05, 1, 0, 0, 0, 'u', 2, 0, 0, 0}));

    // Locale's index precedes the localized text's, though its bit is higher.
    DiagnosticInfo diag;
    diag.localizedText = 1;
    diag.locale = 2;
    EXPECT_EQ(Encode([&](Writer& w) { w.DiagnosticInfoValue(diag); }), (Bytes{0x0C, 2, 0, 0, 0, 1, 0, 0, 0}));

    // A 2x3 matrix: the dimensions follow the elements.
    Variant matrix = Variant::Array(BuiltinType::Byte, {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3},
                                                        std::uint64_t{4}, std::uint64_t{5}, std::uint64_t{6}});
    matrix.dimensions = {2, 3};
    EXPECT_EQ(Encode([&](Writer& w) { w.VariantValue(matrix); }),
              (Bytes{0xC3, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6, 2, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(BinaryEncoding, EveryBuiltinTypeRoundTripsAsScalarArrayAndMatrix) {
    for (int t = 1; t <= 25; ++t) {
        const auto type = static_cast<BuiltinType>(t);
        SCOPED_TRACE("type " + std::to_string(t));
        const auto samples = Samples(type);
        ASSERT_GE(samples.size(), 2u);
        for (const auto& sample : samples) {
            const Variant scalar = Variant::Scalar(type, sample);
            const Variant back = RoundTrip(scalar);
            EXPECT_EQ(back, scalar);
            EXPECT_FALSE(back.isArray);
        }
        const Variant array = Variant::Array(type, samples);
        EXPECT_EQ(RoundTrip(array), array);
        const Variant empty = Variant::Array(type, {});
        EXPECT_EQ(RoundTrip(empty), empty);

        std::vector<VariantValue> six;
        for (int i = 0; i < 6; ++i) six.push_back(samples[i % samples.size()]);
        Variant matrix = Variant::Array(type, six);
        matrix.dimensions = {3, 1, 2};
        const Variant backMatrix = RoundTrip(matrix);
        EXPECT_EQ(backMatrix, matrix);
        EXPECT_EQ(backMatrix.dimensions, (std::vector<std::int32_t>{3, 1, 2}));
    }
    EXPECT_TRUE(RoundTrip(Variant{}).IsNull());
}

TEST(BinaryEncoding, FloatingPointKeepsItsBits) {
    const std::uint64_t payloadNaN = 0x7FF800000000BEEFULL;
    double nan;
    std::memcpy(&nan, &payloadNaN, sizeof nan);
    for (double d : {nan, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(), -0.0,
                     std::numeric_limits<double>::denorm_min()}) {
        const Bytes bytes = Encode([&](Writer& w) { w.Double(d); });
        Reader reader(bytes);
        const double back = reader.Double();
        EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0);
    }
    // A Float Variant holds a double, and still goes out as the same float.
    const std::uint32_t floatNaN = 0x7FC01234u;
    Bytes wire{0x0A};
    for (int i = 0; i < 4; ++i) wire.push_back(static_cast<std::uint8_t>(floatNaN >> (8 * i)));
    Reader reader(wire);
    const Variant v = reader.VariantValue();
    EXPECT_TRUE(std::isnan(std::get<double>(v.values[0])));
    EXPECT_EQ(Encode([&](Writer& w) { w.VariantValue(v); }), wire);
    // Beyond float's range is infinity, not an undefined conversion.
    const Bytes big = Encode([](Writer& w) { w.VariantValue(Variant::Scalar(BuiltinType::Float, 1e300)); });
    Reader bigReader(big);
    EXPECT_TRUE(std::isinf(std::get<double>(bigReader.VariantValue().values[0])));
}

TEST(BinaryDecoding, ReadsWhatOtherEncodersMaySend) {
    // Any non-zero byte is true.
    const Bytes booleansBytes = Bytes{0x00, 0x01, 0x02, 0xFF};
    Reader booleans(booleansBytes);
    EXPECT_FALSE(booleans.Boolean());
    EXPECT_TRUE(booleans.Boolean());
    EXPECT_TRUE(booleans.Boolean());
    EXPECT_TRUE(booleans.Boolean());
    // A null String reads as empty, and a null array as no elements.
    const Bytes nullsBytes = Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Reader nulls(nullsBytes);
    EXPECT_EQ(nulls.String(), "");
    EXPECT_EQ(nulls.ArrayLength(), 0u);
    nulls.ExpectEnd();
    // A numeric NodeId sent longer than it needs to be is the same node.
    const Bytes longFormBytes = Bytes{0x02, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00};
    Reader longForm(longFormBytes);
    EXPECT_EQ(longForm.NodeIdValue(), NodeId(0, 72));
    // A one-dimension array may carry its dimension; it is the array itself.
    const Bytes oneDimBytes = Bytes{0xC3, 2, 0, 0, 0, 7, 8, 1, 0, 0, 0, 2, 0, 0, 0};
    Reader oneDim(oneDimBytes);
    const Variant v = oneDim.VariantValue();
    EXPECT_EQ(v.values.size(), 2u);
    EXPECT_TRUE(v.dimensions.empty());
    oneDim.ExpectEnd();
}

TEST(BinaryDecoding, RefusesATruncatedDataValueAtEveryCut) {
    DataValue dv;
    dv.value = Variant::Array(BuiltinType::Variant, Samples(BuiltinType::Variant));
    dv.status = status::BadNodeIdUnknown;
    dv.sourceTimestamp = 5;
    dv.serverPicoseconds = 6;
    const Bytes whole = Encode([&](Writer& w) { w.DataValueValue(dv); });
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        const Bytes truncated(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        ExpectRefused(truncated, [](Reader& r) { r.DataValueValue(); }, status::BadDecodingError);
    }
    Reader reader(whole);
    EXPECT_EQ(reader.DataValueValue(), dv);
    reader.ExpectEnd();
}

TEST(BinaryDecoding, AlteredBytesDecodeToWhatReEncodesOrAreRefused) {
    // Every byte of a rich value set to a handful of values: the reader
    // either refuses with a DecodeError or produces a value that survives
    // its own encoder unchanged; nothing else (a crash, another exception).
    DataValue dv;
    std::vector<VariantValue> all;
    for (int t = 1; t <= 25; ++t) {
        const auto s = Samples(static_cast<BuiltinType>(t));
        all.push_back(std::make_shared<Variant>(Variant::Scalar(static_cast<BuiltinType>(t), s[0])));
    }
    dv.value = Variant::Array(BuiltinType::Variant, all);
    dv.serverTimestamp = 1;
    const Bytes whole = Encode([&](Writer& w) { w.DataValueValue(dv); });
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (std::uint8_t b : {0x00, 0x01, 0x3F, 0x7F, 0x80, 0xC0, 0xFF}) {
            Bytes altered = whole;
            altered[i] = b;
            Reader reader(altered);
            std::optional<DataValue> got;
            try {
                got = reader.DataValueValue();
            } catch (const DecodeError&) {
                continue;
            }
            ++accepted;
            // Outside the try: the encoder refusing what the reader accepted is a fault.
            const Bytes again = Encode([&](Writer& w) { w.DataValueValue(*got); });
            Reader second(again);
            ASSERT_EQ(second.DataValueValue(), *got) << "byte " << i << " set to " << int(b);
        }
    }
    EXPECT_GT(accepted, 0u);
}

TEST(BinaryDecoding, RefusesBadLengths) {
    const auto readString = [](Reader& r) { r.String(); };
    // -2 is neither null nor a length.
    ExpectRefused(Bytes{0xFE, 0xFF, 0xFF, 0xFF}, readString, status::BadDecodingError);
    ExpectRefused(Bytes{0x00, 0x00, 0x00, 0x80}, readString, status::BadDecodingError);
    // Longer than the message.
    ExpectRefused(Bytes{0x05, 0x00, 0x00, 0x00, 'a', 'b'}, readString, status::BadDecodingError);
    // Beyond the limit, even when the bytes are there.
    DecodeLimits small;
    small.maxStringLength = 2;
    small.maxArrayLength = 2;
    ExpectRefused(Bytes{0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c'}, readString, status::BadEncodingLimitsExceeded, small);
    ExpectRefused(Bytes{0x83, 0x03, 0x00, 0x00, 0x00, 1, 2, 3}, [](Reader& r) { r.VariantValue(); },
                  status::BadEncodingLimitsExceeded, small);
    // An array count the remaining bytes could never hold is refused before
    // anything is reserved for it, even under a generous limit.
    DecodeLimits generous;
    generous.maxArrayLength = std::numeric_limits<std::int32_t>::max();
    ExpectRefused(Bytes{0x86, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}, [](Reader& r) { r.VariantValue(); },
                  status::BadDecodingError, generous);
    // Four Int32s need 16 bytes; 15 are left.
    ExpectRefused(Cat({{0x04, 0, 0, 0}, Bytes(15, 0)}), [](Reader& r) { r.ArrayLength(4); },
                  status::BadDecodingError);
    ExpectRefused(Bytes{0xFE, 0xFF, 0xFF, 0xFF}, [](Reader& r) { r.ArrayLength(); }, status::BadDecodingError);
    // Memory: an array of one-byte elements costs far more once decoded,
    // and is held to the budget across all the arrays of a message.
    DecodeLimits budget;
    budget.maxDecodedBytes = 40 * sizeof(VariantValue);
    const Bytes thirtyBooleans = Cat({{0x81, 30, 0, 0, 0}, Bytes(30, 1)});
    Reader withinBudget(thirtyBooleans, budget);
    EXPECT_EQ(withinBudget.VariantValue().values.size(), 30u);
    ExpectRefused(Cat({{0x81, 50, 0, 0, 0}, Bytes(50, 1)}), [](Reader& r) { r.VariantValue(); },
                  status::BadEncodingLimitsExceeded, budget);
    ExpectRefused(Cat({thirtyBooleans, thirtyBooleans}), [](Reader& r) { r.VariantValue(); r.VariantValue(); },
                  status::BadEncodingLimitsExceeded, budget);
    // The arrays the services read count against the same budget.
    struct Big {
        std::array<std::uint8_t, 512> pad{};
    };
    const Bytes nineBytes = Cat({{9, 0, 0, 0}, Bytes(9, 0)});
    ExpectRefused(nineBytes, [](Reader& r) { r.Array<Big>([](Reader& e) { e.Byte(); return Big{}; }); },
                  status::BadEncodingLimitsExceeded, budget);
    // Nested Variants each cost a heap block besides their slot.
    ExpectRefused(Cat({{0x98, 30, 0, 0, 0}, Bytes(30, 0)}), [](Reader& r) { r.VariantValue(); },
                  status::BadEncodingLimitsExceeded, budget);
    // Left-over bytes after a whole message.
    const Bytes leftoverBytes = Bytes{0x00, 0x48, 0x00};
    Reader leftover(leftoverBytes);
    leftover.NodeIdValue();
    EXPECT_THROW(leftover.ExpectEnd(), DecodeError);
}

TEST(BinaryDecoding, RefusesNestingBeyondTheLimit) {
    DecodeLimits limits;
    limits.maxDepth = 8;
    // A Variant holding a Variant holding ... a null Variant: n + 1 levels.
    const auto nested = [](int n) {
        Bytes b(static_cast<std::size_t>(n), 0x18);
        b.push_back(0x00);
        return b;
    };
    const Bytes atLimitBytes = nested(7);
    Reader atLimit(atLimitBytes, limits);
    EXPECT_NO_THROW(atLimit.VariantValue());
    ExpectRefused(nested(8), [](Reader& r) { r.VariantValue(); }, status::BadEncodingLimitsExceeded, limits);
    // The default limit holds against a message of nothing but nesting.
    ExpectRefused(nested(100000), [](Reader& r) { r.VariantValue(); }, status::BadEncodingLimitsExceeded);
    // DataValues inside Variants count too.
    Bytes dataValues;
    for (int i = 0; i < 5; ++i) dataValues.insert(dataValues.end(), {0x17, 0x01});
    dataValues.push_back(0x00);
    ExpectRefused(dataValues, [](Reader& r) { r.VariantValue(); }, status::BadEncodingLimitsExceeded, limits);
    // A DiagnosticInfo's inner chain.
    Bytes diag(8, 0x40);
    diag.push_back(0x00);
    ExpectRefused(diag, [](Reader& r) { r.DiagnosticInfoValue(); }, status::BadEncodingLimitsExceeded, limits);
    diag.erase(diag.begin());
    Reader diagAtLimit(diag, limits);
    EXPECT_NO_THROW(diagAtLimit.DiagnosticInfoValue());
    // The depth is given back: siblings at the limit each pass.
    Bytes siblings{0x98, 0x03, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        const Bytes inner = nested(6);
        siblings.insert(siblings.end(), inner.begin(), inner.end());
    }
    Reader siblingReader(siblings, limits);
    EXPECT_EQ(siblingReader.VariantValue().values.size(), 3u);
}

TEST(BinaryDecoding, RefusesUnknownEncodings) {
    const auto readVariant = [](Reader& r) { r.VariantValue(); };
    for (std::uint8_t id = 26; id <= 63; ++id) {
        ExpectRefused(Bytes{id, 0, 0, 0, 0, 0, 0, 0, 0}, readVariant, status::BadDecodingError);
        ExpectRefused(Bytes{static_cast<std::uint8_t>(id | 0x80), 0, 0, 0, 0}, readVariant, status::BadDecodingError);
    }
    // A null Variant with array flags, dimensions without an array.
    ExpectRefused(Bytes{0x80, 0, 0, 0, 0}, readVariant, status::BadDecodingError);
    ExpectRefused(Bytes{0x46, 1, 0, 0, 0}, readVariant, status::BadDecodingError);
    // NodeId encodings past ByteString, and the ExpandedNodeId flags where a
    // plain NodeId is due.
    for (int enc : {0x06, 0x07, 0x3F, 0x80, 0x40, 0xFF}) {
        ExpectRefused(Bytes{static_cast<std::uint8_t>(enc), 0, 0, 0, 0, 0, 0, 0, 0},
                      [](Reader& r) { r.NodeIdValue(); }, status::BadDecodingError);
    }
    ExpectRefused(Bytes{0x06, 0, 0}, [](Reader& r) { r.ExpandedNodeIdValue(); }, status::BadDecodingError);
    ExpectRefused(Bytes{0x00, 0x01, 0x03, 0, 0, 0, 0}, [](Reader& r) { r.ExtensionObjectValue(); },
                  status::BadDecodingError);
    ExpectRefused(Bytes{0x40}, [](Reader& r) { r.DataValueValue(); }, status::BadDecodingError);
    ExpectRefused(Bytes{0x04}, [](Reader& r) { r.LocalizedTextValue(); }, status::BadDecodingError);
}

TEST(BinaryDecoding, RefusesMatrixDimensionsThatDoNotMatch) {
    const auto readVariant = [](Reader& r) { r.VariantValue(); };
    const Bytes sixBytes{0xC3, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6};
    const auto dims = [](std::initializer_list<std::int32_t> d) {
        Bytes b{static_cast<std::uint8_t>(d.size()), 0, 0, 0};
        for (std::int32_t x : d)
            for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(x) >> (8 * i)));
        return b;
    };
    ExpectRefused(Cat({sixBytes, dims({2, 2})}), readVariant, status::BadDecodingError);
    ExpectRefused(Cat({sixBytes, dims({2, 4})}), readVariant, status::BadDecodingError);
    ExpectRefused(Cat({sixBytes, dims({-2, -3})}), readVariant, status::BadDecodingError);
    ExpectRefused(Cat({sixBytes, dims({})}), readVariant, status::BadDecodingError);
    // A product that wraps around to the count in 64 bits is still refused.
    const Bytes none{0xC3, 0, 0, 0, 0};
    ExpectRefused(Cat({none, dims({65536, 65536, 65536, 65536})}), readVariant, status::BadDecodingError);
    const Bytes fineBytes = Cat({sixBytes, dims({3, 2})});
    Reader fine(fineBytes);
    EXPECT_EQ(fine.VariantValue().dimensions, (std::vector<std::int32_t>{3, 2}));
    const Bytes emptyMatrixBytes = Cat({none, dims({0, 5})});
    Reader emptyMatrix(emptyMatrixBytes);
    EXPECT_EQ(emptyMatrix.VariantValue().dimensions, (std::vector<std::int32_t>{0, 5}));
}

TEST(BinaryEncoding, RefusesToSendWhatItCouldNotRead) {
    const auto encodeFails = [](const Variant& v) {
        Writer w;
        try {
            w.VariantValue(v);
            ADD_FAILURE() << "encoded";
        } catch (const DecodeError& e) {
            EXPECT_EQ(e.Code(), status::BadEncodingError);
        }
    };
    encodeFails(Variant::Scalar(BuiltinType::Byte, std::uint64_t{256}));
    encodeFails(Variant::Scalar(BuiltinType::Int16, std::int64_t{-40000}));
    encodeFails(Variant::Scalar(BuiltinType::UInt32, std::int64_t{-1}));
    encodeFails(Variant::Scalar(BuiltinType::Int32, std::string("x")));
    encodeFails(Variant::Scalar(BuiltinType::NodeId, std::int64_t{1}));
    Variant wrongShape = Variant::Array(BuiltinType::Int32, {std::int64_t{1}, std::int64_t{2}});
    wrongShape.dimensions = {3, 1};
    encodeFails(wrongShape);
    Variant twoScalars = Variant::Int32(1);
    twoScalars.values.push_back(std::int64_t{2});
    encodeFails(twoScalars);
    // Whole doubles convert to integer types; fractions do not.
    EXPECT_EQ(RoundTrip(Variant::Scalar(BuiltinType::Int32, 7.0)), Variant::Int32(7));
    Variant fraction;
    fraction.type = BuiltinType::Int32;
    fraction.values = {7.5};
    encodeFails(fraction);
}

TEST(MessageHeaders, RoundTripAndTheServiceFault) {
    RequestHeader request;
    request.authenticationToken = NodeId(1, "token");
    request.timestamp = 132223104000000000;
    request.requestHandle = 42;
    request.returnDiagnostics = 3;
    request.auditEntryId = "audit";
    request.timeoutHint = 5000;
    request.additionalHeader = ExtensionObject{NodeId(0, 1), ExtensionObject::Encoding::Binary, "x"};
    const Bytes requestBytes = Encode([&](Writer& w) { WriteRequestHeader(w, request); });
    Reader requestReader(requestBytes);
    const RequestHeader back = ReadRequestHeader(requestReader);
    requestReader.ExpectEnd();
    EXPECT_EQ(back.authenticationToken, request.authenticationToken);
    EXPECT_EQ(back.timestamp, request.timestamp);
    EXPECT_EQ(back.requestHandle, 42u);
    EXPECT_EQ(back.returnDiagnostics, 3u);
    EXPECT_EQ(back.auditEntryId, "audit");
    EXPECT_EQ(back.timeoutHint, 5000u);
    EXPECT_EQ(back.additionalHeader, request.additionalHeader);

    const DateTime before = Now();
    const Bytes fault = EncodeServiceFault(77, status::BadServiceUnsupported);
    const DateTime after = Now();
    // The ServiceFault's encoding id (397) as a four-byte NodeId.
    ASSERT_EQ(fault.size(), 28u);
    EXPECT_EQ(Bytes(fault.begin(), fault.begin() + 4), (Bytes{0x01, 0x00, 0x8D, 0x01}));
    // Empty diagnostics, string table and additional header close it.
    EXPECT_EQ(Bytes(fault.begin() + 20, fault.end()), (Bytes{0x00, 0, 0, 0, 0, 0x00, 0x00, 0x00}));
    Reader faultReader(fault);
    EXPECT_EQ(faultReader.NodeIdValue(), NodeId(0, encoding::ServiceFault));
    const ResponseHeader header = ReadResponseHeader(faultReader);
    faultReader.ExpectEnd();
    EXPECT_EQ(header.requestHandle, 77u);
    EXPECT_EQ(header.serviceResult, status::BadServiceUnsupported);
    EXPECT_GE(header.timestamp, before);
    EXPECT_LE(header.timestamp, after);

    // A response header from a peer with diagnostics and a string table.
    const Bytes peer{1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0,
                     0x01, 5, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 'a', 0xFF, 0xFF, 0xFF, 0xFF,
                     0x00, 0x00, 0x00, 0xEE};
    Reader peerReader(peer);
    EXPECT_EQ(ReadResponseHeader(peerReader).requestHandle, 9u);
    EXPECT_EQ(peerReader.Remaining(), 1u);
}

}  // namespace
