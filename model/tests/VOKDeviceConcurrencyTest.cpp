// The counter device shared between threads: pauses changed while the
// device waits on its counter, and the program-wide counter list while
// devices come and go.
#include "DeviceTestSupport.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using VOKDeviceConcurrency = DeviceLineTest;

namespace {

// Another thread that keeps giving the device new pauses, flipping one of
// them between two values, until it is destroyed.
class PauseTuner {
public:
    PauseTuner(VOKDevice& device, DWORD VOKDevicePauses::*field, DWORD a, DWORD b)
        : thread_([this, &device, field, a, b] {
              VOKDevicePauses pauses = FastPauses();
              while (!done_) {
                  pauses.*field = pauses.*field == a ? b : a;
                  device.SetPauses(pauses);
                  Sleep(1);
              }
          }) {}
    ~PauseTuner() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace

TEST_F(VOKDeviceConcurrency, PausesChangedWhileAWriteIsConfirmedAreTakenSafely) {
    StartLine({Counter(3)});
    auto device = MakeDevice(3);
    {
        PauseTuner tuner(*device, &VOKDevicePauses::confirmation, 10, 20);
        // Each confirmation waits its pause between the write and the read back.
        for (DWORD seconds : {45u, 46u, 47u}) EXPECT_TRUE(device->SetSampleInterval(seconds, true)) << seconds;
        device->SetBinSizes(Bins({1, 3, 7}), true);
        device->SetBinSizes(Bins({1, 3, 8}), true);
    }
    EXPECT_EQ(line.CounterState(3)->sampleIntervalS, 47u);
    EXPECT_EQ(device->GetSampleInterval(), 47u);
    EXPECT_EQ(line.CounterState(3)->binsUm, (std::vector<double>{1, 3, 8}));
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConcurrency, PausesChangedWhileTheDevicePollsAreTakenSafely) {
    StartLine({Counter(4)});
    auto device = MakeDevice(4);
    device->RequestPolling(OPCS_Device::kOperator);
    {
        PauseTuner tuner(*device, &VOKDevicePauses::beforeData, 10, 30);
        VOKTag* total = device->GetSlotTag(VOKDevice::kSlotTotalRaw);
        EXPECT_TRUE(WaitFor([&] { return total->GetQuality() == kQualityGood; }, 10000));
    }
    device->ReleasePolling(OPCS_Device::kOperator);
    EXPECT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kPollingStopped; }, 5000));
}

namespace {

// One device on COM7 at address 5 of many that share it.
std::unique_ptr<VOKDevice> SharedBusDevice() {
    auto device = VOKDevice::Create(true);
    device->SetPort(7);
    device->SetAddress(0x85);
    return device;
}

}  // namespace

TEST(VOKDeviceConcurrencyBus, UniquenessTestsWhileDevicesAreDestroyedMeetOnlyLiveDevices) {
    EventLogCapture log;
    ScriptedUiServices ui;
    auto probe = VOKDevice::Create(true);
    probe->SetPort(7);
    probe->SetAddress(0x86);
    probe->SetName("Probe");

    std::mutex handOver;
    std::vector<std::unique_ptr<VOKDevice>> made;
    std::atomic<bool> making{true};
    std::thread maker([&] {
        for (int i = 0; i < 150; ++i) {
            auto device = SharedBusDevice();
            // Its answer depends on how far the destroyer is; what matters is
            // that the walk of the list meets no device under destruction.
            (void)device->IsUniqueOnBus();
            (void)OPCS_Device::IsUniqueDeviceName(device->GetName(), device.get());
            std::lock_guard lock(handOver);
            made.push_back(std::move(device));
        }
        making = false;
    });
    std::thread destroyer([&] {
        for (;;) {
            std::unique_ptr<VOKDevice> victim;
            {
                std::lock_guard lock(handOver);
                if (!made.empty()) {
                    victim = std::move(made.back());
                    made.pop_back();
                }
            }
            if (victim == nullptr) {
                if (!making) {
                    std::lock_guard lock(handOver);
                    if (made.empty()) return;
                }
                std::this_thread::yield();
                continue;
            }
            victim.reset();
        }
    });
    // A third thread asks for uniqueness all along: a port and address nobody else has.
    int probes = 0;
    while (making) {
        EXPECT_TRUE(probe->IsUniqueOnBus());
        ++probes;
    }
    maker.join();
    destroyer.join();
    EXPECT_GT(probes, 0);
    // Every shared device is gone: a new one is alone on its address again.
    auto last = SharedBusDevice();
    EXPECT_TRUE(last->IsUniqueOnBus());
    EXPECT_EQ(log.CountContaining("Deleting Device:"), 150);
}
