// The counter device's configuration paths: a device set up from the counter
// that discovery found (against simulated counters on real pseudo-terminals),
// and the analog inputs' limits and service flags as the analog-input page
// exchanges them.
#include "DeviceTestSupport.h"

#include "TagTestSupport.h"
#include "model/VOKTagGroup.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<double> Values(const Dll<double>& list) {
    std::vector<double> out;
    for (double value : list) out.push_back(value);
    return out;
}

// A device as discovery makes it: no tags yet, no port, no address.
std::unique_ptr<VOKDevice> FoundDevice() { return VOKDevice::Create(true); }

// Discovery runs on a port that its search thread has opened.
class VOKDeviceConfigDiscovery : public DeviceLineTest {
protected:
    void OpenLine(std::vector<SimCounterConfig> counters, bool pace = false) {
        StartLine(std::move(counters), 1000, pace);
        ASSERT_TRUE(VOK_OpenPort(kPort));
        opened_.push_back(kPort);
    }
    // A further line on COM<number>, in the same registry as the first.
    void OpenExtraLine(int number, SimCounterConfig counter) {
        SimLineConfig config;
        config.counters = {counter};
        config.comName = "COM" + std::to_string(number);
        config.timeScale = 1000;
        auto extra = std::make_unique<SimLine>();
        std::string error;
        ASSERT_TRUE(extra->Start(config, &error)) << error;
        extras_.push_back(std::move(extra));
        CSerial::EnumeratePorts();
        ASSERT_TRUE(VOK_OpenPort(number));
        opened_.push_back(number);
    }
    void TearDown() override {
        for (int port : opened_) VOK_ClosePort(port);
        for (auto& extra : extras_) extra->Stop();
        DeviceLineTest::TearDown();
    }

    // Every byte the host sent on the first line, in order.
    std::string HostBytes() const {
        std::string out;
        for (const auto& e : line.Trace())
            if (e.direction == SimDirection::Rx) out += static_cast<char>(e.byte);
        return out;
    }

private:
    std::vector<int> opened_;
    std::vector<std::unique_ptr<SimLine>> extras_;
};

}  // namespace

