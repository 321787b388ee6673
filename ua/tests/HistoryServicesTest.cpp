// HistoryRead as a client meets it: encoded requests in, encoded responses
// out, over a real history database in a temporary folder that the test
// fills with the samples and events of the fixture's device "Dev1".

#include "UaTestSupport.h"

#include "AttributeServices.h"
#include "HistoryServices.h"
#include "Namespace0.h"
#include "history/HistoryStore.h"
#include "testsupport/TempDir.h"
#include "ua/Binary.h"

#include <algorithm>
#include <limits>

namespace {

using namespace ua;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kT0 = 1700000000000;  // ms, the first sample's end
constexpr DateTime kUnixEpoch = 116444736000000000LL;
DateTime At(std::int64_t ms) { return kUnixEpoch + ms * 10000; }
DateTime AtSecond(int second) { return At(kT0 + second * 1000LL); }

struct NodeRead {
    StatusCode status = status::Good;
    ByteString point;
    std::vector<DataValue> values;
    bool hasData = false;
};

struct Raw {
    bool modified = false;
    DateTime start = 0;
    DateTime end = 0;
    std::uint32_t count = 0;
};

class HistoryServicesTest : public uatest::AddressSpaceFixture {
protected:
    void SetUp() override {
        AddressSpaceFixture::SetUp();
        RegisterHistoryServices(table_, *space_);
        RegisterAttributeServices(table_, *space_);
        channel_ = std::make_shared<uatest::RecordingChannel>();
        bin0_ = Ns1(device_->GetSlotTag(VOKDevice::kSlotCumulativeRaw)->GetItemID());
    }

    void TearDown() override {
        history::SetProgramHistory(nullptr);
        if (store_) store_->Stop();
        AddressSpaceFixture::TearDown();
    }

    // A sample of Dev1 i seconds after kT0: bin 0 counts 3i, bin 1 counts i.
    static SampleRecord Sample(int i, std::uint8_t flags = SampleRecord::kFlagsAllWell) {
        SampleRecord sample;
        sample.timeMs = kT0 + i * 1000LL;
        sample.intervalSeconds = 1;
        sample.device = "Dev1";
        sample.port = 3;
        sample.address = 0x80;
        sample.flow = 60;  // 1 ml a second: normalised = raw
        sample.binSizes = {0.3, 0.5};
        sample.cumulativeRaw = {3 * i, i};
        sample.counterFlags = flags;
        return sample;
    }

    static DeviceEvent Event(std::int64_t timeMs, DeviceEventKind kind, std::int32_t commStatus) {
        DeviceEvent event;
        event.timeMs = timeMs;
        event.kind = kind;
        event.device = "Dev1";
        event.commStatus = commStatus;
        return event;
    }

    // Starts the program's history with these samples and events written.
    void Keep(const std::vector<SampleRecord>& samples, const std::vector<DeviceEvent>& events = {}) {
        history::HistoryOptions options;
        options.path = dir_.File("history.db");
        options.retentionDays = 0;  // the samples are from 2023
        store_ = std::make_unique<history::HistoryStore>(options);
        std::string error;
        ASSERT_TRUE(store_->Start(error)) << error;
        for (const SampleRecord& sample : samples) store_->OnSample(sample);
        for (const DeviceEvent& event : events) store_->OnDeviceEvent(event);
        ASSERT_TRUE(store_->Flush());
        history::SetProgramHistory(store_.get());
    }

    void KeepSeconds(int count) {
        std::vector<SampleRecord> samples;
        for (int i = 0; i < count; ++i) samples.push_back(Sample(i));
        Keep(samples);
    }

    struct Response {
        std::uint32_t type = 0;
        StatusCode serviceResult = status::Good;
        std::vector<NodeRead> nodes;
    };

