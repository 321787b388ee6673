#include "ui/TrendWindow.h"

#include "history/HistoryReader.h"
#include "history/HistoryStore.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QToolTip>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>

namespace {

// Distinct colours in size order, legible on white and in grey print.
const QColor kColours[] = {QColor(31, 119, 180), QColor(255, 127, 14), QColor(44, 160, 44), QColor(214, 39, 40),
                           QColor(148, 103, 189), QColor(140, 86, 75),  QColor(227, 119, 194), QColor(127, 127, 127)};

constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();

const char* RangeName(trend::RangeChoice choice) {
    switch (choice) {
    case trend::RangeChoice::LastHour: return "last hour";
    case trend::RangeChoice::Shift: return "last shift (8 h)";
    case trend::RangeChoice::Day: return "last day";
    case trend::RangeChoice::Week: return "last week";
    case trend::RangeChoice::FromTo: return "";
    }
    return "";
}

std::map<std::string, QPointer<TrendWindow>>& OpenWindows() {
    static std::map<std::string, QPointer<TrendWindow>> windows;
    return windows;
}

}  // namespace

TrendWindow::TrendWindow(std::string device, std::string historyPath, QWidget* parent)
    : QWidget(parent, Qt::Window), device_(std::move(device)), path_(std::move(historyPath)) {
    setObjectName("trendWindow");
    setWindowTitle(QString::fromStdString("Trend \u2013 " + device_));
    clock_ = [] { return NowUtcMs(); };

    rangeBox_ = new QComboBox(this);
    rangeBox_->setObjectName("range");
    rangeBox_->addItems({"Last hour", "Shift (8 h)", "Day", "Week", "From \u2013 to"});
    fromEdit_ = new QDateTimeEdit(this);
    fromEdit_->setObjectName("from");
    toEdit_ = new QDateTimeEdit(this);
    toEdit_->setObjectName("to");
    for (QDateTimeEdit* edit : {fromEdit_, toEdit_}) {
        edit->setDisplayFormat("yyyy-MM-dd HH:mm");
        edit->setCalendarPopup(true);
    }
    showButton_ = new QPushButton("&Show", this);
    showButton_->setObjectName("show");
    valueBox_ = new QComboBox(this);
    valueBox_->setObjectName("values");
    valueBox_->addItems({"Counts per ml", "Raw counts"});
    csvButton_ = new QPushButton("Export &CSV\u2026", this);
    csvButton_->setObjectName("exportCsv");
    pngButton_ = new QPushButton("Save &Picture\u2026", this);
    pngButton_->setObjectName("savePicture");

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel("&Range:", this));
    controls->addWidget(rangeBox_);
    controls->addWidget(fromEdit_);
    controls->addWidget(new QLabel("\u2013", this));
    controls->addWidget(toEdit_);
    controls->addWidget(showButton_);
    controls->addSpacing(12);
    controls->addWidget(valueBox_);
    controls->addStretch(1);
    controls->addWidget(csvButton_);
    controls->addWidget(pngButton_);
    if (auto* label = qobject_cast<QLabel*>(controls->itemAt(0)->widget())) label->setBuddy(rangeBox_);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignRight);
    chart_->setMargins(QMargins(4, 4, 4, 4));
    view_ = new QChartView(chart_, this);
    view_->setObjectName("chart");
    view_->setRenderHint(QPainter::Antialiasing);
    view_->setMinimumSize(640, 360);
    message_ = new QLabel(this);
    message_->setObjectName("message");
    message_->setAlignment(Qt::AlignCenter);
    message_->setWordWrap(true);
    message_->hide();
    hover_ = new QLabel(this);
    hover_->setObjectName("hover");
    hover_->setText("Point at a line for the sample's values.");
    // A long sample text wraps; it never widens the window.
    hover_->setWordWrap(true);
    hover_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(view_, 1);
    layout->addWidget(message_, 1);
    layout->addWidget(hover_);
    resize(1000, 600);

    const QDateTime now = QDateTime::currentDateTime();
    toEdit_->setDateTime(now);
    fromEdit_->setDateTime(now.addDays(-1));
    ApplyRangeControls();

    connect(rangeBox_, &QComboBox::currentIndexChanged, this, [this](int index) {
        const auto choice = static_cast<trend::RangeChoice>(index);
        ApplyRangeControls();
        // A typed range waits for Show; the others show at once.
        if (choice != trend::RangeChoice::FromTo) SetRange(choice);
    });
    connect(showButton_, &QPushButton::clicked, this, [this] {
        if (!SetRange(trend::RangeChoice::FromTo, fromEdit_->dateTime().toMSecsSinceEpoch(),
                      toEdit_->dateTime().toMSecsSinceEpoch()))
            QMessageBox::warning(this, windowTitle(), hover_->text());
    });
    connect(valueBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { SetValueKind(index == 1 ? trend::ValueKind::CumulativeRaw : trend::ValueKind::CumulativeNormalized); });
    connect(csvButton_, &QPushButton::clicked, this, [this] { AskExportCsv(); });
    connect(pngButton_, &QPushButton::clicked, this, [this] { AskSavePicture(); });

    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, [this] { Refresh(); });
    if (OpenReader()) {
        Reload();
        refresh_.start();
    }
}