TEST_F(VOKDeviceConfigDiscovery, TakesTypeVersionIntervalBinsAndCalibrationFromTheCounter) {
    SimCounterConfig counter = Counter(12);
    counter.binsUm = {0.5, 1, 2.5, 7, 25};
    counter.sampleIntervalS = 90;
    counter.versionText = "4400 VOK V7.01";
    counter.calibration = {{0.5, 150}, {1, 320}, {2.5, 505}, {7, 810}};
    ASSERT_NO_FATAL_FAILURE(OpenLine({counter}));
    auto device = FoundDevice();
    StopFlag cancel{false};

    ASSERT_TRUE(device->InitFromDiscovery(0x80 + 12, "COM41", &cancel));

    EXPECT_EQ(device->GetAddress(), 0x80 + 12);
    EXPECT_EQ(device->GetPort(), 41);
    ASSERT_TRUE(device->AreTagsCreated());
    EXPECT_EQ(device->GetSoftwareVersion(), "4400 VOK V7.01");
    EXPECT_EQ(TagText(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)), "4400 VOK V7.01");
    EXPECT_EQ(device->GetSampleInterval(), 90u);
    EXPECT_EQ(device->GetUpdateInterval(), 90u);
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotSampleInterval)), 90);

    Dll<double> bins;
    device->GetBinSizes(bins);
    EXPECT_EQ(Values(bins), (std::vector<double>{0.5, 1, 2.5, 7, 25}));
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotNumBins)), 5);
    const double sizes[] = {0.5, 1, 2.5, 7, 25};
    for (int j = 0; j < 5; ++j) {
        EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotBinSize + j)), sizes[j]) << j;
        EXPECT_NE(device->GetSlotTag(VOKDevice::kSlotDifferentialNormalized + j), nullptr) << j;
    }
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotBinSize + 5), nullptr);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + 5), nullptr);
    EXPECT_EQ(device->GetKindGroup(VOKTagGroup::BinSizes)->GetTagCount(), 5);

    Dll<VOK_CalPt> points;
    device->GetCalPoints(points);
    ASSERT_EQ(points.GetCount(), 4);
    const VOK_CalPt expected[] = {{0.5, 150}, {1, 320}, {2.5, 505}, {7, 810}};
    int i = 0;
    for (const VOK_CalPt& point : points) EXPECT_EQ(point, expected[i++]) << i;

    // Only reads: the counter keeps its settings and is neither put in manual
    // mode nor started, and nothing was written to it.
    const auto state = line.CounterState(12);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->sampleIntervalS, 90u);
    EXPECT_EQ(state->binsUm, counter.binsUm);
    EXPECT_FALSE(state->manualMode);
    EXPECT_EQ(state->mode, SimMode::Stopped);
    EXPECT_EQ(state->refusedWrites, 0u);
    const std::string sent = HostBytes();
    EXPECT_EQ(sent.find("P "), std::string::npos) << "bins written";
    EXPECT_EQ(sent.find("L "), std::string::npos) << "interval written";
    EXPECT_EQ(sent.find('b'), std::string::npos) << "manual mode set";
    EXPECT_EQ(sent.find('d'), std::string::npos) << "sampling started";
    EXPECT_EQ(log.CountContaining("Device on port:"), 0);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, OnlyTheExactTypeMCAIsAccepted) {
    SimCounterConfig lower = Counter(10);
    lower.modelText = "mca";
    SimCounterConfig other = Counter(11);
    other.modelText = "PCX";
    ASSERT_NO_FATAL_FAILURE(OpenLine({lower, other}));

    for (BYTE address : {BYTE(0x8A), BYTE(0x8B)}) {
        auto device = FoundDevice();
        EXPECT_FALSE(device->InitFromDiscovery(address, "COM41", nullptr)) << int(address);
        // It stopped at the type: the version was never asked for.
        EXPECT_EQ(device->GetSoftwareVersion(), "Unavailable");
        EXPECT_EQ(device->GetAddress(), address);
        EXPECT_EQ(device->GetPort(), 41);
    }
    EXPECT_EQ(log.CountContaining("Device on port: COM41 Addr: 8A Invalid type string"), 1);
    EXPECT_EQ(log.CountContaining("Device on port: COM41 Addr: 8B Invalid type string"), 1);
    EXPECT_EQ(HostBytes().find('E'), std::string::npos);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, ThePortNameIsReadAsACOMNameWithOrWithoutTheDevicePrefix) {
    ASSERT_NO_FATAL_FAILURE(OpenLine({Counter(12)}));
    auto prefixed = FoundDevice();
    EXPECT_TRUE(prefixed->InitFromDiscovery(0x8C, "\\\\.\\com41", nullptr));
    EXPECT_EQ(prefixed->GetPort(), 41);
    EXPECT_EQ(prefixed->GetSoftwareVersion(), "4400 VOK V3.12");

    // Anything else is no port at all: the reads fail at once and the line stays quiet.
    line.ClearTrace();
    for (const char* name : {"COM41x", "41", "ttyUSB0", "COM", "COM041", ""}) {
        auto device = FoundDevice();
        EXPECT_FALSE(device->InitFromDiscovery(0x8C, name, nullptr)) << name;
        EXPECT_EQ(device->GetPort(), 0) << name;
        EXPECT_EQ(log.CountContaining(std::string("Device on port: ") + name + " Addr: 8C Failed to read device type"),
                  1)
            << name;
    }
    EXPECT_TRUE(line.Trace().empty());
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, ASilentAddressFailsAtTheTypeReadAndSaysWhere) {
    ASSERT_NO_FATAL_FAILURE(OpenLine({Counter(5)}));
    auto device = FoundDevice();
    const auto start = Clock::now();
    EXPECT_FALSE(device->InitFromDiscovery(0x80 + 20, "COM41", nullptr));
    // Three select attempts with their echo time-outs and the line reset, no more.
    EXPECT_LT(SecondsSince(start), 12);
    EXPECT_EQ(log.CountContaining("Device on port: COM41 Addr: 94 Failed to read device type"), 1);
    EXPECT_EQ(log.CountContaining("Failed to read version"), 0);
    // The tag tree exists even for a device that is then thrown away.
    EXPECT_TRUE(device->AreTagsCreated());
    EXPECT_EQ(device->GetSoftwareVersion(), "Unavailable");
    EXPECT_EQ(VOK_SelectCount(), 0);
    EXPECT_FALSE(line.CounterState(5)->manualMode);
}

