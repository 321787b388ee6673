// Writes samples to a history database as fast as the store takes them, and
// after each committed burst notes in a progress file how many are committed.
// The kill test ends it with SIGKILL at a moment of its choosing and checks
// that every sample noted as committed is in the file.
//
//   history_writer_child <database> <progress file>
#include "history/HistoryStore.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: history_writer_child <database> <progress file>\n");
        return 2;
    }
    history::HistoryOptions options;
    options.path = argv[1];
    options.commitIntervalMs = 50;
    options.retentionDays = 0;
    history::HistoryStore store(options);
    std::string error;
    if (!store.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string progress = argv[2];
    const std::int64_t base = 1'700'000'000'000;
    for (std::int64_t i = 0;; ++i) {
        SampleRecord sample;
        sample.timeMs = base + i * 1000;
        sample.intervalSeconds = 1;
        sample.device = "Kill " + std::to_string(i % 3);
        sample.flow = 2830;
        sample.binSizes = {0.3, 0.5, 1.0};
        sample.cumulativeRaw = {static_cast<std::int32_t>(i), static_cast<std::int32_t>(i / 2), 7};
        store.OnSample(sample);
        if (i % 200 == 199) {
            if (!store.Flush(5000)) return 3;
            // Written whole and renamed, so that the test never reads half a number.
            {
                std::ofstream out(progress + ".new", std::ios::trunc);
                out << (i + 1) << "\n";
            }
            std::filesystem::rename(progress + ".new", progress);
        }
    }
}