TrendWindow::~TrendWindow() = default;

TrendWindow* TrendWindow::Open(const std::string& device, QWidget* parent) {
    QPointer<TrendWindow>& open = OpenWindows()[device];
    if (open.isNull()) {
        const history::HistoryStore* store = history::ProgramHistory();
        open = new TrendWindow(device, store != nullptr ? store->Options().path : std::string(), parent);
        open->setAttribute(Qt::WA_DeleteOnClose);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return open.data();
}

bool TrendWindow::OpenReader() {
    if (reader_) return true;
    if (path_.empty()) {
        ShowMessage("The program keeps no history (--history off), so there is no trend to show.");
        return false;
    }
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        ShowMessage(QString::fromStdString("The history file " + path_ + " does not exist (yet): nothing has been recorded."));
        return false;
    }
    std::string error;
    reader_ = history::HistoryReader::Open(path_, error);
    if (!reader_) {
        ShowMessage(QString::fromStdString("The history file " + path_ + " cannot be read: " + error));
        return false;
    }
    return true;
}

void TrendWindow::ShowMessage(const QString& text) {
    message_->setText(text);
    message_->show();
    view_->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{csvButton_, pngButton_}) w->setEnabled(false);
}

QString TrendWindow::Message() const { return message_->isVisible() || view_->isHidden() ? message_->text() : QString(); }

void TrendWindow::ApplyRangeControls() {
    const bool typed = rangeBox_->currentIndex() == static_cast<int>(trend::RangeChoice::FromTo);
    fromEdit_->setEnabled(typed);
    toEdit_->setEnabled(typed);
    showButton_->setEnabled(typed);
}

bool TrendWindow::SetRange(trend::RangeChoice choice, std::int64_t fromMs, std::int64_t toMs) {
    if (choice == trend::RangeChoice::FromTo) {
        trend::TimeRange check;
        std::string error;
        if (!trend::RangeFor(choice, clock_(), fromMs, toMs, check, error)) {
            hover_->setText(QString::fromStdString(error));
            return false;
        }
        typedFrom_ = fromMs;
        typedTo_ = toMs;
        fromEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(fromMs));
        toEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(toMs));
    }
    choice_ = choice;
    if (showsGiven_) {
        std::string error;
        trend::RangeFor(choice_, clock_(), typedFrom_, typedTo_, range_, error);
        range_.live = false;
    }
    if (rangeBox_->currentIndex() != static_cast<int>(choice)) {
        const QSignalBlocker block(rangeBox_);
        rangeBox_->setCurrentIndex(static_cast<int>(choice));
        ApplyRangeControls();
    }
    Reload();
    return true;
}

void TrendWindow::SetValueKind(trend::ValueKind kind) {
    kind_ = kind;
    const int index = kind == trend::ValueKind::CumulativeRaw ? 1 : 0;
    if (valueBox_->currentIndex() != index) {
        const QSignalBlocker block(valueBox_);
        valueBox_->setCurrentIndex(index);
    }
    Reload();
}

void TrendWindow::Reload() {
    if (showsGiven_) {
        BuildFromGiven();
        return;
    }
    if (!OpenReader()) return;
    std::string error;
    trend::RangeFor(choice_, clock_(), typedFrom_, typedTo_, range_, error);
    // A column per pixel of the plot at its usual size at least, so that a
    // window opened small does not thin the week more than the screen does.
    const int columns = std::max(view_->width(), 1000);
    builder_ = std::make_unique<trend::CurveBuilder>(kind_, range_.toMs - range_.fromMs, columns);
    eventsReadTo_ = range_.fromMs;
    ReadFrom(range_.fromMs, range_.fromMs);
    if (range_.live) {
        refresh_.start();
    } else {
        refresh_.stop();
    }
    Redraw();
}

