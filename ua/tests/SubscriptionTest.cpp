// The subscription services driven as a client drives them: encoded
// requests through the service table, answers recorded by a channel and
// decoded again, over a configuration whose tags change through the model,
// sampled by the session's own in-process DA server.
#include "opc/OpcDa.h"

#include "AddressSpace.h"
#include "Messages.h"
#include "MonitoredItem.h"
#include "ServiceCall.h"
#include "Session.h"
#include "Subscription.h"
#include "SubscriptionService.h"
#include "UaTestSupport.h"
#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/ComObjects.h"
#include "opc/InProcessServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace ua {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// The monitored item's filter and queue on their own.

DataValue Sample(double value, StatusCode status = status::Good, DateTime source = 1000) {
    DataValue v;
    v.value = Variant::Double(value);
    if (status != status::Good) v.status = status;
    v.sourceTimestamp = source;
    v.serverTimestamp = 2000;
    return v;
}

MonitoredItem MakeItem(std::uint32_t queueSize, bool discardOldest, DataChangeFilterSettings filter = {},
                       TimestampsToReturn ts = TimestampsToReturn::Both) {
    MonitoredItemSettings settings;
    settings.clientHandle = 42;
    settings.samplingInterval = 100;
    settings.queueSize = queueSize;
    settings.discardOldest = discardOldest;
    settings.filter = filter;
    return MonitoredItem(1, ReadValueId{}, MonitoringMode::Reporting, ts, settings);
}

std::vector<ItemNotification> TakeAll(MonitoredItem& item) {
    std::vector<ItemNotification> out;
    item.Take(out, 0);
    return out;
}

TEST(MonitoredItemTest, TriggersDecideWhatCountsAsAChange) {
    DataChangeFilterSettings status;
    status.trigger = DataChangeTrigger::Status;
    auto onlyStatus = MakeItem(10, true, status);
    EXPECT_TRUE(onlyStatus.Offer(Sample(1))) << "the first sample is always reported";
    EXPECT_FALSE(onlyStatus.Offer(Sample(2))) << "a value change alone is no status change";
    EXPECT_TRUE(onlyStatus.Offer(Sample(2, status::BadNotConnected)));

    auto statusValue = MakeItem(10, true);
    statusValue.Offer(Sample(1, status::Good, 1000));
    EXPECT_FALSE(statusValue.Offer(Sample(1, status::Good, 5000))) << "a new time stamp alone";
    EXPECT_TRUE(statusValue.Offer(Sample(1.5)));

    DataChangeFilterSettings withTime;
    withTime.trigger = DataChangeTrigger::StatusValueTimestamp;
    auto timestamped = MakeItem(10, true, withTime);
    timestamped.Offer(Sample(1, status::Good, 1000));
    EXPECT_TRUE(timestamped.Offer(Sample(1, status::Good, 5000)));
    EXPECT_FALSE(timestamped.Offer(Sample(1, status::Good, 5000)));
}

TEST(MonitoredItemTest, AbsoluteAndPercentDeadbandsCompareWithTheLastReportedValue) {
    DataChangeFilterSettings absolute;
    absolute.deadbandType = DeadbandType::Absolute;
    absolute.deadbandValue = 5;
    auto item = MakeItem(10, true, absolute);
    item.Offer(Sample(10));
    EXPECT_FALSE(item.Offer(Sample(14)));
    EXPECT_FALSE(item.Offer(Sample(15))) << "exactly the band is not beyond it";
    EXPECT_TRUE(item.Offer(Sample(15.5))) << "compared with 10, the last reported, not 15";
    EXPECT_TRUE(item.Offer(Sample(15.5, status::UncertainLastUsableValue))) << "status changes pass any band";

    DataChangeFilterSettings percent;
    percent.deadbandType = DeadbandType::Percent;
    percent.deadbandValue = 10;
    auto analog = MakeItem(10, true, percent);
    analog.SetRange(200);  // 10 % of it: 20
    analog.Offer(Sample(0));
    EXPECT_FALSE(analog.Offer(Sample(19)));
    EXPECT_TRUE(analog.Offer(Sample(21)));

    // Arrays: any element beyond the band is a change; another length always is.
    auto arrays = MakeItem(10, true, absolute);
    DataValue a;
    a.value = Variant::Array(BuiltinType::Int32, {std::int64_t{1}, std::int64_t{2}});
    DataValue b = a;
    b.value->values[1] = std::int64_t{6};
    DataValue c = a;
    c.value->values[1] = std::int64_t{8};
    DataValue longer = a;
    longer.value->values.push_back(std::int64_t{1});
    arrays.Offer(a);
    EXPECT_FALSE(arrays.Offer(b));
    EXPECT_TRUE(arrays.Offer(c));
    EXPECT_TRUE(arrays.Offer(longer));
}

TEST(MonitoredItemTest, QueueOverflowKeepsTheNewestOrOldestAndFlagsTheLoss) {
    auto oldestGoes = MakeItem(3, true);
    for (int i = 1; i <= 5; ++i) oldestGoes.Offer(Sample(i));
    auto kept = TakeAll(oldestGoes);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(std::get<double>(kept[0].value.value->values[0]), 3);
    EXPECT_EQ(kept[0].value.Status(), kOverflowInfoBits) << "the value after the lost ones carries the flag";
    EXPECT_EQ(std::get<double>(kept[2].value.value->values[0]), 5);
    EXPECT_EQ(kept[1].value.Status(), status::Good);
    EXPECT_EQ(kept[2].value.Status(), status::Good);
    EXPECT_EQ(kept[0].clientHandle, 42u);

    auto newestReplaced = MakeItem(3, false);
    for (int i = 1; i <= 5; ++i) newestReplaced.Offer(Sample(i));
    kept = TakeAll(newestReplaced);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(std::get<double>(kept[1].value.value->values[0]), 2);
    EXPECT_EQ(std::get<double>(kept[2].value.value->values[0]), 5);
    EXPECT_EQ(kept[2].value.Status(), kOverflowInfoBits);

    // A queue of one just holds the newest, without a flag.
    auto single = MakeItem(1, true);
    for (int i = 1; i <= 3; ++i) single.Offer(Sample(i));
    kept = TakeAll(single);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(std::get<double>(kept[0].value.value->values[0]), 3);
    EXPECT_EQ(kept[0].value.Status(), status::Good);
}

