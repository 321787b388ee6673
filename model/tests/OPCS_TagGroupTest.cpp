#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include "TagTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

VOKTag* NewTag(const std::string& name, std::int32_t kind = VOKTag::kNoKind) {
    auto* tag = new VOKTag;
    tag->SetName(name);
    tag->SetKind(kind);
    return tag;
}

// D1 with the group "Bin Sizes" holding "Bin Size 01", and a device-level tag.
struct Tree : public ::testing::Test {
    void SetUp() override {
        device.SetName("D1");
        bins = new VOKTagGroup;
        bins->SetName("Bin Sizes");
        ASSERT_TRUE(device.AddGroup(bins));
        bin = NewTag("Bin Size 01", 2);
        ASSERT_TRUE(bins->AddTag(bin));
        version = NewTag("Software Version", 0);
        ASSERT_TRUE(device.AddTag(version));
        device.SetConfigurationChanged(false);
    }
    CountingHost host;
    TestDevice device;
    VOKTagGroup* bins = nullptr;
    VOKTag* bin = nullptr;
    VOKTag* version = nullptr;
};

TEST_F(Tree, ItemIdsJoinTheGroupPathAndTheTagName) {
    EXPECT_EQ(bin->GetItemID(), "D1.Bin Sizes.Bin Size 01");
    EXPECT_EQ(version->GetItemID(), "D1.Software Version");
    EXPECT_EQ(bins->GetPath(), "D1.Bin Sizes.");
    VOKTag loose;
    loose.SetName("Alone");
    EXPECT_EQ(loose.GetItemID(), ".Alone");
    EXPECT_EQ(bins->GetDevice(), &device);
}

TEST_F(Tree, FindTagFollowsThePathIgnoringCase) {
    EXPECT_EQ(device.FindTag("Bin Sizes.bin size 01"), bin);
    EXPECT_EQ(device.FindTag("BIN SIZES.Bin Size 01"), bin);
    EXPECT_EQ(device.FindTag("software version"), version);
    EXPECT_EQ(device.FindTag("Bin Size 01"), nullptr) << "tags are looked for only where the path ends";
    EXPECT_EQ(device.FindTag("Bin Sizes.Nothing"), nullptr);
    EXPECT_EQ(device.FindTag("No Group.Bin Size 01"), nullptr);
    EXPECT_EQ(device.FindTag(""), nullptr);
}

TEST_F(Tree, NamesStayUniqueIgnoringCase) {
    VOKTag* clash = NewTag("bin size 01");
    EXPECT_FALSE(bins->AddTag(clash));
    EXPECT_TRUE(device.AddTag(clash)) << "the same name in another group is fine";

    VOKTag* second = NewTag("Bin Size 02");
    ASSERT_TRUE(bins->AddTag(second));
    second->SetName("BIN SIZE 01");
    EXPECT_EQ(second->GetName(), "Bin Size 02") << "a sibling's name in another case is refused";
    bin->SetName("BIN SIZE 01");
    EXPECT_EQ(bin->GetName(), "Bin Size 01") << "so is the tag's own name in another case";
    second->SetName("Size.Two");
    EXPECT_EQ(second->GetName(), "Size Two") << "the delimiter becomes a space";
    EXPECT_EQ(bins->FindTag("Size Two"), second);
    // The clash is judged on the name as it would be stored.
    VOKTag* third = NewTag("Third");
    ASSERT_TRUE(bins->AddTag(third));
    third->SetName("size.two");
    EXPECT_EQ(third->GetName(), "Third");

    auto* other = new VOKTagGroup;
    other->SetName("bin sizes");
    EXPECT_FALSE(device.AddGroup(other));
    other->SetName("Analog Data");
    ASSERT_TRUE(device.AddGroup(other));
    other->SetName("BIN SIZES");
    EXPECT_EQ(other->GetName(), "Analog Data");
    other->SetName("Analog.Data");
    EXPECT_EQ(other->GetName(), "Analog Data");
    EXPECT_TRUE(device.IsConfigurationChanged());
}

TEST_F(Tree, UniqueNameProposalsStartAtOne) {
    auto* group = new VOKTagGroup;
    group->SetName("Extra");
    ASSERT_TRUE(device.AddGroup(group));
    EXPECT_EQ(group->MakeUniqueTagName("Tag"), "Tag1");
    group->AddTag(NewTag("Tag1"));
    group->AddTag(NewTag("tag2"));
    EXPECT_EQ(group->MakeUniqueTagName("Tag"), "Tag3");
    EXPECT_EQ(device.MakeUniqueGroupName("Group"), "Group1");
}

