// The counter device without a counter: its tag tree, names, the conversion
// of data into tag values, client writes and the bin-driven tag set.
#include "DeviceTestSupport.h"

#include "TagTestSupport.h"
#include "model/VOKTagGroup.h"

#include <algorithm>

namespace {

Dll<VOK_DataRec> Records(std::initializer_list<VOK_DataRec> records) {
    Dll<VOK_DataRec> out;
    for (const auto& r : records) out.AddTail(r);
    return out;
}

double Slot(const VOKDevice& d, std::int32_t slot) { return TagDouble(d.GetSlotTag(slot)); }

class VOKDeviceData : public ::testing::Test {
protected:
    void SetUp() override {
        device = VOKDevice::Create(false);
        device->SetSampleInterval(60, false);
    }
    EventLogCapture log;
    ScriptedUiServices ui;
    std::unique_ptr<VOKDevice> device;
};

}  // namespace

TEST(VOKDeviceTree, DefaultNameIsModelPortAndAddressThenNumbered) {
    auto first = VOKDevice::Create(false);
    first->SetPort(3);
    first->SetAddress(133);
    EXPECT_EQ(first->GetDefaultName(), "4400 VOK 3-05");
    first->SetName(first->GetDefaultName());
    auto second = VOKDevice::Create(false);
    second->SetPort(3);
    second->SetAddress(133);
    EXPECT_EQ(second->GetDefaultName(), "4400 VOK 3-05 v2");
}

TEST(VOKDeviceTree, ANewDeviceHasFourBinsAndTheFixedTags) {
    auto device = VOKDevice::Create(false);
    for (std::int32_t kind = 0; kind < 5; ++kind) {
        VOKTagGroup* group = device->GetKindGroup(kind);
        ASSERT_NE(group, nullptr) << kind;
        EXPECT_EQ(group->GetTagCount(), 4) << group->GetName();
    }
    EXPECT_NE(device->FindTag("Bin Sizes.Bin Size 04"), nullptr);
    EXPECT_EQ(device->FindTag("Bin Sizes.Bin Size 05"), nullptr);
    EXPECT_NE(device->FindTag("Differential Normalized Bin Counts.Differential Normalized Count Bin 01"), nullptr);
    EXPECT_NE(device->FindTag("Analog Data.Analog Input 8 - In Service"), nullptr);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotNumBins), 4);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotBinSize + 2), 10);
    EXPECT_EQ(TagText(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)), "Unavailable");
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotFlowLevel), 100);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCounterInService), -1);
    VOKTag* analog = device->GetSlotTag(VOKDevice::kSlotAnalogInput);
    EXPECT_EQ(analog->GetName(), "Analog Input 1");
    EXPECT_DOUBLE_EQ(analog->GetGain(), 0.004);
    EXPECT_EQ(analog->GetEUMax(), 20);
    VOKTag* raw = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw);
    EXPECT_EQ(raw->GetSimulationSteps(), 200u);
    EXPECT_EQ(raw->GetEUMax(), 999999);
    EXPECT_TRUE(raw->IsVolatile());
    EXPECT_FALSE(device->GetSlotTag(VOKDevice::kSlotCounterInService)->CanDelete());
    // The device's own tags and groups cannot be removed.
    EXPECT_FALSE(device->RemoveTag(device->GetSlotTag(VOKDevice::kSlotTotalRaw)));
    EXPECT_FALSE(device->RemoveGroup(device->GetKindGroup(0)));
}

TEST(VOKDeviceTree, AnOperatorTagWithoutKindTakesNoSlot) {
    for (bool ownFirst : {true, false}) {
        auto device = VOKDevice::Create(true);
        auto* own = new VOKTag;  // kind 21, slot 0
        own->SetName("Operator Note");
        own->SetCanonicalType(VT_R8);
        if (ownFirst) {
            ASSERT_TRUE(device->AddTag(own));
        }
        device->BuildTagTree();
        if (!ownFirst) {
            ASSERT_TRUE(device->AddTag(own));
        }
        device->RebuildTagList();
        ASSERT_NE(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion), nullptr);
        EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)->GetName(), "Software Version");
        device->Data().SetVersionTag();
        EXPECT_EQ(TagType(own), VT_EMPTY) << ownFirst;  // the firmware text did not land here
        EXPECT_NE(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw), nullptr);
    }
}

