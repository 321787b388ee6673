// The trend window on its own: what it says without a history, the curves
// and legend it draws from records with a comm-loss gap, hovering, the
// picture and a refused range; and, with VOK_SCREENSHOT_DIR set, the
// pictures of an hour and a week of a clean room's counts.
#include "ui/TrendWindow.h"

#include "QtTestApp.h"
#include "history/HistoryStore.h"
#include "testsupport/TempDir.h"

#include <QChart>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr std::int64_t kEnd = 1'796'040'000'000;  // a December afternoon in 2026
const std::vector<double> kSizes = {0.3, 0.5, 1.0, 3.0, 5.0, 10.0};
constexpr char kDevice[] = "4400 VOK 43-01";

// A clean room's counts: busier while people work (a diurnal swing around
// the day shift), occasional spikes (a door, a glove change), Poisson noise.
// The comm-loss gap has no samples and a CommLost event at its start.
struct CleanRoom {
    std::vector<SampleRecord> samples;
    std::vector<DeviceEvent> events;
};

CleanRoom MakeCleanRoom(std::int64_t fromMs, std::int64_t toMs, int intervalSeconds, std::int64_t gapFrom,
                        std::int64_t gapTo) {
    CleanRoom room;
    std::mt19937 random(4400);
    const double base[] = {120, 40, 12, 2.5, 0.8, 0.15};  // mean counts per minute of air
    for (std::int64_t t = fromMs; t <= toMs; t += intervalSeconds * 1000LL) {
        if (t > gapFrom && t < gapTo) continue;
        const double hour = std::fmod(static_cast<double>(t) / 3600000.0, 24.0);
        const double activity = 1.0 + 0.8 * std::max(0.0, std::sin((hour - 5.0) / 14.0 * M_PI));
        const bool spike = std::uniform_real_distribution<double>(0, 1)(random) < (intervalSeconds >= 60 ? 0.002 : 0.02);
        SampleRecord s;
        s.timeMs = t;
        s.intervalSeconds = intervalSeconds;
        s.device = kDevice;
        s.port = 43;
        s.address = 1;
        s.flow = 28317;
        s.binSizes = kSizes;
        // Cumulative: each size includes the larger ones.
        std::int32_t above = 0;
        std::vector<std::int32_t> counts(kSizes.size());
        for (std::size_t b = kSizes.size(); b-- > 0;) {
            const double mean = base[b] * activity * intervalSeconds / 60.0 * (spike ? 12.0 : 1.0);
            above += std::poisson_distribution<std::int32_t>(std::max(mean - (b + 1 < kSizes.size() ? base[b + 1] * activity * intervalSeconds / 60.0 : 0), 0.01))(random);
            counts[b] = above;
        }
        s.cumulativeRaw = counts;
        room.samples.push_back(std::move(s));
    }
    DeviceEvent lost;
    lost.timeMs = gapFrom + 1000;
    lost.kind = DeviceEventKind::CommLost;
    lost.device = kDevice;
    lost.commStatus = 1;
    room.events.push_back(lost);
    DeviceEvent back = lost;
    back.timeMs = gapTo - 1000;
    back.kind = DeviceEventKind::CommRestored;
    room.events.push_back(back);
    return room;
}

int VisibleMarkers(QChart* chart) {
    int n = 0;
    for (QLegendMarker* marker : chart->legend()->markers())
        if (marker->isVisible()) ++n;
    return n;
}

}  // namespace

TEST(TrendWindowTest, WithoutAHistoryItSaysWhy) {
    QtTestApp();
    TrendWindow off(kDevice, "");
    EXPECT_NE(off.Message().toStdString().find("--history off"), std::string::npos) << off.Message().toStdString();
    TempDir dir;
    const std::string missing = (dir.Path() / "history.db").string();
    TrendWindow none(kDevice, missing);
    EXPECT_NE(none.Message().toStdString().find(missing), std::string::npos);
    std::string error;
    EXPECT_FALSE(none.ExportCsv(QString::fromStdString((dir.Path() / "out.csv").string()), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString((dir.Path() / "out.csv").string()))) << "no empty file left";
    EXPECT_FALSE(none.SavePicture(QString::fromStdString((dir.Path() / "out.png").string()), error));
}

