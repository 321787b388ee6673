// What the store writes the reader gives back whole: every field of a
// sample, samples in the same millisecond, events, the gaps between samples,
// reading while the writer writes, files that are no history, and the copy.
#include "HistoryTestSupport.h"

#include "Schema.h"

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <limits>

using namespace historytest;
using history::HistoryReader;
using history::HistoryStore;

namespace {

// Writes the records through a store and stops it, so that all are committed.
void WriteAll(const std::string& path, const std::vector<SampleRecord>& samples,
              const std::vector<DeviceEvent>& events = {}) {
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    for (const auto& e : events) store.OnDeviceEvent(e);
    for (const auto& s : samples) store.OnSample(s);
    ASSERT_TRUE(store.Flush());
    store.Stop();
    EXPECT_EQ(store.Status().written, samples.size() + events.size());
}

void ExpectSame(const SampleRecord& got, const SampleRecord& want) {
    EXPECT_EQ(got.timeMs, want.timeMs);
    EXPECT_EQ(got.device, want.device);
    EXPECT_EQ(got.intervalSeconds, want.intervalSeconds);
    EXPECT_EQ(got.port, want.port);
    EXPECT_EQ(got.address, want.address);
    EXPECT_EQ(got.flow, want.flow);
    EXPECT_EQ(got.binSizes, want.binSizes);
    EXPECT_EQ(got.cumulativeRaw, want.cumulativeRaw);
    EXPECT_EQ(got.analog, want.analog);
    EXPECT_EQ(got.counterFlags, want.counterFlags);
    EXPECT_EQ(got.commStatus, want.commStatus);
}

TEST(HistoryRoundTrip, EveryFieldOfASampleComesBack) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    SampleRecord full = Sample("Room 1", kT0, 5);
    full.port = 4;
    full.address = 12;
    full.flow = 2830.5;
    full.intervalSeconds = 30;
    full.analog[0] = 21.5;
    full.analog[3] = -0.25;
    full.analog[7] = 1e9;
    full.counterFlags = 0x25;
    full.commStatus = 2;
    // Counts at the ends of 32 bits and a higher bin above a lower one.
    SampleRecord extreme = Sample("Room 1", kT0 + kMinute, 1);
    extreme.cumulativeRaw = {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min(), 0,
                             5, 4, std::numeric_limits<std::int32_t>::max(), -1, 0};
    SampleRecord bare = Sample("Room 2", kT0, 2);
    bare.binSizes.clear();
    bare.cumulativeRaw.clear();
    bare.flow = 0;
    // A setup change (new flow) between two samples of a device.
    SampleRecord changed = Sample("Room 1", kT0 + 2 * kMinute, 3);
    changed.flow = 1000;
    changed.binSizes = {0.5, 5.0};
    changed.cumulativeRaw = {40, 2};
    WriteAll(path, {full, extreme, bare, changed});

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto room1 = reader->Samples("Room 1", kT0, kT0 + kDay);
    ASSERT_EQ(room1.size(), 3u) << reader->LastError();
    ExpectSame(room1[0], full);
    ExpectSame(room1[1], extreme);
    ExpectSame(room1[2], changed);
    // The derived values follow from what was stored.
    EXPECT_DOUBLE_EQ(room1[0].Volume(), 2830.5 / 2);
    EXPECT_DOUBLE_EQ(room1[0].TotalNormalized(), full.TotalNormalized());
    EXPECT_EQ(room1[1].DifferentialRaw(0), extreme.DifferentialRaw(0));
    EXPECT_DOUBLE_EQ(room1[2].DifferentialNormalized(0), (40.0 - 2.0) / (1000.0 / 60 * 60));
    EXPECT_TRUE(room1[0].CounterAlarm());
    EXPECT_TRUE(room1[0].CalibrationAlarm());
    auto room2 = reader->Samples("Room 2", 0, std::numeric_limits<std::int64_t>::max());
    ASSERT_EQ(room2.size(), 1u);
    ExpectSame(room2[0], bare);
    EXPECT_FALSE(room2[0].analog[0].has_value());
    EXPECT_TRUE(reader->Samples("No such room", 0, kT0 + kDay).empty());
    EXPECT_EQ(reader->LastError(), "");
}