TEST(MonitoredItemTest, ModesAndTimestampsToReturn) {
    auto item = MakeItem(5, true, {}, TimestampsToReturn::Source);
    item.Offer(Sample(1));
    auto taken = TakeAll(item);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_TRUE(taken[0].value.sourceTimestamp.has_value());
    EXPECT_FALSE(taken[0].value.serverTimestamp.has_value());

    item.Offer(Sample(2));
    item.SetMode(MonitoringMode::Disabled);
    EXPECT_FALSE(item.HasNotifications()) << "disabling drops what was queued";
    EXPECT_FALSE(item.Offer(Sample(3)));
    item.SetMode(MonitoringMode::Sampling);
    EXPECT_TRUE(item.Offer(Sample(3))) << "the first sample after enabling is reported even if unchanged";
    EXPECT_FALSE(item.HasNotifications()) << "sampling queues without reporting";
    item.SetMode(MonitoringMode::Reporting);
    EXPECT_TRUE(item.HasNotifications());

    EXPECT_TRUE(item.OfferStatus(status::BadNodeIdUnknown, 5));
    EXPECT_FALSE(item.OfferStatus(status::BadNodeIdUnknown, 6)) << "reported once";
}

TEST(SubscriptionTest, RevisedParametersStayInsideTheLimits) {
    const SubscriptionLimits limits;
    Subscription::Parameters p;
    for (double asked : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN(), 10.0}) {
        p.publishingInterval = asked;
        EXPECT_EQ(Subscription::Revise(p, limits).publishingInterval, limits.minPublishingInterval) << asked;
    }
    p.publishingInterval = 1e12;
    EXPECT_EQ(Subscription::Revise(p, limits).publishingInterval, limits.maxPublishingInterval);
    p.publishingInterval = 250;
    p.maxKeepAliveCount = 0;
    p.lifetimeCount = 0;
    auto r = Subscription::Revise(p, limits);
    EXPECT_EQ(r.publishingInterval, 250);
    EXPECT_EQ(r.maxKeepAliveCount, 1u);
    EXPECT_EQ(r.lifetimeCount, 3u);
    p.maxKeepAliveCount = 20;
    p.lifetimeCount = 30;
    r = Subscription::Revise(p, limits);
    EXPECT_EQ(r.lifetimeCount, 60u) << "at least three keep-alive periods";
    EXPECT_EQ(r.maxNotificationsPerPublish, limits.maxNotificationsPerMessage) << "0 is no client limit";
}

// ---------------------------------------------------------------------------
// The services over the DA server.

class RecordingChannel : public ChannelLink {
public:
    std::uint32_t Id() const override { return 7; }
    bool Send(std::uint32_t requestId, std::vector<std::uint8_t> message) override {
        std::lock_guard lock(mutex_);
        answers_[requestId] = std::move(message);
        changed_.notify_all();
        return true;
    }
    bool IsOpen() const override { return true; }
    std::string EndpointUrl() const override { return "opc.tcp://localhost:4840"; }
    std::string PeerAddress() const override { return "127.0.0.1:50000"; }

    std::optional<std::vector<std::uint8_t>> WaitFor(std::uint32_t requestId, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return answers_.count(requestId) != 0; })) return std::nullopt;
        return answers_[requestId];
    }
    bool Answered(std::uint32_t requestId) {
        std::lock_guard lock(mutex_);
        return answers_.count(requestId) != 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> answers_;
};

// A decoded answer: the response's encoding id, its header and its body.
struct Answer {
    std::uint32_t typeId = 0;
    ResponseHeader header;
    std::vector<std::uint8_t> bytes;
    std::size_t bodyAt = 0;
    bool IsFault() const { return typeId == encoding::ServiceFault; }
    Reader Body() const { return Reader(bytes.data() + bodyAt, bytes.size() - bodyAt); }
};

struct Notification {
    std::uint32_t clientHandle = 0;
    DataValue value;
};

struct PublishAnswer {
    StatusCode serviceResult = status::Good;
    std::uint32_t subscriptionId = 0;
    std::vector<std::uint32_t> available;
    bool more = false;
    std::uint32_t sequenceNumber = 0;
    std::vector<Notification> dataChanges;
    std::vector<StatusCode> statusChanges;
    std::size_t notificationDataCount = 0;
    std::vector<StatusCode> results;
    bool IsKeepAlive() const { return notificationDataCount == 0; }
};

// Reads a NotificationMessage, its data changes and status changes unpacked.
void ReadMessage(Reader& r, PublishAnswer& out) {
    out.sequenceNumber = r.UInt32();
    r.DateTimeValue();
    const auto data = r.Array<ExtensionObject>([](Reader& x) { return x.ExtensionObjectValue(); });
    out.notificationDataCount = data.size();
    for (const ExtensionObject& object : data) {
        Reader body(reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size());
        if (object.typeId == NodeId(0, encoding::DataChangeNotification)) {
            const auto items = body.Array<Notification>([](Reader& x) {
                Notification n;
                n.clientHandle = x.UInt32();
                n.value = x.DataValueValue();
                return n;
            });
            out.dataChanges.insert(out.dataChanges.end(), items.begin(), items.end());
            body.Array<DiagnosticInfo>([](Reader& x) { return x.DiagnosticInfoValue(); });
        } else if (object.typeId == NodeId(0, encoding::StatusChangeNotification)) {
            out.statusChanges.push_back(body.StatusCodeValue());
            body.DiagnosticInfoValue();
        } else {
            ADD_FAILURE() << "unexpected notification " << object.typeId.ToString();
        }
        body.ExpectEnd();
    }
}

struct WantedItem {
    WantedItem(NodeId node_, std::uint32_t attributeId_ = 13, std::uint32_t mode_ = 2, std::uint32_t clientHandle_ = 1,
             double sampling_ = 50, std::uint32_t queueSize_ = 1, bool discardOldest_ = true,
             ExtensionObject filter_ = {})
        : node(std::move(node_)), attributeId(attributeId_), mode(mode_), clientHandle(clientHandle_),
          sampling(sampling_), queueSize(queueSize_), discardOldest(discardOldest_), filter(std::move(filter_)) {}
    NodeId node;
    std::uint32_t attributeId;
    std::uint32_t mode;
    std::uint32_t clientHandle;
    double sampling;
    std::uint32_t queueSize;
    bool discardOldest;
    ExtensionObject filter;
};

