#include "platform/PseudoTerminal.h"
#include "platform/Serial.h"
#include "platform/Thread.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open()) << pty.LastError();
        port = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    void SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }
    PseudoTerminal pty;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(SerialLine, SettingsAppliedBySetCommStateAreSeenOnTheOtherSide) {
    struct Case {
        DWORD baud;
        BYTE size, parity, stop;
        bool cts;
        int stopBits;
    };
    for (const Case& c : {Case{9600, 8, NOPARITY, ONESTOPBIT, false, 1},
                          Case{19200, 7, EVENPARITY, TWOSTOPBITS, true, 2},
                          Case{4800, 8, ODDPARITY, ONESTOPBIT, false, 1},
                          Case{115200, 7, MARKPARITY, ONESTOPBIT, false, 1},
                          Case{1200, 8, SPACEPARITY, TWOSTOPBITS, false, 2}}) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = c.baud;
        dcb.fBinary = 1;
        dcb.fParity = c.parity != NOPARITY;
        dcb.fOutxCtsFlow = c.cts;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        ASSERT_TRUE(SetCommState(port, &dcb)) << c.baud;
        PseudoTerminal::LineSettings seen{};
        ASSERT_TRUE(pty.GetLineSettings(seen));
        EXPECT_EQ(seen.baudRate, c.baud);
        // A Linux pseudo-terminal always runs 8 data bits without parity, whatever is set;
        // only a real port shows them on the other side.
        EXPECT_EQ(seen.stopBits, c.stopBits);
        EXPECT_EQ(seen.ctsFlow, c.cts);
        DCB back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.ByteSize, c.size);
    }
    DCB bad{};
    bad.DCBlength = sizeof bad;
    bad.BaudRate = 12345;
    bad.ByteSize = 8;
    EXPECT_FALSE(SetCommState(port, &bad)) << "a rate the line cannot run is refused";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad.BaudRate = 9600;
    bad.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(SetCommState(port, &bad)) << "one and a half stop bits need five data bits";
}

TEST_F(SerialLine, ATotalTimeOutIsTheMultiplierPerByteAskedForPlusTheConstant) {
    SetReadTimeouts(0, 20, 100);  // 10 bytes asked for: 20 x 10 + 100 = 300 ms
    char buffer[10];
    DWORD got = 99;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr)) << "a time-out is not a failure";
    const long waited = MsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 295);
    EXPECT_LT(waited, 450);
    RecordProperty("total_timeout_300_measured_ms", std::to_string(waited));
}

TEST_F(SerialLine, TheIntervalTimeOutEndsAReadAfterAGapBetweenBytes) {
    SetReadTimeouts(50, 0, 2000);
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Write("abc", 3);
    });
    char buffer[16];
    DWORD got = 0;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    const long waited = MsSince(start);
    sender.join();
    EXPECT_EQ(std::string(buffer, got), "abc");
    // Waiting for the first byte is not bounded by the interval: about 100 ms, then 50 ms of silence.
    EXPECT_GE(waited, 145);
    EXPECT_LT(waited, 400) << "the 2000 ms total must not be reached";
    RecordProperty("interval_50_after_100_measured_ms", std::to_string(waited));
}

TEST_F(SerialLine, AFullBufferEndsTheReadAtOnceAndMaxdwordIntervalReturnsWhatIsThere) {
    pty.Write("12345", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetReadTimeouts(0, 0, 1000);
    char buffer[3];
    DWORD got = 0;
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, 3, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "123");
    EXPECT_LT(MsSince(start), 100);

    SetReadTimeouts(MAXDWORD, 0, 0);
    char rest[8];
    EXPECT_TRUE(ReadFile(port, rest, sizeof rest, &got, nullptr));
    EXPECT_EQ(std::string(rest, got), "45");
    start = Clock::now();
    EXPECT_TRUE(ReadFile(port, rest, sizeof rest, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 50) << "nothing there: return at once";
}

TEST_F(SerialLine, AHangUpOfTheOtherSideFailsTheReadPromptly) {
    SetReadTimeouts(0, 1, 5000);
    std::thread hangup([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        pty.HangUp();
    });
    char byte;
    DWORD got = 0;
    auto start = Clock::now();
    EXPECT_FALSE(ReadFile(port, &byte, 1, &got, nullptr));
    const long waited = MsSince(start);
    hangup.join();
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(waited, 1000) << "a hang-up must not wait for the 5 s time-out";
}

TEST_F(SerialLine, ACompletedWriteHasLeftTheDriverSoAPurgeCannotDiscardIt) {
    COMMTIMEOUTS t{0, 1, 100, 1, 500};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, " \r\n", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR));
    char buffer[8];
    long n = pty.Read(buffer, sizeof buffer, 500);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), " \r\n");

    // Bytes waiting to be read are what a receive purge clears.
    pty.Write("stale", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    COMSTAT status{};
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
}

TEST_F(SerialLine, ASecondOpenOfTheSameDeviceFailsUntilTheFirstIsClosed) {
    HANDLE second = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(port);
    port = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(SerialLine, AHandleClosedDuringAReadKeepsItsDescriptorUntilTheReadEnds) {
    // The read waits on the line; the handle is closed under it and the number
    // of its descriptor is free for an unrelated open. The read must still be
    // served by the line, never by the file that took the number.
    TempDir dir;
    const std::string unrelated = dir.File("unrelated.txt");
    {
        std::ofstream out(unrelated);
        out << "UNRELATED";
    }
    SetReadTimeouts(0, 0, 2000);
    std::string got;
    std::thread reader([&] {
        char buffer[16] = {};
        DWORD n = 0;
        if (ReadFile(port, buffer, 1, &n, nullptr)) got.assign(buffer, n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(CloseHandle(port));
    HANDLE other = CreateFileA(unrelated.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(pty.Write("X", 1));
    reader.join();
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(got, "X");
    // The closed handle no longer keeps the device: it opens again at once.
    HANDLE again = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    CloseHandle(other);
}

TEST(SerialNamesOpen, AComNameWithoutADeviceIsNotFound) {
    HANDLE h = CreateFileA("COM249", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(BuildCommDcb, ReadsBothModeTextForms) {
    DCB dcb{};
    ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    ASSERT_TRUE(BuildCommDCBA("19200,e,7,2", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=M data=8 stop=1.5", &dcb));
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    DCB untouched = dcb;
    EXPECT_FALSE(BuildCommDCBA("baud=fast", &dcb));
    EXPECT_FALSE(BuildCommDCBA("baud=9600 parity=Q", &dcb));
    EXPECT_FALSE(BuildCommDCBA("baud=9600 data=9", &dcb));
    EXPECT_EQ(dcb.BaudRate, untouched.BaudRate) << "a refused text changes nothing";
}

}  // namespace
