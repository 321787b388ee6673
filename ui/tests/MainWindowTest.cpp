// The operator's window driven as an operator drives it: menu actions, keys
// and clicks on the tree, the tag list and its header, with the scripted UI
// services answering the questions and a simulated counter on a real
// pseudo-terminal for the live values.
#include "ui/CDeviceView.h"
#include "ui/CMainFrame.h"
#include "ui/CTagView.h"
#include "ui/HelpWindow.h"
#include "ui/QtPosting.h"
#include "ui/UiCommands.h"

#include "QtTestApp.h"
#include "TestLine.h"
#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"
#include "link/CSerial.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTagGroup.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <QHeaderView>
#include <QSplitter>
#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        settings().SetWindowLocation(RECT{0, 0, 0, 0});
        settings().ResetColumns();
        posting_ = std::make_unique<QtPosting>();
        doc = std::make_unique<OPCS_Doc>();
        doc->Hooks().configurationPath = [this] { return files_.File("VOKConfig.psf"); };
        doc->SetPathName(files_.File("VOKConfig.psf"));
    }
    void TearDown() override {
        frame.reset();
        doc.reset();
        posting_.reset();
        line.Stop();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    static OPCS_Registry& settings() { return ProgramSettings(); }

    VOKDevice* AddDevice(const std::string& name, int port = 0, int address = 0) {
        auto device = VOKDevice::Create(false);
        device->SetSimulation(port == 0);
        if (port != 0) {
            device->SetPort(port);
            device->SetAddress(static_cast<BYTE>(0x80 + address));
            device->SetSampleInterval(1, false);
        }
        device->SetName(name);
        VOKDevice* raw = device.release();
        EXPECT_TRUE(doc->AddDevice(raw));
        return raw;
    }

    void OpenWindow() {
        frame = std::make_unique<CMainFrame>(*doc, settings(), *posting_);
        frame->SetForcedTermination([this] { ++forcedTerminations; });
        frame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    }

    CDeviceView& tree() { return frame->DeviceView(); }
    CTagView& tags() { return frame->TagView(); }

    std::vector<std::string> TopLevelNames() {
        std::vector<std::string> names;
        for (int i = 0; i < tree().topLevelItemCount(); ++i) names.push_back(tree().topLevelItem(i)->text(0).toStdString());
        return names;
    }
    std::vector<std::string> Column(int k) {
        std::vector<std::string> cells;
        for (int i = 0; i < tags().topLevelItemCount(); ++i) cells.push_back(tags().topLevelItem(i)->text(k).toStdString());
        return cells;
    }
    int ShownColumn(const char* name) {
        for (int k = 0; k < tags().columnCount(); ++k)
            if (tags().headerItem()->text(k) == name) return k;
        return -1;
    }
    bool Enabled(UINT id) {
        frame->UpdateCommands();
        return frame->Action(id)->isEnabled();
    }
    // As the menu shows it: the states brought up to date, then the action.
    void Trigger(UINT id) {
        frame->UpdateCommands();
        frame->Action(id)->trigger();
    }
    QString Pane(UINT id) {
        frame->UpdateCommands();
        return frame->PaneText(id);
    }
    void Select(OPCS_TagGroup* group) {
        tree().setFocus();
        tree().setCurrentItem(tree().ItemOf(group));
    }
    void ClickHeader(int k) {
        // Apart, so that two clicks are never taken for a double click.
        QTest::qWait(QApplication::doubleClickInterval() + 20);
        QHeaderView* header = tags().header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(k) + 8, header->height() / 2));
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    std::unique_ptr<OPCS_Doc> doc;
    std::unique_ptr<CMainFrame> frame;
    SimLine line;
    int forcedTerminations = 0;

private:
    TempDir registry_;
    TempDir files_;
    std::unique_ptr<QtPosting> posting_;
};

}  // namespace