TEST(TrendWindowTest, OneLegendEntryPerSizeAndTheGapBreaksEveryLine) {
    QtTestApp();
    const std::int64_t from = kEnd - 3600'000;
    const CleanRoom room = MakeCleanRoom(from, kEnd, 30, from + 25 * 60'000, from + 37 * 60'000);
    TrendWindow window(kDevice, "");
    window.ShowRecords(trend::RangeChoice::LastHour, {from, kEnd, true}, room.samples, room.events);
    EXPECT_TRUE(window.Message().isEmpty()) << "records shown, no message";
    ASSERT_EQ(window.Curves().size(), kSizes.size());
    for (const trend::Curve& curve : window.Curves()) EXPECT_EQ(curve.runs.size(), 2u) << curve.label;
    EXPECT_EQ(window.Chart()->series().size(), static_cast<qsizetype>(2 * kSizes.size()));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(VisibleMarkers(window.Chart()), static_cast<int>(kSizes.size()));
    // The two runs of a size share its colour.
    auto* first = qobject_cast<QLineSeries*>(window.Chart()->series()[0]);
    auto* second = qobject_cast<QLineSeries*>(window.Chart()->series()[1]);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->name(), second->name());
    EXPECT_EQ(first->color(), second->color());
    // No point lies inside the gap.
    for (QAbstractSeries* s : window.Chart()->series())
        for (const QPointF& p : qobject_cast<QLineSeries*>(s)->points())
            ASSERT_FALSE(p.x() > from + 25 * 60'000 + 1000 && p.x() < from + 37 * 60'000 - 1000);

    // Hovering names the nearest sample.
    const SampleRecord& s = room.samples[10];
    const QString text = window.HoverAt(s.timeMs + 9'000);
    EXPECT_NE(text.indexOf(QString::number(s.cumulativeRaw[0])), -1) << text.toStdString();
    EXPECT_EQ(text, QString::fromStdString(trend::HoverText(s, trend::ValueKind::CumulativeNormalized)));

    // Raw counts: the same runs, the raw values.
    window.SetValueKind(trend::ValueKind::CumulativeRaw);
    ASSERT_EQ(window.Curves().size(), kSizes.size());
    EXPECT_EQ(window.Curves()[0].runs[0][0].value, room.samples[0].cumulativeRaw[0]);

    // A reversed typed range is refused and leaves the shown range alone.
    EXPECT_FALSE(window.SetRange(trend::RangeChoice::FromTo, kEnd, kEnd - 1000));
    EXPECT_EQ(window.Range().fromMs, from);

    TempDir dir;
    std::string error;
    const QString png = QString::fromStdString((dir.Path() / "trend.png").string());
    ASSERT_TRUE(window.SavePicture(png, error)) << error;
    EXPECT_FALSE(QImage(png).isNull());
}

TEST(Screenshots, TrendHourAndWeek) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR names the folder for the pictures";
    {
        const std::int64_t from = kEnd - 3600'000;
        const CleanRoom room = MakeCleanRoom(from, kEnd, 30, from + 22 * 60'000, from + 31 * 60'000);
        TrendWindow window(kDevice, "");
        window.resize(1100, 620);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.ShowRecords(trend::RangeChoice::LastHour, {from, kEnd, true}, room.samples, room.events);
        const SampleRecord& s = room.samples[60];
        window.findChild<QLabel*>("hover")->setText(window.HoverAt(s.timeMs).replace('\n', "   "));
        QTest::qWait(200);
        EXPECT_TRUE(window.grab().save(folder + "/trend-hour.png"));
    }
    {
        const std::int64_t from = kEnd - 7 * 24 * 3600'000LL;
        const CleanRoom room =
            MakeCleanRoom(from, kEnd, 60, from + 3 * 24 * 3600'000LL + 5 * 3600'000LL, from + 3 * 24 * 3600'000LL + 14 * 3600'000LL);
        TrendWindow window(kDevice, "");
        window.resize(1100, 620);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.ShowRecords(trend::RangeChoice::Week, {from, kEnd, true}, room.samples, room.events);
        QTest::qWait(200);
        EXPECT_TRUE(window.grab().save(folder + "/trend-week.png"));
    }
}

