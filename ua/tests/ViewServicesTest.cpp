// The view and attribute services as a client meets them: encoded requests
// in, encoded responses out, with continuation points, browse paths, limits
// and faults.

#include "UaTestSupport.h"

#include "AttributeServices.h"
#include "Namespace0.h"
#include "ViewServices.h"
#include "ua/Binary.h"

#include "model/VOKTagKinds.h"

namespace {

using namespace ua;
using Bytes = std::vector<std::uint8_t>;

struct Response {
    std::uint32_t type = 0;
    StatusCode serviceResult = status::Good;
    Bytes bytes;
    std::size_t bodyAt = 0;
};

class ServicesTest : public uatest::AddressSpaceFixture {
protected:
    void SetUp() override {
        AddressSpaceFixture::SetUp();
        RegisterViewServices(table_, *space_);
        RegisterAttributeServices(table_, *space_);
        channel_ = std::make_shared<uatest::RecordingChannel>();
    }

    // Runs the request of that type with the body write() makes; the
    // response's reader stands after its header.
    Response Call(std::uint32_t type, const std::function<void(Writer&)>& write) {
        const ServiceTable::Entry* entry = table_.Find(type);
        EXPECT_NE(entry, nullptr);
        EXPECT_EQ(entry->needs, ServiceTable::Needs::ActivatedSession);
        Writer body;
        write(body);
        const Bytes bytes = body.Take();
        Reader reader(bytes);
        ServiceCall call;
        call.channel = channel_;
        call.requestId = ++requestId_;
        call.requestType = type;
        call.header.requestHandle = requestId_ + 1000;
        call.session = session_;
        channel_->sent.clear();
        entry->handler(call, reader);
        EXPECT_EQ(channel_->sent.size(), 1u);
        Response out;
        if (channel_->sent.empty()) return out;
        out.bytes = channel_->sent[0];
        Reader r(out.bytes);
        out.type = r.NodeIdValue().numeric;
        const ResponseHeader header = ReadResponseHeader(r);
        EXPECT_EQ(header.requestHandle, requestId_ + 1000);
        out.serviceResult = header.serviceResult;
        out.bodyAt = r.Position();
        return out;
    }

    static Reader BodyOf(const Response& response) {
        Reader r(response.bytes);
        r.Skip(response.bodyAt);
        return r;
    }

    struct Ref {
        NodeId type;
        bool forward;
        NodeId node;
        QualifiedName name;
        std::int32_t nodeClass;
    };
    struct BrowseResultRead {
        StatusCode status;
        ByteString point;
        std::vector<Ref> refs;
    };

    static std::vector<BrowseResultRead> ReadBrowseResults(Reader r) {
        auto results = r.Array<BrowseResultRead>([](Reader& in) {
            BrowseResultRead result;
            result.status = in.StatusCodeValue();
            result.point = in.ByteStringValue();
            result.refs = in.Array<Ref>([](Reader& e) {
                Ref ref;
                ref.type = e.NodeIdValue();
                ref.forward = e.Boolean();
                ref.node = e.ExpandedNodeIdValue().node;
                ref.name = e.QualifiedNameValue();
                e.LocalizedTextValue();
                ref.nodeClass = e.Int32();
                e.ExpandedNodeIdValue();
                return ref;
            });
            return result;
        });
        r.Array<DiagnosticInfo>([](Reader& in) { return in.DiagnosticInfoValue(); });
        r.ExpectEnd();
        return results;
    }

    static void NullView(Writer& w) {
        w.NodeIdValue(NodeId{});
        w.DateTimeValue(0);
        w.UInt32(0);
    }

    static void BrowseDescriptionOf(Writer& w, const NodeId& node, std::uint32_t resultMask = 63) {
        w.NodeIdValue(node);
        w.UInt32(0);
        w.NodeIdValue(NodeId{});
        w.Boolean(true);
        w.UInt32(0);
        w.UInt32(resultMask);
    }

    std::vector<BrowseResultRead> BrowseNodes(const std::vector<NodeId>& nodes, std::uint32_t max,
                                              std::uint32_t resultMask = 63) {
        const Response response = Call(encoding::BrowseRequest, [&](Writer& w) {
            NullView(w);
            w.UInt32(max);
            w.Int32(static_cast<std::int32_t>(nodes.size()));
            for (const NodeId& node : nodes) BrowseDescriptionOf(w, node, resultMask);
        });
        EXPECT_EQ(response.type, encoding::ResponseOf(encoding::BrowseRequest));
        return ReadBrowseResults(BodyOf(response));
    }