struct CreatedItem {
    StatusCode status = status::Bad;
    std::uint32_t id = 0;
    double sampling = 0;
    std::uint32_t queueSize = 0;
};

ExtensionObject DataChangeFilterOf(std::uint32_t trigger, std::uint32_t deadbandType, double deadbandValue) {
    return EncodeExtensionObject(encoding::DataChangeFilter, [&](Writer& w) {
        w.UInt32(trigger);
        w.UInt32(deadbandType);
        w.Double(deadbandValue);
    });
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds within = 2000ms) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

double AsDouble(const DataValue& v) {
    if (!v.value || v.value->values.empty()) return std::nan("");
    if (const auto* d = std::get_if<double>(&v.value->values[0])) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v.value->values[0])) return static_cast<double>(*i);
    return std::nan("");
}

// The configuration, DA server, session and address space of the address
// space's tests, with the subscription service over them.
class SubscriptionServiceTest : public uatest::AddressSpaceFixture {
protected:
    void SetUp() override {
        AddressSpaceFixture::SetUp();
        if (HasFatalFailure()) return;
        SetLevel(1);
        MakeService({});
    }

    void TearDown() override {
        if (service_) service_->OnSessionEnd(*session_, true);
        service_.reset();
        AddressSpaceFixture::TearDown();
    }

    void MakeService(SubscriptionLimits limits) {
        if (service_) service_->OnSessionEnd(*session_, true);
        table_ = ServiceTable{};
        service_ = std::make_unique<SubscriptionService>(*space_, limits);
        service_->Register(table_);
    }

    void SetLevel(double value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = value;
        level_->SetValueGood(v);
    }

    std::uint32_t Send(std::uint32_t type, const std::function<void(Writer&)>& body, std::uint32_t timeoutHint = 0) {
        Writer w;
        body(w);
        const std::vector<std::uint8_t> bytes = w.Take();
        ServiceCall call;
        call.channel = channel_;
        call.requestId = ++nextRequest_;
        call.requestType = type;
        call.header.requestHandle = 500 + call.requestId;
        call.header.timeoutHint = timeoutHint;
        call.session = session_;
        const ServiceTable::Entry* entry = table_.Find(type);
        EXPECT_NE(entry, nullptr);
        EXPECT_EQ(entry->needs, ServiceTable::Needs::ActivatedSession);
        Reader reader(bytes);
        entry->handler(call, reader);
        return call.requestId;
    }

    Answer Wait(std::uint32_t requestId, std::chrono::milliseconds timeout = 3000ms) {
        Answer a;
        auto bytes = channel_->WaitFor(requestId, timeout);
        if (!bytes) {
            ADD_FAILURE() << "no answer to request " << requestId;
            return a;
        }
        a.bytes = std::move(*bytes);
        Reader r(a.bytes);
        const NodeId type = r.NodeIdValue();
        a.typeId = type.numeric;
        a.header = ReadResponseHeader(r);
        a.bodyAt = r.Position();
        EXPECT_EQ(a.header.requestHandle, 500 + requestId);
        return a;
    }

    Answer Call(std::uint32_t type, const std::function<void(Writer&)>& body) {
        const std::uint32_t id = Send(type, body);
        Answer a = Wait(id);
        if (!a.IsFault()) {
            EXPECT_EQ(a.typeId, encoding::ResponseOf(type));
        }
        return a;
    }

    struct Created {
        std::uint32_t id = 0;
        double interval = 0;
        std::uint32_t lifetime = 0;
        std::uint32_t keepAlive = 0;
        StatusCode fault = status::Good;
    };
    Created CreateSubscription(double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                               std::uint32_t maxNotifications = 0, bool enabled = true) {
        Answer a = Call(encoding::CreateSubscriptionRequest, [&](Writer& w) {
            w.Double(interval);
            w.UInt32(lifetime);
            w.UInt32(keepAlive);
            w.UInt32(maxNotifications);
            w.Boolean(enabled);
            w.Byte(0);
        });
        Created c;
        if (a.IsFault()) {
            c.fault = a.header.serviceResult;
            return c;
        }
        Reader r = a.Body();
        c.id = r.UInt32();
        c.interval = r.Double();
        c.lifetime = r.UInt32();
        c.keepAlive = r.UInt32();
        r.ExpectEnd();
        return c;
    }

    std::vector<CreatedItem> CreateItems(std::uint32_t subscription, const std::vector<WantedItem>& items,
                                         std::uint32_t timestamps = 2, StatusCode* fault = nullptr) {
        Answer a = Call(encoding::CreateMonitoredItemsRequest, [&](Writer& w) {
            w.UInt32(subscription);
            w.UInt32(timestamps);
            w.Array(items, [](Writer& x, const WantedItem& s) {
                x.NodeIdValue(s.node);
                x.UInt32(s.attributeId);
                x.NullString();
                x.QualifiedNameValue({});
                x.UInt32(s.mode);
                x.UInt32(s.clientHandle);
                x.Double(s.sampling);
                x.ExtensionObjectValue(s.filter);
                x.UInt32(s.queueSize);
                x.Boolean(s.discardOldest);
            });
        });
        if (fault != nullptr) *fault = a.IsFault() ? a.header.serviceResult : status::Good;
        if (a.IsFault()) return {};
        Reader r = a.Body();
        auto out = r.Array<CreatedItem>([](Reader& x) {
            CreatedItem c;
            c.status = x.StatusCodeValue();
            c.id = x.UInt32();
            c.sampling = x.Double();
            c.queueSize = x.UInt32();
            x.ExtensionObjectValue();
            return c;
        });
        r.Array<DiagnosticInfo>([](Reader& x) { return x.DiagnosticInfoValue(); });
        r.ExpectEnd();
        return out;
    }

    std::vector<StatusCode> Statuses(const Answer& a) {
        if (a.IsFault()) return {a.header.serviceResult};
        Reader r = a.Body();
        auto out = r.Array<StatusCode>([](Reader& x) { return x.StatusCodeValue(); });
        r.Array<DiagnosticInfo>([](Reader& x) { return x.DiagnosticInfoValue(); });
        r.ExpectEnd();
        return out;
    }

