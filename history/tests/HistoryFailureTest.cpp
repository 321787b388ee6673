// The store when the disk refuses: samples wait in memory and are written
// once it works again, the oldest go beyond the memory limit (counted), the
// event log hears of it once, and a damaged database is moved aside, never
// deleted.
#include "HistoryTestSupport.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

using namespace historytest;
using history::HistoryStore;

namespace {

namespace fs = std::filesystem;

TEST(HistoryUnwritable, SamplesWaitWhileTheFolderCannotBeMadeAndAreAllWrittenAfterwards) {
    TempDir dir;
    EventLogCapture log;
    // The database's folder is a file: nothing can be created there.
    const std::string blocker = dir.File("data");
    std::ofstream(blocker) << "in the way";
    const std::string path = dir.File("data/history.db");
    HistoryStore store(Options(path));
    std::string error;
    EXPECT_FALSE(store.Start(error));
    EXPECT_NE(error, "");
    for (int i = 0; i < 20; ++i) store.OnSample(Sample("U", kT0 + i * kMinute, i));
    store.OnDeviceEvent(Event("U", kT0 + 5, DeviceEventKind::CommLost));
    // It keeps trying (several retries pass) and the samples keep arriving.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    for (int i = 20; i < 40; ++i) store.OnSample(Sample("U", kT0 + i * kMinute, i));
    auto status = store.Status();
    EXPECT_TRUE(status.running);
    EXPECT_FALSE(status.writable);
    EXPECT_NE(status.problem, "");
    EXPECT_EQ(status.waiting, 41u);
    EXPECT_EQ(status.written, 0u);
    EXPECT_FALSE(store.Flush(200));
    EXPECT_EQ(log.CountContaining("History not written: "), 1) << ReadFile(log.Path());
    EXPECT_EQ(log.CountContaining("samples wait in memory"), 1);

    fs::remove(blocker);
    ASSERT_TRUE(store.Flush(5000));
    status = store.Status();
    EXPECT_TRUE(status.writable);
    EXPECT_EQ(status.problem, "");
    EXPECT_EQ(status.waiting, 0u);
    EXPECT_EQ(status.written, 41u);
    EXPECT_EQ(status.dropped, 0u);
    store.Stop();
    EXPECT_EQ(log.CountContaining("History written again: 41 samples waited, 0 dropped"), 1) << ReadFile(log.Path());
    EXPECT_EQ(log.CountContaining("History not written: "), 1);

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto samples = reader->Samples("U", kT0, kT0 + kDay);
    ASSERT_EQ(samples.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(samples[static_cast<std::size_t>(i)].cumulativeRaw, Sample("U", 0, i).cumulativeRaw);
    EXPECT_EQ(reader->Events("U", 0, kT0 + kDay).size(), 1u);
}

TEST(HistoryUnwritable, BeyondTheMemoryLimitTheOldestAreDroppedAndCounted) {
    TempDir dir;
    EventLogCapture log;
    const std::string blocker = dir.File("data");
    std::ofstream(blocker) << "in the way";
    const std::string path = dir.File("data/history.db");
    auto options = Options(path);
    options.memoryLimit = 100;
    HistoryStore store(options);
    std::string error;
    EXPECT_FALSE(store.Start(error));
    for (int i = 0; i < 250; ++i) store.OnSample(Sample("M", kT0 + i * kMinute, i));
    auto status = store.Status();
    EXPECT_EQ(status.waiting, 100u);
    EXPECT_EQ(status.dropped, 150u);
    EXPECT_TRUE(WaitFor([&] { return log.CountContaining("History memory full") == 1; }, 2000)) << ReadFile(log.Path());
    // Records handed in while some were dropped are not all committed: Flush says so.
    store.OnSample(Sample("M", kT0 + 250 * kMinute, 250));
    EXPECT_EQ(store.Status().dropped, 151u);
    fs::remove(blocker);
    EXPECT_FALSE(store.Flush(5000));
    EXPECT_TRUE(store.Flush(5000));
    store.Stop();
    EXPECT_EQ(log.CountContaining("History written again: 100 samples waited, 151 dropped"), 1) << ReadFile(log.Path());
    EXPECT_EQ(log.CountContaining("History memory full"), 1);

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto samples = reader->Samples("M", kT0, kT0 + kDay);
    ASSERT_EQ(samples.size(), 100u);
    // The newest stayed.
    EXPECT_EQ(samples.front().timeMs, kT0 + 151 * kMinute);
    EXPECT_EQ(samples.back().timeMs, kT0 + 250 * kMinute);
}

// A small tmpfs of its own, grown when the test wants the disk to work again.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& dir) : dir_(dir) {
        fs::create_directories(dir_);
        mounted_ = std::system(("mount -t tmpfs -o size=160k tmpfs '" + dir_ + "' 2>/dev/null").c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) (void)std::system(("umount -l '" + dir_ + "'").c_str());
    }
    bool Mounted() const { return mounted_; }
    bool Grow() { return std::system(("mount -o remount,size=16m '" + dir_ + "'").c_str()) == 0; }

private:
    std::string dir_;
    bool mounted_ = false;
};

