#include "link/CSerial.h"

#include "testsupport/EventLogCapture.h"
#include "platform/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <condition_variable>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A reply that is whole at a line feed, or with no bytes at all when asked so.
class LineMsg : public CSerialMsg {
public:
    explicit LineMsg(DWORD capacity = 64, bool completeWhenEmpty = false) : empty_(completeWhenEmpty) {
        Allocate(capacity);
    }
    bool IsComplete() const override {
        if (empty_) return true;
        return Length() > 0 && Data()[Length() - 1] == '\n';
    }

private:
    bool empty_;
};

class CSerialOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open()) << pty.LastError();
        // A terminal device path opens as a serial port just as a COM name does.
        port = new CSerial(pty.SlavePath());
    }
    void TearDown() override {
        while (port->GetOpenCount() > 0) port->Close();
        delete port;
    }
    std::string ReadLine(int timeoutMs = 500) {
        std::string out;
        char buffer[256];
        auto start = Clock::now();
        while (MsSince(start) < timeoutMs) {
            long n = pty.Read(buffer, sizeof buffer, 50);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
            if (n < 0) break;
        }
        return out;
    }
    EventLogCapture log;
    PseudoTerminal pty;
    CSerial* port = nullptr;
};

TEST_F(CSerialOnPty, OpeningNestsAndOnlyTheFirstOpenAndLastCloseTouchTheDevice) {
    EXPECT_TRUE(port->Open());
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(log.CountContaining("Open successfully - Handle:"), 1) << "the second open writes no entry";
    port->Close();
    EXPECT_TRUE(port->IsOpen()) << "the first close after two opens leaves the device open";
    CSerial other(pty.SlavePath());
    EXPECT_FALSE(other.Open()) << "the device is still held exclusively";
    EXPECT_EQ(log.Count("Port: " + pty.SlavePath() + " Failed to open "), 1);
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(log.Count("Port: " + pty.SlavePath() + " closed successfully "), 1);
    port->Close();  // never opened now: nothing happens
    EXPECT_EQ(log.CountContaining("closed successfully"), 1);
    EXPECT_TRUE(other.Open());
    other.Close();
}

TEST_F(CSerialOnPty, SettingsAreAppliedLazilyBeforeTheNextTransfer) {
    ASSERT_TRUE(port->Open());
    port->ApplySettings(SerialPortSettings{19200, 1, 0, 2, 1, 0, 0});
    PseudoTerminal::LineSettings seen{};
    ASSERT_TRUE(pty.GetLineSettings(seen));
    EXPECT_NE(seen.baudRate, 19200u) << "nothing is applied before a transfer";

    LineMsg msg;
    const BYTE t[] = {'T'};
    msg.SetData(t, 1);
    ASSERT_TRUE(port->Send(msg));
    ASSERT_TRUE(pty.GetLineSettings(seen));
    EXPECT_EQ(seen.baudRate, 19200u);
    EXPECT_EQ(seen.stopBits, 2);
    EXPECT_TRUE(seen.ctsFlow);

    // The counter line: 9600 8N1, no flow control.
    port->ApplySettings(SerialPortSettings{9600, 0, 1, 0, 0, 0, 0});
    ASSERT_TRUE(port->Send(msg));
    ASSERT_TRUE(pty.GetLineSettings(seen));
    EXPECT_EQ(seen.baudRate, 9600u);
    EXPECT_EQ(seen.stopBits, 1);
    EXPECT_FALSE(seen.ctsFlow);
    EXPECT_EQ(ReadLine(100), "TT");
}

TEST_F(CSerialOnPty, SendAndReceiveCountAndTraceTheirBytes) {
    ASSERT_TRUE(port->Open());
    port->EnableTrace();
    EXPECT_EQ(port->GetTraceSize(), CSerial::kDefaultTraceSlots);
    LineMsg msg;
    const BYTE command[] = {'K', '\r', '\n', 0x85};
    msg.SetData(command, sizeof command);
    ASSERT_TRUE(port->Send(msg));
    EXPECT_EQ(ReadLine(100), "K\r\n\x85");
    pty.Write("OK\n", 3);
    ASSERT_TRUE(port->Receive(msg));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(msg.Data()), msg.Length()), "OK\n");
    port->SetHexMode(false);
    ASSERT_TRUE(port->Send(msg));

    SerialStatistics stats;
    port->GetStatistics(stats);
    EXPECT_EQ(stats.counters[SerialStatistics::MessagesSent], 2u);
    EXPECT_EQ(stats.counters[SerialStatistics::MessagesReceived], 1u);
    ASSERT_EQ(port->GetTraceCount(), 3u);
    EXPECT_EQ(port->GetTraceLine(0), "Send: 4B 0D 0A 85 ");
    EXPECT_EQ(port->GetTraceLine(1), "Receive: 4F 4B 0A ");
    EXPECT_EQ(port->GetTraceLine(2), "Send: O K LF ");
    EXPECT_EQ(port->GetTraceLine(3), "") << "an index equal to the count gives an empty line";
}