TEST_F(VOKDeviceConfigDiscovery, ConcurrencyEachFailingReadStopsTheDiscoveryWithItsOwnMessage) {
    // Counters that fall silent after a given number of echoed bytes, one per
    // line so that the five run side by side as discovery's port threads do.
    // Echoes in order: select, T | select, (E has none) | select, L CR LF |
    // select, P CR LF | select, K CR LF.
    struct Case {
        unsigned echoes;
        const char* message;
    };
    const Case cases[] = {{1, "Failed to read device type"},
                          {3, "Failed to read version"},
                          {4, "Failed to read sample interval"},
                          {8, "Failed to read bin sizes"},
                          {12, "Failed to read Cal Pts"}};
    ASSERT_NO_FATAL_FAILURE(OpenLine({Counter(9)}));
    for (int i = 0; i < 5; ++i) {
        SimCounterConfig counter = Counter(7);
        counter.sampleIntervalS = 75;
        counter.faults.noEchoAfter = cases[i].echoes;
        ASSERT_NO_FATAL_FAILURE(OpenExtraLine(51 + i, counter));
    }
    std::vector<std::unique_ptr<VOKDevice>> devices;
    for (int i = 0; i < 5; ++i) devices.push_back(FoundDevice());
    bool results[5] = {true, true, true, true, true};
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < 5; ++i)
            threads.emplace_back([&, i] {
                results[i] = devices[static_cast<std::size_t>(i)]->InitFromDiscovery(
                    0x87, "COM" + std::to_string(51 + i), nullptr);
            });
        for (auto& t : threads) t.join();
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(results[i]) << cases[i].message;
        const std::string entry = "Device on port: COM" + std::to_string(51 + i) + " Addr: 87 " + cases[i].message;
        EXPECT_EQ(log.CountContaining(entry), 1) << entry;
        // The first failure ends it: no later read reports anything.
        EXPECT_EQ(log.CountContaining("Device on port: COM" + std::to_string(51 + i)), 1) << cases[i].message;
    }
    // What was read before the failure is kept; what was not stays as it was.
    EXPECT_EQ(devices[0]->GetSoftwareVersion(), "Unavailable");
    EXPECT_EQ(devices[2]->GetSoftwareVersion(), "4400 VOK V3.12");
    EXPECT_EQ(devices[3]->GetSampleInterval(), 75u);
    EXPECT_NE(devices[2]->GetSampleInterval(), 75u);
    Dll<double> bins;
    devices[4]->GetBinSizes(bins);
    EXPECT_EQ(Values(bins), (std::vector<double>{0.3, 0.5, 1, 5, 10}));
    Dll<VOK_CalPt> points;
    devices[4]->GetCalPoints(points);
    EXPECT_EQ(points.GetCount(), 0);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, ACancelSetBeforehandSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(OpenLine({Counter(3)}));
    auto device = FoundDevice();
    StopFlag cancel{true};
    EXPECT_FALSE(device->InitFromDiscovery(0x83, "COM41", &cancel));
    EXPECT_TRUE(line.Trace().empty());
    EXPECT_EQ(device->GetSoftwareVersion(), "Unavailable");
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, ConcurrencyACancelAbandonsTheSelectOfASilentAddress) {
    ASSERT_NO_FATAL_FAILURE(OpenLine({Counter(3)}));
    auto device = FoundDevice();
    StopFlag cancel{false};
    std::atomic<bool> done{false};
    bool result = true;
    const auto start = Clock::now();
    std::thread search([&] {
        result = device->InitFromDiscovery(0x80 + 30, "COM41", &cancel);
        done = true;
    });
    Sleep(300);
    cancel = true;
    const auto cancelled = Clock::now();
    // The exchange under way may wait out one echo time-out; the other select
    // attempts (about six seconds in all) are not made.
    const bool ended = WaitFor([&] { return done.load(); }, 10000);
    const double after = SecondsSince(cancelled);
    search.join();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(result);
    EXPECT_LT(after, 3.5);
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKDeviceConfigDiscovery, ConcurrencyACancelBetweenReadsStopsBeforeTheNextOne) {
    // Paced at 9600 baud, with 32 bins to make the bins reply long: the cancel
    // lands well before the calibration points are asked for.
    SimCounterConfig counter = Counter(6);
    counter.binsUm.clear();
    for (int j = 1; j <= 32; ++j) counter.binsUm.push_back(j);
    ASSERT_NO_FATAL_FAILURE(OpenLine({counter}, true));
    auto device = FoundDevice();
    StopFlag cancel{false};
    std::atomic<bool> done{false};
    bool result = true;
    std::thread search([&] {
        result = device->InitFromDiscovery(0x86, "COM41", &cancel);
        done = true;
    });
    const bool versionAsked = WaitFor([&] { return HostBytes().find('E') != std::string::npos || done; }, 5000);
    cancel = true;
    const bool ended = WaitFor([&] { return done.load(); }, 10000);
    search.join();
    ASSERT_TRUE(versionAsked);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(result);
    EXPECT_EQ(HostBytes().find('K'), std::string::npos) << "calibration points read after the cancel";
    Dll<VOK_CalPt> points;
    device->GetCalPoints(points);
    EXPECT_EQ(points.GetCount(), 0);
    EXPECT_EQ(VOK_SelectCount(), 0);
}

