// What a counter device hands the sample sinks: one record per completed
// sample, equal to what its tags show, and one event per change of its
// communication and its polling, against a simulated counter on a real
// pseudo-terminal.
#include "DeviceTestSupport.h"

#include "model/SampleSinks.h"
#include "model/ScopedLock.h"

#include <mutex>
#include <vector>

namespace {

class RecordingSink : public SampleSink {
public:
    void OnSample(const SampleRecord& sample) override {
        std::lock_guard lock(mutex_);
        samples_.push_back(sample);
    }
    void OnDeviceEvent(const DeviceEvent& event) override {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::vector<SampleRecord> Samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::vector<DeviceEventKind> Kinds() const {
        std::lock_guard lock(mutex_);
        std::vector<DeviceEventKind> kinds;
        for (const DeviceEvent& e : events_) kinds.push_back(e.kind);
        return kinds;
    }

private:
    mutable std::mutex mutex_;
    std::vector<SampleRecord> samples_;
    std::vector<DeviceEvent> events_;
};

double TagValue(const OPCS_Tag* tag) {
    VARIANT v;
    tag->GetValue(v);
    VARIANT d;
    VariantInit(&d);
    VariantChangeType(&d, &v, 0, VT_R8);
    VariantClear(&v);
    return d.dblVal;
}

class SampleSinks : public DeviceLineTest {
protected:
    void SetUp() override { AddSampleSink(&sink); }
    void TearDown() override {
        RemoveSampleSink(&sink);
        DeviceLineTest::TearDown();
    }
    RecordingSink sink;
};

}  // namespace

TEST_F(SampleSinks, EachSampleIsHandedOverAsTheTagsShowItAndALossIsOneEventEachWay) {
    SimCounterConfig counter = Counter(7);
    StartLine({counter});
    auto device = MakeDevice(7);
    device->SetFlow(50);
    Dll<double> sizes;
    for (double size : {0.3, 0.5, 1.0, 5.0}) sizes.AddTail(size);
    device->SetBinSizes(sizes, false);

    ASSERT_EQ(device->RequestPolling(OPCS_Device::kOperator), 1);
    ASSERT_TRUE(WaitFor([&] { return !sink.Samples().empty(); }, 10000));
    {
        // Under the device lock no pass runs: the tags hold the last record's sample.
        GroupLock hold(*device);
        const SampleRecord last = sink.Samples().back();
        EXPECT_EQ(last.device, device->GetName());
        EXPECT_EQ(last.port, kPort);
        EXPECT_EQ(last.address, 7);
        EXPECT_EQ(last.intervalSeconds, 1);
        EXPECT_EQ(last.flow, 50);
        EXPECT_EQ(last.binSizes, (std::vector<double>{0.3, 0.5, 1.0, 5.0}));
        ASSERT_EQ(last.BinCount(), 4u);
        for (std::size_t j = 0; j < 4; ++j) {
            const auto slot = static_cast<std::int32_t>(j);
            EXPECT_EQ(last.cumulativeRaw[j], TagValue(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + slot))) << j;
            EXPECT_DOUBLE_EQ(last.CumulativeNormalized(j),
                             TagValue(device->GetSlotTag(VOKDevice::kSlotCumulativeNormalized + slot))) << j;
            EXPECT_EQ(last.DifferentialRaw(j), TagValue(device->GetSlotTag(VOKDevice::kSlotDifferentialRaw + slot))) << j;
            EXPECT_NEAR(last.DifferentialNormalized(j),
                        TagValue(device->GetSlotTag(VOKDevice::kSlotDifferentialNormalized + slot)), 1e-9) << j;
        }
        EXPECT_EQ(last.TotalRaw(), TagValue(device->GetSlotTag(VOKDevice::kSlotTotalRaw)));
        EXPECT_EQ(last.CounterAlarm(), TagValue(device->GetSlotTag(VOKDevice::kSlotCounterAlarm)) != 0);
        EXPECT_EQ(last.commStatus, 0);
    }

    // Silent for several passes: one loss, then one return once it answers.
    SimFaults silent;
    silent.silent = true;
    ASSERT_TRUE(line.SetFaults(7, silent));
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommFailure; }, 15000));
    const std::size_t samplesWhenLost = sink.Samples().size();
    for (int i = 0; i < 2; ++i) device->ForceUpdate();
    Sleep(1500);
    EXPECT_EQ(sink.Samples().size(), samplesWhenLost);
    ASSERT_TRUE(line.SetFaults(7, SimFaults{}));
    ASSERT_TRUE(WaitFor([&] { return sink.Samples().size() > samplesWhenLost; }, 15000));
    device->ReleasePolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kPollingStopped; }, 5000));

    EXPECT_EQ(sink.Kinds(), (std::vector<DeviceEventKind>{DeviceEventKind::PollStarted, DeviceEventKind::CommLost,
                                                          DeviceEventKind::CommRestored, DeviceEventKind::PollStopped}));
}

TEST_F(SampleSinks, PollingStoppedDuringALossIsAStopNotAReturn) {
    SimCounterConfig counter = Counter(3);
    counter.faults.silent = true;
    StartLine({counter});
    auto device = MakeDevice(3);
    ASSERT_EQ(device->RequestPolling(OPCS_Device::kOperator), 1);
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommFailure; }, 15000));
    device->ReleasePolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kPollingStopped; }, 10000));
    EXPECT_EQ(sink.Kinds(), (std::vector<DeviceEventKind>{DeviceEventKind::PollStarted, DeviceEventKind::CommLost,
                                                          DeviceEventKind::PollStopped}));
    EXPECT_TRUE(sink.Samples().empty());
    // In simulation the counts are made up: nothing reaches the sinks.
    auto simulated = MakeDevice(4);
    simulated->SetSimulation(true);
    simulated->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return simulated->GetPollPassCount() >= 2; }, 10000));
    simulated->ReleasePolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return simulated->GetPollState() == OPCS_Device::kPollingStopped; }, 5000));
    EXPECT_EQ(sink.Kinds().size(), 3u);
    EXPECT_TRUE(sink.Samples().empty());
}
