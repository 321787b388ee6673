// What a client in another process is told by the running server: a write
// that fails, a value in the type asked for, a group asked for a rate of 0,
// over the socket to vok-explorer --headless and a simulated counter line.
#include "VokProcess.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

using nlohmann::json;

namespace {

class ServedCounterTest : public VokProcessTest {
protected:
    void SetUp() override {
        VokProcessTest::SetUp();
        if (IsSkipped()) return;
        control_ = dir_.File("faults");
        SetFaults("");
        // The simulated line, registered as COM61 in the test's registry, its
        // counter sampling every second.
        const std::string out = dir_.File("sim.out");
        std::system(("VOK_REGISTRY_DIR='" + registry_ + "' '" + vok_ +
                     "' sim --port COM61 --counter 1 --interval 1 --control '" + control_ + "' >'" + out +
                     "' 2>'" + dir_.File("sim.err") + "' & echo $! >'" + dir_.File("sim.pid") + "'")
                        .c_str());
        bool ready = false;
        for (int i = 0; i < 100 && !ready; ++i) {
            ready = ReadFileText(out).rfind("ready", 0) == 0;
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(ready) << ReadFileText(dir_.File("sim.err"));
        ASSERT_EQ(Vok("config new '" + dir_.File("c.psf") + "' --device COM61:1 --live").status, 0);
        std::string error;
        if (!server_.Start(dir_, registry_, dir_.File("c.psf"), error)) {
            if (error == "vok-explorer is not built") GTEST_SKIP() << error;
            FAIL() << error;
        }
    }
    void TearDown() override {
        std::system(("kill $(cat '" + dir_.File("sim.pid") + "') 2>/dev/null").c_str());
        VokProcessTest::TearDown();
    }
    // The faults the counters take, written whole and renamed over the file.
    void SetFaults(const std::string& lines) {
        std::system(("printf '%s\\n' '" + lines + "' >'" + control_ + ".new' && mv -f '" + control_ + ".new' '" +
                     control_ + "'")
                        .c_str());
    }
    VokOutcome Client(const std::string& arguments, const std::string& limit = "timeout -k 5 120") {
        return Vok(arguments, server_.ClientEnvironment() + limit);
    }

    std::string control_;
    ServedExplorer server_;
};

constexpr const char* kInterval = "'4400 VOK 61-01.Sample Interval'";
constexpr const char* kTotal = "'4400 VOK 61-01.Total Raw Counts'";

TEST_F(ServedCounterTest, AWriteThatFailsExitsOneWithTheItemsErrorAndReadsDeliverTheTypeAskedFor) {
    const VokOutcome bad = Client("opc write '4400 VOK 61-01.Sample Interval=abc'");
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    EXPECT_NE(bad.err.find("OPC_E_BADTYPE (0xC0040004)"), std::string::npos) << bad.err;

    // The counter takes a new interval (and the device then polls every second).
    const VokOutcome taken = Client("opc write '4400 VOK 61-01.Sample Interval=1'");
    EXPECT_EQ(taken.status, 0) << taken.out << taken.err;

    const VokOutcome read = Client(std::string("opc read ") + kTotal + " --type VT_BSTR --timeout 30");
    ASSERT_EQ(read.status, 0) << read.err;
    const json items = json::parse(read.out)["items"];
    EXPECT_EQ(items[0]["delivered_type"], "VT_BSTR");
    EXPECT_EQ(items[0]["quality"], 192);

    // A silent counter never confirms its new interval: the write fails.
    SetFaults("--silent 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const VokOutcome silent = Client("opc write '4400 VOK 61-01.Sample Interval=5'");
    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    EXPECT_NE(silent.err.find("E_FAIL (0x80004005)"), std::string::npos) << silent.err;
    EXPECT_FALSE(server_.Ended()) << server_.Errors();
}

TEST_F(ServedCounterTest, AGroupAskedForARateOfZeroDoesNotMakeTheServerSpin) {
    VokOutcome subscribed;
    std::thread client([&] {
        subscribed = Client(std::string("opc subscribe ") + kInterval + " " + kTotal + " --rate 0",
                            "timeout -s INT -k 5 5");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double before = server_.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const double used = server_.CpuSeconds() - before;
    client.join();
    EXPECT_GE(before, 0);
    EXPECT_LT(used, 0.15) << "more than 5 % of a core over 3 s";
    EXPECT_NE(subscribed.out.find("\"quality\""), std::string::npos) << subscribed.out << subscribed.err;
    EXPECT_NE(subscribed.err.find("runs the group at 50 ms"), std::string::npos) << subscribed.err;
}

}  // namespace
