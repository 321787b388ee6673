#include "link/CSerial.h"

#include "foundation/CLogFile.h"
#include "foundation/LiveObjects.h"
#include "foundation/TextCompare.h"
#include "platform/Serial.h"
#include "platform/SerialNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

namespace {

struct PortList {
    // Guards the list and the flag, and is held through a whole enumeration so
    // that two threads starting together never make two ports for one name.
    // Recursive: a port made under it adds itself. Ports are never destroyed.
    std::recursive_mutex mutex;
    Dll<CSerial*> ports;
    bool enumerated = false;
    CSerial::PortNameSource source;
};

PortList& Ports() {
    static PortList* list = new PortList;
    return *list;
}

void EnsureEnumerated() {
    std::lock_guard lock(Ports().mutex);
    if (!Ports().enumerated) CSerial::EnumeratePorts();
}

constexpr const char* kControlNames[32] = {"NULL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                           "BS",   "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                           "DLE",  "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                           "CAN",  "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

}  // namespace

// The machine's serial port names from the registry (defined beside the port list reader).
void DefaultPortNames(Dll<std::string>& out);

CSerial::CSerial(const std::string& name) : name_(name) {
    InitializeCriticalSection(&lock_);
    InitializeCriticalSection(&traceLock_);
    LiveObjects<CSerial>::Add(this);
    std::lock_guard lock(Ports().mutex);
    Ports().ports.AddTail(this);
}

CSerial::~CSerial() {
    {
        std::lock_guard lock(Ports().mutex);
        if (auto* node = Ports().ports.FindNode(this)) Ports().ports.RemoveNode(node);
    }
    LiveObjects<CSerial>::Remove(this);
    signature_ = 0;
    if (handle_ != nullptr) CloseHandle(handle_);
    DeleteCriticalSection(&traceLock_);
    DeleteCriticalSection(&lock_);
}

bool CSerial::IsValid() const { return LiveObjects<CSerial>::Contains(this) && signature_ == kSignature; }

void CSerial::SetPortNameSource(PortNameSource source) {
    std::lock_guard lock(Ports().mutex);
    Ports().source = std::move(source);
}

void CSerial::EnumeratePorts() {
    std::lock_guard lock(Ports().mutex);
    Dll<std::string> names;
    if (Ports().source) Ports().source(names);
    else DefaultPortNames(names);

    std::vector<std::string> sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());  // byte-wise: COM10 before COM2

    for (const auto& name : sorted) {
        const bool known = std::any_of(Ports().ports.begin(), Ports().ports.end(),
                                       [&](const CSerial* port) { return EqualNoCase(port->GetName(), name); });
        if (!known) new CSerial(name);  // registers itself and lives for the whole run
    }
    Ports().enumerated = true;
}

void CSerial::ListPorts(Dll<CSerial*>& out) {
    EnsureEnumerated();
    std::lock_guard lock(Ports().mutex);
    out.Assign(Ports().ports);
}

CSerial* CSerial::FindPortByName(const std::string& name) {
    EnsureEnumerated();
    std::lock_guard lock(Ports().mutex);
    for (CSerial* port : Ports().ports)
        if (EqualNoCase(port->GetName(), name)) return port;
    return nullptr;
}

CSerial* CSerial::FindPortByNumber(int number) {
    EnsureEnumerated();
    std::lock_guard lock(Ports().mutex);
    for (CSerial* port : Ports().ports) {
        int value = 0;
        if (serialnames::ParseComName(port->GetName(), &value) && value == number) return port;
    }
    return nullptr;
}

bool CSerial::Open() {
    if (!IsValid()) return false;
    CriticalSectionLock hold(lock_);
    if (openCount_ > 0) {
        ++openCount_;
        return true;
    }
    if (!OpenHandle("Open successfully - Handle:")) {
        EventLog().Append("Port:").Append(name_).Append("Failed to open").Commit(CLogFile::kWrite);
        return false;
    }
    ResetStatistics();
    errorCode_ = NoError;
    if (GetTraceSize() == 0) SetTraceSize(kDefaultTraceSlots);
    openCount_ = 1;
    return true;
}

