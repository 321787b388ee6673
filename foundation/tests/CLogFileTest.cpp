#include "foundation/CLogFile.h"

#include "platform/File.h"
#include "platform/Thread.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Entry {
    std::string header;
    std::string text;  // without the closing empty line, CR LF turned back into LF
};

// Splits a log file into its entries and checks the layout of every one of them:
// CR LF line ends only, a well-formed header, an empty line closing each entry.
std::vector<Entry> Parse(const std::string& raw) {
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            EXPECT_TRUE(i + 1 < raw.size() && raw[i + 1] == '\n') << "a CR that does not start a line end at " << i;
            continue;
        }
        if (raw[i] == '\n') {
            EXPECT_TRUE(i > 0 && raw[i - 1] == '\r') << "a bare LF at " << i;
        }
        text += raw[i];
    }
    static const std::regex header(R"(^[0-9A-F]{8} - Time: .* ms: \d{1,3}$)");
    std::vector<Entry> entries;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t headerEnd = text.find('\n', at);
        EXPECT_NE(headerEnd, std::string::npos);
        if (headerEnd == std::string::npos) break;
        Entry e;
        e.header = text.substr(at, headerEnd - at);
        EXPECT_TRUE(std::regex_match(e.header, header)) << "bad header: " << e.header;
        std::size_t end = text.find("\n\n", headerEnd + 1);
        EXPECT_NE(end, std::string::npos) << "entry not closed by an empty line";
        if (end == std::string::npos) break;
        e.text = text.substr(headerEnd + 1, end + 1 - (headerEnd + 1));
        entries.push_back(e);
        at = end + 2;
    }
    return entries;
}

const std::string kStart = "Log started or reset - Max Size(bytes): 1048576 \n";

TEST(CLogFile, OpenWritesTheStartEntryWithHeaderInTextMode) {
    TempDir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.File("events.txt")));
    log.Append("Device:").Append("Line 1").Append("Failed to read data").Commit(CLogFile::kWrite);
    log.Close();

    const std::string raw = Slurp(dir.File("events.txt"));
    auto entries = Parse(raw);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, kStart);
    EXPECT_EQ(entries[1].text, "Device: Line 1 Failed to read data \n");

    char id[16];
    std::snprintf(id, sizeof id, "%08X", GetCurrentThreadId());
    EXPECT_EQ(entries[1].header.substr(0, 8), id);
}

TEST(CLogFile, EveryAppendFormHasItsFormatAndOneSpace) {
    TempDir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.File("forms.txt")));
    log.Append("s")
        .Append(std::string("str"))
        .Append(-5)
        .Append(7u)
        .Append(-9L)
        .Append(11UL)
        .Append(0.25)
        .Append(1e20)
        .Append('Z')
        .AppendByte(0x1A5)
        .AppendHex(0xAB)
        .AppendHex(0x12345)
        .Commit(CLogFile::kWrite);
    log.Close();
    auto entries = Parse(Slurp(dir.File("forms.txt")));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, "s str -5 7 -9 11 0.25 1e+20 Z A5   AB 12345 \n");
}

TEST(CLogFile, EmptyCommitsWriteNothingAndLineEndsCloseEachEntryWithOneEmptyLine) {
    TempDir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.File("ends.txt")));
    const DWORD afterStart = log.GetBytesWritten();
    const DWORD writesAfterStart = log.GetWriteCount();
    log.Commit(CLogFile::kWrite);
    EXPECT_EQ(log.GetBytesWritten(), afterStart) << "no header for an empty entry";
    EXPECT_EQ(log.GetWriteCount(), writesAfterStart);

    log.Append("ends with newline\n").Commit(CLogFile::kWrite);
    log.Append("discarded").Commit(CLogFile::kDiscard);
    log.Append("plain").Commit(CLogFile::kWrite);
    EXPECT_EQ(log.GetWriteCount(), writesAfterStart + 4) << "two writes per entry";
    log.Close();

    const std::string raw = Slurp(dir.File("ends.txt"));
    // Every item is followed by its space, so even a text ending in a line end gets two more.
    EXPECT_NE(raw.find("ends with newline\r\n \r\n\r\n"), std::string::npos);
    EXPECT_NE(raw.find("plain \r\n\r\n"), std::string::npos);
    EXPECT_EQ(raw.find("discarded"), std::string::npos);
    // The counter sees characters before the CR LF translation: the file is longer by one byte per line end.
    std::size_t lineEnds = 0;
    for (char c : raw) lineEnds += c == '\n';
    EXPECT_EQ(raw.size(), log.GetBytesWritten() + lineEnds);
}

