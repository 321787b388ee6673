// Retention: by age exactly at the boundary (a clock of the test's own), and
// by size with the file really shrinking, the oldest records first.
#include "HistoryTestSupport.h"

#include <atomic>
#include <filesystem>

using namespace historytest;
using history::HistoryStore;

namespace {

TEST(HistoryRetention, ByAgeEverythingInsideStaysAndEverythingOutsideGoes) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    std::atomic<std::int64_t> now{kT0 + 10 * kDay};
    auto options = Options(path);
    options.retentionDays = 2;
    options.clock = [&] { return now.load(); };
    HistoryStore store(options);
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    const std::int64_t cutoff = now - 2 * kDay;
    // 3,000 samples of three devices before the cutoff (more than one step),
    // and the samples right around it.
    for (int i = 0; i < 3000; ++i) store.OnSample(Sample("R" + std::to_string(i % 3), cutoff - 1 - i * 1000, i));
    store.OnSample(Sample("R0", cutoff, 1));
    store.OnSample(Sample("R1", cutoff + 1, 2));
    store.OnSample(Sample("R2", now, 3));
    store.OnDeviceEvent(Event("R0", cutoff - 1, DeviceEventKind::CommLost));
    store.OnDeviceEvent(Event("", cutoff - kDay, DeviceEventKind::ProgramStarted));
    store.OnDeviceEvent(Event("R0", cutoff, DeviceEventKind::CommRestored));
    ASSERT_TRUE(store.Flush());

    // The pass the store starts by itself may have taken some already.
    EXPECT_LE(store.PruneNow(), 3002u);
    EXPECT_EQ(store.Status().pruned, 3002u);
    {
        auto reader = Reader(path);
        ASSERT_TRUE(reader);
        std::vector<std::pair<std::string, std::int64_t>> kept;
        ASSERT_TRUE(reader->ForEachSampleOfAll(0, now + kDay,
                                               [&](const SampleRecord& s) {
                                                   kept.emplace_back(s.device, s.timeMs);
                                                   return true;
                                               },
                                               error));
        const std::vector<std::pair<std::string, std::int64_t>> want = {
            {"R0", cutoff}, {"R1", cutoff + 1}, {"R2", now.load()}};
        EXPECT_EQ(kept, want);
        auto events = reader->Events("", 0, now + kDay);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, DeviceEventKind::CommRestored);
    }
    // A millisecond later the oldest is out too; nothing else.
    now += 1;
    EXPECT_EQ(store.PruneNow(), 2u);  // the sample and the event at the old cutoff
    EXPECT_EQ(store.PruneNow(), 0u);
    store.Stop();
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Check().samples, 2u);
}

TEST(HistoryRetention, BySizeTheOldestGoAndTheFileShrinks) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    const int count = 30000;
    {
        HistoryStore store(Options(path));
        std::string error;
        ASSERT_TRUE(store.Start(error)) << error;
        for (int i = 0; i < count; ++i) store.OnSample(Sample("S" + std::to_string(i % 4), kT0 + i * 1000, i));
        ASSERT_TRUE(store.Flush());
        store.Stop();
    }
    const auto full = std::filesystem::file_size(path);
    const std::int64_t bound = 256 * 1024;
    ASSERT_GT(full, 3u * bound) << "too few samples to test the bound";

    auto options = Options(path);
    options.maxBytes = bound;
    HistoryStore store(options);
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    EXPECT_GT(store.PruneNow(), 0u);
    store.Stop();
    // With the pass the store starts by itself.
    const auto removed = store.Status().pruned;
    const auto after = std::filesystem::file_size(path);
    EXPECT_LE(after, static_cast<std::uintmax_t>(bound));
    EXPECT_FALSE(std::filesystem::exists(path + "-wal") && std::filesystem::file_size(path + "-wal") > 0);

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto check = reader->Check();
    EXPECT_TRUE(check.intact);
    EXPECT_EQ(check.samples + removed, static_cast<std::uint64_t>(count));
    // The oldest went: what is left are the newest, without a hole.
    std::int64_t next = count - static_cast<std::int64_t>(check.samples);
    ASSERT_TRUE(reader->ForEachSampleOfAll(0, kT0 + kDay,
                                           [&](const SampleRecord& s) {
                                               EXPECT_EQ(s.timeMs, kT0 + next * 1000);
                                               ++next;
                                               return true;
                                           },
                                           error));
    EXPECT_EQ(next, count);
    // And not far more than needed went (the file is not a fraction of the bound).
    EXPECT_GT(after, static_cast<std::uintmax_t>(bound) / 2);
}

}  // namespace
