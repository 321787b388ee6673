// The built-in types' text forms, comparisons and the Variant's value rules.

#include "ua/Types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <unordered_set>

namespace {

using namespace ua;

NodeId Opaque(std::uint16_t ns, std::string bytes) {
    NodeId id(ns, std::uint32_t{0});
    id.kind = NodeId::Kind::Opaque;
    id.text = std::move(bytes);
    return id;
}

NodeId GuidId(std::uint16_t ns, Guid g) {
    NodeId id(ns, std::uint32_t{0});
    id.kind = NodeId::Kind::Guid;
    id.guid = g;
    return id;
}

TEST(NodeIdText, WritesTheStandardForms) {
    EXPECT_EQ(NodeId(0, 85).ToString(), "i=85");
    EXPECT_EQ(NodeId(1, "Dev.Group.Tag").ToString(), "ns=1;s=Dev.Group.Tag");
    EXPECT_EQ(GuidId(2, Guid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}}).ToString(),
              "ns=2;g=72962b91-fa75-4ae6-8d28-b404dc7daf63");
    EXPECT_EQ(Opaque(3, "Man").ToString(), "ns=3;b=TWFu");
    EXPECT_EQ(Opaque(3, "Ma").ToString(), "ns=3;b=TWE=");
    EXPECT_EQ(Opaque(3, "M").ToString(), "ns=3;b=TQ==");
    EXPECT_EQ(Opaque(0, std::string("\xFB\xFF", 2)).ToString(), "b=+/8=");
}

TEST(NodeIdText, ParsesWhatItWritesAndOtherSpellings) {
    const std::vector<NodeId> ids = {
        NodeId(0, 0),
        NodeId(0, 4294967295u),
        NodeId(65535, 1),
        NodeId(1, "a;b=c"),  // separators inside a string id belong to it
        NodeId(1, ""),
        GuidId(7, Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}),
        Opaque(4, std::string("\x00\x01\x02\xFF\xFE", 5)),
        Opaque(4, ""),
    };
    for (const NodeId& id : ids) {
        const auto back = NodeId::Parse(id.ToString());
        ASSERT_TRUE(back) << id.ToString();
        EXPECT_EQ(*back, id) << id.ToString();
    }
    // Upper-case Guid digits and an explicit namespace 0.
    EXPECT_EQ(NodeId::Parse("ns=2;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63"),
              NodeId::Parse("ns=2;g=72962b91-fa75-4ae6-8d28-b404dc7daf63"));
    EXPECT_EQ(NodeId::Parse("ns=0;i=85"), NodeId(0, 85));
}

TEST(NodeIdText, RefusesWhatIsNotANodeId) {
    for (const char* text : {"", "85", "i=", "i=-1", "i=4294967296", "i=12a", "ns=65536;i=1", "ns=;i=1", "ns=1",
                             "ns=1;", "x=1", "nsu=urn:a;i=1", "g=72962b91-fa75-4ae6-8d28-b404dc7daf6",
                             "g=72962b91Xfa75-4ae6-8d28-b404dc7daf63", "g=7296zb91-fa75-4ae6-8d28-b404dc7daf63",
                             "b=TWF", "b=TW=u", "b=T===", "b=TW!=", "ns=99999999999999999999;i=1"}) {
        EXPECT_FALSE(NodeId::Parse(text)) << text;
    }
}

TEST(NodeIdCompare, EqualityOrderingAndHashAgree) {
    // Same ns, different kinds: never equal, even with "empty" identifiers.
    EXPECT_NE(NodeId(0, 0), NodeId(0, ""));
    EXPECT_NE(NodeId(1, "x"), Opaque(1, "x"));
    EXPECT_NE(NodeId(1, 5), NodeId(2, 5));
    // Fields of another kind are ignored.
    NodeId numeric(1, 5);
    numeric.text = "leftover";
    EXPECT_EQ(numeric, NodeId(1, 5));
    EXPECT_EQ(NodeIdHash{}(numeric), NodeIdHash{}(NodeId(1, 5)));

    const std::vector<NodeId> distinct = {NodeId(0, 1), NodeId(0, 2), NodeId(1, 1), NodeId(1, "a"),
                                          NodeId(1, "b"), Opaque(1, "a"), GuidId(1, Guid{1, 0, 0, {}}),
                                          GuidId(1, Guid{0, 1, 0, {}})};
    std::set<NodeId> ordered(distinct.begin(), distinct.end());
    std::unordered_set<NodeId, NodeIdHash> hashed(distinct.begin(), distinct.end());
    EXPECT_EQ(ordered.size(), distinct.size());
    EXPECT_EQ(hashed.size(), distinct.size());
    for (const NodeId& a : distinct) {
        EXPECT_EQ(hashed.count(NodeId::Parse(a.ToString()).value()), 1u);
        for (const NodeId& b : distinct) {
            // Exactly one of a<b, b<a, a==b.
            EXPECT_EQ(int(a < b) + int(b < a) + int(a == b), 1) << a.ToString() << " " << b.ToString();
        }
    }
    EXPECT_TRUE(NodeId(0, 0).IsNull());
    EXPECT_TRUE(NodeId(0, "").IsNull());
    EXPECT_FALSE(NodeId(1, 0).IsNull());
    EXPECT_FALSE(NodeId(0, 1).IsNull());
}

