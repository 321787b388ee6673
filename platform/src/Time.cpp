#include "platform/Time.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string>

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kEpochDifference = 11'644'473'600ULL;

std::uint64_t NowTicks() {
    using namespace std::chrono;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kEpochDifference * kTicksPerSecond + static_cast<std::uint64_t>(since1970 / 100);
}


void TicksToSystemTime(std::uint64_t ticks, SYSTEMTIME& st) {
    const std::uint64_t totalSeconds = ticks / kTicksPerSecond;
    const auto days = static_cast<std::int64_t>(totalSeconds / 86400) - static_cast<std::int64_t>(kEpochDifference / 86400);
    const std::uint64_t secondOfDay = totalSeconds % 86400;
    std::int64_t y;
    unsigned m, d;
    platform::CivilFromDays(days, y, m, d);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    // 1970-01-01 was a Thursday.
    st.wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);
    st.wHour = static_cast<WORD>(secondOfDay / 3600);
    st.wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    st.wSecond = static_cast<WORD>(secondOfDay % 60);
    st.wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / 10'000);
}

bool ValidSystemTime(const SYSTEMTIME& st) {
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1) return false;
    const bool leap = (st.wYear % 4 == 0 && st.wYear % 100 != 0) || st.wYear % 400 == 0;
    const unsigned maxDay = st.wMonth == 2 && !leap ? 28 : kDays[st.wMonth - 1];
    return st.wDay <= maxDay && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Offset of local time from UTC, in seconds, at the given UTC moment.
long UtcOffsetAt(std::time_t utc) {
    std::tm local{};
    if (localtime_r(&utc, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

std::int64_t TicksToUnixSeconds(std::uint64_t ticks) {
    return static_cast<std::int64_t>(ticks / kTicksPerSecond) - static_cast<std::int64_t>(kEpochDifference);
}

locale_t UserLocale() {
    static locale_t locale = [] {
        locale_t l = newlocale(LC_ALL_MASK, "", nullptr);
        if (l == nullptr) l = newlocale(LC_ALL_MASK, "C", nullptr);
        return l;
    }();
    return locale;
}

std::tm ToTm(const SYSTEMTIME& st) {
    std::tm tm{};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_wday = static_cast<int>(platform::DaysFromCivil(st.wYear, st.wMonth, st.wDay) % 7 + 11) % 7;
    tm.tm_isdst = -1;
    return tm;
}

// Expands a Windows date or time picture ("dd/MM/yyyy", "HH:mm:ss", "h:mm tt")
// into text; quoted parts are copied as they stand.
std::string ExpandPicture(const char* picture, const SYSTEMTIME& st) {
    std::string out;
    auto two = [](unsigned v) {
        char b[8];
        std::snprintf(b, sizeof b, "%02u", v % 100);
        return std::string(b);
    };
    static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                          "July",    "August",   "September", "October", "November", "December"};
    static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (const char* p = picture; *p != '\0';) {
        const char c = *p;
        if (c == '\'') {
            for (++p; *p != '\0' && *p != '\''; ++p) out += *p;
            if (*p == '\'') ++p;
            continue;
        }
        std::size_t run = 1;
        while (p[run] == c) ++run;
        const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        switch (c) {
        case 'd':
            if (run == 1) out += std::to_string(st.wDay);
            else if (run == 2) out += two(st.wDay);
            else if (run == 3) out += std::string(kDays[ToTm(st).tm_wday], 3);
            else out += kDays[ToTm(st).tm_wday];
            break;
        case 'M':
            if (run == 1) out += std::to_string(st.wMonth);
            else if (run == 2) out += two(st.wMonth);
            else if (run == 3) out += std::string(kMonths[st.wMonth - 1], 3);
            else out += kMonths[st.wMonth - 1];
            break;
        case 'y':
            if (run <= 2) out += run == 1 ? std::to_string(st.wYear % 100) : two(st.wYear);
            else out += std::to_string(st.wYear);
            break;
        case 'h': out += run == 1 ? std::to_string(hour12) : two(hour12); break;
        case 'H': out += run == 1 ? std::to_string(st.wHour) : two(st.wHour); break;
        case 'm': out += run == 1 ? std::to_string(st.wMinute) : two(st.wMinute); break;
        case 's': out += run == 1 ? std::to_string(st.wSecond) : two(st.wSecond); break;
        case 't': out += run == 1 ? std::string(1, st.wHour < 12 ? 'A' : 'P') : std::string(st.wHour < 12 ? "AM" : "PM"); break;
        default: out.append(run, c); break;
        }
        p += run;
    }
    return out;
}

std::string FormatWithLocale(const std::string& strftimeFormat, const SYSTEMTIME& st) {
    std::tm tm = ToTm(st);
    char buffer[256];
    std::size_t n = strftime_l(buffer, sizeof buffer, strftimeFormat.c_str(), &tm, UserLocale());
    return std::string(buffer, n);
}

int CopyOut(const std::string& text, LPSTR buffer, int size) {
    const int needed = static_cast<int>(text.size()) + 1;
    if (size == 0) return needed;
    if (buffer == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), static_cast<std::size_t>(needed));
    return needed;
}

bool SupportedLocale(LCID locale) { return locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT || locale == 0; }

}  // namespace

