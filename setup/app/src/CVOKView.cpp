#include "setupui/CVOKView.h"

#include "setupui/CSetupFrame.h"
#include "setupui/SetupDialogs.h"

#include "setup/NumberText.h"
#include "setup/SensorTree.h"
#include "setup/SetupTexts.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// What a tree item stands for: a port (its number) or a sensor (its index in the document).
constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;
constexpr int kPortItem = 0;
constexpr int kSensorItem = 1;

// Shown when every attempt to program lost an echo: the edits stay for another try.
constexpr const char* kProgrammingFailed =
    "The counter did not echo every byte, so it was not programmed. The changes are kept: check the connection "
    "and save again.";

QPushButton* Button(std::string_view text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(SetupText(text), parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

QTreeWidget* List(const char* name, const QStringList& columns, QWidget* parent) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QLatin1String(name));
    list->setRootIsDecorated(false);
    list->setHeaderLabels(columns);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->header()->setStretchLastSection(true);
    return list;
}

QLabel* Explanation(std::string_view text, const char* name, QWidget* parent) {
    auto* label = new QLabel(SetupText(text), parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return label;
}

}  // namespace

// Hands the scan threads' reports to the view's thread; a report still queued
// when the view goes is dropped with it.
class CVOKView::Listener : public ScanListener {
public:
    explicit Listener(CVOKView& view) : view_(view) {}
    void PortOpenFailed(int, const PortMessage& message) override {
        QMetaObject::invokeMethod(&view_, [this, message] { view_.OnPortOpenFailed(message); }, Qt::QueuedConnection);
    }
    void PortStarted(int) override {
        QMetaObject::invokeMethod(&view_, [this] { view_.OnPortStarted(); }, Qt::QueuedConnection);
    }
    void SensorFound(const CSensor& sensor) override {
        QMetaObject::invokeMethod(&view_, [this, sensor] { view_.OnSensorFound(sensor); }, Qt::QueuedConnection);
    }
    void AddressDone(int, int) override {
        QMetaObject::invokeMethod(&view_, [this] { view_.OnAddressDone(); }, Qt::QueuedConnection);
    }
    void ScanFinished() override {
        QMetaObject::invokeMethod(&view_, [this] { view_.OnScanFinished(); }, Qt::QueuedConnection);
    }

private:
    CVOKView& view_;
};

CVOKView::CVOKView(CSetupStatusBar& status, std::vector<int> scanPorts, QWidget* parent)
    : QWidget(parent), status_(status), scanPorts_(std::move(scanPorts)), listener_(std::make_unique<Listener>(*this)) {
    setObjectName("setupView");
    using namespace setuptexts;
    tree_ = new QTreeWidget(this);
    tree_->setObjectName("sensorTree");
    tree_->setHeaderHidden(true);
    tree_->setMinimumWidth(220);
    rescan_ = Button(kRescanButton, "rescan", this);
    sizes_ = List("sizeList", {SetupText(kSizesColumn)}, this);
    points_ = List("calList", {SetupText(kSizesColumn), SetupText(kVoltageColumn)}, this);
    sizeButtons_ = {Button(kAddButton, "addSize", this), Button(kEditButton, "editSize", this),
                    Button(kDeleteButton, "deleteSize", this), Button(kSaveSizesButton, "saveSizes", this)};
    pointButtons_ = {Button(kAddButton, "addPoint", this), Button(kEditButton, "editPoint", this),
                     Button(kDeleteButton, "deletePoint", this), Button(kSavePointsButton, "savePoints", this)};

    connect(rescan_, &QPushButton::clicked, this, &CVOKView::Rescan);
    connect(sizeButtons_[0], &QPushButton::clicked, this, &CVOKView::AddSize);
    connect(sizeButtons_[1], &QPushButton::clicked, this, &CVOKView::EditSize);
    connect(sizeButtons_[2], &QPushButton::clicked, this, &CVOKView::DeleteSize);
    connect(sizeButtons_[3], &QPushButton::clicked, this, &CVOKView::SaveSizes);
    connect(pointButtons_[0], &QPushButton::clicked, this, &CVOKView::AddPoint);
    connect(pointButtons_[1], &QPushButton::clicked, this, &CVOKView::EditPoint);
    connect(pointButtons_[2], &QPushButton::clicked, this, &CVOKView::DeletePoint);
    connect(pointButtons_[3], &QPushButton::clicked, this, &CVOKView::SavePoints);
    connect(sizes_, &QTreeWidget::itemDoubleClicked, this, &CVOKView::EditSize);
    connect(points_, &QTreeWidget::itemDoubleClicked, this, &CVOKView::EditPoint);
    connect(sizes_, &QTreeWidget::currentItemChanged, this, &CVOKView::UpdateButtons);
    connect(points_, &QTreeWidget::currentItemChanged, this, &CVOKView::UpdateButtons);
    connect(tree_, &QTreeWidget::currentItemChanged, this, &CVOKView::OnCurrentItemChanged);
    blink_.setInterval(kBlinkMs);
    connect(&blink_, &QTimer::timeout, this, &CVOKView::BlinkTick);

    auto column = [this](QWidget* list, const std::vector<QPushButton*>& buttons, QLabel* text) {
        auto* box = new QVBoxLayout;
        box->addWidget(list, 1);
        auto* row = new QGridLayout;
        for (std::size_t i = 0; i < 3 && i < buttons.size(); ++i) row->addWidget(buttons[i], 0, static_cast<int>(i));
        if (buttons.size() > 3) row->addWidget(buttons[3], 1, 0, 1, 3);
        box->addLayout(row);
        box->addWidget(text);
        return box;
    };
    auto* left = new QVBoxLayout;
    left->addWidget(tree_, 1);
    left->addWidget(rescan_);
    left->addWidget(Explanation(kStep1Text, "step1Text", this));
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 4);
    layout->addLayout(column(sizes_, sizeButtons_, Explanation(kStep2Text, "step2Text", this)), 3);
    layout->addLayout(column(points_, pointButtons_, Explanation(kCautionText, "cautionText", this)), 4);
    UpdateButtons();
}

