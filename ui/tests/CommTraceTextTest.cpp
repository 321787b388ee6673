// The port monitor's texts without a window: how trace messages become the
// viewer's lines, the counters' fields, the buffer's limits and which messages
// the I/O log still has to get.
#include "ui/CommTraceText.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

using commtrace::DisplayLines;
using Lines = std::vector<std::string>;

namespace {

// A text of n characters in which every position can be told apart.
std::string Numbered(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('0' + i % 10);
    return text;
}

SerialTraceSnapshot Snapshot(Lines lines, std::uint64_t added) {
    SerialTraceSnapshot s;
    s.lines = std::move(lines);
    s.added = added;
    s.enabled = true;
    return s;
}

}  // namespace

TEST(CommTraceLines, ALongMessageIsCutAfterItsPrefixInto81Then80AndTheRest) {
    const std::string body = Numbered(200);
    const Lines lines = DisplayLines("Send: " + body);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Send:");
    EXPECT_EQ(lines[1], body.substr(0, 81));
    EXPECT_EQ(lines[2], body.substr(81, 80));
    EXPECT_EQ(lines[3], body.substr(161));
    EXPECT_EQ(lines[3].size(), 39u);
    EXPECT_EQ(lines[4], " ") << "a line holding one blank follows each message";

    // On the boundaries: 81 characters fill the first line, one more starts a second.
    EXPECT_EQ(DisplayLines("Receive: " + Numbered(81)), (Lines{"Receive:", Numbered(81), " "}));
    EXPECT_EQ(DisplayLines("Receive: " + Numbered(82)), (Lines{"Receive:", Numbered(81), "1", " "}));
    const std::string exact = Numbered(161);
    EXPECT_EQ(DisplayLines("Receive: " + exact), (Lines{"Receive:", exact.substr(0, 81), exact.substr(81), " "}));
}

TEST(CommTraceLines, TextAndHexTransfersAsThePortTracesThem) {
    // The port writes a byte in text mode as itself or its control name, in
    // hex mode as two digits, each followed by one blank.
    EXPECT_EQ(DisplayLines("Send: A "), (Lines{"Send:", "A ", " "}));
    EXPECT_EQ(DisplayLines("Receive: M H CR LF "), (Lines{"Receive:", "M H CR LF ", " "}));
    EXPECT_EQ(DisplayLines("Send: 41 "), (Lines{"Send:", "41 ", " "}));
    // A data reply in hex: 40 bytes of "%02X " are 120 characters.
    std::string hex;
    for (int i = 0; i < 40; ++i) hex += "3" + std::to_string(i % 10) + " ";
    const Lines cut = DisplayLines("Receive: " + hex);
    ASSERT_EQ(cut.size(), 4u);
    EXPECT_EQ(cut[1], hex.substr(0, 81));
    EXPECT_EQ(cut[2], hex.substr(81));
    EXPECT_EQ(cut[1] + cut[2], hex) << "no character lost at the cut";
}

TEST(CommTraceLines, OnlyTheExactPrefixesGetALineOfTheirOwn) {
    EXPECT_EQ(DisplayLines("Receive - TimeOut"), (Lines{"Receive - TimeOut", " "}));
    EXPECT_EQ(DisplayLines("Send - Error"), (Lines{"Send - Error", " "}));
    EXPECT_EQ(DisplayLines("Receive - Buffer Overflow"), (Lines{"Receive - Buffer Overflow", " "}));
    EXPECT_EQ(DisplayLines("Send:A"), (Lines{"Send:A", " "})) << "the prefix has its blank";
    EXPECT_EQ(DisplayLines("Send: "), (Lines{"Send:", " "})) << "nothing after the prefix gives no empty line";
    EXPECT_EQ(DisplayLines(std::string()), (Lines{" "}));
    // A long error-less line without a prefix is cut the same way.
    EXPECT_EQ(DisplayLines(Numbered(100)), (Lines{Numbered(81), Numbered(100).substr(81), " "}));
}

