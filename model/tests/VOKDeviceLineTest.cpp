// The counter device against simulated counters on a real pseudo-terminal.
#include "DeviceTestSupport.h"

#include "model/ScopedLock.h"
#include "model/VOKTagGroup.h"

#include <chrono>
#include <cmath>

namespace {

bool Good(const OPCS_Tag* tag) { return tag != nullptr && tag->GetQuality() == kQualityGood; }

}  // namespace

using VOKDeviceLine = DeviceLineTest;

TEST_F(VOKDeviceLine, InitialisationWritesTheConfiguredBinsAndIntervalThenDataFillsTheTags) {
    SimCounterConfig counter = Counter(5);
    counter.binsUm = {0.3, 0.5, 1.0, 5.0, 10.0};
    counter.sampleIntervalS = 60;
    counter.status = 0x04;
    StartLine({counter});
    auto device = MakeDevice(5);
    device->SetFlow(50);  // 50 ml/min over 1 s: 5/6 ml per sample

    ASSERT_EQ(device->RequestPolling(OPCS_Device::kOperator), 1);
    ASSERT_TRUE(WaitFor([&] { return device->IsInitialised(); }, 5000));
    const auto state = line.CounterState(5);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->binsUm, (std::vector<double>{2, 5, 10, 15}));
    EXPECT_EQ(state->sampleIntervalS, 1u);
    EXPECT_TRUE(state->manualMode);
    EXPECT_EQ(TagText(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)), "4400 VOK V3.12");
    // Both settings differed, so the buffer was cleared after each write.
    EXPECT_GE(log.CountContaining("Initialized."), 1);

    device->ForceUpdate();
    VOKTag* firstRaw = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw);
    ASSERT_TRUE(WaitFor([&] { return Good(firstRaw); }, 5000));
    {
        // The conversion runs under the device lock: once it is ours, the pass is complete.
        GroupLock hold(*device);
        const std::string payload = LastDataPayload();
        BYTE flags = 0;
        Dll<VOK_DataRec> records;
        ASSERT_TRUE(VOK_DecodeData(reinterpret_cast<const BYTE*>(payload.data()), static_cast<DWORD>(payload.size()),
                                   flags, records));
        EXPECT_EQ(flags, 0x04);
        std::vector<double> counts, analog;
        for (const VOK_DataRec& r : records) {
            (r.name.find("AN") != std::string::npos ? analog : counts).push_back(r.value);
        }
        ASSERT_EQ(counts.size(), 4u);
        ASSERT_EQ(analog.size(), 8u);
        const double volume = 50.0 / 60.0 * 1.0;
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + j)), std::trunc(counts[j])) << j;
            EXPECT_NEAR(TagDouble(device->GetSlotTag(VOKDevice::kSlotCumulativeNormalized + j)), counts[j] / volume, 1e-6);
            const double above = j < 3 ? counts[j + 1] : 0;
            EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotDifferentialRaw + j)), counts[j] - above) << j;
            EXPECT_NEAR(TagDouble(device->GetSlotTag(VOKDevice::kSlotDifferentialNormalized + j)),
                        (counts[j] - above) / volume, 1e-6);
        }
        EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotTotalRaw)), counts[0]);
        EXPECT_NEAR(TagDouble(device->GetSlotTag(VOKDevice::kSlotTotalNormalized)), counts[0] / volume, 1e-6);
        for (int n = 0; n < 8; ++n) {
            // Raw millivolts through the analog inputs' scaling (gain 0.004).
            EXPECT_NEAR(TagDouble(device->GetSlotTag(VOKDevice::kSlotAnalogInput + n)), analog[n] * 0.004, 1e-9) << n;
        }
        EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCounterAlarm)), -1);
        EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCountAlarm)), -1);
        EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCommAlarm)), 0);
        EXPECT_EQ(device->GetCommStatus(), VOKDevice::kCommOK);
    }

    device->ReleasePolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kPollingStopped; }, 5000));
    EXPECT_EQ(firstRaw->GetQuality(), kQualityNotConnected);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceLine, ACounterThatStaysBusyIsAskedFourTimesThenTimesOut) {
    StartLine({Counter(2)});
    auto device = MakeDevice(2);
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->IsInitialised(); }, 5000));
    SimFaults busy;
    busy.busyQueries = 100;
    ASSERT_TRUE(line.SetFaults(2, busy));
    device->ForceUpdate();
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommFailure; }, 5000));
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(log.CountContaining("Waiting for device to finish sample. Retry Cnt: " + std::to_string(n)), 1) << n;
    EXPECT_EQ(log.CountContaining("Retry Cnt: 5"), 0);
    EXPECT_EQ(log.CountContaining("Timeout waiting for device to finish sample"), 1);
    EXPECT_FALSE(device->IsInitialised());
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotTotalRaw)->GetQuality(), kQualityCommFailure);
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCommStatus)), 1);
    EXPECT_FALSE(device->IsCommOK());
    EXPECT_GE(ui.CountTimerPosts(PostTarget::DeviceTree, kTimerDeviceIcons), 1u);
    device->ReleasePolling(OPCS_Device::kOperator);
}

