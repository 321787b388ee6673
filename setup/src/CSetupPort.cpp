#include "setup/CSetupPort.h"

#include "setup/SetupTexts.h"

#include <cstdio>
#include <cstring>

std::optional<PortMessage> PortOpenMessage(int port, DWORD error) {
    // A port that another handle holds fails its exclusive open with access
    // denied; that is the "in use by other software" case.
    if (error == ERROR_ACCESS_DENIED)
        return PortMessage{setuptexts::kPortInUseId, setuptexts::OpenFailedCaption(port),
                           std::string(setuptexts::kPortInUse)};
    if (error == ERROR_IRQ_BUSY)
        return PortMessage{setuptexts::kIrqBusyId, setuptexts::OpenFailedCaption(port),
                           std::string(setuptexts::kIrqBusy)};
    return std::nullopt;
}

std::string CSetupPort::Definition() const {
    static const char* const kParity[] = {"N", "O", "E", "M", "S"};
    static const char* const kStop[] = {"1", "1.5", "2"};
    const char* parityText = parity < 5 ? kParity[parity] : "N";
    const char* stopText = stopBits < 3 ? kStop[stopBits] : "1";
    char text[96];
    std::snprintf(text, sizeof text, "baud=%lu parity=%s data=%d stop=%s", static_cast<unsigned long>(baudRate),
                  parityText, static_cast<int>(byteSize), stopText);
    return text;
}

bool CSetupPort::Fail() {
    lastError_ = GetLastError();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return false;
}

bool CSetupPort::ApplyLineSettings() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle_, &dcb)) {
        dcb.BaudRate = baudRate;
        dcb.ByteSize = byteSize;
        dcb.StopBits = stopBits;
        dcb.Parity = parity;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        return SetCommState(handle_, &dcb) != FALSE;
    }
    const std::string definition = Definition();
    if (!BuildCommDCBA(definition.c_str(), &dcb)) return false;
    return SetCommState(handle_, &dcb) != FALSE;
}

bool CSetupPort::Open(int portNumber) {
    Close();
    portNumber_ = portNumber;
    lastError_ = ERROR_SUCCESS;
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", portNumber);
    handle_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == nullptr) handle_ = INVALID_HANDLE_VALUE;
    if (handle_ == INVALID_HANDLE_VALUE) return Fail();
    if (!ApplyLineSettings()) return Fail();
    COMMTIMEOUTS block = timeouts;
    if (!SetCommTimeouts(handle_, &block)) return Fail();
    if (!SetupComm(handle_, 2048, 2048)) return Fail();
    return true;
}

void CSetupPort::Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool CSetupPort::Write(const void* bytes, std::size_t n) {
    if (!IsOpen()) return false;
    DWORD written = 0;
    return WriteFile(handle_, bytes, static_cast<DWORD>(n), &written, nullptr) && written == n;
}

bool CSetupPort::Read(void* buffer, std::size_t n, std::size_t* got) {
    if (got) *got = 0;
    std::memset(buffer, 0, n);
    if (!IsOpen()) return false;
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(n), &read, nullptr)) return false;
    if (got) *got = read;
    return true;
}

bool CSetupPort::SetReadInterval(DWORD ms) {
    COMMTIMEOUTS current{};
    if (!IsOpen() || !GetCommTimeouts(handle_, &current)) return false;
    current.ReadIntervalTimeout = ms;
    return SetCommTimeouts(handle_, &current) != FALSE;
}

bool CSetupPort::SetReadConstant(DWORD ms) {
    COMMTIMEOUTS current{};
    if (!IsOpen() || !GetCommTimeouts(handle_, &current)) return false;
    current.ReadTotalTimeoutConstant = ms;
    return SetCommTimeouts(handle_, &current) != FALSE;
}
