// The sensor procedures against a simulated counter over a pseudo-terminal.
#include "setup/CSensorLink.h"

#include "SetupTestSupport.h"

namespace {

constexpr int kPort = 27;

}  // namespace

class SensorLinkTest : public SetupLineTest {
protected:
    void Open(std::vector<SimCounterConfig> counters) {
        line_ = &StartLine(kPort, std::move(counters));
        ASSERT_TRUE(port_.Open(kPort));
    }
    void TearDown() override {
        port_.Close();
        SetupLineTest::TearDown();
    }

    SimLine* line_ = nullptr;
    CSetupPort port_;
};

TEST_F(SensorLinkTest, ReadsTypeSizesAndCalibration) {
    Open({SimCounterAt(5)});
    CSensorLink link(port_);
    CSensor sensor = SensorAt(kPort, 5);
    ASSERT_TRUE(link.Select(sensor));
    ASSERT_TRUE(link.ReadType(sensor));
    EXPECT_EQ(sensor.model, "MCA");
    ASSERT_TRUE(link.ReadSizes(sensor));
    EXPECT_EQ(sensor.sizes, (std::vector<double>{0.3, 0.5, 1, 5, 10}));
    ASSERT_TRUE(link.ReadCalPoints(sensor));
    EXPECT_EQ(sensor.calibration,
              (std::vector<SetupCalPt>{{0.3, 100}, {0.5, 180}, {1, 300}, {5, 620}, {10, 850}, {20, 980}}));
    // Each read ends with the lone 0xBF; select alone does not.
    const std::string rx = ReceivedAll(*line_);
    EXPECT_EQ(rx, "\x85"
                  "\x85T\xBF"
                  "\x85P\r\n\xBF"
                  "\x85K\r\n\xBF");
}

TEST_F(SensorLinkTest, AbsentAddressAndUnlistedModel) {
    Open({SimCounterAt(5, "XYZ")});
    CSensorLink link(port_);
    CSensor nobody = SensorAt(kPort, 6);
    EXPECT_FALSE(link.Select(nobody));
    EXPECT_FALSE(link.ReadType(nobody));
    CSensor other = SensorAt(kPort, 5);
    EXPECT_FALSE(link.ReadType(other));
    EXPECT_EQ(other.model, "");
    // Listing the model makes the same counter supported.
    SetModelValue("XYZ", REG_DWORD, std::string("\x01\0\0\0", 4));
    EXPECT_TRUE(link.ReadType(other));
    EXPECT_EQ(other.model, "XYZ");
}

TEST_F(SensorLinkTest, ModelValueMustFitFourBytes) {
    Open({SimCounterAt(5, "LONG"), SimCounterAt(6, "SHRT")});
    SetModelValue("LONG", REG_SZ, std::string("a long string value\0", 20));
    SetModelValue("SHRT", REG_SZ, std::string("ab\0", 3));
    CSensorLink link(port_);
    CSensor first = SensorAt(kPort, 5), second = SensorAt(kPort, 6);
    EXPECT_FALSE(link.ReadType(first));
    EXPECT_TRUE(link.ReadType(second));
}

TEST_F(SensorLinkTest, BadChecksumFailsAllThreeAttempts) {
    SimCounterConfig counter = SimCounterAt(5);
    counter.faults.badChecksum = true;
    Open({counter});
    CSensorLink link(port_);
    CSensor sensor = SensorAt(kPort, 5);
    sensor.sizes = {7};
    EXPECT_FALSE(link.ReadSizes(sensor));
    EXPECT_EQ(sensor.sizes, (std::vector<double>{7}));  // left as it was
    EXPECT_EQ(ReceivedAll(*line_), "\x85P\r\n\x85P\r\n\x85P\r\n\xBF");
}

TEST_F(SensorLinkTest, LowerCaseChecksumIsAccepted) {
    SimCounterConfig counter = SimCounterAt(5);
    counter.faults.lowerChecksum = true;
    // " 0.3 0.5 1 5 10" sums to 0x28B: the field carries a hex letter, sent as b.
    Open({counter});
    CSensorLink link(port_);
    CSensor sensor = SensorAt(kPort, 5);
    EXPECT_TRUE(link.ReadSizes(sensor));
    EXPECT_EQ(sensor.sizes, (std::vector<double>{0.3, 0.5, 1, 5, 10}));
}

TEST_F(SensorLinkTest, SetLightSwitchesTheCounterLight) {
    Open({SimCounterAt(5)});
    CSensorLink link(port_);
    const CSensor sensor = SensorAt(kPort, 5);
    ASSERT_TRUE(link.SetLight(sensor, true));
    EXPECT_TRUE(line_->CounterState(5)->light);
    ASSERT_TRUE(link.SetLight(sensor, false));
    EXPECT_FALSE(line_->CounterState(5)->light);
    EXPECT_EQ(ReceivedAll(*line_), "\x85o0001\r\n\xBF\x85o0000\r\n\xBF");
    EXPECT_FALSE(link.SetLight(SensorAt(kPort, 9), true));
}

TEST_F(SensorLinkTest, WriteBytesStepsPerEchoedByteAndStopsAtALostEcho) {
    Open({SimCounterAt(5)});
    CSensorLink link(port_);
    ASSERT_TRUE(link.Select(SensorAt(kPort, 5)));
    ASSERT_TRUE(link.SendEcho('o'));
    std::vector<std::size_t> steps;
    EXPECT_TRUE(link.WriteBytes("0001", [&](std::size_t n) { steps.push_back(n); }));
    EXPECT_EQ(steps, (std::vector<std::size_t>{1, 2, 3, 4}));
    SimFaults faults;
    faults.noEchoAfter = 1;
    line_->SetFaults(5, faults);
    steps.clear();
    EXPECT_FALSE(link.WriteBytes("\r\n", [&](std::size_t n) { steps.push_back(n); }));
    EXPECT_EQ(steps, (std::vector<std::size_t>{1}));
}

TEST_F(SensorLinkTest, ZeroByteIntoSilenceIsNoEcho) {
    Open({SimCounterAt(5)});
    CSensorLink link(port_);
    // Nobody is selected, so nothing answers; the zeroed buffer must not pass for an echo.
    EXPECT_FALSE(link.SendEcho(0x00));
}
