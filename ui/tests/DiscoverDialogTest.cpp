// The Discover command in the operator's window: both pages driven as an
// operator drives them, against simulated counters on pseudo-terminals, with
// a quick echo time-out so that a whole port is searched in seconds.
#include "ui/CDeviceView.h"
#include "ui/CMainFrame.h"
#include "ui/QtPosting.h"
#include "ui/VOK_DlgAutoDiscover.h"

#include "QtTestApp.h"
#include "TestLine.h"

#include "config/DocCommands.h"
#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"
#include "link/VOKCommands.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

constexpr DWORD kQuickEchoMs = 40;

class DiscoverDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        VOK_SetEchoTimeout(kQuickEchoMs);
    }
    void TearDown() override {
        line.Stop();
        VOK_SetEchoTimeout(kCounterTimeoutMs);
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    // Runs the events until done() holds or the time is up.
    static bool WaitUntil(const std::function<bool()>& done, int ms) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < ms) QTest::qWait(20);
        return done();
    }

    template <typename T>
    static T* Child(QWidget* dialog, const char* name) {
        T* child = dialog == nullptr ? nullptr : dialog->findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }

    // Clicks a button of the modal page with this object name once it is up.
    static void ClickWhenShown(const char* page, const char* button, int afterMs = 0) {
        QTimer::singleShot(afterMs, [page, button] {
            QWidget* dialog = nullptr;
            ASSERT_TRUE(WaitUntil(
                [&] {
                    dialog = QApplication::activeModalWidget();
                    return dialog != nullptr && dialog->objectName() == page;
                },
                5000))
                << page;
            if (auto* b = Child<QPushButton>(dialog, button)) b->click();
        });
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    SimLine line;

private:
    TempDir registry_;
};

TEST_F(DiscoverDialogTest, TheStatusPageShowsTheSearchAndClosesByItselfTwoSecondsAfterItEnds) {
    ASSERT_TRUE(StartTestLine(line, "COM41", {TestCounter(2), TestCounter(9)}));
    VOK_DlgAutoDiscoverStep2 page(nullptr, {41});
    page.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
    EXPECT_EQ(Child<QLabel>(&page, "portCount")->text(), "1");
    EXPECT_EQ(Child<QLabel>(&page, "totalCombinations")->text(), "64");
    EXPECT_EQ(Child<QProgressBar>(&page, "progress")->maximum(), 64);

    ASSERT_TRUE(WaitUntil([&] { return page.Search().IsComplete(); }, 60000));
    QElapsedTimer sinceComplete;
    sinceComplete.start();
    ASSERT_TRUE(WaitUntil([&] { return !page.isVisible(); }, 8000));
    // The search ends at the next refresh (up to half a second), then two seconds.
    EXPECT_GE(sinceComplete.elapsed(), VOK_DlgAutoDiscoverStep2::kAutoCloseMs - 100);
    EXPECT_LT(sinceComplete.elapsed(), VOK_DlgAutoDiscoverStep2::kAutoCloseMs + 2000);
    EXPECT_EQ(page.result(), QDialog::Accepted);

    auto* list = Child<QListWidget>(&page, "foundList");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), "4400 VOK 41-02, Addr: 2, Port: COM41");
    EXPECT_EQ(list->item(1)->text(), "4400 VOK 41-09, Addr: 9, Port: COM41");
    EXPECT_EQ(Child<QLabel>(&page, "checked")->text(), "64");
    EXPECT_EQ(Child<QLabel>(&page, "foundCount")->text(), "2");
    EXPECT_EQ(Child<QProgressBar>(&page, "progress")->value(), 64);
    EXPECT_EQ(page.TakeFound().size(), 2u);
}

TEST_F(DiscoverDialogTest, TheDiscoverCommandAddsTheNewCountersAndLogsTheOneAlreadyConfigured) {
    ASSERT_TRUE(StartTestLine(line, "COM41", {TestCounter(2), TestCounter(9)}));
    QtPosting posting;
    OPCS_Doc doc;
    TempDir files;
    doc.Hooks().configurationPath = [&] { return files.File("VOKConfig.psf"); };
    auto configured = VOKDevice::Create(false);
    configured->SetPort(41);
    configured->SetAddress(0x80 + 2);
    configured->SetName("Filling Line");
    ASSERT_TRUE(doc.AddDevice(configured.release()));
    doc.SetModifiedFlag(false);
    CMainFrame frame(doc, ProgramSettings(), posting);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    frame.UpdateCommands();
    ASSERT_TRUE(frame.Action(doccmd::kDiscover)->isEnabled());

    ClickWhenShown("autoDiscoverStep1", "next");
    // Every listed port is searched; the page closes by itself when through.
    frame.RunCommand(doccmd::kDiscover);

    Dll<OPCS_Device*> devices;
    doc.GetDeviceList(devices);
    std::vector<std::string> names;
    for (OPCS_Device* device : devices) names.push_back(device->GetName());
    EXPECT_EQ(names, (std::vector<std::string>{"Filling Line", "4400 VOK 41-09"}));
    EXPECT_EQ(log.CountContaining("Conflicting device discovered - Existing device name: Filling Line Addr: 82 Port: 41"),
              1);
    EXPECT_EQ(log.CountContaining("AutoDiscover process complete"), 1);
    EXPECT_TRUE(doc.IsModified());
    // The tree shows the new device.
    EXPECT_FALSE(frame.DeviceView().findItems("4400 VOK 41-09", Qt::MatchExactly).isEmpty());
}

TEST_F(DiscoverDialogTest, CancelOnEitherPageLeavesTheConfigurationAsItWas) {
    VOK_SetEchoTimeout(kCounterTimeoutMs);  // a search that is still running when Cancel comes
    ASSERT_TRUE(StartTestLine(line, "COM41", {TestCounter(0)}));
    OPCS_Doc doc;
    QWidget parent;

    ClickWhenShown("autoDiscoverStep1", "cancel");
    EXPECT_FALSE(RunAutoDiscover(doc, &parent));
    EXPECT_EQ(log.CountContaining("AutoDiscover canceled Step 1"), 1);

    ClickWhenShown("autoDiscoverStep1", "next");
    ClickWhenShown("autoDiscoverStep2", "cancel", 1500);  // after the counter at the first address was found
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(RunAutoDiscover(doc, &parent));
    EXPECT_LT(timer.elapsed(), 1500 + 2 * kCounterTimeoutMs + 1500) << "the stop waits about one echo time-out";
    EXPECT_EQ(log.CountContaining("AutoDiscover canceled Step 2"), 1);
    EXPECT_EQ(log.CountContaining("4400 VOK found on Port: COM41"), 1);
    Dll<OPCS_Device*> devices;
    doc.GetDeviceList(devices);
    EXPECT_TRUE(devices.IsEmpty());
    EXPECT_FALSE(doc.IsModified());
}

TEST_F(DiscoverDialogTest, PicturesOfBothPages) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR not set";
    ASSERT_TRUE(StartTestLine(line, "COM41", {TestCounter(2), TestCounter(9), TestCounter(33)}));
    {
        VOK_DlgAutoDiscoverStep1 first;
        first.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
        EXPECT_TRUE(first.grab().save(folder + "/discover-step1.png"));
    }
    VOK_DlgAutoDiscoverStep2 page(nullptr, {41});
    page.SetStopWait(20000);
    page.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
    // Midway: two counters found, the search still going.
    ASSERT_TRUE(WaitUntil([&] { return Child<QListWidget>(&page, "foundList")->count() >= 2; }, 30000));
    EXPECT_TRUE(page.grab().save(folder + "/discover-status.png"));
    page.reject();
}

}  // namespace
