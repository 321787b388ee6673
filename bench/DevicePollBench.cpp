// Poll passes of one counter device (32 bins, 8 analog inputs) against a
// simulated counter paced at 9600 baud: the time of a pass with data against
// the time its bytes need on the line (bytes x 10 bits / 9600 baud) plus the
// pauses the counter's timing asks for (300 ms before the data). Then the
// processor time the process spends while four polling devices wait between
// passes, which must be close to zero. Last, the same passes with the sample
// history installed and without, taken in turn so that the line's drift falls
// on both alike, and the cost of handing one sample to the history.
//
// Usage: bench_device_poll [passes]   (prints one JSON object; exit 1 above a limit)
#include "foundation/CLogFile.h"
#include "history/HistoryStore.h"
#include "link/CSerial.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "platform/Thread.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPort = 61;
constexpr double kTarget = 1.10;
constexpr double kIdleCpuLimit = 0.01;  // processor seconds per second of waiting
constexpr double kHistoryLimit = 1.01;  // pass time with the history against without

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::unique_ptr<VOKDevice> MakeDevice(int address, int bins) {
    auto device = VOKDevice::Create(false);
    device->SetPort(kPort);
    device->SetAddress(static_cast<BYTE>(0x80 + address));
    device->SetName(device->GetDefaultName());
    device->SetSampleInterval(1, false);
    Dll<double> sizes;
    for (int j = 1; j <= bins; ++j) sizes.AddTail(j);
    device->SetBinSizes(sizes, false);
    return device;
}

}  // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    SimLineConfig config;
    for (int a = 1; a <= 4; ++a) {
        SimCounterConfig counter;
        counter.address = a;
        counter.binsUm.clear();
        for (int j = 1; j <= 32; ++j) counter.binsUm.push_back(j);
        counter.analogInputs = 8;
        counter.sampleIntervalS = 1;
        config.counters.push_back(counter);
    }
    config.comName = "COM" + std::to_string(kPort);
    config.pace = true;
    config.paceBaud = 9600;
    config.timeScale = 1000;  // a 1 s sample is over in 1 ms: the counter never keeps the host waiting
    SimLine line;
    std::string error;
    if (!line.Start(config, &error)) {
        std::fprintf(stderr, "bench_device_poll: %s\n", error.c_str());
        return 2;
    }
    CSerial::EnumeratePorts();
    const double byteTime = 10.0 / 9600.0;

    // Passes with data, run on this thread exactly as the poll thread runs them.
    auto device = MakeDevice(1, 32);
    if (!device->Session().OpenPort()) {
        std::fprintf(stderr, "bench_device_poll: cannot open COM%d\n", kPort);
        return 2;
    }
    device->PollOnce();  // the initialisation pass
    if (!device->IsInitialised()) {
        std::fprintf(stderr, "bench_device_poll: the counter was not initialised\n");
        return 2;
    }
    std::vector<double> ratios;
    double totalPass = 0, totalBudget = 0;
    for (int i = 0; i < passes; ++i) {
        line.ClearTrace();
        const auto start = std::chrono::steady_clock::now();
        device->PollOnce();
        const double took = Seconds(std::chrono::steady_clock::now() - start);
        const double budget = static_cast<double>(line.Trace().size()) * byteTime + 0.300;
        if (device->GetCommStatus() != VOKDevice::kCommOK) {
            std::fprintf(stderr, "bench_device_poll: pass %d failed\n", i + 1);
            return 2;
        }
        ratios.push_back(took / budget);
        totalPass += took;
        totalBudget += budget;
    }
    // With the history and without, in turn.
    TempDir kept;
    history::HistoryOptions options;
    options.path = (kept.Path() / "history.db").string();
    history::HistoryStore store(options);
    if (!store.Start(error)) {
        std::fprintf(stderr, "bench_device_poll: %s\n", error.c_str());
        return 2;
    }
    double withHistory = 0, withoutHistory = 0;
    for (int i = 0; i < 2 * passes; ++i) {
        const bool on = i % 2 == 0;
        if (on) AddSampleSink(&store);
        const auto start = std::chrono::steady_clock::now();
        device->PollOnce();
        (on ? withHistory : withoutHistory) += Seconds(std::chrono::steady_clock::now() - start);
        RemoveSampleSink(&store);
    }
    // What a pass spends on the history: reading the sample back from the tags and queueing it.
    AddSampleSink(&store);
    constexpr int kHandOvers = 2000;
    const auto handStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kHandOvers; ++i) PublishSample(device->Data().MakeSampleRecord(0x20));
    const double handOver = Seconds(std::chrono::steady_clock::now() - handStart) / kHandOvers;
    RemoveSampleSink(&store);
    store.Flush();
    const history::HistoryStatus keptStatus = store.Status();
    store.Stop();
    const double historyRatio = withHistory / withoutHistory;

    device->Session().ClosePort();
    device.reset();
    std::sort(ratios.begin(), ratios.end());

    // Four devices polling with a long interval: after their first pass they only wait.
    std::vector<std::unique_ptr<VOKDevice>> waiting;
    for (int a = 1; a <= 4; ++a) {
        waiting.push_back(MakeDevice(a, 32));
        waiting.back()->SetUpdateInterval(3599);
        waiting.back()->RequestPolling(OPCS_Device::kOperator);
    }
    for (int i = 0; i < 1000; ++i) {
        bool allWaiting = true;
        for (auto& d : waiting) allWaiting = allWaiting && d->GetPollState() == OPCS_Device::kWaitingPollInterval;
        if (allWaiting) break;
        Sleep(10);
    }
    const std::clock_t cpuStart = std::clock();
    const auto wallStart = std::chrono::steady_clock::now();
    Sleep(3000);
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall = Seconds(std::chrono::steady_clock::now() - wallStart);
    for (auto& d : waiting) d->ReleasePolling(OPCS_Device::kOperator);
    waiting.clear();
    line.Stop();

    const double ratio = totalPass / totalBudget;
    const double idle = cpu / wall;
    std::printf("{\"passes\": %d, \"mean_pass_s\": %.4f, \"mean_budget_s\": %.4f, \"ratio\": %.4f, "
                "\"ratio_median\": %.4f, \"ratio_worst\": %.4f, \"target\": %.2f, "
                "\"idle_devices\": 4, \"idle_cpu_s\": %.4f, \"idle_wall_s\": %.3f, \"idle_cpu_per_s\": %.5f, "
                "\"idle_limit\": %.3f, \"history_pass_ratio\": %.4f, \"history_limit\": %.2f, "
                "\"history_hand_over_us\": %.2f, \"history_written\": %llu}\n",
                passes, totalPass / passes, totalBudget / passes, ratio, ratios[ratios.size() / 2], ratios.back(),
                kTarget, cpu, wall, idle, kIdleCpuLimit, historyRatio, kHistoryLimit, handOver * 1e6,
                static_cast<unsigned long long>(keptStatus.written));
    return ratio <= kTarget && idle <= kIdleCpuLimit && historyRatio <= kHistoryLimit ? 0 : 1;
}
