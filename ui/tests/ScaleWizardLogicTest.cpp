// The scaling wizard's arithmetic and sample rules, and which controls of the
// two tag pages the operator may use, without a window.
#include "ui/ScaleWizardLogic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using scalewizard::SampleCollector;
using Tick = SampleCollector::Tick;

constexpr std::uint16_t kGood = 0xC0;

TEST(ScaleWizardLogic, GainAndOffsetRunThroughBothMeasuredPoints) {
    const auto scaling = scalewizard::ComputeScaling(100, 0, 4100, 20);
    ASSERT_TRUE(scaling);
    EXPECT_DOUBLE_EQ(scaling->gain, 0.005);
    EXPECT_DOUBLE_EQ(scaling->offset, -0.5);

    // Any two points: both land on the line; a falling signal gets a negative gain.
    const auto falling = scalewizard::ComputeScaling(812.5, 4, 203.25, 20);
    ASSERT_TRUE(falling);
    EXPECT_LT(falling->gain, 0);
    EXPECT_NEAR(812.5 * falling->gain + falling->offset, 4, 1e-12);
    EXPECT_NEAR(203.25 * falling->gain + falling->offset, 20, 1e-12);
}

TEST(ScaleWizardLogic, EqualCountsOrAnInfiniteGainAreRefused) {
    EXPECT_FALSE(scalewizard::ComputeScaling(2048, 0, 2048, 20)) << "no line through two points at one count";
    EXPECT_FALSE(scalewizard::ComputeScaling(2048, 4, 2048, 4));
    EXPECT_FALSE(scalewizard::ComputeScaling(0, -1e308, 1e-300, 1e308)) << "a gain beyond any double";
    EXPECT_TRUE(scalewizard::ComputeScaling(0, 5, 1, 5)) << "a flat line is a line";
}

TEST(ScaleWizardLogic, CollectorTakesOnlyNewGoodPollResults) {
    SampleCollector collector(3);
    EXPECT_EQ(collector.Offer(0x00, 10, 1.0), Tick::Waiting) << "bad quality";
    EXPECT_EQ(collector.Offer(0x40, 11, 1.0), Tick::Waiting) << "uncertain is not good either";
    EXPECT_EQ(collector.Offer(0xC4, 11, 1.0), Tick::Waiting) << "only exactly 0xC0 counts";
    EXPECT_EQ(collector.Offer(kGood, 20, 100.0), Tick::Armed) << "the first good tick takes nothing";
    EXPECT_EQ(collector.Collected(), 0);
    EXPECT_EQ(collector.Offer(kGood, 20, 100.0), Tick::Unchanged) << "the same poll result again";
    EXPECT_EQ(collector.Offer(kGood, 30, 200.0), Tick::Taken);
    EXPECT_EQ(collector.Offer(0x18, 40, std::nullopt), Tick::Waiting) << "comm failure: the step waits";
    EXPECT_EQ(collector.Offer(kGood, 50, std::nullopt), Tick::Unreadable);
    EXPECT_EQ(collector.Collected(), 1) << "a value that is no number is not averaged in";
    EXPECT_EQ(collector.Offer(kGood, 60, std::numeric_limits<double>::quiet_NaN()), Tick::Unreadable);
    EXPECT_FALSE(collector.Average()) << "no average before all samples are in";
    EXPECT_EQ(collector.Offer(kGood, 70, 300.0), Tick::Taken);
    EXPECT_EQ(collector.Offer(kGood, 80, 600.0), Tick::Taken);
    EXPECT_TRUE(collector.IsComplete());
    EXPECT_EQ(collector.Offer(kGood, 90, 5000.0), Tick::Complete);
    EXPECT_EQ(collector.Samples(), (std::vector<double>{200, 300, 600}));
    ASSERT_TRUE(collector.Average());
    EXPECT_DOUBLE_EQ(*collector.Average(), 1100.0 / 3);
}

TEST(ScaleWizardLogic, ACollectorThatNeverSeesGoodQualityStaysIncomplete) {
    SampleCollector collector(1);
    for (std::uint64_t stamp = 1; stamp < 20; ++stamp) EXPECT_EQ(collector.Offer(0x08, stamp, 7.0), Tick::Waiting);
    EXPECT_FALSE(collector.IsComplete());
    EXPECT_EQ(collector.Offer(kGood, 30, 7.0), Tick::Armed) << "bad ticks never armed it";
    EXPECT_EQ(collector.Offer(kGood, 31, 9.0), Tick::Taken);
    EXPECT_DOUBLE_EQ(*collector.Average(), 9.0);
}

