#pragma once
// The sample history as the operator's window shows it: its state for the
// options page and the status bar, and whether a file named for it can be used.

#include <string>

namespace history {
class HistoryStore;
struct HistoryStatus;
}  // namespace history

// The store's own description (history::DescribeStatus), or, without a
// store, "Off: the program keeps no history".
std::string HistoryStateText(const history::HistoryStore* store);
// The status-bar pane: "History: OK", "History: not written (disk full) –
// 1234 waiting", with the dropped records when there were any.
std::string HistoryPaneText(const history::HistoryStatus& status);
// Why the file cannot hold the history (not a full path, a folder, its
// folder is a file); empty when it can. A missing folder is made at start.
std::string HistoryFileProblem(const std::string& path);
