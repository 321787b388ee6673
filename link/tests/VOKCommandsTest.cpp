#include "CounterLine.h"

#include "link/VOKMsg.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : b.empty() ? a : a + " " + b; }

class Commands : public CounterLine {};

TEST_F(Commands, TheWireExamplesGoOutByteForByte) {
    SimCounterConfig counter = Counter(5);
    counter.binsUm = {0.3, 0.5, 1, 5, 10};
    StartLine({counter});
    std::int32_t handle = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x85, handle, nullptr));
    EXPECT_EQ(Wire(), "h85 c85");

    line.ClearTrace();
    std::string type;
    ASSERT_TRUE(VOK_ReadType(handle, type, nullptr));
    EXPECT_EQ(type, "MCA");
    EXPECT_EQ(Wire(), Join(Echoed("T"), Counter("MCA\r\n")));

    line.ClearTrace();
    Dll<double> sizes;
    ASSERT_TRUE(VOK_ReadBinSizes(handle, sizes, nullptr));
    const std::string list = " 0.3 0.5 1 5 10";
    EXPECT_EQ(Wire(), Join(Echoed("P\r\n"), Counter(list + VOK_ChecksumField(VOK_Checksum(
                                                                 reinterpret_cast<const BYTE*>(list.data()), 0,
                                                                 static_cast<long>(list.size()) - 1)))));
    ASSERT_EQ(sizes.GetCount(), 5);
    EXPECT_DOUBLE_EQ(sizes.GetAt(0), 0.3);
    EXPECT_DOUBLE_EQ(sizes.GetAt(4), 10);

    line.ClearTrace();
    BYTE status = 9;
    Dll<VOK_DataRec> records;
    ASSERT_TRUE(VOK_ReadData(handle, status, records, nullptr));
    EXPECT_EQ(Wire(), Join(Echoed("A"), Counter("#")));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(records.GetCount(), 0);
    EXPECT_EQ(log.CountContaining("No data available COM41 Addr: 85"), 1);

    line.ClearTrace();
    ASSERT_TRUE(VOK_StartSampling(handle, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Wire(), Echoed("d")) << "nothing follows the echo of d";

    EXPECT_TRUE(VOK_ReleaseCounter(handle));
    EXPECT_FALSE(VOK_ReleaseCounter(handle)) << "a handle is released once";
    EXPECT_EQ(log.CountContaining("Msg Success:\" M C A \""), 1);
    EXPECT_EQ(log.CountContaining("Sending Message P CR LF"), 1);
}

