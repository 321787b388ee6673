#include "ui/VOK_ScaleWizard.h"

#include "foundation/VersionInfo.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/UiServices.h"
#include "model/VOKDevice.h"
#include "ui/HelpWindow.h"

#include <QDoubleValidator>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QShortcut>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QWizardPage>

#include <algorithm>
#include <memory>

namespace {

constexpr int kSampleMs = 500;
constexpr const char* kEqualCounts =
    "The wizard is unable to compute the gain because the min and max values for the device are the same.";

QString Shown(double value) { return QString::fromStdString(scalewizard::FormatNumber(value)); }
std::optional<double> Typed(const QLineEdit& edit) { return scalewizard::ParseNumber(edit.text().toStdString()); }

QLineEdit* NumberEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setAlignment(Qt::AlignRight);
    return edit;
}

QLabel* Note(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The device value as a number; nullopt when it cannot be read as one.
std::optional<double> AsNumber(const VARIANT& value) {
    VARIANT number;
    VariantInit(&number);
    std::optional<double> out;
    if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8))) out = number.dblVal;
    VariantClear(&number);
    return out;
}

class WizardPage : public QWizardPage {
public:
    WizardPage(VOK_ScaleWizard& wizard, const char* name, const QString& title) : wizard_(wizard) {
        setObjectName(name);
        setTitle(title);
    }

protected:
    VOK_ScaleWizard& wizard_;
};

class IntroPage : public WizardPage {
public:
    explicit IntroPage(VOK_ScaleWizard& wizard) : WizardPage(wizard, "step1", "Scale Wizard Step 1") {
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(Note("This wizard scales the analog input from two measurements: the average count "
                               "with the signal at the bottom of its range (zero scale) and at the top of its "
                               "range (full scale).\n\nThe device keeps polling while the samples are collected; "
                               "each sample is a new poll result.\n\nClick Next to continue.",
                               this));
        layout->addStretch();
    }
};

class CountPage : public WizardPage {
public:
    CountPage(VOK_ScaleWizard& wizard, bool full)
        : WizardPage(wizard, full ? "step5" : "step2", full ? "Scale Wizard Step 5" : "Scale Wizard Step 2") {
        spin_ = new QSpinBox(this);
        spin_->setObjectName("samplesToCollect");
        spin_->setRange(scalewizard::kMinSamples, scalewizard::kMaxSamples);
        spin_->setAlignment(Qt::AlignRight);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(Note(full ? "Full-scale test: apply the signal at the top of its range (for a 4-20 mA "
                                      "loop, 20 mA) and let it settle."
                                    : "Zero-scale test: apply the signal at the bottom of its range (for a 4-20 mA "
                                      "loop, 4 mA) and let it settle.",
                               this));
        auto* form = new QFormLayout;
        form->addRow("#Samples to Collect:", spin_);
        layout->addLayout(form);
        layout->addWidget(Note("Click Next to start collecting samples.", this));
        layout->addStretch();
    }
    void initializePage() override { spin_->setValue(scalewizard::SamplesToCollect()); }
    bool validatePage() override {
        scalewizard::SetSamplesToCollect(spin_->value());
        return true;
    }

private:
    QSpinBox* spin_;
};

class CollectPage : public WizardPage {
public:
    CollectPage(VOK_ScaleWizard& wizard, bool full)
        : WizardPage(wizard, full ? "step6" : "step3", full ? "Scale Wizard Step 6" : "Scale Wizard Step 3"),
          full_(full) {
        toCollect_ = NumberEdit("samplesToCollect", this);
        collected_ = NumberEdit("collectedSamples", this);
        current_ = NumberEdit("currentCount", this);
        for (QLineEdit* edit : {toCollect_, collected_, current_}) {
            edit->setReadOnly(true);
            edit->setFocusPolicy(Qt::NoFocus);
        }
        complete_ = new QLabel(full ? "Max scale samples are complete.\nClick Next to continue."
                                    : "Zero scale samples are complete.\nClick Next to continue.",
                               this);
        complete_->setObjectName("completeText");
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(Note(full ? "Collecting max-scale samples. Keep the signal at the top of its range."
                                    : "Collecting zero-scale samples. Keep the signal at the bottom of its range.",
                               this));
        auto* form = new QFormLayout;
        form->addRow("#Samples to Collect:", toCollect_);
        form->addRow("#Collected Samples:", collected_);
        form->addRow("Current Analog Count:", current_);
        layout->addLayout(form);
        layout->addWidget(complete_);
        layout->addStretch();
        timer_ = new QTimer(this);
        timer_->setInterval(kSampleMs);
        connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
    }

