#pragma once
// What the port monitor shows, as text, without a widget: the display lines of
// the port's trace messages, the counters' labels and texts, the limits of the
// viewer's buffer, and which trace messages are new since the I/O log last got
// lines. The window only puts these texts on screen and into the log.

#include "link/CSerial.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace commtrace {

// Messages the port keeps for the viewer ("Buffer Size:").
inline constexpr int kMinBufferSize = 0;
inline constexpr int kMaxBufferSize = 1000;
// A size typed or stored outside the range, brought into it.
int ClampBufferSize(long long size);

// Characters on the first line of a message's text (after its prefix line)
// and on every further line.
inline constexpr std::size_t kFirstLineLength = 81;
inline constexpr std::size_t kLineLength = 80;

// The display lines of one trace message: "Send:" or "Receive:" on a line of
// its own when the message begins with "Send: " or "Receive: ", the rest cut
// into lines of 81 characters, then 80, the last holding what remains, and a
// line holding one blank after the message.
std::vector<std::string> DisplayLines(const std::string& message);
// Every message's display lines in order, oldest message first.
std::vector<std::string> DisplayLines(const std::vector<std::string>& messages);

// One counter of the statistics as the window shows it.
struct CounterField {
    const char* label;       // the text before the value, "Messages Sent"
    const char* objectName;  // the value field's object name, "messagesSent"
    SerialStatistics::Counter counter;
};
inline constexpr std::size_t kCounterFieldCount = 13;
// In the order the window lays them out.
extern const std::array<CounterField, kCounterFieldCount> kCounterFields;

// A counter's value as shown: unsigned decimal.
std::string CounterText(DWORD value);
// The text of every field in kCounterFields order.
std::array<std::string, kCounterFieldCount> CounterTexts(const SerialStatistics& statistics);

// Which of a snapshot's messages the I/O log has not had yet. The port counts
// every line it ever added; the log has had every line up to `logged`. After
// a snapshot the log has had everything in it.
class NewMessages {
public:
    // From now on, the messages in this snapshot count as not yet logged
    // (the log was just opened: what is on screen goes into it first).
    void StartFrom(const SerialTraceSnapshot& snapshot);
    // The messages of the snapshot added after the last call, oldest first;
    // nothing before StartFrom. Lines that the ring dropped before they were
    // seen cannot be given.
    std::vector<std::string> Take(const SerialTraceSnapshot& snapshot);

private:
    bool started_ = false;
    std::uint64_t logged_ = 0;
};

}  // namespace commtrace
