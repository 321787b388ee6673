#include "sim/SimWire.h"

#include <gtest/gtest.h>

TEST(SimWire, ChecksumFieldOfTwoSizes) {
    // Space, 0.3, space, 0.5 sum to 0x0164.
    EXPECT_EQ(simwire::Sum(" 0.3 0.5"), 0x0164u);
    EXPECT_EQ(simwire::ChecksumField(0x0164), " C/S 000164\r\n");
    EXPECT_EQ(simwire::ChecksumField(0x0164).size(), 13u);
}

TEST(SimWire, ChecksumFieldKeepsLow16BitsAndCase) {
    EXPECT_EQ(simwire::ChecksumField(0x1ABCD), " C/S 00ABCD\r\n");
    EXPECT_EQ(simwire::ChecksumField(0xABCD, true), " C/S 00abcd\r\n");
}

TEST(SimWire, SizeLabelsAsTheHostWritesThem) {
    EXPECT_EQ(simwire::SizeLabel(0.3), "0.3");
    EXPECT_EQ(simwire::SizeLabel(0.75), "0.7");
    EXPECT_EQ(simwire::SizeLabel(1), "1");
    EXPECT_EQ(simwire::SizeLabel(10), "10");
    EXPECT_EQ(simwire::SizeLabel(12.5), "12.");
    EXPECT_EQ(simwire::SizeLabel(100), "100");
    EXPECT_EQ(simwire::SizeLabel(1000), "");
}

TEST(SimWire, CalibrationText) {
    EXPECT_EQ(simwire::CalText(0.3), "0.3");
    EXPECT_EQ(simwire::CalText(500), "500");
    EXPECT_EQ(simwire::CalText(1.25), "1.25");
}

TEST(SimWire, NumbersAndSpaces) {
    EXPECT_EQ(simwire::ParseNumber(".75"), 0.75);
    EXPECT_EQ(simwire::ParseNumber("10."), 10.0);
    EXPECT_FALSE(simwire::ParseNumber("1x"));
    EXPECT_FALSE(simwire::ParseNumber(""));
    const auto pieces = simwire::SplitAtSpaces(" 0.3  0.5 ");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], "0.3");
    EXPECT_EQ(pieces[1], "0.5");
}
