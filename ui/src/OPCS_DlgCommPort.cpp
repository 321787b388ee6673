#include "ui/OPCS_DlgCommPort.h"

#include "ui/DialogWidgets.h"

#include "foundation/RegIO.h"
#include "foundation/TextCompare.h"
#include "foundation/VersionInfo.h"
#include "model/UiServices.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <initializer_list>
#include <string>

namespace {

// What the window keeps for the whole program, so that it reopens as it was left.
struct Remembered {
    std::string portName;
    int bufferSize = static_cast<int>(CSerial::kDefaultTraceSlots);
    bool binaryHex = false;
};

Remembered& Memory() {
    static Remembered memory;
    return memory;
}

constexpr const char* kIoLogName = "IOLog.txt";
constexpr const char* kShellFoldersKey =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// The file Record Data suggests: IOLog.txt in the user's documents folder when
// the shell names one, else in the program's folder.
std::string SuggestedIoLog() {
    RegIO shell;
    std::string documents;
    if (shell.Open(kShellFoldersKey, true) && shell.ReadString("Personal", documents) && !documents.empty()) {
        if (documents.back() != '/') documents += '/';
        return documents + kIoLogName;
    }
    return versioninfo::ProgramFolder() + kIoLogName;
}

std::vector<CSerial*> OpenPorts() {
    Dll<CSerial*> all;
    CSerial::ListPorts(all);
    std::vector<CSerial*> open;
    for (CSerial* port : all)
        if (port != nullptr && port->IsOpen()) open.push_back(port);
    return open;
}

}  // namespace

OPCS_DlgCommPort* OPCS_DlgCommPort::Open(QWidget* parent) {
    auto* window = new OPCS_DlgCommPort(parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

OPCS_DlgCommPort::OPCS_DlgCommPort(QWidget* parent) : OPCS_DlgCommPort(OpenPorts(), parent) {}

OPCS_DlgCommPort::OPCS_DlgCommPort(const std::vector<CSerial*>& ports, QWidget* parent) : QDialog(parent) {
    for (CSerial* port : ports)
        if (port != nullptr) ports_.push_back(port);
    // A full disk must not end the operator's program from a timer tick: the
    // log drops the entry and keeps the reason.
    ioLog_.SetWriteErrors(CLogFile::WriteErrors::Report);
    setModal(false);
    BuildControls();

    timer_.setObjectName(QStringLiteral("refreshTimer"));
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, &OPCS_DlgCommPort::Refresh);

    if (ports_.empty()) {
        for (QWidget* w : std::initializer_list<QWidget*>{portList_, viewer_, bufferSize_, startStop_, clear_, reset_,
                                                          recordData_})
            w->setEnabled(false);
        return;
    }
    int shown = 0;
    {
        // Filling the list selects its first entry, which is not the operator's choice.
        QSignalBlocker quiet(portList_);
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            portList_->addItem(QString::fromStdString(ports_[i]->GetName()));
            if (EqualNoCase(ports_[i]->GetName(), Memory().portName)) shown = static_cast<int>(i);
        }
        portList_->setCurrentIndex(shown);
    }
    SelectPort(shown);
    timer_.start();
}

OPCS_DlgCommPort::~OPCS_DlgCommPort() { Finish(); }

