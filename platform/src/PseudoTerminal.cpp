#include "platform/PseudoTerminal.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

struct PseudoTerminal::Impl {
    int master = -1;
    // The terminal side is held open by us as well: without any open terminal
    // side the master reads fail at once, and the line would look hung up before
    // the program under test has opened it.
    int slaveKeeper = -1;
    std::string slavePath;
    std::string lastError;

    void Fail(const char* what) { lastError = std::string(what) + ": " + std::strerror(errno); }
};

PseudoTerminal::PseudoTerminal() : impl_(std::make_unique<Impl>()) {}

PseudoTerminal::~PseudoTerminal() { Close(); }

bool PseudoTerminal::Open() {
    Close();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        impl_->Fail("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        impl_->Fail("pseudo-terminal set-up");
        ::close(master);
        return false;
    }
    int keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (keeper < 0) {
        impl_->Fail("opening the terminal side");
        ::close(master);
        return false;
    }
    // Raw bytes both ways, as on a serial line: no echo, no line editing, no CR/LF mapping.
    termios tio{};
    if (::tcgetattr(keeper, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        ::tcsetattr(keeper, TCSANOW, &tio);
    }
    impl_->master = master;
    impl_->slaveKeeper = keeper;
    impl_->slavePath = name;
    impl_->lastError.clear();
    return true;
}

void PseudoTerminal::Close() {
    if (impl_->master >= 0) ::close(impl_->master);
    if (impl_->slaveKeeper >= 0) ::close(impl_->slaveKeeper);
    impl_->master = -1;
    impl_->slaveKeeper = -1;
}

bool PseudoTerminal::IsOpen() const { return impl_->master >= 0; }

const std::string& PseudoTerminal::SlavePath() const { return impl_->slavePath; }

const std::string& PseudoTerminal::LastError() const { return impl_->lastError; }

bool PseudoTerminal::Write(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < n) {
        if (impl_->master < 0) return false;
        ssize_t w = ::write(impl_->master, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd pfd{impl_->master, POLLOUT, 0};
                ::poll(&pfd, 1, 100);
                continue;
            }
            impl_->Fail("write");
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

long PseudoTerminal::Read(void* buffer, std::size_t capacity, int timeoutMs) {
    if (impl_->master < 0) return -1;
    pollfd pfd{impl_->master, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        impl_->Fail("poll");
        return -1;
    }
    if (ready == 0) return 0;
    if (!(pfd.revents & POLLIN)) return (pfd.revents & (POLLHUP | POLLERR)) ? -1 : 0;
    ssize_t n;
    do {
        n = ::read(impl_->master, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN) return 0;
        impl_->Fail("read");
        return -1;
    }
    return static_cast<long>(n);
}

bool PseudoTerminal::GetLineSettings(LineSettings& out) const {
    termios tio{};
    const int fd = impl_->slaveKeeper >= 0 ? impl_->slaveKeeper : impl_->master;
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) return false;
    static constexpr struct {
        speed_t code;
        DWORD baud;
    } kSpeeds[] = {{B110, 110},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},
                   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    out.baudRate = 0;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const auto& s : kSpeeds)
        if (s.code == speed) out.baudRate = s.baud;
    switch (tio.c_cflag & CSIZE) {
    case CS5: out.dataBits = 5; break;
    case CS6: out.dataBits = 6; break;
    case CS7: out.dataBits = 7; break;
    default: out.dataBits = 8; break;
    }
    if (!(tio.c_cflag & PARENB)) out.parity = 'N';
    else if (tio.c_cflag & CMSPAR) out.parity = (tio.c_cflag & PARODD) ? 'M' : 'S';
    else out.parity = (tio.c_cflag & PARODD) ? 'O' : 'E';
    out.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    out.ctsFlow = (tio.c_cflag & CRTSCTS) != 0;
    return true;
}

void PseudoTerminal::HangUp() { Close(); }
