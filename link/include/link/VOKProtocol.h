#pragma once
// Building counter commands, the checksum field, and the exchange of one
// command and its reply over a port, byte by byte against the counter's echo.

#include "foundation/Dll.h"
#include "platform/WinTypes.h"

#include <atomic>
#include <string>

class CSerial;

// Set by another thread to abandon the work on the line; read without a lock.
using StopFlag = std::atomic<bool>;

// Message types; the letter table is indexed by them.
namespace VOKType {
constexpr int Address = 0;
constexpr int ReadData = 2;
constexpr int ClearBuffer = 3;
constexpr int ReadVersion = 4;
constexpr int ReadMode = 5;
constexpr int ReadType = 6;
constexpr int StartSampling = 8;
constexpr int ReadCalPoints = 11;
constexpr int ReadBinSizes = 13;
constexpr int WriteBinSizes = 14;
constexpr int ManualMode = 16;
constexpr int ReadSampleInterval = 19;
constexpr int WriteSampleInterval = 20;
constexpr int ResetLine = 21;
constexpr int None = 22;
}  // namespace VOKType

inline constexpr char kVOKTypeLetters[] = " DACEMTcdeBKKPPab:/LL ?";

// The builders take the buffer's capacity in length and return the bytes built there.
void VOK_BuildAddress(BYTE address, BYTE* buffer, DWORD& length);
void VOK_BuildCommand(int type, BYTE* buffer, DWORD& length);
void VOK_BuildSampleInterval(int seconds, BYTE* buffer, DWORD& length);
void VOK_BuildBinSizes(const Dll<double>& sizes, BYTE* buffer, DWORD& length);

// Sum of bytes[first..last], low 16 bits; 0 when first > last.
DWORD VOK_Checksum(const BYTE* bytes, long first, long last);
// The 13-character field " C/S 00XXXX\r\n" of a sum.
std::string VOK_ChecksumField(DWORD sum);

// Runs one exchange: buffer holds length command bytes and receives the
// payload; true when the reply was good.
bool VOK_Transact(CSerial* port, int type, BYTE* buffer, DWORD& length, DWORD capacity, const StopFlag* stop);

inline bool StopRequested(const StopFlag* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }
