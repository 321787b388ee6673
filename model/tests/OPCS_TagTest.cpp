#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include "TagTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// An analog input as the counter device configures it: counts 0..5000 give 0..20.
struct AnalogTag : public ::testing::Test {
    void SetUp() override {
        tag = new VOKTag;
        tag->SetName("Analog Input 1");
        tag->SetCanonicalType(VT_R8);
        tag->SetAccessRights(1);
        tag->SetEULimitsEnabled(true);
        tag->SetEULimits(0, 20);
        tag->SetRawLimitsEnabled(true);
        tag->SetRawLimits(0, 5000);
        tag->SetScalingEnabled(true);
        tag->SetScaling(0, 0.004);
        ASSERT_TRUE(device.AddTag(tag));
    }
    CountingHost host;
    TestDevice device;
    VOKTag* tag = nullptr;
};

TEST_F(AnalogTag, RawValuesAreClampedThenScaled) {
    VARIANT raw = I4(7000);
    ASSERT_TRUE(tag->SetValueGood(raw));
    EXPECT_DOUBLE_EQ(AsDouble(*tag), 20.0);
    VARIANT delivered;
    tag->GetDeviceValue(delivered);
    EXPECT_EQ(delivered.vt, VT_I4);
    EXPECT_EQ(delivered.lVal, 7000) << "the device value is kept as delivered";
    raw = I4(2500);
    tag->SetValueGood(raw);
    EXPECT_DOUBLE_EQ(AsDouble(*tag), 10.0);
    raw = I4(-10);
    tag->SetValueGood(raw);
    EXPECT_DOUBLE_EQ(AsDouble(*tag), 0.0);
}

TEST_F(AnalogTag, ClientWritesAreUnscaledOnTheirWayToTheDevice) {
    VARIANT twenty = R8(20);
    ASSERT_TRUE(tag->WriteFromClient(twenty));
    ASSERT_EQ(device.written.vt, VT_R8);
    EXPECT_DOUBLE_EQ(device.written.dblVal, 5000);
    EXPECT_DOUBLE_EQ(AsDouble(*tag), 20) << "the written value becomes the tag's value";

    tag->SetScaling(2, 0.5);
    tag->SetEULimits(0, 100);
    tag->SetRawLimits(0, 1000);
    VARIANT twelve = R8(12);
    ASSERT_TRUE(tag->WriteFromClient(twelve));
    EXPECT_DOUBLE_EQ(device.written.dblVal, 20);

    // Beyond the EU limits a write is clamped before it is unscaled.
    VARIANT big = R8(1e6);
    ASSERT_TRUE(tag->WriteFromClient(big));
    EXPECT_DOUBLE_EQ(device.written.dblVal, (100 - 2) / 0.5);
}

TEST_F(AnalogTag, WritesAreRefusedForZeroGainReadOnlyTagsAndUnconvertibleValues) {
    tag->SetScaling(0, 0);
    const int before = device.writes;
    EXPECT_FALSE(tag->WriteFromClient(R8(5))) << "a gain of 0 cannot be inverted";
    EXPECT_EQ(device.writes, before);

    tag->SetScaling(0, 0.004);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("not a number");
    EXPECT_FALSE(tag->WriteFromClient(text));
    VariantClear(&text);

    tag->SetAccessRights(0);
    EXPECT_FALSE(tag->WriteFromClient(R8(5)));
    EXPECT_EQ(device.writes, before);

    device.acceptWrites = false;
    tag->SetAccessRights(1);
    ASSERT_TRUE(tag->SetValueGood(I4(1000)));
    EXPECT_FALSE(tag->WriteFromClient(R8(5)));
    EXPECT_DOUBLE_EQ(AsDouble(*tag), 4.0) << "a write the device refused leaves the value alone";

    VOKTag loose;
    loose.SetAccessRights(1);
    EXPECT_FALSE(loose.WriteFromClient(R8(1))) << "a tag outside any group cannot be written";
}

TEST_F(AnalogTag, LimitSettersFollowTheirEnabledFlagsAndMarkOnlyRealChanges) {
    const int before = host.modified;
    tag->SetEULimits(0, 20);
    EXPECT_EQ(host.modified, before) << "an unchanged pair marks nothing";
    tag->SetEULimits(5, 1);
    EXPECT_DOUBLE_EQ(tag->GetEUMin(), 0);
    EXPECT_DOUBLE_EQ(tag->GetEUMax(), 20);
    EXPECT_EQ(host.modified, before);

    tag->SetEULimitsEnabled(false);
    tag->SetEULimits(1, 5);
    EXPECT_FALSE(tag->IsEULimitsActive());
    EXPECT_DOUBLE_EQ(tag->GetEUMax(), 20) << "nothing stored while not enabled";

    EXPECT_FALSE(tag->SetDeadBand(101));
    EXPECT_FALSE(tag->SetDeadBand(-1));
    EXPECT_TRUE(tag->SetDeadBand(12.5));
    EXPECT_DOUBLE_EQ(tag->GetDeadBand(), 12.5);
}

