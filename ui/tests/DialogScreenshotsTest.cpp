// Pictures of the write-to-tag window, the help window and the About box for
// a look by eye. Taken only when VOK_SCREENSHOT_DIR names the folder to put them in.

#include "ui/CAboutDlg.h"
#include "ui/HelpWindow.h"
#include "ui/OPCS_DlgWriteToTag.h"

#include "QtTestApp.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <QDir>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

TEST(Screenshots, WriteToTagHelpAndAbout) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR not set";
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    ScriptedUiServices ui;

    {
        auto device = VOKDevice::Create(false);
        device->SetSimulation(true);
        device->SetSampleInterval(60, false);
        QWidget parent;
        parent.show();
        OPCS_DlgWriteToTag::Open(*device->GetSlotTag(VOKDevice::kSlotSampleInterval), &parent);
        auto* dialog = parent.findChild<OPCS_DlgWriteToTag*>();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        QTest::keyClicks(dialog->findChild<QLineEdit*>("newValue"), "120");
        EXPECT_TRUE(dialog->grab().save(folder + "/write-to-tag.png"));
        dialog->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    help::ShowHelp(help::kTagList);
    help::HelpWindow* window = help::OpenWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    QTest::qWait(50);  // the page laid out and its scroll bar set
    EXPECT_TRUE(window->grab().save(folder + "/help.png"));
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    EXPECT_TRUE(about.grab().save(folder + "/about.png"));
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}
