// The number texts the tool shows and sends, and the reading of the
// counter's replies, including the ways that reading differs from the
// server's (plain sum, tokens ended by spaces).
#include "setup/NumberText.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace numbertext;

TEST(NumberText, SizeTextKeepsThreeCharacters) {
    const struct {
        double value;
        const char* text;
    } cases[] = {{0.3, "0.3"}, {0.75, ".75"}, {5, "5.0"},     {10, "10."},  {100, "100"}, {12.5, "12."},
                 {1000, "100"}, {0.5, "0.5"}, {1.25, "1.2"}, {2.5, "2.5"}, {0.05, ".05"}, {25, "25."}};
    for (const auto& c : cases) EXPECT_EQ(SizeText(c.value), c.text) << c.value;
}

TEST(NumberText, ASizeThatDoesNotFitThreeCharactersIsListedAsItIs) {
    const struct {
        double value;
        bool fits;
        const char* listed;
    } cases[] = {{0.3, true, "0.3"},      {0.75, true, ".75"},     {10, true, "10."},    {999, true, "999"},
                 {12.5, false, "12.5"},   {1000, false, "1000"},   {1.25, false, "1.25"}, {0.333, false, "0.333"},
                 {-1, true, "-1."}};
    for (const auto& c : cases) {
        EXPECT_EQ(SizeFits(c.value), c.fits) << c.value;
        EXPECT_EQ(SizeListText(c.value), c.listed) << c.value;
    }
}

TEST(NumberText, CalTextDropsTrailingZerosAndPoint) {
    const struct {
        double value;
        const char* text;
    } cases[] = {{0.3, "0.3"}, {500, "500"}, {1.25, "1.25"}, {100, "100"}, {0.0004, "0"}, {12.3456, "12.346"}};
    for (const auto& c : cases) EXPECT_EQ(CalText(c.value), c.text) << c.value;
}

TEST(NumberText, TextsIgnoreTheProcessLocale) {
    // A window toolkit may switch the C library to the user's locale; the wire keeps its point.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale here";
    EXPECT_EQ(SizeText(0.75), ".75");
    EXPECT_EQ(CalText(1.25), "1.25");
    EXPECT_DOUBLE_EQ(LeadingNumber("1.25"), 1.25);
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(NumberText, SizesCommandTextCarriesSixDigitSum) {
    EXPECT_EQ(SizesCommandText({0.3, 0.5}), " 0.3 0.5 C/S 000164");
    // The sizes go in the order given; sorting is the caller's.
    EXPECT_EQ(SizesCommandText({0.5, 0.3}), " 0.5 0.3 C/S 000164");
    // " .75 5.0 10." sums to 0x21C.
    EXPECT_EQ(SizesCommandText({0.75, 5, 10}), " .75 5.0 10. C/S 00021C");
}

TEST(NumberText, CalCommandTextHasNoChecksum) {
    EXPECT_EQ(CalCommandText({{0.3, 100}, {0.5, 180}, {1.25, 450.5}}), " 0.3 100 0.5 180 1.25 450.5");
    EXPECT_EQ(CalCommandText({}), "");
}

TEST(ReplyChecksum, PassesOnThePlainSum) {
    EXPECT_TRUE(ReplyChecksumPasses(" 0.3 0.5 C/S 000164\r\n"));
    EXPECT_TRUE(ReplyChecksumPasses(" 0.3 0.5 C/S 164"));
    // Lower-case digits pass: the text is upper-cased first.
    EXPECT_TRUE(ReplyChecksumPasses(" 0.3 0.5 c/s 000164\r\n"));
    EXPECT_FALSE(ReplyChecksumPasses(" 0.3 0.5 C/S 000165\r\n"));
    EXPECT_FALSE(ReplyChecksumPasses(" 0.3 0.5\r\n"));
    // The character just before "C/S" is not data, whatever it is.
    EXPECT_TRUE(ReplyChecksumPasses(" 0.3 0.5XC/S 000164\r\n"));
    // A non-digit in the field counts as the digit 0.
    EXPECT_FALSE(ReplyChecksumPasses(" 0.3 0.5 C/S 0001G4\r\n"));  // reads 0x104
    EXPECT_TRUE(ReplyChecksumPasses("\x10 C/S 1Z\r\n"));           // reads 0x10
}

TEST(ReplyChecksum, SumIsNotReducedTo16Bits) {
    // 300 bytes of 0xFF sum to 0x12AD4, beyond the counter's four digits.
    const std::string data(300, '\xFF');
    EXPECT_TRUE(ReplyChecksumPasses(data + " C/S 012AD4\r\n"));
    EXPECT_FALSE(ReplyChecksumPasses(data + " C/S 002AD4\r\n"));
}

TEST(ReplyChecksum, FieldAtTheVeryStartIsNoOverrun) {
    EXPECT_TRUE(ReplyChecksumPasses("C/S 0\r\n"));
    EXPECT_TRUE(ReplyChecksumPasses("C/S"));
    EXPECT_FALSE(ReplyChecksumPasses(""));
}

TEST(ReplyNumbers, SpacesEndTokens) {
    EXPECT_EQ(ReplyNumbers(" 0.3 0.5 1 5 10 C/S 00028B\r\n"), (std::vector<double>{0.3, 0.5, 1, 5, 10}));
    // Two spaces in a row give a 0.
    EXPECT_EQ(ReplyNumbers(" 0.3  0.5 C/S 0\r\n"), (std::vector<double>{0.3, 0, 0.5}));
    // Without "C/S" the whole text is read with one space added.
    EXPECT_EQ(ReplyNumbers(" 0.3 100 0.5 180"), (std::vector<double>{0.3, 100, 0.5, 180}));
    // Text after the last space before "C/S" is not taken.
    EXPECT_EQ(ReplyNumbers(" 0.3 0.5C/S 0\r\n"), (std::vector<double>{0.3}));
    // Tokens are read as far as they are numbers.
    EXPECT_EQ(ReplyNumbers(" .75 10. 2x C/S"), (std::vector<double>{0.75, 10, 2}));
    EXPECT_EQ(ReplyNumbers(" abc C/S"), (std::vector<double>{0}));
    EXPECT_TRUE(ReplyNumbers("C/S 000000\r\n").empty());
    EXPECT_TRUE(ReplyNumbers("").empty());
}

TEST(ReplyNumbers, PairsBecomeCalPoints) {
    EXPECT_EQ(CalPointsFromNumbers({0.3, 100, 0.5, 180, 1}),
              (std::vector<SetupCalPt>{{0.3, 100}, {0.5, 180}}));
    EXPECT_TRUE(CalPointsFromNumbers({0.3}).empty());
}

TEST(NumberText, ListSortKey) {
    EXPECT_DOUBLE_EQ(ListSortKey(".75"), 0.75);
    EXPECT_DOUBLE_EQ(ListSortKey(""), 999.99);
    EXPECT_DOUBLE_EQ(ListSortKey("  "), 999.99);
    EXPECT_DOUBLE_EQ(ListSortKey("100"), 100);
}