    void initializePage() override {
        collector_.reset();
        complete_->hide();
        OPCS_Tag& tag = wizard_.Tag();
        if (!OPCS_Tag::IsValidTag(&tag) || VOK_ScaleWizard::CounterDeviceOf(tag) == nullptr ||
            !versioninfo::IsNumericType(tag.GetCanonicalType())) {
            Abandon();
            return;
        }
        collector_ = std::make_unique<scalewizard::SampleCollector>(scalewizard::SamplesToCollect());
        toCollect_->setText(QString::number(collector_->ToCollect()));
        collected_->setText("0");
        current_->clear();
        timer_->start();
        emit completeChanged();
    }
    void cleanupPage() override {
        timer_->stop();
        collector_.reset();
    }
    bool isComplete() const override { return collector_ != nullptr && collector_->IsComplete(); }
    bool validatePage() override {
        const auto average = collector_ != nullptr ? collector_->Average() : std::nullopt;
        if (!average) return false;
        wizard_.SetAverage(full_, *average);
        return true;
    }

private:
    // The step cannot measure: the wizard ends as if cancelled, once the page switch is over.
    void Abandon() {
        timer_->stop();
        QMetaObject::invokeMethod(&wizard_, &QDialog::reject, Qt::QueuedConnection);
    }

    void Tick() {
        OPCS_Tag& tag = wizard_.Tag();
        if (collector_ == nullptr) return;
        if (!OPCS_Tag::IsValidTag(&tag)) {
            Abandon();
            return;
        }
        VARIANT value;
        VariantInit(&value);
        tag.Lock();
        const std::string text = tag.GetDeviceValueText();
        const WORD quality = tag.GetQuality();
        const FILETIME stamp = tag.GetTimestamp();
        tag.GetDeviceValue(value);
        tag.Unlock();
        current_->setText(QString::fromStdString(text));
        collector_->Offer(quality, Ticks(stamp), AsNumber(value));
        VariantClear(&value);
        collected_->setText(QString::number(collector_->Collected()));
        if (!collector_->IsComplete()) return;
        timer_->stop();
        complete_->show();
        emit completeChanged();
    }

    bool full_;
    QLineEdit* toCollect_;
    QLineEdit* collected_;
    QLineEdit* current_;
    QLabel* complete_;
    QTimer* timer_;
    std::unique_ptr<scalewizard::SampleCollector> collector_;
};

class ValuePage : public WizardPage {
public:
    ValuePage(VOK_ScaleWizard& wizard, bool full, double defaultValue)
        : WizardPage(wizard, full ? "step7" : "step4", full ? "Scale Wizard Step 7" : "Scale Wizard Step 4"),
          full_(full) {
        average_ = NumberEdit("averageCounts", this);
        average_->setReadOnly(true);
        average_->setFocusPolicy(Qt::NoFocus);
        value_ = NumberEdit("scaledValue", this);
        value_->setText(Shown(defaultValue));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(Note(full ? "The average count at full scale. Enter the value the top of the signal "
                                      "stands for, in engineering units."
                                    : "The average count at zero scale. Enter the value the bottom of the signal "
                                      "stands for, in engineering units.",
                               this));
        auto* form = new QFormLayout;
        form->addRow("Avg. Counts:", average_);
        form->addRow("Scaled Value:", value_);
        layout->addLayout(form);
        layout->addStretch();
        connect(value_, &QLineEdit::textChanged, this, [this] { emit completeChanged(); });
    }
    void initializePage() override {
        const auto average = wizard_.Average(full_);
        // Six figures: the counts come with two decimals; more digits of their
        // mean would only be noise for the operator to read.
        average_->setText(average ? QString::number(*average, 'g', 6) : QString());
    }
    bool isComplete() const override { return Typed(*value_).has_value(); }

private:
    bool full_;
    QLineEdit* average_;
    QLineEdit* value_;
};

class SummaryPage : public WizardPage {
public:
    explicit SummaryPage(VOK_ScaleWizard& wizard) : WizardPage(wizard, "step8", "Scale Wizard Summary") {
        minCount_ = NumberEdit("minCount", this);
        minValue_ = NumberEdit("minValue", this);
        maxCount_ = NumberEdit("maxCount", this);
        maxValue_ = NumberEdit("maxValue", this);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(Note("The two points the scaling will run through. Correct them if needed, then click "
                               "Finish to give the tag its new limits, gain and offset.",
                               this));
        auto* form = new QFormLayout;
        form->addRow("Min Count", minCount_);
        form->addRow("Min Value", minValue_);
        form->addRow("Max Count", maxCount_);
        form->addRow("Max Value", maxValue_);
        layout->addLayout(form);
        layout->addStretch();
        for (QLineEdit* edit : {minCount_, minValue_, maxCount_, maxValue_})
            connect(edit, &QLineEdit::textChanged, this, [this] { emit completeChanged(); });
    }
    void initializePage() override {
        auto copy = [this](QLineEdit* to, const char* page, const char* field) {
            const auto* from = wizard_.findChild<QWizardPage*>(page)->findChild<QLineEdit*>(field);
            to->setText(from->text());
        };
        copy(minCount_, "step4", "averageCounts");
        copy(minValue_, "step4", "scaledValue");
        copy(maxCount_, "step7", "averageCounts");
        copy(maxValue_, "step7", "scaledValue");
    }
    bool isComplete() const override {
        for (const QLineEdit* edit : {minCount_, minValue_, maxCount_, maxValue_})
            if (!Typed(*edit)) return false;
        return true;
    }
    VOK_ScaleWizard::Point Min() const { return {*Typed(*minCount_), *Typed(*minValue_)}; }
    VOK_ScaleWizard::Point Max() const { return {*Typed(*maxCount_), *Typed(*maxValue_)}; }

private:
    QLineEdit* minCount_;
    QLineEdit* minValue_;
    QLineEdit* maxCount_;
    QLineEdit* maxValue_;
};

}  // namespace

