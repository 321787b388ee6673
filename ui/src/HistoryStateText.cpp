#include "ui/HistoryStateText.h"

#include "history/HistoryStore.h"

#include <filesystem>
#include <system_error>

std::string HistoryStateText(const history::HistoryStore* store) {
    if (store == nullptr) return "Off: the program keeps no history";
    return history::DescribeStatus(store->Status());
}

std::string HistoryPaneText(const history::HistoryStatus& status) {
    std::string problem = status.problem;
    constexpr std::size_t kLongest = 60;
    if (problem.size() > kLongest) problem = problem.substr(0, kLongest - 3) + "...";
    std::string text;
    // Until the writer has tried, no problem is known: the pane says OK.
    const bool ok = status.running && problem.empty();
    if (!status.running) {
        text = problem.empty() ? "History: stopped" : "History: stopped (" + problem + ")";
    } else if (ok) {
        text = "History: OK";
    } else {
        text = "History: not written (" + problem + ") \u2013 " + std::to_string(status.waiting) + " waiting";
    }
    if (status.dropped > 0) text += (ok ? " \u2013 " : ", ") + std::to_string(status.dropped) + " dropped";
    return text;
}

std::string HistoryFileProblem(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty()) return "Name the file of the history database.";
    const fs::path file(path);
    if (!file.is_absolute()) return "The history database needs a full path (it begins with /): " + path;
    std::error_code error;
    if (fs::is_directory(file, error)) return path + " is a folder; name a file in it, e.g. " + (file / "history.db").string();
    // The nearest folder that exists on the way must be a folder.
    for (fs::path up = file.parent_path(); !up.empty(); up = up.parent_path()) {
        if (!fs::exists(up, error)) {
            if (up == up.parent_path()) break;
            continue;
        }
        if (!fs::is_directory(up, error)) return up.string() + " is a file, not a folder; the history cannot be kept below it.";
        break;
    }
    return {};
}