TEST(HistoryRoundTrip, SamplesInTheSameMillisecondAreAllKept) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    // Two in one millisecond, and a third in the millisecond the bumped one takes.
    WriteAll(path, {Sample("A", kT0, 1), Sample("A", kT0, 2), Sample("A", kT0 + 1, 3), Sample("B", kT0, 4)});
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto a = reader->Samples("A", kT0, kT0 + 10);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].timeMs, kT0);
    EXPECT_EQ(a[0].cumulativeRaw, Sample("A", kT0, 1).cumulativeRaw);
    EXPECT_EQ(a[1].timeMs, kT0 + 1);
    EXPECT_EQ(a[1].cumulativeRaw, Sample("A", kT0, 2).cumulativeRaw);
    EXPECT_EQ(a[2].timeMs, kT0 + 2);
    EXPECT_EQ(a[2].cumulativeRaw, Sample("A", kT0, 3).cumulativeRaw);
    // Another device's key is its own.
    auto b = reader->Samples("B", kT0, kT0 + 10);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].timeMs, kT0);
}

TEST(HistoryRoundTrip, RangesCountsDirectionAndTheExportOrder) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    std::vector<SampleRecord> samples;
    for (int i = 0; i < 10; ++i) {
        samples.push_back(Sample("Zeta", kT0 + i * kMinute, i));
        samples.push_back(Sample("Alpha", kT0 + i * kMinute, 100 + i));
    }
    samples.push_back(Sample("Mid", kT0 + 5 * kMinute + 1, 50));
    WriteAll(path, samples);
    auto reader = Reader(path);
    ASSERT_TRUE(reader);

    // Both ends of the range are inside it.
    auto inside = reader->Samples("Zeta", kT0 + 2 * kMinute, kT0 + 5 * kMinute);
    ASSERT_EQ(inside.size(), 4u);
    EXPECT_EQ(inside.front().timeMs, kT0 + 2 * kMinute);
    EXPECT_EQ(inside.back().timeMs, kT0 + 5 * kMinute);
    auto newest = reader->Samples("Zeta", kT0, kT0 + kDay, 3, true);
    ASSERT_EQ(newest.size(), 3u);
    EXPECT_EQ(newest[0].timeMs, kT0 + 9 * kMinute);
    EXPECT_EQ(newest[2].timeMs, kT0 + 7 * kMinute);
    auto oldest = reader->Samples("Zeta", kT0, kT0 + kDay, 2);
    ASSERT_EQ(oldest.size(), 2u);
    EXPECT_EQ(oldest[1].timeMs, kT0 + kMinute);
    EXPECT_TRUE(reader->Samples("Zeta", kT0 + 5, kT0 + 4).empty());

    // Stopping early.
    std::size_t seen = 0;
    std::string error;
    EXPECT_TRUE(reader->ForEachSample("Alpha", kT0, kT0 + kDay, 0, false, [&](const SampleRecord&) { return ++seen < 4; },
                                      error));
    EXPECT_EQ(seen, 4u);

    // The export: time order, ties by name; a callback may query the reader again.
    std::vector<std::pair<std::int64_t, std::string>> order;
    ASSERT_TRUE(reader->ForEachSampleOfAll(kT0 + 4 * kMinute, kT0 + 6 * kMinute,
                                           [&](const SampleRecord& s) {
                                               order.emplace_back(s.timeMs, s.device);
                                               EXPECT_EQ(reader->Samples(s.device, s.timeMs, s.timeMs).size(), 1u);
                                               return true;
                                           },
                                           error))
        << error;
    const std::vector<std::pair<std::int64_t, std::string>> want = {
        {kT0 + 4 * kMinute, "Alpha"}, {kT0 + 4 * kMinute, "Zeta"}, {kT0 + 5 * kMinute, "Alpha"},
        {kT0 + 5 * kMinute, "Zeta"},  {kT0 + 5 * kMinute + 1, "Mid"}, {kT0 + 6 * kMinute, "Alpha"},
        {kT0 + 6 * kMinute, "Zeta"}};
    EXPECT_EQ(order, want);

    auto devices = reader->Devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].device, "Alpha");
    EXPECT_EQ(devices[0].samples, 10u);
    EXPECT_EQ(devices[0].firstMs, kT0);
    EXPECT_EQ(devices[0].lastMs, kT0 + 9 * kMinute);
    EXPECT_EQ(devices[0].port, 3);
    EXPECT_EQ(devices[1].device, "Mid");
    EXPECT_EQ(devices[1].samples, 1u);
}