VOK_ScaleWizard::VOK_ScaleWizard(OPCS_Tag& tag, QWidget* parent) : QWizard(parent), tag_(tag) {
    setObjectName("scaleWizard");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setOption(QWizard::HaveHelpButton, true);
    setOption(QWizard::NoBackButtonOnStartPage, true);
    tag.Lock();
    const double euMin = tag.GetEUMin(), euMax = tag.GetEUMax();
    tag.Unlock();
    setPage(kIntro, new IntroPage(*this));
    setPage(kZeroCount, new CountPage(*this, false));
    setPage(kZeroCollect, new CollectPage(*this, false));
    setPage(kZeroValue, new ValuePage(*this, false, euMin));
    setPage(kFullCount, new CountPage(*this, true));
    setPage(kFullCollect, new CollectPage(*this, true));
    setPage(kFullValue, new ValuePage(*this, true, euMax));
    setPage(kSummary, new SummaryPage(*this));
    // Each step is its own dialog to the operator, titled as the step.
    connect(this, &QWizard::currentIdChanged, this, [this](int id) {
        if (QWizardPage* shown = page(id)) setWindowTitle(shown->title());
    });
    setWindowTitle("Scale Wizard Step 1");
    auto help = [this] { help::ShowHelp(help::kScalingWizard, this); };
    connect(this, &QWizard::helpRequested, this, help);
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, help);

    // The samples are new poll results; without a poll request of the
    // operator's the device may not be polling at all.
    if (VOKDevice* device = CounterDeviceOf(tag); device != nullptr && device->GetGuiPollRequests() == 0) {
        const std::int32_t before = device->GetGuiPollRequests();
        device->RequestPolling(OPCS_Device::kOperator);
        // A device that takes no requests in its present state did not count
        // this one; withdrawing it later would take away someone else's.
        if (device->GetGuiPollRequests() > before) pollDevice_ = device;
    }
}

VOK_ScaleWizard::~VOK_ScaleWizard() { ReleasePollRequest(); }

VOKDevice* VOK_ScaleWizard::CounterDeviceOf(OPCS_Tag& tag) {
    if (!OPCS_Tag::IsValidTag(&tag)) return nullptr;
    OPCS_TagGroup* group = tag.GetGroup();
    if (!OPCS_TagGroup::IsValidGroup(group)) return nullptr;
    OPCS_TagGroup* device = group->GetDevice();
    return VOKDevice::IsValidVOKDevice(device) ? static_cast<VOKDevice*>(device) : nullptr;
}

void VOK_ScaleWizard::ReleasePollRequest() {
    VOKDevice* device = pollDevice_;
    pollDevice_ = nullptr;
    if (device != nullptr && VOKDevice::IsValidVOKDevice(device)) device->ReleasePolling(OPCS_Device::kOperator);
}

void VOK_ScaleWizard::accept() {
    const auto* summary = static_cast<const SummaryPage*>(page(kSummary));
    if (!summary->isComplete() || !OPCS_Tag::IsValidTag(&tag_)) {
        reject();
        return;
    }
    const Point min = summary->Min(), max = summary->Max();
    const auto scaling = scalewizard::ComputeScaling(min.count, min.value, max.count, max.value);
    if (!scaling) {
        GetUiServices().ShowMessage(kEqualCounts, MessageIcon::Warning, MessageButtons::Ok);
        reject();
        return;
    }
    // A signal that falls as the value rises is measured with its points the
    // other way round; the limits are ranges and take them in order, where
    // the tag would otherwise ignore the pair and keep its old limits.
    tag_.SetEULimits(std::min(min.value, max.value), std::max(min.value, max.value));
    tag_.SetRawLimits(std::min(min.count, max.count), std::max(min.count, max.count));
    tag_.SetScaling(scaling->offset, scaling->gain);
    outcome_ = Result{min, max, *scaling};
    QWizard::accept();
}

void VOK_ScaleWizard::done(int result) {
    for (int id : pageIds()) {
        if (auto* collect = dynamic_cast<CollectPage*>(page(id))) collect->cleanupPage();
    }
    ReleasePollRequest();
    QWizard::done(result);
}
