// Devices keep polling and are destroyed while the event log cannot be
// written: a full disk under the log never ends the program.
#include "DeviceTestSupport.h"

#include "platform/File.h"

namespace {

using EventLogFailure = DeviceLineTest;

TEST_F(EventLogFailure, DevicesPollAndAreDestroyedWhileTheLogIsOnAFullDevice) {
    if (GetFileAttributesA("/dev/full") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no /dev/full here";
    StartLine({Counter(1), Counter(2), Counter(3)});
    testing::internal::CaptureStderr();
    ASSERT_TRUE(EventLog().Open("/dev/full"));

    std::vector<std::unique_ptr<VOKDevice>> devices;
    for (int address = 1; address <= 3; ++address) devices.push_back(MakeDevice(address));
    for (auto& device : devices) ASSERT_EQ(device->RequestPolling(OPCS_Device::kOperator), 1);
    for (auto& device : devices) {
        VOKTag* raw = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw);
        EXPECT_TRUE(WaitFor([&] { return raw->GetQuality() == kQualityGood; }, 8000)) << device->GetName();
    }
    // Out of service and back writes entries from this thread and the poll threads.
    devices[0]->SetInService(false);
    devices[0]->SetInService(true);
    devices.clear();  // the destructors log while the poll threads end

    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(EventLog().GetWriteFailure(), "");
    EXPECT_GT(EventLog().GetLostEntryCount(), 10u);
    std::size_t reports = 0;
    for (std::size_t at = told.find("entries are lost"); at != std::string::npos;
         at = told.find("entries are lost", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << told;
}

}  // namespace