TEST(HistoryEvents, EventsComeBackAndExplainTheGaps) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    std::vector<SampleRecord> samples;
    std::vector<DeviceEvent> events;
    events.push_back(Event("", kT0 - 1000, DeviceEventKind::ProgramStarted));
    // Lost: samples at 0..4, comm lost for three intervals, back from 8.
    for (int i : {0, 1, 2, 3, 4, 8, 9, 10}) samples.push_back(Sample("Lost", kT0 + i * kMinute));
    events.push_back(Event("Lost", kT0 + 4 * kMinute + 5000, DeviceEventKind::CommLost, "Failed counter data read"));
    events.push_back(Event("Lost", kT0 + 7 * kMinute + 1000, DeviceEventKind::CommRestored));
    // Late: a sample 2 intervals and a second late is no gap.
    for (std::int64_t t : {kT0, kT0 + 2 * kMinute + 1000, kT0 + 3 * kMinute}) samples.push_back(Sample("Late", t));
    // Killed: the program vanished (no stop event), then started again.
    for (int i : {0, 1, 6, 7}) samples.push_back(Sample("Killed", kT0 + i * kMinute));
    events.push_back(Event("", kT0 + 5 * kMinute, DeviceEventKind::ProgramStarted));
    // Stopped: polling stopped and started again.
    for (int i : {0, 1, 9}) samples.push_back(Sample("Stopped", kT0 + i * kMinute));
    events.push_back(Event("Stopped", kT0 + 2 * kMinute, DeviceEventKind::PollStopped));
    events.push_back(Event("Stopped", kT0 + 8 * kMinute + 30000, DeviceEventKind::PollStarted));
    // Open: lost after its last sample and never back.
    for (int i : {0, 1}) samples.push_back(Sample("Open", kT0 + i * kMinute));
    events.push_back(Event("Open", kT0 + 1 * kMinute + 10, DeviceEventKind::CommLost));
    events.push_back(Event("", kT0 + 20 * kMinute, DeviceEventKind::ProgramStopped));
    WriteAll(path, samples, events);

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto lost = reader->Events("Lost", kT0, kT0 + kDay);
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0].kind, DeviceEventKind::CommLost);
    EXPECT_EQ(lost[0].text, "Failed counter data read");
    EXPECT_EQ(lost[0].commStatus, 1);
    EXPECT_EQ(lost[0].device, "Lost");
    EXPECT_EQ(lost[1].kind, DeviceEventKind::CommRestored);
    auto all = reader->Events("", 0, kT0 + kDay);
    ASSERT_EQ(all.size(), events.size());
    EXPECT_EQ(all.front().kind, DeviceEventKind::ProgramStarted);
    EXPECT_EQ(all.front().device, "");
    EXPECT_EQ(all.back().kind, DeviceEventKind::ProgramStopped);

    auto check = reader->Check();
    EXPECT_TRUE(check.intact);
    EXPECT_TRUE(check.problems.empty());
    EXPECT_EQ(check.samples, samples.size());
    EXPECT_EQ(check.events, events.size());
    std::map<std::string, std::vector<history::HistoryGap>> gaps;
    for (const auto& gap : check.gaps) gaps[gap.device].push_back(gap);
    ASSERT_EQ(gaps["Lost"].size(), 1u);
    EXPECT_EQ(gaps["Lost"][0].fromMs, kT0 + 4 * kMinute);
    EXPECT_EQ(gaps["Lost"][0].toMs, kT0 + 8 * kMinute);
    EXPECT_EQ(gaps["Lost"][0].reason, "comm lost");
    EXPECT_TRUE(gaps["Late"].empty());
    ASSERT_EQ(gaps["Killed"].size(), 1u);
    EXPECT_EQ(gaps["Killed"][0].reason, "no record");
    ASSERT_EQ(gaps["Stopped"].size(), 1u);
    EXPECT_EQ(gaps["Stopped"][0].reason, "poll stopped");
    ASSERT_EQ(gaps["Open"].size(), 1u);
    EXPECT_EQ(gaps["Open"][0].fromMs, kT0 + kMinute);
    EXPECT_EQ(gaps["Open"][0].toMs, kT0 + 20 * kMinute);
    EXPECT_EQ(gaps["Open"][0].reason, "comm lost");
    EXPECT_EQ(check.gaps.size(), 4u);
}

