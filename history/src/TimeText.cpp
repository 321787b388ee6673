#include "history/TimeText.h"

#include "model/SampleRecord.h"
#include "platform/Time.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

namespace history {

namespace {

unsigned DaysInMonth(int year, int month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Floor division, so that times before 1970 format as the moment they are.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// A reader of the typed text, one field at a time.
class Cursor {
public:
    explicit Cursor(const std::string& text) : text_(text) {}
    bool AtEnd() const { return pos_ == text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    bool Take(char c) {
        if (Peek() != c) return false;
        ++pos_;
        return true;
    }
    // Exactly n digits.
    bool Digits(std::size_t n, int& value) {
        if (pos_ + n > text_.size()) return false;
        int v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const char c = text_[pos_ + i];
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            v = v * 10 + (c - '0');
        }
        value = v;
        pos_ += n;
        return true;
    }
    bool IsDigit() const { return std::isdigit(static_cast<unsigned char>(Peek())) != 0; }

private:
    const std::string& text_;
    std::size_t pos_ = 0;
};

std::string Trimmed(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}

// "-90m", "-8h", "-7d", "-30s": a span back from now.
bool ParseRelative(const std::string& text, std::int64_t& ms) {
    if (text.size() < 3 || text[0] != '-') return false;
    std::int64_t unitMs = 0;
    switch (text.back()) {
    case 's': unitMs = 1000; break;
    case 'm': unitMs = 60'000; break;
    case 'h': unitMs = 3'600'000; break;
    case 'd': unitMs = 86'400'000; break;
    default: return false;
    }
    const std::string digits = text.substr(1, text.size() - 2);
    // Nine digits of days reach far past any history and cannot overflow.
    if (digits.empty() || digits.size() > 9) return false;
    std::int64_t n = 0;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        n = n * 10 + (c - '0');
    }
    ms = NowUtcMs() - n * unitMs;
    return true;
}

// Seconds since 1970 of a local wall-clock time, with the zone's rules for
// that day (mktime decides daylight saving time itself with tm_isdst -1).
bool LocalSeconds(int year, int month, int day, int hour, int minute, int second, std::int64_t& seconds) {
    std::tm wall{};
    wall.tm_year = year - 1900;
    wall.tm_mon = month - 1;
    wall.tm_mday = day;
    wall.tm_hour = hour;
    wall.tm_min = minute;
    wall.tm_sec = second;
    wall.tm_isdst = -1;
    // mktime sets the weekday only when it succeeds: -1 is also a valid time.
    wall.tm_wday = -1;
    const std::time_t t = std::mktime(&wall);
    if (t == static_cast<std::time_t>(-1) && wall.tm_wday == -1) return false;
    seconds = static_cast<std::int64_t>(t);
    return true;
}

bool ParseIso(const std::string& text, std::int64_t& ms, std::string& why) {
    Cursor in(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!in.Digits(4, year) || !in.Take('-') || !in.Digits(2, month) || !in.Take('-') || !in.Digits(2, day))
        return false;
    if (month < 1 || month > 12) {
        why = "no month " + std::to_string(month);
        return false;
    }
    if (day < 1 || static_cast<unsigned>(day) > DaysInMonth(year, month)) {
        why = "no day " + std::to_string(day) + " in that month";
        return false;
    }
    bool hasTime = false;
    if (in.Take('T') || in.Take('t') || in.Take(' ')) {
        hasTime = true;
        if (!in.Digits(2, hour) || !in.Take(':') || !in.Digits(2, minute)) return false;
        if (in.Take(':')) {
            if (!in.Digits(2, second)) return false;
            if (in.Take('.') || in.Take(',')) {
                if (!in.IsDigit()) return false;
                // Milliseconds from the first three digits; finer ones are cut off.
                int place = 100;
                for (int count = 0; in.IsDigit(); ++count) {
                    int digit = 0;
                    in.Digits(1, digit);
                    if (count >= 9) return false;
                    millis += digit * place;
                    place /= 10;
                }
            }
        }
        if (hour > 23 || minute > 59 || second > 59) {
            why = "no time of day " + std::to_string(hour) + ":" + std::to_string(minute) + ":" +
                  std::to_string(second);
            return false;
        }
    }
    bool utc = false;
    int offsetMinutes = 0;
    if (hasTime && (in.Take('Z') || in.Take('z'))) {
        utc = true;
    } else if (hasTime && (in.Peek() == '+' || in.Peek() == '-')) {
        const int sign = in.Peek() == '-' ? -1 : 1;
        in.Take(in.Peek());
        int oh = 0, om = 0;
        if (!in.Digits(2, oh)) return false;
        if (in.Take(':')) {
            if (!in.Digits(2, om)) return false;
        } else if (in.IsDigit()) {
            if (!in.Digits(2, om)) return false;
        }
        if (oh > 14 || om > 59) {
            why = "no zone offset of " + std::to_string(oh) + ":" + std::to_string(om);
            return false;
        }
        utc = true;
        offsetMinutes = sign * (oh * 60 + om);
    }
    if (!in.AtEnd()) return false;

    std::int64_t seconds = 0;
    if (utc) {
        seconds = platform::DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                  hour * 3600 + minute * 60 + second - static_cast<std::int64_t>(offsetMinutes) * 60;
    } else if (!LocalSeconds(year, month, day, hour, minute, second, seconds)) {
        why = "the local time zone has no such time";
        return false;
    }
    ms = seconds * 1000 + millis;
    return true;
}

std::string Format(std::int64_t ms, std::int64_t offsetSeconds, bool asUtc) {
    const std::int64_t local = ms + offsetSeconds * 1000;
    const std::int64_t days = FloorDiv(local, 86'400'000);
    const std::int64_t msOfDay = local - days * 86'400'000;
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    platform::CivilFromDays(days, y, m, d);
    char text[64];
    const int hh = static_cast<int>(msOfDay / 3'600'000), mm = static_cast<int>(msOfDay / 60'000 % 60),
              ss = static_cast<int>(msOfDay / 1000 % 60), fff = static_cast<int>(msOfDay % 1000);
    if (asUtc) {
        std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<long long>(y), m, d, hh,
                      mm, ss, fff);
    } else {
        const std::int64_t off = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
        std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d", static_cast<long long>(y), m,
                      d, hh, mm, ss, fff, offsetSeconds < 0 ? '-' : '+', static_cast<int>(off / 3600),
                      static_cast<int>(off / 60 % 60));
    }
    return text;
}

// The local zone's offset from UTC at a moment, in seconds.
std::int64_t LocalOffsetSeconds(std::int64_t ms) {
    // 100-ns ticks since 1601, which the platform's zone conversion takes.
    constexpr std::int64_t kEpochMs = 11'644'473'600'000LL;
    const std::int64_t secondsMs = FloorDiv(ms, 1000) * 1000;
    if (secondsMs + kEpochMs < 0) return 0;
    const auto ticks = static_cast<std::uint64_t>(secondsMs + kEpochMs) * 10'000ULL;
    const FILETIME utc = UInt64ToFileTime(ticks);
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
    const auto localTicks = static_cast<std::int64_t>(FileTimeToUInt64(local));
    return (localTicks - static_cast<std::int64_t>(ticks)) / 10'000'000;
}

}  // namespace

bool ParseTime(const std::string& text, std::int64_t& ms, std::string& error) {
    const std::string t = Trimmed(text);
    if (t == "now") {
        ms = NowUtcMs();
        return true;
    }
    if (ParseRelative(t, ms)) return true;
    std::string why;
    if (ParseIso(t, ms, why)) return true;
    error = "not a time: '" + text + "'" + (why.empty() ? "" : " (" + why + ")") +
            " (use ISO 8601, e.g. 2026-12-10T08:00 or 2026-12-10T07:00Z, or now, -90m, -8h, -7d)";
    return false;
}

std::string FormatUtc(std::int64_t ms) { return Format(ms, 0, true); }

std::string FormatLocal(std::int64_t ms) { return Format(ms, LocalOffsetSeconds(ms), false); }

}  // namespace history