TEST_F(Commands, EveryReadAndWriteIsDecodedFromTheCounter) {
    SimCounterConfig counter = Counter(3);
    counter.binsUm = {0.3, 0.5, 1, 2, 5};
    counter.calibration = {{0.3, 110}, {0.5, 190}, {1.0, 320}};
    counter.sampleIntervalS = 90;
    counter.versionText = "4400 VOK V3.12";
    counter.analogInputs = 2;
    StartLine({counter});
    std::int32_t handle = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x83, handle, nullptr));

    std::string version;
    ASSERT_TRUE(VOK_ReadVersion(handle, version, nullptr));
    EXPECT_EQ(version, "4400 VOK V3.12");
    int seconds = 0;
    ASSERT_TRUE(VOK_ReadSampleInterval(handle, seconds, nullptr));
    EXPECT_EQ(seconds, 90);
    Dll<VOK_CalPt> points;
    ASSERT_TRUE(VOK_ReadCalPts(handle, points, nullptr));
    ASSERT_EQ(points.GetCount(), 3);
    EXPECT_EQ(points.GetAt(1), (VOK_CalPt{0.5, 190}));

    Dll<double> newBins;
    for (double s : {0.3, 0.5, 0.75, 1.0}) newBins.AddTail(s);
    ASSERT_TRUE(VOK_WriteBinSizes(handle, newBins, nullptr));
    ASSERT_TRUE(VOK_WriteSampleInterval(handle, 2, nullptr));
    ASSERT_TRUE(VOK_SetManualMode(handle, nullptr));
    ASSERT_TRUE(VOK_ClearBuffer(handle, nullptr));
    auto state = line.CounterState(3);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->binsUm, (std::vector<double>{0.3, 0.5, 0.7, 1.0})) << "0.75 goes out as 0.7";
    EXPECT_EQ(state->sampleIntervalS, 2u);
    EXPECT_TRUE(state->manualMode);
    Dll<double> readBack;
    ASSERT_TRUE(VOK_ReadBinSizes(handle, readBack, nullptr));
    EXPECT_EQ(readBack.GetCount(), 4);

    // A sample of 2 s counter time (2 ms here): sampling, then data with every bin and analog input.
    ASSERT_TRUE(VOK_StartSampling(handle, nullptr));
    int mode = 7;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(VOK_ReadCounterMode(handle, mode, nullptr));
        if (mode != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(mode, 1) << "a finished sample is held";
    BYTE status = 0;
    Dll<VOK_DataRec> records;
    ASSERT_TRUE(VOK_ReadData(handle, status, records, nullptr));
    EXPECT_EQ(status, 0x20);
    ASSERT_EQ(records.GetCount(), 6);
    EXPECT_EQ(records.GetAt(0).name, "0.3");
    EXPECT_EQ(records.GetAt(2).name, "0.7");
    EXPECT_EQ(records.GetAt(4).name, "AN0");
    for (int i = 0; i + 1 < 4; ++i)
        EXPECT_GE(records.GetAt(i).value, records.GetAt(i + 1).value) << "counts are cumulative";
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

TEST_F(Commands, ASecondSelectOfTheSameCounterReturnsTheFirstHandleWithoutBytes) {
    StartLine({Counter(1)});
    std::int32_t first = -1, second = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, first, nullptr));
    line.ClearTrace();
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, second, nullptr));
    EXPECT_EQ(second, first);
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(VOK_SelectCount(), 1);
    EXPECT_TRUE(VOK_ReleaseCounter(first));
    EXPECT_EQ(VOK_SelectCount(), 0);
}

TEST_F(Commands, WithTheStopFlagSetSelectSendsNothingAndLeavesNoRecord) {
    StartLine({Counter(1)});
    StopFlag stop{true};
    std::int32_t handle = -1;
    EXPECT_FALSE(VOK_SelectCounter(kPort, 0x81, handle, &stop));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Wire(), "") << "not even the reset line goes out";
    EXPECT_EQ(VOK_SelectCount(), 0);
    EXPECT_EQ(log.CountContaining("Failed to select counter"), 0);

    // And a transaction on a good select abandons before its first byte.
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, handle, nullptr));
    line.ClearTrace();
    std::string type = "x";
    EXPECT_FALSE(VOK_ReadType(handle, type, &stop));
    EXPECT_EQ(type, "");
    EXPECT_EQ(Wire(), "");
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

TEST_F(Commands, ASilentAddressGivesThreeFailedSelectsThenOneResetLine) {
    SimCounterConfig silent = Counter(9);
    silent.faults.silent = true;
    StartLine({Counter(1), silent});
    std::int32_t handle = -1;
    auto start = Clock::now();
    EXPECT_FALSE(VOK_SelectCounter(kPort, 0x89, handle, nullptr));
    const long waited = MsSince(start);
    EXPECT_EQ(log.Count("Failed to select counter COM41 Addr: 89 "), 3);
    EXPECT_EQ(log.Count("Timeout reading port: COM41 "), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Wire(), "h89 h89 h89 " + Host(" \r\n"));
    EXPECT_EQ(VOK_SelectCount(), 0);
    EXPECT_GE(waited, 3 * 1990) << "each attempt waits out the 2000 ms time-out";
    EXPECT_LT(waited, 3 * 2000 + 1500);

    // The line still works for the counter that answers.
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, handle, nullptr));
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

TEST_F(Commands, ALostEchoFailsTheTransactionWithItsEntries) {
    SimCounterConfig counter = Counter(2);
    counter.faults.noEchoAfter = 2;  // its address and the P, then silence
    StartLine({counter});
    std::int32_t handle = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x82, handle, nullptr));
    Dll<double> sizes;
    sizes.AddTail(1);
    EXPECT_FALSE(VOK_ReadBinSizes(handle, sizes, nullptr));
    EXPECT_EQ(sizes.GetCount(), 0);
    EXPECT_EQ(log.Count("Timeout reading port: COM41 "), 1);
    EXPECT_EQ(log.Count("Failed to read bin sizes COM41 Addr: 82 "), 1);
    EXPECT_EQ(Wire(), "h82 c82 " + Echoed("P") + " " + Host("\r")) << "sending stops at the missing echo";
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

