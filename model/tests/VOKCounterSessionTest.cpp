// The counter session of a device: its port, its transactions against a
// simulated counter, and what they do without a line.
#include "DeviceTestSupport.h"

#include "model/VOKCounterSession.h"

using VOKCounterSessionLine = DeviceLineTest;

TEST_F(VOKCounterSessionLine, TransactionsTalkToTheDevicesCounterOnceThePortIsOpen) {
    SimCounterConfig counter = Counter(6);
    counter.binsUm = {0.5, 1, 5};
    counter.sampleIntervalS = 42;
    StartLine({counter});
    auto device = MakeDevice(6);
    VOKCounterSession& session = device->Session();
    ASSERT_FALSE(session.IsPortOpen());
    ASSERT_TRUE(session.OpenPort());
    EXPECT_TRUE(session.OpenPort());  // the device's one opening
    EXPECT_TRUE(session.IsPortOpen());

    std::string type;
    ASSERT_TRUE(session.ReadType(type));
    EXPECT_EQ(type, "MCA");
    int seconds = 0;
    ASSERT_TRUE(session.ReadSampleInterval(seconds));
    EXPECT_EQ(seconds, 42);
    Dll<double> bins = Bins({99});  // emptied before the answer lands
    ASSERT_TRUE(session.ReadBinSizes(bins));
    EXPECT_EQ(bins.GetCount(), 3);
    EXPECT_TRUE(session.WriteSampleInterval(7));
    EXPECT_EQ(line.CounterState(6)->sampleIntervalS, 7u);
    EXPECT_EQ(VOK_SelectCount(), 0);

    session.ClosePort();
    EXPECT_FALSE(session.IsPortOpen());
    EXPECT_EQ(log.CountContaining("Unable to"), 0);
}

TEST_F(VOKCounterSessionLine, WithoutTheDevicesPortOpenNothingReachesTheLine) {
    StartLine({Counter(6)});
    auto device = MakeDevice(6);
    Dll<VOK_CalPt> points;
    points.AddTail({1, 100});
    EXPECT_FALSE(device->Session().ReadCalPts(points));
    EXPECT_EQ(points.GetCount(), 0);
    int mode = -1;
    EXPECT_FALSE(device->Session().ReadCounterMode(mode));
    EXPECT_TRUE(line.Trace().empty());
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(VOKCounterSessionLine, ASimulatingDeviceSucceedsWithoutAnyTraffic) {
    StartLine({Counter(6)});
    auto device = MakeDevice(6);
    device->SetSimulation(true);
    std::string version = "untouched";
    EXPECT_TRUE(device->Session().ReadVersion(version));
    EXPECT_EQ(version, "untouched");
    EXPECT_TRUE(device->Session().WriteBinSizes(Bins({1, 2})));
    EXPECT_TRUE(device->Session().Initialise());
    EXPECT_TRUE(line.Trace().empty());
    EXPECT_EQ(line.CounterState(6)->binsUm, Counter(6).binsUm);
}

TEST_F(VOKCounterSessionLine, APortThatIsNotOnTheMachineIsReportedAndLeftClosed) {
    StartLine({Counter(6)});
    auto device = MakeDevice(6);
    device->SetPort(77);
    EXPECT_FALSE(device->Session().OpenPort());
    EXPECT_FALSE(device->Session().IsPortOpen());
    EXPECT_EQ(log.CountContaining("Unable to open port COM: 77"), 1);
    device->Session().ClosePort();  // nothing to close: no entry
    EXPECT_EQ(log.CountContaining("Unable to close port"), 0);
}
