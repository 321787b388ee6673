#include "platform/Serial.h"

#include "FileObject.h"
#include "platform/SerialNames.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

struct SpeedCode {
    DWORD baud;
    speed_t code;
};
constexpr SpeedCode kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},
                                 {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
                                 {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
                                 {460800, B460800}, {921600, B921600}};

bool SpeedFor(DWORD baud, speed_t& code) {
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    }
    return false;
}

DWORD BaudFor(speed_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

// The line is gone (the other side hung up, the adapter was unplugged).
constexpr DWORD kHangUpError = ERROR_DEVICE_NOT_CONNECTED;

class SerialObject final : public FileObject {
public:
    explicit SerialObject(int fd) : FileObject(fd) {
        struct stat st{};
        // Unix98 pseudo-terminal slaves have majors 136 to 143.
        pseudoTerminal_ = ::fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
        timeouts_ = COMMTIMEOUTS{0, 0, 0, 0, 0};
        std::memset(&dcb_, 0, sizeof dcb_);
        dcb_.DCBlength = sizeof(DCB);
        termios tio{};
        if (::tcgetattr(fd_, &tio) == 0) DcbFromTermios(tio, dcb_);
        ReadErrorCounters(lastCounts_);
    }

    void OnClose() override {
        if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
        FileObject::OnClose();
    }

    BOOL Read(void* buffer, DWORD toRead, DWORD* read) override;
    BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL Flush() override {
        ::tcdrain(fd_);
        return TRUE;
    }

    BOOL SetState(const DCB& dcb);
    DCB State() const {
        std::lock_guard lock(mutex_);
        return dcb_;
    }
    void SetTimeouts(const COMMTIMEOUTS& t) {
        std::lock_guard lock(mutex_);
        timeouts_ = t;
    }
    COMMTIMEOUTS Timeouts() const {
        std::lock_guard lock(mutex_);
        return timeouts_;
    }
    BOOL Purge(DWORD flags);
    BOOL ClearErrors(DWORD* errors, COMSTAT* status);

private:
    static void DcbFromTermios(const termios& tio, DCB& dcb);
    bool ReadErrorCounters(serial_icounter_struct& counts) const { return ::ioctl(fd_, TIOCGICOUNT, &counts) == 0; }
    void SetModemLine(int line, bool on) {
        int bits = line;
        ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits);  // a pseudo-terminal has no modem lines; that is fine
    }

    mutable std::mutex mutex_;
    COMMTIMEOUTS timeouts_;
    DCB dcb_;
    serial_icounter_struct lastCounts_{};
    bool pseudoTerminal_ = false;
};

void SerialObject::DcbFromTermios(const termios& tio, DCB& dcb) {
    dcb.BaudRate = BaudFor(::cfgetospeed(&tio));
    dcb.fBinary = 1;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB)) dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR) dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb.StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

