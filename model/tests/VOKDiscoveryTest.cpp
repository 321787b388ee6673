// The search for counters against simulated lines on pseudo-terminals, each
// registered under a COM name, with a short echo time-out so that the silent
// addresses of a port take seconds rather than minutes.
#include "model/VOKDiscovery.h"

#include "DeviceTestSupport.h"

#include "platform/SerialNames.h"

#include <algorithm>
#include <map>
#include <memory>

namespace {

constexpr DWORD kQuickEchoMs = 40;

class VOKDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        VOK_SetEchoTimeout(kQuickEchoMs);
    }
    void TearDown() override {
        for (auto& line : lines_) line->Stop();
        VOK_SetEchoTimeout(kCounterTimeoutMs);
    }

    // A line with counters at these bus addresses, as COM<port>; ports are
    // enumerated again so the search sees it.
    SimLine& AddLine(int port, const std::vector<SimCounterConfig>& counters) {
        SimLineConfig config;
        config.counters = counters;
        config.comName = "COM" + std::to_string(port);
        config.timeScale = 1000;
        auto line = std::make_unique<SimLine>();
        std::string error;
        EXPECT_TRUE(line->Start(config, &error)) << error;
        lines_.push_back(std::move(line));
        CSerial::EnumeratePorts();
        return *lines_.back();
    }

    static SimCounterConfig Counter(int address, unsigned interval = 60, std::vector<double> bins = {0.3, 0.5, 1, 5, 10}) {
        SimCounterConfig c;
        c.address = address;
        c.sampleIntervalS = interval;
        c.binsUm = std::move(bins);
        return c;
    }

    // Polls the progress as the status page does until the search is through.
    static bool WaitComplete(const VOKDiscovery& search, int ms) {
        return WaitFor([&] { return search.IsComplete(); }, ms);
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    std::vector<std::unique_ptr<SimLine>> lines_;

private:
    TempDir registry_;
};

std::vector<double> Values(const Dll<double>& list) { return {list.begin(), list.end()}; }

TEST_F(VOKDiscoveryTest, ConcurrencyTwoPortsSearchedTogetherFindEveryCounterOnceWithItsProperties) {
    SimCounterConfig versioned = Counter(37, 90, {0.5, 1, 2.5});
    versioned.versionText = "4400 VOK V7.01";
    AddLine(41, {Counter(0), versioned, Counter(63, 120)});
    AddLine(43, {Counter(12)});

    VOKDiscovery search;
    const auto started = std::chrono::steady_clock::now();
    // Only the simulated lines: the machine may have serial ports of its own.
    ASSERT_EQ(search.Start({41, 43}), 2);
    EXPECT_TRUE(search.IsRunning());
    ASSERT_TRUE(WaitComplete(search, 60000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(search.Stop());
    EXPECT_FALSE(search.IsRunning());

    const VOKDiscovery::Progress progress = search.GetProgress();
    EXPECT_EQ(progress.ports, 2);
    EXPECT_EQ(progress.total, 128);
    EXPECT_EQ(progress.checked, 128);
    EXPECT_EQ(progress.found, 4);
    // The ports were searched side by side: one port's silent addresses alone take about this long.
    EXPECT_LT(seconds, 1.8 * 62 * 4 * kQuickEchoMs / 1000.0 + 2);

    std::vector<std::string> lines = search.FoundLinesFrom(0);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"4400 VOK 41-00, Addr: 0, Port: COM41",
                                               "4400 VOK 41-37, Addr: 37, Port: COM41",
                                               "4400 VOK 41-63, Addr: 63, Port: COM41",
                                               "4400 VOK 43-12, Addr: 12, Port: COM43"}));
    EXPECT_EQ(search.FoundLinesFrom(3).size(), 1u);
    EXPECT_TRUE(search.FoundLinesFrom(4).empty());

    std::map<std::string, std::unique_ptr<VOKDevice>> byName;
    for (auto& device : search.TakeFound()) byName[device->GetName()] = std::move(device);
    ASSERT_EQ(byName.size(), 4u);
    const VOKDevice& v = *byName.at("4400 VOK 41-37");
    EXPECT_EQ(v.GetPort(), 41);
    EXPECT_EQ(v.GetAddress(), 0x80 + 37);
    EXPECT_EQ(v.GetSoftwareVersion(), "4400 VOK V7.01");
    EXPECT_EQ(v.GetSampleInterval(), 90u);
    Dll<double> bins;
    v.GetBinSizes(bins);
    EXPECT_EQ(Values(bins), (std::vector<double>{0.5, 1, 2.5}));
    EXPECT_EQ(byName.at("4400 VOK 41-63")->GetSampleInterval(), 120u);
    EXPECT_EQ(byName.at("4400 VOK 43-12")->GetPort(), 43);
    // Found devices read the counter and leave it as it was.
    for (const auto& line : lines_)
        for (int address : {0, 12, 37, 63})
            if (auto state = line->CounterState(address)) {
                EXPECT_FALSE(state->manualMode) << address;
            }

    EXPECT_EQ(log.CountContaining("4400 VOK found on Port:"), 4);
    EXPECT_EQ(log.CountContaining("Starting 2 search threads, #Combos: 128"), 1);
    EXPECT_EQ(log.CountContaining("Search ending on port: COM41"), 1);
    EXPECT_EQ(log.CountContaining("Search ending on port: COM43"), 1);
    EXPECT_EQ(log.CountContaining("Discover process finished"), 1);
    EXPECT_TRUE(search.TakeFound().empty());
}

