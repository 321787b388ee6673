// The device base: poll requests by source, poll states, in service, the
// flat list's references and the poll thread's life.
#include "DeviceTestSupport.h"

#include "model/ModelHost.h"
#include "model/OPCS_Device.h"

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

class CountingDevice : public OPCS_Device {
public:
    ~CountingDevice() override { StopPollThread(); }
    std::string GetDefaultName() override { return "Counting"; }
    bool ShowProperties() override { return false; }
    void PollOnce() override {
        ++passes;
        if (throwOnPoll) throw std::runtime_error("device fault");
        if (goOutOfService) SetInService(false);
    }
    std::atomic<int> passes{0};
    std::atomic<bool> throwOnPoll{false};
    std::atomic<bool> goOutOfService{false};
};

VOKTag* VolatileTag(const char* name) {
    auto* tag = new VOKTag;
    tag->SetName(name);
    tag->SetVolatile(true);
    tag->SetCanonicalType(VT_R8);
    return tag;
}

}  // namespace

TEST(DevicePoll, RequestsOfEachSourceAddUpAndAStrayReleaseChangesNothing) {
    EventLogCapture log;
    CountingDevice device;
    EXPECT_EQ(device.RequestPolling(OPCS_Device::kOperator), 1);
    EXPECT_EQ(device.RequestPolling(OPCS_Device::kOperator), 2);
    EXPECT_EQ(device.ReleasePolling(OPCS_Device::kClient), 2);  // never asked
    EXPECT_EQ(device.ReleasePolling(OPCS_Device::kOperator), 1);
    EXPECT_EQ(device.RequestPolling(OPCS_Device::kQueryOnly), 1);
    EXPECT_FALSE(device.IsStopRequested());
    EXPECT_FALSE(device.CanDelete());
    EXPECT_EQ(device.ReleasePolling(OPCS_Device::kOperator), 0);
    EXPECT_TRUE(WaitFor([&] { return device.GetPollState() == OPCS_Device::kPollingStopped; }, 3000));
    EXPECT_EQ(device.ReleasePolling(OPCS_Device::kOperator), 0);
    EXPECT_EQ(device.GetGuiPollRequests(), 0);
    EXPECT_TRUE(device.CanDelete());
    EXPECT_EQ(log.CountContaining("Poll Loop Start Request Queued"), 2);
    EXPECT_EQ(log.CountContaining("Poll Loop Stop Request Queued"), 1);
}

TEST(DevicePoll, AHostThatOnlyReadsFilesGetsDevicesWithoutPollThreads) {
    class FileOnlyHost : public ModelHost {
    public:
        bool StartsPollThreads() const override { return false; }
    } host;
    SetModelHost(&host);
    {
        CountingDevice device;
        EXPECT_FALSE(device.HasPollThread());
        // Nothing would serve a request, so none is taken.
        EXPECT_EQ(device.RequestPolling(OPCS_Device::kOperator), 0);
        EXPECT_TRUE(device.CanDelete());
    }
    SetModelHost(nullptr);
    CountingDevice polled;
    EXPECT_TRUE(polled.HasPollThread());
    EXPECT_EQ(polled.RequestPolling(OPCS_Device::kOperator), 1);
    EXPECT_EQ(polled.ReleasePolling(OPCS_Device::kOperator), 0);
}

TEST(DevicePoll, UpdateIntervalIsHeldBetweenOneSecondAndAnHour) {
    CountingDevice device;
    device.SetUpdateInterval(0);
    EXPECT_EQ(device.GetUpdateInterval(), 1u);
    device.SetUpdateInterval(86400);
    EXPECT_EQ(device.GetUpdateInterval(), 3599u);
}

TEST(DevicePoll, ConcurrencyAClientKeepsPollingWhenTheOperatorStops) {
    EventLogCapture log;
    CountingDevice device;
    device.SetUpdateInterval(1);
    device.RequestPolling(OPCS_Device::kClient);
    device.RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device.passes > 0; }, 3000));
    std::atomic<bool> sawStopped{false}, watching{true};
    std::thread watcher([&] {
        while (watching)
            if (device.GetPollState() == OPCS_Device::kPollingStopped) sawStopped = true;
    });
    device.ReleasePolling(OPCS_Device::kOperator);
    const int before = device.passes;
    device.ForceUpdate();
    EXPECT_TRUE(WaitFor([&] { return device.passes > before; }, 3000));
    Sleep(50);
    watching = false;
    watcher.join();
    EXPECT_FALSE(sawStopped);
    EXPECT_EQ(device.GetClientPollRequests(), 1);
    device.ReleasePolling(OPCS_Device::kClient);
    EXPECT_TRUE(WaitFor([&] { return device.GetPollState() == OPCS_Device::kPollingStopped; }, 3000));
}