// The window on a real history database written by the store: the last hour
// read at open, new samples and a comm loss taken by the live refresh,
// hovering read from the file, and the CSV export of every sample.
TEST(TrendWindowTest, ReadsARealHistoryLiveAndExportsIt) {
    QtTestApp();
    TempDir dir;
    history::HistoryOptions options;
    options.path = (dir.Path() / "history.db").string();
    options.commitIntervalMs = 50;
    history::HistoryStore store(options);
    std::string error;
    ASSERT_TRUE(store.Start(error)) << error;
    const std::int64_t from = kEnd - 3600'000;
    const CleanRoom room = MakeCleanRoom(from, kEnd - 10 * 60'000, 30, from + 20 * 60'000, from + 30 * 60'000);
    for (const DeviceEvent& e : room.events) store.OnDeviceEvent(e);
    for (const SampleRecord& s : room.samples) store.OnSample(s);
    SampleRecord other = room.samples.front();
    other.device = "4400 VOK 43-02";  // another counter's samples stay out of this trend
    other.cumulativeRaw.assign(kSizes.size(), 999999);
    store.OnSample(other);
    ASSERT_TRUE(store.Flush());

    std::int64_t now = kEnd - 10 * 60'000;
    TrendWindow window(kDevice, options.path);
    window.SetClock([&] { return now; });
    window.SetRange(trend::RangeChoice::LastHour);
    ASSERT_TRUE(window.Message().isEmpty()) << window.Message().toStdString();
    ASSERT_EQ(window.Curves().size(), kSizes.size());
    EXPECT_EQ(window.Curves()[0].runs.size(), 2u);
    std::size_t shown = window.Curves()[0].PointCount();
    std::size_t inRange = 0;
    for (const SampleRecord& s : room.samples) inRange += s.timeMs >= now - 3600'000 ? 1 : 0;
    EXPECT_EQ(shown, inRange);
    for (const trend::Curve& c : window.Curves())
        for (const auto& run : c.runs)
            for (const trend::Point& p : run) ASSERT_LT(p.value, 999999) << "no other counter's values";

    // Live: five more minutes, then a comm loss and a sample after it.
    SampleRecord next = room.samples.back();
    for (int i = 1; i <= 10; ++i) {
        next.timeMs += 30'000;
        store.OnSample(next);
    }
    DeviceEvent lost;
    lost.timeMs = next.timeMs + 1000;
    lost.kind = DeviceEventKind::CommLost;
    lost.device = kDevice;
    store.OnDeviceEvent(lost);
    next.timeMs += 30'000;
    store.OnSample(next);
    ASSERT_TRUE(store.Flush());
    now = next.timeMs + 1000;
    window.Refresh();
    EXPECT_EQ(window.Curves()[0].runs.size(), 3u) << "the comm loss starts a third line";
    EXPECT_EQ(window.Curves()[0].runs.back().back().timeMs, next.timeMs);
    EXPECT_EQ(window.Range().toMs, now);

    // Hovering reads the nearest sample from the file.
    const SampleRecord& s = room.samples[room.samples.size() / 2];
    EXPECT_EQ(window.HoverAt(s.timeMs + 5'000), QString::fromStdString(trend::HoverText(s, trend::ValueKind::CumulativeNormalized)));

    // The export holds every sample of the shown range, one line each.
    const QString csv = QString::fromStdString((dir.Path() / "trend.csv").string());
    ASSERT_TRUE(window.ExportCsv(csv, error)) << error;
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    std::size_t expected = 0;
    for (const SampleRecord& r : room.samples) expected += r.timeMs >= window.Range().fromMs ? 1 : 0;
    expected += 11;
    EXPECT_EQ(static_cast<std::size_t>(lines.size()), expected + 1);
    EXPECT_TRUE(lines[0].startsWith("Time UTC,Time Local,")) << lines[0].toStdString();
    EXPECT_EQ(lines[1].split(',').size(), 2 + 2 * static_cast<qsizetype>(kSizes.size()));
    // A folder that is not there: refused with the reason, nothing written.
    EXPECT_FALSE(window.ExportCsv(QString::fromStdString((dir.Path() / "no" / "such.csv").string()), error));
    EXPECT_FALSE(error.empty());
    store.Stop();
}