BOOL SerialObject::SetState(const DCB& dcb) {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    speed_t speed;
    if (!SpeedFor(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
        (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY) tio.c_iflag |= INPCK;
    // With five data bits a UART sends one and a half stop bits when two are asked for.
    if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    if (dcb.fOutX || dcb.fInX) {
        tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    SetModemLine(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) SetModemLine(TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    std::lock_guard lock(mutex_);
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(DCB);
    return TRUE;
}

// Reads as a Windows serial driver does with the port's COMMTIMEOUTS: the call
// ends when the buffer is full, when the total time-out (multiplier per byte
// asked for plus constant) has run out, or when the interval time-out passes
// between two bytes after the first one. A time-out is success with fewer bytes.
BOOL SerialObject::Read(void* buffer, DWORD toRead, DWORD* read) {
    if (read) *read = 0;
    if (toRead == 0) return TRUE;
    const COMMTIMEOUTS t = Timeouts();
    const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
    const bool firstByteThenReturn = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                                     t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    const bool hasTotal = !returnAtOnce && (firstByteThenReturn || t.ReadTotalTimeoutMultiplier != 0 ||
                                            t.ReadTotalTimeoutConstant != 0);
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    const std::uint64_t totalMs =
        firstByteThenReturn ? t.ReadTotalTimeoutConstant
                            : static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;

    const auto start = Clock::now();
    const auto totalDeadline = start + std::chrono::milliseconds(totalMs);
    auto lastByte = start;
    auto* out = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    for (;;) {
        int waitMs = -1;
        const auto now = Clock::now();
        auto remaining = [&](Clock::time_point deadline) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
            return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
        };
        if (returnAtOnce) waitMs = 0;
        if (hasTotal) waitMs = remaining(totalDeadline);
        if (hasInterval && got > 0) {
            int interval = remaining(lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
            waitMs = waitMs < 0 ? interval : std::min(waitMs, interval);
        }
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        if (ready == 0) break;  // a time-out ends the read with what it has
        ssize_t n = ::read(fd_, out + got, toRead - got);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!(pfd.revents & (POLLHUP | POLLERR))) continue;
        }
        if (n <= 0) {
            // End of file or an error on a terminal: the line has gone. Bytes already
            // read are delivered; the next read reports the hang-up.
            if (got > 0) break;
            SetLastError(n == 0 || errno == EIO || errno == EAGAIN ? kHangUpError : ErrorFromErrno(errno));
            return FALSE;
        }
        got += static_cast<DWORD>(n);
        lastByte = Clock::now();
        if (got == toRead || returnAtOnce || firstByteThenReturn) break;
    }
    if (read) *read = got;
    return TRUE;
}

// Returns once the bytes have left the driver, as a Windows serial write
// completes only when transmitted, so that a later purge cannot discard them.
// The write time-outs bound the whole call; when they run out the count says
// how much was sent.
BOOL SerialObject::Write(const void* buffer, DWORD toWrite, DWORD* written) {
    if (written) *written = 0;
    const COMMTIMEOUTS t = Timeouts();
    const bool hasTotal = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(
                                             static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * toWrite +
                                             t.WriteTotalTimeoutConstant);
    auto waitMs = [&]() -> int {
        if (!hasTotal) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(left);
    };
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(fd_, bytes + done, toWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            const int wait = waitMs();
            if (wait == 0) break;
            pollfd pfd{fd_, POLLOUT, 0};
            if (::poll(&pfd, 1, wait) == 0) break;
            if (pfd.revents & (POLLHUP | POLLERR)) {
                SetLastError(kHangUpError);
                return FALSE;
            }
            continue;
        }
        SetLastError(errno == EIO ? kHangUpError : ErrorFromErrno(errno));
        if (written) *written = done;
        return FALSE;
    }
    // Wait for the output queue to empty, within the same time-out.
    int queued = 0;
    while (::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const int wait = waitMs();
        if (wait == 0) {
            done -= std::min<DWORD>(done, static_cast<DWORD>(queued));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (written) *written = done;
    return TRUE;
}

BOOL SerialObject::Purge(DWORD flags) {
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Transfers here are synchronous, so there is never a pending one to abort;
    // clearing flushes the queues.
    // A completed write has already been drained. On a pseudo-terminal the
    // output queue is the other side's unread input, i.e. bytes already on the
    // wire, so it is not flushed there.
    const bool tx = (flags & PURGE_TXCLEAR) && !pseudoTerminal_, rx = flags & PURGE_RXCLEAR;
    if ((tx || rx) && ::tcflush(fd_, tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SerialObject::ClearErrors(DWORD* errors, COMSTAT* status) {
    DWORD mask = 0;
    serial_icounter_struct counts{};
    if (ReadErrorCounters(counts)) {
        std::lock_guard lock(mutex_);
        if (counts.frame != lastCounts_.frame) mask |= CE_FRAME;
        if (counts.overrun != lastCounts_.overrun) mask |= CE_OVERRUN;
        if (counts.parity != lastCounts_.parity) mask |= CE_RXPARITY;
        if (counts.brk != lastCounts_.brk) mask |= CE_BREAK;
        if (counts.buf_overrun != lastCounts_.buf_overrun) mask |= CE_RXOVER;
        lastCounts_ = counts;
    }
    if (errors) *errors = mask;
    if (status) {
        std::memset(status, 0, sizeof *status);
        int in = 0, out = 0;
        if (::ioctl(fd_, FIONREAD, &in) == 0) status->cbInQue = static_cast<DWORD>(in);
        if (::ioctl(fd_, TIOCOUTQ, &out) == 0) status->cbOutQue = static_cast<DWORD>(out);
    }
    return TRUE;
}

std::shared_ptr<SerialObject> LookupSerial(HANDLE handle) {
    auto port = LookupHandleAs<SerialObject>(handle);
    if (!port) SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

// Opens a terminal device for a serial port: exclusive among all openers that
// ask (the whole-file lock, also across processes) and against other programs (TIOCEXCL).
HANDLE OpenTerminal(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ::ioctl(fd, TIOCEXCL);
    SetLastError(ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<SerialObject>(fd));
}

}  // namespace

HANDLE OpenSerialByName(LPCSTR name, DWORD, DWORD, bool* isComName) {
    int number = 0;
    if (serialnames::ParseComName(name, &number)) {
        *isComName = true;
        const std::string path = serialnames::DevicePathOf(name);
        if (path.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE handle = OpenTerminal(path);
        // A listed device that is not there (unplugged, simulator gone) is a missing port.
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) SetLastError(ERROR_FILE_NOT_FOUND);
        return handle;
    }
    // A terminal device given by its path is a serial port too.
    struct stat st{};
    if (::stat(name, &st) == 0 && S_ISCHR(st.st_mode)) {
        int probe = ::open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool tty = probe >= 0 && ::isatty(probe);
        if (probe >= 0) ::close(probe);
        if (tty) {
            *isComName = true;
            return OpenTerminal(name);
        }
    }
    *isComName = false;
    return nullptr;
}

}  // namespace platform

using namespace platform;

BOOL GetCommState(HANDLE port, LPDCB dcb) {
    auto serial = LookupSerial(port);
    if (!serial || dcb == nullptr) return FALSE;
    *dcb = serial->State();
    return TRUE;
}

BOOL SetCommState(HANDLE port, LPDCB dcb) {
    auto serial = LookupSerial(port);
    if (!serial || dcb == nullptr) return FALSE;
    return serial->SetState(*dcb);
}

BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    auto serial = LookupSerial(port);
    if (!serial || timeouts == nullptr) return FALSE;
    *timeouts = serial->Timeouts();
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    auto serial = LookupSerial(port);
    if (!serial || timeouts == nullptr) return FALSE;
    if (timeouts->ReadIntervalTimeout == MAXDWORD && timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    serial->SetTimeouts(*timeouts);
    return TRUE;
}

BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    auto serial = LookupSerial(port);
    if (!serial) return FALSE;
    if (inQueue == 0 || outQueue == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE port, DWORD flags) {
    auto serial = LookupSerial(port);
    return serial ? serial->Purge(flags) : FALSE;
}

BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
    auto serial = LookupSerial(port);
    return serial ? serial->ClearErrors(errors, status) : FALSE;
}

BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    if (definition == nullptr || dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DCB result = *dcb;
    result.DCBlength = sizeof(DCB);
    result.fBinary = 1;
    std::string text(definition);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto fail = [] {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    };
    auto parityFrom = [](char p, BYTE& out) {
        switch (p) {
        case 'n': out = NOPARITY; return true;
        case 'o': out = ODDPARITY; return true;
        case 'e': out = EVENPARITY; return true;
        case 'm': out = MARKPARITY; return true;
        case 's': out = SPACEPARITY; return true;
        default: return false;
        }
    };
    auto stopFrom = [](const std::string& s, BYTE& out) {
        if (s == "1") out = ONESTOPBIT;
        else if (s == "1.5") out = ONE5STOPBITS;
        else if (s == "2") out = TWOSTOPBITS;
        else return false;
        return true;
    };
    auto onOff = [](const std::string& v, bool& out) {
        if (v == "on") out = true;
        else if (v == "off") out = false;
        else return false;
        return true;
    };
    if (text.find('=') == std::string::npos) {
        // The short form: "9600,n,8,1".
        std::string fields[4];
        std::size_t k = 0;
        for (char c : text) {
            if (c == ',') {
                if (++k == 4) return fail();
            } else if (c != ' ') {
                fields[k] += c;
            }
        }
        try {
            result.BaudRate = static_cast<DWORD>(std::stoul(fields[0]));
            if (!fields[1].empty() && (fields[1].size() != 1 || !parityFrom(fields[1][0], result.Parity))) return fail();
            if (!fields[2].empty()) result.ByteSize = static_cast<BYTE>(std::stoul(fields[2]));
            if (!fields[3].empty() && !stopFrom(fields[3], result.StopBits)) return fail();
        } catch (const std::exception&) {
            return fail();
        }
    } else {
        std::size_t at = 0;
        while (at < text.size()) {
            while (at < text.size() && text[at] == ' ') ++at;
            if (at >= text.size()) break;
            std::size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            const std::string item = text.substr(at, end - at);
            at = end;
            const std::size_t eq = item.find('=');
            if (eq == std::string::npos) return fail();
            const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
            bool flag = false;
            try {
                if (key == "baud") result.BaudRate = static_cast<DWORD>(std::stoul(value));
                else if (key == "parity") {
                    if (value.size() != 1 || !parityFrom(value[0], result.Parity)) return fail();
                } else if (key == "data") result.ByteSize = static_cast<BYTE>(std::stoul(value));
                else if (key == "stop") {
                    if (!stopFrom(value, result.StopBits)) return fail();
                } else if (key == "xon") {
                    if (!onOff(value, flag)) return fail();
                    result.fOutX = result.fInX = flag;
                } else if (key == "octs") {
                    if (!onOff(value, flag)) return fail();
                    result.fOutxCtsFlow = flag;
                } else if (key == "odsr") {
                    if (!onOff(value, flag)) return fail();
                    result.fOutxDsrFlow = flag;
                } else if (key == "idsr") {
                    if (!onOff(value, flag)) return fail();
                    result.fDsrSensitivity = flag;
                } else if (key == "dtr") {
                    if (value == "hs") result.fDtrControl = DTR_CONTROL_HANDSHAKE;
                    else if (!onOff(value, flag)) return fail();
                    else result.fDtrControl = flag ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
                } else if (key == "rts") {
                    if (value == "hs") result.fRtsControl = RTS_CONTROL_HANDSHAKE;
                    else if (value == "tg") result.fRtsControl = RTS_CONTROL_TOGGLE;
                    else if (!onOff(value, flag)) return fail();
                    else result.fRtsControl = flag ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
                } else if (key != "to") return fail();
            } catch (const std::exception&) {
                return fail();
            }
        }
    }
    if (result.ByteSize < 5 || result.ByteSize > 8) return fail();
    *dcb = result;
    return TRUE;
}
