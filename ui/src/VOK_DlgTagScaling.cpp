#include "ui/VOK_DlgTagScaling.h"

#include "ui/DialogWidgets.h"

#include "foundation/VersionInfo.h"
#include "model/OPCS_Tag.h"
#include "model/UiServices.h"
#include "ui/ScaleWizardLogic.h"
#include "ui/VOK_DlgTagProperties.h"
#include "ui/VOK_ScaleWizard.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QString Shown(double value) { return QString::fromStdString(scalewizard::FormatNumber(value)); }

constexpr int kRefreshMs = 500;

// The wizard button's picture: a straight line through two marked points.
QIcon WizardIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(60, 60, 60), 2));
    painter.drawLine(4, 28, 30, 28);
    painter.drawLine(4, 28, 4, 2);
    painter.setPen(QPen(QColor(0, 90, 200), 2));
    painter.drawLine(6, 25, 29, 5);
    painter.setBrush(QColor(220, 60, 40));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QPointF(10, 21.5), 3, 3);
    painter.drawEllipse(QPointF(24, 9.5), 3, 3);
    return QIcon(pixmap);
}

// The latest values as the tag list shows them, taken in one hold of the
// tag's lock so that the count and the scaled value belong together. The
// changed flag is left as it was: it tells the tag list which rows to
// refresh, and a page that only looks must not make the list miss a value.
bool LiveTexts(OPCS_Tag& tag, std::string& count, std::string& scaled) {
    tag.Lock();
    const bool good = tag.GetQuality() == kQualityGood;
    if (good) {
        const bool changed = tag.IsChanged();
        count = tag.GetDeviceValueText();
        scaled = tag.GetValueText();
        tag.SetChanged(changed);
    }
    tag.Unlock();
    return good;
}

}  // namespace

VOK_DlgTagScaling::VOK_DlgTagScaling(OPCS_Tag& tag, VOK_DlgTagProperties* properties, QWidget* parent)
    : QWidget(parent), tag_(tag), properties_(properties) {
    setObjectName("tagScaling");

    auto* counts = new QGroupBox("Analog Counts", this);
    limit_ = new QCheckBox("Limit analog counts", counts);
    limit_->setObjectName("limitAnalogCounts");
    rawMin_ = NumberEdit("rawMin", counts);
    rawMax_ = NumberEdit("rawMax", counts);
    auto* note = new QLabel("Note: Range 0 - 5000", counts);
    auto* countForm = new QFormLayout(counts);
    countForm->addRow(limit_);
    countForm->addRow("Min:", rawMin_);
    countForm->addRow("Max:", rawMax_);
    countForm->addRow(note);

    auto* scaling = new QGroupBox("Scaling", this);
    scale_ = new QCheckBox("Scale Analog Counts", scaling);
    scale_->setObjectName("scaleAnalogCounts");
    gain_ = NumberEdit("gain", scaling);
    offset_ = NumberEdit("offset", scaling);
    auto* scaleForm = new QFormLayout(scaling);
    scaleForm->addRow(scale_);
    scaleForm->addRow("Gain:", gain_);
    scaleForm->addRow("Offset:", offset_);

    auto* live = new QGroupBox("Latest Values", this);
    lastCount_ = NumberEdit("lastDacCount", live);
    lastCount_->setReadOnly(true);
    lastScaled_ = NumberEdit("lastScaledValue", live);
    lastScaled_->setReadOnly(true);
    lastCount_->setFocusPolicy(Qt::NoFocus);
    lastScaled_->setFocusPolicy(Qt::NoFocus);
    auto* liveForm = new QFormLayout(live);
    liveForm->addRow("Last DAC Count:", lastCount_);
    liveForm->addRow("Last Scaled Value:", lastScaled_);

    wizardButton_ = new QToolButton(this);
    wizardButton_->setObjectName("scalingWizard");
    wizardButton_->setText("Scaling Wizard");
    wizardButton_->setIcon(WizardIcon());
    wizardButton_->setIconSize(QSize(32, 32));
    wizardButton_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);

    auto* left = new QVBoxLayout;
    left->addWidget(counts);
    left->addWidget(scaling);
    auto* right = new QVBoxLayout;
    right->addWidget(live);
    right->addWidget(wizardButton_, 0, Qt::AlignHCenter);
    right->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(right, 1);

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, [this] { RefreshLiveValues(); });
    connect(limit_, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
    connect(scale_, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
    connect(wizardButton_, &QToolButton::clicked, this, [this] { RunWizard(); });
}

void VOK_DlgTagScaling::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (initialised_) return;
    Initialise();
    initialised_ = true;
}

void VOK_DlgTagScaling::Initialise() {
    tag_.Lock();
    numeric_ = versioninfo::IsNumericType(tag_.GetCanonicalType());
    limit_->setChecked(tag_.IsRawLimitsActive());
    rawMin_->setText(Shown(tag_.GetRawMin()));
    rawMax_->setText(Shown(tag_.GetRawMax()));
    if (tag_.IsScalingEnabled()) {
        scale_->setChecked(tag_.IsScalingActive());
        gain_->setText(Shown(tag_.GetGain()));
        offset_->setText(Shown(tag_.GetOffset()));
    } else {
        scale_->setChecked(false);
        gain_->clear();
        offset_->clear();
    }
    tag_.Unlock();
    UpdateEnabled();
    RefreshLiveValues();
    timer_->start();
}

