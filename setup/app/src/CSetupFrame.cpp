#include "setupui/CSetupFrame.h"

#include "setupui/CVOKView.h"

#include "setup/CSensorScan.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>

namespace {

constexpr int kPanes = 4;

QPixmap IndicatorPicture(bool lit) {
    QPixmap picture(14, 14);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(lit ? QColor(0xff, 0xd0, 0x20) : QColor(0x50, 0x50, 0x50));
    p.drawEllipse(QRectF(1.5, 1.5, 11, 11));
    return picture;
}

}  // namespace

QIcon SetupIcon() {
    QIcon icon;
    for (int edge : {16, 32, 48, 128}) {
        QPixmap picture(edge, edge);
        picture.fill(Qt::transparent);
        QPainter p(&picture);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.scale(edge / 48.0, edge / 48.0);
        // The counter's housing with its light lit.
        p.setPen(QPen(QColor(0x0b, 0x25, 0x45), 2));
        p.setBrush(QColor(0xe8, 0xec, 0xf0));
        p.drawRoundedRect(QRectF(4, 10, 40, 28), 4, 4);
        p.setBrush(QColor(0xff, 0xd0, 0x20));
        p.drawEllipse(QPointF(13, 24), 5, 5);
        // A size scale: bars rising from left to right.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x16, 0x4f, 0x82));
        for (int i = 0; i < 4; ++i) p.drawRect(QRectF(23 + i * 5, 32 - (i + 1) * 4.5, 3.5, (i + 1) * 4.5));
        icon.addPixmap(picture);
    }
    return icon;
}

QString SetupText(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

CSetupStatusBar::CSetupStatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName("statusBar");
    for (int i = 0; i < kPanes; ++i) {
        auto* pane = new QLabel(this);
        pane->setObjectName(QString("pane%1").arg(i));
        pane->setMinimumWidth(i == 0 ? 120 : 90);
        addWidget(pane);
        panes_.push_back(pane);
    }
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progress");
    progress_->setTextVisible(false);
    progress_->setMaximumWidth(220);
    addWidget(progress_, 1);
    indicator_ = new QLabel(this);
    indicator_->setObjectName("indicator");
    addWidget(indicator_);
    SetLayout(SetupStatusLayout::Ready);
}

void CSetupStatusBar::SetLayout(SetupStatusLayout layout, int port, int device) {
    layout_ = layout;
    const SetupStatusPanes panes = StatusPanes(layout, port, device);
    for (std::size_t i = 0; i < panes_.size(); ++i) {
        const bool used = i < panes.texts.size();
        panes_[i]->setText(used ? SetupText(panes.texts[i]) : QString());
        panes_[i]->setVisible(used);
    }
    progress_->setVisible(panes.progress);
    indicator_->setVisible(panes.indicator);
    if (!panes.indicator) SetIndicator(false);
}

void CSetupStatusBar::SetIndicator(bool lit) {
    lit_ = lit;
    indicator_->setPixmap(IndicatorPicture(lit));
}

std::vector<std::string> CSetupStatusBar::PaneTexts() const {
    std::vector<std::string> texts;
    for (const QLabel* pane : panes_)
        if (!pane->isHidden()) texts.push_back(pane->text().toStdString());
    return texts;
}

CSetupFrame::CSetupFrame(std::vector<int> scanPorts, QWidget* parent) : QMainWindow(parent) {
    setObjectName("setupFrame");
    setWindowTitle("VOKSetup");
    setWindowIcon(SetupIcon());
    status_ = new CSetupStatusBar(this);
    setStatusBar(status_);
    view_ = new CVOKView(*status_, scanPorts.empty() ? CSensorScan::AllPorts() : std::move(scanPorts), this);
    setCentralWidget(view_);
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("E&xit", this, &QWidget::close);
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction("&About VOKSetup...", this, [this] {
        QMessageBox::about(this, "About VOKSetup",
                           "VOKSetup\n\nFinds the 4400 VOK counters on the serial lines and programs their size "
                           "bins and calibration.");
    });
    resize(760, 560);
}

void CSetupFrame::closeEvent(QCloseEvent* event) {
    // A scan in progress ends after the address each port is on.
    view_->StopScan();
    QMainWindow::closeEvent(event);
}