    Response Call(const ExtensionObject& details, std::uint32_t timestamps, bool release,
                  const std::vector<std::pair<NodeId, ByteString>>& nodes) {
        Writer body;
        body.ExtensionObjectValue(details);
        body.UInt32(timestamps);
        body.Boolean(release);
        body.Int32(static_cast<std::int32_t>(nodes.size()));
        for (const auto& [node, point] : nodes) {
            body.NodeIdValue(node);
            body.String("");
            body.QualifiedNameValue(QualifiedName{});
            body.ByteStringValue(point);
        }
        const Bytes bytes = body.Take();
        Reader reader(bytes);
        ServiceCall call;
        call.channel = channel_;
        call.requestId = ++requestId_;
        call.requestType = encoding::HistoryReadRequest;
        call.header.requestHandle = requestId_ + 1000;
        call.session = session_;
        channel_->sent.clear();
        const ServiceTable::Entry* entry = table_.Find(encoding::HistoryReadRequest);
        EXPECT_NE(entry, nullptr);
        if (entry == nullptr) return {};
        entry->handler(call, reader);
        EXPECT_EQ(channel_->sent.size(), 1u);
        Response out;
        if (channel_->sent.empty()) return out;
        Reader r(channel_->sent[0]);
        out.type = r.NodeIdValue().numeric;
        const ResponseHeader header = ReadResponseHeader(r);
        EXPECT_EQ(header.requestHandle, requestId_ + 1000);
        out.serviceResult = header.serviceResult;
        if (out.type != encoding::ResponseOf(encoding::HistoryReadRequest)) return out;
        out.nodes = r.Array<NodeRead>([](Reader& in) {
            NodeRead read;
            read.status = in.StatusCodeValue();
            read.point = in.ByteStringValue();
            const ExtensionObject data = in.ExtensionObjectValue();
            if (data.encoding == ExtensionObject::Encoding::Binary) {
                EXPECT_EQ(data.typeId, NodeId(0, encoding::HistoryData));
                read.hasData = true;
                const Bytes dataBytes(data.body.begin(), data.body.end());
                Reader values(dataBytes);
                read.values = values.Array<DataValue>([](Reader& v) { return v.DataValueValue(); });
                values.ExpectEnd();
            }
            return read;
        });
        r.Array<DiagnosticInfo>([](Reader& in) { return in.DiagnosticInfoValue(); });
        r.ExpectEnd();
        return out;
    }

    static ExtensionObject RawDetails(const Raw& raw) {
        return EncodeExtensionObject(encoding::ReadRawModifiedDetails, [&](Writer& w) {
            w.Boolean(raw.modified);
            w.DateTimeValue(raw.start);
            w.DateTimeValue(raw.end);
            w.UInt32(raw.count);
            w.Boolean(false);
        });
    }

    NodeRead ReadOne(const NodeId& node, const Raw& raw, const ByteString& point = {},
                     TimestampsToReturn stamps = TimestampsToReturn::Both) {
        const Response response = Call(RawDetails(raw), static_cast<std::uint32_t>(stamps), false, {{node, point}});
        EXPECT_EQ(response.type, encoding::ResponseOf(encoding::HistoryReadRequest));
        EXPECT_EQ(response.nodes.size(), 1u);
        return response.nodes.empty() ? NodeRead{status::BadUnexpectedError, {}, {}, false} : response.nodes[0];
    }

    // Every page of a read, following its continuation points to the end.
    std::vector<NodeRead> ReadAll(const NodeId& node, const Raw& raw) {
        std::vector<NodeRead> pages{ReadOne(node, raw)};
        while (!pages.back().point.empty() && pages.size() < 100) pages.push_back(ReadOne(node, raw, pages.back().point));
        return pages;
    }

    static std::int64_t Int(const DataValue& value) {
        EXPECT_TRUE(value.value.has_value());
        if (!value.value || value.value->values.empty()) return -1;
        const auto* number = std::get_if<std::int64_t>(&value.value->values[0]);
        EXPECT_NE(number, nullptr);
        return number != nullptr ? *number : -1;
    }

    NodeId SlotNode(std::int32_t slot) { return Ns1(device_->GetSlotTag(slot)->GetItemID()); }