void TrendWindow::ReadFrom(std::int64_t fromMs, std::int64_t eventsFromMs) {
    // The events first: each must be known before the sample after it.
    const std::int64_t to = range_.live ? kLatest : range_.toMs;
    for (const DeviceEvent& event : reader_->Events({}, eventsFromMs, to)) {
        if (event.device.empty() || event.device == device_) builder_->AddEvent(event);
        eventsReadTo_ = std::max(eventsReadTo_, event.timeMs);
    }
    std::string error;
    if (!reader_->ForEachSample(device_, fromMs, to, 0, false,
                                [this](const SampleRecord& sample) {
                                    builder_->AddSample(sample);
                                    return true;
                                },
                                error)) {
        hover_->setText(QString::fromStdString("The history could not be read: " + error));
    }
}

void TrendWindow::Refresh() {
    if (!range_.live || !builder_ || !reader_) return;
    std::string error;
    trend::RangeFor(choice_, clock_(), 0, 0, range_, error);
    const std::int64_t from = builder_->SampleCount() > 0 ? builder_->LastSampleMs() + 1 : range_.fromMs;
    ReadFrom(std::max(from, range_.fromMs), eventsReadTo_);
    builder_->DropBefore(range_.fromMs);
    Redraw();
}

void TrendWindow::Redraw() {
    curves_ = builder_ ? builder_->Curves() : std::vector<trend::Curve>{};
    chart_->removeAllSeries();
    for (QAbstractAxis* axis : chart_->axes()) {
        chart_->removeAxis(axis);
        delete axis;
    }
    const qint64 span = range_.toMs - range_.fromMs;
    auto* x = new QDateTimeAxis;
    x->setRange(QDateTime::fromMSecsSinceEpoch(range_.fromMs), QDateTime::fromMSecsSinceEpoch(range_.toMs));
    const bool days = span > 26LL * 3600 * 1000;
    x->setFormat(days ? "ddd d MMM<br>HH:mm" : "HH:mm");
    x->setTickCount(days ? 8 : 7);
    x->setTitleText(days ? "Local time"
                         : "Local time, " + QDateTime::fromMSecsSinceEpoch(range_.toMs).toString("ddd d MMM yyyy"));
    auto* y = new QValueAxis;
    y->setTitleText(QString::fromStdString(trend::ValueAxisTitle(kind_)));
    y->setLabelFormat(kind_ == trend::ValueKind::CumulativeRaw ? "%.0f" : "%.3g");
    chart_->addAxis(x, Qt::AlignBottom);
    chart_->addAxis(y, Qt::AlignLeft);

    double top = 0;
    for (std::size_t c = 0; c < curves_.size(); ++c) {
        const trend::Curve& curve = curves_[c];
        const QColor colour = kColours[c % std::size(kColours)];
        const QString name = QString::fromStdString(curve.label);
        bool first = true;
        auto addSeries = [&](const std::vector<trend::Point>& run) {
            auto* series = new QLineSeries;
            series->setName(name);
            QPen pen(colour);
            pen.setWidthF(1.5);
            series->setPen(pen);
            series->setColor(colour);
            QList<QPointF> points;
            points.reserve(static_cast<qsizetype>(run.size()));
            for (const trend::Point& p : run) {
                points.append(QPointF(static_cast<qreal>(p.timeMs), p.value));
                top = std::max(top, p.value);
            }
            series->replace(points);
            // A lone sample between two gaps shows as a dot.
            series->setPointsVisible(run.size() == 1);
            chart_->addSeries(series);
            series->attachAxis(x);
            series->attachAxis(y);
            // One legend entry per size: the first run's.
            for (QLegendMarker* marker : chart_->legend()->markers(series)) marker->setVisible(first);
            first = false;
            connect(series, &QLineSeries::hovered, this, [this](const QPointF& at, bool on) {
                if (!on) return;
                const QString text = HoverAt(static_cast<std::int64_t>(std::llround(at.x())));
                if (text.isEmpty()) return;
                hover_->setText(QString(text).replace('\n', "   "));
                QToolTip::showText(QCursor::pos(), text, view_);
            });
        };
        if (curve.runs.empty()) addSeries({});
        for (const auto& run : curve.runs) addSeries(run);
    }
    y->setRange(0, top > 0 ? top * 1.1 : 1.0);
    y->applyNiceNumbers();

    std::string title = device_;
    if (choice_ != trend::RangeChoice::FromTo) title += std::string(" \u2013 ") + RangeName(choice_);
    if (builder_ && builder_->SampleCount() == 0) title += " \u2013 no samples in this range";
    chart_->setTitle(QString::fromStdString(title));
    message_->hide();
    view_->show();
    csvButton_->setEnabled(true);
    pngButton_->setEnabled(true);
}