TEST_F(CSerialOnPty, EachFailureHasItsErrorCodeCounterAndTraceLine) {
    LineMsg msg;
    const BYTE one[] = {'A'};
    msg.SetData(one, 1);
    EXPECT_FALSE(port->Send(msg));
    EXPECT_EQ(port->GetErrorCode(), CSerial::NotOpen);
    EXPECT_FALSE(port->Receive(msg));
    EXPECT_EQ(port->GetErrorCode(), CSerial::NotOpen);

    ASSERT_TRUE(port->Open());
    port->EnableTrace();
    LineMsg empty;
    EXPECT_FALSE(port->Send(empty));
    EXPECT_EQ(port->GetErrorCode(), CSerial::NothingToSend);

    // Time-out: the read constant plus one millisecond per byte.
    port->SetTimeouts(150, 100);
    auto start = Clock::now();
    EXPECT_FALSE(port->Receive(msg));
    const long waited = MsSince(start);
    EXPECT_EQ(port->GetErrorCode(), CSerial::ReadTimeout);
    EXPECT_GE(waited, 145);
    EXPECT_LT(waited, 400);
    RecordProperty("receive_timeout_150_measured_ms", std::to_string(waited));

    // Overflow: a message that fills before it is complete.
    LineMsg small(4);
    pty.Write("abcdefgh", 8);
    EXPECT_FALSE(port->Receive(small));
    EXPECT_EQ(port->GetErrorCode(), CSerial::MessageFull);
    EXPECT_EQ(small.Length(), 4u);

    // A message that is complete with no bytes reads nothing and succeeds.
    LineMsg nothing(8, true);
    EXPECT_TRUE(port->Receive(nothing));
    EXPECT_EQ(nothing.Length(), 0u);

    SerialStatistics stats;
    port->GetStatistics(stats);
    EXPECT_EQ(stats.counters[SerialStatistics::ReadTimeouts], 1u);
    EXPECT_EQ(stats.counters[SerialStatistics::ReceiveOverflows], 1u);
    EXPECT_EQ(stats.counters[SerialStatistics::MessagesReceived], 1u);
    EXPECT_EQ(port->GetTraceLine(0), "Receive - TimeOut");
    EXPECT_EQ(port->GetTraceLine(1), "Receive - Buffer Overflow");
}

TEST_F(CSerialOnPty, AHangUpDuringAReceiveEndsItWithAReadErrorNotAHang) {
    ASSERT_TRUE(port->Open());
    port->SetTimeouts(5000, 100);
    port->EnableTrace();
    LineMsg msg;
    std::thread hangup([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        pty.HangUp();
    });
    auto start = Clock::now();
    EXPECT_FALSE(port->Receive(msg));
    const long waited = MsSince(start);
    hangup.join();
    EXPECT_EQ(port->GetErrorCode(), CSerial::ReadFailed);
    EXPECT_LT(waited, 1000);
    SerialStatistics stats;
    port->GetStatistics(stats);
    EXPECT_EQ(stats.counters[SerialStatistics::ReadErrors], 1u);
    EXPECT_EQ(port->GetTraceLine(port->GetTraceCount() - 1), "Receive - Error");
}

TEST(CSerialTrace, TheRingKeepsTheNewestLines) {
    CSerial port("COM-TRACE");
    port.SetTraceSize(3);
    for (const char* line : {"A", "B", "C", "D"}) port.AddTraceLine(line);
    ASSERT_EQ(port.GetTraceCount(), 3u);
    EXPECT_EQ(port.GetTraceLine(0), "B");
    EXPECT_EQ(port.GetTraceLine(1), "C");
    EXPECT_EQ(port.GetTraceLine(2), "D");
    port.SetTraceSize(5);
    EXPECT_EQ(port.GetTraceCount(), 0u) << "resizing drops the lines";
    port.AddTraceLine("E");
    port.ClearTrace();
    EXPECT_EQ(port.GetTraceLine(0), "");
}

TEST(CSerialTrace, TheSnapshotCopiesTheRingOldestFirstAndCountsEveryLineEverAdded) {
    CSerial port("COM-SNAPSHOT");
    port.SetTraceSize(3);
    SerialTraceSnapshot empty = port.GetTraceSnapshot();
    EXPECT_TRUE(empty.lines.empty());
    EXPECT_EQ(empty.added, 0u);
    EXPECT_FALSE(empty.enabled);

    port.EnableTrace();
    for (const char* line : {"A", "B", "C", "D", "E"}) port.AddTraceLine(line);
    SerialTraceSnapshot wrapped = port.GetTraceSnapshot();
    EXPECT_EQ(wrapped.lines, (std::vector<std::string>{"C", "D", "E"}));
    EXPECT_EQ(wrapped.added, 5u);
    EXPECT_TRUE(wrapped.enabled);

    // Emptying the ring never turns the count back: a reader that saw 5 knows
    // that the one line after a clear is new.
    port.ClearTrace();
    port.AddTraceLine("F");
    port.SetTraceSize(4);
    port.AddTraceLine("G");
    SerialTraceSnapshot after = port.GetTraceSnapshot();
    EXPECT_EQ(after.lines, (std::vector<std::string>{"G"}));
    EXPECT_EQ(after.added, 7u);

    port.SetTraceSize(0);
    port.AddTraceLine("H");
    EXPECT_TRUE(port.GetTraceSnapshot().lines.empty()) << "a ring without slots keeps nothing";
    EXPECT_EQ(port.GetTraceSnapshot().added, 7u) << "and counts nothing it did not keep";
}

