#include "ui/OPCS_DlgColumns.h"

#include "QtTestApp.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// The dialog on screen and its parts, found by their object names.
struct Dialog {
    explicit Dialog(OPCS_Registry& settings) : dialog(std::make_unique<OPCS_DlgColumns>(settings)) {
        dialog->show();
        dialog->activateWindow();
        // Focus changes, which end a rename, need the active window.
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        list = dialog->findChild<QListWidget*>("columnList");
        width = dialog->findChild<QLineEdit*>("width");
        EXPECT_NE(list, nullptr);
        EXPECT_NE(width, nullptr);
    }

    QPushButton* Button(const char* name) const {
        auto* button = dialog->findChild<QPushButton*>(name);
        EXPECT_NE(button, nullptr) << name;
        return button;
    }
    void Click(const char* name) const { QTest::mouseClick(Button(name), Qt::LeftButton); }

    QStyleOptionViewItem Option(int row) const {
        QStyleOptionViewItem option;
        option.initFrom(list->viewport());
        option.rect = list->visualItemRect(list->item(row));
        option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = list->item(row)->text();
        option.widget = list;
        return option;
    }
    QRect CheckRect(int row) const {
        const QStyleOptionViewItem option = Option(row);
        return list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
    }
    QRect TextRect(int row) const {
        const QStyleOptionViewItem option = Option(row);
        return list->style()->subElementRect(QStyle::SE_ItemViewItemText, &option, list);
    }
    // A click on the line's text selects it alone (or adds it with Ctrl).
    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {}) const {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, TextRect(row).center());
    }
    void ToggleCheck(int row) const { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, CheckRect(row).center()); }
    void TypeWidth(const QString& text) const {
        width->setFocus();
        width->selectAll();
        QTest::keyClicks(width, text);
    }
    QLineEdit* RenameEdit() const {
        // An ended rename's edit is already hidden while it waits for deletion.
        auto* edit = dialog->findChild<QLineEdit*>("renameEdit");
        return edit != nullptr && edit->isVisible() ? edit : nullptr;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (int i = 0; i < list->count(); ++i) texts.push_back(list->item(i)->text().toStdString());
        return texts;
    }

    std::unique_ptr<OPCS_DlgColumns> dialog;
    QListWidget* list = nullptr;
    QLineEdit* width = nullptr;
};

}  // namespace

TEST(ColumnsDialog, OkStoresVisibilityOrderNameAndWidth) {
    QtTestApp();
    OPCS_Registry settings;
    Dialog d(settings);
    EXPECT_EQ(d.dialog->windowTitle().toStdString(), "Column Settings");
    ASSERT_EQ(d.list->count(), 7);
    EXPECT_EQ(d.list->item(5)->text().toStdString(), "Id");
    EXPECT_EQ(d.list->item(5)->checkState(), Qt::Unchecked);
    EXPECT_EQ(d.width->text().toStdString(), "165") << "the first line is selected and its width shown";

    // Show Id, move it above Mode and give it 250 pixels.
    d.ClickRow(5);
    EXPECT_EQ(d.width->text().toStdString(), "20");
    d.ToggleCheck(5);
    EXPECT_EQ(d.list->item(5)->checkState(), Qt::Checked);
    d.Click("moveUp");
    EXPECT_EQ(d.list->item(4)->text().toStdString(), "Id");
    EXPECT_TRUE(d.list->item(4)->isSelected()) << "the selection moves with the line";
    d.TypeWidth("250");

    // Selecting Name stores the width for Id and shows Name's.
    d.ClickRow(0);
    EXPECT_EQ(d.width->text().toStdString(), "165");

    // Rename Name in place; leaving the edit takes the text.
    d.Click("rename");
    QLineEdit* edit = d.RenameEdit();
    ASSERT_NE(edit, nullptr);
    EXPECT_FALSE(d.Button("rename")->isEnabled());
    EXPECT_EQ(edit->selectedText().toStdString(), "Name");
    EXPECT_GT(edit->geometry().left(), d.CheckRect(0).right()) << "the edit leaves the check box free";
    QTest::keyClicks(edit, "Tag,Name");
    EXPECT_EQ(edit->text().toStdString(), "TagName") << "a comma cannot be typed into a name";
    QTest::mouseClick(d.width, Qt::LeftButton);
    EXPECT_EQ(d.RenameEdit(), nullptr);
    EXPECT_TRUE(d.Button("rename")->isEnabled());
    EXPECT_EQ(d.list->item(0)->text().toStdString(), "TagName");

    // Hide Quality; a width of 9 typed for Description is ignored.
    d.ToggleCheck(2);
    d.ClickRow(6);
    d.TypeWidth("9");
    d.Click("ok");
    EXPECT_EQ(d.dialog->result(), QDialog::Accepted);

    const OPCS_Registry::Columns& columns = settings.GetColumns();
    const std::vector<unsigned> ids = {0, 1, 2, 3, 5, 4, 6};
    for (std::size_t i = 0; i < columns.size(); ++i) EXPECT_EQ(columns[i].columnId, ids[i]) << i;
    EXPECT_EQ(columns[0].name, "TagName");
    EXPECT_FALSE(columns[2].visible);
    EXPECT_TRUE(columns[4].visible);
    EXPECT_EQ(columns[4].width, 250u);
    EXPECT_EQ(columns[6].width, 5000u);
    EXPECT_EQ(columns[5].name, "Mode");
}