TEST(CommTraceLines, MessagesFollowOneAnotherOldestFirst) {
    EXPECT_EQ(DisplayLines(Lines{"Send: A ", "Receive: A 1 2 CR LF ", "Receive - TimeOut"}),
              (Lines{"Send:", "A ", " ", "Receive:", "A 1 2 CR LF ", " ", "Receive - TimeOut", " "}));
    EXPECT_TRUE(DisplayLines(Lines{}).empty());
}

TEST(CommTraceCounters, EachFieldShowsItsOwnCounterAsAnUnsignedNumber) {
    SerialStatistics statistics;
    for (int i = 0; i < SerialStatistics::Count; ++i) statistics.counters[i] = 1000 + static_cast<DWORD>(i);
    statistics.counters[SerialStatistics::TransmitBufferFull] = 4294967295u;
    const auto texts = commtrace::CounterTexts(statistics);
    std::map<std::string, std::string> byLabel;
    for (std::size_t i = 0; i < texts.size(); ++i) byLabel[commtrace::kCounterFields[i].label] = texts[i];
    const std::map<std::string, std::string> expected = {
        {"Messages Sent", "1000"},  {"Messages Rcvd", "1001"},   {"Read TimeOuts", "1002"},
        {"Read Msg Full", "1003"},  {"Write Failure", "1004"},   {"Write Error", "1005"},
        {"Read Errors", "1006"},    {"Frame Errors", "1009"},    {"IO Errors", "1010"},
        {"Mode Errors", "1011"},    {"Char Buf Overrun", "1013"}, {"Rec Buf Overrun", "1015"},
        {"Xmit Buf Full", "4294967295"},
    };
    EXPECT_EQ(byLabel, expected);

    std::set<std::string> names;
    for (const auto& field : commtrace::kCounterFields) names.insert(field.objectName);
    EXPECT_EQ(names.size(), commtrace::kCounterFieldCount) << "every field can be found by its own name";
    EXPECT_EQ(commtrace::CounterText(0), "0");
}

TEST(CommTraceBuffer, SizesOutsideTheRangeAreBroughtIntoIt) {
    EXPECT_EQ(commtrace::ClampBufferSize(-1), 0);
    EXPECT_EQ(commtrace::ClampBufferSize(0), 0);
    EXPECT_EQ(commtrace::ClampBufferSize(50), 50);
    EXPECT_EQ(commtrace::ClampBufferSize(1000), 1000);
    EXPECT_EQ(commtrace::ClampBufferSize(1001), 1000);
    EXPECT_EQ(commtrace::ClampBufferSize(5000000000LL), 1000);
}

TEST(CommTraceNewMessages, EachMessageIsTakenOnceFromWhenTheLogStarted) {
    commtrace::NewMessages log;
    EXPECT_TRUE(log.Take(Snapshot({"a", "b"}, 2)).empty()) << "nothing before the log starts";

    // Started on a screen with c, d, e (8 lines added so far): those go first.
    log.StartFrom(Snapshot({"c", "d", "e"}, 8));
    EXPECT_EQ(log.Take(Snapshot({"c", "d", "e"}, 8)), (Lines{"c", "d", "e"}));
    EXPECT_TRUE(log.Take(Snapshot({"c", "d", "e"}, 8)).empty()) << "the next tick writes nothing again";

    // The ring of 3 moved on by two.
    EXPECT_EQ(log.Take(Snapshot({"e", "f", "g"}, 10)), (Lines{"f", "g"}));
    // Cleared, then one line: the count went on, the line is new.
    EXPECT_EQ(log.Take(Snapshot({"h"}, 11)), (Lines{"h"}));
    // More arrived than the ring holds: what it still has.
    EXPECT_EQ(log.Take(Snapshot({"p", "q", "r"}, 30)), (Lines{"p", "q", "r"}));
    EXPECT_TRUE(log.Take(Snapshot({}, 30)).empty());

    // Started again on an empty screen: only what comes after.
    log.StartFrom(Snapshot({}, 30));
    EXPECT_EQ(log.Take(Snapshot({"s"}, 31)), (Lines{"s"}));
}
