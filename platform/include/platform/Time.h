#pragma once
// Clock readings, SYSTEMTIME and FILETIME with their conversions, and the
// user's locale date and time texts.

#include "platform/WinTypes.h"

#include <cstdint>

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;  // 1..12
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// 100-nanosecond intervals since 1 January 1601, split in two 32-bit halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

// Milliseconds since an arbitrary start (the system's boot); wraps after 49.7 days.
DWORD GetTickCount();

void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetSystemTimeAsFileTime(LPFILETIME time);

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
// Conversions between UTC and the local time zone, with the zone's rules at the given moment.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc);

namespace platform {
// Days from 1970-01-01 of a proleptic Gregorian date, and the date of such a
// day count: calendar arithmetic that needs neither the C library's time
// range nor its inverse of gmtime, which is not standard.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d);
}  // namespace platform

// The 64-bit count of a FILETIME and back.
std::uint64_t FileTimeToUInt64(const FILETIME& time);
FILETIME UInt64ToFileTime(std::uint64_t value);

// Locale texts. Only the user's default locale and the forms the system uses
// (short date; time with seconds) are served; a null format means the locale's own.
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr DWORD DATE_SHORTDATE = 0x00000001;
constexpr DWORD DATE_LONGDATE = 0x00000002;
constexpr DWORD TIME_NOSECONDS = 0x00000002;

// Both return the characters written including the terminating zero, or the
// size needed when size is 0, or 0 on failure (GetLastError says why).
int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR buffer, int size);
int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR buffer, int size);