    std::uint32_t SendPublish(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& acks = {},
                              std::uint32_t timeoutHint = 0) {
        return Send(
            encoding::PublishRequest,
            [&](Writer& w) {
                w.Array(acks, [](Writer& x, const std::pair<std::uint32_t, std::uint32_t>& a) {
                    x.UInt32(a.first);
                    x.UInt32(a.second);
                });
            },
            timeoutHint);
    }

    PublishAnswer DecodePublish(const Answer& a) {
        PublishAnswer p;
        p.serviceResult = a.header.serviceResult;
        if (a.IsFault()) return p;
        EXPECT_EQ(a.typeId, encoding::ResponseOf(encoding::PublishRequest));
        Reader r = a.Body();
        p.subscriptionId = r.UInt32();
        p.available = r.Array<std::uint32_t>([](Reader& x) { return x.UInt32(); });
        p.more = r.Boolean();
        ReadMessage(r, p);
        p.results = r.Array<StatusCode>([](Reader& x) { return x.StatusCodeValue(); });
        r.Array<DiagnosticInfo>([](Reader& x) { return x.DiagnosticInfoValue(); });
        r.ExpectEnd();
        return p;
    }

    PublishAnswer Publish(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& acks = {},
                          std::chrono::milliseconds timeout = 3000ms) {
        return DecodePublish(Wait(SendPublish(acks), timeout));
    }

    // Publishes until a message with data changes comes (keep-alives are skipped).
    PublishAnswer PublishData(std::chrono::milliseconds timeout = 3000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        PublishAnswer p;
        while (std::chrono::steady_clock::now() < end) {
            p = Publish({}, timeout);
            if (!p.dataChanges.empty() || !p.statusChanges.empty() || p.serviceResult != status::Good) return p;
        }
        ADD_FAILURE() << "no data change came";
        return p;
    }

    // DA server objects alive: created minus destroyed, from the notices the
    // server posts to the main window.
    long ObjectCount() const {
        long count = 0;
        for (const RecordedPost& post : ui_.Posts()) {
            if (post.target != PostTarget::MainWindow || post.message != WM_COMOBJECT_COUNT) continue;
            count += post.wParam == kComObjectCreated ? 1 : -1;
        }
        return count;
    }

    NodeId LevelNode() const { return NodeId(1, std::string("Dev1.Level")); }
    NodeId LabelNode() const { return NodeId(1, std::string("Dev1.Label")); }

    std::shared_ptr<RecordingChannel> channel_ = std::make_shared<RecordingChannel>();
    ServiceTable table_;
    std::unique_ptr<SubscriptionService> service_;
    std::uint32_t nextRequest_ = 0;
};

TEST_F(SubscriptionServiceTest, ATagsInitialValueAndChangesArriveWithKeepAlivesBetween) {
    SetLevel(5);
    const Created sub = CreateSubscription(100, 100, 3);
    ASSERT_NE(sub.id, 0u);
    EXPECT_EQ(sub.interval, 100);
    const auto items = CreateItems(sub.id, {{LevelNode(), 13, 2, 77, 0}});
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(items[0].status, status::Good);
    EXPECT_EQ(items[0].sampling, 50) << "0 asks for the fastest the DA groups run";

    PublishAnswer first = PublishData();
    ASSERT_EQ(first.dataChanges.size(), 1u);
    EXPECT_EQ(first.subscriptionId, sub.id);
    EXPECT_EQ(first.sequenceNumber, 1u) << "sequence numbers start at 1";
    EXPECT_EQ(first.dataChanges[0].clientHandle, 77u);
    EXPECT_EQ(AsDouble(first.dataChanges[0].value), 5);
    EXPECT_EQ(first.dataChanges[0].value.Status(), status::Good);
    EXPECT_TRUE(first.dataChanges[0].value.sourceTimestamp.has_value());
    EXPECT_TRUE(first.dataChanges[0].value.serverTimestamp.has_value());
    EXPECT_EQ(first.available, std::vector<std::uint32_t>{1});

    // Nothing changes: a keep-alive after three intervals, carrying the
    // next sequence number without using it.
    const auto before = std::chrono::steady_clock::now();
    PublishAnswer quiet = Publish();
    // Three intervals after the last message; at least one of them after this request.
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
    EXPECT_TRUE(quiet.IsKeepAlive());
    EXPECT_EQ(quiet.sequenceNumber, 2u);

    SetLevel(7.25);
    PublishAnswer changed = PublishData();
    ASSERT_EQ(changed.dataChanges.size(), 1u);
    EXPECT_EQ(AsDouble(changed.dataChanges[0].value), 7.25);
    EXPECT_EQ(changed.sequenceNumber, 2u);
}

TEST_F(SubscriptionServiceTest, NodesOtherThanTagsAreSampledByReadingThem) {
    const Created sub = CreateSubscription(100, 100, 10);
    const auto items = CreateItems(sub.id, {{NodeId(0, 2258), 13, 2, 5, 100}, {LevelNode(), 4, 2, 6, 100}});
    ASSERT_EQ(items.size(), 2u);
    ASSERT_EQ(items[0].status, status::Good);
    ASSERT_EQ(items[1].status, status::Good) << "the DisplayName of a tag";
    std::vector<std::int64_t> times;
    int names = 0;
    for (int i = 0; i < 10 && times.size() < 3; ++i) {
        for (const Notification& n : PublishData().dataChanges) {
            if (n.clientHandle == 5) times.push_back(std::get<std::int64_t>(n.value.value->values[0]));
            if (n.clientHandle == 6) ++names;
        }
    }
    ASSERT_GE(times.size(), 3u);
    EXPECT_LT(times[0], times[1]);
    EXPECT_LT(times[1], times[2]);
    EXPECT_EQ(names, 1) << "an attribute that does not change is reported once";
}

