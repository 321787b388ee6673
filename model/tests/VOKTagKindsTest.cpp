// The counter device's tag kinds: the slot ranges, the names the factory
// gives, and the hand-over of a new tag to its group.
#include "model/VOKTagKinds.h"

#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "testsupport/EventLogCapture.h"

#include <gtest/gtest.h>

#include <climits>

TEST(VOKTagKinds, TheKindsCoverEverySlotOnceAndNothingElse) {
    std::int32_t next = 0;
    for (std::int32_t kind = 0; kind < VOKTagKinds::kKindCount; ++kind) {
        EXPECT_EQ(VOKTagKinds::FirstSlot(kind), next) << kind;
        ASSERT_GT(VOKTagKinds::SlotCount(kind), 0) << kind;
        for (std::int32_t n = 0; n < VOKTagKinds::SlotCount(kind); ++n)
            EXPECT_EQ(VOKTagKinds::KindOfSlot(next + n), kind) << next + n;
        next += VOKTagKinds::SlotCount(kind);
    }
    EXPECT_EQ(next, VOKTag::kSlotCount);
    for (std::int32_t slot : {-1, 190, 191, INT_MIN, INT_MAX}) EXPECT_EQ(VOKTagKinds::KindOfSlot(slot), -1) << slot;
    for (std::int32_t kind : {-1, 21, VOKTag::kNoKind, INT_MAX}) {
        EXPECT_EQ(VOKTagKinds::FirstSlot(kind), -1) << kind;
        EXPECT_EQ(VOKTagKinds::SlotCount(kind), 0) << kind;
        EXPECT_EQ(VOKTagKinds::KindName(kind), "") << kind;
        EXPECT_EQ(VOKTagKinds::KindDescription(kind), "") << kind;
    }
}

TEST(VOKTagKinds, TheFactoryNamesNumberedAnalogAndSingleTags) {
    struct Case {
        std::int32_t kind, slot;
        const char* name;
    };
    const Case cases[] = {
        {2, 2, "Bin Size 01"},
        {2, 33, "Bin Size 32"},
        {20, 158, "Differential Normalized Count Bin 01"},
        {7, 107, "Analog Input 8"},
        {18, 118, "Analog Input 1 - In Service"},
        {16, 116, "Comm Status"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<VOKTag> tag = VOKTagKinds::MakeTag(c.kind, c.slot);
        ASSERT_NE(tag, nullptr) << c.name;
        EXPECT_EQ(tag->GetName(), c.name);
        EXPECT_EQ(tag->GetKind(), c.kind);
        EXPECT_EQ(tag->GetSlot(), c.slot);
        EXPECT_EQ(tag->GetDescription(), VOKTagKinds::KindDescription(c.kind));
    }
    EXPECT_EQ(VOKTagKinds::MakeTag(18, 118)->GetCanonicalType(), VT_BOOL);
    EXPECT_FALSE(VOKTagKinds::MakeTag(17, 117)->CanDelete());
}

TEST(VOKTagKinds, AKindMakesNoTagForASlotOfAnotherKind) {
    EXPECT_EQ(VOKTagKinds::MakeTag(3, 2), nullptr);     // a Bin Size slot
    EXPECT_EQ(VOKTagKinds::MakeTag(2, 34), nullptr);    // one past the last Bin Size
    EXPECT_EQ(VOKTagKinds::MakeTag(7, 118), nullptr);   // an In Service slot
    EXPECT_EQ(VOKTagKinds::MakeTag(21, 0), nullptr);    // no kind
    // No kind and a slot of no kind: both say -1, and that is no match either.
    EXPECT_EQ(VOKTagKinds::MakeTag(-1, -1), nullptr);
    EXPECT_EQ(VOKTagKinds::MakeTag(-1, 190), nullptr);
}

TEST(VOKTagKinds, AGroupOwnsTheTagItTakesAndARefusedTagIsDestroyed) {
    EventLogCapture log;
    VOKTagGroup group;
    group.SetName("Bin Sizes");
    VOKTag* first = VOKTagKinds::AddTo(group, VOKTagKinds::MakeTag(2, 2));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetGroup(), &group);
    EXPECT_EQ(group.GetTagCount(), 1);

    // A second tag of the same name is refused and must not be left behind.
    std::unique_ptr<VOKTag> twin = VOKTagKinds::MakeTag(2, 2);
    const VOKTag* address = twin.get();
    EXPECT_EQ(VOKTagKinds::AddTo(group, std::move(twin)), nullptr);
    EXPECT_FALSE(OPCS_Tag::IsValidTag(address));
    EXPECT_EQ(group.GetTagCount(), 1);
    EXPECT_EQ(VOKTagKinds::AddTo(group, nullptr), nullptr);
    EXPECT_TRUE(OPCS_Tag::IsValidTag(first));
}