CVOKView::~CVOKView() {
    blink_.stop();
    StopScan();
}

void CVOKView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    // The first scan starts once the window is up, as if the button were pressed.
    QTimer::singleShot(0, this, &CVOKView::Rescan);
}

// ---------------------------------------------------------------------------
// Scan

void CVOKView::Rescan() {
    if (scan_ != nullptr) return;
    // Leaving the selected sensor asks about its unsaved edits first.
    if (editor_.Selected() != nullptr && (editor_.SizesChanged() || editor_.CalChanged())) {
        tree_->setCurrentItem(nullptr);
        if (editor_.Selected() != nullptr) return;  // the technician kept editing
    }
    SelectItem(nullptr);
    reverting_ = true;  // emptying the tree is no selection by the technician
    tree_->clear();
    reverting_ = false;
    doc_.sensors.clear();
    status_.SetLayout(SetupStatusLayout::Scanning);
    status_.Progress().setRange(0, 0);
    status_.Progress().setValue(0);
    rescan_->setEnabled(false);
    scan_ = std::make_unique<CSensorScan>(scanPorts_);
    if (!scan_->Start(*listener_)) {
        scan_.reset();
        OnScanFinished();
    }
}

void CVOKView::StopScan() {
    if (scan_ == nullptr) return;
    scan_->RequestStop();
    scan_->Join();
}

void CVOKView::OnPortStarted() {
    QProgressBar& bar = status_.Progress();
    const int value = bar.value() < 0 ? 0 : bar.value();
    bar.setRange(0, bar.maximum() + static_cast<int>(CSensorScan::AllAddresses().size()));
    bar.setValue(value);
}

void CVOKView::OnAddressDone() {
    QProgressBar& bar = status_.Progress();
    if (bar.value() < bar.maximum()) bar.setValue(std::max(bar.value(), 0) + 1);
}

void CVOKView::OnSensorFound(const CSensor& sensor) { doc_.sensors.push_back(sensor); }

