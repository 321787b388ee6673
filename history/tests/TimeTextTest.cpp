// Times as users type them for `vok history` and as the history prints them.
#include "history/TimeText.h"

#include "model/SampleRecord.h"
#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

using history::FormatLocal;
using history::FormatUtc;
using history::ParseTime;

// Runs a test in a named time zone (a POSIX rule, so that no zone files are needed).
class TimeTextTest : public ::testing::Test {
protected:
    void SetZone(const char* zone) {
        SetEnvironmentVariableA("TZ", zone);
        tzset();
    }
    void TearDown() override {
        SetEnvironmentVariableA("TZ", nullptr);
        tzset();
    }
    static std::int64_t Parsed(const std::string& text) {
        std::int64_t ms = -42;
        std::string error;
        EXPECT_TRUE(ParseTime(text, ms, error)) << text << ": " << error;
        return ms;
    }
    static constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
};

TEST_F(TimeTextTest, UtcFormsCountFromTheEpoch) {
    EXPECT_EQ(Parsed("1970-01-01T00:00Z"), 0);
    EXPECT_EQ(Parsed("2000-01-01T00:00:00Z"), 946684800000LL);
    EXPECT_EQ(Parsed("2024-02-29T12:00:00Z"), 1709208000000LL);  // a leap day
    EXPECT_EQ(Parsed("2026-12-10T07:00Z"), 1796886000000LL);
    EXPECT_EQ(Parsed("2026-12-10 07:00:00z"), 1796886000000LL);
}

TEST_F(TimeTextTest, OffsetsAndFractionsNameTheSameMoment) {
    const std::int64_t utc = Parsed("2026-12-10T07:00Z");
    EXPECT_EQ(Parsed("2026-12-10T08:00+01:00"), utc);
    EXPECT_EQ(Parsed("2026-12-10T08:00+0100"), utc);
    EXPECT_EQ(Parsed("2026-12-10T02:00-05:00"), utc);
    EXPECT_EQ(Parsed("2026-12-10T12:30+05:30"), utc);
    EXPECT_EQ(Parsed("2026-12-10T07:00:00.250Z"), utc + 250);
    EXPECT_EQ(Parsed("2026-12-10T07:00:00.2Z"), utc + 200);
    EXPECT_EQ(Parsed("2026-12-10T07:00:00,999999Z"), utc + 999);  // finer than ms is cut, not rounded up
    EXPECT_EQ(Parsed("  2026-12-10T07:00Z \n"), utc);
}

TEST_F(TimeTextTest, TimesWithoutZoneAreLocal) {
    SetZone(kBerlin);
    EXPECT_EQ(Parsed("2026-12-10T08:00"), Parsed("2026-12-10T07:00Z"));
    EXPECT_EQ(Parsed("2026-12-10 08:00:30"), Parsed("2026-12-10T07:00:30Z"));
    EXPECT_EQ(Parsed("2026-12-10"), Parsed("2026-12-09T23:00Z"));  // local midnight
    EXPECT_EQ(Parsed("2026-07-01T12:00"), Parsed("2026-07-01T10:00Z"));  // summer time
    SetZone("EST5");
    EXPECT_EQ(Parsed("2026-12-10T02:00"), Parsed("2026-12-10T07:00Z"));
}

TEST_F(TimeTextTest, FormatsUtcAndLocalWithTheZoneOfThatMoment) {
    SetZone(kBerlin);
    const std::int64_t winter = Parsed("2026-12-10T07:00:00.250Z");
    EXPECT_EQ(FormatUtc(winter), "2026-12-10T07:00:00.250Z");
    EXPECT_EQ(FormatLocal(winter), "2026-12-10T08:00:00.250+01:00");
    EXPECT_EQ(FormatLocal(Parsed("2026-07-01T10:00Z")), "2026-07-01T12:00:00.000+02:00");
    SetZone("EST5");
    EXPECT_EQ(FormatLocal(winter), "2026-12-10T02:00:00.250-05:00");
    SetZone("IST-5:30");
    EXPECT_EQ(FormatLocal(winter), "2026-12-10T12:30:00.250+05:30");
    // Before 1970 the millisecond is still the one before the second.
    EXPECT_EQ(FormatUtc(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(FormatUtc(0), "1970-01-01T00:00:00.000Z");
}

TEST_F(TimeTextTest, WhatIsPrintedReadsBackAsTheSameMoment) {
    SetZone(kBerlin);
    for (const std::int64_t ms : {0LL, 951782400123LL, 1709208000999LL, 1796886000000LL, 1782900000500LL}) {
        EXPECT_EQ(Parsed(FormatUtc(ms)), ms) << FormatUtc(ms);
        EXPECT_EQ(Parsed(FormatLocal(ms)), ms) << FormatLocal(ms);
    }
}

TEST_F(TimeTextTest, NowAndSpansBackFromNow) {
    struct Case {
        const char* text;
        std::int64_t back;
    } cases[] = {{"now", 0}, {"-30s", 30'000}, {"-90m", 5'400'000}, {"-8h", 28'800'000}, {"-7d", 604'800'000}};
    for (const Case& c : cases) {
        const std::int64_t before = NowUtcMs();
        const std::int64_t ms = Parsed(c.text);
        const std::int64_t after = NowUtcMs();
        EXPECT_GE(ms, before - c.back) << c.text;
        EXPECT_LE(ms, after - c.back) << c.text;
    }
}

TEST_F(TimeTextTest, AnythingElseIsRefusedWithTheTextAndAnExample) {
    for (const char* text :
         {"xyz", "", "2026-13-01", "2026-00-10", "2026-02-29", "2026-04-31", "2026-12-10T24:00", "2026-12-10T08:60",
          "2026-12-10T08:00:61", "2026-12-10T08", "2026-12-10T08:00+15:00", "2026-12-10T08:00+01:", "2026-12-10Z",
          "2026-12-10T08:00Zjunk", "26-12-10", "2026-12-10T08:00:00.", "2026-12-10T08:00:00.1234567891Z", "-5x",
          "-m", "-1.5h", "+5h", "-9999999999d", "yesterday"}) {
        std::int64_t ms = 7;
        std::string error;
        EXPECT_FALSE(ParseTime(text, ms, error)) << "'" << text << "' read as " << FormatUtc(ms);
        EXPECT_EQ(ms, 7) << text;  // a refused text leaves the time alone
        EXPECT_NE(error.find(std::string("not a time: '") + text + "'"), std::string::npos) << error;
        EXPECT_NE(error.find("2026-12-10T08:00"), std::string::npos) << error;
    }
}

}  // namespace
