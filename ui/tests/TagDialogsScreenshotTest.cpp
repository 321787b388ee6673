// Pictures of the tag sheet and the scaling wizard for a look by eye, against
// a simulated counter so that the live values are real. Taken only when
// VOK_SCREENSHOT_DIR names the folder to put them in.
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
#include <QDir>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

TEST(Screenshots, TagDialogsAndWizard) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR not set";
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    EventLogCapture log;
    ScriptedUiServices ui;
    SimLine line;
    ASSERT_TRUE(StartTestLine(line, "COM48", {TestCounter(1)}));
    {
        auto device = VOKDevice::Create(false);
        device->SetPort(48);
        device->SetAddress(0x81);
        device->SetSampleInterval(1, false);
        device->SetName(device->GetDefaultName());
        VOKDevicePauses pauses;
        pauses.beforeData = 30;
        pauses.busyRetry = 40;
        device->SetPauses(pauses);
        VOKTag* analog = device->GetSlotTag(VOKDevice::kSlotAnalogInput);
        ASSERT_NE(analog, nullptr);
        device->RequestPolling(OPCS_Device::kOperator);

        VOK_DlgTag sheet(*analog);
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        EXPECT_TRUE(sheet.grab().save(folder + "/tag-properties.png"));

        VOK_DlgTagScaling* page = sheet.ScalingPage();
        ASSERT_NE(page, nullptr);
        sheet.Tabs().setCurrentWidget(page);
        auto* scaled = page->findChild<QLineEdit*>("lastScaledValue");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !scaled->text().isEmpty(); }, 20000));
        EXPECT_TRUE(sheet.grab().save(folder + "/tag-scaling.png"));

        QTest::mouseClick(page->findChild<QToolButton*>("scalingWizard"), Qt::LeftButton);
        VOK_ScaleWizard* wizard = page->Wizard();
        ASSERT_NE(wizard, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(wizard));
        auto next = [&] { QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton); };
        auto collect = [&] {
            return QTest::qWaitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }, 30000);
        };
        auto shoot = [&](const char* name) { EXPECT_TRUE(wizard->grab().save(folder + "/" + name)); };
        shoot("scale-wizard-step1.png");
        next();
        auto* spin = wizard->currentPage()->findChild<QSpinBox*>("samplesToCollect");
        spin->selectAll();
        QTest::keyClicks(spin, "3");
        shoot("scale-wizard-step2.png");
        next();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return wizard->currentPage()->findChild<QLineEdit*>("collectedSamples")->text() == "1"; }, 20000));
        EXPECT_TRUE(wizard->grab().save(folder + "/scale-wizard-collecting.png"));
        ASSERT_TRUE(collect());
        next();
        shoot("scale-wizard-step4.png");
        next();
        shoot("scale-wizard-step5.png");
        next();
        ASSERT_TRUE(collect());
        shoot("scale-wizard-step6.png");
        next();
        shoot("scale-wizard-step7.png");
        next();
        ASSERT_EQ(wizard->currentPage()->objectName(), "step8");
        EXPECT_TRUE(wizard->grab().save(folder + "/scale-wizard-summary.png"));
        QTest::mouseClick(wizard->button(QWizard::CancelButton), Qt::LeftButton);
        device->ReleasePolling(OPCS_Device::kOperator);
    }
    line.Stop();
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}