TEST_F(MainWindowTest, TheTreeFollowsTheDocumentsOrderAndARebuildKeepsWhatWasOnScreen) {
    VOKDevice* a = AddDevice("Alpha");
    VOKDevice* c = AddDevice("Charlie");
    OpenWindow();
    EXPECT_EQ(TopLevelNames(), (std::vector<std::string>{"Alpha", "Charlie"}));
    EXPECT_EQ(tree().ItemOf(a)->childCount(), 6) << "the counter's standard groups";
    EXPECT_EQ(frame->windowTitle(), "VOK Explorer");

    // A device that comes between the two in the document's list (as the
    // search for counters adds them) gets its item between theirs.
    auto made = VOKDevice::Create(false);
    made->SetSimulation(true);
    made->SetName("Bravo");
    VOKDevice* b = made.release();
    {
        ConfigLockHold hold;
        Dll<OPCS_Device*>& list = doc->DeviceList();
        list.AddTail(b);
        list.RemoveNode(list.FindNode(c));
        list.AddTail(c);
        doc->UpdateAllViews(dochint::kDeviceAdded, b);
    }
    EXPECT_EQ(TopLevelNames(), (std::vector<std::string>{"Alpha", "Bravo", "Charlie"}));
    EXPECT_EQ(tree().GetSelectedItem(), b) << "the new device is selected";

    // F1 opens the page of the pane that has the focus.
    tree().setFocus();
    Trigger(uicmd::kHelpFinder);
    ASSERT_NE(help::OpenWindow(), nullptr);
    EXPECT_NE(help::OpenWindow()->CurrentPage().find("device-tree.html"), std::string::npos);
    tags().setFocus();
    Trigger(uicmd::kHelpFinder);
    EXPECT_NE(help::OpenWindow()->CurrentPage().find("tag-list.html"), std::string::npos);
    help::OpenWindow()->close();

    // Expanded on screen stays expanded; collapsed stays collapsed.
    tree().ItemOf(a)->setExpanded(true);
    tree().ItemOf(b)->setExpanded(false);
    Select(c->GetKindGroup(VOKTagGroup::BinSizes));
    const int rebuildsBefore = tags().RebuildCount();
    doc->UpdateAllViews(dochint::kRebuild);
    EXPECT_TRUE(tree().ItemOf(a)->isExpanded());
    EXPECT_FALSE(tree().ItemOf(b)->isExpanded());
    EXPECT_EQ(tree().GetSelectedItem(), c->GetKindGroup(VOKTagGroup::BinSizes)) << "the selection comes back";
    // The tree's own rebuild selects and deletes items without telling the
    // tag list; only the hint itself rebuilds it, once.
    EXPECT_EQ(tags().RebuildCount(), rebuildsBefore + 1);
    Select(a);
    EXPECT_EQ(tags().RebuildCount(), rebuildsBefore + 2) << "a selection by the operator rebuilds the list";

    // An expanded device scrolled out of view comes back collapsed.
    for (int i = 0; i < 30; ++i) AddDevice("Filler " + std::to_string(i));
    VOKDevice* last = AddDevice("Zulu");
    tree().ItemOf(last)->setExpanded(true);
    tree().scrollToTop();
    tree().ItemOf(a)->setExpanded(true);
    ASSERT_GE(tree().visualItemRect(tree().ItemOf(last)).top(), tree().viewport()->height()) << "Zulu is out of view";
    doc->UpdateAllViews(dochint::kRebuild);
    EXPECT_TRUE(tree().ItemOf(a)->isExpanded());
    EXPECT_FALSE(tree().ItemOf(last)->isExpanded());
}

