#include "link/VOKProtocol.h"

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKMsg.h"

#include <cstdio>
#include <cstring>

void VOK_BuildAddress(BYTE address, BYTE* buffer, DWORD& length) {
    if (buffer == nullptr || length == 0) return;
    std::memset(buffer, 0, length);
    buffer[0] = address;
    length = 1;
}

void VOK_BuildCommand(int type, BYTE* buffer, DWORD& length) {
    if (buffer == nullptr) return;
    std::memset(buffer, 0, length);
    switch (type) {
    case 0: case 1: case 10: case 12: case 14: case 17: case 18: case 20: case 22: return;
    default: break;
    }
    if (type < 0 || type > 22 || length < 3) return;
    buffer[0] = static_cast<BYTE>(kVOKTypeLetters[type]);
    length = 1;
    if (type == VOKType::ReadCalPoints || type == VOKType::ReadBinSizes || type == VOKType::ReadSampleInterval ||
        type == VOKType::ResetLine) {
        buffer[1] = '\r';
        buffer[2] = '\n';
        length = 3;
    }
}

void VOK_BuildSampleInterval(int seconds, BYTE* buffer, DWORD& length) {
    if (buffer == nullptr || length < 10) return;
    std::memset(buffer, 0, length);
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%c %02d%02d\r\n", 'L', seconds / 60, seconds % 60);
    if (n <= 0 || static_cast<DWORD>(n) > length) {
        length = 0;
        return;
    }
    std::memcpy(buffer, text, static_cast<std::size_t>(n));
    length = static_cast<DWORD>(n);
}

void VOK_BuildBinSizes(const Dll<double>& sizes, BYTE* buffer, DWORD& length) {
    if (buffer == nullptr) return;
    const DWORD capacity = length;
    std::memset(buffer, 0, capacity);
    length = 0;
    std::string text = "P";
    for (double binSize : sizes) {
        char number[64];
        std::snprintf(number, sizeof number, "%g", binSize);
        std::string size = number;
        while (size.find('.') != std::string::npos && size.size() > 3) size.pop_back();
        if (size.size() > 3) return;  // a size the counter's three characters cannot carry
        text += ' ';
        text += size;
    }
    if (text.size() + 15 > capacity) return;
    std::memcpy(buffer, text.data(), text.size());
    const std::string field =
        VOK_ChecksumField(VOK_Checksum(buffer, 1, static_cast<long>(text.size()) - 1));
    std::memcpy(buffer + text.size(), field.data(), field.size());
    length = static_cast<DWORD>(text.size() + field.size());
}

DWORD VOK_Checksum(const BYTE* bytes, long first, long last) {
    DWORD sum = 0;
    for (long i = first; i <= last; ++i) sum += bytes[i];
    return sum & 0xFFFF;
}

std::string VOK_ChecksumField(DWORD sum) {
    char field[16];
    std::snprintf(field, sizeof field, " C/S 00%04X\r\n", static_cast<unsigned>(sum & 0xFFFF));
    return field;
}

namespace {

// One byte of a log entry: printable characters as they are (up to highest),
// CR and LF by name, anything else in hexadecimal.
void AppendWireByte(CLogFile& log, BYTE b, BYTE highest) {
    if (b == '\r') log.Append("CR");
    else if (b == '\n') log.Append("LF");
    else if (b >= 32 && b <= highest) log.Append(static_cast<char>(b));
    else log.AppendByte(b);
}


}  // namespace

bool VOK_Transact(CSerial* port, int type, BYTE* buffer, DWORD& length, DWORD capacity, const StopFlag* stop) {
    if (type == VOKType::None || port == nullptr || !port->IsValid() || buffer == nullptr) return false;
    SerialPortLock hold(*port);
    port->Purge(true, true);

    VOKMsg message;
    if (!message.SetType(type)) return false;

    const DWORD commandLength = length < capacity ? length : capacity;
    CLogFile& log = EventLog();
    log.Append("Sending Message");
    for (DWORD i = 0; i < commandLength; ++i) AppendWireByte(log, buffer[i], 124);
    log.Commit(CLogFile::kWrite);

    for (DWORD i = 0; i < commandLength; ++i) {
        if (StopRequested(stop)) break;
        const BYTE byte = buffer[i];
        message.SetData(&byte, 1);
        message.SetLastSent(byte);
        if (StopRequested(stop)) return false;
        if (!port->Send(message)) return false;
        if (StopRequested(stop) || !port->Receive(message)) {
            log.Append("Timeout reading port:").Append(port->GetName()).Commit(CLogFile::kWrite);
            break;
        }
        if (!message.CheckEcho()) return false;
    }

    DWORD payloadLength = 0;
    if (!message.GetPayload(buffer, payloadLength, capacity)) return false;
    length = payloadLength;
    log.Append("Msg Success:\"");
    for (DWORD i = 0; i < payloadLength; ++i) AppendWireByte(log, buffer[i], 125);
    log.Append("\"").Commit(CLogFile::kWrite);
    return true;
}
