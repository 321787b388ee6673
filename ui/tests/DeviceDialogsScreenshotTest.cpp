// With VOK_SCREENSHOT_DIR set: the device's property pages, the Tag Group and
// the Program Options dialogs, on a counter of a simulated line.
#include "ui/QtUiServices.h"
#include "ui/VOK_DlgDevice.h"
#include "ui/VOK_DlgGroup.h"
#include "ui/VOK_DlgOptions.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "config/DeviceNames.h"
#include "config/OPCS_Registry.h"
#include "history/HistoryStore.h"
#include "link/CSerial.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTagGroup.h"
#include "platform/Environment.h"
#include "UaTestCertificates.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"
#include "ua/CertificateStore.h"
#include "ua/UserStore.h"

#include <QDir>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

TEST(Screenshots, DevicePagesTagGroupAndOptions) {
    const char* folder = std::getenv("VOK_SCREENSHOT_DIR");
    if (folder == nullptr || folder[0] == '\0') GTEST_SKIP() << "VOK_SCREENSHOT_DIR names the folder for the pictures";
    QtTestApp();
    ASSERT_TRUE(QDir().mkpath(folder));
    TempDir registry;
    // The OPC UA certificates and users lie beside the settings' folder: in the temporary one too.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (registry.Path() / "registry").string().c_str());
    ScriptedUiServices ui;
    SimLine line;
    ASSERT_TRUE(StartTestLine(line, "COM47", {TestCounter(5, 60)}, 1));
    auto device = VOKDevice::Create(false);
    device->SetPort(47);
    device->SetAddress(0x85);
    device->SetName(device->GetDefaultName());
    Dll<double> bins;
    for (double size : {0.3, 0.5, 1.0, 5.0, 10.0}) bins.AddTail(size);
    device->SetBinSizes(bins, false);
    // One poll pass reads the counter's calibration points for the last page.
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        Dll<VOK_CalPt> points;
        device->GetCalPoints(points);
        return points.GetCount() > 0;
    }, 20000));
    {
        VOK_DlgDevice sheet(*device);
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        const char* names[] = {"device-configuration.png", "device-bins.png", "device-analog.png",
                               "device-calibration.png"};
        for (int page = 0; page < 4; ++page) {
            sheet.Tabs().setCurrentIndex(page);
            QTest::qWait(50);
            EXPECT_TRUE(sheet.grab().save(QString(folder) + "/" + names[page]));
        }
    }
    {
        // The box the Configuration page shows for a name another device has.
        QMessageBox box(QMessageBox::Warning, kApplicationTitle,
                        QString::fromStdString(devicenames::RefusalText(devicenames::Problem::kTaken, "Room 4")),
                        QMessageBox::Ok);
        box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
        EXPECT_TRUE(box.grab().save(QString(folder) + "/device-name-refused.png"));
    }
    {
        VOK_DlgGroup dialog(*device->GetKindGroup(VOKTagGroup::AnalogData));
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_TRUE(dialog.grab().save(QString(folder) + "/tag-group.png"));
    }
    {
        // The OPC UA page as after the endpoint's first start: its own
        // certificate, a panel refused as unknown, and two users.
        ua::CertificateStore store(ua::CertificateStore::DefaultFolder());
        std::string error;
        ASSERT_TRUE(store.LoadOrCreateOwn("urn:plant-pc:VOKExplorer", {"plant-pc"}, error)) << error;
        RefuseClient(store, "HMI Panel 3", "urn:hmi-panel-3:PanelClient");
        ua::UserStore users(ua::UserStore::DefaultFile());
        ASSERT_TRUE(users.Add("scada", ua::Role::Operator, "plant password", error)) << error;
        ASSERT_TRUE(users.Add("qa-engineer", ua::Role::Engineer, "another password", error)) << error;
    }
    {
        // An installed program's log, not the build folder's.
        ProgramSettings().SetEventLogFile("/home/operator/.local/share/vok/VOK Explorer Event Log.txt");
        VOK_DlgOptions dialog(ProgramSettings(), "/home/operator/.local/share/vok/VOKConfig.psf");
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_TRUE(dialog.grab().save(QString(folder) + "/program-options.png"));
        auto* pages = dialog.findChild<QTabWidget*>("optionPages");
        ASSERT_NE(pages, nullptr);
        pages->setCurrentIndex(1);
        // The test screen is small; the picture shows the whole page as on
        // an operator's screen, where the dialog opens that large.
        auto* scroll = dialog.findChild<QScrollArea*>("uaPageScroll");
        ASSERT_NE(scroll, nullptr);
        const QSize missing = (scroll->widget()->sizeHint() - scroll->viewport()->size()).expandedTo(QSize(0, 0));
        dialog.resize(dialog.size() + missing);
        QTest::qWait(50);
        EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << "part of the OPC UA page is scrolled away";
        EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << "part of the OPC UA page is scrolled away";
        EXPECT_TRUE(dialog.grab().save(QString(folder) + "/program-options-opc-ua.png"));
    }
    {
        // The History page of a program that has been writing its history.
        history::HistoryOptions options;
        options.path = registry.File("history.db");
        history::HistoryStore store(options);
        std::string error;
        ASSERT_TRUE(store.Start(error)) << error;
        SampleRecord sample;
        sample.device = "4400 VOK 43-01";
        sample.intervalSeconds = 60;
        sample.flow = 28317;
        sample.binSizes = {0.3, 0.5};
        sample.cumulativeRaw = {120, 31};
        for (int i = 0; i < 3; ++i) {
            sample.timeMs = NowUtcMs() - 60000 * (3 - i);
            store.OnSample(sample);
        }
        ASSERT_TRUE(store.Flush());
        history::SetProgramHistory(&store);
        ProgramSettings().SetHistoryFile(options.path);
        VOK_DlgOptions dialog(ProgramSettings(), "/home/operator/.local/share/vok/VOKConfig.psf");
        auto* pages = dialog.findChild<QTabWidget*>("optionPages");
        ASSERT_NE(pages, nullptr);
        pages->setCurrentIndex(2);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_TRUE(dialog.grab().save(QString(folder) + "/program-options-history.png"));
        history::SetProgramHistory(nullptr);
    }
    device.reset();
    line.Stop();
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}