void OPCS_DlgCommPort::BuildControls() {
    setWindowTitle(QStringLiteral("Port Statistics"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* portLabel = new QLabel(QStringLiteral("Select Port:"), this);
    portList_ = new QComboBox(this);
    portList_->setObjectName(QStringLiteral("portList"));
    portList_->setMinimumContentsLength(8);
    portLabel->setBuddy(portList_);
    reset_ = DialogButton(QStringLiteral("Reset"), "reset", this);

    auto* portRow = new QHBoxLayout;
    portRow->addWidget(portLabel);
    portRow->addWidget(portList_);
    portRow->addStretch();
    portRow->addWidget(reset_);

    // The counters in three columns, each a label and a sunken value field wide
    // enough for the largest count.
    auto* statistics = new QGroupBox(QStringLiteral("Statistics"), this);
    auto* grid = new QGridLayout(statistics);
    grid->setHorizontalSpacing(8);
    const int valueWidth = fontMetrics().horizontalAdvance(QStringLiteral("4294967295")) + 12;
    constexpr int kRowsPerColumn = 5;
    for (std::size_t i = 0; i < commtrace::kCounterFieldCount; ++i) {
        const commtrace::CounterField& field = commtrace::kCounterFields[i];
        auto* label = new QLabel(QString::fromLatin1(field.label) + QLatin1Char(':'), statistics);
        auto* value = new QLabel(QStringLiteral("0"), statistics);
        value->setObjectName(QLatin1String(field.objectName));
        value->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setMinimumWidth(valueWidth);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setBuddy(value);
        const int row = static_cast<int>(i) % kRowsPerColumn;
        const int column = static_cast<int>(i) / kRowsPerColumn * 3;
        grid->addWidget(label, row, column);
        grid->addWidget(value, row, column + 1);
        counters_[i] = value;
    }
    for (int column : {2, 5}) grid->setColumnMinimumWidth(column, 16);

    auto* viewerBox = new QGroupBox(QStringLiteral("Communication Viewer"), this);
    startStop_ = DialogButton(QStringLiteral("Start"), "startStop", viewerBox);
    startStop_->setCheckable(true);
    auto* sizeLabel = new QLabel(QStringLiteral("Buffer Size:"), viewerBox);
    bufferSize_ = new QSpinBox(viewerBox);
    bufferSize_->setObjectName(QStringLiteral("bufferSize"));
    bufferSize_->setRange(commtrace::kMinBufferSize, commtrace::kMaxBufferSize);
    bufferSize_->setValue(commtrace::ClampBufferSize(Memory().bufferSize));
    sizeLabel->setBuddy(bufferSize_);

    auto* mode = new QWidget(viewerBox);
    mode->setObjectName(QStringLiteral("displayMode"));
    ascii_ = new QRadioButton(QStringLiteral("ASCII"), mode);
    ascii_->setObjectName(QStringLiteral("ascii"));
    binaryHex_ = new QRadioButton(QStringLiteral("Binary Hex"), mode);
    binaryHex_->setObjectName(QStringLiteral("binaryHex"));
    (Memory().binaryHex ? binaryHex_ : ascii_)->setChecked(true);
    auto* modeRow = new QHBoxLayout(mode);
    modeRow->setContentsMargins(0, 0, 0, 0);
    modeRow->addWidget(ascii_);
    modeRow->addWidget(binaryHex_);

    clear_ = DialogButton(QStringLiteral("Clear"), "clear", viewerBox);
    recordData_ = new QCheckBox(QStringLiteral("Record Data"), viewerBox);
    recordData_->setObjectName(QStringLiteral("recordData"));
    recordData_->setEnabled(false);

    auto* controls = new QHBoxLayout;
    controls->addWidget(startStop_);
    controls->addSpacing(8);
    controls->addWidget(sizeLabel);
    controls->addWidget(bufferSize_);
    controls->addSpacing(8);
    controls->addWidget(mode);
    controls->addSpacing(8);
    controls->addWidget(clear_);
    controls->addStretch();
    controls->addWidget(recordData_);

    viewer_ = new QTreeWidget(viewerBox);
    viewer_->setObjectName(QStringLiteral("viewer"));
    viewer_->setColumnCount(1);
    viewer_->setHeaderLabels({QStringLiteral("Message")});
    viewer_->setRootIsDecorated(false);
    viewer_->setUniformRowHeights(true);
    viewer_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    viewer_->header()->setStretchLastSection(false);
    viewer_->setColumnWidth(0, kViewerColumnWidth);
    // Hexadecimal bytes line up only in a fixed-pitch font.
    viewer_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto* viewerLayout = new QVBoxLayout(viewerBox);
    viewerLayout->addLayout(controls);
    viewerLayout->addWidget(viewer_, 1);

    auto* help = DialogButton(QStringLiteral("Help"), "help", this);
    auto* close = DialogButton(QStringLiteral("Close"), "close", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(help);
    buttons->addWidget(close);

    auto* outer = new QVBoxLayout(this);
    outer->addLayout(portRow);
    outer->addWidget(statistics);
    outer->addWidget(viewerBox, 1);
    outer->addLayout(buttons);

    connect(portList_, &QComboBox::currentIndexChanged, this, &OPCS_DlgCommPort::SelectPort);
    connect(reset_, &QPushButton::clicked, this, &OPCS_DlgCommPort::ResetCounters);
    connect(bufferSize_, &QSpinBox::valueChanged, this, &OPCS_DlgCommPort::BufferSizeChanged);
    connect(ascii_, &QRadioButton::toggled, this, &OPCS_DlgCommPort::DisplayModeChanged);
    connect(clear_, &QPushButton::clicked, this, &OPCS_DlgCommPort::ClearMessages);
    connect(startStop_, &QPushButton::toggled, this, &OPCS_DlgCommPort::StartStopToggled);
    connect(recordData_, &QCheckBox::toggled, this, &OPCS_DlgCommPort::RecordDataToggled);
    connect(help, &QPushButton::clicked, this, &OPCS_DlgCommPort::Help);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, &OPCS_DlgCommPort::Help);

    resize(800, 640);
}

void OPCS_DlgCommPort::SelectPort(int index) {
    if (index < 0 || index >= static_cast<int>(ports_.size())) return;
    port_ = ports_[static_cast<std::size_t>(index)];
    Memory().portName = port_->GetName();
    port_->SetTraceSize(static_cast<DWORD>(bufferSize_->value()));
    port_->SetHexMode(binaryHex_->isChecked());
    ShowCounters();
    const bool tracing = port_->IsTraceEnabled();
    {
        QSignalBlocker quiet(startStop_);
        startStop_->setChecked(tracing);
        startStop_->setText(tracing ? QStringLiteral("Stop") : QStringLiteral("Start"));
    }
    if (!tracing && recordData_->isChecked()) recordData_->setChecked(false);
    recordData_->setEnabled(tracing);
    // The I/O log goes on with what this port shows.
    if (ioLog_.IsOpen()) unlogged_.StartFrom(port_->GetTraceSnapshot());
    RebuildViewer();
}

void OPCS_DlgCommPort::ShowCounters() {
    if (port_ == nullptr) return;
    SerialStatistics statistics;
    port_->GetStatistics(statistics);
    const auto texts = commtrace::CounterTexts(statistics);
    for (std::size_t i = 0; i < texts.size(); ++i) counters_[i]->setText(QString::fromStdString(texts[i]));
}

void OPCS_DlgCommPort::Refresh() {
    if (port_ == nullptr) return;
    ShowCounters();
    // Copied under the trace's own lock, formatted and written out after it.
    const SerialTraceSnapshot snapshot = port_->GetTraceSnapshot();
    ShowLines(commtrace::DisplayLines(snapshot.lines));
    // Each message goes into the log once, when it first appears, not again
    // on every tick while it stays in the buffer.
    const std::vector<std::string> fresh = unlogged_.Take(snapshot);
    if (!ioLog_.IsOpen()) return;
    for (const std::string& line : commtrace::DisplayLines(fresh)) ioLog_.Append(line).Commit(CLogFile::kWrite);
}

void OPCS_DlgCommPort::RebuildViewer() {
    viewer_->clear();
    Refresh();
}

void OPCS_DlgCommPort::ShowLines(const std::vector<std::string>& lines) {
    // Rows below the last line would show messages the port no longer holds.
    QScrollBar* scroll = viewer_->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    const int wanted = static_cast<int>(lines.size());
    while (viewer_->topLevelItemCount() > wanted) delete viewer_->takeTopLevelItem(viewer_->topLevelItemCount() - 1);
    QList<QTreeWidgetItem*> added;
    for (int i = viewer_->topLevelItemCount(); i < wanted; ++i) added.append(new QTreeWidgetItem);
    viewer_->addTopLevelItems(added);
    for (int i = 0; i < wanted; ++i) {
        // One character per byte: the port writes bytes of 128 and above as
        // they came, which are no UTF-8, and the lines are cut by bytes.
        const std::string& line = lines[static_cast<std::size_t>(i)];
        const QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
        QTreeWidgetItem* item = viewer_->topLevelItem(i);
        if (item->text(0) != text) item->setText(0, text);
    }
    // The newest messages stay in sight unless the operator scrolled up to read.
    if (atEnd) viewer_->scrollToBottom();
}

void OPCS_DlgCommPort::ResetCounters() {
    if (port_ == nullptr) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    port_->ResetStatistics();
    ShowCounters();
    QApplication::restoreOverrideCursor();
}

void OPCS_DlgCommPort::BufferSizeChanged(int size) {
    Memory().bufferSize = size;
    if (port_ == nullptr) return;
    port_->SetTraceSize(static_cast<DWORD>(size));
    RebuildViewer();
}

void OPCS_DlgCommPort::DisplayModeChanged() {
    Memory().binaryHex = binaryHex_->isChecked();
    if (port_ == nullptr) return;
    port_->SetHexMode(binaryHex_->isChecked());
    port_->ClearTrace();
    RebuildViewer();
}

void OPCS_DlgCommPort::ClearMessages() {
    if (port_ == nullptr) return;
    port_->ClearTrace();
    RebuildViewer();
}

void OPCS_DlgCommPort::StartStopToggled(bool on) {
    if (port_ == nullptr) return;
    if (on) {
        port_->EnableTrace();
        // A port given no slots gets its default ring when it starts: the
        // field shows what the port really keeps.
        if (port_->GetTraceSize() != static_cast<DWORD>(bufferSize_->value())) {
            QSignalBlocker quiet(bufferSize_);
            bufferSize_->setValue(static_cast<int>(port_->GetTraceSize()));
            Memory().bufferSize = bufferSize_->value();
        }
    } else {
        port_->DisableTrace();
    }
    startStop_->setText(on ? QStringLiteral("Stop") : QStringLiteral("Start"));
    // Nothing new is shown while the port does not record: the log stops too.
    if (!on && recordData_->isChecked()) recordData_->setChecked(false);
    recordData_->setEnabled(on);
    Refresh();
}

void OPCS_DlgCommPort::RecordDataToggled(bool on) {
    if (!on) {
        ioLog_.Close();
        return;
    }
    FileChoice choice;
    choice.save = true;
    choice.title = "Record IO File";
    choice.filter = "Text Files (*.txt)|*.txt||";
    choice.defaultExtension = ".txt";
    choice.initialPath = SuggestedIoLog();
    const std::optional<std::string> path = GetUiServices().ChooseFile(choice);
    if (!path || path->empty() || !ioLog_.Open(*path)) {
        QSignalBlocker quiet(recordData_);
        recordData_->setChecked(false);
        return;
    }
    // What the viewer shows now goes in first, then each message as it comes.
    if (port_ != nullptr) unlogged_.StartFrom(port_->GetTraceSnapshot());
    Refresh();
}

void OPCS_DlgCommPort::Finish() {
    timer_.stop();
    ioLog_.Close();
}

void OPCS_DlgCommPort::done(int result) {
    Finish();
    QDialog::done(result);
}

void OPCS_DlgCommPort::closeEvent(QCloseEvent* event) {
    Finish();
    QDialog::closeEvent(event);
}

void OPCS_DlgCommPort::Help() {
    if (onHelp) onHelp(kHelpContext);
}