// ---------------------------------------------------------------------------
// Analog inputs

namespace {

class VOKDeviceConfigAnalog : public ::testing::Test {
protected:
    void SetUp() override { device = VOKDevice::Create(false); }

    VOKTag* Analog(int n) const { return device->GetSlotTag(VOKDevice::kSlotAnalogInput + n); }
    VOKTag* InService(int n) const { return device->GetSlotTag(VOKDevice::kSlotAnalogInService + n); }

    void Feed(const char* label, double millivolts) {
        Dll<VOK_DataRec> records;
        records.AddTail({label, millivolts});
        device->Data().ProcessCounterData(0x20, records);
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    CountingHost host;
    std::unique_ptr<VOKDevice> device;
};

}  // namespace

TEST_F(VOKDeviceConfigAnalog, LimitsLandOnTheAnalogTagsAndComeBackUnchanged) {
    std::vector<VOKAnalogLimits> limits = device->GetAnalogLimits();
    ASSERT_EQ(limits.size(), 8u);
    for (int n = 0; n < 8; ++n) {
        EXPECT_EQ(limits[n].inputIndex, n);
        EXPECT_NE(limits[n].enabled, 0) << n;
        EXPECT_EQ(limits[n].minimum, 0) << n;
        EXPECT_EQ(limits[n].maximum, 20) << n;
        EXPECT_EQ(limits[n].analogTag, Analog(n)) << n;
    }
    Feed("AN5", 2000);
    ASSERT_DOUBLE_EQ(TagDouble(Analog(5)), 8);
    limits[2] = {1, 2, 4, 12, 5, nullptr};
    limits[5].enabled = 0;
    limits[5].minimum = 7;  // a disabled input's limits are not taken
    limits[5].maximum = 8;
    const int modifiedBefore = host.modified;
    device->SetAnalogLimits(limits);

    VOKTag* two = Analog(2);
    EXPECT_EQ(two->GetEUMin(), 4);
    EXPECT_EQ(two->GetEUMax(), 12);
    EXPECT_EQ(two->GetDeadBand(), 5);
    EXPECT_TRUE(two->IsEULimitsActive());
    // The device-value side of the input stays as its kind made it.
    EXPECT_DOUBLE_EQ(two->GetGain(), 0.004);
    EXPECT_EQ(two->GetRawMax(), 5000);
    EXPECT_EQ(TagDouble(InService(2)), -1);
    EXPECT_EQ(TagDouble(InService(5)), 0);
    EXPECT_EQ(Analog(5)->GetEUMin(), 0);
    EXPECT_EQ(Analog(5)->GetEUMax(), 20);
    EXPECT_GT(host.modified, modifiedBefore);

    const std::vector<VOKAnalogLimits> back = device->GetAnalogLimits();
    ASSERT_EQ(back.size(), 8u);
    EXPECT_NE(back[2].enabled, 0);
    EXPECT_EQ(back[2].minimum, 4);
    EXPECT_EQ(back[2].maximum, 12);
    EXPECT_EQ(back[2].deadBand, 5);
    EXPECT_EQ(back[5].enabled, 0);
    EXPECT_EQ(back[5].maximum, 20);
    for (int n : {0, 1, 3, 4, 6, 7}) EXPECT_NE(back[n].enabled, 0) << n;

    const std::string name = device->GetName();
    EXPECT_EQ(log.CountContaining("Device: " + name + " Analog input 2 enabled, Min: 4 Max: 12 DeadBand: 5"), 1);
    EXPECT_EQ(log.CountContaining("Device: " + name + " Analog input 5 disabled"), 1);

    // The counter's readings are held inside the new limits (0.004 mA per mV)...
    Feed("AN2", 4000);
    EXPECT_DOUBLE_EQ(TagDouble(two), 12);
    EXPECT_EQ(two->GetQuality(), kQualityGood);
    Feed("AN2", 250);
    EXPECT_DOUBLE_EQ(TagDouble(two), 4);
    Feed("AN2", 2000);
    EXPECT_DOUBLE_EQ(TagDouble(two), 8);
    // ...and a disabled input takes none.
    Feed("AN5", 1000);
    EXPECT_EQ(Analog(5)->GetQuality(), kQualityOutOfService);
    EXPECT_DOUBLE_EQ(TagDouble(Analog(5)), 8);
}

TEST_F(VOKDeviceConfigAnalog, ALimitsListOfAnotherLengthOrWithAnInputOutOfRangeIsRefusedWhereItIsWrong) {
    const std::vector<VOKAnalogLimits> before = device->GetAnalogLimits();
    for (std::size_t size : {0u, 7u, 9u}) {
        std::vector<VOKAnalogLimits> wrong(size);
        for (std::size_t i = 0; i < size; ++i) wrong[i] = {1, static_cast<std::int32_t>(i % 8), 9, 10, 1, nullptr};
        device->SetAnalogLimits(wrong);
        for (int n = 0; n < 8; ++n) {
            EXPECT_EQ(Analog(n)->GetEUMin(), before[n].minimum) << size;
            EXPECT_EQ(Analog(n)->GetEUMax(), before[n].maximum) << size;
        }
    }
    EXPECT_EQ(log.CountContaining("Analog input"), 0);

    std::vector<VOKAnalogLimits> limits = device->GetAnalogLimits();
    limits[3] = {1, 8, 1, 2, 0, nullptr};         // no ninth input
    limits[4] = {0, -1, 1, 2, 0, nullptr};        // nor one below the first
    limits[6] = {1, INT_MAX, 1, 2, 0, nullptr};
    limits[7] = {1, 7, 2, 18, 0, nullptr};
    device->SetAnalogLimits(limits);
    EXPECT_EQ(Analog(7)->GetEUMin(), 2);
    EXPECT_EQ(Analog(7)->GetEUMax(), 18);
    for (int n = 0; n < 7; ++n) {
        EXPECT_EQ(Analog(n)->GetEUMin(), 0) << n;
        EXPECT_EQ(Analog(n)->GetEUMax(), 20) << n;
        EXPECT_EQ(TagDouble(InService(n)), -1) << n;
    }
}

TEST_F(VOKDeviceConfigAnalog, EnablingAndDisablingAnInputEmptiesItsValue) {
    Feed("AN4", 2500);
    ASSERT_EQ(Analog(4)->GetQuality(), kQualityGood);
    ASSERT_DOUBLE_EQ(TagDouble(Analog(4)), 10);

    ASSERT_TRUE(device->EnableAnalogInput(4, false));
    EXPECT_EQ(TagDouble(InService(4)), 0);
    EXPECT_EQ(Analog(4)->GetQuality(), kQualityOutOfService);
    EXPECT_EQ(TagDouble(Analog(4)), 0);  // the reading is gone
    EXPECT_EQ(device->GetAnalogLimits()[4].enabled, 0);
    for (int n : {0, 1, 2, 3, 5, 6, 7}) EXPECT_EQ(TagDouble(InService(n)), -1) << n;

    ASSERT_TRUE(device->EnableAnalogInput(4, true));
    EXPECT_EQ(TagDouble(InService(4)), -1);
    EXPECT_EQ(Analog(4)->GetQuality(), kQualityBad);
    EXPECT_EQ(TagDouble(Analog(4)), 0);
    Feed("AN4", 1000);
    EXPECT_DOUBLE_EQ(TagDouble(Analog(4)), 4);
    EXPECT_EQ(Analog(4)->GetQuality(), kQualityGood);
}

TEST_F(VOKDeviceConfigAnalog, AnInputOutsideTheEightIsRefused) {
    for (std::int32_t index : {-1, 8, 9, 118, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(device->EnableAnalogInput(index, false)) << index;
        EXPECT_FALSE(device->EnableAnalogInput(index, true)) << index;
    }
    for (int n = 0; n < 8; ++n) EXPECT_EQ(TagDouble(InService(n)), -1) << n;
    // Neighbouring slots are untouched.
    EXPECT_EQ(TagDouble(device->GetSlotTag(VOKDevice::kSlotCounterInService)), -1);
    EXPECT_NE(device->GetSlotTag(VOKDevice::kSlotDifferentialRaw), nullptr);
}

TEST_F(VOKDeviceConfigAnalog, MissingTagsOfAnInputAreMadeAgainByTheLimits) {
    VOKTagGroup* group = device->GetKindGroup(VOKTagGroup::AnalogData);
    ASSERT_NE(group, nullptr);
    VOKTag* analog = Analog(6);
    ASSERT_TRUE(group->RemoveTag(analog));
    delete analog;
    VOKTag* inService = InService(1);
    ASSERT_TRUE(group->DetachTag(inService));
    delete inService;
    device->RebuildTagList();
    ASSERT_EQ(Analog(6), nullptr);
    ASSERT_EQ(InService(1), nullptr);

    // Without both tags an input cannot be switched, and it reads as disabled.
    EXPECT_FALSE(device->EnableAnalogInput(6, true));
    EXPECT_FALSE(device->EnableAnalogInput(1, true));
    std::vector<VOKAnalogLimits> limits = device->GetAnalogLimits();
    ASSERT_EQ(limits.size(), 8u);
    EXPECT_EQ(limits[6].analogTag, nullptr);
    EXPECT_EQ(limits[1].enabled, 0);

    limits[6] = {1, 6, 1, 9, 2, nullptr};
    limits[1] = {1, 1, 3, 15, 0, nullptr};
    device->SetAnalogLimits(limits);
    ASSERT_NE(Analog(6), nullptr);
    ASSERT_NE(InService(1), nullptr);
    EXPECT_EQ(Analog(6)->GetName(), "Analog Input 7");
    EXPECT_EQ(Analog(6)->GetGroup(), group);
    EXPECT_EQ(Analog(6)->GetEUMin(), 1);
    EXPECT_EQ(Analog(6)->GetEUMax(), 9);
    EXPECT_EQ(InService(1)->GetName(), "Analog Input 2 - In Service");
    EXPECT_EQ(TagDouble(InService(1)), -1);
    EXPECT_EQ(Analog(1)->GetEUMax(), 15);
    EXPECT_NE(device->FindTag("Analog Data.Analog Input 7"), nullptr);
    EXPECT_EQ(group->GetTagCount(), 16);
    EXPECT_TRUE(device->EnableAnalogInput(6, false));
    Feed("AN6", 2000);
    EXPECT_EQ(Analog(6)->GetQuality(), kQualityOutOfService);
}

TEST(VOKDeviceConfigWithoutTree, ADeviceWithoutItsTagsRefusesEverythingQuietly) {
    EventLogCapture log;
    auto device = VOKDevice::Create(true);
    const std::vector<VOKAnalogLimits> limits = device->GetAnalogLimits();
    ASSERT_EQ(limits.size(), 8u);
    for (int n = 0; n < 8; ++n) {
        EXPECT_EQ(limits[n].inputIndex, n);
        EXPECT_EQ(limits[n].enabled, 0);
        EXPECT_EQ(limits[n].analogTag, nullptr);
    }
    std::vector<VOKAnalogLimits> wanted(8);
    for (int n = 0; n < 8; ++n) wanted[n] = {1, n, 1, 2, 0, nullptr};
    device->SetAnalogLimits(wanted);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotAnalogInput), nullptr);
    EXPECT_EQ(device->GetTagCount(), 0);
    EXPECT_FALSE(device->EnableAnalogInput(0, true));
}
