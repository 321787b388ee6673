#pragma once
// The server's serial port: one object per COM name on the machine, shared by
// every device, discovery thread and dialog that uses the port. Opening is
// counted; line settings and time-outs are applied only when they changed and
// only just before the next transfer; messages go byte by byte with statistics
// and an optional trace ring for the port monitor.

#include "foundation/Dll.h"
#include "link/CSerialMsg.h"
#include "platform/Sync.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Line settings in one record, as the dialogs and devices hand them over.
struct SerialPortSettings {
    std::int32_t baudRate = 9600;
    std::int32_t ctsFlow = 0;
    std::int32_t byteSizeIndex = 1;  // 0 = 7 data bits, 1 = 8
    std::int32_t parityIndex = 0;    // none, odd, even, mark, space
    std::int32_t stopBitsIndex = 1;  // 0 = one, 1 = two
    std::int32_t rtsControl = 0;
    std::int32_t dtrControl = 0;
};

// The trace ring as one copy, taken in one go, for a window that must not wait
// on the port while a device holds it for a whole exchange.
struct SerialTraceSnapshot {
    std::vector<std::string> lines;  // oldest first
    // Lines ever added to this port's ring; never goes back, not even when the
    // ring is cleared or resized, so that a reader can tell which lines are new.
    std::uint64_t added = 0;
    bool enabled = false;
};

// Transfer statistics; the port monitor shows them with these labels.
struct SerialStatistics {
    enum Counter : int {
        MessagesSent = 0,     // "Messages Sent"
        MessagesReceived,     // "Messages Rcvd"
        ReadTimeouts,         // "Read TimeOuts"
        ReceiveOverflows,     // "Read Msg Full"
        WriteFailures,        // "Write Failure"
        ShortWrites,          // "Write Error"
        ReadErrors,           // "Read Errors"
        Unused7,
        Unused8,
        FrameErrors,          // "Frame Errors"
        IoErrors,             // "IO Errors"
        ModeErrors,           // "Mode Errors"
        Unused12,
        CharBufferOverruns,   // "Char Buf Overrun"
        Unused14,
        ReceiveBufferOverruns,  // "Rec Buf Overrun"
        Unused16,
        TransmitBufferFull,   // "Xmit Buf Full"
        Count
    };
    DWORD counters[Count] = {};
};

class CSerial {
public:
    static constexpr DWORD kSignature = 0x43505254;
    static constexpr DWORD kDefaultTraceSlots = 50;

    // Error codes of the last Send or Receive.
    enum Error : int {
        NoError = 0,
        NotOpen = 2,
        SettingsFailed = 3,
        TimeoutsFailed = 4,
        InvalidMessage = 5,
        NothingToSend = 6,
        WriteFailed = 7,
        ReadFailed = 8,
        ReadTimeout = 9,
        MessageFull = 10,
    };

    // Makes a port and adds it to the process-wide list, where it stays.
    explicit CSerial(const std::string& name);
    ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    bool IsValid() const;

    // The process-wide port list, built on first use from the machine's serial
    // port names (sorted byte-wise, so COM10 comes before COM2).
    static void EnumeratePorts();
    static void ListPorts(Dll<CSerial*>& out);
    static CSerial* FindPortByName(const std::string& name);
    static CSerial* FindPortByNumber(int number);
    // Where the port names come from; the registry's serial port list unless a
    // test replaces it. Takes effect for the next enumeration.
    using PortNameSource = std::function<void(Dll<std::string>&)>;
    static void SetPortNameSource(PortNameSource source);

    const std::string& GetName() const { return name_; }

    bool Open();
    void Close();
    // Both read the count without waiting for the port's lock.
    bool IsOpen() const;
    DWORD GetOpenCount() const;

    void ApplySettings(const SerialPortSettings& settings);
    void SetBaudRate(DWORD baud);
    void SetByteSize(int index);
    void SetCtsFlow(int on);
    void SetParity(int index);
    void SetStopBits(int index);
    void SetRtsControl(DWORD mode);
    void SetDtrControl(DWORD mode);
    void SetTimeouts(DWORD readMs, DWORD writeMs);
    SerialPortSettings GetSettings() const;

    bool Send(CSerialMsg& message);
    bool Receive(CSerialMsg& message);
    void Purge(bool transmit, bool receive);
    int GetErrorCode() const;

    void GetStatistics(SerialStatistics& out) const;
    void ResetStatistics();

    // The trace has a lock of its own (taken inside the port's lock by the
    // transfers, never the other way round), so that the port monitor reads
    // and changes it while a device holds the port for a whole exchange.
    void SetTraceSize(DWORD slots);
    DWORD GetTraceSize() const;
    DWORD GetTraceCount() const;
    bool IsTraceEnabled() const;
    void EnableTrace();
    void DisableTrace();
    void SetHexMode(bool on);
    void ClearTrace();
    std::string GetTraceLine(DWORD index) const;
    void AddTraceLine(const std::string& text);
    SerialTraceSnapshot GetTraceSnapshot() const;

    // The port's lock, for callers that make a whole exchange exclusive.
    void Lock() { EnterCriticalSection(&lock_); }
    void Unlock() { LeaveCriticalSection(&lock_); }

private:
    // With the lock held: the open handle, opened again after a hang-up; false
    // while the line is still gone.
    bool HaveLine();
    void LoseLine();
    // Opens the name, logging the entry with the new handle; false when it cannot.
    bool OpenHandle(const char* entry);
    bool ApplyLineSettings();
    bool ApplyTimeouts();
    void TraceTransfer(const char* prefix, const BYTE* bytes, DWORD n);
    void Count(SerialStatistics::Counter counter) { statistics_[counter].fetch_add(1, std::memory_order_relaxed); }
    template <typename T>
    void SetField(T& field, T value) {
        CriticalSectionLock hold(lock_);
        if (field != value) {
            field = value;
            stateDirty_ = true;
        }
    }

    std::string name_;
    DWORD baudRate_ = 9600;
    std::atomic<DWORD> openCount_{0};  // changed under lock_ only
    DWORD readTimeout_ = 100;
    DWORD writeTimeout_ = 100;
    DWORD traceCapacity_ = 0;
    DWORD traceUsed_ = 0;
    DWORD traceStart_ = 0;
    DWORD signature_ = kSignature;
    std::int32_t ctsFlow_ = 0;
    std::int32_t byteSizeIndex_ = 1;
    std::int32_t parityIndex_ = 0;
    std::int32_t stopBitsIndex_ = 1;
    DWORD rtsControl_ = 0;
    DWORD dtrControl_ = 0;
    std::atomic<int> errorCode_{0};
    mutable CRITICAL_SECTION lock_;
    HANDLE handle_ = nullptr;
    bool stateDirty_ = true;
    bool timeoutsDirty_ = true;
    std::atomic<bool> traceEnabled_{false};
    std::atomic<bool> hexTrace_{true};
    std::atomic<DWORD> statistics_[SerialStatistics::Count] = {};
    // Guards the ring, its capacity, used and start counts and traceAdded_.
    mutable CRITICAL_SECTION traceLock_;
    std::uint64_t traceAdded_ = 0;
    std::vector<std::string> trace_;
};

// Holds a port's lock for a scope (one exchange, a line reset), whatever path ends it.
class SerialPortLock {
public:
    explicit SerialPortLock(CSerial& port) : port_(port) { port_.Lock(); }
    ~SerialPortLock() { port_.Unlock(); }
    SerialPortLock(const SerialPortLock&) = delete;
    SerialPortLock& operator=(const SerialPortLock&) = delete;

private:
    CSerial& port_;
};