TEST(HistoryReading, ARowThatCannotBeDecodedIsAnErrorNotACrash) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    WriteAll(path, {Sample("A", kT0, 1), Sample("A", kT0 + kMinute, 2), Sample("A", kT0 + 2 * kMinute, 3)});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    // A varint that never ends, and analog values cut short.
    ASSERT_EQ(sqlite3_exec(db,
                           ("UPDATE samples SET counts = x'FFFFFFFFFFFFFFFFFFFFFFFF' WHERE time_ms = " +
                            std::to_string(kT0 + kMinute) + ";UPDATE samples SET analog = x'0301020304' WHERE time_ms = " +
                            std::to_string(kT0 + 2 * kMinute))
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto samples = reader->Samples("A", kT0, kT0 + kDay);
    EXPECT_EQ(samples.size(), 1u);  // the good one before the broken one
    EXPECT_NE(reader->LastError().find("cannot be read"), std::string::npos) << reader->LastError();
    std::string error;
    EXPECT_FALSE(reader->ForEachSample("A", kT0 + 2 * kMinute, kT0 + kDay, 0, false, [](const SampleRecord&) { return true; },
                                       error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
    EXPECT_FALSE(reader->ForEachSampleOfAll(0, kT0 + kDay, [](const SampleRecord&) { return true; }, error));
    // The good sample alone still reads.
    EXPECT_EQ(reader->Samples("A", kT0, kT0).size(), 1u);
    EXPECT_EQ(reader->LastError(), "");
}

TEST(HistoryReading, OneDeviceOverARangeReadsOnlyItsKeyRange) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    WriteAll(path, {Sample("A", kT0)});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const char* query : {history::schema::kSelectDeviceSamplesForward, history::schema::kSelectDeviceSamplesBackward,
                              history::schema::kSelectDeviceEvents}) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + query).c_str(), -1, &stmt, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        std::string plan;
        while (sqlite3_step(stmt) == SQLITE_ROW) plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3))) + "; ";
        sqlite3_finalize(stmt);
        EXPECT_NE(plan.find("SEARCH"), std::string::npos) << query << "\n" << plan;
        EXPECT_NE(plan.find("device_id=?"), std::string::npos) << plan;
        EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
        EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
    }
    sqlite3_close(db);
}

TEST(HistoryReading, AReaderFollowsAWriterThatKeepsWriting) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    auto options = Options(path);
    options.commitIntervalMs = 10;
    HistoryStore store(options);
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    store.OnSample(Sample("W", kT0));
    ASSERT_TRUE(store.Flush());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 1; !stop; ++i) {
            store.OnSample(Sample("W", kT0 + i * 1000, i));
            if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    std::size_t previous = 0;
    int grew = 0;
    for (int round = 0; round < 30; ++round) {
        const auto samples = reader->Samples("W", kT0, kT0 + kDay * 365);
        ASSERT_EQ(reader->LastError(), "");
        EXPECT_GE(samples.size(), previous);
        // A reader sees whole transactions: the samples run without holes.
        for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i].timeMs, kT0 + static_cast<std::int64_t>(i) * 1000);
        grew += samples.size() > previous;
        previous = samples.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    stop = true;
    writer.join();
    store.Stop();
    EXPECT_GT(grew, 3);
    EXPECT_EQ(reader->Samples("W", kT0, kT0 + kDay * 365).size(), store.Status().written);
}