TEST(ScaleWizardLogic, SamplesToCollectIsSharedAndKeptInRange) {
    const int kept = scalewizard::SamplesToCollect();
    scalewizard::SetSamplesToCollect(scalewizard::kDefaultSamples);
    EXPECT_EQ(scalewizard::SamplesToCollect(), 5);
    scalewizard::SetSamplesToCollect(0);
    EXPECT_EQ(scalewizard::SamplesToCollect(), 1);
    scalewizard::SetSamplesToCollect(250);
    EXPECT_EQ(scalewizard::SamplesToCollect(), 100);
    scalewizard::SetSamplesToCollect(12);
    EXPECT_EQ(scalewizard::SamplesToCollect(), 12);
    EXPECT_EQ(SampleCollector(0).ToCollect(), 1) << "a step always waits for at least one sample";
    EXPECT_EQ(SampleCollector(1000).ToCollect(), 100);
    scalewizard::SetSamplesToCollect(kept);
}

TEST(ScaleWizardLogic, NumbersAreReadWholeAndShownShort) {
    EXPECT_EQ(scalewizard::ParseNumber(" 4100 "), 4100.0);
    EXPECT_EQ(scalewizard::ParseNumber("-0.5"), -0.5);
    EXPECT_EQ(scalewizard::ParseNumber("+2.5"), 2.5);
    EXPECT_EQ(scalewizard::ParseNumber("1e3"), 1000.0);
    for (const char* bad : {"", " ", "-", "2,5", "12abc", "abc", "+-5", "++5", "inf", "nan", "1e999"})
        EXPECT_FALSE(scalewizard::ParseNumber(bad)) << bad;
    EXPECT_EQ(scalewizard::FormatNumber(0.005), "0.005");
    EXPECT_EQ(scalewizard::FormatNumber(-0.5), "-0.5");
    EXPECT_EQ(scalewizard::FormatNumber(5000), "5000");
    for (double measured : {12.345678901234567, 0.1 + 0.2, 100.0 / 3, -1e-7})
        EXPECT_EQ(scalewizard::ParseNumber(scalewizard::FormatNumber(measured)), measured)
            << "a field left alone gives back exactly the number it showed: " << measured;
}

TEST(ScaleWizardLogic, PageControlsFollowTheEnabledFlagsAndTheirCheckBoxes) {
    const auto properties = scalewizard::PropertiesEnabled(true, false, false);
    EXPECT_TRUE(properties.limitCheck);
    EXPECT_FALSE(properties.limitEdits) << "limits not active: their fields wait for the check box";
    EXPECT_FALSE(properties.simulation);
    EXPECT_TRUE(scalewizard::PropertiesEnabled(true, true, true).limitEdits);
    const auto noLimits = scalewizard::PropertiesEnabled(false, true, true);
    EXPECT_FALSE(noLimits.limitCheck);
    EXPECT_FALSE(noLimits.limitEdits) << "a tag without EU limits has none to edit, checked or not";
    EXPECT_TRUE(noLimits.simulation);

    const auto all = scalewizard::ScalingEnabled(true, true, true, true, true);
    EXPECT_TRUE(all.rawEdits && all.scaleEdits && all.wizardShown && all.wizardEnabled);
    const auto rawOff = scalewizard::ScalingEnabled(true, false, true, true, true);
    EXPECT_FALSE(rawOff.rawEdits);
    EXPECT_TRUE(rawOff.scaleEdits);
    EXPECT_TRUE(rawOff.wizardShown);
    EXPECT_FALSE(rawOff.wizardEnabled) << "the wizard sets raw limits and scaling together";
    EXPECT_FALSE(scalewizard::ScalingEnabled(true, true, true, false, true).wizardEnabled);
    const auto text = scalewizard::ScalingEnabled(true, true, true, true, false);
    EXPECT_FALSE(text.wizardShown || text.wizardEnabled) << "nothing to measure on a non-numeric tag";
    const auto noScaling = scalewizard::ScalingEnabled(true, true, false, true, true);
    EXPECT_FALSE(noScaling.scaleCheck || noScaling.scaleEdits || noScaling.wizardShown);
    const auto noRaw = scalewizard::ScalingEnabled(false, true, true, true, true);
    EXPECT_FALSE(noRaw.rawCheck || noRaw.rawEdits || noRaw.wizardShown);
}

}  // namespace
