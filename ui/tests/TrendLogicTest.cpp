// The trend's logic without widgets: ranges, the gap-free runs of the curves,
// the thinning of long ranges, the hover text, the CSV export's rows and the
// history's status-bar text, on sample records built here.
#include "ui/TrendLogic.h"

#include "history/TimeText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

using namespace trend;

namespace {

constexpr std::int64_t kT0 = 1'796'000'000'000;  // a December morning in 2026, UTC

SampleRecord Sample(std::int64_t timeMs, std::vector<std::int32_t> counts, int interval = 60,
                    std::vector<double> sizes = {0.3, 0.5, 1.0}) {
    SampleRecord s;
    s.timeMs = timeMs;
    s.intervalSeconds = interval;
    s.device = "4400 VOK 43-01";
    s.port = 43;
    s.address = 1;
    s.flow = 28317;  // ml/min, one cubic foot per minute
    s.binSizes = std::move(sizes);
    s.cumulativeRaw = std::move(counts);
    return s;
}

DeviceEvent Event(std::int64_t timeMs, DeviceEventKind kind) {
    DeviceEvent e;
    e.timeMs = timeMs;
    e.kind = kind;
    e.device = "4400 VOK 43-01";
    return e;
}

std::vector<std::int64_t> Times(const std::vector<Point>& run) {
    std::vector<std::int64_t> times;
    for (const Point& p : run) times.push_back(p.timeMs);
    return times;
}

std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by)) parts.push_back(part);
    if (!text.empty() && text.back() == by) parts.push_back("");
    return parts;
}

}  // namespace