// The search counts as through when every address is counted; a counter at
// the last address of the port searched last must still be read whole.
TEST_F(VOKDiscoveryTest, ACounterAtTheLastAddressOfTheLastPortIsFoundWhole) {
    AddLine(41, {Counter(63, 75)});
    VOKDiscovery search;
    ASSERT_EQ(search.Start({41}), 1);
    ASSERT_TRUE(WaitComplete(search, 60000));
    ASSERT_TRUE(search.Stop());
    EXPECT_EQ(search.FoundLinesFrom(0), (std::vector<std::string>{"4400 VOK 41-63, Addr: 63, Port: COM41"}));
    const auto found = search.TakeFound();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->GetSampleInterval(), 75u);
    EXPECT_EQ(log.CountContaining("4400 VOK failed AutoDiscover"), 0);
}

TEST_F(VOKDiscoveryTest, OnlyTheChosenPortsAreSearchedAndAPortThatCannotOpenIsLeftOut) {
    AddLine(41, {Counter(5)});
    AddLine(43, {Counter(6)});
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM45", "/nonexistent/vok-line", &error)) << error;
    CSerial::EnumeratePorts();

    VOKDiscovery search;
    ASSERT_EQ(search.Start({43, 45}), 1);
    EXPECT_EQ(log.CountContaining("Unable to open Port: COM45"), 1);
    ASSERT_TRUE(WaitComplete(search, 60000));
    ASSERT_TRUE(search.Stop());
    EXPECT_EQ(search.GetProgress().total, 64);
    EXPECT_EQ(search.FoundLinesFrom(0), (std::vector<std::string>{"4400 VOK 43-06, Addr: 6, Port: COM43"}));
    EXPECT_EQ(log.CountContaining("on port: COM41"), 0);
    EXPECT_TRUE(lines_[0]->Trace().empty());
}

TEST_F(VOKDiscoveryTest, NoUsablePortStartsNothingAndNeverCompletes) {
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM45", "/nonexistent/vok-line", &error)) << error;
    CSerial::EnumeratePorts();
    VOKDiscovery search;
    EXPECT_EQ(search.Start({45}), 0);
    EXPECT_FALSE(search.IsRunning());
    EXPECT_FALSE(search.IsComplete());
    EXPECT_EQ(search.GetProgress().total, 0);
    EXPECT_TRUE(search.Stop());
    EXPECT_EQ(log.CountContaining("search threads"), 0);
    EXPECT_EQ(log.CountContaining("Stopping the discover process"), 0);
}