void CVOKView::OnPortOpenFailed(const PortMessage& message) {
    // One box per port, on top of every window, and the scan goes on meanwhile.
    auto* box = new QMessageBox(QMessageBox::Warning, SetupText(message.caption), SetupText(message.text),
                                QMessageBox::Ok, this);
    box->setObjectName("portMessage");
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void CVOKView::OnScanFinished() {
    if (scan_ != nullptr) {
        scan_->Join();
        scan_.reset();
    }
    RebuildTree();
    status_.SetLayout(SetupStatusLayout::Ready);
    rescan_->setEnabled(true);
}

void CVOKView::RebuildTree() {
    reverting_ = true;
    tree_->clear();
    for (const sensortree::PortItem& port : sensortree::Build(doc_.sensors)) {
        auto* top = new QTreeWidgetItem(tree_, {SetupText(sensortree::PortItemText(port.port))});
        top->setData(0, kKindRole, kPortItem);
        top->setData(0, kValueRole, port.port);
        for (std::size_t index : port.sensors) {
            auto* item = new QTreeWidgetItem(top, {SetupText(sensortree::SensorItemText(doc_.sensors[index]))});
            item->setData(0, kKindRole, kSensorItem);
            item->setData(0, kValueRole, static_cast<int>(index));
        }
    }
    if (tree_->topLevelItemCount() > 0) tree_->topLevelItem(0)->setExpanded(true);
    tree_->setCurrentItem(nullptr);
    reverting_ = false;
}

// ---------------------------------------------------------------------------
// Selection and blinking

void CVOKView::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (reverting_) return;
    std::vector<ProgramResult> results;
    const bool allowed = editor_.ConfirmSelectionChange(
        [this](std::string_view prompt) {
            const auto answer = QMessageBox::question(this, "VOKSetup", SetupText(prompt),
                                                      QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                                      QMessageBox::Yes);
            if (answer == QMessageBox::Yes) {
                const CSensor* sensor = editor_.Selected();
                status_.SetLayout(SetupStatusLayout::Programming, sensor->port, sensor->address);
                return PromptAnswer::Yes;
            }
            return answer == QMessageBox::No ? PromptAnswer::No : PromptAnswer::Cancel;
        },
        &results, ProgressOnStatusBar());
    for (const ProgramResult& result : results) Report(result);
    if (!allowed) {
        reverting_ = true;
        tree_->setCurrentItem(previous);
        reverting_ = false;
        return;
    }
    SelectItem(current);
}

void CVOKView::SelectItem(QTreeWidgetItem* item) {
    blink_.stop();
    // The sensor left behind goes dark, so that only the selected one blinks.
    if (const CSensor* left = editor_.Selected(); left != nullptr && editor_.BlinkState()) SendLight(*left, false);
    status_.SetLayout(SetupStatusLayout::Ready);
    CSensor* sensor = nullptr;
    if (item != nullptr && item->data(0, kKindRole).toInt() == kSensorItem) {
        const auto index = static_cast<std::size_t>(item->data(0, kValueRole).toInt());
        if (index < doc_.sensors.size()) sensor = &doc_.sensors[index];
    }
    editor_.Select(sensor);
    if (sensor != nullptr) {
        status_.SetLayout(SetupStatusLayout::Flashing, sensor->port, sensor->address);
        blink_.start();
    }
    FillLists();
}

void CVOKView::BlinkTick() {
    if (editor_.IsBusy() || editor_.Selected() == nullptr) return;
    status_.SetIndicator(editor_.BlinkTick());
}

// ---------------------------------------------------------------------------
// The lists

void CVOKView::FillLists() {
    const int sizeRow = SelectedRow(*sizes_);
    const int pointRow = SelectedRow(*points_);
    sizes_->clear();
    for (double size : editor_.Sizes()) new QTreeWidgetItem(sizes_, {SetupText(numbertext::SizeListText(size))});
    points_->clear();
    for (const SetupCalPt& p : editor_.CalPoints())
        new QTreeWidgetItem(points_, {SetupText(numbertext::CalText(p.size)), SetupText(numbertext::CalText(p.voltage))});
    if (sizeRow >= 0 && sizeRow < sizes_->topLevelItemCount()) sizes_->setCurrentItem(sizes_->topLevelItem(sizeRow));
    if (pointRow >= 0 && pointRow < points_->topLevelItemCount())
        points_->setCurrentItem(points_->topLevelItem(pointRow));
    UpdateButtons();
}

void CVOKView::UpdateButtons() {
    const bool selected = editor_.Selected() != nullptr;
    const bool sizeRow = SelectedRow(*sizes_) >= 0;
    const bool pointRow = SelectedRow(*points_) >= 0;
    const bool enabled[] = {selected, selected && sizeRow, selected && sizeRow, selected};
    const bool pointEnabled[] = {selected, selected && pointRow, selected && pointRow, selected};
    for (std::size_t i = 0; i < 4; ++i) {
        sizeButtons_[i]->setEnabled(enabled[i]);
        pointButtons_[i]->setEnabled(pointEnabled[i]);
    }
}

int CVOKView::SelectedRow(QTreeWidget& list) const {
    QTreeWidgetItem* item = list.currentItem();
    return item == nullptr ? -1 : list.indexOfTopLevelItem(item);
}