TEST_F(SubscriptionServiceTest, ALimitPerPublishLeavesTheRestForTheNextRequestAtOnce) {
    const Created sub = CreateSubscription(100, 3000, 1000, 1);
    ASSERT_EQ(CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50}, {LabelNode(), 13, 2, 2, 50}}).size(), 2u);
    const PublishAnswer first = PublishData();
    EXPECT_EQ(first.dataChanges.size(), 1u);
    EXPECT_TRUE(first.more);
    // The rest does not wait for the next interval (the keep-alive is far off).
    const auto before = std::chrono::steady_clock::now();
    const PublishAnswer second = Publish();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 90ms);
    ASSERT_EQ(second.dataChanges.size(), 1u);
    EXPECT_FALSE(second.more);
    EXPECT_NE(second.dataChanges[0].clientHandle, first.dataChanges[0].clientHandle);
    EXPECT_EQ(second.sequenceNumber, first.sequenceNumber + 1);
}

TEST_F(SubscriptionServiceTest, PublishingModeAndModifiedParameters) {
    const Created sub = CreateSubscription(100, 300, 2);
    ASSERT_EQ(CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50}}).size(), 1u);
    PublishData();
    auto setPublishing = [&](bool enabled, std::vector<std::uint32_t> ids) {
        return Statuses(Call(encoding::SetPublishingModeRequest, [&](Writer& w) {
            w.Boolean(enabled);
            w.Array(ids, [](Writer& x, std::uint32_t v) { x.UInt32(v); });
        }));
    };
    EXPECT_EQ(setPublishing(false, {sub.id, sub.id + 50}),
              (std::vector<StatusCode>{status::Good, status::BadSubscriptionIdInvalid}));
    SetLevel(44);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(Publish().IsKeepAlive()) << "a subscription not publishing keeps its values";
    EXPECT_EQ(setPublishing(true, {sub.id}), std::vector<StatusCode>{status::Good});
    const PublishAnswer resumed = PublishData();
    ASSERT_EQ(resumed.dataChanges.size(), 1u);
    EXPECT_EQ(AsDouble(resumed.dataChanges[0].value), 44);

    Answer modified = Call(encoding::ModifySubscriptionRequest, [&](Writer& w) {
        w.UInt32(sub.id);
        w.Double(400);
        w.UInt32(5);
        w.UInt32(3);
        w.UInt32(0);
        w.Byte(1);
    });
    ASSERT_FALSE(modified.IsFault());
    Reader r = modified.Body();
    EXPECT_EQ(r.Double(), 400);
    EXPECT_EQ(r.UInt32(), 9u) << "three keep-alive periods at least";
    EXPECT_EQ(r.UInt32(), 3u);
    r.ExpectEnd();
    // The keep-alive now comes after three intervals of 400 ms.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(Publish({}, 3000ms).IsKeepAlive());
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1000ms);
}

TEST_F(SubscriptionServiceTest, ASubscriptionWithoutPublishRequestsExpires) {
    const Created sub = CreateSubscription(50, 3, 1);
    EXPECT_EQ(sub.lifetime, 3u);
    ASSERT_EQ(service_->GetCounts().subscriptions, 1u);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(service_->GetCounts().subscriptions, 0u);

    PublishAnswer last = Publish();
    EXPECT_EQ(last.subscriptionId, sub.id);
    EXPECT_EQ(last.statusChanges, std::vector<StatusCode>{status::BadTimeout});
    EXPECT_EQ(Publish().serviceResult, status::BadNoSubscription);
    EXPECT_EQ(Statuses(Call(encoding::DeleteSubscriptionsRequest,
                            [&](Writer& w) { w.Array(std::vector<std::uint32_t>{sub.id}, [](Writer& x, std::uint32_t v) { x.UInt32(v); }); })),
              std::vector<StatusCode>{status::BadSubscriptionIdInvalid});
}

TEST_F(SubscriptionServiceTest, TooManyParkedPublishRequestsAnswerTheOldest) {
    MakeService([] {
        SubscriptionLimits limits;
        limits.maxPublishRequestsPerSession = 3;
        return limits;
    }());
    const Created sub = CreateSubscription(1000, 3000, 1000);
    // The first interval answers one request with a keep-alive; these come before it.
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < 5; ++i) ids.push_back(SendPublish());
    EXPECT_EQ(Wait(ids[0], 100ms).header.serviceResult, status::BadTooManyPublishRequests);
    EXPECT_EQ(Wait(ids[1], 100ms).header.serviceResult, status::BadTooManyPublishRequests);
    for (int i = 2; i < 5; ++i) EXPECT_FALSE(channel_->Answered(ids[i]));
    EXPECT_EQ(service_->GetCounts().parkedPublishRequests, 3u);
    // The first interval's keep-alive goes to the oldest that still waits.
    PublishAnswer keepAlive = DecodePublish(Wait(ids[2], 3000ms));
    EXPECT_TRUE(keepAlive.IsKeepAlive());
    EXPECT_EQ(keepAlive.subscriptionId, sub.id);
    EXPECT_FALSE(channel_->Answered(ids[3]));
    // A request whose client gives up after 150 ms is answered by then.
    const auto before = std::chrono::steady_clock::now();
    const std::uint32_t hurried = SendPublish({}, 150);
    EXPECT_EQ(Wait(hurried, 900ms).header.serviceResult, status::BadTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 140ms);
    EXPECT_FALSE(channel_->Answered(ids[3])) << "requests without a time-out wait on";
}

TEST_F(SubscriptionServiceTest, AcknowledgedMessagesLeaveTheRetransmissionQueue) {
    const Created sub = CreateSubscription(50, 300, 100);
    ASSERT_EQ(CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50}})[0].status, status::Good);
    const PublishAnswer first = PublishData();
    SetLevel(2);
    const PublishAnswer second = PublishData();
    ASSERT_EQ(second.sequenceNumber, first.sequenceNumber + 1);
    EXPECT_EQ(second.available, (std::vector<std::uint32_t>{first.sequenceNumber, second.sequenceNumber}));

    auto republish = [&](std::uint32_t sequence) {
        return Call(encoding::RepublishRequest, [&](Writer& w) {
            w.UInt32(sub.id);
            w.UInt32(sequence);
        });
    };
    Answer again = republish(first.sequenceNumber);
    ASSERT_FALSE(again.IsFault());
    PublishAnswer copy;
    Reader r = again.Body();
    ReadMessage(r, copy);
    r.ExpectEnd();
    EXPECT_EQ(copy.sequenceNumber, first.sequenceNumber);
    ASSERT_EQ(copy.dataChanges.size(), 1u);
    EXPECT_EQ(AsDouble(copy.dataChanges[0].value), AsDouble(first.dataChanges[0].value));

    SetLevel(3);
    const PublishAnswer third =
        DecodePublish(Wait(SendPublish({{sub.id, first.sequenceNumber}, {sub.id, 999}, {sub.id + 100, 1}})));
    EXPECT_EQ(third.results, (std::vector<StatusCode>{status::Good, status::BadSequenceNumberUnknown,
                                                      status::BadSubscriptionIdInvalid}));
    EXPECT_EQ(republish(first.sequenceNumber).header.serviceResult, status::BadMessageNotAvailable);
    EXPECT_FALSE(republish(second.sequenceNumber).IsFault());
    EXPECT_EQ(Call(encoding::RepublishRequest,
                   [&](Writer& w) {
                       w.UInt32(sub.id + 100);
                       w.UInt32(1);
                   })
                  .header.serviceResult,
              status::BadSubscriptionIdInvalid);
}

