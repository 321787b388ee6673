// A counter line that hangs up and comes back under the same COM name: the
// device recovers by itself, without the operator stopping and starting it.
#include "DeviceTestSupport.h"

namespace {

using LineReconnect = DeviceLineTest;

TEST_F(LineReconnect, ADeviceRecoversWithinAPollIntervalOfANewCounterOnTheSameComName) {
    StartLine({Counter(4)});
    auto device = MakeDevice(4);
    VOKTag* raw = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw);
    ASSERT_EQ(device->RequestPolling(OPCS_Device::kOperator), 1);
    ASSERT_TRUE(WaitFor([&] { return raw->GetQuality() == kQualityGood; }, 8000));

    line.HangUp();
    ASSERT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommFailure; }, 8000));
    line.Stop();
    // Some failing passes while nothing is there to answer.
    Sleep(1500);

    SimLine second;
    SimLineConfig config;
    config.counters = {Counter(4)};
    config.comName = "COM" + std::to_string(kPort);
    config.timeScale = 1000;
    std::string error;
    ASSERT_TRUE(second.Start(config, &error)) << error;
    const auto back = std::chrono::steady_clock::now();
    // One interval (1 s) to the next pass, plus the pass that initialises the
    // new counter and reads its data.
    EXPECT_TRUE(WaitFor([&] { return device->GetCommStatus() == VOKDevice::kCommOK; }, 4000));
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back).count();
    EXPECT_LT(took, 4000);
    // The new counter came up with its own settings: it is initialised afresh.
    const auto state = second.CounterState(4);
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->manualMode);
    EXPECT_EQ(state->sampleIntervalS, 1u);

    device->ReleasePolling(OPCS_Device::kOperator);
    device.reset();
    second.Stop();
    EXPECT_EQ(log.CountContaining("Line lost"), 1);
    EXPECT_EQ(log.CountContaining("Line restored"), 1);
}

}  // namespace
