#include "ui/ColumnsEditor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The column names in list order.
std::vector<std::string> Names(const ColumnsEditor& editor) {
    std::vector<std::string> names;
    for (const auto& e : editor.Entries()) names.push_back(e.record.name);
    return names;
}

const std::vector<std::string> kDefaultOrder = {"Name", "Value", "Quality", "Last Updated", "Mode", "Id",
                                                "Description"};

}  // namespace

TEST(ColumnsEditor, FillsFromTheRecordsAndSelectsTheFirst) {
    OPCS_Registry::Columns columns = OPCS_Registry::DefaultColumns();
    std::swap(columns[0], columns[6]);  // the records' order is the list's order
    columns[2].width = 333;
    ColumnsEditor editor(columns);
    ASSERT_EQ(editor.Count(), 7);
    EXPECT_EQ(editor.Entries()[0].text, "Description");
    EXPECT_EQ(editor.Entries()[6].text, "Name");
    EXPECT_FALSE(editor.Entries()[5].checked) << "Id is hidden by default";
    EXPECT_TRUE(editor.Entries()[0].checked);
    EXPECT_EQ(editor.Selection(), std::set<int>{0});
    EXPECT_EQ(editor.WidthText(), "5000");
    EXPECT_EQ(editor.Width(2), 333u) << "the width table is indexed by column id";
    EXPECT_EQ(editor.Width(0), 165u);
    EXPECT_EQ(editor.Width(7), 0u);
}

TEST(ColumnsEditor, MoveUpWrapsTheTopToTheBottomAndEndsThePass) {
    ColumnsEditor editor(OPCS_Registry::DefaultColumns());
    editor.MoveUp();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Value", "Quality", "Last Updated", "Mode", "Id", "Description", "Name"}));
    EXPECT_EQ(editor.Selection(), std::set<int>{6}) << "the selection moves with the line";

    // Two lines move together, keeping their order.
    editor.Reset();
    editor.SetSelection({2, 3});
    editor.MoveUp();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Name", "Quality", "Last Updated", "Value", "Mode", "Id", "Description"}));
    EXPECT_EQ(editor.Selection(), (std::set<int>{1, 2}));

    // The wrap of the top line ends the pass: the other selected line stays
    // where it is and moves up with the rest.
    editor.Reset();
    editor.SetSelection({0, 3});
    editor.MoveUp();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Value", "Quality", "Last Updated", "Mode", "Id", "Description", "Name"}));
    EXPECT_EQ(editor.Selection(), (std::set<int>{2, 6}));
}

TEST(ColumnsEditor, MoveDownIsTheMirrorImage) {
    ColumnsEditor editor(OPCS_Registry::DefaultColumns());
    editor.SetSelection({6});
    editor.MoveDown();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Description", "Name", "Value", "Quality", "Last Updated", "Mode", "Id"}));
    EXPECT_EQ(editor.Selection(), std::set<int>{0});

    editor.Reset();
    editor.SetSelection({1, 2});
    editor.MoveDown();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Name", "Last Updated", "Value", "Quality", "Mode", "Id", "Description"}));
    EXPECT_EQ(editor.Selection(), (std::set<int>{2, 3}));

    editor.Reset();
    editor.SetSelection({3, 6});
    editor.MoveDown();
    EXPECT_EQ(Names(editor),
              (std::vector<std::string>{"Description", "Name", "Value", "Quality", "Last Updated", "Mode", "Id"}));
    EXPECT_EQ(editor.Selection(), (std::set<int>{0, 4}));

    // Down then up again restores the list, checks included.
    editor.Reset();
    editor.SetChecked(2, false);
    editor.SetSelection({2});
    editor.MoveDown();
    editor.MoveUp();
    EXPECT_EQ(Names(editor), kDefaultOrder);
    EXPECT_FALSE(editor.Entries()[2].checked);
}

TEST(ColumnsEditor, WidthTextAppliesOnlyInRangeToEverySelectedColumn) {
    ColumnsEditor editor(OPCS_Registry::DefaultColumns());
    editor.SetSelection({1, 4});  // Value and Mode, both 80
    EXPECT_EQ(editor.WidthText(), "80");
    EXPECT_FALSE(editor.ApplyWidthText("9"));
    EXPECT_FALSE(editor.ApplyWidthText(""));
    EXPECT_FALSE(editor.ApplyWidthText("5001"));
    EXPECT_FALSE(editor.ApplyWidthText("12a"));
    EXPECT_FALSE(editor.ApplyWidthText("99999999999999999999"));
    EXPECT_EQ(editor.Width(1), 80u);
    EXPECT_TRUE(editor.ApplyWidthText("10"));
    EXPECT_EQ(editor.Width(1), 10u);
    EXPECT_EQ(editor.Width(4), 10u);
    EXPECT_TRUE(editor.ApplyWidthText("5000"));
    EXPECT_EQ(editor.Width(4), 5000u);
    EXPECT_EQ(editor.Width(0), 165u) << "columns not selected keep their width";

    // The width follows the column, not its place in the list.
    editor.SetSelection({1});
    editor.MoveDown();
    EXPECT_EQ(editor.WidthText(), "5000");

    editor.SetSelection({0, 2});
    EXPECT_EQ(editor.WidthText(), "") << "Name 165 and Value 5000 differ";
    editor.SetSelection({});
    EXPECT_EQ(editor.WidthText(), "");
    EXPECT_FALSE(editor.ApplyWidthText("100")) << "nothing selected takes nothing";
}