TEST_F(SubscriptionServiceTest, DeadbandsAndFiltersTheItemsCannotHave) {
    SetLevel(10);
    const Created sub = CreateSubscription(50, 300, 4);
    const auto items = CreateItems(
        sub.id, {{LevelNode(), 13, 2, 1, 50, 1, true, DataChangeFilterOf(1, 1, 5)},
                 {LabelNode(), 13, 2, 2, 50, 1, true, DataChangeFilterOf(1, 1, 5)},
                 {LevelNode(), 13, 2, 3, 50, 1, true, DataChangeFilterOf(1, 2, 10)},
                 {LabelNode(), 13, 2, 4, 50, 1, true, DataChangeFilterOf(1, 2, 10)},
                 {LevelNode(), 13, 2, 5, 50, 1, true, EncodeExtensionObject(encoding::AggregateFilter, [](Writer&) {})},
                 {LevelNode(), 4, 2, 6, 50, 1, true, DataChangeFilterOf(1, 0, 0)},
                 {LevelNode(), 13, 2, 7, 50, 1, true, DataChangeFilterOf(1, 7, 1)},
                 {LevelNode(), 13, 2, 8, 50, 1, true, DataChangeFilterOf(1, 1, -1)}});
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0].status, status::Good);
    EXPECT_EQ(items[1].status, status::BadFilterNotAllowed) << "no dead band for text";
    EXPECT_EQ(items[2].status, status::Good) << "the level has an EU range";
    EXPECT_EQ(items[3].status, status::BadMonitoredItemFilterUnsupported) << "no EU range";
    EXPECT_EQ(items[4].status, status::BadMonitoredItemFilterUnsupported);
    EXPECT_EQ(items[5].status, status::BadFilterNotAllowed) << "filters apply to values only";
    EXPECT_EQ(items[6].status, status::BadDeadbandFilterInvalid);
    EXPECT_EQ(items[7].status, status::BadDeadbandFilterInvalid);

    std::map<std::uint32_t, std::vector<double>> seen;
    auto collect = [&](const PublishAnswer& p) {
        for (const Notification& n : p.dataChanges) seen[n.clientHandle].push_back(AsDouble(n.value));
    };
    collect(PublishData());
    EXPECT_EQ(seen[1], std::vector<double>{10});
    EXPECT_EQ(seen[3], std::vector<double>{10});
    // 10 -> 14: inside both bands (5 absolute, 10 % of 0..100).
    SetLevel(14);
    std::this_thread::sleep_for(300ms);
    SetLevel(16);  // beyond 5, inside 10
    collect(PublishData());
    SetLevel(21);  // exactly 5 from 16: inside; beyond 10 from 10
    collect(PublishData());
    SetLevel(21.5);  // beyond 5 from 16, inside 10 from 21
    collect(PublishData());
    EXPECT_EQ(seen[1], (std::vector<double>{10, 16, 21.5}));
    EXPECT_EQ(seen[3], (std::vector<double>{10, 21}));
}

TEST_F(SubscriptionServiceTest, AQueueOfThreeKeepsTheNewestWithTheOverflowBit) {
    SetLevel(100);
    // Long keep-alive: nothing is published until the test asks.
    const Created sub = CreateSubscription(100, 1000, 100);
    ASSERT_EQ(CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50, 3, true}, {LevelNode(), 13, 2, 2, 50, 3, false}})[0].status,
              status::Good);
    std::this_thread::sleep_for(300ms);
    for (int v = 1; v <= 5; ++v) {
        SetLevel(v);
        std::this_thread::sleep_for(150ms);
    }
    const PublishAnswer p = PublishData();
    std::map<std::uint32_t, std::vector<Notification>> byHandle;
    for (const Notification& n : p.dataChanges) byHandle[n.clientHandle].push_back(n);
    ASSERT_EQ(byHandle[1].size(), 3u);
    EXPECT_EQ(AsDouble(byHandle[1][0].value), 3);
    EXPECT_EQ(AsDouble(byHandle[1][2].value), 5);
    EXPECT_EQ(byHandle[1][0].value.Status(), kOverflowInfoBits);
    EXPECT_EQ(byHandle[1][1].value.Status(), status::Good);
    ASSERT_EQ(byHandle[2].size(), 3u);
    EXPECT_EQ(AsDouble(byHandle[2][0].value), 100) << "the initial value stays when the newest is replaced";
    EXPECT_EQ(AsDouble(byHandle[2][2].value), 5);
    EXPECT_EQ(byHandle[2][2].value.Status(), kOverflowInfoBits);
}