TEST(CLogFile, OpeningTheOpenNameInAnyCaseWritesNoNewStartEntry) {
    TempDir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.File("Event.txt")));
    const DWORD bytes = log.GetBytesWritten();
    EXPECT_TRUE(log.Open(dir.File("EVENT.TXT")));
    EXPECT_TRUE(log.Open(dir.File("Event.txt")));
    EXPECT_EQ(log.GetBytesWritten(), bytes);
    EXPECT_EQ(log.GetFileName(), dir.File("Event.txt"));

    // A different name closes the first file and starts the second.
    ASSERT_TRUE(log.Open(dir.File("other.txt")));
    log.Append("to other").Commit(CLogFile::kWrite);
    log.Close();
    EXPECT_EQ(Parse(Slurp(dir.File("Event.txt"))).size(), 1u);
    EXPECT_EQ(Parse(Slurp(dir.File("other.txt"))).size(), 2u);
}

TEST(CLogFile, AClosedLogIgnoresAppendsAndAnUnopenableFileLeavesItClosed) {
    TempDir dir;
    CLogFile log;
    EXPECT_FALSE(log.Open(dir.File("missing-folder/events.txt")));
    EXPECT_FALSE(log.IsOpen());
    log.Append("lost").Append(1).Commit(CLogFile::kWrite);
    EXPECT_EQ(log.GetBytesWritten(), 0u);

    ASSERT_TRUE(log.Open(dir.File("events.txt")));
    log.Close();
    const std::string before = Slurp(dir.File("events.txt"));
    log.Append("after close").Commit(CLogFile::kWrite);
    EXPECT_TRUE(log.Close());
    EXPECT_TRUE(log.Reset()) << "reset of a closed log does nothing";
    EXPECT_EQ(Slurp(dir.File("events.txt")), before);
    EXPECT_FALSE(log.IsOpen());

    // Closed appends never took the lock, so another thread can use the log at once.
    ASSERT_TRUE(log.Open(dir.File("events.txt")));
    std::thread other([&] { log.Append("from other thread").Commit(CLogFile::kWrite); });
    other.join();
    log.Close();
    EXPECT_NE(Slurp(dir.File("events.txt")).find("from other thread"), std::string::npos);
}

TEST(CLogFile, ResetStartsTheFileAgainWithANewStartEntry) {
    TempDir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.File("r.txt")));
    log.Append("old").Commit(CLogFile::kWrite);
    log.SetSizeLimit(4096);
    log.Reset();
    log.Append("new").Commit(CLogFile::kWrite);
    log.Close();
    auto entries = Parse(Slurp(dir.File("r.txt")));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "Log started or reset - Max Size(bytes): 4096 \n");
    EXPECT_EQ(entries[1].text, "new \n");
}

TEST(CLogFile, TheEntryCrossingTheLimitIsWrittenWholeBeforeTheFileRestarts) {
    TempDir dir;
    const std::string path = dir.File("limit.txt");
    CLogFile log;
    ASSERT_TRUE(log.Open(path));
    const std::string filler(1000, 'x');
    int n = 0;
    // Fill until the counted size is within one more entry of the limit.
    while (log.GetBytesWritten() + 2200 < CLogFile::kDefaultSizeLimit) {
        log.Append("entry").Append(n++).Append(filler).Commit(CLogFile::kWrite);
    }
    ASSERT_EQ(Parse(Slurp(path)).size(), static_cast<std::size_t>(n) + 1) << "nothing was lost below the limit";
    const std::string big(3000, 'y');
    // This one passes the limit. Before it runs the file holds everything so far.
    const DWORD before = log.GetBytesWritten();
    ASSERT_LE(before, CLogFile::kDefaultSizeLimit);
    ASSERT_GT(before + 3050, CLogFile::kDefaultSizeLimit);

    // The reset runs inside the same commit: afterwards only a fresh start entry is left.
    log.Append("crossing").Append(big).Commit(CLogFile::kWrite);
    auto afterReset = Parse(Slurp(path));
    ASSERT_EQ(afterReset.size(), 1u);
    EXPECT_EQ(afterReset[0].text, kStart);
    EXPECT_LT(log.GetBytesWritten(), 200u);

    log.Append("next").Commit(CLogFile::kWrite);
    log.Close();
    auto entries = Parse(Slurp(path));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, "next \n");
}

// Through a pipe every byte the log hands to its file can be seen, including
// what the reset would otherwise truncate away.
TEST(CLogFile, TheCrossingEntryReachesTheFileInFullBeforeTheRestart) {
    TempDir dir;
    const std::string path = dir.File("pipe");
    ASSERT_EQ(std::system(("mkfifo '" + path + "'").c_str()), 0);
    CLogFile log;
    log.SetSizeLimit(300);
    ASSERT_TRUE(log.Open(path));
    std::ifstream reader(path, std::ios::binary);  // the log already holds a writer, so this does not block
    ASSERT_TRUE(reader.is_open());
    log.Append("first").Commit(CLogFile::kWrite);
    const std::string crossing(400, 'c');
    log.Append(crossing).Commit(CLogFile::kWrite);
    EXPECT_EQ(log.GetWriteCount(), 2u) << "after the reset only the new start entry is counted";
    log.Append("next").Commit(CLogFile::kWrite);
    log.Close();

    std::stringstream all;
    all << reader.rdbuf();
    auto entries = Parse(all.str());
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].text, "Log started or reset - Max Size(bytes): 300 \n");
    EXPECT_EQ(entries[1].text, "first \n");
    EXPECT_EQ(entries[2].text, crossing + " \n");
    EXPECT_EQ(entries[3].text, "Log started or reset - Max Size(bytes): 300 \n");
    EXPECT_EQ(entries[4].text, "next \n");
}

