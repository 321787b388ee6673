// The tag list's rules without its widget: the order of the rows by every
// column in both directions, the header clicks that choose it, and the blank
// cells of a volatile tag whose device does not poll.
#include "ui/TagRows.h"

#include "config/OPCS_Registry.h"
#include "model/VOKTag.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

FILETIME At(std::uint64_t hundredNanoseconds) {
    return FILETIME{static_cast<DWORD>(hundredNanoseconds & 0xFFFFFFFFu), static_cast<DWORD>(hundredNanoseconds >> 32)};
}

constexpr std::uint64_t kSecond = 10000000u;
constexpr std::uint64_t kNoon = 134000000000000000u;  // a time in 2025, in 100 ns steps

// A counter's tags get their kind codes from the device; here the test sets them.
class KindTag : public VOKTag {
public:
    using VOKTag::SetKindCode;
};

struct Row {
    std::string name, description;
    WORD quality;
    std::uint64_t time;
    std::int32_t access, kind;
    double value;
};

class TagRows : public ::testing::Test {
protected:
    void Add(const Row& row) {
        auto tag = std::make_unique<KindTag>();
        tag->SetName(row.name);
        tag->SetDescription(row.description);
        tag->SetAccessRights(row.access);
        tag->SetKindCode(row.kind);
        tag->SetCanonicalType(VT_R8);
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_R8;
        value.dblVal = row.value;
        tag->SetValue(value, row.quality, At(row.time));
        tags_.push_back(std::move(tag));
    }
    // The names in the order Sort leaves them, from the order of adding.
    std::vector<std::string> SortedBy(UINT columnId, bool ascending) {
        std::vector<OPCS_Tag*> rows;
        for (auto& tag : tags_) rows.push_back(tag.get());
        tagrows::Sort(rows, columnId, ascending);
        std::vector<std::string> names;
        for (OPCS_Tag* tag : rows) names.push_back(tag->GetName());
        return names;
    }
    std::vector<std::unique_ptr<KindTag>> tags_;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(TagRows, EveryColumnOrdersTheRowsItsOwnWayAndTheDirectionTurnsThemRound) {
    // Each column orders these four differently from the order of adding.
    Add({"delta", "Zeta reading", 0xC0, kNoon + 2 * kSecond, 1, 30, 4});
    Add({"Alpha", "eta reading", 0x00, kNoon + 3 * kSecond, 0, 10, 1});
    Add({"charlie", "Beta reading", 0x40, kNoon, 1, 40, 3});
    Add({"Bravo", "alpha reading", 0x18, kNoon + kSecond, 0, 20, 2});

    // Names and descriptions without regard to case.
    EXPECT_EQ(SortedBy(0, true), (Names{"Alpha", "Bravo", "charlie", "delta"}));
    EXPECT_EQ(SortedBy(0, false), (Names{"delta", "charlie", "Bravo", "Alpha"}));
    EXPECT_EQ(SortedBy(6, true), (Names{"Bravo", "charlie", "Alpha", "delta"}));
    // Quality as a number: bad 0x00, 0x18, uncertain 0x40, good 0xC0.
    EXPECT_EQ(SortedBy(2, true), (Names{"Alpha", "Bravo", "charlie", "delta"}));
    EXPECT_EQ(SortedBy(2, false), (Names{"delta", "charlie", "Bravo", "Alpha"}));
    // Last updated, oldest first.
    EXPECT_EQ(SortedBy(3, true), (Names{"charlie", "Bravo", "delta", "Alpha"}));
    // Mode: read only before read/write; equal modes keep their order.
    EXPECT_EQ(SortedBy(4, true), (Names{"Alpha", "Bravo", "delta", "charlie"}));
    EXPECT_EQ(SortedBy(4, false), (Names{"delta", "charlie", "Alpha", "Bravo"}));
    // Id: the kind codes as numbers.
    EXPECT_EQ(SortedBy(5, true), (Names{"Alpha", "Bravo", "delta", "charlie"}));
    // Value, and a column id the list does not know: the rows stay as they are.
    const Names added{"delta", "Alpha", "charlie", "Bravo"};
    EXPECT_EQ(SortedBy(1, true), added);
    EXPECT_EQ(SortedBy(1, false), added);
    EXPECT_EQ(SortedBy(9, true), added);
}

TEST_F(TagRows, TimesWithinOneSecondAreEqualAndKeepTheirOrder) {
    Add({"later in the second", "", 0xC0, kNoon + kSecond - 1, 0, 1, 0});
    Add({"next second", "", 0xC0, kNoon + kSecond, 0, 1, 0});
    Add({"start of the second", "", 0xC0, kNoon, 0, 1, 0});
    EXPECT_EQ(SortedBy(3, true), (Names{"later in the second", "start of the second", "next second"}));
    EXPECT_EQ(SortedBy(3, false), (Names{"next second", "later in the second", "start of the second"}));
}

TEST_F(TagRows, AHeaderClickTurnsTheSortColumnOrMovesTheSortToTheClickedColumn) {
    OPCS_Registry::Columns columns = OPCS_Registry::DefaultColumns();
    std::vector<ColumnInfo*> shown;
    for (ColumnInfo& c : columns)
        if (c.visible) shown.push_back(&c);
    ASSERT_GE(shown.size(), 4u);
    shown[0]->sortColumn = true;
    int position = 0;

    tagrows::HeaderClick(shown, position, 0);
    EXPECT_EQ(position, 0);
    EXPECT_FALSE(shown[0]->ascending) << "the sort column turns round";

    shown[2]->ascending = false;
    tagrows::HeaderClick(shown, position, 2);
    EXPECT_EQ(position, 2);
    EXPECT_TRUE(shown[2]->sortColumn);
    EXPECT_FALSE(shown[0]->sortColumn) << "one sort column at a time";
    EXPECT_FALSE(shown[2]->ascending) << "a column keeps the direction it had";
    EXPECT_FALSE(shown[0]->ascending);

    // A click outside the shown columns changes nothing.
    tagrows::HeaderClick(shown, position, static_cast<int>(shown.size()));
    tagrows::HeaderClick(shown, position, -1);
    EXPECT_EQ(position, 2);
    EXPECT_TRUE(shown[2]->sortColumn);
    EXPECT_FALSE(shown[2]->ascending);
}

TEST_F(TagRows, AVolatileTagOfAStoppedDeviceShowsOnlyTheAlwaysShownColumns) {
    Add({"Count", "Particles", 0xC0, kNoon, 0, 7, 42});
    VOKTag& tag = *tags_.front();
    tag.SetVolatile(true);
    tag.SetChanged(true);
    const OPCS_Registry::Columns& columns = OPCS_Registry::DefaultColumns();
    for (const ColumnInfo& c : columns) {
        const std::string stopped = tagrows::CellText(tag, c, false);
        EXPECT_EQ(stopped.empty(), !c.alwaysShown) << c.name << ": '" << stopped << "'";
    }
    EXPECT_TRUE(tag.IsChanged()) << "a blank value cell leaves the change for the next refresh";

    const auto cell = [&](UINT id, bool polling) {
        for (const ColumnInfo& c : columns)
            if (c.columnId == id) return tagrows::CellText(tag, c, polling);
        return std::string("no such column");
    };
    EXPECT_EQ(cell(0, true), "Count");
    EXPECT_EQ(cell(4, true), "Read Only");
    EXPECT_EQ(cell(5, true), "7");
    EXPECT_EQ(cell(2, true), "Good");
    EXPECT_FALSE(cell(3, true).empty());
    EXPECT_EQ(cell(1, true), "42 ") << "a double keeps its trailing blank";
    EXPECT_FALSE(tag.IsChanged()) << "showing the value takes the change";

    // A tag that is not volatile shows its value whether or not the device polls.
    tag.SetVolatile(false);
    EXPECT_EQ(cell(1, false), "42 ");
}

TEST(TagColumnsFit, OnlyStartingWidthsAreFittedAndFitsStayWithinBounds) {
    OPCS_Registry::Columns columns = OPCS_Registry::DefaultColumns();
    std::vector<ColumnInfo*> shown;
    for (ColumnInfo& c : columns)
        if (c.visible) shown.push_back(&c);
    EXPECT_TRUE(tagrows::HasStartingWidths(shown));
    shown[2]->width += 1;
    EXPECT_FALSE(tagrows::HasStartingWidths(shown)) << "one column sized by hand keeps them all";
    EXPECT_FALSE(tagrows::HasStartingWidths({})) << "nothing to fit";

    // Long texts widen, short ones keep a narrow column's starting width,
    // nothing grows past the bound, and the 5000-pixel filler sets no floor.
    EXPECT_EQ(tagrows::FittedWidth(300, 165), 300 + tagrows::kFittedMargin);
    EXPECT_EQ(tagrows::FittedWidth(10, 80), 80u);
    EXPECT_EQ(tagrows::FittedWidth(2000, 165), tagrows::kFittedMax);
    EXPECT_LT(tagrows::FittedWidth(200, 5000), 300u);
    EXPECT_GE(tagrows::FittedWidth(0, 5000), 50u);
}