TEST_F(SubscriptionServiceTest, DisabledItemsStopReportingAndTheirTagsGoInactive) {
    const Created sub = CreateSubscription(50, 300, 3);
    const auto unreferenced = level_->GetReferenceCount();
    const auto items = CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50}});
    ASSERT_EQ(items[0].status, status::Good);
    PublishData();
    EXPECT_GT(level_->GetReferenceCount(), unreferenced);
    EXPECT_GT(device_->GetClientPollRequests(), 0) << "an active item asks its device to poll";

    auto setMode = [&](std::uint32_t mode, std::vector<std::uint32_t> ids) {
        return Statuses(Call(encoding::SetMonitoringModeRequest, [&](Writer& w) {
            w.UInt32(sub.id);
            w.UInt32(mode);
            w.Array(ids, [](Writer& x, std::uint32_t v) { x.UInt32(v); });
        }));
    };
    EXPECT_EQ(setMode(0, {items[0].id, 999}),
              (std::vector<StatusCode>{status::Good, status::BadMonitoredItemIdInvalid}));
    // The DA group lets the poll request go at its next update.
    EXPECT_TRUE(Eventually([&] { return device_->GetClientPollRequests() == 0; })) << "a disabled item's tag is inactive";
    SetLevel(33);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Publish().IsKeepAlive());

    EXPECT_EQ(setMode(2, {items[0].id}), std::vector<StatusCode>{status::Good});
    EXPECT_TRUE(Eventually([&] { return device_->GetClientPollRequests() > 0; }));
    const PublishAnswer back = PublishData();
    ASSERT_EQ(back.dataChanges.size(), 1u);
    EXPECT_EQ(AsDouble(back.dataChanges[0].value), 33) << "the current value on enabling";

    // Deleting the item lets its tag go.
    EXPECT_EQ(Statuses(Call(encoding::DeleteMonitoredItemsRequest,
                            [&](Writer& w) {
                                w.UInt32(sub.id);
                                w.Array(std::vector<std::uint32_t>{items[0].id, items[0].id},
                                        [](Writer& x, std::uint32_t v) { x.UInt32(v); });
                            })),
              (std::vector<StatusCode>{status::Good, status::BadMonitoredItemIdInvalid}));
    EXPECT_TRUE(Eventually([&] { return level_->GetReferenceCount() == unreferenced; }));
    EXPECT_EQ(service_->GetCounts().daGroups, 0u);
}

TEST_F(SubscriptionServiceTest, ATagThatLeavesTheConfigurationIsReportedUnknownOnce) {
    const Created sub = CreateSubscription(50, 600, 5);
    ASSERT_EQ(CreateItems(sub.id, {{LevelNode(), 13, 2, 1, 50}})[0].status, status::Good);
    PublishData();
    // Renamed, the device's tags have other item IDs: the node is gone.
    device_->SetName("Dev2");
    const PublishAnswer gone = PublishData(4000ms);
    ASSERT_EQ(gone.dataChanges.size(), 1u);
    EXPECT_EQ(gone.dataChanges[0].value.Status(), status::BadNodeIdUnknown);
    SetLevel(55);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Publish().IsKeepAlive()) << "reported once, then quiet";
}

TEST_F(SubscriptionServiceTest, TheEndOfTheSessionAnswersItsPublishRequestsAndReleasesTheDaGroups) {
    auto groupCount = [&] {
        OPCSERVERSTATUS* info = nullptr;
        EXPECT_EQ(session_->DaServer()->GetStatus(&info), S_OK);
        const DWORD count = info->dwGroupCount;
        CoTaskMemFree(info->szVendorInfo);
        CoTaskMemFree(info);
        return count;
    };
    const DWORD before = groupCount();
    const long objectsBefore = ObjectCount();
    const auto unreferenced = level_->GetReferenceCount();
    const Created a = CreateSubscription(1000, 3000, 1000);
    const Created b = CreateSubscription(1000, 3000, 1000);
    ASSERT_EQ(CreateItems(a.id, {{LevelNode(), 13, 2, 1, 50}, {LabelNode(), 13, 2, 2, 200}}).size(), 2u);
    ASSERT_EQ(CreateItems(b.id, {{LevelNode(), 13, 0, 1, 50}}).size(), 1u);
    EXPECT_EQ(groupCount(), before + 2)
        << "one DA group per subscription and sampling interval; none for a disabled item";
    EXPECT_GT(ObjectCount(), objectsBefore);
    EXPECT_GT(level_->GetReferenceCount(), unreferenced);
    const std::uint32_t p1 = SendPublish();
    const std::uint32_t p2 = SendPublish();
    const auto counts = service_->GetCounts();
    EXPECT_EQ(counts.subscriptions, 2u);
    EXPECT_EQ(counts.monitoredItems, 3u);
    EXPECT_EQ(counts.daGroups, 2u);

    service_->OnSessionEnd(*session_, true);
    // The first interval may have answered one with a keep-alive; the rest end.
    int closed = 0;
    for (std::uint32_t id : {p1, p2}) {
        const Answer answer = Wait(id, 100ms);
        if (answer.IsFault()) {
            EXPECT_EQ(answer.header.serviceResult, status::BadSessionClosed);
            ++closed;
        }
    }
    EXPECT_GE(closed, 1);
    EXPECT_EQ(groupCount(), before);
    EXPECT_TRUE(Eventually([&] { return ObjectCount() == objectsBefore; }))
        << "the groups and their items' objects are gone: " << ObjectCount() - objectsBefore << " left";
    EXPECT_TRUE(Eventually([&] { return level_->GetReferenceCount() == unreferenced; })) << level_->GetReferenceCount();
    const auto after = service_->GetCounts();
    EXPECT_EQ(after.subscriptions + after.monitoredItems + after.parkedPublishRequests + after.daGroups + after.sessions,
              0u);
}

