// One full data transaction (select, data with 32 bins and 8 analog inputs,
// release) against a simulated counter paced at 9600 baud, compared with the
// time the bytes need on the line: bytes x 10 bits / 9600 baud.
//
// Usage: bench_transaction [runs]   (prints one JSON object; exit 1 above the target)
#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPort = 60;
constexpr double kTarget = 1.10;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool WaitForSample() {
    for (int i = 0; i < 500; ++i) {
        std::int32_t handle = -1;
        int mode = 0;
        if (VOK_SelectCounter(kPort, 0x81, handle, nullptr)) {
            VOK_ReadCounterMode(handle, mode, nullptr);
            VOK_ReleaseCounter(handle);
        }
        if (mode == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    EventLog().Open(registry.File("events.txt"));

    SimCounterConfig counter;
    counter.address = 1;
    counter.binsUm = {0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1,   1.5, 2,   2.5, 3,  3.5, 4,  4.5, 5,
                      5.5, 6,   6.5, 7,   7.5, 8,   8.5, 9,   9.5, 10,  15,  20, 25,  30, 40,  50};
    counter.analogInputs = 8;
    counter.sampleIntervalS = 1;
    SimLineConfig config;
    config.counters = {counter};
    config.comName = "COM" + std::to_string(kPort);
    config.pace = true;
    config.timeScale = 100;
    SimLine line;
    std::string error;
    if (!line.Start(config, &error)) {
        std::fprintf(stderr, "bench_transaction: cannot start the simulator: %s\n", error.c_str());
        return 2;
    }
    CSerial::EnumeratePorts();
    if (!VOK_OpenPort(kPort)) {
        std::fprintf(stderr, "bench_transaction: cannot open the simulated port\n");
        return 2;
    }
    {
        std::int32_t handle = -1;
        if (!VOK_SelectCounter(kPort, 0x81, handle, nullptr) || !VOK_SetManualMode(handle, nullptr) ||
            !VOK_StartSampling(handle, nullptr)) {
            std::fprintf(stderr, "bench_transaction: the counter does not start sampling\n");
            return 2;
        }
        VOK_ReleaseCounter(handle);
    }
    if (!WaitForSample()) {
        std::fprintf(stderr, "bench_transaction: no sample\n");
        return 2;
    }

    std::vector<double> ratios;
    std::size_t bytes = 0;
    double lastElapsed = 0, lastLimit = 0;
    for (int run = 0; run < runs; ++run) {
        line.ClearTrace();
        const auto start = std::chrono::steady_clock::now();
        std::int32_t handle = -1;
        BYTE status = 0;
        Dll<VOK_DataRec> records;
        const bool ok = VOK_SelectCounter(kPort, 0x81, handle, nullptr) &&
                        VOK_ReadData(handle, status, records, nullptr) && VOK_ReleaseCounter(handle);
        const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
        if (!ok || records.GetCount() != 40) {
            std::fprintf(stderr, "bench_transaction: run %d failed (%d records)\n", run, records.GetCount());
            return 2;
        }
        bytes = line.Trace().size();
        const double limit = static_cast<double>(bytes) * 10.0 / 9600.0;
        ratios.push_back(elapsed / limit);
        lastElapsed = elapsed;
        lastLimit = limit;
    }
    VOK_ClosePort(kPort);
    line.Stop();

    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    std::printf("{\"runs\": %d, \"bytes_on_line\": %zu, \"wire_time_limit_s\": %.4f, \"last_elapsed_s\": %.4f, "
                "\"ratio_min\": %.3f, \"ratio_median\": %.3f, \"ratio_max\": %.3f, \"target\": %.2f, \"within\": %s}\n",
                runs, bytes, lastLimit, lastElapsed, sorted.front(), median, sorted.back(), kTarget,
                median <= kTarget ? "true" : "false");
    return median <= kTarget ? 0 : 1;
}