TEST(HistoryReading, FilesThatAreNoHistoryAreRefusedAndLeftAlone) {
    TempDir dir;
    std::string error;
    const std::string missing = dir.File("missing.db");
    EXPECT_FALSE(HistoryReader::Open(missing, error));
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string text = dir.File("notes.db");
    std::ofstream(text) << "particle counts, by hand, on paper, more or less\n";
    EXPECT_FALSE(HistoryReader::Open(text, error));
    EXPECT_NE(error.find("not a history database"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(text), "particle counts, by hand, on paper, more or less\n");

    const std::string empty = dir.File("empty.db");
    std::ofstream{empty};
    EXPECT_FALSE(HistoryReader::Open(empty, error));
    EXPECT_NE(error.find("not a history database"), std::string::npos) << error;

    const std::string other = dir.File("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE samples(x); INSERT INTO samples VALUES(1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_FALSE(HistoryReader::Open(other, error));
    EXPECT_NE(error.find("not a history database"), std::string::npos) << error;

    EXPECT_FALSE(HistoryReader::Open(dir.Path().string(), error));
    EXPECT_NE(error.find("folder"), std::string::npos) << error;
}

TEST(HistoryReading, ACopyWithoutItsWalFileOpens) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    for (int i = 0; i < 50; ++i) store.OnSample(Sample("C", kT0 + i * kMinute, i));
    ASSERT_TRUE(store.Flush());
    store.Stop();
    // The file alone, as a user would mail it.
    const std::string copy = dir.File("copy.db");
    std::filesystem::copy_file(path, copy);
    auto reader = Reader(copy);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Samples("C", kT0, kT0 + kDay).size(), 50u);
}

TEST(HistoryBackup, TheCopyIsReadableAndNothingIsOverwritten) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    for (int i = 0; i < 3000; ++i) store.OnSample(Sample("B" + std::to_string(i % 4), kT0 + i * 1000, i));
    store.OnDeviceEvent(Event("B1", kT0 + 5, DeviceEventKind::PollStarted));
    ASSERT_TRUE(store.Flush());
    // While the writer runs and writes more.
    for (int i = 3000; i < 3100; ++i) store.OnSample(Sample("B0", kT0 + i * 1000, i));
    const std::string copy = dir.File("backup/copy.db");
    std::filesystem::create_directories(dir.File("backup"));
    ASSERT_TRUE(history::BackupHistory(path, copy, error)) << error;
    store.Stop();

    auto reader = Reader(copy);
    ASSERT_TRUE(reader);
    auto check = reader->Check();
    EXPECT_TRUE(check.intact);
    EXPECT_GE(check.samples, 3000u);
    EXPECT_LE(check.samples, 3100u);
    EXPECT_EQ(check.events, 1u);
    auto b1 = reader->Samples("B1", kT0, kT0 + kDay);
    ASSERT_EQ(b1.size(), 750u);
    EXPECT_EQ(b1[10].cumulativeRaw, Sample("B1", 0, 41).cumulativeRaw);

    // An existing file is never overwritten, nor is a file that is no history copied.
    const auto before = ReadFile(copy);
    EXPECT_FALSE(history::BackupHistory(path, copy, error));
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(copy), before);
    const std::string text = dir.File("text.db");
    std::ofstream(text) << "not a database";
    EXPECT_FALSE(history::BackupHistory(text, dir.File("copy2.db"), error));
    EXPECT_NE(error.find("not a history database"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.File("copy2.db")));
}

}  // namespace