    TempDir dir_;
    std::unique_ptr<history::HistoryStore> store_;
    ServiceTable table_;
    std::shared_ptr<uatest::RecordingChannel> channel_;
    std::uint32_t requestId_ = 0;
    NodeId bin0_;
};

TEST_F(HistoryServicesTest, ARangeGivesItsSamplesOnceInTimeOrderStartIncludedEndNot) {
    KeepSeconds(30);
    const NodeRead read = ReadOne(bin0_, Raw{false, AtSecond(10), AtSecond(20), 0});
    ASSERT_EQ(read.status, status::Good);
    EXPECT_TRUE(read.point.empty());
    ASSERT_EQ(read.values.size(), 10u);
    for (int k = 0; k < 10; ++k) {
        const DataValue& value = read.values[static_cast<std::size_t>(k)];
        EXPECT_EQ(value.Status(), status::Good);
        EXPECT_EQ(value.value->type, BuiltinType::Int32);
        EXPECT_EQ(Int(value), 3 * (10 + k));
        EXPECT_EQ(value.sourceTimestamp, AtSecond(10 + k));
        EXPECT_EQ(value.serverTimestamp, AtSecond(10 + k));
    }
    // A start between two samples begins with the next one.
    const NodeRead between = ReadOne(bin0_, Raw{false, AtSecond(10) + 1, AtSecond(13), 0});
    ASSERT_EQ(between.values.size(), 2u);
    EXPECT_EQ(Int(between.values[0]), 33);
}

TEST_F(HistoryServicesTest, AnEndBeforeTheStartReadsBackwardsFromTheStart) {
    KeepSeconds(30);
    const NodeRead read = ReadOne(bin0_, Raw{false, AtSecond(20), AtSecond(10), 0});
    ASSERT_EQ(read.status, status::Good);
    ASSERT_EQ(read.values.size(), 10u);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(Int(read.values[static_cast<std::size_t>(k)]), 3 * (20 - k));
    // Only an end and a count: that many values back from the end, no continuation.
    const NodeRead last = ReadOne(bin0_, Raw{false, 0, AtSecond(29), 4});
    ASSERT_EQ(last.values.size(), 4u);
    EXPECT_TRUE(last.point.empty());
    EXPECT_EQ(Int(last.values[0]), 87);
    EXPECT_EQ(Int(last.values[3]), 78);
    // Only a start and a count: that many forwards.
    const NodeRead first = ReadOne(bin0_, Raw{false, AtSecond(5), 0, 3});
    ASSERT_EQ(first.values.size(), 3u);
    EXPECT_TRUE(first.point.empty());
    EXPECT_EQ(Int(first.values[2]), 21);
    // Equal times: the one value at exactly that time.
    const NodeRead one = ReadOne(bin0_, Raw{false, AtSecond(7), AtSecond(7), 0});
    ASSERT_EQ(one.values.size(), 1u);
    EXPECT_EQ(Int(one.values[0]), 21);
}

TEST_F(HistoryServicesTest, ContinuationPointsPageThroughTheWholeRangeExactlyOnce) {
    const int count = static_cast<int>(limits::kMaxHistoryValuesPerNode) * 2 + 345;
    KeepSeconds(count);
    for (const bool backward : {false, true}) {
        const Raw raw = backward ? Raw{false, AtSecond(count), AtSecond(-1), 0} : Raw{false, AtSecond(0), AtSecond(count), 0};
        const std::vector<NodeRead> pages = ReadAll(bin0_, raw);
        ASSERT_EQ(pages.size(), 3u);
        EXPECT_EQ(pages[0].values.size(), limits::kMaxHistoryValuesPerNode);
        EXPECT_FALSE(pages[0].point.empty());
        EXPECT_NE(pages[0].point, pages[1].point);
        EXPECT_TRUE(pages[2].point.empty());
        std::vector<std::int64_t> seen;
        for (const NodeRead& page : pages) {
            EXPECT_EQ(page.status, status::Good);
            for (const DataValue& value : page.values) seen.push_back(Int(value));
        }
        ASSERT_EQ(seen.size(), static_cast<std::size_t>(count));
        for (int k = 0; k < count; ++k)
            EXPECT_EQ(seen[static_cast<std::size_t>(k)], 3 * (backward ? count - 1 - k : k)) << k;
    }
    // The client's own count per call pages the same way.
    const std::vector<NodeRead> small = ReadAll(bin0_, Raw{false, AtSecond(0), AtSecond(10), 4});
    ASSERT_EQ(small.size(), 3u);
    EXPECT_EQ(small[2].values.size(), 2u);
    EXPECT_EQ(Int(small[2].values[1]), 27);
}

TEST_F(HistoryServicesTest, ACommunicationLossShowsAsABadValueAtItsTimeAndCommStatusAsItsValue) {
    std::vector<SampleRecord> samples;
    for (int i = 0; i < 10; ++i)
        if (i < 4 || i > 6) samples.push_back(Sample(i));
    Keep(samples, {Event(kT0 + 4500, DeviceEventKind::CommLost, 1), Event(kT0 + 6500, DeviceEventKind::CommRestored, 0)});

    const NodeRead counts = ReadOne(bin0_, Raw{false, AtSecond(0), AtSecond(10), 0});
    ASSERT_EQ(counts.values.size(), 8u);  // 7 samples, the loss
    EXPECT_EQ(Int(counts.values[3]), 9);
    EXPECT_EQ(counts.values[4].Status(), status::BadNoCommunication);
    EXPECT_FALSE(counts.values[4].value.has_value());
    EXPECT_EQ(counts.values[4].sourceTimestamp, At(kT0 + 4500));
    EXPECT_EQ(Int(counts.values[5]), 21);

    const NodeRead comm = ReadOne(SlotNode(VOKDevice::kSlotCommStatus), Raw{false, AtSecond(0), AtSecond(10), 0});
    ASSERT_EQ(comm.values.size(), 9u);  // 7 samples, the loss, the return
    EXPECT_EQ(comm.values[4].Status(), status::Good);
    EXPECT_EQ(Int(comm.values[4]), 1);
    EXPECT_EQ(comm.values[5].sourceTimestamp, At(kT0 + 6500));
    EXPECT_EQ(Int(comm.values[5]), 0);
}

TEST_F(HistoryServicesTest, APageBoundaryInsideOneMillisecondLosesAndRepeatsNothing) {
    // A loss stamped the same millisecond as a sample, split by a page of one.
    Keep({Sample(0), Sample(1), Sample(2)}, {Event(kT0 + 1000, DeviceEventKind::CommLost, 1)});
    for (const bool backward : {false, true}) {
        const Raw raw = backward ? Raw{false, AtSecond(3), AtSecond(-1), 1} : Raw{false, AtSecond(0), AtSecond(3), 1};
        const std::vector<NodeRead> pages = ReadAll(bin0_, raw);
        ASSERT_EQ(pages.size(), 4u);
        std::vector<StatusCode> statuses;
        for (const NodeRead& page : pages) {
            ASSERT_EQ(page.values.size(), 1u);
            statuses.push_back(page.values[0].Status());
        }
        const std::vector<StatusCode> forward{status::Good, status::Good, status::BadNoCommunication, status::Good};
        std::vector<StatusCode> expected = forward;
        if (backward) std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(statuses, expected);
    }
}

TEST_F(HistoryServicesTest, ContinuationPointsAreReleasedBoundedAndCheckedAgainstTheirNode) {
    KeepSeconds(50);
    const Raw raw{false, AtSecond(0), AtSecond(50), 2};
    const NodeRead first = ReadOne(bin0_, raw);
    ASSERT_FALSE(first.point.empty());
    // Another node with this node's point, and a point the server never gave.
    EXPECT_EQ(ReadOne(SlotNode(VOKDevice::kSlotTotalRaw), raw, first.point).status, status::BadContinuationPointInvalid);
    EXPECT_EQ(ReadOne(bin0_, raw, ByteString("not a point")).status, status::BadContinuationPointInvalid);

    const Response released = Call(RawDetails(raw), 2, true, {{bin0_, first.point}});
    ASSERT_EQ(released.nodes.size(), 1u);
    EXPECT_EQ(released.nodes[0].status, status::Good);
    EXPECT_FALSE(released.nodes[0].hasData);
    EXPECT_EQ(ReadOne(bin0_, raw, first.point).status, status::BadContinuationPointInvalid);

    std::vector<ByteString> points;
    for (int i = 0; i <= limits::kMaxHistoryContinuationPoints; ++i) points.push_back(ReadOne(bin0_, raw).point);
    // The oldest went to make room for the last; the others still work.
    EXPECT_EQ(ReadOne(bin0_, raw, points.front()).status, status::BadContinuationPointInvalid);
    const NodeRead next = ReadOne(bin0_, raw, points.back());
    EXPECT_EQ(next.status, status::Good);
    ASSERT_EQ(next.values.size(), 2u);
    EXPECT_EQ(Int(next.values[0]), 6);
}

TEST_F(HistoryServicesTest, OtherDetailsAndUnreadableNodesAreRefusedPerNode) {
    KeepSeconds(5);
    const Raw raw{false, AtSecond(0), AtSecond(5), 0};
    const ExtensionObject processed = EncodeExtensionObject(encoding::ReadProcessedDetails, [](Writer& w) {
        w.DateTimeValue(AtSecond(0));
        w.DateTimeValue(AtSecond(5));
        w.Double(1000);
        w.Int32(0);
    });
    Response response = Call(processed, 2, false, {{bin0_, {}}, {Ns1("Dev1.Level"), {}}});
    ASSERT_EQ(response.nodes.size(), 2u);
    for (const NodeRead& node : response.nodes) EXPECT_EQ(node.status, status::BadHistoryOperationUnsupported);
    EXPECT_EQ(ReadOne(bin0_, Raw{true, AtSecond(0), AtSecond(5), 0}).status, status::BadHistoryOperationUnsupported);

    ExtensionObject strange = RawDetails(raw);
    strange.typeId = NodeId(0, 9999u);
    response = Call(strange, 2, false, {{bin0_, {}}});
    EXPECT_EQ(response.nodes.at(0).status, status::BadHistoryOperationInvalid);
    ExtensionObject cut = RawDetails(raw);
    cut.body.resize(5);
    response = Call(cut, 2, false, {{bin0_, {}}});
    EXPECT_EQ(response.nodes.at(0).status, status::BadHistoryOperationInvalid);

    // The operator tag and the bin sizes are not kept; the folder is no variable; one node is not there.
    response = Call(RawDetails(raw), 2, false,
                    {{Ns1("Dev1.Level"), {}}, {SlotNode(VOKDevice::kSlotBinSize), {}}, {Ns1("Dev1"), {}},
                     {Ns1("Dev1.NoSuchTag"), {}}, {bin0_, {}}});
    ASSERT_EQ(response.nodes.size(), 5u);
    EXPECT_EQ(response.nodes[0].status, status::BadHistoryOperationInvalid);
    EXPECT_EQ(response.nodes[1].status, status::BadHistoryOperationInvalid);
    EXPECT_EQ(response.nodes[2].status, status::BadHistoryOperationInvalid);
    EXPECT_EQ(response.nodes[3].status, status::BadNodeIdUnknown);
    EXPECT_EQ(response.nodes[4].status, status::Good);
    EXPECT_EQ(response.nodes[4].values.size(), 5u);

    // No range at all, or one end without a count.
    EXPECT_EQ(ReadOne(bin0_, Raw{false, 0, 0, 10}).status, status::BadInvalidTimestampArgument);
    EXPECT_EQ(ReadOne(bin0_, Raw{false, AtSecond(0), 0, 0}).status, status::BadInvalidTimestampArgument);
    // Nothing in the range.
    const NodeRead empty = ReadOne(bin0_, Raw{false, AtSecond(100), AtSecond(200), 0});
    EXPECT_EQ(empty.status, status::GoodNoData);
    EXPECT_TRUE(empty.values.empty());
}

TEST_F(HistoryServicesTest, TimestampsAreThoseAskedForAndNeitherIsRefused) {
    KeepSeconds(3);
    const Raw raw{false, AtSecond(0), AtSecond(3), 0};
    const NodeRead source = ReadOne(bin0_, raw, {}, TimestampsToReturn::Source);
    ASSERT_EQ(source.values.size(), 3u);
    EXPECT_TRUE(source.values[1].sourceTimestamp.has_value());
    EXPECT_FALSE(source.values[1].serverTimestamp.has_value());
    const NodeRead server = ReadOne(bin0_, raw, {}, TimestampsToReturn::Server);
    EXPECT_FALSE(server.values.at(1).sourceTimestamp.has_value());
    EXPECT_EQ(server.values.at(1).serverTimestamp, AtSecond(1));
    const Response neither = Call(RawDetails(raw), 3, false, {{bin0_, {}}});
    EXPECT_EQ(neither.type, encoding::ServiceFault);
    EXPECT_EQ(neither.serviceResult, status::BadTimestampsToReturnInvalid);
}

TEST_F(HistoryServicesTest, PastValuesHaveTheTypeOfTheTagsDataType) {
    std::vector<SampleRecord> samples{Sample(1), Sample(2, SampleRecord::kFlagsAllWell | 0x01)};
    Keep(samples);
    const Raw raw{false, AtSecond(0), AtSecond(3), 0};
    for (const std::int32_t slot : {VOKDevice::kSlotCumulativeRaw, VOKDevice::kSlotCumulativeNormalized,
                                    VOKDevice::kSlotCalibrationAlarm, VOKDevice::kSlotCommStatus,
                                    VOKDevice::kSlotFlowLevel}) {
        const NodeId node = SlotNode(slot);
        const DataValue type = AddressSpaceFixture::ReadOne(node, AttributeId::DataType);
        ASSERT_TRUE(type.value.has_value());
        const auto* dataType = std::get_if<NodeId>(&type.value->values.at(0));
        ASSERT_NE(dataType, nullptr);
        const NodeRead read = ReadOne(node, raw);
        ASSERT_EQ(read.values.size(), 2u) << slot;
        for (const DataValue& value : read.values)
            EXPECT_EQ(static_cast<std::uint32_t>(value.value->type), dataType->numeric) << node.text;
    }
    const NodeRead alarm = ReadOne(SlotNode(VOKDevice::kSlotCalibrationAlarm), raw);
    EXPECT_EQ(alarm.values.at(0).value->values.at(0), VariantValue(false));
    EXPECT_EQ(alarm.values.at(1).value->values.at(0), VariantValue(true));
    const NodeRead normalized = ReadOne(SlotNode(VOKDevice::kSlotCumulativeNormalized), raw);
    EXPECT_EQ(normalized.values.at(1).value->values.at(0), VariantValue(6.0));
}

TEST_F(HistoryServicesTest, WithoutAHistoryNothingIsHistorizingAndReadsAreUnsupported) {
    const DataValue before = AddressSpaceFixture::ReadOne(bin0_, AttributeId::Historizing);
    EXPECT_EQ(before.value->values.at(0), VariantValue(false));
    const DataValue levelBefore = AddressSpaceFixture::ReadOne(bin0_, AttributeId::AccessLevel);
    EXPECT_EQ(std::get<std::uint64_t>(levelBefore.value->values.at(0)) & 4u, 0u);
    EXPECT_EQ(ReadOne(bin0_, Raw{false, AtSecond(0), AtSecond(3), 0}).status, status::BadHistoryOperationUnsupported);
    const DataValue off = AddressSpaceFixture::ReadOne(HistoryStatusNode());
    EXPECT_EQ(off.value->values.at(0), VariantValue(std::string("Off")));

    KeepSeconds(3);
    EXPECT_EQ(AddressSpaceFixture::ReadOne(bin0_, AttributeId::Historizing).value->values.at(0), VariantValue(true));
    for (const AttributeId level : {AttributeId::AccessLevel, AttributeId::UserAccessLevel}) {
        const DataValue bits = AddressSpaceFixture::ReadOne(bin0_, level);
        EXPECT_EQ(std::get<std::uint64_t>(bits.value->values.at(0)) & 4u, 4u);
    }
    // Tags the history does not keep stay as they were.
    EXPECT_EQ(AddressSpaceFixture::ReadOne(Ns1("Dev1.Level"), AttributeId::Historizing).value->values.at(0),
              VariantValue(false));
    const DataValue writing = AddressSpaceFixture::ReadOne(HistoryStatusNode());
    const std::string text = std::get<std::string>(writing.value->values.at(0));
    EXPECT_EQ(text.rfind("Writing to " + dir_.File("history.db"), 0), 0u) << text;
}

TEST_F(HistoryServicesTest, TheServerCapabilitiesTellTheLimitsTheServiceKeeps) {
    KeepSeconds(1);
    auto number = [&](std::uint32_t id) {
        const DataValue value = AddressSpaceFixture::ReadOne(NodeId(0, id));
        EXPECT_TRUE(value.value.has_value()) << id;
        return value.value ? value.value->values.at(0) : VariantValue{};
    };
    EXPECT_EQ(number(11193), VariantValue(true));   // AccessHistoryDataCapability
    EXPECT_EQ(number(11242), VariantValue(false));  // AccessHistoryEventsCapability
    EXPECT_EQ(number(11273), VariantValue(std::uint64_t{limits::kMaxHistoryValuesPerNode}));
    EXPECT_EQ(number(2737), VariantValue(std::uint64_t{limits::kMaxHistoryContinuationPoints}));
    EXPECT_EQ(number(12165), VariantValue(std::uint64_t{limits::kMaxNodesPerHistoryReadData}));
    for (const std::uint32_t id : {11196u, 11197u, 11198u, 11199u, 11200u, 11281u}) EXPECT_EQ(number(id), VariantValue(false));
    // The history's state is a component of the Server object a client can browse to.
    std::vector<ReferenceDescription> refs;
    ASSERT_EQ(space_->Browse(NodeId(0, id::Server), BrowseFilter{}, refs), status::Good);
    EXPECT_TRUE(std::any_of(refs.begin(), refs.end(), [](const ReferenceDescription& ref) {
        return ref.nodeId.node == HistoryStatusNode() && ref.browseName.name == "HistoryStatus";
    }));
    // Too many nodes in one call.
    const std::vector<std::pair<NodeId, ByteString>> many(limits::kMaxNodesPerHistoryReadData + 1, {bin0_, {}});
    const Response refused = Call(RawDetails(Raw{false, AtSecond(0), AtSecond(1), 0}), 2, false, many);
    EXPECT_EQ(refused.serviceResult, status::BadTooManyOperations);
}

TEST_F(HistoryServicesTest, TimesAtTheEndsOfTheRangeAreReadWithoutOverflow) {
    KeepSeconds(4);
    const DateTime lowest = std::numeric_limits<DateTime>::min();
    const DateTime highest = std::numeric_limits<DateTime>::max();
    EXPECT_EQ(ReadOne(bin0_, Raw{false, 1, highest, 0}).values.size(), 4u);
    EXPECT_EQ(ReadOne(bin0_, Raw{false, highest, lowest, 0}).values.size(), 4u);
    EXPECT_EQ(ReadOne(bin0_, Raw{false, lowest, 0, 2}).values.size(), 2u);
    EXPECT_EQ(ReadOne(bin0_, Raw{false, 0, highest, 3}).values.size(), 3u);
}

}  // namespace
