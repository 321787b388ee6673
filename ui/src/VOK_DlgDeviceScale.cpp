#include "ui/VOK_DlgDeviceScale.h"

#include "model/UiServices.h"
#include "model/VOKTag.h"
#include "ui/DeviceSheetLogic.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

VOK_DlgDeviceScale::VOK_DlgDeviceScale(VOKDevice& device, QWidget* parent) : DevicePage(device, parent) {
    setObjectName("analogInputsPage");
    limits_ = device.GetAnalogLimits();
    auto* grid = new QGridLayout;
    int column = 1;
    for (const char* heading : {"Min Value", "Max Value", "DeadBand %"}) grid->addWidget(new QLabel(heading, this), 0, column++);
    for (int i = 0; i < devicesheet::kAnalogRows; ++i) {
        Row row{new QCheckBox("Enable", this), new QLineEdit(this), new QLineEdit(this), new QLineEdit(this)};
        row.enable->setObjectName(QString("enable%1").arg(i + 1));
        row.minimum->setObjectName(QString("min%1").arg(i + 1));
        row.maximum->setObjectName(QString("max%1").arg(i + 1));
        row.deadBand->setObjectName(QString("deadBand%1").arg(i + 1));
        auto* more = new QPushButton("More...", this);
        more->setObjectName(QString("more%1").arg(i + 1));
        grid->addWidget(new QLabel(QString::number(i + 1), this), i + 1, 0);
        grid->addWidget(row.minimum, i + 1, 1);
        grid->addWidget(row.maximum, i + 1, 2);
        grid->addWidget(row.deadBand, i + 1, 3);
        grid->addWidget(row.enable, i + 1, 4);
        grid->addWidget(more, i + 1, 5);
        connect(row.enable, &QCheckBox::clicked, this, [this, i] { OnEnableClicked(i); });
        connect(more, &QPushButton::clicked, this, [this, i] { OnMore(i); });
        rows_.push_back(row);
    }
    auto* note = new QLabel("Analog inputs need the counter's optional analog input hardware. "
                            "An enabled input is read with every sample; its dead band is a percentage of its range.",
                            this);
    note->setWordWrap(true);
    auto* page = new QVBoxLayout(this);
    page->addLayout(grid);
    page->addWidget(note);
    page->addStretch();
}

void VOK_DlgDeviceScale::ShowRow(int i, bool enabled, double minimum, double maximum, double deadBand) {
    const Row& row = rows_[i];
    row.enable->setChecked(enabled);
    row.minimum->setText(Text(devicesheet::NumberText(minimum)));
    row.maximum->setText(Text(devicesheet::NumberText(maximum)));
    row.deadBand->setText(Text(devicesheet::NumberText(deadBand)));
    for (QLineEdit* edit : {row.minimum, row.maximum, row.deadBand}) edit->setEnabled(enabled);
}

void VOK_DlgDeviceScale::Initialise() {
    for (const VOKAnalogLimits& limit : limits_) {
        if (limit.inputIndex < 0 || limit.inputIndex >= devicesheet::kAnalogRows) continue;
        ShowRow(limit.inputIndex, limit.enabled != 0, limit.minimum, limit.maximum, limit.deadBand);
    }
}

void VOK_DlgDeviceScale::OnEnableClicked(int i) {
    const Row& row = rows_[i];
    devicesheet::AnalogRow edits{row.enable->isChecked(), row.minimum->text().toStdString(),
                                 row.maximum->text().toStdString(), row.deadBand->text().toStdString()};
    devicesheet::SetRowEnabled(edits, edits.enabled);
    row.minimum->setText(Text(edits.minimum));
    row.maximum->setText(Text(edits.maximum));
    row.deadBand->setText(Text(edits.deadBand));
    for (QLineEdit* edit : {row.minimum, row.maximum, row.deadBand}) edit->setEnabled(edits.enabled);
}

void VOK_DlgDeviceScale::OnMore(int i) {
    VOKTag* tag = nullptr;
    for (const VOKAnalogLimits& limit : limits_) {
        if (limit.inputIndex == i) tag = limit.analogTag;
    }
    if (!OPCS_Tag::IsValidTag(tag)) return;
    const Row& row = rows_[i];
    const auto values = devicesheet::ReadRow({true, row.minimum->text().toStdString(), row.maximum->text().toStdString(),
                                              row.deadBand->text().toStdString()});
    if (values) {
        tag->SetEULimits(values->minimum, values->maximum);
        tag->SetDeadBand(values->deadBand);
    }
    tag->ShowProperties();
    ShowRow(i, row.enable->isChecked(), tag->GetEUMin(), tag->GetEUMax(), tag->GetDeadBand());
}

bool VOK_DlgDeviceScale::Validate() {
    for (int i = 0; i < devicesheet::kAnalogRows; ++i) {
        const Row& row = rows_[i];
        for (VOKAnalogLimits& limit : limits_) {
            if (limit.inputIndex != i) continue;
            limit.enabled = row.enable->isChecked() ? 1 : 0;
            if (!limit.enabled) continue;
            const auto values = devicesheet::ReadRow({true, row.minimum->text().toStdString(),
                                                      row.maximum->text().toStdString(),
                                                      row.deadBand->text().toStdString()});
            // A checked input whose range cannot be read would be scaled with
            // numbers nobody typed; it is refused instead.
            if (!values) {
                GetUiServices().ShowMessage(
                    "Analog input " + std::to_string(i + 1) + ": Min Value, Max Value and DeadBand % must be numbers.",
                    MessageIcon::Warning, MessageButtons::Ok);
                return false;
            }
            limit.minimum = values->minimum;
            limit.maximum = values->maximum;
            limit.deadBand = values->deadBand;
        }
    }
    return true;
}

void VOK_DlgDeviceScale::Apply() { device_.SetAnalogLimits(limits_); }