TEST_F(MainWindowTest, DeleteSelectsTheNeighbourAndIsNeverOfferedForStandardGroups) {
    AddDevice("One");
    VOKDevice* two = AddDevice("Two");
    VOKDevice* three = AddDevice("Three");
    OpenWindow();

    Select(two->GetKindGroup(VOKTagGroup::AnalogData));
    EXPECT_FALSE(Enabled(uicmd::kDelete)) << "a counter's standard group cannot be deleted";
    EXPECT_TRUE(Enabled(uicmd::kProperties));

    Select(two);
    ASSERT_TRUE(Enabled(uicmd::kDelete));
    QTest::keyClick(&tree(), Qt::Key_Delete);
    EXPECT_EQ(TopLevelNames(), (std::vector<std::string>{"One", "Three"}));
    EXPECT_EQ(tree().GetSelectedItem(), three) << "the next sibling";
    EXPECT_TRUE(doc->IsModified());

    // The last device: the one before it; the only one: nothing.
    frame->RunCommand(uicmd::kDelete);
    EXPECT_EQ(TopLevelNames(), (std::vector<std::string>{"One"}));
    ASSERT_NE(tree().GetSelectedItem(), nullptr);
    EXPECT_EQ(tree().GetSelectedItem()->GetName(), "One");
    frame->RunCommand(uicmd::kDelete);
    EXPECT_TRUE(TopLevelNames().empty());
    EXPECT_EQ(tree().GetSelectedItem(), nullptr);
    EXPECT_EQ(tags().topLevelItemCount(), 0) << "nothing selected, nothing listed";
    EXPECT_FALSE(Enabled(uicmd::kDelete));
    EXPECT_FALSE(Enabled(doccmd::kStartPolling));
    EXPECT_EQ(Pane(doccmd::kPaneLastPollTime), "No Device Selected!!!");
}

TEST_F(MainWindowTest, VolatileCellsAreBlankUntilTheCounterPollsAndFillFromTheLine) {
    ASSERT_TRUE(StartTestLine(line, "COM42", {TestCounter(1)}));
    VOKDevice* device = AddDevice("Counter", 42, 1);
    OpenWindow();
    OPCS_TagGroup* counts = device->GetKindGroup(VOKTagGroup::CumulativeRaw);
    Select(counts);
    ASSERT_GT(tags().topLevelItemCount(), 0);
    const int name = ShownColumn("Name"), value = ShownColumn("Value"), quality = ShownColumn("Quality"),
              updated = ShownColumn("Last Updated"), mode = ShownColumn("Mode");
    ASSERT_GE(name, 0);
    EXPECT_EQ(Column(name).front(), "Cumulative Raw Count Bin 01");
    EXPECT_EQ(Column(value).front(), "");
    EXPECT_EQ(Column(quality).front(), "");
    EXPECT_EQ(Column(updated).front(), "");
    EXPECT_EQ(Column(mode).front(), "Read Only") << "the mode is always shown";
    EXPECT_EQ(Pane(doccmd::kPaneLastPollTime), "Device polling is not active!!!");

    // Start Polling from the Poll menu: values come from the counter.
    Trigger(doccmd::kStartPolling);
    EXPECT_TRUE(Enabled(doccmd::kStartPolling));
    EXPECT_TRUE(frame->Action(doccmd::kStartPolling)->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !tags().topLevelItem(0)->text(value).isEmpty() &&
                                             tags().topLevelItem(0)->text(quality) == "Good"; },
                                20000))
        << "value '" << tags().topLevelItem(0)->text(value).toStdString() << "' quality '"
        << tags().topLevelItem(0)->text(quality).toStdString() << "'";
    EXPECT_FALSE(tags().topLevelItem(0)->text(updated).isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Pane(doccmd::kPaneLastPollTime).startsWith("Last Poll Time: "); },
                                3000));
    EXPECT_EQ(Pane(uicmd::kPaneClients), "Number of Clients:  1") << "the operator's request";

    Trigger(doccmd::kStopPolling);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tags().topLevelItem(0)->text(value).isEmpty(); }, 10000));
}

