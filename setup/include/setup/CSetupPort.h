#pragma once
// The setup tool's own serial port: one exclusive open of "COM<n>" with the
// counters' line settings, plain reads and writes and the two read time-outs
// the sensor procedures adjust. Not shared between threads: every procedure
// makes its own.

#include "platform/Serial.h"

#include <cstddef>
#include <optional>
#include <string>

// A message the windows show for a port that would not open: a warning on
// top of all windows with this caption and text.
struct PortMessage {
    int id = 0;  // 1005 or 1006
    std::string caption;
    std::string text;
    bool operator==(const PortMessage&) const = default;
};

// The message that goes with a failed open of port number port and the system
// error code; nullopt for errors the technician is not told about (a port
// that does not exist, for one).
std::optional<PortMessage> PortOpenMessage(int port, DWORD error);

class CSetupPort {
public:
    CSetupPort() = default;
    ~CSetupPort() { Close(); }
    CSetupPort(const CSetupPort&) = delete;
    CSetupPort& operator=(const CSetupPort&) = delete;

    // Opens COM<portNumber> and sets it up; on failure the port is closed again
    // and LastError() holds the system error code.
    bool Open(int portNumber);
    // Purges both queues and closes; nothing happens when not open.
    void Close();
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    // True when one write call wrote all n bytes.
    bool Write(const void* bytes, std::size_t n);
    // Zeroes the buffer and reads up to n bytes in one call; true when the call
    // succeeded, whatever the count (which goes to *got when given).
    bool Read(void* buffer, std::size_t n, std::size_t* got = nullptr);
    bool SetReadInterval(DWORD ms);
    bool SetReadConstant(DWORD ms);

    int PortNumber() const { return portNumber_; }
    DWORD LastError() const { return lastError_; }
    // The message for the last failed Open, when one applies.
    std::optional<PortMessage> OpenMessage() const { return PortOpenMessage(portNumber_, lastError_); }

    // The line settings, used by the next Open.
    DWORD baudRate = CBR_9600;
    BYTE parity = NOPARITY;  // 0..4: none, odd, even, mark, space
    BYTE byteSize = 8;
    BYTE stopBits = ONESTOPBIT;  // 0..2: one, one and a half, two
    COMMTIMEOUTS timeouts{0, 1, 50, 0, 0};

    // The mode text used when the port's control block cannot be read,
    // e.g. "baud=9600 parity=N data=8 stop=1".
    std::string Definition() const;

private:
    bool ApplyLineSettings();
    bool Fail();

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    int portNumber_ = 255;
    DWORD lastError_ = ERROR_SUCCESS;
};
