// The tag sheet and the scaling wizard as the operator uses them, against a
// simulated counter on a real pseudo-terminal: what is typed reaches the tag,
// the scaling page appears only where there are analog counts to scale, and
// the wizard measures two points from the polling counter, gives the tag the
// line through them and leaves the device's polling as it found it.
#include "ui/ScaleWizardLogic.h"
#include "ui/VOK_DlgTag.h"
#include "ui/VOK_DlgTagScaling.h"
#include "ui/VOK_ScaleWizard.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "link/CSerial.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int kCollectTimeoutMs = 30000;

std::uint64_t Stamp(const OPCS_Tag& tag) {
    const FILETIME time = tag.GetTimestamp();
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

class TagDialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        kept_ = scalewizard::SamplesToCollect();
        ASSERT_TRUE(StartTestLine(line, "COM47", {TestCounter(1)}));
        device = VOKDevice::Create(false);
        device->SetPort(47);
        device->SetAddress(0x81);
        device->SetSampleInterval(1, false);
        device->SetName(device->GetDefaultName());
        VOKDevicePauses pauses;
        pauses.beforeData = 30;
        pauses.busyRetry = 40;
        pauses.confirmation = 20;
        device->SetPauses(pauses);
        analog = device->GetSlotTag(VOKDevice::kSlotAnalogInput);
        ASSERT_NE(analog, nullptr);
    }
    void TearDown() override {
        device.reset();
        line.Stop();
        scalewizard::SetSamplesToCollect(kept_);
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    static void Type(QWidget& in, const char* name, const QString& text) {
        auto* edit = in.findChild<QLineEdit*>(name);
        ASSERT_NE(edit, nullptr) << name;
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    static QString Text(QWidget& in, const char* name) {
        auto* edit = in.findChild<QLineEdit*>(name);
        return edit != nullptr ? edit->text() : QString("<no %1>").arg(name);
    }
    static void ClickOk(QDialog& sheet) {
        QTest::mouseClick(sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    }

    // Opens the scaling page and starts the wizard from its button.
    VOK_ScaleWizard* StartWizard(VOK_DlgTag& sheet) {
        sheet.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        VOK_DlgTagScaling* page = sheet.ScalingPage();
        if (page == nullptr) return nullptr;
        sheet.Tabs().setCurrentWidget(page);
        auto* button = page->findChild<QToolButton*>("scalingWizard");
        EXPECT_TRUE(button->isVisible() && button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
        VOK_ScaleWizard* wizard = page->Wizard();
        if (wizard != nullptr) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(wizard));
        }
        return wizard;
    }
    static void Next(QWizard& wizard) {
        QAbstractButton* next = wizard.button(QWizard::NextButton);
        ASSERT_TRUE(next->isEnabled()) << "on " << wizard.currentPage()->objectName().toStdString();
        QTest::mouseClick(next, Qt::LeftButton);
    }
    static void SetSamples(QWizard& wizard, int count) {
        auto* spin = wizard.currentPage()->findChild<QSpinBox*>("samplesToCollect");
        ASSERT_NE(spin, nullptr);
        spin->selectAll();
        QTest::keyClicks(spin, QString::number(count));
    }
    // Waits on a collecting step until Next may be pressed.
    static bool Collect(QWizard& wizard) {
        return QTest::qWaitFor([&] { return wizard.button(QWizard::NextButton)->isEnabled(); }, kCollectTimeoutMs);
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    SimLine line;
    std::unique_ptr<VOKDevice> device;
    VOKTag* analog = nullptr;

private:
    TempDir registry_;
    int kept_ = scalewizard::kDefaultSamples;
};

TEST_F(TagDialogsTest, PropertiesOkAppliesNameDescriptionLimitsDeadBandAndSimulation) {
    VOK_DlgTag sheet(*analog);
    EXPECT_EQ(sheet.windowTitle(), "Tag Configuration");
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    auto* type = sheet.findChild<QComboBox*>("simulationType");
    ASSERT_EQ(type->count(), 3);
    EXPECT_EQ(type->itemText(0), "Sine");
    EXPECT_EQ(type->itemText(2), "Random");
    EXPECT_EQ(type->currentText(), "Ramp") << "the analog inputs simulate a ramp";
    EXPECT_EQ(Text(sheet, "name"), "Analog Input 1");
    EXPECT_EQ(Text(sheet, "euMax"), "20");
    EXPECT_TRUE(sheet.findChild<QCheckBox*>("limitTagValues")->isChecked());

    Type(sheet, "name", "Stack Flow");
    Type(sheet, "description", "Flow in the stack");
    Type(sheet, "euMin", "4");
    Type(sheet, "euMax", "25.5");
    auto* deadBand = sheet.findChild<QDoubleSpinBox*>("deadBand");
    deadBand->selectAll();
    QTest::keyClicks(deadBand, "2.5");
    type->setFocus();
    QTest::keyClick(type, Qt::Key_Up);  // Ramp -> Sine
    auto* steps = sheet.findChild<QSpinBox*>("steps");
    steps->selectAll();
    QTest::keyClicks(steps, "50");
    ClickOk(sheet);
    ASSERT_EQ(sheet.result(), QDialog::Accepted);

    EXPECT_EQ(analog->GetName(), "Stack Flow");
    EXPECT_EQ(analog->GetDescription(), "Flow in the stack");
    EXPECT_TRUE(analog->IsEULimitsActive());
    EXPECT_EQ(analog->GetEUMin(), 4);
    EXPECT_EQ(analog->GetEUMax(), 25.5);
    EXPECT_EQ(analog->GetDeadBand(), 2.5);
    EXPECT_EQ(analog->GetSimulationType(), SimulationType::Sine);
    EXPECT_EQ(analog->GetSimulationSteps(), 50u);
}

TEST_F(TagDialogsTest, UncheckingLimitTagValuesDeactivatesTheEULimitsAndLeavesTheRawLimits) {
    VOK_DlgTag sheet(*analog);
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    auto* limit = sheet.findChild<QCheckBox*>("limitTagValues");
    limit->setFocus();
    QTest::keyClick(limit, Qt::Key_Space);
    ASSERT_FALSE(limit->isChecked());
    EXPECT_FALSE(sheet.findChild<QLineEdit*>("euMin")->isEnabled()) << "the limit fields follow their box";
    EXPECT_FALSE(sheet.findChild<QDoubleSpinBox*>("deadBand")->isEnabled());
    ClickOk(sheet);
    ASSERT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(analog->IsEULimitsActive());
    EXPECT_TRUE(analog->IsEULimitsEnabled()) << "the operator may check the box again later";
    EXPECT_EQ(analog->GetEUMax(), 20) << "the values stay for that";
    EXPECT_TRUE(analog->IsRawLimitsActive());
    EXPECT_EQ(analog->GetRawMin(), 0);
    EXPECT_EQ(analog->GetRawMax(), 5000);
    EXPECT_TRUE(analog->IsScalingActive());

    // A value now passes the EU side unclamped: 7000 counts is clamped to 5000 raw, scaled to 20.
    // With the raw limits cleared too it would become 28.
    VARIANT counts;
    VariantInit(&counts);
    counts.vt = VT_R8;
    counts.dblVal = 7000;
    analog->SetValueGood(counts);
    VARIANT value;
    analog->GetValue(value);
    EXPECT_DOUBLE_EQ(value.dblVal, 20.0);
}

TEST_F(TagDialogsTest, LimitsThatAreNoPairOfNumbersAreRefusedWithTheTagUntouched) {
    VOK_DlgTag sheet(*analog);
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    Type(sheet, "name", "Renamed");
    Type(sheet, "euMax", "2O");
    ClickOk(sheet);
    EXPECT_NE(sheet.result(), QDialog::Accepted);
    EXPECT_TRUE(sheet.isVisible()) << "the operator corrects the field";
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages().back().text, "Please enter a number.");
    Type(sheet, "euMin", "30");
    Type(sheet, "euMax", "20");
    ClickOk(sheet);
    EXPECT_NE(sheet.result(), QDialog::Accepted) << "the tag would silently ignore a reversed pair";
    EXPECT_EQ(ui.Messages().back().text, "The minimum must not be greater than the maximum.");
    EXPECT_EQ(analog->GetName(), "Analog Input 1") << "a refused page changes nothing";
    EXPECT_EQ(analog->GetEUMin(), 0);

    ASSERT_NE(sheet.ScalingPage(), nullptr);
    sheet.Tabs().setCurrentWidget(sheet.ScalingPage());
    Type(sheet, "euMin", "0");
    Type(sheet, "gain", "");
    ClickOk(sheet);
    EXPECT_EQ(sheet.Tabs().currentWidget(), sheet.ScalingPage());
    EXPECT_EQ(analog->GetGain(), 0.004);
    EXPECT_EQ(analog->GetName(), "Analog Input 1");
}

TEST_F(TagDialogsTest, TheScalingPageAppearsOnlyForAScaledTagOfARealCounter) {
    EXPECT_TRUE(VOK_DlgTag::HasScalingPage(*analog));
    VOK_DlgTag withScaling(*analog);
    ASSERT_EQ(withScaling.Tabs().count(), 2);
    EXPECT_EQ(withScaling.Tabs().tabText(0), "Tag Properties");
    EXPECT_EQ(withScaling.Tabs().tabText(1), "Tag Scaling");

    VOKTag* interval = device->GetSlotTag(VOKDevice::kSlotSampleInterval);
    EXPECT_FALSE(VOK_DlgTag::HasScalingPage(*interval)) << "scaling not enabled for the tag";
    VOK_DlgTag withoutScaling(*interval);
    EXPECT_EQ(withoutScaling.Tabs().count(), 1);
    EXPECT_EQ(withoutScaling.ScalingPage(), nullptr);

    VOKTag loose;
    loose.SetScalingEnabled(true);
    EXPECT_FALSE(VOK_DlgTag::HasScalingPage(loose)) << "a tag of no device";

    device->SetSimulation(true);
    EXPECT_FALSE(VOK_DlgTag::HasScalingPage(*analog)) << "a simulated counter has no counts to scale";
    EXPECT_EQ(VOK_DlgTag(*analog).Tabs().count(), 1);
}

TEST_F(TagDialogsTest, TheWizardMeasuresTwoPointsAndTheTagThenDeliversScaledValues) {
    ASSERT_EQ(device->GetGuiPollRequests(), 0);
    VOK_DlgTag sheet(*analog);
    VOK_ScaleWizard* wizard = StartWizard(sheet);
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(device->GetGuiPollRequests(), 1) << "the device polls for the wizard";
    EXPECT_TRUE(wizard->HoldsPollRequest());
    EXPECT_EQ(wizard->windowTitle(), "Scale Wizard Step 1");
    Next(*wizard);
    EXPECT_EQ(wizard->windowTitle(), "Scale Wizard Step 2");
    SetSamples(*wizard, 2);
    Next(*wizard);
    QWizardPage* collecting = wizard->currentPage();
    EXPECT_EQ(collecting->objectName(), "step3");
    EXPECT_FALSE(wizard->button(QWizard::NextButton)->isEnabled()) << "nothing collected yet";
    EXPECT_FALSE(collecting->findChild<QLabel*>("completeText")->isVisible());
    ASSERT_TRUE(Collect(*wizard)) << "collected " << Text(*collecting, "collectedSamples").toStdString();
    EXPECT_EQ(Text(*collecting, "collectedSamples"), "2");
    EXPECT_FALSE(Text(*collecting, "currentCount").isEmpty());
    EXPECT_EQ(collecting->findChild<QLabel*>("completeText")->text(),
              "Zero scale samples are complete.\nClick Next to continue.");
    EXPECT_TRUE(collecting->findChild<QLabel*>("completeText")->isVisible());
    EXPECT_FALSE(Text(*sheet.ScalingPage(), "lastDacCount").isEmpty()) << "the page behind shows the live values";
    Next(*wizard);
    EXPECT_EQ(wizard->windowTitle(), "Scale Wizard Step 4");
    const auto a = scalewizard::ParseNumber(Text(*wizard->currentPage(), "averageCounts").toStdString());
    ASSERT_TRUE(a);
    EXPECT_EQ(Text(*wizard->currentPage(), "scaledValue"), "0") << "the tag's EU min";
    Next(*wizard);
    EXPECT_EQ(wizard->currentPage()->findChild<QSpinBox*>("samplesToCollect")->value(), 2)
        << "one count for both measurements";
    Next(*wizard);
    EXPECT_EQ(wizard->windowTitle(), "Scale Wizard Step 6");
    ASSERT_TRUE(Collect(*wizard));
    Next(*wizard);
    const auto b = scalewizard::ParseNumber(Text(*wizard->currentPage(), "averageCounts").toStdString());
    ASSERT_TRUE(b);
    EXPECT_EQ(Text(*wizard->currentPage(), "scaledValue"), "20") << "the tag's EU max";
    // The simulated loops move from sample to sample: two measurements never agree.
    ASSERT_NE(*a, *b);
    EXPECT_TRUE(*a >= 0 && *a <= 20 && *b >= 0 && *b <= 20) << *a << " " << *b;
    Next(*wizard);
    EXPECT_EQ(wizard->windowTitle(), "Scale Wizard Summary");
    QWizardPage* summary = wizard->currentPage();
    EXPECT_EQ(scalewizard::ParseNumber(Text(*summary, "minCount").toStdString()), a);
    EXPECT_EQ(scalewizard::ParseNumber(Text(*summary, "maxCount").toStdString()), b);
    Type(*summary, "maxValue", "100");
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);

    const double gain = 100 / (*b - *a), offset = -gain * *a;
    EXPECT_TRUE(QTest::qWaitFor([&] { return sheet.ScalingPage()->Wizard() == nullptr; }, 2000));
    EXPECT_EQ(device->GetGuiPollRequests(), 0) << "the wizard's request is withdrawn";
    EXPECT_DOUBLE_EQ(analog->GetGain(), gain) << "changed at once, not on the sheet's OK";
    EXPECT_DOUBLE_EQ(analog->GetOffset(), offset);
    EXPECT_EQ(analog->GetRawMin(), std::min(*a, *b));
    EXPECT_EQ(analog->GetRawMax(), std::max(*a, *b));
    EXPECT_EQ(analog->GetEUMin(), 0);
    EXPECT_EQ(analog->GetEUMax(), 100);
    EXPECT_EQ(scalewizard::ParseNumber(Text(sheet, "gain").toStdString()), analog->GetGain());
    EXPECT_EQ(Text(sheet, "euMax"), "100") << "the properties page shows the new limits, so OK keeps them";
    EXPECT_TRUE(sheet.ScalingPage()->IsModified());
    ClickOk(sheet);
    ASSERT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(analog->GetGain(), gain) << "OK gives back the wizard's gain to the last bit";
    EXPECT_EQ(analog->GetEUMax(), 100);

    // The polling counter's next values arrive scaled by the new line.
    device->RequestPolling(OPCS_Device::kOperator);
    int checked = 0;
    std::uint64_t seen = Stamp(*analog);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            analog->Lock();
            const std::uint64_t stamp = Stamp(*analog);
            if (stamp != seen && analog->GetQuality() == kQualityGood) {
                seen = stamp;
                VARIANT raw, scaled;
                analog->GetDeviceValue(raw);
                analog->GetValue(scaled);
                const double counts = std::clamp(raw.dblVal, std::min(*a, *b), std::max(*a, *b));
                EXPECT_NEAR(scaled.dblVal, std::clamp(counts * gain + offset, 0.0, 100.0), 1e-9)
                    << "counts " << raw.dblVal;
                ++checked;
            }
            analog->Unlock();
            return checked >= 2;
        },
        kCollectTimeoutMs));
    device->ReleasePolling(OPCS_Device::kOperator);
}