TEST(ColumnsDialog, CancelChangesNothingEvenAfterReset) {
    QtTestApp();
    OPCS_Registry settings;
    OPCS_Registry::Columns start = OPCS_Registry::DefaultColumns();
    start[1].name = "Reading";
    start[1].width = 123;
    start[6].visible = false;
    settings.SetColumns(start);
    const OPCS_Registry::Columns before = settings.GetColumns();

    Dialog d(settings);
    EXPECT_EQ(d.list->item(1)->text().toStdString(), "Reading");
    EXPECT_EQ(d.list->item(6)->checkState(), Qt::Unchecked);
    d.Click("moveDown");
    d.ToggleCheck(3);
    d.Click("reset");
    EXPECT_EQ(d.list->item(1)->text().toStdString(), "Value") << "Reset shows the default columns";
    EXPECT_EQ(d.list->item(6)->checkState(), Qt::Checked);
    EXPECT_EQ(d.list->item(5)->checkState(), Qt::Unchecked);
    EXPECT_EQ(d.width->text().toStdString(), "165");
    d.TypeWidth("300");
    d.Click("cancel");
    EXPECT_EQ(d.dialog->result(), QDialog::Rejected);
    EXPECT_EQ(settings.GetColumns(), before);
}

TEST(ColumnsDialog, ResetThenOkStoresTheDefaults) {
    QtTestApp();
    OPCS_Registry settings;
    OPCS_Registry::Columns start = OPCS_Registry::DefaultColumns();
    std::swap(start[0], start[3]);
    start[0].order = 0;
    start[3].order = 3;
    start[2].width = 400;
    settings.SetColumns(start);
    Dialog d(settings);
    EXPECT_EQ(d.list->item(0)->text().toStdString(), "Last Updated");
    d.Click("reset");
    d.Click("ok");
    const OPCS_Registry::Columns& columns = settings.GetColumns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(columns[i].name, OPCS_Registry::DefaultColumns()[i].name) << i;
        EXPECT_EQ(columns[i].width, OPCS_Registry::DefaultColumns()[i].width) << i;
    }
}

TEST(ColumnsDialog, MoveUpOnTheTopLineWrapsToTheBottom) {
    QtTestApp();
    OPCS_Registry settings;
    Dialog d(settings);
    d.Click("moveUp");
    EXPECT_EQ(d.Texts(), (std::vector<std::string>{"Value", "Quality", "Last Updated", "Mode", "Id", "Description",
                                               "Name"}));
    EXPECT_TRUE(d.list->item(6)->isSelected());
    d.Click("moveDown");
    EXPECT_EQ(d.list->item(0)->text().toStdString(), "Name");
    EXPECT_EQ(d.width->text().toStdString(), "165");
}