TEST(DevicePoll, ConcurrencyAnExceptionInAPassIsLoggedAndPollingGoesOn) {
    EventLogCapture log;
    CountingDevice device;
    device.SetName("Counting");
    device.SetUpdateInterval(1);
    device.throwOnPoll = true;
    device.RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device.passes >= 1; }, 3000));
    device.ForceUpdate();
    EXPECT_TRUE(WaitFor([&] { return device.passes >= 2; }, 3000));
    device.ReleasePolling(OPCS_Device::kOperator);
    EXPECT_TRUE(WaitFor([&] { return device.GetPollState() == OPCS_Device::kPollingStopped; }, 3000));
    EXPECT_GE(log.CountContaining("Exception caught in the poll loop for device Counting"), 2);
}

TEST(DevicePoll, ConcurrencyOutOfServiceWhilePollingEmptiesVolatileTagsAndStopsPasses) {
    EventLogCapture log;
    CountingDevice device;
    device.SetName("Counting");
    device.SetUpdateInterval(1);
    VOKTag* tag = VolatileTag("Count");
    ASSERT_TRUE(device.AddTag(tag));
    VARIANT seven;
    VariantInit(&seven);
    seven.vt = VT_R8;
    seven.dblVal = 7;
    tag->SetValueGood(seven);
    device.goOutOfService = true;
    device.RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return !device.IsInService(); }, 3000));
    EXPECT_TRUE(WaitFor([&] { return tag->GetQuality() == kQualityOutOfService; }, 3000));
    EXPECT_EQ(TagDouble(tag), 0);  // Empty, as the tag's type carries it
    EXPECT_EQ(FileTimeToUInt64(tag->GetTimestamp()), 0u);
    const int passes = device.passes;
    device.ForceUpdate();
    Sleep(100);
    EXPECT_EQ(device.passes, passes);  // no pass while out of service
    EXPECT_NE(device.GetPollState(), OPCS_Device::kPollingStopped);
    device.goOutOfService = false;
    device.SetInService(true);
    EXPECT_TRUE(WaitFor([&] { return device.passes > passes; }, 3000));
    device.ReleasePolling(OPCS_Device::kOperator);
}

TEST(DevicePoll, ConcurrencyTheLoopsReferencesStayBalancedAcrossConfigurationChanges) {
    EventLogCapture log;
    CountingDevice device;
    device.SetUpdateInterval(1);
    VOKTag* first = VolatileTag("First");
    ASSERT_TRUE(device.AddTag(first));
    device.RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device.passes > 0; }, 3000));
    EXPECT_EQ(first->GetReferenceCount(), 1);
    EXPECT_FALSE(device.OPCS_TagGroup::RemoveTag(first));  // referenced by the loop

    VOKTag* added = VolatileTag("Added");
    ASSERT_TRUE(device.AddTag(added));
    device.RebuildTagList();  // from another thread, as the GUI would
    EXPECT_EQ(added->GetReferenceCount(), 1);
    for (int i = 0; i < 20; ++i) device.RebuildTagList();
    EXPECT_EQ(first->GetReferenceCount(), 1);

    device.ReleasePolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device.GetPollState() == OPCS_Device::kPollingStopped; }, 3000));
    EXPECT_EQ(first->GetReferenceCount(), 0);
    EXPECT_EQ(added->GetReferenceCount(), 0);
    EXPECT_EQ(first->GetQuality(), kQualityNotConnected);
    EXPECT_TRUE(device.OPCS_TagGroup::RemoveTag(added));
    delete added;
}

TEST(DevicePoll, ConcurrencyDestroyingAPollingDeviceJoinsItsThread) {
    EventLogCapture log;
    auto device = std::make_unique<CountingDevice>();
    device->SetName("Doomed");
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->passes > 0; }, 3000));
    // Waiting a 30 s interval: destruction must not wait for it.
    const DWORD start = GetTickCount();
    device.reset();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(log.CountContaining("Thread to poll device terminated"), 1);
}

TEST(DevicePoll, DeviceNamesAreUniqueIgnoringCase) {
    CountingDevice a, b;
    a.SetName("Line A");
    b.SetName("Line B");
    EXPECT_FALSE(OPCS_Device::IsUniqueDeviceName("line a", &b));
    EXPECT_TRUE(OPCS_Device::IsUniqueDeviceName("line a", &a));
    EXPECT_TRUE(OPCS_Device::IsUniqueDeviceName("Line C", nullptr));
}