TEST(HistoryUnwritable, AFullDiskLosesNothingThatFitsInMemory) {
    TempDir dir;
    SmallDisk disk(dir.File("disk"));
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    EventLogCapture log;
    const std::string path = dir.File("disk/history.db");
    auto options = Options(path);
    options.memoryLimit = 1'000'000;
    HistoryStore store(options);
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    int handed = 0;
    // Until the disk is full: the writer reports it and keeps the samples.
    for (int round = 0; round < 200 && store.Status().writable; ++round) {
        for (int i = 0; i < 500; ++i, ++handed) store.OnSample(Sample("F" + std::to_string(handed % 5), kT0 + handed * 1000, handed));
        store.Flush(2000);
    }
    auto status = store.Status();
    ASSERT_FALSE(status.writable) << "the disk never filled";
    EXPECT_NE(status.problem, "");
    EXPECT_GT(status.waiting, 0u);
    for (int i = 0; i < 300; ++i, ++handed) store.OnSample(Sample("F" + std::to_string(handed % 5), kT0 + handed * 1000, handed));
    EXPECT_EQ(store.Status().waiting, status.waiting + 300);
    EXPECT_EQ(log.CountContaining("History not written: "), 1) << ReadFile(log.Path());

    ASSERT_TRUE(disk.Grow());
    ASSERT_TRUE(store.Flush(10000));
    status = store.Status();
    EXPECT_TRUE(status.writable);
    EXPECT_EQ(status.written, static_cast<std::uint64_t>(handed));
    EXPECT_EQ(status.dropped, 0u);
    store.Stop();
    EXPECT_EQ(log.CountContaining("History written again: "), 1) << ReadFile(log.Path());

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto check = reader->Check();
    EXPECT_TRUE(check.intact);
    EXPECT_EQ(check.samples, static_cast<std::uint64_t>(handed));
    // Every sample once, with its own counts.
    std::int64_t expected = 0;
    std::string readError;
    ASSERT_TRUE(reader->ForEachSampleOfAll(0, kT0 + kDay,
                                           [&](const SampleRecord& s) {
                                               EXPECT_EQ(s.timeMs, kT0 + expected * 1000);
                                               EXPECT_EQ(s.cumulativeRaw, Sample("", 0, static_cast<std::int32_t>(expected)).cumulativeRaw);
                                               ++expected;
                                               return true;
                                           },
                                           readError));
    EXPECT_EQ(expected, handed);
}