TEST_F(SubscriptionServiceTest, RequestsTheServiceRefuses) {
    MakeService([] {
        SubscriptionLimits limits;
        limits.maxSubscriptionsPerSession = 2;
        limits.maxMonitoredItemsPerSubscription = 2;
        return limits;
    }());
    EXPECT_EQ(Publish().serviceResult, status::BadNoSubscription);
    const Created sub = CreateSubscription(-1, 0, 0);
    EXPECT_EQ(sub.interval, 50);
    EXPECT_EQ(sub.keepAlive, 1u);
    EXPECT_EQ(sub.lifetime, 3u);
    // The first ends after 150 ms without Publish requests; the items go to one that lives.
    const Created roomy = CreateSubscription(100, 100, 10);
    EXPECT_EQ(CreateSubscription(100, 30, 10).fault, status::BadTooManySubscriptions);

    StatusCode fault = status::Good;
    CreateItems(roomy.id, {{LevelNode()}}, 4, &fault);
    EXPECT_EQ(fault, status::BadTimestampsToReturnInvalid);
    CreateItems(roomy.id, {}, 2, &fault);
    EXPECT_EQ(fault, status::BadNothingToDo);
    CreateItems(roomy.id + 100, {{LevelNode()}}, 2, &fault);
    EXPECT_EQ(fault, status::BadSubscriptionIdInvalid);

    const auto items = CreateItems(roomy.id, {{NodeId(1, std::string("Dev1.Nothing"))},
                                            {LevelNode(), 99},
                                            {LevelNode(), 13, 5},
                                            {LevelNode(), 13, 2, 1, -1, 0},
                                            {LevelNode(), 13, 2, 1, 1e15, 1000},
                                            {LabelNode()}});
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0].status, status::BadNodeIdUnknown);
    EXPECT_EQ(items[1].status, status::BadAttributeIdInvalid);
    EXPECT_EQ(items[2].status, status::BadMonitoringModeInvalid);
    EXPECT_EQ(items[3].status, status::Good);
    EXPECT_EQ(items[3].sampling, 100) << "-1: the publishing interval";
    EXPECT_EQ(items[3].queueSize, 1u);
    EXPECT_EQ(items[4].status, status::Good);
    EXPECT_EQ(items[4].queueSize, 100u);
    EXPECT_LE(items[4].sampling, 3'600'000);
    EXPECT_EQ(items[5].status, status::BadTooManyMonitoredItems);

    // A request cut short is a decoding error, not a crash.
    const std::uint32_t cut = Send(encoding::CreateMonitoredItemsRequest, [&](Writer& w) {
        w.UInt32(roomy.id);
        w.UInt32(2);
        w.Int32(1000);
    });
    EXPECT_EQ(Wait(cut).header.serviceResult, status::BadDecodingError);

    // Modify: a new sampling interval and queue size; an unknown item.
    Answer modified = Call(encoding::ModifyMonitoredItemsRequest, [&](Writer& w) {
        w.UInt32(roomy.id);
        w.UInt32(2);
        w.Int32(2);
        for (std::uint32_t id : {items[3].id, 999u}) {
            w.UInt32(id);
            w.UInt32(9);
            w.Double(500);
            w.ExtensionObjectValue({});
            w.UInt32(4);
            w.Boolean(true);
        }
    });
    ASSERT_FALSE(modified.IsFault()) << std::hex << modified.header.serviceResult;
    Reader r = modified.Body();
    ASSERT_EQ(r.Int32(), 2);
    EXPECT_EQ(r.StatusCodeValue(), status::Good);
    EXPECT_EQ(r.Double(), 500);
    EXPECT_EQ(r.UInt32(), 4u);
    r.ExtensionObjectValue();
    EXPECT_EQ(r.StatusCodeValue(), status::BadMonitoredItemIdInvalid);
}

TEST_F(SubscriptionServiceTest, TruncatedRequestsAreRefusedWithoutHarm) {
    const Created sub = CreateSubscription(1000, 300, 100);
    ASSERT_NE(sub.id, 0u);
    const std::uint32_t other = sub.id + 100;  // no such subscription: a whole request changes nothing
    const std::vector<std::pair<std::uint32_t, std::function<void(Writer&)>>> requests = {
        {encoding::CreateSubscriptionRequest,
         [](Writer& w) {
             w.Double(100);
             w.UInt32(30);
             w.UInt32(10);
             w.UInt32(0);
             w.Boolean(true);
             w.Byte(0);
         }},
        {encoding::ModifySubscriptionRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.Double(100);
             w.UInt32(30);
             w.UInt32(10);
             w.UInt32(0);
             w.Byte(0);
         }},
        {encoding::SetPublishingModeRequest,
         [&](Writer& w) {
             w.Boolean(true);
             w.Array(std::vector<std::uint32_t>{other}, [](Writer& x, std::uint32_t v) { x.UInt32(v); });
         }},
        {encoding::DeleteSubscriptionsRequest,
         [&](Writer& w) { w.Array(std::vector<std::uint32_t>{other}, [](Writer& x, std::uint32_t v) { x.UInt32(v); }); }},
        {encoding::PublishRequest,
         [&](Writer& w) {
             w.Int32(1);
             w.UInt32(other);
             w.UInt32(1);
         }},
        {encoding::RepublishRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.UInt32(1);
         }},
        {encoding::CreateMonitoredItemsRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.UInt32(2);
             w.Int32(1);
             w.NodeIdValue(LevelNode());
             w.UInt32(13);
             w.String("0:1");
             w.QualifiedNameValue({0, "x"});
             w.UInt32(2);
             w.UInt32(1);
             w.Double(100);
             w.ExtensionObjectValue(DataChangeFilterOf(1, 1, 2));
             w.UInt32(3);
             w.Boolean(true);
         }},
        {encoding::ModifyMonitoredItemsRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.UInt32(2);
             w.Int32(1);
             w.UInt32(1);
             w.UInt32(1);
             w.Double(100);
             w.ExtensionObjectValue({});
             w.UInt32(3);
             w.Boolean(true);
         }},
        {encoding::SetMonitoringModeRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.UInt32(1);
             w.Array(std::vector<std::uint32_t>{1}, [](Writer& x, std::uint32_t v) { x.UInt32(v); });
         }},
        {encoding::DeleteMonitoredItemsRequest,
         [&](Writer& w) {
             w.UInt32(other);
             w.Array(std::vector<std::uint32_t>{1}, [](Writer& x, std::uint32_t v) { x.UInt32(v); });
         }},
    };
    for (const auto& [type, write] : requests) {
        Writer whole;
        write(whole);
        const std::vector<std::uint8_t> bytes = whole.Take();
        for (std::size_t length = 0; length < bytes.size(); ++length) {
            const Answer a = Call(type, [&](Writer& w) { w.Raw(bytes.data(), length); });
            EXPECT_TRUE(a.IsFault()) << type << " cut at " << length;
            EXPECT_EQ(a.header.serviceResult, status::BadDecodingError) << type << " cut at " << length;
        }
    }
    const auto counts = service_->GetCounts();
    EXPECT_EQ(counts.subscriptions, 1u);
    EXPECT_EQ(counts.monitoredItems, 0u);
    EXPECT_EQ(counts.parkedPublishRequests, 0u);
}

}  // namespace
}  // namespace ua