TEST_F(Tree, ReferencedAndUndeletableTagsStayPut) {
    bin->AddReference();
    EXPECT_FALSE(bins->RemoveTag(bin));
    EXPECT_EQ(bins->FindTag("Bin Size 01"), bin);
    bin->ReleaseReference();
    EXPECT_FALSE(device.CanDelete()) << "a counter group in the tree refuses deletion";

    version->SetUndeletable(true);
    EXPECT_FALSE(device.RemoveTag(version));
    version->SetUndeletable(false);
    EXPECT_TRUE(device.RemoveTag(version));
    EXPECT_EQ(version->GetGroup(), nullptr);
    EXPECT_TRUE(device.IsConfigurationChanged());
    delete version;

    EXPECT_TRUE(device.RemoveGroup(bins));
    EXPECT_EQ(bins->GetParent(), nullptr);
    EXPECT_EQ(bin->GetItemID(), "Bin Sizes.Bin Size 01");
    delete bins;
    EXPECT_FALSE(OPCS_Tag::IsValidTag(bin)) << "a group destroys its tags";
}

TEST_F(Tree, AnUnknownGroupKindIsInferredFromItsFirstDecidingTag) {
    auto* group = new VOKTagGroup;
    group->SetName("Counts");
    device.AddGroup(group);
    EXPECT_EQ(group->GetKind(), VOKTagGroup::Unknown);
    group->AddTag(NewTag("odd one", 9));
    group->AddTag(NewTag("Cumulative Raw Count Bin 01", 3));
    group->AddTag(NewTag("Bin Size 01", 2));
    EXPECT_EQ(group->GetKind(), VOKTagGroup::CumulativeRaw);
    EXPECT_EQ(group->GetKind(), VOKTagGroup::CumulativeRaw) << "and keeps it";
    EXPECT_FALSE(group->CanDelete());
}

TEST_F(Tree, ChangesMarkTheDocumentAndUnchangedSettersDoNot) {
    const int before = host.modified;
    bin->SetDescription(bin->GetDescription());
    bin->SetCanonicalType(bin->GetCanonicalType());
    EXPECT_EQ(host.modified, before);
    bin->SetDescription("Microns");
    EXPECT_EQ(host.modified, before + 1);
    // A volatile tag's value is not configuration; a non-volatile one's is.
    bin->SetCanonicalType(VT_R8);
    const int afterType = host.modified;
    bin->SetValueGood(R8(0.3));
    EXPECT_EQ(host.modified, afterType);
    bin->SetVolatile(false);
    const int afterVolatile = host.modified;
    bin->SetValueGood(R8(0.5));
    EXPECT_EQ(host.modified, afterVolatile + 1);
}

TEST(TagConcurrency, ValuesRenamesTextsAndListCopiesRunTogether) {
    CountingHost host;
    TestDevice device;
    device.SetName("D");
    auto* group = new VOKTagGroup;
    group->SetName("G");
    device.AddGroup(group);
    std::vector<VOKTag*> tags;
    for (int i = 0; i < 8; ++i) {
        VOKTag* tag = NewTag("T" + std::to_string(i));
        tag->SetCanonicalType(VT_R8);
        ASSERT_TRUE(group->AddTag(tag));
        tags.push_back(tag);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> texts{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the poll thread
        for (int n = 0; !stop; ++n)
            for (auto* tag : tags) tag->SetValueGood(R8(n));
    });
    threads.emplace_back([&] {  // the operator renaming
        for (int n = 0; !stop; ++n) tags[static_cast<std::size_t>(n % 8)]->SetName("R" + std::to_string(n % 16));
    });
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {  // views and OPC threads reading
            while (!stop) {
                Dll<OPCS_Tag*> copy;
                group->CopyTags(copy);
                for (int i = 0; i < copy.GetCount(); ++i) {
                    OPCS_Tag* tag = copy.GetAt(i);
                    if (!OPCS_Tag::IsValidTag(tag)) continue;
                    texts += !tag->GetValueText().empty();
                    texts += !tag->GetItemID().empty();
                    tag->GetTimestampText();
                    tag->GetQualityText();
                }
                device.FindTag("G.R1");
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(texts.load(), 0);
    // Whatever the interleaving, names in the group stayed unique.
    Dll<OPCS_Tag*> copy;
    group->CopyTags(copy);
    for (int i = 0; i < copy.GetCount(); ++i)
        for (int j = i + 1; j < copy.GetCount(); ++j)
            EXPECT_NE(copy.GetAt(i)->GetName(), copy.GetAt(j)->GetName());
}

}  // namespace
