#pragma once
// A pseudo-terminal pair: the far end of a serial line. Programs open the
// terminal side (SlavePath) as a serial port; the holder of this object plays
// the device on the master side. The simulator and the tests use it.

#include "platform/WinTypes.h"

#include <memory>
#include <string>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair in raw mode; false with a reason in LastError() on failure.
    bool Open();
    void Close();
    bool IsOpen() const;

    // The terminal device a serial port opens, for instance /dev/pts/7.
    const std::string& SlavePath() const;

    // Writes all bytes to the line; false when the other side is gone.
    bool Write(const void* bytes, std::size_t n);
    // Reads what arrives within timeoutMs (0: what is there now; -1: wait for
    // at least one byte). Returns the count, 0 on time-out, -1 when the line is
    // hung up or failed.
    long Read(void* buffer, std::size_t capacity, int timeoutMs);

    // Line settings as the serial port on the terminal side set them.
    struct LineSettings {
        DWORD baudRate;
        int dataBits;      // 5..8
        char parity;       // 'N', 'O', 'E', 'M', 'S'
        int stopBits;      // 1 or 2
        bool ctsFlow;      // output flow control by CTS (CRTSCTS)
    };
    bool GetLineSettings(LineSettings& out) const;

    // Hangs the line up: the master side is closed, so that a reader on the
    // terminal side sees the hang-up. The object is closed afterwards.
    void HangUp();

    const std::string& LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