// A device holds the port's lock for a whole exchange, seconds when a counter
// does not answer; the trace, the counters and the open state must stay
// readable and changeable by the port monitor meanwhile.
TEST(CSerialTrace, TraceCountersAndOpenStateDoNotWaitForAPortHeldByAnotherThread) {
    CSerial port("COM-HELD");
    port.SetTraceSize(5);
    port.AddTraceLine("Send: A ");
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false, release = false;
    std::thread holder([&] {
        SerialPortLock hold(port);
        std::unique_lock lock(mutex);
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return holding; });
    }
    const auto start = Clock::now();
    EXPECT_EQ(port.GetTraceSnapshot().lines, (std::vector<std::string>{"Send: A "}));
    port.EnableTrace();
    EXPECT_TRUE(port.IsTraceEnabled());
    port.SetHexMode(false);
    port.SetTraceSize(7);
    EXPECT_EQ(port.GetTraceSize(), 7u);
    port.AddTraceLine("Receive: A ");
    EXPECT_EQ(port.GetTraceCount(), 1u);
    EXPECT_EQ(port.GetTraceLine(0), "Receive: A ");
    port.ClearTrace();
    port.DisableTrace();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetOpenCount(), 0u);
    SerialStatistics stats;
    port.GetStatistics(stats);
    port.ResetStatistics();
    const long took = MsSince(start);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    holder.join();
    EXPECT_LT(took, 1000) << "the calls waited for the port's lock";
}

TEST(CSerialPortList, IsSortedByteWiseAndFoundByNameOrNumber) {
    CSerial::SetPortNameSource([](Dll<std::string>& out) {
        out.AddTail("COM3");
        out.AddTail("COM12");
        out.AddTail("com1");
        out.AddTail("COM3");  // listed twice: made once
    });
    CSerial::EnumeratePorts();
    Dll<CSerial*> ports;
    CSerial::ListPorts(ports);
    std::vector<std::string> names;
    for (CSerial* port : ports) names.push_back(port->GetName());
    auto at = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    ASSERT_LT(at("COM12"), static_cast<long>(names.size()));
    EXPECT_LT(at("COM12"), at("COM3")) << "COM12 sorts before COM3";
    EXPECT_EQ(std::count(names.begin(), names.end(), "COM3"), 1);

    EXPECT_EQ(CSerial::FindPortByNumber(12), CSerial::FindPortByName("com12"));
    ASSERT_NE(CSerial::FindPortByNumber(12), nullptr);
    EXPECT_EQ(CSerial::FindPortByNumber(12)->GetName(), "COM12");
    ASSERT_NE(CSerial::FindPortByNumber(1), nullptr) << "a COM name in any letter case";
    EXPECT_EQ(CSerial::FindPortByNumber(1)->GetName(), "com1");
    EXPECT_EQ(CSerial::FindPortByNumber(2), nullptr);
    CSerial::EnumeratePorts();
    Dll<CSerial*> again;
    CSerial::ListPorts(again);
    EXPECT_EQ(again.GetCount(), ports.GetCount()) << "enumerating again makes no second port of a name";
    CSerial::SetPortNameSource(nullptr);
}

// Devices and dialogs starting together all ask for the port list first.
TEST(CSerialPortListConcurrency, ThreadsEnumeratingTogetherMakeOnePortPerName) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 5; ++round) {
        const std::string name = "COM" + std::to_string(200 + round);
        // Reading the machine's names takes a while (a registry file); the
        // source lets the readers go on together once all are reading, or
        // after a short wait when they come one at a time.
        std::mutex mutex;
        std::condition_variable all;
        int reading = 0;
        CSerial::SetPortNameSource([&](Dll<std::string>& out) {
            std::unique_lock lock(mutex);
            ++reading;
            all.notify_all();
            all.wait_for(lock, std::chrono::milliseconds(30), [&] { return reading == kThreads; });
            out.AddTail(name);
        });
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back([] { CSerial::EnumeratePorts(); });
        for (auto& thread : threads) thread.join();
        CSerial::SetPortNameSource(nullptr);
        Dll<CSerial*> ports;
        CSerial::ListPorts(ports);
        int made = 0;
        for (CSerial* port : ports) made += port->GetName() == name;
        EXPECT_EQ(made, 1) << name;
    }
}

}  // namespace
