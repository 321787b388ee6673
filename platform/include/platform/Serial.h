#pragma once
// Serial communications on COM names, as the Windows communications calls
// serve them. CreateFileA("COM3", ...) opens the device that the registry
// lists under COM3 (see SerialNames.h); a terminal device path opens the same way.

#include "platform/File.h"

constexpr DWORD CBR_110 = 110;
constexpr DWORD CBR_300 = 300;
constexpr DWORD CBR_600 = 600;
constexpr DWORD CBR_1200 = 1200;
constexpr DWORD CBR_2400 = 2400;
constexpr DWORD CBR_4800 = 4800;
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_19200 = 19200;
constexpr DWORD CBR_38400 = 38400;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;

constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The device control block, laid out as on Windows (28 bytes).
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// ClearCommError error mask.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
// Fills a control block from a mode text such as "baud=9600 parity=N data=8 stop=1".
BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
// Queue sizes are the driver's; the call only checks its arguments.
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE port, DWORD flags);
// Reports and clears the line's error state (parity, framing, overrun and
// break counts where the driver keeps them) and the queue lengths.
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