namespace platform {

// Howard Hinnant's algorithms.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

}  // namespace platform

DWORD GetTickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint64_t FileTimeToUInt64(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME UInt64ToFileTime(std::uint64_t value) {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

void GetSystemTimeAsFileTime(LPFILETIME time) { *time = UInt64ToFileTime(NowTicks()); }

void GetSystemTime(LPSYSTEMTIME time) { TicksToSystemTime(NowTicks(), *time); }

void GetLocalTime(LPSYSTEMTIME time) {
    FILETIME utc = UInt64ToFileTime(NowTicks());
    FILETIME local;
    FileTimeToLocalFileTime(&utc, &local);
    TicksToSystemTime(FileTimeToUInt64(local), *time);
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    const std::uint64_t ticks = FileTimeToUInt64(*fileTime);
    if (ticks > 0x7FFFFFFFFFFFFFFFULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TicksToSystemTime(ticks, *systemTime);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME fileTime) {
    if (!ValidSystemTime(*st)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::int64_t days = platform::DaysFromCivil(st->wYear, st->wMonth, st->wDay) + static_cast<std::int64_t>(kEpochDifference / 86400);
    const std::uint64_t seconds = static_cast<std::uint64_t>(days) * 86400 + st->wHour * 3600u + st->wMinute * 60u + st->wSecond;
    *fileTime = UInt64ToFileTime(seconds * kTicksPerSecond + st->wMilliseconds * 10'000ULL);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local) {
    const std::uint64_t ticks = FileTimeToUInt64(*utc);
    const long offset = UtcOffsetAt(static_cast<std::time_t>(TicksToUnixSeconds(ticks)));
    *local = UInt64ToFileTime(ticks + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset) * static_cast<std::int64_t>(kTicksPerSecond)));
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc) {
    const std::uint64_t ticks = FileTimeToUInt64(*local);
    // The offset that applies is the one at the UTC moment we are looking for;
    // one refinement step settles it except inside a clock change.
    const std::time_t asIfUtc = static_cast<std::time_t>(TicksToUnixSeconds(ticks));
    long offset = UtcOffsetAt(asIfUtc);
    offset = UtcOffsetAt(asIfUtc - offset);
    *utc = UInt64ToFileTime(ticks - static_cast<std::uint64_t>(static_cast<std::int64_t>(offset) * static_cast<std::int64_t>(kTicksPerSecond)));
    return TRUE;
}

int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR buffer, int size) {
    if (!SupportedLocale(locale) || size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEMTIME st;
    if (date == nullptr) GetLocalTime(&st);
    else st = *date;
    if (!ValidSystemTime(st)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (format != nullptr) text = ExpandPicture(format, st);
    else if (flags & DATE_LONGDATE) text = FormatWithLocale("%A, %e %B %Y", st);
    else text = FormatWithLocale(nl_langinfo_l(D_FMT, UserLocale()), st);
    return CopyOut(text, buffer, size);
}

int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR buffer, int size) {
    if (!SupportedLocale(locale) || size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEMTIME st;
    if (time == nullptr) GetLocalTime(&st);
    else st = *time;
    if (st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (format != nullptr) {
        text = ExpandPicture(format, st);
    } else {
        std::string pattern = nl_langinfo_l(T_FMT, UserLocale());
        if (pattern.empty()) pattern = "%H:%M:%S";
        if (flags & TIME_NOSECONDS) {
            for (const char* seconds : {":%S", ".%S", "%S"}) {
                if (auto at = pattern.find(seconds); at != std::string::npos) {
                    pattern.erase(at, std::strlen(seconds));
                    break;
                }
            }
        }
        text = FormatWithLocale(pattern, st);
    }
    return CopyOut(text, buffer, size);
}