TEST_F(AnalogTag, ClearingALimitOrTheScalingSwitchesOnlyItOffAndMarksTheChangeOnce) {
    const int before = host.modified;
    tag->ClearEULimits();
    EXPECT_FALSE(tag->IsEULimitsActive());
    EXPECT_TRUE(tag->IsRawLimitsActive()) << "the raw limits stay";
    EXPECT_TRUE(tag->IsScalingActive());
    EXPECT_DOUBLE_EQ(tag->GetEUMax(), 20) << "the stored pair is kept for the next time";
    EXPECT_EQ(host.modified, before + 1);
    tag->ClearEULimits();
    EXPECT_EQ(host.modified, before + 1) << "already off: nothing changed";
    tag->ClearRawLimits();
    tag->ClearScaling();
    EXPECT_FALSE(tag->IsRawLimitsActive());
    EXPECT_FALSE(tag->IsScalingActive());
    EXPECT_EQ(host.modified, before + 3);
}

TEST(TagValues, UnconvertibleValuesAreRefusedAndTextsFollowTypeAndQuality) {
    VOKTag tag;
    tag.SetCanonicalType(VT_I4);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("abc");
    EXPECT_FALSE(tag.SetValueGood(text));
    VariantClear(&text);

    tag.SetCanonicalType(VT_R8);
    ASSERT_TRUE(tag.SetValueGood(R8(2.5)));
    EXPECT_EQ(tag.GetValueText(), "2.5 ") << "doubles carry a trailing space";
    EXPECT_FALSE(tag.IsChanged()) << "taking the text clears the changed flag";
    EXPECT_NE(tag.GetTimestampText(), "----------");

    tag.SetQuality(0xC1);
    EXPECT_EQ(tag.GetValueText(), "?") << "only exactly 0xC0 shows the value";
    EXPECT_EQ(tag.GetTimestampText(), "----------");

    struct Case {
        VARTYPE type;
        double value;
        const char* text;
    };
    for (const Case& c : {Case{VT_I2, -7, "-7"}, Case{VT_I4, 123456, "123456"}, Case{VT_R4, 0.5, "0.5"},
                          Case{VT_BOOL, 1, "1"}, Case{VT_BOOL, 0, "0"}, Case{VT_UI1, 200, "200"},
                          Case{VT_UI2, 65535, "65535"}, Case{VT_UI4, 4000000000.0, "4000000000"},
                          Case{VT_BSTR, 12, "12"}}) {
        tag.SetCanonicalType(c.type);
        ASSERT_TRUE(tag.SetValueGood(R8(c.value))) << c.type;
        EXPECT_EQ(tag.GetValueText(), c.text) << c.type;
    }
    tag.SetCanonicalType(VT_DATE);
    tag.SetValueGood(R8(40000));
    EXPECT_EQ(tag.GetValueText(), "?") << "dates have no value text";

    tag.SetCanonicalType(VT_I4);
    tag.SetBad();
    EXPECT_EQ(tag.GetQuality(), 0x00);
    EXPECT_EQ(tag.GetValueText(), "?");
}

TEST(TagValues, QualityTextsJoinMajorAndSubStatus) {
    VOKTag tag;
    struct Case {
        WORD quality;
        const char* text;
    };
    for (const Case& c : {Case{0xC0, "Good"}, Case{0x80, "Good"}, Case{0x40, "Uncertain"},
                          Case{0x44, "Uncertain (Last Known Value)"}, Case{0x54, "Uncertain (Engineering units exceeded)"},
                          Case{0x00, "Bad"}, Case{0x18, "Bad (Comm Failure)"}, Case{0x1C, "Bad (Out Of Service)"},
                          Case{0x14, "Bad (Last Known Value)"}, Case{0x04, "Bad (Config Error)"}}) {
        tag.SetQuality(c.quality);
        EXPECT_EQ(tag.GetQualityText(), c.text) << std::hex << c.quality;
    }
}

