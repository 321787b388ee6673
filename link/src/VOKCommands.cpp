#include "link/VOKCommands.h"

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKMsg.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const SerialPortSettings kCounterLine{9600, 0, 1, 0, 0, 0, 0};

// The select records. The lock guards only the list and the handle counter and
// is never held while waiting for a port.
struct SelectRegistry {
    std::mutex mutex;
    Dll<VOK_XacInfo*> records;
    std::int32_t nextHandle = 0;
};

SelectRegistry& Registry() {
    static SelectRegistry* registry = new SelectRegistry;
    return *registry;
}

bool FindRecord(std::int32_t handle, VOK_XacInfo& out) {
    std::lock_guard lock(Registry().mutex);
    for (VOK_XacInfo* record : Registry().records) {
        if (record->handle == handle) {
            out = *record;
            return true;
        }
    }
    return false;
}

std::atomic<DWORD> g_echoTimeout{kCounterTimeoutMs};

void PrepareForCounter(CSerial& port) {
    port.ApplySettings(kCounterLine);
    const DWORD timeout = g_echoTimeout.load();
    port.SetTimeouts(timeout, timeout);
}

void FailureEntry(const char* text, const VOK_XacInfo& record) {
    EventLog().Append(text).Append(record.port->GetName()).Append("Addr:").AppendByte(record.address).Commit(
        CLogFile::kWrite);
}

// Runs one single-command exchange on a select handle, leaving the payload in reply.
bool Exchange(const VOK_XacInfo& record, int type, BYTE (&reply)[VOKMsg::kBufferSize], DWORD& length,
              const StopFlag* stop) {
    length = VOKMsg::kBufferSize;
    VOK_BuildCommand(type, reply, length);
    if (length == VOKMsg::kBufferSize) length = 0;  // nothing was built
    return VOK_Transact(record.port, type, reply, length, VOKMsg::kBufferSize, stop);
}

std::string Trim(const BYTE* bytes, DWORD n) {
    std::string text(reinterpret_cast<const char*>(bytes), n);
    const char* blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// The payload split at spaces, empty pieces skipped.
Dll<std::string> Pieces(const BYTE* bytes, DWORD n) {
    Dll<std::string> pieces;
    std::string piece;
    for (DWORD i = 0; i <= n; ++i) {
        if (i == n || bytes[i] == ' ') {
            if (!piece.empty()) pieces.AddTail(piece);
            piece.clear();
        } else {
            piece += static_cast<char>(bytes[i]);
        }
    }
    return pieces;
}

// The shared shape of the reads: an unknown handle fails with no entry; a
// failed exchange writes the failure entry and fails; a payload shorter than
// needed writes it too but counts as done (the output stays cleared); only a
// long enough payload is handed to the decoder.
enum class Read { Failed, TooShort, Good };

Read ReadReply(std::int32_t handle, int type, const char* failure, DWORD minimum, BYTE (&reply)[VOKMsg::kBufferSize],
               DWORD& n, const StopFlag* stop) {
    VOK_XacInfo record;
    if (!FindRecord(handle, record)) return Read::Failed;
    if (!Exchange(record, type, reply, n, stop)) {
        FailureEntry(failure, record);
        return Read::Failed;
    }
    if (n < minimum) {
        FailureEntry(failure, record);
        return Read::TooShort;
    }
    return Read::Good;
}

bool ReadText(std::int32_t handle, int type, std::string& text, const char* failure, const StopFlag* stop) {
    text.clear();
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    const Read result = ReadReply(handle, type, failure, 1, reply, n, stop);
    if (result == Read::Good) text = Trim(reply, n);
    return result != Read::Failed;
}

bool Command(std::int32_t handle, int type, const char* failure, const StopFlag* stop) {
    VOK_XacInfo record;
    if (!FindRecord(handle, record)) return false;
    BYTE reply[VOKMsg::kBufferSize];
    DWORD length = 0;
    if (!Exchange(record, type, reply, length, stop)) {
        FailureEntry(failure, record);
        return false;
    }
    return true;
}

bool SendBuilt(const VOK_XacInfo& record, int type, BYTE (&command)[VOKMsg::kBufferSize], DWORD length,
               const char* failure, const StopFlag* stop) {
    if (!VOK_Transact(record.port, type, command, length, VOKMsg::kBufferSize, stop)) {
        FailureEntry(failure, record);
        return false;
    }
    return true;
}

void ReleaseRecord(VOK_XacInfo* record) {
    {
        std::lock_guard lock(Registry().mutex);
        if (auto* node = Registry().records.FindNode(record)) Registry().records.RemoveNode(node);
    }
    record->port->Unlock();
    delete record;
}

}  // namespace

void VOK_SetEchoTimeout(DWORD milliseconds) { g_echoTimeout.store(milliseconds); }
DWORD VOK_GetEchoTimeout() { return g_echoTimeout.load(); }