void TrendWindow::ShowRecords(trend::RangeChoice choice, const trend::TimeRange& range, std::vector<SampleRecord> samples,
                              const std::vector<DeviceEvent>& events) {
    refresh_.stop();
    choice_ = choice;
    range_ = range;
    range_.live = false;
    {
        const QSignalBlocker block(rangeBox_);
        rangeBox_->setCurrentIndex(static_cast<int>(choice));
        ApplyRangeControls();
    }
    std::stable_sort(samples.begin(), samples.end(),
                     [](const SampleRecord& a, const SampleRecord& b) { return a.timeMs < b.timeMs; });
    given_ = std::move(samples);
    givenEvents_ = events;
    showsGiven_ = true;
    fromEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(range_.fromMs));
    toEdit_->setDateTime(QDateTime::fromMSecsSinceEpoch(range_.toMs));
    BuildFromGiven();
}

void TrendWindow::BuildFromGiven() {
    builder_ = std::make_unique<trend::CurveBuilder>(kind_, range_.toMs - range_.fromMs, std::max(view_->width(), 1000));
    for (const DeviceEvent& event : givenEvents_) {
        if (event.device.empty() || event.device == device_) builder_->AddEvent(event);
    }
    for (const SampleRecord& sample : given_) {
        if (sample.device == device_ && sample.timeMs >= range_.fromMs && sample.timeMs <= range_.toMs)
            builder_->AddSample(sample);
    }
    Redraw();
}

QString TrendWindow::HoverAt(std::int64_t timeMs) {
    std::optional<SampleRecord> before;
    std::optional<SampleRecord> after;
    if (showsGiven_) {
        const auto at = std::lower_bound(given_.begin(), given_.end(), timeMs,
                                         [](const SampleRecord& s, std::int64_t t) { return s.timeMs < t; });
        if (at != given_.end()) after = *at;
        if (at != given_.begin()) before = *(at - 1);
        const auto nearest = trend::Nearest(before, after, timeMs);
        return nearest ? QString::fromStdString(trend::HoverText(*nearest, kind_)) : QString();
    }
    std::string error;
    reader_->ForEachSample(device_, std::numeric_limits<std::int64_t>::min(), timeMs, 1, true,
                           [&](const SampleRecord& s) {
                               before = s;
                               return false;
                           },
                           error);
    reader_->ForEachSample(device_, timeMs, kLatest, 1, false,
                           [&](const SampleRecord& s) {
                               after = s;
                               return false;
                           },
                           error);
    const auto nearest = trend::Nearest(before, after, timeMs);
    return nearest ? QString::fromStdString(trend::HoverText(*nearest, kind_)) : QString();
}

bool TrendWindow::ExportCsv(const QString& path, std::string& error) {
    if (!reader_) {
        error = "There is no history to export.";
        return false;
    }
    // The sizes of all the range's samples first, for one header that fits every row.
    std::vector<double> sizes;
    if (!reader_->ForEachSample(device_, range_.fromMs, range_.toMs, 0, false,
                                [&](const SampleRecord& s) {
                                    sizes = trend::CsvTable::SizesOf(sizes, s);
                                    return true;
                                },
                                error)) {
        return false;
    }
    const trend::CsvTable table(sizes);
    // Written beside the target and moved over it at the end: a failed export
    // leaves an existing file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = "Cannot write " + path.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    bool written = file.write(QByteArray::fromStdString(table.Header() + "\r\n")) >= 0;
    const bool read = reader_->ForEachSample(device_, range_.fromMs, range_.toMs, 0, false,
                                             [&](const SampleRecord& s) {
                                                 written = file.write(QByteArray::fromStdString(table.Row(s) + "\r\n")) >= 0;
                                                 return written;
                                             },
                                             error);
    if (!read || !written) {
        if (!written) error = "Cannot write " + path.toStdString() + ": " + file.errorString().toStdString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = "Cannot write " + path.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

bool TrendWindow::SavePicture(const QString& path, std::string& error) {
    if (view_->isHidden()) {
        error = "There is no chart to save.";
        return false;
    }
    if (!view_->grab().save(path, "PNG")) {
        error = "Cannot write the picture to " + path.toStdString() + ".";
        return false;
    }
    return true;
}

void TrendWindow::AskExportCsv() {
    const QString path = QFileDialog::getSaveFileName(this, "Export the shown range", QString::fromStdString(device_) + ".csv",
                                                      "CSV files (*.csv);;All files (*)");
    if (path.isEmpty()) return;
    std::string error;
    if (!ExportCsv(path, error)) QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
}

void TrendWindow::AskSavePicture() {
    const QString path = QFileDialog::getSaveFileName(this, "Save the chart", QString::fromStdString(device_) + ".png",
                                                      "PNG pictures (*.png)");
    if (path.isEmpty()) return;
    std::string error;
    if (!SavePicture(path, error)) QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
}