TEST(TrendRange, ChoicesEndNowAndTypedRangesMustRunForward) {
    TimeRange r;
    std::string error;
    ASSERT_TRUE(RangeFor(RangeChoice::LastHour, kT0, 0, 0, r, error));
    EXPECT_EQ(r.toMs - r.fromMs, 3600'000);
    EXPECT_EQ(r.toMs, kT0);
    EXPECT_TRUE(r.live);
    ASSERT_TRUE(RangeFor(RangeChoice::Shift, kT0, 0, 0, r, error));
    EXPECT_EQ(r.toMs - r.fromMs, 8 * 3600'000);
    ASSERT_TRUE(RangeFor(RangeChoice::Week, kT0, 0, 0, r, error));
    EXPECT_EQ(r.toMs - r.fromMs, 7 * 24 * 3600'000LL);

    ASSERT_TRUE(RangeFor(RangeChoice::FromTo, kT0, kT0 - 5000, kT0 + 5000, r, error));
    EXPECT_EQ(r.fromMs, kT0 - 5000);
    EXPECT_EQ(r.toMs, kT0 + 5000);
    EXPECT_FALSE(r.live);
    const TimeRange before = r;
    EXPECT_FALSE(RangeFor(RangeChoice::FromTo, kT0, kT0, kT0, r, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(RangeFor(RangeChoice::FromTo, kT0, kT0 + 1, kT0, r, error));
    EXPECT_EQ(r.fromMs, before.fromMs) << "a refused range leaves the shown one alone";
}

TEST(TrendValues, NormalisedCountsPerMlAndLabelsBySize) {
    const SampleRecord s = Sample(kT0, {28317, 2831, 0});
    EXPECT_DOUBLE_EQ(BinValue(s, 0, ValueKind::CumulativeRaw), 28317);
    // 28317 ml sampled in the minute: 1 count per ml.
    EXPECT_DOUBLE_EQ(BinValue(s, 0, ValueKind::CumulativeNormalized), 1.0);
    EXPECT_NEAR(BinValue(s, 1, ValueKind::CumulativeNormalized), 0.1, 1e-4);
    EXPECT_DOUBLE_EQ(BinValue(s, 7, ValueKind::CumulativeRaw), 0) << "a bin the sample lacks";
    EXPECT_EQ(SizeLabel(0.3), "\u22650.3 \u00b5m");
    EXPECT_EQ(SizeLabel(10), "\u226510 \u00b5m");
    EXPECT_EQ(SizeLabel(0.25), "\u22650.25 \u00b5m");
}

TEST(TrendCurves, SamplesOnTimeMakeOneRunPerSizeSmallestFirst) {
    CurveBuilder builder(ValueKind::CumulativeRaw, 3600'000, 0);
    for (int i = 0; i < 10; ++i) builder.AddSample(Sample(kT0 + i * 60'000, {100 + i, 50 + i, i}, 60, {1.0, 0.3, 0.5}));
    const auto curves = builder.Curves();
    ASSERT_EQ(curves.size(), 3u);
    EXPECT_EQ(curves[0].sizeUm, 0.3);
    EXPECT_EQ(curves[1].sizeUm, 0.5);
    EXPECT_EQ(curves[2].sizeUm, 1.0);
    for (const Curve& c : curves) ASSERT_EQ(c.runs.size(), 1u) << c.label;
    // The 0.3 µm bin was the sample's second: its counts, not the first bin's.
    EXPECT_EQ(curves[0].runs[0][4], (Point{kT0 + 4 * 60'000, 54}));
    EXPECT_EQ(curves[2].runs[0][9], (Point{kT0 + 9 * 60'000, 109}));
    EXPECT_EQ(builder.SampleCount(), 10u);
    EXPECT_EQ(builder.LastSampleMs(), kT0 + 9 * 60'000);
}

TEST(TrendCurves, ALateSampleOrAnEventBetweenStartsANewRunInEveryCurve) {
    CurveBuilder builder(ValueKind::CumulativeRaw, 24 * 3600'000, 0);
    // On time (up to twice the interval apart), then 3 intervals missing.
    builder.AddSample(Sample(kT0, {10, 5, 1}));
    builder.AddSample(Sample(kT0 + 120'000, {11, 5, 1}));  // exactly 2x: still one run
    builder.AddSample(Sample(kT0 + 120'000 + 120'001, {12, 6, 1}));  // just over: a gap
    // A comm loss between two punctual samples breaks the line too.
    builder.AddEvent(Event(kT0 + 260'000, DeviceEventKind::CommLost));
    builder.AddEvent(Event(kT0 + 270'000, DeviceEventKind::CommRestored));
    builder.AddSample(Sample(kT0 + 300'001, {13, 6, 1}));
    // A restore alone, or a poll start, does not.
    builder.AddEvent(Event(kT0 + 310'000, DeviceEventKind::PollStarted));
    builder.AddSample(Sample(kT0 + 360'001, {14, 6, 1}));
    const auto curves = builder.Curves();
    ASSERT_EQ(curves.size(), 3u);
    for (const Curve& c : curves) {
        ASSERT_EQ(c.runs.size(), 3u) << c.label;
        EXPECT_EQ(Times(c.runs[0]), (std::vector<std::int64_t>{kT0, kT0 + 120'000}));
        EXPECT_EQ(Times(c.runs[1]), (std::vector<std::int64_t>{kT0 + 240'001}));
        EXPECT_EQ(Times(c.runs[2]), (std::vector<std::int64_t>{kT0 + 300'001, kT0 + 360'001}));
    }
}

TEST(TrendCurves, EventTimesAtTheSamplesAndProgramStops) {
    // An event at a sample's own time came after it (samples are recorded
    // when they end): it breaks the line after that sample, not before.
    CurveBuilder builder(ValueKind::CumulativeRaw, 3600'000, 0);
    builder.AddEvent(Event(kT0 + 60'000, DeviceEventKind::PollStopped));
    builder.AddEvent(Event(kT0 + 180'000, DeviceEventKind::ProgramStopped));
    builder.AddEvent(Event(kT0 + 181'000, DeviceEventKind::ProgramStarted));
    for (int i = 0; i < 5; ++i) builder.AddSample(Sample(kT0 + i * 60'000, {i, 0, 0}));
    const auto runs = builder.Curves()[0].runs;
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(Times(runs[0]), (std::vector<std::int64_t>{kT0, kT0 + 60'000}));
    EXPECT_EQ(Times(runs[1]), (std::vector<std::int64_t>{kT0 + 120'000, kT0 + 180'000}));
    EXPECT_EQ(Times(runs[2]), (std::vector<std::int64_t>{kT0 + 240'000}));
}

TEST(TrendCurves, RepeatedOrOlderSamplesAreNotDrawnTwice) {
    CurveBuilder builder(ValueKind::CumulativeRaw, 3600'000, 0);
    EXPECT_TRUE(builder.AddSample(Sample(kT0, {1, 0, 0})));
    EXPECT_TRUE(builder.AddSample(Sample(kT0 + 60'000, {2, 0, 0})));
    EXPECT_FALSE(builder.AddSample(Sample(kT0 + 60'000, {2, 0, 0})));
    EXPECT_FALSE(builder.AddSample(Sample(kT0 + 30'000, {9, 0, 0})));
    EXPECT_EQ(builder.Curves()[0].PointCount(), 2u);
    EXPECT_EQ(builder.SampleCount(), 2u);
}

TEST(TrendCurves, ReconfiguredBinsKeepEachSizeOnItsOwnCurve) {
    CurveBuilder builder(ValueKind::CumulativeRaw, 3600'000, 0);
    builder.AddSample(Sample(kT0, {100, 40}, 60, {0.3, 0.5}));
    builder.AddSample(Sample(kT0 + 60'000, {40, 7}, 60, {0.5, 5.0}));
    const auto curves = builder.Curves();
    ASSERT_EQ(curves.size(), 3u);
    EXPECT_EQ(curves[0].PointCount(), 1u);  // 0.3 µm: only the first sample had it
    ASSERT_EQ(curves[1].PointCount(), 2u);  // 0.5 µm: both, from different bin numbers
    EXPECT_EQ(curves[1].runs[0][0].value, 40);
    EXPECT_EQ(curves[1].runs[0][1].value, 40);
    EXPECT_EQ(curves[2].runs[0][0].value, 7);
}

TEST(TrendCurves, LongRangesAreThinnedToMinAndMaxPerColumnKeepingSpikes) {
    // A week of 1-minute samples into 500 columns: about 20 samples a column.
    const std::int64_t week = 7 * 24 * 3600'000LL;
    const int columns = 500;
    CurveBuilder builder(ValueKind::CumulativeRaw, week, columns);
    const int samples = 7 * 24 * 60;
    std::int32_t spikeAt = 5000;
    std::int32_t dipAt = 7000;
    for (int i = 0; i < samples; ++i) {
        std::int32_t v = 100 + (i % 7);
        if (i == spikeAt) v = 90000;
        if (i == dipAt) v = 3;
        builder.AddSample(Sample(kT0 + i * 60'000LL, {v, 1, 0}));
    }
    const auto curves = builder.Curves();
    const auto& runs = curves[0].runs;
    ASSERT_EQ(runs.size(), 1u);
    const auto& run = runs[0];
    EXPECT_LE(run.size(), static_cast<std::size_t>(2 * (columns + 2)));
    EXPECT_GT(run.size(), static_cast<std::size_t>(columns));
    EXPECT_TRUE(std::is_sorted(run.begin(), run.end(), [](const Point& a, const Point& b) { return a.timeMs < b.timeMs; }));
    auto has = [&](std::int64_t t, double v) { return std::find(run.begin(), run.end(), Point{t, v}) != run.end(); };
    EXPECT_TRUE(has(kT0 + spikeAt * 60'000LL, 90000)) << "the spike survives the thinning";
    EXPECT_TRUE(has(kT0 + dipAt * 60'000LL, 3)) << "and so does the dip";
    // Every point kept is a real sample's value.
    for (const Point& p : run) {
        const auto i = (p.timeMs - kT0) / 60'000;
        const double expected = i == spikeAt ? 90000 : i == dipAt ? 3 : 100 + (i % 7);
        ASSERT_EQ(p.value, expected) << "at sample " << i;
    }
}

TEST(TrendCurves, ThinningNeverJoinsAcrossAGapAndLiveAdditionsContinue) {
    const std::int64_t day = 24 * 3600'000LL;
    CurveBuilder builder(ValueKind::CumulativeRaw, day, 100);  // 864 s columns, 14 samples each
    for (int i = 0; i < 600; ++i) builder.AddSample(Sample(kT0 + i * 60'000LL, {i, 0, 0}));
    builder.AddEvent(Event(kT0 + 599 * 60'000LL + 1, DeviceEventKind::CommLost));
    for (int i = 601; i < 800; ++i) builder.AddSample(Sample(kT0 + i * 60'000LL, {i, 0, 0}));
    const auto before = builder.Curves()[0].runs;
    ASSERT_EQ(before.size(), 2u);
    EXPECT_LE(before[0].back().timeMs, kT0 + 599 * 60'000LL);
    EXPECT_GE(before[1].front().timeMs, kT0 + 601 * 60'000LL);
    EXPECT_EQ(before[0].back().value, 599) << "the run ends with its last sample's column";
    // Live: samples added after a snapshot land in the same columns.
    for (int i = 800; i < 900; ++i) builder.AddSample(Sample(kT0 + i * 60'000LL, {i, 0, 0}));
    const auto after = builder.Curves()[0].runs;
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1].back().value, 899);
    for (std::size_t k = 1; k < after[1].size(); ++k) ASSERT_LT(after[1][k - 1].timeMs, after[1][k].timeMs);
}

TEST(TrendCurves, DroppingTheOldEndKeepsMemoryBoundedForALiveWindow) {
    CurveBuilder builder(ValueKind::CumulativeRaw, 3600'000, 0);
    for (int i = 0; i < 300; ++i) {
        if (i == 100) builder.AddEvent(Event(kT0 + 99 * 30'000LL + 1, DeviceEventKind::CommLost));
        builder.AddSample(Sample(kT0 + i * 30'000LL, {i, 0, 0}, 30));
    }
    ASSERT_EQ(builder.Curves()[0].runs.size(), 2u);
    builder.DropBefore(kT0 + 150 * 30'000LL);
    auto runs = builder.Curves()[0].runs;
    ASSERT_EQ(runs.size(), 1u) << "the run that lies wholly before goes";
    EXPECT_EQ(runs[0].size(), 150u);
    EXPECT_EQ(runs[0].front().timeMs, kT0 + 150 * 30'000LL);
    // The next sample still joins the current run.
    builder.AddSample(Sample(kT0 + 300 * 30'000LL, {300, 0, 0}, 30));
    runs = builder.Curves()[0].runs;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].back().value, 300);
}

TEST(TrendHover, NearestSampleAndItsText) {
    const SampleRecord a = Sample(kT0, {28317, 2831, 0});
    const SampleRecord b = Sample(kT0 + 60'000, {0, 0, 0});
    EXPECT_EQ(Nearest(a, b, kT0 + 29'000)->timeMs, kT0);
    EXPECT_EQ(Nearest(a, b, kT0 + 31'000)->timeMs, kT0 + 60'000);
    EXPECT_EQ(Nearest(std::nullopt, b, kT0)->timeMs, kT0 + 60'000);
    EXPECT_FALSE(Nearest(std::nullopt, std::nullopt, kT0).has_value());

    SampleRecord alarmed = a;
    alarmed.counterFlags = 0x24;
    alarmed.commStatus = 1;
    const std::string text = HoverText(alarmed, ValueKind::CumulativeNormalized);
    const std::string local = history::FormatLocal(kT0);
    EXPECT_EQ(text.rfind(local.substr(0, 10) + " " + local.substr(11, 8), 0), 0u) << text;
    EXPECT_NE(text.find("\u22650.3 \u00b5m: 1 /ml (28317 counts)"), std::string::npos) << text;
    EXPECT_NE(text.find("\u22650.5 \u00b5m: 0.09998 /ml (2831 counts)"), std::string::npos) << text;
    EXPECT_NE(text.find("communication failure"), std::string::npos) << text;
    EXPECT_NE(text.find("0x24"), std::string::npos) << text;
    const std::string raw = HoverText(a, ValueKind::CumulativeRaw);
    EXPECT_NE(raw.find("\u22650.3 \u00b5m: 28317"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("alarm"), std::string::npos) << raw;
}

TEST(TrendCsv, HeaderCoversEverySizeAndRowsReadBackExactly) {
    std::vector<double> sizes;
    const SampleRecord first = Sample(kT0, {28317, 1000}, 60, {0.5, 0.3});
    SampleRecord second = Sample(kT0 + 60'000, {7, 3}, 60, {0.5, 5.0});
    second.flow = 28316.8;
    sizes = CsvTable::SizesOf(sizes, first);
    sizes = CsvTable::SizesOf(sizes, second);
    ASSERT_EQ(sizes, (std::vector<double>{0.3, 0.5, 5.0}));
    const CsvTable table(sizes);
    const auto header = Split(table.Header(), ',');
    ASSERT_EQ(header.size(), 8u);
    EXPECT_EQ(header[0], "Time UTC");
    EXPECT_EQ(header[1], "Time Local");
    EXPECT_EQ(header[2], "\u22650.3 \u00b5m Raw");
    EXPECT_EQ(header[7], "\u22655 \u00b5m per ml");

    const auto row1 = Split(table.Row(first), ',');
    ASSERT_EQ(row1.size(), 8u) << table.Row(first);
    EXPECT_EQ(row1[0], history::FormatUtc(kT0));
    EXPECT_EQ(row1[1], history::FormatLocal(kT0));
    EXPECT_EQ(row1[2], "1000");  // 0.3 µm was the sample's second bin
    EXPECT_EQ(row1[4], "28317");
    EXPECT_EQ(row1[5], "1");
    EXPECT_EQ(row1[6], "");
    EXPECT_EQ(row1[7], "");
    const auto row2 = Split(table.Row(second), ',');
    ASSERT_EQ(row2.size(), 8u);
    EXPECT_EQ(row2[2], "");
    EXPECT_EQ(row2[6], "3");
    // The normalised value reads back as the very double the sample gives.
    EXPECT_EQ(std::strtod(row2[5].c_str(), nullptr), second.CumulativeNormalized(0));
}