TEST_F(VOKDeviceLine, ASilentCounterGivesCommFailureAndRecoversWhenItAnswersAgain) {
    SimCounterConfig counter = Counter(9);
    counter.faults.silent = true;
    StartLine({counter});
    auto device = MakeDevice(9);
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommFailure; }, 15000));
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw)->GetQuality(), kQualityCommFailure);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotCounterAlarm)->GetQuality(), kQualityCommFailure);
    EXPECT_GE(log.CountContaining("Failed to initialize device:"), 1);
    // Non-volatile tags keep their values.
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotBinSize)->GetQuality(), kQualityGood);

    ASSERT_TRUE(line.SetFaults(9, SimFaults{}));
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommOK && device->IsInitialised(); },
                        15000));
    device->ForceUpdate();
    ASSERT_TRUE(WaitFor([&] { return device->GetSlotTag(VOKDevice::kSlotCumulativeRaw)->GetQuality() == kQualityGood; },
                        5000));
    EXPECT_TRUE(device->IsCommOK());
    device->ReleasePolling(OPCS_Device::kOperator);
}

TEST_F(VOKDeviceLine, TwoDevicesOnOnePortAndAddressAreNotInitialised) {
    StartLine({Counter(4)});
    auto first = MakeDevice(4);
    auto second = MakeDevice(4);
    EXPECT_NE(first->GetName(), second->GetName());
    EXPECT_FALSE(first->IsUniqueOnBus());
    first->RequestPolling(OPCS_Device::kOperator);
    second->RequestPolling(OPCS_Device::kClient);
    ASSERT_TRUE(WaitFor([&] { return first->GetCommStatus() == VOKDevice::kAddressConflict &&
                                     second->GetCommStatus() == VOKDevice::kAddressConflict; },
                        5000));
    EXPECT_FALSE(first->IsInitialised());
    EXPECT_FALSE(second->IsInitialised());
    EXPECT_GE(log.CountContaining("Is not unique in address & port"), 2);
    EXPECT_FALSE(line.CounterState(4)->manualMode);  // nobody talked to it
    // Moving one away resolves the conflict.
    second->SetAddress(0x80 + 7);
    EXPECT_TRUE(first->IsUniqueOnBus());
    first->ForceUpdate();
    EXPECT_TRUE(WaitFor([&] { return first->IsInitialised(); }, 5000));
}

TEST_F(VOKDeviceLine, ConcurrencyDestroyingADeviceMidTransactionIsPrompt) {
    SimCounterConfig counter = Counter(1);
    StartLine({counter}, 1000, true);  // paced at 9600 baud: each byte takes about a millisecond
    auto device = MakeDevice(1);
    Dll<double> bins;
    for (int j = 1; j <= 32; ++j) bins.AddTail(j);
    device->SetBinSizes(bins, false);
    device->RequestPolling(OPCS_Device::kClient);
    // Somewhere inside the initialisation's transactions.
    ASSERT_TRUE(WaitFor([&] { return line.Trace().size() > 40; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    device.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
    EXPECT_EQ(VOK_SelectCount(), 0);
    // The port was given back: another user can take the counter at once.
    ASSERT_TRUE(VOK_OpenPort(kPort));
    std::int32_t handle = 0;
    EXPECT_TRUE(VOK_SelectCounter(kPort, 0x81, handle, nullptr));
    VOK_ReleaseCounter(handle);
    VOK_ClosePort(kPort);
}

TEST_F(VOKDeviceLine, ConfigurationWritesAreConfirmedByReadingBack) {
    StartLine({Counter(3)});
    auto device = MakeDevice(3);
    EXPECT_TRUE(device->SetSampleInterval(45, true));
    EXPECT_EQ(line.CounterState(3)->sampleIntervalS, 45u);
    EXPECT_EQ(device->GetUpdateInterval(), 45u);
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotSampleInterval)), 45);

    device->SetBinSizes(Bins({1, 3, 7}), true);
    EXPECT_EQ(line.CounterState(3)->binsUm, (std::vector<double>{1, 3, 7}));
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotNumBins)), 3);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotBinSize + 3), nullptr);
    EXPECT_TRUE(ui.Messages().empty());

    // A counter that turns the bins down: the configuration stays, the operator is told.
    device->SetBinSizes(Bins({5, 3}), true);  // not ascending
    Dll<double> kept;
    device->GetBinSizes(kept);
    EXPECT_EQ(kept.GetCount(), 3);
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_NE(ui.Messages()[0].text.find("bin sizes"), std::string::npos);
    EXPECT_EQ(ui.Messages()[0].icon, MessageIcon::Information);
    // Nothing was left open by these calls.
    EXPECT_EQ(VOK_SelectCount(), 0);
}
