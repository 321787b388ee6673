#include "ui/VOK_DlgDevice.h"

#include "ui/HelpWindow.h"

#include "foundation/StringTable.h"
#include "ui/BusyWork.h"
#include "ui/VOK_DlgDeviceBins.h"
#include "ui/VOK_DlgDeviceCalPts.h"
#include "ui/VOK_DlgDeviceCfg.h"
#include "ui/VOK_DlgDeviceScale.h"

#include <QDialogButtonBox>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

VOK_DlgDevice::VOK_DlgDevice(VOKDevice& device, QWidget* parent) : QDialog(parent) {
    setObjectName("deviceProperties");
    setWindowTitle(QString::fromStdString(LoadStringText(IDS_DEVICE_PROPERTIES)));
    tabs_ = new QTabWidget(this);
    pages_ = {new VOK_DlgDeviceCfg(device), new VOK_DlgDeviceBins(device), new VOK_DlgDeviceScale(device),
              new VOK_DlgDeviceCalPts(device)};
    const char* titles[] = {"Configuration", "Bin Sizes", "Analog Inputs", "Calibration Curve Pts"};
    for (std::size_t i = 0; i < pages_.size(); ++i) tabs_->addTab(pages_[i], titles[i]);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { help::ShowHelp(help::kDeviceProperties, this); });
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, [this] { help::ShowHelp(help::kDeviceProperties, this); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

void VOK_DlgDevice::accept() {
    for (DevicePage* page : pages_) {
        if (page->IsInitialised() && !page->Validate()) {
            tabs_->setCurrentWidget(page);
            return;
        }
    }
    busywork::Run(this, [this] {
        for (DevicePage* page : pages_) {
            if (page->IsInitialised()) page->Apply();
        }
    });
    for (DevicePage* page : pages_) {
        if (page->IsInitialised()) page->AfterApply();
    }
    QDialog::accept();
}
