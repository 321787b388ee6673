#include "ui/VOK_DlgAutoDiscover.h"

#include "ui/DialogWidgets.h"
#include "ui/HelpWindow.h"
#include "ui/ProgramBitmaps.h"

#include "config/OPCS_Doc.h"
#include "foundation/CLogFile.h"
#include "model/VOKDevice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

void HelpOnF1(QDialog* dialog) {
    auto* f1 = new QShortcut(QKeySequence::HelpContents, dialog);
    QObject::connect(f1, &QShortcut::activated, dialog, [dialog] { help::ShowHelp(help::kDiscovery, dialog); });
}

QLabel* Field(const char* name, QWidget* parent) {
    auto* label = new QLabel("0", parent);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setMinimumWidth(60);
    return label;
}

}  // namespace

VOK_DlgAutoDiscoverStep1::VOK_DlgAutoDiscoverStep1(QWidget* parent) : QDialog(parent) {
    setObjectName("autoDiscoverStep1");
    setWindowTitle("AutoDiscover Wizard Step 1");
    auto* picture = new QLabel(this);
    picture->setObjectName("picture");
    picture->setPixmap(bitmaps::DiscoveryPicture());
    auto* text = new QLabel(
        "This wizard will guide you through the auto discovery process. \n\n"
        "Please connect all VOK Networks to the computer and click \"Next\" to continue.",
        this);
    text->setObjectName("text");
    text->setWordWrap(true);
    text->setMinimumWidth(260);
    auto* next = DialogButton("Next >>", "next", this);
    next->setDefault(true);
    auto* cancel = DialogButton("Cancel", "cancel", this);
    connect(next, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    HelpOnF1(this);

    auto* body = new QHBoxLayout;
    body->addWidget(picture, 0, Qt::AlignTop);
    body->addWidget(text, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(next);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addLayout(buttons);
}

VOK_DlgAutoDiscoverStep2::VOK_DlgAutoDiscoverStep2(QWidget* parent, std::vector<int> onlyPorts)
    : QDialog(parent), onlyPorts_(std::move(onlyPorts)) {
    setObjectName("autoDiscoverStep2");
    setWindowTitle("Auto Discover Status");
    ports_ = Field("portCount", this);
    total_ = Field("totalCombinations", this);
    checked_ = Field("checked", this);
    found_ = Field("foundCount", this);
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progress");
    progress_->setRange(0, 0);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    list_ = new QListWidget(this);
    list_->setObjectName("foundList");
    list_->setMinimumSize(340, 140);
    finish_ = DialogButton("Finish", "finish", this);
    cancel_ = DialogButton("Cancel", "cancel", this);
    connect(finish_, &QPushButton::clicked, this, &VOK_DlgAutoDiscoverStep2::accept);
    connect(cancel_, &QPushButton::clicked, this, &VOK_DlgAutoDiscoverStep2::reject);
    HelpOnF1(this);

    auto* form = new QFormLayout;
    form->addRow("# COM Ports to search:", ports_);
    form->addRow("Total # combinations:", total_);
    form->addRow("Checked:", checked_);
    form->addRow("Number of devices found:", found_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(finish_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(progress_);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &VOK_DlgAutoDiscoverStep2::Refresh);
    autoClose_.setSingleShot(true);
    autoClose_.setInterval(kAutoCloseMs);
    connect(&autoClose_, &QTimer::timeout, this, &VOK_DlgAutoDiscoverStep2::accept);
}

// Closed without Finish or Cancel (its parent went): the search's own
// destruction stops the threads and destroys what they found.
VOK_DlgAutoDiscoverStep2::~VOK_DlgAutoDiscoverStep2() = default;

void VOK_DlgAutoDiscoverStep2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!started_) {
        started_ = true;
        StartSearch();
    }
}

void VOK_DlgAutoDiscoverStep2::StartSearch() {
    list_->clear();
    const int threads = search_.Start(onlyPorts_);
    const VOKDiscovery::Progress p = search_.GetProgress();
    progress_->setRange(0, p.total);
    progress_->setValue(0);
    Refresh();
    if (threads > 0) refresh_.start();
}

void VOK_DlgAutoDiscoverStep2::Refresh() {
    const VOKDiscovery::Progress p = search_.GetProgress();
    if (!stopping_) progress_->setValue(p.checked);
    for (const std::string& line : search_.FoundLinesFrom(static_cast<std::size_t>(list_->count())))
        list_->addItem(QString::fromStdString(line));
    ports_->setText(QString::number(p.ports));
    total_->setText(QString::number(p.total));
    checked_->setText(QString::number(p.checked));
    found_->setText(QString::number(p.found));
    if (refresh_.isActive() && search_.IsComplete()) {
        if (!StopSearch()) {
            QDialog::reject();
            return;
        }
        finish_->setFocus();
        autoClose_.start();
    }
}

bool VOK_DlgAutoDiscoverStep2::StopSearch() {
    refresh_.stop();
    if (stopping_ || !search_.IsRunning()) return true;
    stopping_ = true;
    search_.RequestStop();
    // The threads end within about one echo time-out; meanwhile the window
    // keeps painting under a busy cursor, and its buttons wait.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    finish_->setEnabled(false);
    cancel_->setEnabled(false);
    QElapsedTimer waited;
    waited.start();
    bool ended = search_.WaitStopped(0);
    while (!ended && waited.elapsed() < static_cast<qint64>(stopWaitMs_)) {
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
        ended = search_.WaitStopped(20);
    }
    if (!ended) search_.Abandon();
    QApplication::restoreOverrideCursor();
    finish_->setEnabled(ended);
    cancel_->setEnabled(true);
    progress_->setValue(progress_->maximum());
    stopping_ = false;
    return ended;
}

void VOK_DlgAutoDiscoverStep2::accept() {
    if (stopping_) return;
    autoClose_.stop();
    if (!StopSearch()) {
        QDialog::reject();
        return;
    }
    QDialog::accept();
}

void VOK_DlgAutoDiscoverStep2::reject() {
    if (stopping_) return;
    autoClose_.stop();
    StopSearch();
    search_.DiscardFound();
    list_->clear();
    QDialog::reject();
}

bool RunAutoDiscover(OPCS_Doc& doc, QWidget* parent) {
    VOK_DlgAutoDiscoverStep1 first(parent);
    if (first.exec() != QDialog::Accepted) {
        EventLog().Append("AutoDiscover canceled Step 1").Commit(CLogFile::kWrite);
        return false;
    }
    VOK_DlgAutoDiscoverStep2 second(parent);
    if (second.exec() != QDialog::Accepted) {
        EventLog().Append("AutoDiscover canceled Step 2").Commit(CLogFile::kWrite);
        return false;
    }
    AddDiscoveredDevices(
        second.TakeFound(), [&doc](Dll<OPCS_Device*>& out) { doc.GetDeviceList(out); },
        [&doc](VOKDevice* device) { return doc.AddDevice(device); });
    EventLog().Append("AutoDiscover process complete").Commit(CLogFile::kWrite);
    return true;
}
