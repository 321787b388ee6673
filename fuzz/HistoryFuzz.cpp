// Any bytes as a history database handed to `vok history --db`, the trend or
// the OPC UA server: a copied file may be damaged, cut short or made by
// something else. The reader opens it or says why not; every device, its
// samples and events, the export order and the check are read; what comes
// back must be whole: a count per bin size, samples in time order.
#include "history/HistoryReader.h"
#include "testsupport/TempDir.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "history reading: %s\n", what);
    std::abort();
}

void CheckSample(const SampleRecord& sample) {
    if (sample.cumulativeRaw.size() != sample.binSizes.size()) Fault("counts and bin sizes differ in number");
    for (std::size_t j = 0; j < sample.BinCount(); ++j) {
        (void)sample.CumulativeNormalized(j);
        (void)sample.DifferentialRaw(j);
        (void)sample.DifferentialNormalized(j);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    static const TempDir folder;
    const fs::path file = folder.Path() / "history.db";
    for (const char* extra : {"", "-wal", "-shm", "-journal"}) fs::remove(file.string() + extra);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::string error;
    auto reader = history::HistoryReader::Open(file.string(), error);
    if (!reader) {
        if (error.empty()) Fault("refused without a reason");
        return 0;
    }
    constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::max();
    for (const history::DeviceSpan& span : reader->Devices()) {
        std::int64_t last = std::numeric_limits<std::int64_t>::min();
        reader->ForEachSample(span.device, std::numeric_limits<std::int64_t>::min(), kAll, 200, false,
                              [&](const SampleRecord& sample) {
                                  CheckSample(sample);
                                  if (sample.timeMs < last) Fault("a device's samples go back in time");
                                  last = sample.timeMs;
                                  return true;
                              },
                              error);
        reader->Events(span.device, std::numeric_limits<std::int64_t>::min(), kAll);
    }
    std::size_t exported = 0;
    reader->ForEachSampleOfAll(std::numeric_limits<std::int64_t>::min(), kAll,
                               [&](const SampleRecord& sample) {
                                   CheckSample(sample);
                                   return ++exported < 500;
                               },
                               error);
    reader->Check();
    return 0;
}