std::vector<double> Simulate(OPCS_Tag& tag, int steps) {
    std::vector<double> seen;
    for (int i = 0; i < steps; ++i) {
        tag.SimulateStep();
        seen.push_back(AsDouble(tag));
    }
    return seen;
}

TEST(TagSimulation, RampRunsFromMinToMaxAndStartsAgain) {
    VOKTag tag;
    tag.SetCanonicalType(VT_I4);
    tag.SetEULimitsEnabled(true);
    tag.SetEULimits(0, 10);
    tag.SetSimulationEnabled(true);
    tag.SetSimulationType(SimulationType::Ramp);
    ASSERT_TRUE(tag.SetSimulationSteps(10));
    EXPECT_EQ(Simulate(tag, 12), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}));
    EXPECT_EQ(tag.GetQuality(), kQualityGood);
    EXPECT_FALSE(tag.SetSimulationSteps(0)) << "a period of no steps is refused";
}

TEST(TagSimulation, SineCoversHalfAPeriodAndRandomStaysInRange) {
    VOKTag tag;
    tag.SetCanonicalType(VT_R8);
    tag.SetEULimitsEnabled(true);
    tag.SetEULimits(2, 12);
    tag.SetSimulationEnabled(true);
    tag.SetSimulationType(SimulationType::Sine);
    tag.SetSimulationSteps(4);
    const auto sine = Simulate(tag, 5);
    EXPECT_NEAR(sine[0], 2, 1e-9);
    EXPECT_NEAR(sine[1], 2 + 10 * std::sin(3.1415926535 / 4), 1e-9);
    EXPECT_NEAR(sine[2], 12, 1e-9);
    EXPECT_NEAR(sine[4], 2, 1e-6);

    tag.SetSimulationType(SimulationType::Random);
    for (double v : Simulate(tag, 200)) {
        EXPECT_GE(v, 2);
        EXPECT_LE(v, 12);
    }

    // Booleans: a ramp is true on even values.
    tag.SetCanonicalType(VT_BOOL);
    tag.SetEULimits(0, 3);
    tag.SetSimulationType(SimulationType::Ramp);
    tag.SetSimulationSteps(3);
    EXPECT_EQ(Simulate(tag, 4), (std::vector<double>{-1, 0, -1, 0}));

    // Unsigned types take the absolute sine.
    tag.SetCanonicalType(VT_UI1);
    tag.SetEULimits(-10, 0);
    tag.SetSimulationType(SimulationType::Sine);
    tag.SetSimulationSteps(2);
    EXPECT_EQ(Simulate(tag, 3), (std::vector<double>{10, 0, 9}));

    VOKTag off;
    off.SetCanonicalType(VT_R8);
    off.SimulateStep();
    EXPECT_NE(off.GetQuality(), kQualityGood) << "simulation not enabled: nothing happens";
}

TEST(TagSimulation, ASimulatedValueBypassesLimitsAndScaling) {
    VOKTag tag;
    tag.SetCanonicalType(VT_R8);
    tag.SetEULimitsEnabled(true);
    tag.SetEULimits(0, 100);
    tag.SetScalingEnabled(true);
    tag.SetScaling(1000, 10);
    tag.SetSimulationEnabled(true);
    tag.SetSimulationType(SimulationType::Ramp);
    tag.SetSimulationSteps(2);
    EXPECT_EQ(Simulate(tag, 3), (std::vector<double>{0, 50, 100}));
}

TEST(TagReferences, CountNeverGoesBelowZeroAndGuardsDeletion) {
    VOKTag tag;
    EXPECT_TRUE(tag.CanDelete());
    tag.AddReference();
    EXPECT_FALSE(tag.CanDelete());
    tag.ReleaseReference();
    tag.ReleaseReference();
    EXPECT_EQ(tag.GetReferenceCount(), 0);
    tag.SetUndeletable(true);
    EXPECT_FALSE(tag.CanDelete());
}

TEST(TagLiveness, ADestroyedTagIsNoLongerValid) {
    auto* tag = new VOKTag;
    EXPECT_TRUE(OPCS_Tag::IsValidTag(tag));
    EXPECT_TRUE(VOKTag::IsValidVOKTag(tag));
    const OPCS_Tag* gone = tag;
    delete tag;
    EXPECT_FALSE(OPCS_Tag::IsValidTag(gone));
    EXPECT_FALSE(OPCS_Tag::IsValidTag(nullptr));
    int notATag = 0;
    EXPECT_FALSE(OPCS_Tag::IsValidTag(reinterpret_cast<const OPCS_Tag*>(&notATag)));
}

}  // namespace