TEST(HistoryUnwritable, StopGivesUpAfterAFewSecondsAndSaysWhatIsLost) {
    TempDir dir;
    EventLogCapture log;
    std::ofstream(dir.File("data")) << "in the way";
    HistoryStore store(Options(dir.File("data/history.db")));
    std::string error;
    EXPECT_FALSE(store.Start(error));
    for (int i = 0; i < 7; ++i) store.OnSample(Sample("S", kT0 + i));
    const auto start = std::chrono::steady_clock::now();
    store.Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(6));
    EXPECT_FALSE(store.Status().running);
    EXPECT_EQ(log.CountContaining("7 samples are lost"), 1) << ReadFile(log.Path());
}

// Moved aside files: <name>.damaged-<stamp>, with the same bytes as before.
std::vector<fs::path> MovedAside(const TempDir& dir) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        if (entry.path().filename().string().find(".damaged-") != std::string::npos) found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

void ExpectANewHistoryWorks(const std::string& path) {
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    EXPECT_EQ(store.Status().movedAside, "");
    store.OnSample(Sample("N", kT0));
    ASSERT_TRUE(store.Flush());
    store.Stop();
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Samples("N", kT0, kT0).size(), 1u);
}

TEST(HistoryDamaged, AFileThatIsNoDatabaseIsMovedAsideWithItsWalAndANewOneStarts) {
    TempDir dir;
    EventLogCapture log;
    const std::string path = dir.File("history.db");
    std::ofstream(path) << "this was never a database, but someone's notes";
    std::ofstream(path + "-wal") << "stale";
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    const auto status = store.Status();
    ASSERT_NE(status.movedAside, "");
    EXPECT_EQ(ReadFile(status.movedAside), "this was never a database, but someone's notes");
    EXPECT_EQ(ReadFile(status.movedAside + "-wal"), "stale");
    EXPECT_EQ(log.CountContaining("History database damaged, moved aside to " + status.movedAside +
                                  "; a new one was started"),
              1)
        << ReadFile(log.Path());
    store.OnSample(Sample("D", kT0));
    ASSERT_TRUE(store.Flush());
    store.Stop();
    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Samples("D", kT0, kT0).size(), 1u);
    // A second start finds nothing wrong.
    ExpectANewHistoryWorks(path);
    EXPECT_EQ(MovedAside(dir).size(), 2u);  // the file and its -wal, nothing more
}

TEST(HistoryDamaged, ADatabaseOfAnotherProgramIsMovedAsideNotChanged) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE recipes(name); INSERT INTO recipes VALUES('bread');", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const std::string before = ReadFile(path);
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    const std::string aside = store.Status().movedAside;
    store.Stop();
    ASSERT_NE(aside, "");
    EXPECT_EQ(ReadFile(aside), before);
    ExpectANewHistoryWorks(path);
}

TEST(HistoryDamaged, AHistoryWithBrokenPagesIsMovedAside) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    {
        HistoryStore store(Options(path));
        std::string error;
        ASSERT_TRUE(store.Start(error)) << error;
        for (int i = 0; i < 5000; ++i) store.OnSample(Sample("X" + std::to_string(i % 3), kT0 + i * 1000, i));
        ASSERT_TRUE(store.Flush());
        store.Stop();
    }
    // Scribbles over pages in the middle, leaving the header page whole.
    const auto size = fs::file_size(path);
    ASSERT_GT(size, 8u * 4096);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(size / 2 / 4096 * 4096));
        const std::string junk(3 * 4096, '\xA5');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const std::string broken = ReadFile(path);
    HistoryStore store(Options(path));
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    const std::string aside = store.Status().movedAside;
    store.Stop();
    ASSERT_NE(aside, "");
    EXPECT_EQ(ReadFile(aside), broken);
    ExpectANewHistoryWorks(path);
}

TEST(HistoryDamaged, AHistoryOfANewerProgramIsLeftAsItIs) {
    TempDir dir;
    const std::string path = dir.File("history.db");
    ExpectANewHistoryWorks(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    HistoryStore store(Options(path));
    std::string error;
    EXPECT_FALSE(store.Start(error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
    store.Stop();
    EXPECT_TRUE(MovedAside(dir).empty());
    EXPECT_FALSE(history::HistoryReader::Open(path, error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

}  // namespace
