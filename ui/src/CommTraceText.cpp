#include "ui/CommTraceText.h"

#include <algorithm>
#include <cstdio>

namespace commtrace {

namespace {

struct Prefix {
    const char* text;  // as the port writes it, with its blank
    const char* line;  // the line the viewer shows for it
};
constexpr Prefix kPrefixes[] = {{"Send: ", "Send:"}, {"Receive: ", "Receive:"}};

}  // namespace

int ClampBufferSize(long long size) {
    return static_cast<int>(std::clamp<long long>(size, kMinBufferSize, kMaxBufferSize));
}

std::vector<std::string> DisplayLines(const std::string& message) {
    std::vector<std::string> lines;
    std::string rest = message;
    for (const Prefix& prefix : kPrefixes) {
        const std::string text = prefix.text;
        if (rest.compare(0, text.size(), text) == 0) {
            lines.emplace_back(prefix.line);
            rest.erase(0, text.size());
            break;
        }
    }
    std::size_t at = 0;
    std::size_t length = kFirstLineLength;
    while (at < rest.size()) {
        lines.push_back(rest.substr(at, length));
        at += length;
        length = kLineLength;
    }
    lines.emplace_back(" ");
    return lines;
}

std::vector<std::string> DisplayLines(const std::vector<std::string>& messages) {
    std::vector<std::string> lines;
    for (const std::string& message : messages) {
        std::vector<std::string> own = DisplayLines(message);
        lines.insert(lines.end(), own.begin(), own.end());
    }
    return lines;
}

const std::array<CounterField, kCounterFieldCount> kCounterFields = {{
    {"Messages Sent", "messagesSent", SerialStatistics::MessagesSent},
    {"Messages Rcvd", "messagesRcvd", SerialStatistics::MessagesReceived},
    {"Read TimeOuts", "readTimeOuts", SerialStatistics::ReadTimeouts},
    {"Read Errors", "readErrors", SerialStatistics::ReadErrors},
    {"Read Msg Full", "readMsgFull", SerialStatistics::ReceiveOverflows},
    {"Write Failure", "writeFailure", SerialStatistics::WriteFailures},
    {"Write Error", "writeError", SerialStatistics::ShortWrites},
    {"Frame Errors", "frameErrors", SerialStatistics::FrameErrors},
    {"IO Errors", "ioErrors", SerialStatistics::IoErrors},
    {"Mode Errors", "modeErrors", SerialStatistics::ModeErrors},
    {"Char Buf Overrun", "charBufOverrun", SerialStatistics::CharBufferOverruns},
    {"Rec Buf Overrun", "recBufOverrun", SerialStatistics::ReceiveBufferOverruns},
    {"Xmit Buf Full", "xmitBufFull", SerialStatistics::TransmitBufferFull},
}};

std::string CounterText(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
    return text;
}

std::array<std::string, kCounterFieldCount> CounterTexts(const SerialStatistics& statistics) {
    std::array<std::string, kCounterFieldCount> texts;
    for (std::size_t i = 0; i < kCounterFieldCount; ++i)
        texts[i] = CounterText(statistics.counters[kCounterFields[i].counter]);
    return texts;
}

void NewMessages::StartFrom(const SerialTraceSnapshot& snapshot) {
    started_ = true;
    logged_ = snapshot.added - std::min<std::uint64_t>(snapshot.added, snapshot.lines.size());
}

std::vector<std::string> NewMessages::Take(const SerialTraceSnapshot& snapshot) {
    if (!started_) return {};
    // The count only grows; a smaller one is another port's (the window
    // switched ports), whose lines are all new to the log.
    const std::uint64_t fresh = snapshot.added >= logged_ ? snapshot.added - logged_ : snapshot.lines.size();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(fresh, snapshot.lines.size()));
    logged_ = snapshot.added;
    return std::vector<std::string>(snapshot.lines.end() - static_cast<std::ptrdiff_t>(n), snapshot.lines.end());
}

}  // namespace commtrace
