#include "platform/Console.h"

#include <cerrno>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kLongestLine = 64 * 1024;

// Byte by byte, so that nothing after the line is taken from the input.
std::optional<std::string> ReadLine(int fd) {
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) {
            if (line.empty()) return std::nullopt;
            break;  // a last line without a line end
        }
        if (c == '\n') break;
        if (line.size() == kLongestLine) return std::nullopt;
        line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> ReadSecretLine(const std::string& prompt) {
    if (!StandardInputIsTerminal()) return ReadLine(STDIN_FILENO);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    // A secret is never read with the terminal showing it.
    termios before {};
    if (::tcgetattr(STDIN_FILENO, &before) != 0) return std::nullopt;
    termios hidden = before;
    hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
    hidden.c_lflag |= ECHONL;  // the Enter key still ends the line on the screen
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) != 0) return std::nullopt;
    std::optional<std::string> line = ReadLine(STDIN_FILENO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    return line;
}

}  // namespace platform
