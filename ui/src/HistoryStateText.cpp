#include "ui/HistoryStateText.h"

#include "history/HistoryStore.h"

#include <filesystem>
#include <system_error>

std::string HistoryStateText(const history::HistoryStore* store) {
    if (store == nullptr) return "Off: the program keeps no history";
    return history::DescribeStatus(store->Status());
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