TEST(CLogFile, ChainedEntriesFromManyThreadsStayWhole) {
    TempDir dir;
    const std::string path = dir.File("threads.txt");
    CLogFile log;
    ASSERT_TRUE(log.Open(path));
    constexpr int kThreads = 8, kEntries = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                log.Append("Device:").Append("T").Append(t).Append("entry").Append(i);
                std::this_thread::yield();  // give other threads the chance to break in, if they could
                log.Append("part-two").Append(static_cast<double>(i) / 2).Append("end").Commit(CLogFile::kWrite);
            }
        });
    }
    for (auto& th : threads) th.join();
    log.Close();

    auto entries = Parse(Slurp(path));
    ASSERT_EQ(entries.size(), 1u + kThreads * kEntries);
    static const std::regex body(R"(^Device: T (\d+) entry (\d+) part-two (\S+) end \n$)");
    std::vector<std::vector<int>> seen(kThreads);
    for (std::size_t k = 1; k < entries.size(); ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(entries[k].text, m, body)) << "broken entry: " << entries[k].text;
        const int t = std::stoi(m[1]), i = std::stoi(m[2]);
        char half[32];
        std::snprintf(half, sizeof half, "%g", static_cast<double>(i) / 2);
        EXPECT_EQ(m[3].str(), half);
        seen[static_cast<std::size_t>(t)].push_back(i);
    }
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[static_cast<std::size_t>(t)].size(), static_cast<std::size_t>(kEntries));
        for (int i = 0; i < kEntries; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)], i);
    }
}

TEST(CLogFile, AWriteErrorIsRaisedAndNeverLeavesTheLockHeld) {
    if (GetFileAttributesA("/dev/full") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no /dev/full here";
    CLogFile log;
    // The start entry itself cannot be written to a full device.
    EXPECT_THROW(log.Open("/dev/full"), LogFileException);
    ASSERT_TRUE(log.IsOpen());

    std::atomic<bool> threw{false};
    std::thread other([&] {
        try {
            log.Append("Device:").Append("x").Commit(CLogFile::kWrite);
        } catch (const LogFileException& e) {
            threw = e.Code() == ERROR_HANDLE_DISK_FULL;
        }
    });
    other.join();  // would hang if the failed start entry had kept the lock
    EXPECT_TRUE(threw.load());

    // And after this thread's own failure another thread can still take it.
    EXPECT_THROW(log.Append("again").Commit(CLogFile::kWrite), LogFileException);
    std::atomic<bool> closed{false};
    std::thread closer([&] { closed = log.Close(); });
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(log.IsOpen());
}

TEST(CLogFile, AReportingLogDropsEntriesItCannotWriteAndTellsTheFailureOnceUntilItWritesAgain) {
    if (GetFileAttributesA("/dev/full") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no /dev/full here";
    CLogFile log;
    log.SetWriteErrors(CLogFile::WriteErrors::Report);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(log.Open("/dev/full"));
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log] {
            for (int i = 0; i < 50; ++i) log.Append("Device:").Append(i).Commit(CLogFile::kWrite);
        });
    for (auto& w : writers) w.join();
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.GetLostEntryCount(), 201u) << "the start entry and every entry after it";
    EXPECT_NE(log.GetWriteFailure().find("/dev/full"), std::string::npos) << log.GetWriteFailure();
    std::size_t reports = 0;
    for (std::size_t at = told.find("/dev/full"); at != std::string::npos; at = told.find("/dev/full", at + 1)) ++reports;
    EXPECT_EQ(reports, 1u) << told;

    // Once a write succeeds the status clears and the loss is told once.
    TempDir dir;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(log.Open(dir.File("events.txt")));
    log.Append("after").Commit(CLogFile::kWrite);
    const std::string recovered = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.GetWriteFailure(), "");
    EXPECT_EQ(log.GetLostEntryCount(), 0u);
    EXPECT_NE(recovered.find("201 entries were lost"), std::string::npos) << recovered;
    const auto entries = Parse(Slurp(dir.File("events.txt")));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, "after \n");
}

TEST(CLogFile, TheProgramsEventLogReportsWriteFailuresInsteadOfRaising) {
    if (GetFileAttributesA("/dev/full") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no /dev/full here";
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(EventLog().Open("/dev/full"));
    EXPECT_NO_THROW(EventLog().Append("Device:").Append("x").Commit(CLogFile::kWrite));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(EventLog().GetWriteFailure(), "");
    EventLog().Close();
}

}  // namespace