// With the counter's own echo time-out every silent address costs seconds;
// the stop flag must end the search within about one of them.
TEST_F(VOKDiscoveryTest, ConcurrencyStoppingMidSearchEndsItPromptlyAndAStartAfterwardsBeginsAfresh) {
    VOK_SetEchoTimeout(kCounterTimeoutMs);
    AddLine(41, {Counter(0)});
    AddLine(43, {});
    VOKDiscovery search;
    ASSERT_EQ(search.Start({41, 43}), 2);
    // Both threads inside a select: each line has seen bytes from its port.
    ASSERT_TRUE(WaitFor([&] { return !lines_[0]->Trace().empty() && !lines_[1]->Trace().empty(); }, 20000));
    Sleep(300);
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(search.Stop());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_LT(seconds, 2 * kCounterTimeoutMs / 1000.0 + 1);
    EXPECT_FALSE(search.IsComplete());
    EXPECT_LT(search.GetProgress().checked, 20);
    EXPECT_EQ(log.CountContaining("Stopping the discover process"), 1);
    EXPECT_EQ(log.CountContaining("Discover process finished"), 1);

    // Cancel: nothing found survives, nothing counts as checked.
    search.DiscardFound();
    EXPECT_EQ(search.GetProgress().checked, 0);
    EXPECT_EQ(search.GetProgress().found, 0);

    VOK_SetEchoTimeout(kQuickEchoMs);
    ASSERT_EQ(search.Start({41}), 1);
    ASSERT_TRUE(WaitComplete(search, 60000));
    ASSERT_TRUE(search.Stop());
    EXPECT_EQ(search.FoundLinesFrom(0), (std::vector<std::string>{"4400 VOK 41-00, Addr: 0, Port: COM41"}));
}

// A thread still in an exchange when the wait gives up is left to end by
// itself; the search counts as cancelled and hands out nothing.
TEST_F(VOKDiscoveryTest, ConcurrencyAThreadThatOutlastsTheWaitIsLeftToEndAndNothingIsHandedOut) {
    VOK_SetEchoTimeout(kCounterTimeoutMs);
    AddLine(41, {});
    auto search = std::make_unique<VOKDiscovery>();
    ASSERT_EQ(search->Start({41}), 1);
    ASSERT_TRUE(WaitFor([&] { return !lines_[0]->Trace().empty(); }, 5000));
    search->RequestStop();
    EXPECT_FALSE(search->WaitStopped(0));  // in the middle of waiting for an echo
    search->Abandon();
    EXPECT_FALSE(search->IsRunning());
    EXPECT_TRUE(search->TakeFound().empty());
    EXPECT_EQ(log.CountContaining("Timeout waiting for discover threads, leaving them to end by themselves"), 1);
    search.reset();  // the thread still runs on what it shares
    EXPECT_TRUE(WaitFor([&] { return log.CountContaining("Search ending on port: COM41") == 1; }, 3 * kCounterTimeoutMs + 2000));
    EXPECT_EQ(log.CountContaining("Discover process finished"), 0);
}

TEST_F(VOKDiscoveryTest, AddingKeepsTheUniqueAndLogsEachConflictWithTheConfiguredDevice) {
    AddLine(41, {Counter(5), Counter(9)});
    // Configured already: a device on COM41 address 5 under another name.
    auto configured = VOKDevice::Create(false);
    configured->SetPort(41);
    configured->SetAddress(0x80 + 5);
    configured->SetName("Clean Room 3");
    std::vector<VOKDevice*> added;

    VOKDiscovery search;
    ASSERT_EQ(search.Start({41}), 1);
    ASSERT_TRUE(WaitComplete(search, 60000));
    ASSERT_TRUE(search.Stop());
    const int count = AddDiscoveredDevices(
        search.TakeFound(), [&](Dll<OPCS_Device*>& out) { out.AddTail(configured.get()); },
        [&](VOKDevice* device) {
            added.push_back(device);
            return true;
        });
    EXPECT_EQ(count, 1);
    ASSERT_EQ(added.size(), 1u);
    const std::unique_ptr<VOKDevice> owned(added[0]);
    EXPECT_EQ(owned->GetName(), "4400 VOK 41-09");
    EXPECT_EQ(log.CountContaining("Conflicting device discovered - Existing device name: Clean Room 3 Addr: 85 Port: 41"), 1);
    EXPECT_EQ(log.CountContaining("Conflicting device"), 1);
}

TEST_F(VOKDiscoveryTest, AFoundDeviceTheConfigurationRefusesIsDestroyedNotLeaked) {
    AddLine(41, {Counter(5)});
    VOKDiscovery search;
    ASSERT_EQ(search.Start({41}), 1);
    ASSERT_TRUE(WaitComplete(search, 60000));
    ASSERT_TRUE(search.Stop());
    EXPECT_EQ(AddDiscoveredDevices(search.TakeFound(), [](Dll<OPCS_Device*>&) {}, [](VOKDevice*) { return false; }),
              0);
    // Nothing of it is left: a device now made for the same counter is unique.
    auto again = VOKDevice::Create(false);
    again->SetPort(41);
    again->SetAddress(0x80 + 5);
    again->SetName("4400 VOK 41-05");
    EXPECT_TRUE(again->IsUniqueOnBus());
}

}  // namespace
