// What the options page and the status bar say about the history, and which
// database files the page refuses before the program would fail on them.
#include "ui/HistoryStateText.h"

#include "history/HistoryStore.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

TEST(HistoryStateText, RefusesFilesTheHistoryCannotLiveIn) {
    TempDir dir;
    EXPECT_FALSE(HistoryFileProblem("").empty());
    EXPECT_NE(HistoryFileProblem("history.db").find("full path"), std::string::npos);
    EXPECT_NE(HistoryFileProblem(dir.Path().string()).find("is a folder"), std::string::npos);
    std::ofstream(dir.File("plain")) << "x";
    EXPECT_NE(HistoryFileProblem(dir.File("plain") + "/sub/history.db").find("is a file"), std::string::npos);
    // A folder that does not exist yet is made at start; an existing file is the history itself.
    EXPECT_EQ(HistoryFileProblem(dir.File("new/deeper/history.db")), "");
    EXPECT_EQ(HistoryFileProblem(dir.File("plain")), "");
}

TEST(HistoryStateText, SaysWhyNothingIsWrittenAndWhatWaits) {
    EXPECT_EQ(HistoryStateText(static_cast<const history::HistoryStore*>(nullptr)), "Off: the program keeps no history");
    history::HistoryStatus status;
    status.running = true;
    status.path = "/data/history.db";
    EXPECT_EQ(history::DescribeStatus(status), "Writing to /data/history.db");
    status.written = 12;
    EXPECT_EQ(history::DescribeStatus(status), "Writing to /data/history.db (12 records since the start)");
    status.problem = "database or disk is full";
    status.waiting = 340;
    status.dropped = 7;
    EXPECT_EQ(history::DescribeStatus(status),
              "Not writing: database or disk is full; 340 records wait in memory, 7 dropped");
    status.running = false;
    EXPECT_EQ(history::DescribeStatus(status), "Stopped: database or disk is full");
}

TEST(HistoryStateText, ThePaneSaysOkOrWhyNothingIsWritten) {
    history::HistoryStatus status;
    status.running = true;
    status.writable = true;
    EXPECT_EQ(HistoryPaneText(status), "History: OK");
    status.writable = false;
    status.problem = "disk full";
    status.waiting = 1234;
    EXPECT_EQ(HistoryPaneText(status), "History: not written (disk full) \u2013 1234 waiting");
    status.dropped = 17;
    EXPECT_EQ(HistoryPaneText(status), "History: not written (disk full) \u2013 1234 waiting, 17 dropped");
    status.problem = std::string(200, 'x');
    EXPECT_LT(HistoryPaneText(status).size(), 120u) << "a long reason does not push the other panes away";
    status.running = false;
    status.problem.clear();
    EXPECT_EQ(HistoryPaneText(status).rfind("History: stopped", 0), 0u);
}
