#pragma once
// The sample history as the operator's window shows it: its state for the
// options page and the status bar, and whether a file named for it can be used.

#include <string>

namespace history {
class HistoryStore;
struct HistoryStatus;
}  // namespace history

// "Writing to /var/lib/vok/vok/history.db (1234 samples so far)", "Not
// writing: <why>; 12 samples wait in memory, 0 dropped", or, without a store,
// "Off: the program keeps no history".
std::string HistoryStateText(const history::HistoryStore* store);
std::string HistoryStateText(const history::HistoryStatus& status);
// Why the file cannot hold the history (not a full path, a folder, its
// folder is a file); empty when it can. A missing folder is made at start.
std::string HistoryFileProblem(const std::string& path);
