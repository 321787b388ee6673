#include "ui/VOK_DlgDeviceBins.h"

#include "model/UiServices.h"
#include "model/VOKDevice.h"
#include "ui/DeviceSheetLogic.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

VOK_DlgDeviceBins::VOK_DlgDeviceBins(VOKDevice& device, QWidget* parent) : DevicePage(device, parent) {
    setObjectName("binSizesPage");
    auto* grid = new QGridLayout;
    constexpr int kRows = devicesheet::kBinEdits / 4;
    for (int i = 0; i < devicesheet::kBinEdits; ++i) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString("bin%1").arg(i + 1));
        edit->setMaximumWidth(70);
        edits_.push_back(edit);
        const int row = i % kRows, column = (i / kRows) * 2;
        grid->addWidget(new QLabel(QString("Bin %1:").arg(i + 1), this), row, column, Qt::AlignRight);
        grid->addWidget(edit, row, column + 1);
    }
    auto* page = new QVBoxLayout(this);
    page->addWidget(new QLabel("Sizes in Microns (Normally 0 to 20)", this));
    page->addLayout(grid);
    page->addStretch();
}

void VOK_DlgDeviceBins::Initialise() {
    Dll<double> bins;
    device_.GetBinSizes(bins);
    int i = 0;
    for (double size : bins) {
        if (i >= devicesheet::kBinEdits) break;
        edits_[i++]->setText(QString::fromStdString(devicesheet::NumberText(size)));
    }
}

bool VOK_DlgDeviceBins::Validate() {
    std::vector<std::string> texts;
    for (const QLineEdit* edit : edits_) texts.push_back(edit->text().toStdString());
    const devicesheet::BinsCheck check = devicesheet::CheckBins(texts);
    for (std::size_t i = 0; i < edits_.size(); ++i) edits_[i]->setText(QString::fromStdString(check.texts[i]));
    if (!check.ok) {
        std::string text =
            "There are errors in the Bin Sizes entered.\nThese errors must be corrected before closing this window.\n"
            "Note: Bin Sizes must be in order from smallest to largest.";
        // The counter keeps each size as three characters; say which one it cannot.
        if (!check.refused.empty()) text += "\n\nThe size \"" + check.refused + "\" cannot be held by the counter here.";
        GetUiServices().ShowMessage(text, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    sizes_ = check.sizes;
    return true;
}

void VOK_DlgDeviceBins::Apply() {
    Dll<double> bins;
    for (double size : sizes_) bins.AddTail(size);
    device_.SetBinSizes(bins, true);
}