bool CSerial::OpenHandle(const char* entry) {
    HANDLE handle = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        handle_ = nullptr;
        return false;
    }
    handle_ = handle;
    // A new handle has the driver's settings: ours go to it before the next transfer.
    stateDirty_ = true;
    timeoutsDirty_ = true;
    EventLog()
        .Append("Port:")
        .Append(name_)
        .Append(entry)
        .AppendHex(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle)))
        .Commit(CLogFile::kWrite);
    return true;
}

void CSerial::Close() {
    if (!IsValid()) return;
    CriticalSectionLock hold(lock_);
    if (openCount_ == 1) {
        if (handle_ != nullptr) CloseHandle(handle_);
        handle_ = nullptr;
        openCount_ = 0;
        errorCode_ = NoError;
        EventLog().Append("Port:").Append(name_).Append("closed successfully").Commit(CLogFile::kWrite);
    } else if (openCount_ > 1) {
        --openCount_;
    }
}

// A hang-up (an adapter unplugged, the far end restarted) leaves the handle
// useless: it is closed, the users keep their opens, and the next transfer
// opens the name again, so every device on the port recovers by itself once
// the line is back. Each loss and each recovery is logged once.
void CSerial::LoseLine() {
    CloseHandle(handle_);
    handle_ = nullptr;
    EventLog().Append("Port:").Append(name_).Append("Line lost - reopened at its next use").Commit(CLogFile::kWrite);
}

bool CSerial::HaveLine() { return handle_ != nullptr || OpenHandle("Line restored - Handle:"); }

bool CSerial::IsOpen() const { return openCount_.load() > 0; }

DWORD CSerial::GetOpenCount() const { return openCount_.load(); }

void CSerial::ApplySettings(const SerialPortSettings& s) {
    if (!IsValid()) return;
    CriticalSectionLock hold(lock_);
    SetBaudRate(static_cast<DWORD>(s.baudRate));
    SetCtsFlow(s.ctsFlow);
    SetByteSize(s.byteSizeIndex);
    SetParity(s.parityIndex);
    SetStopBits(s.stopBitsIndex);
    SetRtsControl(static_cast<DWORD>(s.rtsControl));
    SetDtrControl(static_cast<DWORD>(s.dtrControl));
}

void CSerial::SetBaudRate(DWORD baud) { SetField(baudRate_, baud); }
void CSerial::SetByteSize(int index) { SetField(byteSizeIndex_, static_cast<std::int32_t>(index)); }
void CSerial::SetCtsFlow(int on) { SetField(ctsFlow_, static_cast<std::int32_t>(on)); }
void CSerial::SetParity(int index) { SetField(parityIndex_, static_cast<std::int32_t>(index)); }
void CSerial::SetStopBits(int index) { SetField(stopBitsIndex_, static_cast<std::int32_t>(index)); }
void CSerial::SetRtsControl(DWORD mode) { SetField(rtsControl_, mode); }
void CSerial::SetDtrControl(DWORD mode) { SetField(dtrControl_, mode); }

void CSerial::SetTimeouts(DWORD readMs, DWORD writeMs) {
    CriticalSectionLock hold(lock_);
    if (readTimeout_ != readMs || writeTimeout_ != writeMs) {
        readTimeout_ = readMs;
        writeTimeout_ = writeMs;
        timeoutsDirty_ = true;
    }
}

SerialPortSettings CSerial::GetSettings() const {
    CriticalSectionLock hold(lock_);
    return SerialPortSettings{static_cast<std::int32_t>(baudRate_), ctsFlow_, byteSizeIndex_, parityIndex_,
                              stopBitsIndex_, static_cast<std::int32_t>(rtsControl_),
                              static_cast<std::int32_t>(dtrControl_)};
}