TEST_F(VOKDeviceData, CumulativeCountsGiveDifferentialsTotalsAndNormalizedValues) {
    device->Data().ProcessCounterData(0x20, Records({{"2  ", 1000}, {"5  ", 400}, {"10 ", 100}, {"15 ", 10}}));
    const double expected[] = {600, 300, 90, 10};
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(Slot(*device, VOKDevice::kSlotDifferentialRaw + j), expected[j]) << j;
        EXPECT_DOUBLE_EQ(Slot(*device, VOKDevice::kSlotDifferentialNormalized + j), expected[j] / 100) << j;
    }
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotTotalRaw), 1000);
    EXPECT_DOUBLE_EQ(Slot(*device, VOKDevice::kSlotTotalNormalized), 10);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotTotalRaw)->GetQuality(), kQualityGood);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCounterAlarm), 0);
}

TEST_F(VOKDeviceData, NormalizationUsesFlowAndIntervalAndFlowZeroLeavesRawCounts) {
    EXPECT_DOUBLE_EQ(device->Data().Normalize(2500), 25);
    device->SetFlow(0);
    EXPECT_DOUBLE_EQ(device->Data().Normalize(2500), 2500);
}

TEST_F(VOKDeviceData, StatusByteSetsTheAlarmTags) {
    Dll<VOK_DataRec> none;
    device->Data().ProcessCounterData(0x04, none);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCounterAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCountAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotAnalogAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotConcentrationAlarm), 0);
    device->Data().ProcessCounterData(0x10, none);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCounterAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCountAlarm), 0);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotAnalogAlarm), -1);
    device->Data().ProcessCounterData(0x0B, none);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCalibrationAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCommAlarm), -1);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotConcentrationAlarm), -1);
}

TEST_F(VOKDeviceData, AnAnalogInputOutOfServiceKeepsItsValueWithQualityOutOfService) {
    auto records = Records({{"AN3", 2500}});
    device->Data().ProcessCounterData(0x20, records);
    VOKTag* analog = device->GetSlotTag(VOKDevice::kSlotAnalogInput + 3);
    EXPECT_DOUBLE_EQ(TagDouble(analog), 10);  // 2500 mV at 0.004 per mV
    ASSERT_TRUE(device->EnableAnalogInput(3, false));
    device->GetSlotTag(VOKDevice::kSlotAnalogInput + 3)->SetValueGood(R8(5000));
    auto later = Records({{"AN3", 1000}, {"AN9", 1}, {"AN-1", 1}});
    device->Data().ProcessCounterData(0x20, later);
    EXPECT_EQ(analog->GetQuality(), kQualityOutOfService);
    EXPECT_DOUBLE_EQ(TagDouble(analog), 20);
}

TEST_F(VOKDeviceData, ARecordMatchingNoBinUpdatesNothing) {
    auto records = Records({{"0.3", 999}, {"???", 5}});
    device->Data().ProcessCounterData(0x20, records);
    for (int j = 0; j < 4; ++j)
        EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + j)->GetQuality(), kQualityBad) << j;
}