void CVOKView::ShowRefusal(const std::string& message) {
    if (!message.empty()) QMessageBox::information(this, "VOKSetup", SetupText(message));
}

void CVOKView::AddSize() {
    if (editor_.Selected() == nullptr) return;
    if (const auto refusal = editor_.CanAddSize()) {
        ShowRefusal(*refusal);
        return;
    }
    CSizeDialog dialog(SetupText(setuptexts::kAddSizeTitle), std::nullopt, this);
    if (dialog.exec() != QDialog::Accepted) return;
    ShowRefusal(editor_.AddSize(dialog.Value()).message);
    FillLists();
}

void CVOKView::EditSize() {
    const int row = SelectedRow(*sizes_);
    if (editor_.Selected() == nullptr || row < 0) return;
    const auto index = static_cast<std::size_t>(row);
    CSizeDialog dialog(SetupText(setuptexts::kEditSizeTitle), editor_.Sizes()[index], this);
    if (dialog.exec() != QDialog::Accepted) return;
    ShowRefusal(editor_.EditSize(index, dialog.Value()).message);
    FillLists();
}

void CVOKView::DeleteSize() {
    const int row = SelectedRow(*sizes_);
    if (editor_.Selected() == nullptr || row < 0) return;
    editor_.DeleteSize(static_cast<std::size_t>(row));
    FillLists();
}

void CVOKView::AddPoint() {
    if (editor_.Selected() == nullptr) return;
    CCalDialog dialog(std::nullopt, std::nullopt, this);
    if (dialog.exec() != QDialog::Accepted) return;
    ShowRefusal(editor_.AddCalPoint({dialog.Size(), dialog.Voltage()}).message);
    FillLists();
}

void CVOKView::EditPoint() {
    const int row = SelectedRow(*points_);
    if (editor_.Selected() == nullptr || row < 0) return;
    const auto index = static_cast<std::size_t>(row);
    const SetupCalPt point = editor_.CalPoints()[index];
    CCalDialog dialog(point.size, point.voltage, this);
    if (dialog.exec() != QDialog::Accepted) return;
    ShowRefusal(editor_.EditCalPoint(index, {dialog.Size(), dialog.Voltage()}).message);
    FillLists();
}

void CVOKView::DeletePoint() {
    const int row = SelectedRow(*points_);
    if (editor_.Selected() == nullptr || row < 0) return;
    editor_.DeleteCalPoint(static_cast<std::size_t>(row));
    FillLists();
}

// ---------------------------------------------------------------------------
// Programming

SetupProgress CVOKView::ProgressOnStatusBar() {
    return [this](std::size_t position, std::size_t range) {
        QProgressBar& bar = status_.Progress();
        bar.setRange(0, static_cast<int>(range));
        bar.setValue(static_cast<int>(position));
        // The window keeps painting while the bytes go out; the buttons wait.
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
}

void CVOKView::SaveSizes() {
    const CSensor* sensor = editor_.Selected();
    if (sensor == nullptr) return;
    status_.SetLayout(SetupStatusLayout::Programming, sensor->port, sensor->address);
    Report(editor_.ProgramSizes(ProgressOnStatusBar()));
}

void CVOKView::SavePoints() {
    const CSensor* sensor = editor_.Selected();
    if (sensor == nullptr) return;
    status_.SetLayout(SetupStatusLayout::Programming, sensor->port, sensor->address);
    Report(editor_.ProgramCalPoints(ProgressOnStatusBar()));
}

void CVOKView::Report(const ProgramResult& result) {
    switch (result.outcome) {
    case ProgramOutcome::CheckFailed:
        for (const std::string& message : result.messages)
            QMessageBox::warning(this, "VOKSetup", SetupText(message));
        break;
    case ProgramOutcome::PortNotOpened:
        if (result.portMessage)
            QMessageBox::warning(this, SetupText(result.portMessage->caption), SetupText(result.portMessage->text));
        break;
    case ProgramOutcome::Failed: QMessageBox::warning(this, "VOKSetup", kProgrammingFailed); break;
    case ProgramOutcome::NothingSelected:
    case ProgramOutcome::Programmed: break;
    }
    if (const CSensor* sensor = editor_.Selected()) {
        status_.SetLayout(SetupStatusLayout::Flashing, sensor->port, sensor->address);
    } else {
        status_.SetLayout(SetupStatusLayout::Ready);
    }
    FillLists();
}