bool CSerial::ApplyLineSettings() {
    DCB dcb{};  // filled from our fields alone, never from the device's current block
    dcb.DCBlength = 28;
    dcb.BaudRate = baudRate_;
    dcb.fBinary = 1;
    dcb.fParity = parityIndex_ != 0 ? 1 : 0;
    dcb.fOutxCtsFlow = ctsFlow_ == 1 ? 1 : 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = dtrControl_ & 3;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = rtsControl_ & 3;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = byteSizeIndex_ == 0 ? 7 : 8;
    dcb.Parity = static_cast<BYTE>(parityIndex_);
    dcb.StopBits = stopBitsIndex_ == 0 ? ONESTOPBIT : TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(handle_, &dcb)) return false;
    stateDirty_ = false;
    return true;
}

bool CSerial::ApplyTimeouts() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = baudRate_ != 0 ? 35000 / baudRate_ : 0;
    t.ReadTotalTimeoutMultiplier = 1;
    t.ReadTotalTimeoutConstant = readTimeout_;
    t.WriteTotalTimeoutMultiplier = 1;
    t.WriteTotalTimeoutConstant = writeTimeout_;
    if (!SetCommTimeouts(handle_, &t)) {
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);
        return false;
    }
    timeoutsDirty_ = false;
    return true;
}

bool CSerial::Send(CSerialMsg& message) {
    if (!IsValid()) return false;
    CriticalSectionLock hold(lock_);
    errorCode_ = NoError;
    if (openCount_ == 0 || !HaveLine()) {
        errorCode_ = NotOpen;
        return false;
    }
    if (stateDirty_ && !ApplyLineSettings()) {
        errorCode_ = SettingsFailed;
        return false;
    }
    if (!message.IsValid()) {
        errorCode_ = InvalidMessage;
        return false;
    }
    if (message.Data() == nullptr || message.Length() == 0) {
        errorCode_ = NothingToSend;
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(handle_, message.Data(), message.Length(), &written, nullptr)) {
        const DWORD error = GetLastError();
        Count(SerialStatistics::WriteFailures);
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);
        errorCode_ = WriteFailed;
        if (error == ERROR_DEVICE_NOT_CONNECTED) LoseLine();
        return false;
    }
    if (written != message.Length()) {
        Count(SerialStatistics::ShortWrites);
        errorCode_ = WriteFailed;
        if (traceEnabled_.load()) AddTraceLine("Send - Error");
        return false;
    }
    Count(SerialStatistics::MessagesSent);
    TraceTransfer("Send: ", message.Data(), message.Length());
    return true;
}

bool CSerial::Receive(CSerialMsg& message) {
    if (!IsValid()) return false;
    CriticalSectionLock hold(lock_);
    errorCode_ = NoError;
    if (openCount_ == 0 || !HaveLine()) {
        errorCode_ = NotOpen;
        return false;
    }
    if (stateDirty_ && !ApplyLineSettings()) {
        errorCode_ = SettingsFailed;
        return false;
    }
    if (timeoutsDirty_ && !ApplyTimeouts()) {
        errorCode_ = TimeoutsFailed;
        return false;
    }
    if (!message.IsValid()) {
        errorCode_ = InvalidMessage;
        return false;
    }
    message.Reset();
    bool complete = message.IsComplete();
    while (!complete && message.Length() < message.Capacity()) {
        BYTE byte = 0;
        DWORD got = 0;
        if (!ReadFile(handle_, &byte, 1, &got, nullptr)) {
            const DWORD error = GetLastError();
            Count(SerialStatistics::ReadErrors);
            DWORD errors = 0;
            ClearCommError(handle_, &errors, nullptr);
            errorCode_ = ReadFailed;
            if (traceEnabled_.load()) AddTraceLine("Receive - Error");
            if (error == ERROR_DEVICE_NOT_CONNECTED) LoseLine();
            return false;
        }
        if (got == 0) {
            Count(SerialStatistics::ReadTimeouts);
            errorCode_ = ReadTimeout;
            if (traceEnabled_.load()) AddTraceLine("Receive - TimeOut");
            return false;
        }
        message.Append(byte);
        complete = message.IsComplete();
    }
    if (complete) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        message.SetTimestamp(now);
        Count(SerialStatistics::MessagesReceived);
        TraceTransfer("Receive: ", message.Data(), message.Length());
        return true;
    }
    Count(SerialStatistics::ReceiveOverflows);
    errorCode_ = MessageFull;
    if (traceEnabled_.load()) AddTraceLine("Receive - Buffer Overflow");
    return false;
}

