#pragma once
// The server's whole vocabulary towards a counter: port use, selecting a
// counter on a port (which reserves the port for the calling thread until the
// release), the read and write transactions on a select handle, and release.

#include "foundation/Dll.h"
#include "link/VOKProtocol.h"

#include <cstdint>
#include <string>

class CSerial;

// One outstanding select.
struct VOK_XacInfo {
    BYTE address = 0;  // the address byte as sent on the wire (0x80 + bus address)
    std::int32_t handle = 0;
    CSerial* port = nullptr;
    DWORD ownerThread = 0;  // the thread that holds the port for this select
};

// One record of a data reply: a 3-character label and its value.
struct VOK_DataRec {
    std::string name;
    double value = 0;
    bool operator==(const VOK_DataRec&) const = default;
};

// One calibration point: particle size and threshold.
struct VOK_CalPt {
    double size = 0;           // micrometres
    std::int32_t voltage = 0;  // millivolts
    bool operator==(const VOK_CalPt&) const = default;
};

// The counter line: 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
constexpr DWORD kCounterTimeoutMs = 2000;
// How long every later exchange of this process waits for each echo and reply
// byte (kCounterTimeoutMs unless set). A counter echoes within milliseconds,
// so a search of silent addresses may set it far shorter.
void VOK_SetEchoTimeout(DWORD milliseconds);
DWORD VOK_GetEchoTimeout();
// Discovery probes these address bytes; the bus address is the byte minus 0x80.
constexpr BYTE kFirstCounterAddress = 0x80;
constexpr BYTE kLastCounterAddress = 0xBF;

bool VOK_OpenPort(int portNumber);
bool VOK_ClosePort(int portNumber);

bool VOK_SelectCounter(int portNumber, BYTE address, std::int32_t& handle, const StopFlag* stop);
bool VOK_ReleaseCounter(std::int32_t handle);
bool VOK_ResetLine(int portNumber, const StopFlag* stop);

bool VOK_ReadType(std::int32_t handle, std::string& text, const StopFlag* stop);
bool VOK_ReadVersion(std::int32_t handle, std::string& text, const StopFlag* stop);
bool VOK_ReadData(std::int32_t handle, BYTE& status, Dll<VOK_DataRec>& records, const StopFlag* stop);
bool VOK_ReadBinSizes(std::int32_t handle, Dll<double>& sizes, const StopFlag* stop);
bool VOK_ReadCalPts(std::int32_t handle, Dll<VOK_CalPt>& points, const StopFlag* stop);
bool VOK_ReadSampleInterval(std::int32_t handle, int& seconds, const StopFlag* stop);
// mode: 0 sampling ("C"), 1 holding ("H"), 2 anything else or no answer.
bool VOK_ReadCounterMode(std::int32_t handle, int& mode, const StopFlag* stop);
bool VOK_WriteBinSizes(std::int32_t handle, const Dll<double>& sizes, const StopFlag* stop);
bool VOK_StartSampling(std::int32_t handle, const StopFlag* stop);
bool VOK_WriteSampleInterval(std::int32_t handle, int seconds, const StopFlag* stop);
bool VOK_SetManualMode(std::int32_t handle, const StopFlag* stop);
bool VOK_ClearBuffer(std::int32_t handle, const StopFlag* stop);

// Decoding of reply payloads, as the reads above apply it.
// Data: status byte 0, then 11-byte records from byte 21; false for a payload of 1 to 20 bytes.
bool VOK_DecodeData(const BYTE* payload, DWORD n, BYTE& status, Dll<VOK_DataRec>& records);
void VOK_DecodeBinSizes(const BYTE* payload, DWORD n, Dll<double>& sizes);
void VOK_DecodeCalPts(const BYTE* payload, DWORD n, Dll<VOK_CalPt>& points);
// Minutes in characters 0-1, seconds in 2-3; needs four characters.
int VOK_DecodeSampleInterval(const BYTE* payload);

// The number of outstanding selects (for diagnostics and tests).
int VOK_SelectCount();
