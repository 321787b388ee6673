#pragma once
// The trend of one counter device from the history: a curve per particle
// size over the last hour, a shift, a day, a week or a typed range; the
// relative ranges follow the clock and take the new samples every few
// seconds. A line breaks where samples are missing. Hovering a line shows
// the nearest sample; the shown range exports to CSV and the chart to PNG.
// One window per device; without a history the window says why.

#include "ui/TrendLogic.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QChart;
class QChartView;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QPushButton;

namespace history {
class HistoryReader;
}

class TrendWindow : public QWidget {
public:
    static constexpr int kRefreshMs = 5000;

    // historyPath empty: the program keeps no history.
    TrendWindow(std::string device, std::string historyPath, QWidget* parent = nullptr);
    ~TrendWindow() override;

    // The device's window, raised when it is open already; made from the
    // program's history otherwise.
    static TrendWindow* Open(const std::string& device, QWidget* parent);

    // The clock of the relative ranges (tests and pictures fix it).
    void SetClock(std::function<std::int64_t()> clock) { clock_ = std::move(clock); }
    // False with the reason (shown below the chart too) for a typed range that runs backwards.
    bool SetRange(trend::RangeChoice choice, std::int64_t fromMs = 0, std::int64_t toMs = 0);
    void SetValueKind(trend::ValueKind kind);
    // Reads the range again from the start.
    void Reload();
    // Takes the samples added since the last read (a live range slides on).
    void Refresh();

    // Shows the given records instead of the history's (the records a caller
    // already holds, and the pictures); hovering then finds its samples among them.
    void ShowRecords(trend::RangeChoice choice, const trend::TimeRange& range, std::vector<SampleRecord> samples,
                     const std::vector<DeviceEvent>& events);

    // The shown range's samples to a CSV file, written whole or not at all.
    bool ExportCsv(const QString& path, std::string& error);
    bool SavePicture(const QString& path, std::string& error);

    // The text of the sample nearest to timeMs, as hovering shows it; empty without one.
    QString HoverAt(std::int64_t timeMs);

    const std::string& Device() const { return device_; }
    const trend::TimeRange& Range() const { return range_; }
    // What the window shows instead of a chart, empty while it shows one.
    QString Message() const;
    const std::vector<trend::Curve>& Curves() const { return curves_; }
    QChart* Chart() const { return chart_; }

private:
    bool OpenReader();
    void ShowMessage(const QString& text);
    void Redraw();
    void ReadFrom(std::int64_t fromMs, std::int64_t eventsFromMs);
    void BuildFromGiven();
    void ApplyRangeControls();
    void AskExportCsv();
    void AskSavePicture();

    std::string device_;
    std::string path_;
    std::unique_ptr<history::HistoryReader> reader_;
    std::unique_ptr<trend::CurveBuilder> builder_;
    std::vector<trend::Curve> curves_;
    std::vector<SampleRecord> given_;  // ShowRecords' samples, in time order
    std::vector<DeviceEvent> givenEvents_;
    bool showsGiven_ = false;
    trend::RangeChoice choice_ = trend::RangeChoice::LastHour;
    trend::ValueKind kind_ = trend::ValueKind::CumulativeNormalized;
    trend::TimeRange range_;
    std::int64_t typedFrom_ = 0;
    std::int64_t typedTo_ = 0;
    std::int64_t eventsReadTo_ = 0;
    std::function<std::int64_t()> clock_;
    QTimer refresh_;

    QComboBox* rangeBox_ = nullptr;
    QDateTimeEdit* fromEdit_ = nullptr;
    QDateTimeEdit* toEdit_ = nullptr;
    QPushButton* showButton_ = nullptr;
    QComboBox* valueBox_ = nullptr;
    QPushButton* csvButton_ = nullptr;
    QPushButton* pngButton_ = nullptr;
    QChart* chart_ = nullptr;
    QChartView* view_ = nullptr;
    QLabel* message_ = nullptr;
    QLabel* hover_ = nullptr;
};