    std::vector<BrowseResultRead> Next(bool release, const std::vector<ByteString>& points) {
        const Response response = Call(encoding::BrowseNextRequest, [&](Writer& w) {
            w.Boolean(release);
            w.Array(points, [](Writer& o, const ByteString& p) { o.ByteStringValue(p); });
        });
        EXPECT_EQ(response.type, encoding::ResponseOf(encoding::BrowseNextRequest));
        return ReadBrowseResults(BodyOf(response));
    }

    // The status a ServiceFault answered with, or Good when the response is another.
    static StatusCode FaultOf(const Response& response) {
        return response.type == encoding::ServiceFault ? response.serviceResult : status::Good;
    }

    ServiceTable table_;
    std::shared_ptr<uatest::RecordingChannel> channel_;
    std::uint32_t requestId_ = 0;
};

TEST_F(ServicesTest, BrowseOneReferenceAtATimeWalksTheWholeListThroughContinuationPoints) {
    const auto whole = BrowseNodes({Ns1("Dev1")}, 0);
    ASSERT_EQ(whole.size(), 1u);
    ASSERT_EQ(whole[0].status, status::Good);
    EXPECT_TRUE(whole[0].point.empty());
    ASSERT_GT(whole[0].refs.size(), 3u);

    auto page = BrowseNodes({Ns1("Dev1")}, 1);
    ASSERT_EQ(page[0].refs.size(), 1u);
    std::vector<Ref> walked = page[0].refs;
    ByteString point = page[0].point;
    while (!point.empty()) {
        const auto next = Next(false, {point});
        ASSERT_EQ(next.size(), 1u);
        ASSERT_EQ(next[0].status, status::Good);
        ASSERT_EQ(next[0].refs.size(), 1u);
        walked.push_back(next[0].refs[0]);
        point = next[0].point;
        ASSERT_LE(walked.size(), whole[0].refs.size());
    }
    ASSERT_EQ(walked.size(), whole[0].refs.size());
    for (std::size_t i = 0; i < walked.size(); ++i) {
        EXPECT_EQ(walked[i].node, whole[0].refs[i].node);
        EXPECT_EQ(walked[i].name, whole[0].refs[i].name);
    }
    // A finished point is gone.
    const auto spent = Next(false, {page[0].point});
    EXPECT_EQ(spent[0].status, status::BadContinuationPointInvalid);
}

TEST_F(ServicesTest, TheResultMaskLeavesOutWhatTheClientDidNotAskFor) {
    const auto bare = BrowseNodes({Ns1("Dev1")}, 0, 0);
    const auto named = BrowseNodes({Ns1("Dev1")}, 0, 8 | 4);  // browse name and node class
    ASSERT_EQ(bare[0].refs.size(), named[0].refs.size());
    ASSERT_FALSE(bare[0].refs.empty());
    for (std::size_t i = 0; i < bare[0].refs.size(); ++i) {
        // The target is always there; the rest only when asked for.
        EXPECT_EQ(bare[0].refs[i].node, named[0].refs[i].node);
        EXPECT_TRUE(bare[0].refs[i].type.IsNull());
        EXPECT_TRUE(bare[0].refs[i].name.name.empty());
        EXPECT_EQ(bare[0].refs[i].nodeClass, 0);
        EXPECT_FALSE(named[0].refs[i].name.name.empty());
        EXPECT_NE(named[0].refs[i].nodeClass, 0);
        EXPECT_TRUE(named[0].refs[i].type.IsNull());
    }
}

TEST_F(ServicesTest, ContinuationPointsAreReleasedOnRequestAndLimitedPerSession) {
    std::vector<ByteString> points;
    for (int i = 0; i < limits::kMaxBrowseContinuationPoints; ++i) {
        const auto page = BrowseNodes({Ns1("Dev1")}, 1);
        ASSERT_EQ(page[0].status, status::Good);
        ASSERT_FALSE(page[0].point.empty());
        points.push_back(page[0].point);
    }
    // Every point taken: the next browse that needs one is told so.
    const auto refused = BrowseNodes({Ns1("Dev1"), NodeId(0, id::RootFolder)}, 1);
    EXPECT_EQ(refused[0].status, status::BadNoContinuationPoints);
    EXPECT_TRUE(refused[0].refs.empty());
    EXPECT_EQ(refused[1].status, status::BadNoContinuationPoints);

    const auto released = Next(true, {points[0], points[1], ByteString("nonsense")});
    ASSERT_EQ(released.size(), 3u);
    EXPECT_EQ(released[0].status, status::Good);
    EXPECT_TRUE(released[0].refs.empty());
    EXPECT_EQ(released[2].status, status::BadContinuationPointInvalid);
    EXPECT_EQ(Next(false, {points[0]})[0].status, status::BadContinuationPointInvalid);
    EXPECT_EQ(BrowseNodes({Ns1("Dev1")}, 1)[0].status, status::Good);
    // The others still work.
    EXPECT_EQ(Next(false, {points[5]})[0].status, status::Good);
}

TEST_F(ServicesTest, BrowseRefusesViewsEmptyAndOversizedRequests) {
    Response view = Call(encoding::BrowseRequest, [](Writer& w) {
        w.NodeIdValue(NodeId(0, 87u));
        w.DateTimeValue(0);
        w.UInt32(0);
        w.UInt32(0);
        w.Int32(1);
        BrowseDescriptionOf(w, NodeId(0, 84u));
    });
    EXPECT_EQ(FaultOf(view), status::BadViewIdUnknown);
    Response empty = Call(encoding::BrowseRequest, [](Writer& w) {
        NullView(w);
        w.UInt32(0);
        w.Int32(0);
    });
    EXPECT_EQ(FaultOf(empty), status::BadNothingToDo);
    Response many = Call(encoding::BrowseRequest, [](Writer& w) {
        NullView(w);
        w.UInt32(0);
        w.Int32(static_cast<std::int32_t>(limits::kMaxNodesPerBrowse + 1));
        for (std::uint32_t i = 0; i <= limits::kMaxNodesPerBrowse; ++i) BrowseDescriptionOf(w, NodeId(0, 84u));
    });
    EXPECT_EQ(FaultOf(many), status::BadTooManyOperations);
    // A count larger than the bytes could hold is a decoding error, not an allocation.
    Response lying = Call(encoding::BrowseRequest, [](Writer& w) {
        NullView(w);
        w.UInt32(0);
        w.Int32(50000000);
    });
    EXPECT_TRUE(IsBad(FaultOf(lying)));
}

TEST_F(ServicesTest, TranslatePathsFromObjectsToATagAndReportMisses) {
    struct Element {
        NodeId type;
        bool inverse;
        QualifiedName name;
    };
    auto translate = [&](const NodeId& start, const std::vector<Element>& path) {
        Response response = Call(encoding::TranslateBrowsePathsToNodeIdsRequest, [&](Writer& w) {
            w.Int32(1);
            w.NodeIdValue(start);
            w.Array(path, [](Writer& o, const Element& e) {
                o.NodeIdValue(e.type);
                o.Boolean(e.inverse);
                o.Boolean(true);
                o.QualifiedNameValue(e.name);
            });
        });
        Reader r = BodyOf(response);
        EXPECT_EQ(r.Int32(), 1);
        const StatusCode code = r.StatusCodeValue();
        std::vector<std::pair<NodeId, std::uint32_t>> targets = r.Array<std::pair<NodeId, std::uint32_t>>(
            [](Reader& in) {
                const NodeId id = in.ExpandedNodeIdValue().node;
                return std::make_pair(id, in.UInt32());
            });
        return std::make_pair(code, targets);
    };
    const NodeId hierarchical(0, id::HierarchicalReferences);
    const auto found = translate(NodeId(0, id::RootFolder), {{hierarchical, false, {0, "Objects"}},
                                                            {hierarchical, false, {1, "Dev1"}},
                                                            {hierarchical, false, {1, "Level"}}});
    EXPECT_EQ(found.first, status::Good);
    ASSERT_EQ(found.second.size(), 1u);
    EXPECT_EQ(found.second[0].first, Ns1("Dev1.Level"));
    EXPECT_EQ(found.second[0].second, 0xFFFFFFFFu);
    // Up again by the inverse reference.
    const auto up = translate(Ns1("Dev1.Level"), {{NodeId(0, id::HasComponent), true, {1, "Dev1"}}});
    EXPECT_EQ(up.first, status::Good);
    ASSERT_EQ(up.second.size(), 1u);
    EXPECT_EQ(up.second[0].first, Ns1("Dev1"));
    // The name's namespace counts; an Organizes path does not reach a component.
    EXPECT_EQ(translate(Ns1("Dev1"), {{hierarchical, false, {0, "Level"}}}).first, status::BadNoMatch);
    EXPECT_EQ(translate(Ns1("Dev1"), {{NodeId(0, id::Organizes), false, {1, "Level"}}}).first, status::BadNoMatch);
    EXPECT_EQ(translate(Ns1("NoDevice"), {{hierarchical, false, {1, "Level"}}}).first, status::BadNodeIdUnknown);
    EXPECT_EQ(translate(Ns1("Dev1"), {}).first, status::BadNothingToDo);
    EXPECT_EQ(translate(Ns1("Dev1"), {{hierarchical, false, {1, ""}}}).first, status::BadBrowseNameInvalid);
}

TEST_F(ServicesTest, RegisterNodesEchoesAndUnregisterAnswersEmpty) {
    const std::vector<NodeId> nodes{Ns1("Dev1.Level"), NodeId(0, 2253u)};
    Response registered = Call(encoding::RegisterNodesRequest,
                               [&](Writer& w) { w.Array(nodes, [](Writer& o, const NodeId& n) { o.NodeIdValue(n); }); });
    Reader r = BodyOf(registered);
    EXPECT_EQ(r.Array<NodeId>([](Reader& in) { return in.NodeIdValue(); }), nodes);
    r.ExpectEnd();
    Response unregistered = Call(encoding::UnregisterNodesRequest,
                                 [&](Writer& w) { w.Array(nodes, [](Writer& o, const NodeId& n) { o.NodeIdValue(n); }); });
    EXPECT_EQ(unregistered.type, encoding::ResponseOf(encoding::UnregisterNodesRequest));
    BodyOf(unregistered).ExpectEnd();
}

TEST_F(ServicesTest, ReadAndWriteGoThroughTheWireForm) {
    const std::string interval =
        device_->GetSlotTag(VOKTagKinds::FirstSlot(VOKTagKinds::kSampleInterval))->GetItemID();
    Response wrote = Call(encoding::WriteRequest, [&](Writer& w) {
        w.Int32(2);
        w.NodeIdValue(Ns1(interval));
        w.UInt32(13);
        w.NullString();
        DataValue value;
        value.value = Variant::Scalar(BuiltinType::Float, 45.0);
        w.DataValueValue(value);
        w.NodeIdValue(Ns1("Dev1.Label"));
        w.UInt32(13);
        w.NullString();
        value.value = Variant::String("no");
        w.DataValueValue(value);
    });
    Reader wr = BodyOf(wrote);
    EXPECT_EQ(wr.Array<StatusCode>([](Reader& in) { return in.StatusCodeValue(); }),
              (std::vector<StatusCode>{status::Good, status::BadNotWritable}));

    Response read = Call(encoding::ReadRequest, [&](Writer& w) {
        w.Double(0);
        w.UInt32(static_cast<std::uint32_t>(TimestampsToReturn::Neither));
        w.Int32(2);
        w.NodeIdValue(Ns1(interval));
        w.UInt32(13);
        w.NullString();
        w.QualifiedNameValue({});
        w.NodeIdValue(Ns1("Dev1.Level"));
        w.UInt32(4);
        w.NullString();
        w.QualifiedNameValue({});
    });
    Reader rr = BodyOf(read);
    const auto values = rr.Array<DataValue>([](Reader& in) { return in.DataValueValue(); });
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].value, Variant::Double(45.0));
    EXPECT_FALSE(values[0].sourceTimestamp.has_value());
    EXPECT_EQ(values[1].value, Variant::LocalizedTextOf({"", "Level"}));

    auto readWith = [&](double maxAge, std::uint32_t stamps, std::int32_t count) {
        return Call(encoding::ReadRequest, [&](Writer& w) {
            w.Double(maxAge);
            w.UInt32(stamps);
            w.Int32(count);
            for (std::int32_t i = 0; i < count; ++i) {
                w.NodeIdValue(NodeId(0, 2259u));
                w.UInt32(13);
                w.NullString();
                w.QualifiedNameValue({});
            }
        });
    };
    EXPECT_EQ(FaultOf(readWith(-1, 0, 1)), status::BadMaxAgeInvalid);
    EXPECT_EQ(FaultOf(readWith(0, 4, 1)), status::BadTimestampsToReturnInvalid);
    EXPECT_EQ(FaultOf(readWith(0, 0, 0)), status::BadNothingToDo);
    EXPECT_EQ(FaultOf(readWith(0, 0, static_cast<std::int32_t>(limits::kMaxNodesPerRead) + 1)),
              status::BadTooManyOperations);
    EXPECT_EQ(FaultOf(readWith(0, 0, 3)), status::Good);
}

}  // namespace

namespace {

TEST_F(ServicesTest, ACallThatReachesTheServicesWithoutASessionIsRefused) {
    for (std::uint32_t type : {encoding::BrowseRequest, encoding::BrowseNextRequest, encoding::ReadRequest,
                               encoding::WriteRequest, encoding::TranslateBrowsePathsToNodeIdsRequest}) {
        const Bytes empty;
        Reader reader(empty);
        ServiceCall call;
        call.channel = channel_;
        call.requestType = type;
        channel_->sent.clear();
        table_.Find(type)->handler(call, reader);
        ASSERT_EQ(channel_->sent.size(), 1u);
        Reader r(channel_->sent[0]);
        EXPECT_EQ(r.NodeIdValue(), NodeId(0, encoding::ServiceFault));
        EXPECT_EQ(ReadResponseHeader(r).serviceResult, status::BadSessionNotActivated);
    }
}

}  // namespace