TEST_F(Commands, BadChecksumsAndShortRepliesAreRefused) {
    SimCounterConfig counter = Counter(4);
    counter.binsUm = {0.3, 0.5, 10};  // a sum with hex letters in it
    counter.faults.lowerChecksum = true;
    StartLine({counter});
    std::int32_t handle = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x84, handle, nullptr));
    Dll<double> sizes;
    const std::string list = " 0.3 0.5 10";
    const std::string upper = VOK_ChecksumField(
        VOK_Checksum(reinterpret_cast<const BYTE*>(list.data()), 0, static_cast<long>(list.size()) - 1));
    ASSERT_NE(upper.find_first_of("ABCDEF"), std::string::npos) << "the test needs letters in the sum";
    EXPECT_FALSE(VOK_ReadBinSizes(handle, sizes, nullptr));
    EXPECT_EQ(log.Count("Failed to read bin sizes COM41 Addr: 84 "), 1);

    line.SetFaults(4, SimFaults{});
    ASSERT_TRUE(VOK_StartSampling(handle, nullptr));
    int mode = 0;
    for (int i = 0; i < 200 && mode == 0; ++i) {
        VOK_ReadCounterMode(handle, mode, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(mode, 1);
    SimFaults truncate;
    truncate.truncateNext = 20;
    line.SetFaults(4, truncate);
    BYTE status = 1;
    Dll<VOK_DataRec> records;
    EXPECT_FALSE(VOK_ReadData(handle, status, records, nullptr)) << "a cut reply never completes";
    EXPECT_EQ(records.GetCount(), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log.Count("Failed to read data COM41 Addr: 84 "), 1);
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

TEST_F(Commands, ASecondThreadsSelectWaitsForTheFirstThreadsRelease) {
    StartLine({Counter(1), Counter(2)});
    std::int32_t first = -1;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, first, nullptr));
    std::atomic<long> secondSelectedAt{-1};
    const auto start = Clock::now();
    std::thread other([&] {
        std::int32_t second = -1;
        if (VOK_SelectCounter(kPort, 0x82, second, nullptr)) {
            secondSelectedAt = MsSince(start);
            std::string type;
            VOK_ReadType(second, type, nullptr);
            VOK_ReleaseCounter(second);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(secondSelectedAt.load(), -1) << "the port is held by the first select";
    std::string type;
    EXPECT_TRUE(VOK_ReadType(first, type, nullptr));
    const long releasedAt = MsSince(start);
    EXPECT_TRUE(VOK_ReleaseCounter(first));
    other.join();
    EXPECT_GE(secondSelectedAt.load(), releasedAt);
    // The bytes of the two selects never interleave: all of counter 1's exchange comes first.
    const std::string wire = Wire();
    EXPECT_LT(wire.find("h81"), wire.find("h82"));
    EXPECT_LT(wire.rfind("h54"), wire.size());
}

TEST_F(Commands, UnknownHandlesAndPortsFailQuietly) {
    StartLine({Counter(1)});
    std::string text;
    EXPECT_FALSE(VOK_ReadType(12345, text, nullptr));
    EXPECT_FALSE(VOK_ReleaseCounter(12345));
    std::int32_t handle = -1;
    EXPECT_FALSE(VOK_SelectCounter(99, 0x81, handle, nullptr));
    EXPECT_FALSE(VOK_OpenPort(99));
    EXPECT_EQ(log.CountContaining("Failed"), 0);
    Dll<double> empty;
    ASSERT_TRUE(VOK_SelectCounter(kPort, 0x81, handle, nullptr));
    line.ClearTrace();
    EXPECT_TRUE(VOK_WriteBinSizes(handle, empty, nullptr)) << "an empty list sends nothing";
    EXPECT_EQ(Wire(), "");
    EXPECT_TRUE(VOK_ReleaseCounter(handle));
}

}  // namespace
