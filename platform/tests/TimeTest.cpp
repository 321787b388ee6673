#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

TEST(FileTime, CountsHundredNanosecondsSince1601) {
    SYSTEMTIME unixEpoch = Make(1970, 1, 1, 0, 0, 0, 0);
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&unixEpoch, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), 116444736000000000ULL);

    SYSTEMTIME start = Make(1601, 1, 1, 0, 0, 0, 0);
    ASSERT_TRUE(SystemTimeToFileTime(&start, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), 0u);

    // A leap day with milliseconds, round trip, and its weekday (2024-02-29 was a Thursday).
    SYSTEMTIME leap = Make(2024, 2, 29, 23, 59, 58, 999);
    ASSERT_TRUE(SystemTimeToFileTime(&leap, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 2);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wHour, 23);
    EXPECT_EQ(back.wMinute, 59);
    EXPECT_EQ(back.wSecond, 58);
    EXPECT_EQ(back.wMilliseconds, 999);
    EXPECT_EQ(back.wDayOfWeek, 4);
}

TEST(FileTime, RejectsImpossibleDates) {
    FILETIME ft;
    for (SYSTEMTIME bad : {Make(2023, 2, 29, 0, 0, 0, 0), Make(2024, 13, 1, 0, 0, 0, 0), Make(1600, 12, 31, 0, 0, 0, 0),
                           Make(2024, 4, 31, 0, 0, 0, 0), Make(2024, 1, 1, 24, 0, 0, 0)}) {
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft)) << bad.wYear << "-" << bad.wMonth << "-" << bad.wDay;
    }
    SYSTEMTIME century = Make(2000, 2, 29, 0, 0, 0, 0);
    EXPECT_TRUE(SystemTimeToFileTime(&century, &ft)) << "2000 was a leap year";
}

TEST(FileTime, LocalConversionsRoundTripAndMatchTheLocalClock) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILETIME local, utc;
    ASSERT_TRUE(FileTimeToLocalFileTime(&now, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ(FileTimeToUInt64(utc), FileTimeToUInt64(now));

    SYSTEMTIME fromLocal{}, clock{};
    FileTimeToSystemTime(&local, &fromLocal);
    GetLocalTime(&clock);
    FILETIME a, b;
    SystemTimeToFileTime(&fromLocal, &a);
    SystemTimeToFileTime(&clock, &b);
    const auto diff = static_cast<long long>(FileTimeToUInt64(b)) - static_cast<long long>(FileTimeToUInt64(a));
    EXPECT_LT(diff < 0 ? -diff : diff, 20'000'000LL) << "GetLocalTime is the local form of the current FILETIME";
}

TEST(LocaleTexts, ShortDateAndTimeAreFormattedAndSizedLikeTheWindowsCalls) {
    SYSTEMTIME st = Make(2026, 12, 7, 9, 40, 6, 123);
    int needed = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, nullptr, 0);
    ASSERT_GT(needed, 1);
    std::string date(static_cast<std::size_t>(needed), '\0');
    EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date.data(), needed), needed);
    EXPECT_EQ(std::strlen(date.c_str()) + 1, static_cast<std::size_t>(needed));
    EXPECT_NE(date.find("12"), std::string::npos);

    char tooSmall[3];
    EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, tooSmall, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    char time[64];
    ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, sizeof time), 0);
    EXPECT_NE(std::string(time).find("40"), std::string::npos);
    EXPECT_NE(std::string(time).find("06"), std::string::npos);

    char picture[64];
    ASSERT_GT(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, "dd/MM/yyyy", picture, sizeof picture), 0);
    EXPECT_STREQ(picture, "07/12/2026");
    ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, "hh':'mm tt", picture, sizeof picture), 0);
    EXPECT_STREQ(picture, "09:40 AM");

    SYSTEMTIME bad = Make(2026, 2, 30, 0, 0, 0, 0);
    EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, picture, sizeof picture), 0);
}

}  // namespace
