// A picture of the "Port Statistics" window with a polling counter's traffic,
// for a look by eye. Taken only when VOK_SCREENSHOT_DIR names the folder.
#include "ui/OPCS_DlgCommPort.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "link/CSerial.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

TEST(Screenshots, PortMonitor) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR names the folder for the picture";
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    EventLogCapture log;
    ScriptedUiServices ui;

    SimLine line;
    ASSERT_TRUE(StartTestLine(line, "COM47", {TestCounter(1)}));
    CSerial* port = CSerial::FindPortByName("COM47");
    ASSERT_NE(port, nullptr);

    auto device = VOKDevice::Create(false);
    device->SetPort(47);
    device->SetAddress(0x81);
    device->SetName("4400 VOK 47-01");
    VOKDevicePauses pauses;
    pauses.beforeData = 30;
    pauses.busyRetry = 40;
    pauses.confirmation = 20;
    device->SetPauses(pauses);
    device->SetSampleInterval(1, false);
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->IsOpen(); }, 5000));

    {
        OPCS_DlgCommPort window;
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        auto* list = window.findChild<QComboBox*>("portList");
        list->setCurrentIndex(list->findText("COM47"));
        QTest::mouseClick(window.findChild<QRadioButton*>("ascii"), Qt::LeftButton);
        auto* startStop = window.findChild<QPushButton*>("startStop");
        if (!startStop->isChecked()) QTest::mouseClick(startStop, Qt::LeftButton);
        auto* viewer = window.findChild<QTreeWidget*>("viewer");
        // Until a data reply, the longest message of a pass and more than a line, is on screen.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (int i = 0; i + 1 < viewer->topLevelItemCount(); ++i)
                    if (viewer->topLevelItem(i)->text(0) == "Receive:" &&
                        viewer->topLevelItem(i + 1)->text(0).startsWith("A ") &&
                        viewer->topLevelItem(i + 1)->text(0).size() == 81)
                        return true;
                return false;
            },
            20000));
        QTest::qWait(1100);
        // The picture opens on the data pass: its command, then its reply.
        for (int i = 0; i + 1 < viewer->topLevelItemCount(); ++i) {
            if (viewer->topLevelItem(i)->text(0) == "Send:" && viewer->topLevelItem(i + 1)->text(0) == "M ") {
                viewer->scrollToItem(viewer->topLevelItem(i), QAbstractItemView::PositionAtTop);
                break;
            }
        }
        EXPECT_TRUE(window.grab().save(folder + "/port-monitor.png"));
        QTest::mouseClick(startStop, Qt::LeftButton);
    }
    device->ReleasePolling(OPCS_Device::kOperator);
    device.reset();
    line.Stop();
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}