TEST(ColumnsDialog, RenameNeedsOneLineAndEndsOnAnyOtherButton) {
    QtTestApp();
    OPCS_Registry settings;
    Dialog d(settings);
    QPushButton* rename = d.Button("rename");
    EXPECT_TRUE(rename->isEnabled());
    d.ClickRow(2, Qt::ControlModifier);
    EXPECT_FALSE(rename->isEnabled()) << "two lines selected";
    EXPECT_EQ(d.width->text().toStdString(), "") << "Name 165 and Quality 65 differ";
    d.ClickRow(2);
    EXPECT_TRUE(rename->isEnabled());

    // Move Down ends the rename, takes the text, then moves the line.
    d.Click("rename");
    ASSERT_NE(d.RenameEdit(), nullptr);
    QTest::keyClicks(d.RenameEdit(), "Status");
    d.Click("moveDown");
    EXPECT_EQ(d.RenameEdit(), nullptr);
    EXPECT_EQ(d.list->item(3)->text().toStdString(), "Status");
    EXPECT_TRUE(rename->isEnabled());

    // Emptied, the edit leaves the old text; Escape drops what was typed;
    // Enter takes it without closing the dialog.
    d.Click("rename");
    QTest::keyClick(d.RenameEdit(), Qt::Key_Backspace);
    QTest::keyClick(d.RenameEdit(), Qt::Key_Return);
    EXPECT_EQ(d.list->item(3)->text().toStdString(), "Status");
    EXPECT_TRUE(d.dialog->isVisible());
    d.Click("rename");
    QTest::keyClicks(d.RenameEdit(), "Quality Word");
    QTest::keyClick(d.RenameEdit(), Qt::Key_Escape);
    EXPECT_EQ(d.list->item(3)->text().toStdString(), "Status");
    EXPECT_TRUE(d.dialog->isVisible());
    d.Click("rename");
    QTest::keyClicks(d.RenameEdit(), "OPC Quality");
    QTest::keyClick(d.RenameEdit(), Qt::Key_Return);
    EXPECT_EQ(d.list->item(3)->text().toStdString(), "OPC Quality");
    EXPECT_TRUE(d.dialog->isVisible());

    // OK while renaming keeps the typed name.
    d.ClickRow(0);
    d.Click("rename");
    QTest::keyClicks(d.RenameEdit(), "Tag Name");
    d.Click("ok");
    EXPECT_EQ(settings.GetColumns()[0].name, "Tag Name");
    EXPECT_EQ(settings.GetColumns()[3].name, "OPC Quality");
}

TEST(ColumnsDialog, WidthEditTakesNumbersUpTo5000AndKeepsTheTypedOneOnOk) {
    QtTestApp();
    OPCS_Registry settings;
    Dialog d(settings);
    d.TypeWidth("6000");
    EXPECT_EQ(d.width->text().toStdString(), "600") << "the fourth digit would pass 5000";
    d.TypeWidth("12ab");
    EXPECT_EQ(d.width->text().toStdString(), "12");
    d.TypeWidth("10");
    d.Click("ok");
    EXPECT_EQ(settings.GetColumns()[0].width, 10u) << "10 is the smallest width taken";
}

TEST(ColumnsDialog, HelpButtonAndF1AskForContext113) {
    QtTestApp();
    OPCS_Registry settings;
    Dialog d(settings);
    d.Click("help");  // nobody listening yet: nothing happens
    std::vector<int> asked;
    d.dialog->onHelp = [&asked](int context) { asked.push_back(context); };
    d.Click("help");
    d.list->setFocus();
    QTest::keyClick(d.list, Qt::Key_F1);
    EXPECT_EQ(asked, (std::vector<int>{113, 113}));
    EXPECT_TRUE(d.dialog->isVisible());
}