TEST_F(MainWindowTest, HeaderClicksSortAndTurnTheDirectionAndTheSettingsKeepIt) {
    VOKDevice* device = AddDevice("Device");
    OpenWindow();
    Select(device);  // the device's own tags: names, kinds and access of several sorts
    const int name = ShownColumn("Name"), mode = ShownColumn("Mode");
    ASSERT_GE(tags().topLevelItemCount(), 5);
    std::vector<std::string> names = Column(name);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& x, const std::string& y) {
        return QString::fromStdString(x).compare(QString::fromStdString(y), Qt::CaseInsensitive) < 0;
    })) << "the first visible column sorts by default";

    ClickHeader(name);
    std::vector<std::string> reversed = Column(name);
    EXPECT_EQ(std::vector<std::string>(names.rbegin(), names.rend()), reversed) << "the same column turns round";

    ClickHeader(mode);
    std::vector<std::string> modes = Column(mode);
    EXPECT_TRUE(std::is_sorted(modes.begin(), modes.end())) << "Read Only before Read/Write";
    EXPECT_NE(modes.front(), modes.back());
    ClickHeader(mode);
    modes = Column(mode);
    EXPECT_EQ(modes.front(), "Read/Write");

    // Sorting by value leaves the rows as they are.
    const std::vector<std::string> before = Column(name);
    ClickHeader(ShownColumn("Value"));
    EXPECT_EQ(Column(name), before);

    // Back to Mode: it keeps the direction it had. The sort lives in the
    // settings: saved, and loaded by a new window.
    ClickHeader(mode);
    EXPECT_EQ(Column(mode).front(), "Read/Write");
    const std::string info = settings().ColumnInfoText();
    EXPECT_NE(info.find("Mode,4,4,80,T,F,T,T"), std::string::npos) << info;
    frame.reset();
    OpenWindow();
    Select(device);
    EXPECT_EQ(tags().header()->sortIndicatorSection(), mode);
    EXPECT_EQ(tags().header()->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(Column(mode).front(), "Read/Write");
}

TEST_F(MainWindowTest, ARightClickedRowsMenuShowsThatRowsCommandsWhileTheTreeHadTheFocus) {
    VOKDevice* device = AddDevice("Device");
    OpenWindow();
    Select(device);  // the tree has the focus; its Properties and Delete apply
    ASSERT_TRUE(Enabled(uicmd::kDelete));
    const int mode = ShownColumn("Mode");
    QTreeWidgetItem* writable = nullptr;
    for (int i = 0; i < tags().topLevelItemCount() && writable == nullptr; ++i)
        if (tags().topLevelItem(i)->text(mode) == "Read/Write") writable = tags().topLevelItem(i);
    ASSERT_NE(writable, nullptr);
    tags().clearSelection();
    writable->setSelected(true);

    // The states the popup shows, read while it is open; then it is closed.
    std::vector<std::pair<std::string, bool>> shown;
    QTimer::singleShot(0, [&shown] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        for (QAction* action : popup->actions()) shown.emplace_back(action->text().toStdString(), action->isEnabled());
        // With VOK_SCREENSHOT_DIR set, the menu as the operator sees it.
        if (const QString folder = ScreenshotFolder(); !folder.isEmpty()) popup->grab().save(folder + "/tag-menu.png");
        popup->close();
    });
    emit tags().customContextMenuRequested(tags().visualItemRect(writable).center());
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[0].second) << shown[0].first << ": one tag is selected";
    EXPECT_TRUE(shown[1].second) << shown[1].first << ": a read/write tag, so Write To Tag is offered";
    // The menu's commands now act on the tag list: Delete is the tags' rule
    // (the device's own tags cannot be deleted), not the tree's.
    EXPECT_FALSE(frame->Action(uicmd::kDelete)->isEnabled());
    EXPECT_TRUE(frame->Action(uicmd::kWriteToTag)->isEnabled());
}

