// The window's small rules without widgets: where a new tree item goes, which
// stored window rectangles are used, the splitter's share, and the file
// dialog's filter made from the program's filter strings.
#include "ui/FramePlacement.h"
#include "ui/QtUiServices.h"
#include "ui/TreePlacement.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Sibling {
    int ordinal;
    int GetOrdinal() const { return ordinal; }
};

}  // namespace

TEST(WindowLogic, ANewItemGoesFirstLastOrAfterItsPredecessor) {
    Sibling a{1}, b{2}, c{3}, stranger{9};
    const std::vector<Sibling*> siblings{&a, &b, &c};
    EXPECT_EQ(treeplace::Place(siblings, &a).where, treeplace::Where::First);
    EXPECT_EQ(treeplace::Place(siblings, &c).where, treeplace::Where::Last);
    const treeplace::Placement middle = treeplace::Place(siblings, &b);
    EXPECT_EQ(middle.where, treeplace::Where::After);
    EXPECT_EQ(middle.after, 0u);
    EXPECT_EQ(treeplace::Place(siblings, &stranger).where, treeplace::Where::Last);
    const std::vector<Sibling*> only{&a};
    EXPECT_EQ(treeplace::Place(only, &a).where, treeplace::Where::Last);

    Sibling late{5}, early{1}, alsoEarly{1};
    std::vector<Sibling*> groups{&late, &early, &alsoEarly};
    treeplace::SortByOrdinal(groups);
    EXPECT_EQ(groups, (std::vector<Sibling*>{&early, &alsoEarly, &late})) << "equal ordinals keep their order";
}

TEST(WindowLogic, OnlyARectangleWithAllCoordinatesAboveZeroAndASizeIsRestored) {
    EXPECT_TRUE(frameplace::IsRestorable(RECT{10, 20, 810, 620}));
    EXPECT_FALSE(frameplace::IsRestorable(RECT{0, 20, 810, 620}));
    EXPECT_FALSE(frameplace::IsRestorable(RECT{10, 0, 810, 620}));
    EXPECT_FALSE(frameplace::IsRestorable(RECT{-5, 20, 810, 620}));
    EXPECT_FALSE(frameplace::IsRestorable(RECT{10, 20, 10, 620})) << "no width";
    EXPECT_FALSE(frameplace::IsRestorable(RECT{10, 620, 810, 20})) << "upside down";
    EXPECT_DOUBLE_EQ(frameplace::SplitterShare(200, 600, 0.5), 0.25);
    EXPECT_DOUBLE_EQ(frameplace::SplitterShare(0, 0, 0.4), 0.4) << "no panes yet: the share stays";
}

TEST(WindowLogic, TheProgramsFilterStringsBecomeTheDialogsFilters) {
    EXPECT_EQ(QtFileFilter("Text Files (*.txt)|*.txt||"), "Text Files (*.txt)");
    EXPECT_EQ(QtFileFilter("Text Files (*.txt)|*.txt|All Files (*.*)|*.*||"), "Text Files (*.txt);;All Files (*.*)");
    EXPECT_EQ(QtFileFilter("Logs|*.log;*.txt||"), "Logs (*.log *.txt)") << "patterns added where the text has none";
    EXPECT_EQ(QtFileFilter(""), "");
    EXPECT_EQ(QtFileFilter("Unpaired"), "");
}
