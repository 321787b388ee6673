#pragma once
// The host's end of a simulated line in a test: the terminal side opened as
// a serial port, with byte-wise writes and reads that wait a set time.

#include "platform/Serial.h"

#include <string>

class HostPort {
public:
    explicit HostPort(const std::string& path) {
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~HostPort() {
        if (IsOpen()) CloseHandle(handle_);
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

    bool Write(const std::string& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    // Up to n bytes, waiting at most timeoutMs for all of them.
    std::string Read(std::size_t n, DWORD timeoutMs = 1000) {
        COMMTIMEOUTS timeouts{0, 0, timeoutMs, 0, 2000};
        SetCommTimeouts(handle_, &timeouts);
        std::string buffer(n, '\0');
        DWORD got = 0;
        if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(n), &got, nullptr)) {
            failed_ = true;
            return {};
        }
        buffer.resize(got);
        return buffer;
    }

    // Sends one byte and returns what comes back within timeoutMs, up to n bytes.
    std::string Exchange(char byte, std::size_t n = 1, DWORD timeoutMs = 1000) {
        if (!Write(std::string(1, byte))) {
            failed_ = true;
            return {};
        }
        return Read(n, timeoutMs);
    }

    bool Failed() const { return failed_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool failed_ = false;
};
