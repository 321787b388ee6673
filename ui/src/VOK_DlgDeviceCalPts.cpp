#include "ui/VOK_DlgDeviceCalPts.h"

#include "model/VOKDevice.h"
#include "ui/DeviceSheetLogic.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

VOK_DlgDeviceCalPts::VOK_DlgDeviceCalPts(VOKDevice& device, QWidget* parent) : DevicePage(device, parent) {
    setObjectName("calibrationPage");
}

void VOK_DlgDeviceCalPts::Initialise() {
    Dll<VOK_CalPt> points;
    device_.GetCalPoints(points);
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Size", this), 0, 1);
    grid->addWidget(new QLabel("Threshold mV", this), 0, 2);
    auto it = points.begin();
    for (int i = 0; i < kRows; ++i) {
        auto* size = new QLineEdit(this);
        auto* threshold = new QLineEdit(this);
        size->setObjectName(QString("size%1").arg(i + 1));
        threshold->setObjectName(QString("threshold%1").arg(i + 1));
        for (QLineEdit* edit : {size, threshold}) {
            edit->setReadOnly(true);
            edit->setMaximumWidth(90);
        }
        if (it != points.end()) {
            const VOK_CalPt point = *it;
            ++it;
            size->setText(QString::fromStdString(devicesheet::NumberText(point.size)));
            threshold->setText(QString::number(static_cast<unsigned>(point.voltage)));
        }
        grid->addWidget(new QLabel(QString("Pt %1:").arg(i + 1), this), i + 1, 0, Qt::AlignRight);
        grid->addWidget(size, i + 1, 1);
        grid->addWidget(threshold, i + 1, 2);
    }
    grid->setColumnStretch(3, 1);
    auto* page = new QVBoxLayout(this);
    page->addLayout(grid);
    auto* note = new QLabel("The calibration curve is changed with the VOKSetup program.", this);
    note->setWordWrap(true);
    page->addWidget(note);
    page->addStretch();
}