// The flat list the poll loop and the clients walk follows the bin tags:
// new ones join it, removed ones leave it, and new sizes alone change no tag.
TEST_F(VOKDeviceData, TheFlatTagListFollowsTheBinsAsTheyGrowKeepTheirNumberAndShrink) {
    auto listed = [&] {
        Dll<OPCS_Tag*> tags;
        device->CopyTagList(tags);
        return tags;
    };
    auto lists = [&](const char* id) {
        const OPCS_Tag* tag = device->FindTag(id);
        const Dll<OPCS_Tag*> tags = listed();
        return tag != nullptr && std::find(tags.begin(), tags.end(), tag) != tags.end();
    };
    const int four = listed().GetCount();
    device->SetBinSizes(Bins({1, 2, 3, 4, 5, 6}), false);
    EXPECT_EQ(listed().GetCount(), four + 2 * 5);
    EXPECT_TRUE(lists("Bin Sizes.Bin Size 06"));
    EXPECT_TRUE(lists("Differential Normalized Bin Counts.Differential Normalized Count Bin 06"));

    const OPCS_Tag* sixth = device->FindTag("Bin Sizes.Bin Size 06");
    device->SetBinSizes(Bins({2, 3, 4, 5, 6, 7}), false);
    EXPECT_EQ(listed().GetCount(), four + 2 * 5);
    EXPECT_EQ(device->FindTag("Bin Sizes.Bin Size 06"), sixth);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotBinSize + 5), 7);

    device->SetBinSizes(Bins({2, 3}), false);
    EXPECT_EQ(listed().GetCount(), four - 2 * 5);
    EXPECT_FALSE(lists("Bin Sizes.Bin Size 03"));
    for (OPCS_Tag* tag : listed()) EXPECT_TRUE(OPCS_Tag::IsValidTag(tag));
}

TEST_F(VOKDeviceData, WithAllThirtyTwoBinsTheLastDifferentialIsItsCumulativeCount) {
    Dll<double> bins;
    Dll<VOK_DataRec> records;
    for (int j = 0; j < 32; ++j) {
        bins.AddTail(j + 1);
        records.AddTail({std::to_string(j + 1), 10000.0 - j * 100});
    }
    device->SetBinSizes(bins, false);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotNumBins), 32);
    device->Data().ProcessCounterData(0x20, records);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotDifferentialRaw + 31), 10000 - 3100);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotDifferentialRaw + 30), 100);
    // More bins than a counter has are refused.
    bins.AddTail(40);
    device->SetBinSizes(bins, false);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotNumBins), 32);
}

TEST_F(VOKDeviceData, WildCountsAreHeldInsideTheIntegerRange) {
    auto records = Records({{"2  ", 1e12}, {"5  ", -1e12}});
    device->Data().ProcessCounterData(0x20, records);
    // The tags' limits (0 to 999999) then clamp what the clients see.
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCumulativeRaw), 999999);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCumulativeRaw + 1), 0);
}

TEST_F(VOKDeviceData, SampleIntervalIsHeldInRangeAndAClientWriteSetsBothIntervals) {
    device->SetSimulation(true);
    EXPECT_TRUE(device->SetSampleInterval(0, true));
    EXPECT_EQ(device->GetSampleInterval(), 1u);
    EXPECT_TRUE(device->SetSampleInterval(5000, true));
    EXPECT_EQ(device->GetSampleInterval(), 3599u);
    VOKTag* interval = device->GetSlotTag(VOKDevice::kSlotSampleInterval);
    EXPECT_TRUE(device->WriteTag(interval, I4(60)));
    EXPECT_EQ(device->GetSampleInterval(), 60u);
    EXPECT_EQ(device->GetUpdateInterval(), 60u);
    EXPECT_EQ(TagDouble(interval), 60);
    EXPECT_GE(ui.CountTimerPosts(PostTarget::TagList, kTimerTagRows), 1u);
    EXPECT_TRUE(device->WriteTag(interval, R8(-5)));
    EXPECT_EQ(device->GetSampleInterval(), 1u);
    EXPECT_FALSE(device->WriteTag(device->GetSlotTag(VOKDevice::kSlotTotalRaw), I4(5)));
    EXPECT_TRUE(device->WriteTag(device->GetSlotTag(VOKDevice::kSlotCounterInService), I4(0)));
    EXPECT_FALSE(device->IsInService());
    EXPECT_TRUE(device->WriteTag(device->GetSlotTag(VOKDevice::kSlotAnalogInService + 2), I4(0)));
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotAnalogInput + 2)->GetQuality(), kQualityOutOfService);
}

