#include "foundation/VersionInfo.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace versioninfo;

std::vector<std::string> Items(const Dll<std::string>& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.GetCount(); ++i) items.push_back(list.GetAt(i));
    return items;
}

TEST(VersionInfoTest, ProgramStringsAndNumber) {
    EXPECT_EQ(CompanyName(), "Vell");
    EXPECT_EQ(ProductName(), "VOK Explorer");
    EXPECT_EQ(ProductVersion(), "2.11");
    EXPECT_FALSE(FileVersion().empty());
    EXPECT_FALSE(LegalCopyright().empty());
    EXPECT_DOUBLE_EQ(ProgramVersion(), 2.11);
    EXPECT_EQ(VersionString("/no/such/file", "CompanyName"), "");
    EXPECT_EQ(VersionString(std::string(), "NoSuchKey"), "");
}

TEST(VersionInfoTest, LookupTakesTheFirstTranslationInOrderThatHasTheKey) {
    constexpr VersionKeyValue german[] = {{"ProductName", "Deutsch"}};
    constexpr VersionKeyValue english[] = {{"ProductName", "English"}, {"CompanyName", "Firm"}};
    constexpr VersionKeyValue ansi[] = {{"CompanyName", "Ansi"}, {"FileVersion", "1.0"}};
    // Stored in another order than the look-up order.
    const VersionTranslation resource[] = {{"040904E4", ansi}, {"040904b0", english}, {"040704b0", german}};
    EXPECT_EQ(VersionString(resource, "ProductName"), "Deutsch");
    EXPECT_EQ(VersionString(resource, "CompanyName"), "Firm");
    EXPECT_EQ(VersionString(resource, "FileVersion"), "1.0") << "only the last translation has it";
    const VersionTranslation other[] = {{"041104b0", english}};
    EXPECT_EQ(VersionString(other, "ProductName"), "") << "a translation outside the order is not used";
}

TEST(VersionInfoTest, ProgramPathAndFolders) {
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    std::string folder;
    std::string name;
    SplitPath(path, folder, name);
    EXPECT_EQ(ExecutableFolder(), folder);
    EXPECT_EQ(name, "foundation_tests");
    EXPECT_EQ(ProgramFolder().back(), '/');
}

TEST(VersionInfoTest, SplitPathAtTheLastSlash) {
    std::string folder = "x";
    std::string name;
    SplitPath("/a/b/c.psf", folder, name);
    EXPECT_EQ(folder, "/a/b/");
    EXPECT_EQ(name, "c.psf");
    SplitPath("c.psf", folder, name);
    EXPECT_EQ(folder, "");
    EXPECT_EQ(name, "c.psf");
    SplitPath("/a/", folder, name);
    EXPECT_EQ(folder, "/a/");
    EXPECT_EQ(name, "");
}

TEST(VersionInfoTest, SplitKeepsOrDropsEmptyTokens) {
    Dll<std::string> tokens;
    tokens.AddTail("old");
    Split("a,,b,", ",", false, tokens);
    EXPECT_EQ(Items(tokens), (std::vector<std::string>{"a", "b"}));
    Split("a,,b,", ",", true, tokens);
    EXPECT_EQ(Items(tokens), (std::vector<std::string>{"a", "", "b"})) << "a trailing empty token is dropped";
    Split("a-b/c d", "-/ ", false, tokens);
    EXPECT_EQ(Items(tokens), (std::vector<std::string>{"a", "b", "c", "d"}));
    Split("", ",", true, tokens);
    EXPECT_TRUE(tokens.IsEmpty());
    Split("a,b", "", true, tokens);
    EXPECT_TRUE(tokens.IsEmpty());
}

TEST(VersionInfoTest, NumericTypesAreExactlyTheTen) {
    for (VARTYPE type : {VT_I2, VT_I4, VT_R4, VT_R8, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_INT, VT_UINT})
        EXPECT_TRUE(IsNumericType(type)) << type;
    for (VARTYPE type : {VT_EMPTY, VT_BSTR, VT_DATE, VT_CY, VARTYPE(VT_I4 | VT_ARRAY), VARTYPE(VT_R8 | VT_BYREF)})
        EXPECT_FALSE(IsNumericType(type)) << type;
    EXPECT_FALSE(IsWindows9x());
}

TEST(VersionInfoTest, FileExistsAndTexts) {
    TempDir dir;
    EXPECT_FALSE(FileExists(dir.File("a.txt")));
    std::ofstream(dir.File("a.txt")) << "x";
    EXPECT_TRUE(FileExists(dir.File("a.txt")));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(SystemErrorText(2).empty());

    SYSTEMTIME time{};
    time.wYear = 2024;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 13;
    time.wMinute = 5;
    time.wSecond = 9;
    const std::string text = DateTimeText(time);
    const std::size_t space = text.find(' ');
    ASSERT_NE(space, std::string::npos) << text;
    EXPECT_NE(text.substr(0, space).find("07"), std::string::npos) << "the date comes first: " << text;
    EXPECT_NE(text.substr(space + 1).find("13:05"), std::string::npos) << "then the time: " << text;
    FILETIME file{};
    ASSERT_TRUE(SystemTimeToFileTime(&time, &file));
    EXPECT_EQ(DateTimeText(file), text);
    time.wMonth = 13;
    EXPECT_EQ(DateTimeText(time), "");
}

}  // namespace
