#include "ui/VOK_DlgTagProperties.h"

#include "ui/DialogWidgets.h"

#include "model/OPCS_Tag.h"
#include "model/UiServices.h"
#include "ui/ScaleWizardLogic.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>

#include <climits>

namespace {

QString Shown(double value) { return QString::fromStdString(scalewizard::FormatNumber(value)); }

}  // namespace

VOK_DlgTagProperties::VOK_DlgTagProperties(OPCS_Tag& tag, QWidget* parent) : QWidget(parent), tag_(tag) {
    setObjectName("tagProperties");
    name_ = new QLineEdit(this);
    name_->setObjectName("name");
    description_ = new QLineEdit(this);
    description_->setObjectName("description");

    auto* limits = new QGroupBox("Value Limits", this);
    limit_ = new QCheckBox("Limit Tag Values", limits);
    limit_->setObjectName("limitTagValues");
    euMin_ = NumberEdit("euMin", limits);
    euMax_ = NumberEdit("euMax", limits);
    deadBand_ = new QDoubleSpinBox(limits);
    deadBand_->setObjectName("deadBand");
    deadBand_->setRange(0, 100);
    deadBand_->setDecimals(2);
    deadBand_->setSingleStep(0.5);
    deadBand_->setAlignment(Qt::AlignRight);
    auto* limitForm = new QFormLayout(limits);
    limitForm->addRow(limit_);
    limitForm->addRow("Min:", euMin_);
    limitForm->addRow("Max:", euMax_);
    limitForm->addRow("Noise DeadBand (%)", deadBand_);

    auto* simulation = new QGroupBox("Simulation", this);
    simulationType_ = new QComboBox(simulation);
    simulationType_->setObjectName("simulationType");
    steps_ = new QSpinBox(simulation);
    steps_->setObjectName("steps");
    steps_->setRange(1, INT_MAX);
    steps_->setAlignment(Qt::AlignRight);
    auto* simulationForm = new QFormLayout(simulation);
    simulationForm->addRow("Type:", simulationType_);
    simulationForm->addRow("Steps:", steps_);

    auto* top = new QFormLayout;
    top->addRow("Name:", name_);
    top->addRow("Description:", description_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(limits);
    layout->addWidget(simulation);
    layout->addStretch();
    name_->setMinimumWidth(280);

    connect(limit_, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
}

void VOK_DlgTagProperties::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (initialised_) return;
    Initialise();
    initialised_ = true;
}

void VOK_DlgTagProperties::Initialise() {
    simulationType_->clear();
    // In this order, so that the index is the simulation type.
    simulationType_->addItems({"Sine", "Ramp", "Random"});
    tag_.Lock();
    name_->setText(QString::fromStdString(tag_.GetName()));
    description_->setText(QString::fromStdString(tag_.GetDescription()));
    euMin_->setText(Shown(tag_.GetEUMin()));
    euMax_->setText(Shown(tag_.GetEUMax()));
    limit_->setChecked(tag_.IsEULimitsActive());
    deadBand_->setValue(tag_.GetDeadBand());
    simulationType_->setCurrentIndex(static_cast<int>(tag_.GetSimulationType()));
    steps_->setValue(static_cast<int>(std::min<DWORD>(tag_.GetSimulationSteps(), INT_MAX)));
    tag_.Unlock();
    UpdateEnabled();
}

void VOK_DlgTagProperties::UpdateEnabled() {
    const auto controls =
        scalewizard::PropertiesEnabled(tag_.IsEULimitsEnabled(), limit_->isChecked(), tag_.IsSimulationEnabled());
    limit_->setEnabled(controls.limitCheck);
    euMin_->setEnabled(controls.limitEdits);
    euMax_->setEnabled(controls.limitEdits);
    deadBand_->setEnabled(controls.limitEdits);
    simulationType_->setEnabled(controls.simulation);
    steps_->setEnabled(controls.simulation);
}

void VOK_DlgTagProperties::ShowEULimits(double min, double max) {
    euMin_->setText(Shown(min));
    euMax_->setText(Shown(max));
    limit_->setChecked(tag_.IsEULimitsActive());
    UpdateEnabled();
}

bool VOK_DlgTagProperties::Validate() {
    // The tag would ignore a pair it cannot hold and the operator would
    // believe it was taken; the page says so instead.
    if (!tag_.IsEULimitsEnabled() || !limit_->isChecked()) return true;
    const auto min = scalewizard::ParseNumber(euMin_->text().toStdString());
    const auto max = scalewizard::ParseNumber(euMax_->text().toStdString());
    QLineEdit* wrong = !min ? euMin_ : !max ? euMax_ : *min > *max ? euMin_ : nullptr;
    if (wrong == nullptr) return true;
    GetUiServices().ShowMessage(!min || !max ? scalewizard::kNotANumber : scalewizard::kMinAboveMax, MessageIcon::Warning,
                                MessageButtons::Ok);
    wrong->setFocus();
    wrong->selectAll();
    return false;
}

void VOK_DlgTagProperties::Apply() {
    tag_.SetName(name_->text().toStdString());
    tag_.SetDescription(description_->text().toStdString());
    if (tag_.IsEULimitsEnabled()) {
        if (limit_->isChecked()) {
            tag_.SetEULimits(*scalewizard::ParseNumber(euMin_->text().toStdString()),
                             *scalewizard::ParseNumber(euMax_->text().toStdString()));
        } else {
            tag_.ClearEULimits();
        }
        tag_.SetDeadBand(deadBand_->value());
    }
    if (tag_.IsSimulationEnabled()) {
        tag_.SetSimulationType(static_cast<SimulationType>(simulationType_->currentIndex()));
        tag_.SetSimulationSteps(static_cast<DWORD>(steps_->value()));
    }
}