TEST_F(MainWindowTest, TheColumnsDialogHidesAColumnAndTheListShowsIt) {
    VOKDevice* device = AddDevice("Device");
    OpenWindow();
    Select(device);
    tags().setColumnWidth(ShownColumn("Name"), 222);
    const int shownBefore = tags().columnCount();
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        auto* list = dialog->findChild<QListWidget*>("columnList");
        ASSERT_NE(list, nullptr);
        for (int i = 0; i < list->count(); ++i)
            if (list->item(i)->text() == "Quality") list->item(i)->setCheckState(Qt::Unchecked);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    frame->RunCommand(doccmd::kChooseColumns);
    EXPECT_EQ(tags().columnCount(), shownBefore - 1);
    EXPECT_EQ(ShownColumn("Quality"), -1);
    EXPECT_GT(tags().topLevelItemCount(), 0) << "the rows are rebuilt";
    EXPECT_EQ(tags().columnWidth(ShownColumn("Name")), 222) << "the width stored before the dialog";
    bool qualityHidden = false;
    for (const ColumnInfo& c : settings().GetColumns())
        if (c.name == "Quality") qualityHidden = !c.visible;
    EXPECT_TRUE(qualityHidden);
}

TEST_F(MainWindowTest, ThePlacementComesFromTheSettingsAndTheExitStoresEverything) {
    // A rectangle with a zero coordinate is not used.
    settings().SetWindowLocation(RECT{0, 120, 900, 720});
    OpenWindow();
    EXPECT_NE(frame->geometry().left(), 0);
    EXPECT_NE(frame->geometry().width(), 900);
    frame.reset();

    settings().SetWindowLocation(RECT{40, 60, 840, 660});
    settings().SetSplitterPosition(0.3);
    VOKDevice* device = AddDevice("Device");
    OpenWindow();
    EXPECT_EQ(frame->geometry(), QRect(40, 60, 800, 600));
    const QList<int> sizes = frame->Splitter().sizes();
    ASSERT_EQ(sizes.size(), 2);
    EXPECT_NEAR(static_cast<double>(sizes[0]) / (sizes[0] + sizes[1]), 0.3, 0.02);

    // The operator moves things, then exits from the File menu.
    frame->Splitter().setSizes({400, 400});
    frame->setGeometry(50, 70, 900, 640);
    Select(device);
    tags().setColumnWidth(0, 199);
    doc->SetModifiedFlag();
    Trigger(uicmd::kAppExit);
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(forcedTerminations, 0);
    EXPECT_FALSE(doc->IsModified()) << "the configuration was saved";
    const RECT r = settings().GetWindowLocation();
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.top, 70);
    EXPECT_EQ(r.right - r.left, 900);
    EXPECT_NEAR(settings().GetSplitterPosition(), 0.5, 0.02);
    EXPECT_EQ(settings().GetColumns()[0].width, 199u);

    // With a client connected the exit saves first, then forces the end.
    doc->Hooks().clientsConnected = [] { return true; };
    EXPECT_FALSE(Enabled(uicmd::kFileNew)) << "New is refused while clients are connected";
    frame->show();
    frame->close();
    EXPECT_EQ(forcedTerminations, 1);
    EXPECT_EQ(log.CountContaining("Forcing termination of server while clients connected"), 1);
}

// With VOK_SCREENSHOT_DIR set: the window with a polling counter selected,
// as the README shows it.
TEST_F(MainWindowTest, ScreenshotOfTheWindowWithAPollingCounter) {
    const char* folder = std::getenv("VOK_SCREENSHOT_DIR");
    if (folder == nullptr || folder[0] == '\0') GTEST_SKIP() << "VOK_SCREENSHOT_DIR names the folder for the picture";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(StartTestLine(line, "COM43", {TestCounter(1, 60), TestCounter(2, 60)}, 60));
    VOKDevice* first = AddDevice("4400 VOK 43-01", 43, 1);
    AddDevice("4400 VOK 43-02", 43, 2);
    settings().SetWindowLocation(RECT{20, 20, 1220, 700});
    OpenWindow();
    tree().ItemOf(first)->setExpanded(true);
    OPCS_TagGroup* counts = first->GetKindGroup(VOKTagGroup::CumulativeRaw);
    Select(counts);
    Trigger(doccmd::kStartPolling);
    // A pass that has counted something, so the picture shows live counts.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const QTreeWidgetItem* row = tags().topLevelItem(0);
        return row->text(ShownColumn("Quality")) == "Good" && row->text(ShownColumn("Value")) != "0";
    }, 30000));
    QTest::qWait(1200);
    frame->UpdateCommands();
    EXPECT_TRUE(frame->grab().save(QString(folder) + "/main-window.png"));
}

