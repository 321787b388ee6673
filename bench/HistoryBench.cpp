// Measures the sample history: the writer's insert rate (8-bin samples,
// batched as the running program batches them), the bytes each sample takes
// in the file, one device's 30 days of one-minute samples read back, and the
// export of a day of 100 devices. Prints each figure against its target.
#include "history/HistoryReader.h"
#include "history/HistoryStore.h"
#include "testsupport/TempDir.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kT0 = 1'780'000'000'000;
constexpr std::int64_t kMinute = 60'000;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Counts as a cleanroom counter sends them: small, falling with the bin size.
SampleRecord Sample(int device, std::int64_t minute, std::uint64_t& random) {
    SampleRecord s;
    s.device = "Counter " + std::to_string(device);
    s.timeMs = kT0 + minute * kMinute;
    s.intervalSeconds = 60;
    s.port = 1 + device / 32;
    s.address = 1 + device % 32;
    s.flow = 28300;
    s.binSizes = {0.3, 0.5, 0.7, 1.0, 2.0, 3.0, 5.0, 10.0};
    random = random * 6364136223846793005ULL + 1442695040888963407ULL;
    std::int32_t count = static_cast<std::int32_t>((random >> 33) % 20000);
    for (int bin = 0; bin < 8; ++bin) {
        s.cumulativeRaw.push_back(count);
        count /= 3;
    }
    return s;
}

// Writes devices x minutes samples through a store; the seconds it took.
double Fill(const std::string& path, int devices, std::int64_t minutes) {
    history::HistoryOptions options;
    options.path = path;
    options.retentionDays = 0;
    options.memoryLimit = 10'000'000;
    history::HistoryStore store(options);
    std::string error;
    if (!store.Start(error)) {
        std::fprintf(stderr, "cannot start: %s\n", error.c_str());
        std::exit(1);
    }
    std::uint64_t random = 42;
    const auto start = Clock::now();
    for (std::int64_t minute = 0; minute < minutes; ++minute) {
        for (int device = 0; device < devices; ++device) store.OnSample(Sample(device, minute, random));
        if (minute % 1000 == 999) store.Flush(600'000);  // keeps the memory in bounds
    }
    store.Flush(600'000);
    const double seconds = Ms(Clock::now() - start) / 1000;
    store.Stop();  // the last close checkpoints the WAL into the file
    return seconds;
}

}  // namespace

int main() {
    TempDir dir;
    // 30 days of one-minute samples of 10 devices.
    const std::string month = dir.File("month.db");
    const int devices = 10;
    const std::int64_t minutes = 30 * 24 * 60;
    const double seconds = Fill(month, devices, minutes);
    const double samples = static_cast<double>(devices * minutes);
    std::printf("insert:  %.0f samples in %.1f s = %.0f samples/s (100 counters at one a minute need 1.7/s)\n", samples,
                seconds, samples / seconds);
    const double bytes = static_cast<double>(std::filesystem::file_size(month));
    std::printf("size:    %.1f bytes per sample (%.1f MB); a year of 100 counters: %.2f GiB (target: a few GiB)\n",
                bytes / samples, bytes / 1e6, bytes / samples * 52.6e6 / (1024.0 * 1024 * 1024));

    std::string error;
    auto reader = history::HistoryReader::Open(month, error);
    if (!reader) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    double best = 1e9;
    std::size_t got = 0;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        got = reader->Samples("Counter 4", kT0, kT0 + minutes * kMinute).size();
        best = std::min(best, Ms(Clock::now() - start));
    }
    std::printf("query:   one device, 30 days: %zu samples in %.1f ms (target <= 100 ms)\n", got, best);
    auto start = Clock::now();
    auto spans = reader->Devices();
    std::printf("devices: %zu devices with first/last/count in %.1f ms\n", spans.size(), Ms(Clock::now() - start));
    start = Clock::now();
    auto check = reader->Check();
    std::printf("check:   integrity %s, %llu samples, %zu gaps in %.0f ms\n", check.intact ? "ok" : "FAILED",
                static_cast<unsigned long long>(check.samples), check.gaps.size(), Ms(Clock::now() - start));
    reader.reset();

    // Two days of 100 devices; the export takes the second.
    const std::string plant = dir.File("plant.db");
    Fill(plant, 100, 2 * 24 * 60);
    reader = history::HistoryReader::Open(plant, error);
    if (!reader) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::size_t exported = 0;
    std::int64_t checksum = 0;
    start = Clock::now();
    reader->ForEachSampleOfAll(kT0 + 24 * 60 * kMinute, kT0 + 48 * 60 * kMinute - 1,
                               [&](const SampleRecord& s) {
                                   ++exported;
                                   checksum += s.TotalRaw();
                                   return true;
                               },
                               error);
    std::printf("export:  a day of 100 devices: %zu samples in %.0f ms (target <= 2000 ms) [%lld]\n", exported,
                Ms(Clock::now() - start), static_cast<long long>(checksum));

    // A start on the month's file: the quick check of an existing history.
    history::HistoryOptions options;
    options.path = month;
    options.retentionDays = 0;
    history::HistoryStore store(options);
    start = Clock::now();
    store.Start(error);
    std::printf("start:   opening and checking a %.1f MB history: %.0f ms\n", bytes / 1e6, Ms(Clock::now() - start));
    store.Stop();
    return 0;
}
