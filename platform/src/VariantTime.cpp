// DATE values: days since 30 December 1899 with the time of day as the fraction.

#include "OleAutoDate.h"

#include <cmath>

namespace oleauto {

namespace {

// Days from 1 January 1970 to 30 December 1899.
constexpr std::int64_t kDateEpoch = -25569;
// Days from 1 January 1601 (the FILETIME epoch) to 30 December 1899.
constexpr std::int64_t kFileTimeEpochDays = 109205;
constexpr std::uint64_t kTicksPerMs = 10'000;

bool YearInRange(std::int64_t day) {
    std::int64_t y;
    unsigned m, d;
    CivilFromDay(day, y, m, d);
    return y >= 100 && y <= 9999;
}

unsigned DaysInMonth(std::int64_t year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

// Proleptic Gregorian calendar, counted from the DATE epoch.
std::int64_t DayFromCivil(std::int64_t year, unsigned month, unsigned dayOfMonth) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + dayOfMonth - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468 - kDateEpoch;
}

void CivilFromDay(std::int64_t day, std::int64_t& year, unsigned& month, unsigned& dayOfMonth) {
    const std::int64_t z = day + kDateEpoch + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    dayOfMonth = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
}

bool SplitDate(DATE value, std::int64_t& day, std::int64_t& msOfDay) {
    // Far outside the valid years; also keeps the integer casts below defined.
    if (!std::isfinite(value) || std::fabs(value) > 4'000'000.0) return false;
    const double whole = std::trunc(value);
    // Before the epoch the fraction still counts forward from that day's midnight.
    const double fraction = std::fabs(value - whole);
    day = static_cast<std::int64_t>(whole);
    msOfDay = static_cast<std::int64_t>(std::llround(fraction * static_cast<double>(kMsPerDay)));
    if (msOfDay >= kMsPerDay) {
        msOfDay -= kMsPerDay;
        ++day;
    }
    return YearInRange(day);
}

bool JoinDate(std::int64_t day, std::int64_t msOfDay, DATE& value) {
    if (msOfDay < 0 || msOfDay >= kMsPerDay || !YearInRange(day)) return false;
    const double fraction = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
    const auto whole = static_cast<double>(day);
    value = day < 0 ? whole - fraction : whole + fraction;
    return true;
}

}  // namespace oleauto

INT VariantTimeToSystemTime(DOUBLE time, LPSYSTEMTIME systemTime) {
    std::int64_t day, ms;
    if (systemTime == nullptr || !oleauto::SplitDate(time, day, ms)) return FALSE;
    std::int64_t y;
    unsigned m, d;
    oleauto::CivilFromDay(day, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    // 30 December 1899 was a Saturday.
    st.wDayOfWeek = static_cast<WORD>(((day % 7) + 13) % 7);
    st.wHour = static_cast<WORD>(ms / 3'600'000);
    st.wMinute = static_cast<WORD>(ms / 60'000 % 60);
    st.wSecond = static_cast<WORD>(ms / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(ms % 1000);
    *systemTime = st;
    return TRUE;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* systemTime, DOUBLE* time) {
    if (systemTime == nullptr || time == nullptr) return FALSE;
    const SYSTEMTIME& st = *systemTime;
    if (st.wYear < 100 || st.wYear > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > oleauto::DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999) {
        return FALSE;
    }
    const std::int64_t day = oleauto::DayFromCivil(st.wYear, st.wMonth, st.wDay);
    const std::int64_t ms = ((st.wHour * 60 + st.wMinute) * 60 + st.wSecond) * 1000LL + st.wMilliseconds;
    return oleauto::JoinDate(day, ms, *time) ? TRUE : FALSE;
}

bool FileTimeToVariantTime(const FILETIME& fileTime, DATE* time) {
    if (time == nullptr) return false;
    const std::uint64_t ticks = FileTimeToUInt64(fileTime);
    // Rounded to the millisecond without adding to ticks, which may be near 2^64.
    const std::uint64_t ms = ticks / oleauto::kTicksPerMs + (ticks % oleauto::kTicksPerMs >= oleauto::kTicksPerMs / 2 ? 1 : 0);
    const auto day = static_cast<std::int64_t>(ms / oleauto::kMsPerDay) - oleauto::kFileTimeEpochDays;
    return oleauto::JoinDate(day, static_cast<std::int64_t>(ms % oleauto::kMsPerDay), *time);
}

bool VariantTimeToFileTime(DATE time, FILETIME* fileTime) {
    std::int64_t day, ms;
    if (fileTime == nullptr || !oleauto::SplitDate(time, day, ms)) return false;
    const std::int64_t sinceFileEpoch = day + oleauto::kFileTimeEpochDays;
    if (sinceFileEpoch < 0) return false;  // before 1601, which a FILETIME cannot hold
    const auto totalMs = static_cast<std::uint64_t>(sinceFileEpoch) * oleauto::kMsPerDay + static_cast<std::uint64_t>(ms);
    *fileTime = UInt64ToFileTime(totalMs * oleauto::kTicksPerMs);
    return true;
}
