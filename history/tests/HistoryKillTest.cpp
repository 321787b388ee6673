// A writer killed with SIGKILL in the middle of its work leaves a database
// that opens, passes the integrity check and holds every sample committed
// before the kill; the next start goes on writing in it.
#include "HistoryTestSupport.h"

#include <cstdlib>
#include <filesystem>

using namespace historytest;

namespace {

namespace fs = std::filesystem;

std::string ChildProgram() {
    const char* dir = std::getenv("VOK_TEST_BIN_DIR");
    fs::path bin = dir ? fs::path(dir) : fs::read_symlink("/proc/self/exe").parent_path();
    return (bin / "history_writer_child").string();
}

long ReadNumber(const std::string& path) {
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return in ? value : -1;
}

// Whether the process is gone (or a zombie, which holds no file or lock).
bool Ended(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

TEST(HistoryKill, AWriterKilledMidBurstLosesNothingItHadCommitted) {
    const std::string child = ChildProgram();
    if (!fs::exists(child)) GTEST_SKIP() << "no " << child;
    TempDir dir;
    const std::string path = dir.File("history.db");
    const std::string progress = dir.File("progress");
    const std::string pidFile = dir.File("pid");
    ASSERT_EQ(std::system(("'" + child + "' '" + path + "' '" + progress + "' >/dev/null 2>&1 & echo $! > '" + pidFile + "'").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return ReadNumber(pidFile) > 0; }, 2000));
    const long pid = ReadNumber(pidFile);
    // Let it commit a few thousand, then kill it while it writes on.
    ASSERT_TRUE(WaitFor([&] { return ReadNumber(progress) >= 3000; }, 8000)) << "the child wrote " << ReadNumber(progress);
    const long committed = ReadNumber(progress);
    ASSERT_EQ(std::system(("kill -9 " + std::to_string(pid)).c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return Ended(pid); }, 3000));
    EXPECT_TRUE(fs::exists(path + "-wal"));  // it died with its log open

    auto reader = Reader(path);
    ASSERT_TRUE(reader);
    auto check = reader->Check();
    EXPECT_TRUE(check.intact) << (check.problems.empty() ? "" : check.problems.front());
    EXPECT_GE(check.samples, static_cast<std::uint64_t>(committed));
    // Every committed sample, in order, with its counts.
    long next = 0;
    std::string error;
    ASSERT_TRUE(reader->ForEachSampleOfAll(0, std::numeric_limits<std::int64_t>::max(),
                                           [&](const SampleRecord& s) {
                                               EXPECT_EQ(s.timeMs, 1'700'000'000'000 + next * 1000);
                                               EXPECT_EQ(s.cumulativeRaw.at(0), next);
                                               EXPECT_EQ(s.device, "Kill " + std::to_string(next % 3));
                                               ++next;
                                               return next < committed;
                                           },
                                           error))
        << error;
    EXPECT_EQ(next, committed);
    reader.reset();

    // The next start takes the file as it is and writes on.
    history::HistoryStore store(Options(path));
    ASSERT_TRUE(store.Start(error)) << error;
    EXPECT_EQ(store.Status().movedAside, "");
    store.OnSample(Sample("After", kT0));
    ASSERT_TRUE(store.Flush());
    store.Stop();
    reader = Reader(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Samples("After", kT0, kT0).size(), 1u);
    EXPECT_GE(reader->Check().samples, static_cast<std::uint64_t>(committed) + 1);
}

}  // namespace