bool VOK_OpenPort(int portNumber) {
    CSerial* port = CSerial::FindPortByNumber(portNumber);
    if (port == nullptr) return false;
    const bool opened = port->Open();
    EventLog().Append(opened ? "Port Open success" : "Port Open Failure").Commit(CLogFile::kWrite);
    PrepareForCounter(*port);
    return opened;
}

bool VOK_ClosePort(int portNumber) {
    CSerial* port = CSerial::FindPortByNumber(portNumber);
    if (port == nullptr) return false;
    port->Close();
    EventLog().Append("Port Close success").Commit(CLogFile::kWrite);
    return true;
}

bool VOK_SelectCounter(int portNumber, BYTE address, std::int32_t& handle, const StopFlag* stop) {
    CSerial* port = CSerial::FindPortByNumber(portNumber);
    if (port == nullptr) return false;
    auto* record = new VOK_XacInfo;
    {
        std::lock_guard lock(Registry().mutex);
        for (VOK_XacInfo* existing : Registry().records) {
            if (existing->port == port && existing->address == address) {
                handle = existing->handle;
                delete record;
                return true;
            }
        }
        record->address = address;
        record->port = port;
        record->handle = Registry().nextHandle++;
        record->ownerThread = GetCurrentThreadId();
        Registry().records.AddTail(record);
    }
    // Taken only after the registry lock is released, and kept until the release.
    port->Lock();
    PrepareForCounter(*port);
    handle = record->handle;

    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StopRequested(stop)) break;
        BYTE command[VOKMsg::kBufferSize];
        DWORD length = VOKMsg::kBufferSize;
        VOK_BuildAddress(address, command, length);
        if (VOK_Transact(port, VOKType::Address, command, length, VOKMsg::kBufferSize, stop)) return true;
        FailureEntry("Failed to select counter", *record);
    }
    VOK_ResetLine(portNumber, stop);
    ReleaseRecord(record);
    return false;
}

bool VOK_ReleaseCounter(std::int32_t handle) {
    VOK_XacInfo* record = nullptr;
    {
        std::lock_guard lock(Registry().mutex);
        for (VOK_XacInfo* candidate : Registry().records)
            if (record == nullptr && candidate->handle == handle) record = candidate;
        // Only the thread that holds the port for this select can give it back;
        // a thread that was handed the same handle by a second select must not
        // release a lock it does not own.
        if (record == nullptr || record->ownerThread != GetCurrentThreadId()) return false;
        if (auto* node = Registry().records.FindNode(record)) Registry().records.RemoveNode(node);
    }
    record->port->Unlock();
    delete record;
    return true;
}

bool VOK_ResetLine(int portNumber, const StopFlag* stop) {
    CSerial* port = CSerial::FindPortByNumber(portNumber);
    if (port == nullptr) return false;
    SerialPortLock hold(*port);
    BYTE command[VOKMsg::kBufferSize];
    DWORD length = VOKMsg::kBufferSize;
    VOK_BuildCommand(VOKType::ResetLine, command, length);
    return VOK_Transact(port, VOKType::ResetLine, command, length, VOKMsg::kBufferSize, stop);
}

bool VOK_ReadType(std::int32_t handle, std::string& text, const StopFlag* stop) {
    return ReadText(handle, VOKType::ReadType, text, "Failed to read type", stop);
}

bool VOK_ReadVersion(std::int32_t handle, std::string& text, const StopFlag* stop) {
    return ReadText(handle, VOKType::ReadVersion, text, "Failed to read version", stop);
}

bool VOK_ReadData(std::int32_t handle, BYTE& status, Dll<VOK_DataRec>& records, const StopFlag* stop) {
    status = 0;
    records.RemoveAll();
    VOK_XacInfo record;
    if (!FindRecord(handle, record)) return false;
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    if (!Exchange(record, VOKType::ReadData, reply, n, stop)) {
        FailureEntry("Failed to read data", record);
        return false;
    }
    if (n == 0) {
        FailureEntry("No data available", record);
        return true;
    }
    if (n <= 20) {
        FailureEntry("Failed to read data", record);
        return true;
    }
    VOK_DecodeData(reply, n, status, records);
    return true;
}

bool VOK_ReadBinSizes(std::int32_t handle, Dll<double>& sizes, const StopFlag* stop) {
    sizes.RemoveAll();
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    const Read result = ReadReply(handle, VOKType::ReadBinSizes, "Failed to read bin sizes", 1, reply, n, stop);
    if (result == Read::Good) VOK_DecodeBinSizes(reply, n, sizes);
    return result != Read::Failed;
}