// A new user's window shows the tag names and the group names whole; widths
// the user has set (stored, or dragged before any rows showed) are kept.
TEST_F(MainWindowTest, ColumnsAndTreeFitTheirTextsUntilTheUserSizesThem) {
    settings().SetSplitterPosition(0.2);
    settings().SetWindowLocation(RECT{20, 20, 1220, 700});
    VOKDevice* device = AddDevice("4400 VOK 43-01");
    OpenWindow();
    const QFontMetrics tagFont = tags().fontMetrics();
    Select(device->GetKindGroup(VOKTagGroup::CumulativeRaw));
    ASSERT_GT(tags().topLevelItemCount(), 0);
    const int name = ShownColumn("Name");
    EXPECT_GE(tags().columnWidth(name),
              tagFont.horizontalAdvance("Cumulative Raw Count Bin 01") + tags().iconSize().width())
        << "the tag names are not cut";
    EXPECT_GE(tags().columnWidth(ShownColumn("Quality")), tagFont.horizontalAdvance("Bad (Comm Failure)"))
        << "a lost counter's quality will show whole";
    EXPECT_FALSE(tags().WillFitColumns());
    // The tree shows its longest group name whole, the tag list keeps the larger part.
    const QList<int> sizes = frame->Splitter().sizes();
    const int needed = tree().fontMetrics().horizontalAdvance("Differential Normalized Bin Counts") +
                       2 * tree().indentation() + tree().iconSize().width();
    EXPECT_GE(tree().viewport()->width(), needed);
    EXPECT_LT(sizes[0], sizes[1]);

    // The fitted widths are what is stored, and a later start keeps them as
    // they are, even where the rows would now fit otherwise.
    tags().setColumnWidth(name, 333);
    frame->close();
    EXPECT_EQ(settings().GetColumns()[0].width, 333u);
    EXPECT_GT(settings().GetSplitterPosition(), 0.2) << "the fitted tree is stored";
    const double share = settings().GetSplitterPosition();
    frame.reset();
    OpenWindow();
    Select(device->GetKindGroup(VOKTagGroup::CumulativeRaw));
    EXPECT_EQ(tags().columnWidth(ShownColumn("Name")), 333);
    EXPECT_NEAR(static_cast<double>(frame->Splitter().sizes()[0]) /
                    (frame->Splitter().sizes()[0] + frame->Splitter().sizes()[1]), share, 0.01);
}

TEST_F(MainWindowTest, AWidthDraggedBeforeRowsShowAndAnEmptyFirstStartAreRespected) {
    settings().SetSplitterPosition(0.2);
    OpenWindow();
    // A first start without devices stores no tree width of its own: the tree
    // is still fitted once there are devices.
    EXPECT_TRUE(tags().WillFitColumns());
    tags().header()->resizeSection(0, 250);  // as a drag of the header does
    EXPECT_FALSE(tags().WillFitColumns()) << "the user's width wins";
    frame->close();
    EXPECT_EQ(settings().GetSplitterPosition(), 0.2);
    EXPECT_EQ(settings().GetColumns()[0].width, 250u);
    frame.reset();

    settings().ResetColumns();
    OpenWindow();
    const int before = frame->Splitter().sizes()[0];
    VOKDevice* device = AddDevice("4400 VOK 43-01");
    ASSERT_TRUE(QTest::qWaitFor([&] { return frame->Splitter().sizes()[0] > before; }, 2000))
        << "the tree widens once it has a device";
    // Rows of a group whose tags all have short texts still keep the starting floor.
    Select(device->GetKindGroup(VOKTagGroup::CumulativeRaw));
    EXPECT_GE(tags().columnWidth(ShownColumn("Value")), 80);
}