void CSerial::Purge(bool transmit, bool receive) {
    if (!IsValid()) return;
    CriticalSectionLock hold(lock_);
    if (openCount_ == 0 || !HaveLine()) return;
    DWORD flags = 0;
    if (transmit) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (receive) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (!PurgeComm(handle_, flags)) {
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);
    }
}

int CSerial::GetErrorCode() const { return errorCode_.load(); }

void CSerial::GetStatistics(SerialStatistics& out) const {
    for (int i = 0; i < SerialStatistics::Count; ++i) out.counters[i] = statistics_[i].load(std::memory_order_relaxed);
}

void CSerial::ResetStatistics() {
    for (auto& counter : statistics_) counter.store(0, std::memory_order_relaxed);
}

void CSerial::SetTraceSize(DWORD slots) {
    CriticalSectionLock hold(traceLock_);
    if (slots == traceCapacity_) return;
    trace_.assign(slots, std::string());
    traceCapacity_ = slots;
    traceUsed_ = 0;
    traceStart_ = 0;
}

DWORD CSerial::GetTraceSize() const {
    CriticalSectionLock hold(traceLock_);
    return traceCapacity_;
}

DWORD CSerial::GetTraceCount() const {
    CriticalSectionLock hold(traceLock_);
    return traceUsed_;
}

bool CSerial::IsTraceEnabled() const { return traceEnabled_.load(); }

void CSerial::EnableTrace() {
    CriticalSectionLock hold(traceLock_);
    traceEnabled_ = true;
    if (traceCapacity_ == 0) SetTraceSize(kDefaultTraceSlots);
}

void CSerial::DisableTrace() { traceEnabled_ = false; }

void CSerial::SetHexMode(bool on) { hexTrace_ = on; }

void CSerial::ClearTrace() {
    CriticalSectionLock hold(traceLock_);
    for (auto& line : trace_) line.clear();
    traceUsed_ = 0;
    traceStart_ = 0;
}

std::string CSerial::GetTraceLine(DWORD index) const {
    CriticalSectionLock hold(traceLock_);
    if (index >= traceUsed_) return {};
    return trace_[(traceStart_ + index) % traceCapacity_];
}

void CSerial::AddTraceLine(const std::string& text) {
    CriticalSectionLock hold(traceLock_);
    if (traceCapacity_ == 0) return;
    const DWORD slot = (traceStart_ + traceUsed_) % traceCapacity_;
    trace_[slot] = text;
    if (traceUsed_ == traceCapacity_) traceStart_ = (traceStart_ + 1) % traceCapacity_;
    traceUsed_ = std::min(traceCapacity_, traceUsed_ + 1);
    ++traceAdded_;
}

SerialTraceSnapshot CSerial::GetTraceSnapshot() const {
    SerialTraceSnapshot snapshot;
    CriticalSectionLock hold(traceLock_);
    snapshot.lines.reserve(traceUsed_);
    for (DWORD i = 0; i < traceUsed_; ++i) snapshot.lines.push_back(trace_[(traceStart_ + i) % traceCapacity_]);
    snapshot.added = traceAdded_;
    snapshot.enabled = traceEnabled_.load();
    return snapshot;
}

void CSerial::TraceTransfer(const char* prefix, const BYTE* bytes, DWORD n) {
    if (!traceEnabled_.load() || n == 0) return;
    const bool inHex = hexTrace_.load();
    std::string line = prefix;
    for (DWORD i = 0; i < n; ++i) {
        const BYTE b = bytes[i];
        if (inHex) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        } else if (b >= 32) {
            line += static_cast<char>(b);
        } else {
            line += kControlNames[b];
        }
        line += ' ';
    }
    AddTraceLine(line);
}