TEST(ColumnsEditor, ASelectionChangeStoresTheTypedWidthForTheOldSelection) {
    ColumnsEditor editor(OPCS_Registry::DefaultColumns());
    // Name is selected; the operator types 200, then selects Quality.
    EXPECT_EQ(editor.ChangeSelection({2}, "200"), "65");
    EXPECT_EQ(editor.Width(0), 200u);
    EXPECT_EQ(editor.Width(2), 65u);
    // A width too small is dropped when the selection changes.
    EXPECT_EQ(editor.ChangeSelection({0, 2}, "9"), "");
    EXPECT_EQ(editor.Width(2), 65u);
    editor.SetSelection({9, -1, 3});
    EXPECT_EQ(editor.Selection(), std::set<int>{3}) << "positions outside the list are dropped";
}

TEST(ColumnsEditor, RenameNeedsOneLineAndKeepsTheOldTextForAnEmptyOne) {
    ColumnsEditor editor(OPCS_Registry::DefaultColumns());
    EXPECT_TRUE(editor.CanRename());
    editor.SetSelection({1, 2});
    EXPECT_FALSE(editor.CanRename());
    editor.SetSelection({});
    EXPECT_FALSE(editor.CanRename());
    editor.Rename(1, "Reading");
    EXPECT_EQ(editor.Entries()[1].text, "Reading");
    editor.Rename(1, "");
    EXPECT_EQ(editor.Entries()[1].text, "Reading");
    editor.Rename(1, "Counts, raw");
    EXPECT_EQ(editor.Entries()[1].text, "Counts raw") << "a comma would break the stored column layout";
    editor.Rename(1, ",");
    EXPECT_EQ(editor.Entries()[1].text, "Counts raw");
    editor.Rename(7, "Nowhere");
    EXPECT_EQ(editor.Count(), 7);
}

TEST(ColumnsEditor, ResultTakesListOrderChecksWidthsAndNames) {
    OPCS_Registry::Columns start = OPCS_Registry::DefaultColumns();
    start[3].name = "Time";
    ColumnsEditor editor(start);
    editor.SetSelection({5});  // Id
    editor.SetChecked(5, true);
    editor.ApplyWidthText("40");
    editor.MoveUp();  // Id now at 4, Mode at 5
    editor.SetChecked(6, false);  // Description hidden
    editor.SetSelection({0});
    editor.Rename(0, "Tag");

    const OPCS_Registry::Columns result = editor.Result();
    const std::vector<unsigned> ids = {0, 1, 2, 3, 5, 4, 6};
    for (std::size_t i = 0; i < result.size(); ++i) {
        EXPECT_EQ(result[i].columnId, ids[i]) << i;
        EXPECT_EQ(result[i].order, i);
    }
    EXPECT_EQ(result[0].name, "Tag");
    EXPECT_EQ(result[3].name, "Time") << "names come from the texts";
    EXPECT_TRUE(result[4].visible);
    EXPECT_EQ(result[4].width, 40u);
    EXPECT_TRUE(result[4].sortColumn) << "other fields of the record travel with it";
    EXPECT_TRUE(result[4].alwaysShown);
    EXPECT_FALSE(result[6].visible);
    EXPECT_EQ(result[6].width, 5000u);
    EXPECT_EQ(result[1].width, 80u);
}

TEST(ColumnsEditor, ResetRestoresTheDefaults) {
    OPCS_Registry::Columns start = OPCS_Registry::DefaultColumns();
    std::swap(start[0], start[1]);
    start[0].width = 999;
    ColumnsEditor editor(start);
    editor.SetSelection({3});
    editor.Rename(3, "When");
    editor.Reset();
    EXPECT_EQ(Names(editor), kDefaultOrder);
    EXPECT_EQ(editor.Entries()[3].text, "Last Updated");
    EXPECT_EQ(editor.Width(1), 80u);
    EXPECT_EQ(editor.Selection(), std::set<int>{0});
    const OPCS_Registry::Columns result = editor.Result();
    for (std::size_t i = 0; i < result.size(); ++i) EXPECT_EQ(result[i], OPCS_Registry::DefaultColumns()[i]) << i;
}

TEST(ColumnsEditor, AColumnIdOutsideTheTableKeepsItsOwnWidth) {
    OPCS_Registry::Columns start = OPCS_Registry::DefaultColumns();
    start[2].columnId = 99;
    start[2].width = 70;
    ColumnsEditor editor(start);
    editor.SetSelection({2});
    EXPECT_FALSE(editor.ApplyWidthText("300"));
    EXPECT_EQ(editor.Result()[2].width, 70u);
}
