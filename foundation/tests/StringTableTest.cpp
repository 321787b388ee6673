#include "foundation/StringTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> SplitKeepingEmpty(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == ',') parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

TEST(StringTable, IsOrderedByIdentifierSoEveryEntryCanBeFound) {
    const auto entries = StringTableEntries();
    for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LT(entries[i - 1].id, entries[i].id) << entries[i].id;
    for (const auto& e : entries) EXPECT_EQ(LoadStringText(e.id), e.text);
    EXPECT_FALSE(HasStringText(999999));
    EXPECT_EQ(LoadStringText(999999), "");
}

TEST(StringTable, TheKindTablesSplitIntoTwentyOneEntriesEach) {
    const auto names = SplitKeepingEmpty(LoadStringText(IDS_TAG_KIND_NAMES));
    const auto descriptions = SplitKeepingEmpty(LoadStringText(IDS_TAG_KIND_DESCRIPTIONS));
    ASSERT_EQ(names.size(), 21u);
    ASSERT_EQ(descriptions.size(), 21u);
    EXPECT_EQ(names[7], "Analog Input");
    EXPECT_EQ(names[20], "Differential Normalized Count Bin");
    EXPECT_EQ(descriptions[10], "Set if counter is in alarm state");
    EXPECT_EQ(descriptions[11], "") << "the alarm kinds 11 to 15 have no description";
    EXPECT_EQ(descriptions[16], "Comm Status (0=OK 1=Comm Fail 2=Addr Conflict)");
    EXPECT_EQ(descriptions[20], "Differential normalized counts (#of particles in bin per ml)");
}

TEST(StringTable, TheDocumentTypeHasSevenFields) {
    const std::string type = LoadStringText(IDS_DOCUMENT_TYPE);
    std::vector<std::string> fields(1);
    for (char c : type) {
        if (c == '\n') fields.emplace_back();
        else fields.back() += c;
    }
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[1], "VOKConfig");
    EXPECT_EQ(fields[4], ".psf");
}

}  // namespace