TEST_F(TagDialogsTest, CancelOnAnyStepChangesNothingAndTheOperatorsPollingGoesOn) {
    // The operator polls: the wizard adds no request and leaves that one.
    device->RequestPolling(OPCS_Device::kOperator);
    {
        VOK_DlgTag sheet(*analog);
        VOK_ScaleWizard* wizard = StartWizard(sheet);
        ASSERT_NE(wizard, nullptr);
        EXPECT_FALSE(wizard->HoldsPollRequest());
        EXPECT_EQ(device->GetGuiPollRequests(), 1);
        Next(*wizard);
        SetSamples(*wizard, 1);
        Next(*wizard);
        ASSERT_TRUE(Collect(*wizard));
        Next(*wizard);
        QTest::mouseClick(wizard->button(QWizard::CancelButton), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return sheet.ScalingPage()->Wizard() == nullptr; }, 2000));
        EXPECT_EQ(device->GetGuiPollRequests(), 1);
        EXPECT_TRUE(device->HasPollThread());
        EXPECT_EQ(scalewizard::SamplesToCollect(), 1) << "the count is kept for the next run";
    }
    device->ReleasePolling(OPCS_Device::kOperator);
    ASSERT_EQ(device->GetGuiPollRequests(), 0);
    {
        // Cancelled on its first step: the request it made is withdrawn.
        VOK_DlgTag sheet(*analog);
        VOK_ScaleWizard* wizard = StartWizard(sheet);
        ASSERT_NE(wizard, nullptr);
        EXPECT_EQ(device->GetGuiPollRequests(), 1);
        QTest::mouseClick(wizard->button(QWizard::CancelButton), Qt::LeftButton);
        EXPECT_EQ(device->GetGuiPollRequests(), 0);
    }
    EXPECT_EQ(analog->GetGain(), 0.004);
    EXPECT_EQ(analog->GetOffset(), 0);
    EXPECT_EQ(analog->GetRawMax(), 5000);
    EXPECT_EQ(analog->GetEUMax(), 20);
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(TagDialogsTest, EqualCountsAreRefusedWithAMessageAndTheTagUnchanged) {
    VOK_DlgTag sheet(*analog);
    VOK_ScaleWizard* wizard = StartWizard(sheet);
    ASSERT_NE(wizard, nullptr);
    Next(*wizard);
    SetSamples(*wizard, 1);
    for (int step = 2; step <= 7; ++step) {
        if (step == 3 || step == 6) {
            ASSERT_TRUE(Collect(*wizard)) << "step " << step;
        }
        Next(*wizard);
    }
    QWizardPage* summary = wizard->currentPage();
    ASSERT_EQ(summary->objectName(), "step8");
    Type(*summary, "maxCount", Text(*summary, "minCount"));
    QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages().back().text,
              "The wizard is unable to compute the gain because the min and max values for the device are the same.");
    EXPECT_EQ(device->GetGuiPollRequests(), 0) << "withdrawn whatever the outcome";
    EXPECT_EQ(analog->GetGain(), 0.004);
    EXPECT_EQ(analog->GetRawMin(), 0);
    EXPECT_EQ(analog->GetRawMax(), 5000);
    EXPECT_FALSE(sheet.ScalingPage()->IsModified());
}

}  // namespace