TEST(VariantValues, EqualityLooksThroughNestedValues) {
    const auto nested = [](double d) {
        auto dv = std::make_shared<DataValue>();
        dv->value = Variant::Double(d);
        return Variant::Scalar(BuiltinType::DataValue, dv);
    };
    // Separately made nested values compare by content, not by pointer.
    EXPECT_EQ(nested(1.0), nested(1.0));
    EXPECT_NE(nested(1.0), nested(2.0));
    // A NaN equals itself, so an unchanged NaN reading is no data change;
    // 0.0 and -0.0 are different values on the wire.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Variant::Double(nan), Variant::Double(nan));
    EXPECT_NE(Variant::Double(0.0), Variant::Double(-0.0));
    // The type, the shape and the dimensions all count.
    EXPECT_NE(Variant::Int32(1), Variant::UInt32(1));
    EXPECT_NE(Variant::Int32(1), Variant::Array(BuiltinType::Int32, {std::int64_t{1}}));
    Variant matrix = Variant::Array(BuiltinType::Int32, {std::int64_t{1}, std::int64_t{2}});
    Variant other = matrix;
    matrix.dimensions = {1, 2};
    other.dimensions = {2, 1};
    EXPECT_NE(matrix, other);
    EXPECT_EQ(Variant{}, Variant{});

    DiagnosticInfo a;
    a.innerDiagnosticInfo = std::make_shared<DiagnosticInfo>();
    a.innerDiagnosticInfo->symbolicId = 3;
    DiagnosticInfo b = a;
    b.innerDiagnosticInfo = std::make_shared<DiagnosticInfo>(*a.innerDiagnosticInfo);
    EXPECT_EQ(a, b);
    b.innerDiagnosticInfo->symbolicId = 4;
    EXPECT_NE(a, b);
    b.innerDiagnosticInfo.reset();
    EXPECT_NE(a, b);

    // An absent status is Good; a present Bad one is not.
    DataValue good;
    DataValue explicitGood;
    explicitGood.status = status::Good;
    EXPECT_EQ(good, explicitGood);
    explicitGood.status = status::BadNodeIdUnknown;
    EXPECT_NE(good, explicitGood);
}

TEST(VariantValues, NumbersAreHeldOneWayPerType) {
    // Whatever integer the caller passes, the value is held as the type's
    // widened alternative, so it equals what the decoder produces.
    EXPECT_TRUE(std::holds_alternative<std::uint64_t>(Variant::Scalar(BuiltinType::UInt16, std::int64_t{3}).values[0]));
    EXPECT_TRUE(std::holds_alternative<std::int64_t>(Variant::Scalar(BuiltinType::Int16, std::uint64_t{3}).values[0]));
    EXPECT_TRUE(std::holds_alternative<double>(Variant::Scalar(BuiltinType::Float, std::int64_t{3}).values[0]));
    EXPECT_TRUE(std::holds_alternative<bool>(Variant::Scalar(BuiltinType::Boolean, std::int64_t{1}).values[0]));
    EXPECT_EQ(Variant::Array(BuiltinType::Int32, {std::uint64_t{7}, 8.0}),
              Variant::Array(BuiltinType::Int32, {std::int64_t{7}, std::int64_t{8}}));
    // A value the type cannot hold exactly is not quietly changed.
    EXPECT_TRUE(std::holds_alternative<std::int64_t>(Variant::Scalar(BuiltinType::UInt32, std::int64_t{-1}).values[0]));
    EXPECT_TRUE(std::holds_alternative<double>(Variant::Scalar(BuiltinType::Int32, 2.5).values[0]));
    EXPECT_TRUE(std::holds_alternative<std::int64_t>(Variant::Scalar(BuiltinType::Boolean, std::int64_t{2}).values[0]));

    const Variant strings = Variant::StringArray({"a", "b"});
    EXPECT_TRUE(strings.isArray);
    EXPECT_EQ(strings, Variant::Array(BuiltinType::String, {std::string("a"), std::string("b")}));
}

TEST(Clock, NowCountsFrom1601InHundredNanoseconds) {
    // 11644473600 s lie between 1601-01-01 and 1970-01-01.
    const std::int64_t unixSeconds = static_cast<std::int64_t>(std::time(nullptr));
    const DateTime now = Now();
    EXPECT_NEAR(static_cast<double>(now / 10000000 - 11644473600LL), static_cast<double>(unixSeconds), 2.0);
    EXPECT_LE(now, Now());
}

}  // namespace