void VOK_DlgTagScaling::UpdateEnabled() {
    const auto controls = scalewizard::ScalingEnabled(tag_.IsRawLimitsEnabled(), limit_->isChecked(),
                                                      tag_.IsScalingEnabled(), scale_->isChecked(), numeric_);
    limit_->setEnabled(controls.rawCheck);
    rawMin_->setEnabled(controls.rawEdits);
    rawMax_->setEnabled(controls.rawEdits);
    scale_->setEnabled(controls.scaleCheck);
    gain_->setEnabled(controls.scaleEdits);
    offset_->setEnabled(controls.scaleEdits);
    wizardButton_->setVisible(controls.wizardShown);
    wizardButton_->setEnabled(controls.wizardEnabled);
}

void VOK_DlgTagScaling::RefreshLiveValues() {
    std::string count, scaled;
    if (!OPCS_Tag::IsValidTag(&tag_) || !LiveTexts(tag_, count, scaled)) {
        lastCount_->clear();
        lastScaled_->clear();
        return;
    }
    lastCount_->setText(QString::fromStdString(count));
    lastScaled_->setText(QString::fromStdString(scaled));
}

bool VOK_DlgTagScaling::Validate() {
    struct Pair {
        bool checked;
        QLineEdit* first;
        QLineEdit* second;
        bool ordered;  // the first must not exceed the second
    };
    const Pair pairs[] = {{tag_.IsRawLimitsEnabled() && limit_->isChecked(), rawMin_, rawMax_, true},
                          {tag_.IsScalingEnabled() && scale_->isChecked(), gain_, offset_, false}};
    for (const Pair& pair : pairs) {
        if (!pair.checked) continue;
        const auto first = scalewizard::ParseNumber(pair.first->text().toStdString());
        const auto second = scalewizard::ParseNumber(pair.second->text().toStdString());
        QLineEdit* wrong = !first ? pair.first : !second ? pair.second : nullptr;
        const char* text = scalewizard::kNotANumber;
        if (wrong == nullptr && pair.ordered && *first > *second) {
            wrong = pair.first;
            text = scalewizard::kMinAboveMax;
        }
        if (wrong == nullptr) continue;
        GetUiServices().ShowMessage(text, MessageIcon::Warning, MessageButtons::Ok);
        wrong->setFocus();
        wrong->selectAll();
        return false;
    }
    return true;
}

void VOK_DlgTagScaling::Apply() {
    if (tag_.IsRawLimitsEnabled()) {
        if (limit_->isChecked()) {
            tag_.SetRawLimits(*scalewizard::ParseNumber(rawMin_->text().toStdString()),
                              *scalewizard::ParseNumber(rawMax_->text().toStdString()));
        } else {
            tag_.ClearRawLimits();
        }
    }
    if (tag_.IsScalingEnabled()) {
        if (scale_->isChecked()) {
            tag_.SetScaling(*scalewizard::ParseNumber(offset_->text().toStdString()),
                            *scalewizard::ParseNumber(gain_->text().toStdString()));
        } else {
            tag_.ClearScaling();
        }
    }
}

void VOK_DlgTagScaling::RunWizard() {
    if (wizard_ != nullptr || !OPCS_Tag::IsValidTag(&tag_) || !numeric_) return;
    if (!limit_->isChecked() || !scale_->isChecked()) return;
    if (VOK_ScaleWizard::CounterDeviceOf(tag_) == nullptr) return;
    wizard_ = new VOK_ScaleWizard(tag_, this);
    connect(wizard_, &QDialog::finished, this, [this](int result) { WizardFinished(result); });
    wizard_->open();
}

void VOK_DlgTagScaling::WizardFinished(int) {
    VOK_ScaleWizard* wizard = wizard_;
    wizard_ = nullptr;
    if (wizard == nullptr) return;
    const auto outcome = wizard->Outcome();
    wizard->deleteLater();
    if (!outcome || !OPCS_Tag::IsValidTag(&tag_)) return;
    // The tag already holds what the wizard set; the page shows it so that OK keeps it.
    tag_.Lock();
    const double euMin = tag_.GetEUMin(), euMax = tag_.GetEUMax();
    const double rawMin = tag_.GetRawMin(), rawMax = tag_.GetRawMax();
    tag_.Unlock();
    if (properties_ != nullptr) properties_->ShowEULimits(euMin, euMax);
    limit_->setChecked(true);
    rawMin_->setText(Shown(rawMin));
    rawMax_->setText(Shown(rawMax));
    scale_->setChecked(true);
    gain_->setText(Shown(outcome->scaling.gain));
    offset_->setText(Shown(outcome->scaling.offset));
    modified_ = true;
    UpdateEnabled();
}
