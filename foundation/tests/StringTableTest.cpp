#include "foundation/StringTable.h"
#include "foundation/VersionInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int Count(UINT id) {
    Dll<std::string> parts;
    versioninfo::Split(LoadStringText(id), ",", true, parts);
    return parts.GetCount();
}

TEST(StringTableTest, UnknownIdsAreEmptyAndKnownOnesAreHeld) {
    EXPECT_FALSE(HasStringText(12345));
    EXPECT_EQ(LoadStringText(12345), "");
    EXPECT_TRUE(HasStringText(IDS_QUALITY_EU_EXCEEDED));
    EXPECT_EQ(LoadStringText(IDS_QUALITY_EU_EXCEEDED), "Engineering units exceeded");
    EXPECT_EQ(LoadStringText(IDS_ACCESS_READ_WRITE), "Read/Write");
    EXPECT_EQ(LoadStringText(IDS_TYPE_I2), "Integer (2 Byte)");
    EXPECT_EQ(LoadStringText(IDS_VENDOR_INFO), "VOK Explorer by Vell Company");
    for (const StringTableEntry& entry : StringTableEntries()) EXPECT_FALSE(std::string(entry.text).empty()) << entry.id;
}

TEST(StringTableTest, TagKindTablesSplitIntoTwentyOneEntries) {
    EXPECT_EQ(Count(IDS_TAG_KIND_NAMES), 21);
    EXPECT_EQ(Count(IDS_TAG_KIND_DESCRIPTIONS), 21);
    Dll<std::string> names;
    Dll<std::string> descriptions;
    versioninfo::Split(LoadStringText(IDS_TAG_KIND_NAMES), ",", true, names);
    versioninfo::Split(LoadStringText(IDS_TAG_KIND_DESCRIPTIONS), ",", true, descriptions);
    EXPECT_EQ(names.GetAt(7), "Analog Input");
    EXPECT_EQ(names.GetAt(20), "Differential Normalized Count Bin");
    EXPECT_EQ(descriptions.GetAt(10), "Set if counter is in alarm state");
    for (int kind = 11; kind <= 15; ++kind) EXPECT_EQ(descriptions.GetAt(kind), "") << kind;
    EXPECT_EQ(descriptions.GetAt(16), "Comm Status (0=OK 1=Comm Fail 2=Addr Conflict)");
}

TEST(StringTableTest, DocumentTypeHasSevenFields) {
    Dll<std::string> fields;
    versioninfo::Split(LoadStringText(IDS_DOCUMENT_TYPE), "\n", true, fields);
    ASSERT_EQ(fields.GetCount(), 7);
    EXPECT_EQ(fields.GetAt(1), "VOKConfig");
    EXPECT_EQ(fields.GetAt(4), ".psf");
}

}  // namespace
