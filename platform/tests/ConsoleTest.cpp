// Reading a password at a terminal: on a pseudo-terminal standing in for
// standard input, what is typed must not come back as echo, and the terminal
// must show typing again afterwards.
#include "platform/Console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

bool EchoOn(int fd) {
    termios settings {};
    return ::tcgetattr(fd, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

// What the terminal sent back to the typist within a short while.
std::string Drain(int master) {
    std::string out;
    char buffer[256];
    pollfd p{master, POLLIN, 0};
    while (::poll(&p, 1, 100) > 0) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

class SecretOnATerminal : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        terminal_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal_, 0);
        savedInput_ = ::dup(STDIN_FILENO);
        ASSERT_GE(savedInput_, 0);
        ASSERT_EQ(::dup2(terminal_, STDIN_FILENO), STDIN_FILENO);
        ASSERT_TRUE(EchoOn(STDIN_FILENO)) << "a new terminal shows what is typed";
    }
    void TearDown() override {
        if (savedInput_ >= 0) {
            ::dup2(savedInput_, STDIN_FILENO);
            ::close(savedInput_);
        }
        if (terminal_ >= 0) ::close(terminal_);
        if (master_ >= 0) ::close(master_);
    }

    // Types the line once the terminal stopped showing input (what is typed
    // before is flushed, as the password prompt wants).
    std::optional<std::string> TypeWhileAsked(const std::string& typed) {
        std::optional<std::string> got;
        std::thread reader([&] { got = platform::ReadSecretLine("Password: "); });
        for (int i = 0; i < 200 && EchoOn(terminal_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(EchoOn(terminal_)) << "the terminal still shows what is typed";
        EXPECT_EQ(::write(master_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        reader.join();
        return got;
    }

    int master_ = -1, terminal_ = -1, savedInput_ = -1;
};

TEST_F(SecretOnATerminal, TheTypedLineIsReadWithoutEchoAndTheEchoComesBack) {
    ASSERT_TRUE(platform::StandardInputIsTerminal());
    const std::optional<std::string> got = TypeWhileAsked("hidden words\n");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, "hidden words");
    EXPECT_EQ(Drain(master_).find("hidden"), std::string::npos) << "the password was shown";
    EXPECT_TRUE(EchoOn(terminal_)) << "the terminal was left without echo";
}

TEST(SecretFromAPipe, OneLineIsTakenAndTheRestLeft) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const int savedInput = ::dup(STDIN_FILENO);
    ASSERT_EQ(::dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
    const std::string input = "first line\r\nsecond line\nlast without end";
    ASSERT_EQ(::write(pipeEnds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(pipeEnds[1]);

    EXPECT_FALSE(platform::StandardInputIsTerminal());
    EXPECT_EQ(platform::ReadSecretLine("unused: "), "first line");
    EXPECT_EQ(platform::ReadSecretLine("unused: "), "second line");
    EXPECT_EQ(platform::ReadSecretLine("unused: "), "last without end");
    EXPECT_EQ(platform::ReadSecretLine("unused: "), std::nullopt) << "the end of the input is no password";

    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ::close(pipeEnds[0]);
}

}  // namespace