TEST_F(VOKDeviceData, ShrinkingTheBinsRetiresAReferencedTagWithoutDestroyingIt) {
    VOKTag* held = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + 3);
    VOKTag* free = device->GetSlotTag(VOKDevice::kSlotBinSize + 3);
    held->AddReference();  // an OPC item on Cumulative Raw Count Bin 04
    device->SetBinSizes(Bins({2, 5, 10}), false);
    EXPECT_TRUE(OPCS_Tag::IsValidTag(held));
    EXPECT_FALSE(OPCS_Tag::IsValidTag(free));
    EXPECT_EQ(held->GetGroup(), nullptr);
    EXPECT_EQ(held->GetQuality(), kQualityConfigError);
    EXPECT_EQ(device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + 3), nullptr);
    EXPECT_EQ(device->GetKindGroup(VOKTagGroup::CumulativeRaw)->GetTagCount(), 3);
    EXPECT_EQ(device->Data().RetiredTagCount(), 1u);
    // The bin comes back with a tag of its own.
    device->SetBinSizes(Bins({2, 5, 10, 20}), false);
    VOKTag* fresh = device->GetSlotTag(VOKDevice::kSlotCumulativeRaw + 3);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, held);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotBinSize + 3), 20);
    held->ReleaseReference();
    device->RebuildTagList();
    EXPECT_FALSE(OPCS_Tag::IsValidTag(held));
    EXPECT_EQ(device->Data().RetiredTagCount(), 0u);
}

TEST_F(VOKDeviceData, ConcurrencyShrinkingBinsWhilePollingKeepsReferencesBalanced) {
    device->SetSimulation(true);
    device->SetSampleInterval(1, false);
    VOKTag* held = device->GetSlotTag(VOKDevice::kSlotDifferentialRaw + 2);
    held->AddReference();
    device->RequestPolling(OPCS_Device::kClient);
    ASSERT_TRUE(WaitFor([&] { return TagText(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)) == "Simulation"; },
                        3000));
    for (int round = 0; round < 10; ++round) {
        device->SetBinSizes(Bins({2, 5}), true);
        device->ForceUpdate();
        device->SetBinSizes(Bins({2, 5, 10, 15}), true);
        device->ForceUpdate();
    }
    device->SetBinSizes(Bins({2, 5}), true);
    EXPECT_TRUE(OPCS_Tag::IsValidTag(held));
    EXPECT_EQ(held->GetReferenceCount(), 1);
    device->ReleasePolling(OPCS_Device::kClient);
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kPollingStopped; }, 3000));
    Dll<OPCS_Tag*> tags;
    device->CopyTagList(tags);
    for (OPCS_Tag* tag : tags) EXPECT_EQ(tag->GetReferenceCount(), 0) << tag->GetName();
    EXPECT_EQ(device->Data().RetiredTagCount(), 1u);
    held->ReleaseReference();
    device->RebuildTagList();
    EXPECT_EQ(device->Data().RetiredTagCount(), 0u);
}

TEST_F(VOKDeviceData, SimulatedDataRampsTheCountsAndClearsTheAlarms) {
    device->SetSimulation(true);
    device->Data().SimulateCounterData();
    device->Data().SimulateCounterData();
    EXPECT_EQ(TagText(device->GetSlotTag(VOKDevice::kSlotSoftwareVersion)), "Simulation");
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotCountAlarm), 0);
    const double raw = Slot(*device, VOKDevice::kSlotCumulativeRaw);
    EXPECT_GT(raw, 0);
    EXPECT_DOUBLE_EQ(Slot(*device, VOKDevice::kSlotCumulativeNormalized), raw / 100);
    EXPECT_EQ(Slot(*device, VOKDevice::kSlotTotalRaw), raw);
}