bool VOK_ReadCalPts(std::int32_t handle, Dll<VOK_CalPt>& points, const StopFlag* stop) {
    points.RemoveAll();
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    const Read result = ReadReply(handle, VOKType::ReadCalPoints, "Failed to read cal pts", 1, reply, n, stop);
    if (result == Read::Good) VOK_DecodeCalPts(reply, n, points);
    return result != Read::Failed;
}

bool VOK_ReadSampleInterval(std::int32_t handle, int& seconds, const StopFlag* stop) {
    seconds = 0;
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    const Read result =
        ReadReply(handle, VOKType::ReadSampleInterval, "Failed to read sample interval", 4, reply, n, stop);
    if (result == Read::Good) seconds = VOK_DecodeSampleInterval(reply);
    return result != Read::Failed;
}

bool VOK_ReadCounterMode(std::int32_t handle, int& mode, const StopFlag* stop) {
    mode = 2;
    BYTE reply[VOKMsg::kBufferSize];
    DWORD n = 0;
    const Read result = ReadReply(handle, VOKType::ReadMode, "Failed to read counter mode", 1, reply, n, stop);
    if (result == Read::Good) mode = reply[0] == 'C' ? 0 : reply[0] == 'H' ? 1 : 2;
    return result != Read::Failed;
}

bool VOK_WriteBinSizes(std::int32_t handle, const Dll<double>& sizes, const StopFlag* stop) {
    VOK_XacInfo record;
    if (!FindRecord(handle, record)) return false;
    if (sizes.GetCount() == 0) return true;
    BYTE command[VOKMsg::kBufferSize];
    DWORD length = VOKMsg::kBufferSize;
    VOK_BuildBinSizes(sizes, command, length);
    return SendBuilt(record, VOKType::WriteBinSizes, command, length, "Failed to write bin sizes", stop);
}

bool VOK_StartSampling(std::int32_t handle, const StopFlag* stop) {
    return Command(handle, VOKType::StartSampling, "Failed to start sampling", stop);
}

bool VOK_WriteSampleInterval(std::int32_t handle, int seconds, const StopFlag* stop) {
    VOK_XacInfo record;
    if (!FindRecord(handle, record)) return false;
    BYTE command[VOKMsg::kBufferSize];
    DWORD length = VOKMsg::kBufferSize;
    VOK_BuildSampleInterval(seconds, command, length);
    if (length == VOKMsg::kBufferSize) length = 0;
    return SendBuilt(record, VOKType::WriteSampleInterval, command, length, "Failed to write sample interval", stop);
}

bool VOK_SetManualMode(std::int32_t handle, const StopFlag* stop) {
    return Command(handle, VOKType::ManualMode, "Failed to set manual mode", stop);
}

bool VOK_ClearBuffer(std::int32_t handle, const StopFlag* stop) {
    return Command(handle, VOKType::ClearBuffer, "Failed to clear buffer", stop);
}

bool VOK_DecodeData(const BYTE* payload, DWORD n, BYTE& status, Dll<VOK_DataRec>& records) {
    status = 0;
    records.RemoveAll();
    if (n <= 20) return n == 0;
    status = payload[0];
    for (DWORD k = 21; k + 10 < n; k += 11) {
        VOK_DataRec rec;
        rec.name.assign(reinterpret_cast<const char*>(&payload[k]), 3);
        char value[7];
        std::memcpy(value, &payload[k + 4], 6);
        value[6] = '\0';
        rec.value = std::strtod(value, nullptr);
        records.AddTail(rec);
    }
    return true;
}

void VOK_DecodeBinSizes(const BYTE* payload, DWORD n, Dll<double>& sizes) {
    sizes.RemoveAll();
    Dll<std::string> pieces = Pieces(payload, n);
    for (const std::string& piece : pieces) sizes.AddTail(std::strtod(piece.c_str(), nullptr));
}

void VOK_DecodeCalPts(const BYTE* payload, DWORD n, Dll<VOK_CalPt>& points) {
    points.RemoveAll();
    Dll<std::string> pieces = Pieces(payload, n);
    // Pairs of size and threshold; a size without its threshold is dropped.
    for (auto piece = pieces.begin(); piece != pieces.end(); ++piece) {
        VOK_CalPt point;
        point.size = std::strtod(piece->c_str(), nullptr);
        if (++piece == pieces.end()) break;
        point.voltage = static_cast<std::int32_t>(std::strtol(piece->c_str(), nullptr, 10));
        points.AddTail(point);
    }
}

int VOK_DecodeSampleInterval(const BYTE* payload) {
    auto twoDigits = [&](int at) {
        const char text[3] = {static_cast<char>(payload[at]), static_cast<char>(payload[at + 1]), '\0'};
        return std::atoi(text);
    };
    return twoDigits(0) * 60 + twoDigits(2);
}

int VOK_SelectCount() {
    std::lock_guard lock(Registry().mutex);
    return Registry().records.GetCount();
}
