// The port scan over simulated lines: what it reports and how it stops.
#include "setup/CSensorScan.h"

#include "SetupTestSupport.h"
#include "setup/SensorTree.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace {

class Recorder : public ScanListener {
public:
    void PortOpenFailed(int port, const PortMessage& message) override {
        std::lock_guard lock(mutex_);
        failures.emplace_back(port, message);
    }
    void PortStarted(int port) override {
        std::lock_guard lock(mutex_);
        started.push_back(port);
    }
    void SensorFound(const CSensor& sensor) override {
        std::lock_guard lock(mutex_);
        found.push_back(sensor);
        order.push_back("found " + std::to_string(sensor.port) + ":" + std::to_string(sensor.address));
    }
    void AddressDone(int port, int address) override {
        std::lock_guard lock(mutex_);
        ++progress[port];
        order.push_back("done " + std::to_string(port) + ":" + std::to_string(address));
    }
    void ScanFinished() override {
        std::lock_guard lock(mutex_);
        ++finished;
    }

    std::mutex mutex_;
    std::vector<std::pair<int, PortMessage>> failures;
    std::vector<int> started;
    std::vector<CSensor> found;
    std::map<int, int> progress;
    std::vector<std::string> order;
    int finished = 0;
};

const CSensor* FindSensor(const std::vector<CSensor>& found, int port, int address) {
    for (const CSensor& sensor : found)
        if (sensor.port == port && sensor.address == address) return &sensor;
    return nullptr;
}

}  // namespace

using SensorScanTest = SetupLineTest;

TEST(SensorScan, CoversPortsOneTo32AndAddressesZeroTo31ByDefault) {
    const auto ports = CSensorScan::AllPorts();
    ASSERT_EQ(ports.size(), 32u);
    EXPECT_EQ(ports.front(), 1);
    EXPECT_EQ(ports.back(), 32);
    const auto addresses = CSensorScan::AllAddresses();
    ASSERT_EQ(addresses.size(), 32u);
    EXPECT_EQ(addresses.front(), 0);
    EXPECT_EQ(addresses.back(), 31);
}

TEST_F(SensorScanTest, FindsSupportedSensorsOnTwoPorts) {
    SimCounterConfig silent = SimCounterAt(12);
    silent.faults.silent = true;
    SimCounterConfig custom = SimCounterAt(30);
    custom.binsUm = {0.5, 2, 25};
    StartLine(27, {SimCounterAt(3), SimCounterAt(17, "OTHER"), custom, silent});
    StartLine(28, {SimCounterAt(0), SimCounterAt(21)});
    SimLine& busy = StartLine(29, {SimCounterAt(1)});
    // Another program holds COM29.
    CSetupPort holder;
    ASSERT_TRUE(holder.Open(29));

    Recorder recorder;
    CSensorScan scan({27, 28, 29, 30});
    ASSERT_TRUE(scan.Start(recorder));
    EXPECT_FALSE(scan.Start(recorder));  // one scan at a time
    ASSERT_TRUE(scan.WaitFor(20000));
    scan.Join();

    EXPECT_EQ(recorder.finished, 1);
    std::sort(recorder.started.begin(), recorder.started.end());
    EXPECT_EQ(recorder.started, (std::vector<int>{27, 28}));
    // The held port is reported; the missing COM30 is skipped silently.
    ASSERT_EQ(recorder.failures.size(), 1u);
    EXPECT_EQ(recorder.failures[0].first, 29);
    EXPECT_EQ(recorder.failures[0].second.id, 1006);
    EXPECT_EQ(recorder.failures[0].second.caption, "Unable to open serial port 29");
    EXPECT_EQ(recorder.progress[27], 32);
    EXPECT_EQ(recorder.progress[28], 32);
    EXPECT_EQ(recorder.progress.count(29), 0u);

    ASSERT_EQ(recorder.found.size(), 4u);
    EXPECT_TRUE(FindSensor(recorder.found, 27, 3));
    EXPECT_TRUE(FindSensor(recorder.found, 28, 0));
    EXPECT_TRUE(FindSensor(recorder.found, 28, 21));
    const CSensor* sensor = FindSensor(recorder.found, 27, 30);
    ASSERT_TRUE(sensor);
    EXPECT_EQ(sensor->model, "MCA");
    EXPECT_EQ(sensor->sizes, (std::vector<double>{0.5, 2, 25}));
    EXPECT_EQ(sensor->calibration.size(), 6u);
    EXPECT_FALSE(FindSensor(recorder.found, 27, 17));  // unsupported model
    EXPECT_FALSE(FindSensor(recorder.found, 27, 12));  // silent
    EXPECT_TRUE(busy.Trace().empty());

    // A sensor is reported before the progress of its own address.
    const auto found = std::find(recorder.order.begin(), recorder.order.end(), "found 27:3");
    const auto done = std::find(recorder.order.begin(), recorder.order.end(), "done 27:3");
    EXPECT_LT(found, done);

    // The tree groups by port in the order the sensors came.
    const auto tree = sensortree::Build(recorder.found);
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0].port, recorder.found[0].port);
    EXPECT_EQ(tree[0].sensors.size() + tree[1].sensors.size(), 4u);
}

TEST_F(SensorScanTest, StopsBetweenAddressesWhenAsked) {
    StartLine(27, {SimCounterAt(31)});
    class Stopper : public Recorder {
    public:
        CSensorScan* scan = nullptr;
        void AddressDone(int port, int address) override {
            Recorder::AddressDone(port, address);
            if (address == 2) scan->RequestStop();
        }
    } recorder;
    CSensorScan scan({27});
    recorder.scan = &scan;
    ASSERT_TRUE(scan.Start(recorder));
    ASSERT_TRUE(scan.WaitFor(5000));
    scan.Join();
    EXPECT_EQ(recorder.progress[27], 3);
    EXPECT_TRUE(recorder.found.empty());
    EXPECT_EQ(recorder.finished, 1);
    // The port was closed: it opens again at once.
    CSetupPort port;
    EXPECT_TRUE(port.Open(27));
}

TEST_F(SensorScanTest, DestroyingARunningScanStopsAndJoinsIt) {
    StartLine(27, {SimCounterAt(31)});
    Recorder recorder;
    {
        CSensorScan scan({27});
        ASSERT_TRUE(scan.Start(recorder));
    }
    EXPECT_LT(recorder.progress[27], 32);
    EXPECT_EQ(recorder.finished, 1);
}

TEST_F(SensorScanTest, ScanWithNoPortsFinishesAtOnce) {
    Recorder recorder;
    CSensorScan scan(std::vector<int>{});
    ASSERT_TRUE(scan.Start(recorder));
    EXPECT_TRUE(scan.IsFinished());
    EXPECT_EQ(recorder.finished, 1);
}

TEST_F(SensorScanTest, SendLightOnAFreshPort) {
    SimLine& line = StartLine(27, {SimCounterAt(4)});
    const CSensor sensor = SensorAt(27, 4);
    EXPECT_TRUE(SendLight(sensor, true));
    EXPECT_TRUE(line.CounterState(4)->light);
    EXPECT_TRUE(SendLight(sensor, false));
    EXPECT_FALSE(line.CounterState(4)->light);
    CSetupPort holder;
    ASSERT_TRUE(holder.Open(27));
    std::optional<PortMessage> message;
    EXPECT_FALSE(SendLight(sensor, true, &message));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->id, 1006);
}
