#pragma once
// Points the program's event log at a temporary file for one test and reads
// back the entries written since.

#include "foundation/CLogFile.h"
#include "testsupport/TempDir.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class EventLogCapture {
public:
    EventLogCapture() { EventLog().Open(path_); }
    ~EventLogCapture() { EventLog().Close(); }

    // The text of every entry (header lines dropped, CR LF as LF, closing empty line dropped).
    std::vector<std::string> Entries() const { return EntriesOf(path_); }
    // The same of any log file the program wrote (an I/O log, say).
    static std::vector<std::string> EntriesOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        std::string text;
        for (char c : s.str())
            if (c != '\r') text += c;
        std::vector<std::string> entries;
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t headerEnd = text.find('\n', at);
            if (headerEnd == std::string::npos) break;
            std::size_t end = text.find("\n\n", headerEnd + 1);
            if (end == std::string::npos) break;
            entries.push_back(text.substr(headerEnd + 1, end - headerEnd - 1));
            at = end + 2;
        }
        return entries;
    }
    int Count(const std::string& text) const {
        int n = 0;
        for (const auto& e : Entries()) n += e == text;
        return n;
    }
    int CountContaining(const std::string& part) const {
        int n = 0;
        for (const auto& e : Entries()) n += e.find(part) != std::string::npos;
        return n;
    }

    const std::string& Path() const { return path_; }

private:
    TempDir dir_;
    std::string path_ = dir_.File("events.txt");
};
