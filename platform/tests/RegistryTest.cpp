#include "platform/Environment.h"
#include "platform/Registry.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<BYTE> Bytes(const std::string& text, bool withZero = true) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    if (withZero) bytes.push_back(0);
    return bytes;
}

// Every test gets a registry folder of its own.
class Registry : public ::testing::Test {
protected:
    void SetUp() override { UseFolder(dir_.Path().string()); }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    void UseFolder(const std::string& folder) {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", folder.c_str()));
        platform::ClearRegistryProblems();
    }
    std::string RootFile(const std::string& root = "HKEY_CURRENT_USER") const { return dir_.File(root + ".reg"); }

    HKEY Create(HKEY parent, const char* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static LSTATUS Set(HKEY key, const char* name, DWORD type, const std::vector<BYTE>& data) {
        return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    // Reads a value whole; the type goes to *type.
    static std::vector<BYTE> Get(HKEY key, const char* name, DWORD* type = nullptr) {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return {0xEE};
        std::vector<BYTE> data(size);
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
        return data;
    }

    TempDir dir_;
};

TEST_F(Registry, NamesIgnoreLetterCaseAndKeepTheSpellingTheyWereCreatedWith) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\MixedCase");
    ASSERT_EQ(Set(key, "ValueName", REG_SZ, Bytes("one")), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "VALUENAME", REG_SZ, Bytes("two")), ERROR_SUCCESS);
    RegCloseKey(key);

    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\mixedcase", 0, KEY_READ, &again), ERROR_SUCCESS);
    EXPECT_EQ(Get(again, "valuename"), Bytes("two"));
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(again, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 1u);
    RegCloseKey(again);

    const std::string file = Slurp(RootFile());
    EXPECT_NE(file.find("[HKEY_CURRENT_USER\\Software\\MixedCase]\n\"ValueName\"=\"two\"\n"), std::string::npos)
        << file;
    EXPECT_EQ(file.find("VALUENAME"), std::string::npos);
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\n\n", 0), 0u);
}

TEST_F(Registry, TheUnnamedValueIsReachedByAnEmptyOrNullName) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Vell");
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Set(key, nullptr, REG_SZ, Bytes("default")), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, ""), Bytes("default"));
    ASSERT_EQ(Set(key, "", REG_SZ, Bytes("changed")), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, nullptr), Bytes("changed"));
    EXPECT_EQ(RegQueryValueExA(key, "Default", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
        << "the name \"Default\" is RegIO's convention, not the registry's";
    RegCloseKey(key);
    EXPECT_NE(Slurp(RootFile("HKEY_LOCAL_MACHINE")).find("[HKEY_LOCAL_MACHINE\\Software\\Vell]\n@=\"changed\"\n"),
              std::string::npos);
}

TEST_F(Registry, EveryValueTypeComesBackFromTheFileByteForByte) {
    struct Case {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const std::vector<Case> cases = {
        {"Path", REG_SZ, Bytes("C:\\dir\\\"quoted\"")},
        {"Empty", REG_SZ, {}},
        {"NoZero", REG_SZ, Bytes("abc", false)},
        {"Lines", REG_SZ, Bytes("one\ntwo")},
        {"Number", REG_DWORD, {0x0a, 0, 0, 0}},
        {"Short", REG_DWORD, {1, 2, 3}},
        {"Bytes", REG_BINARY, {0x01, 0x02, 0xff}},
        {"NoBytes", REG_BINARY, {}},
        {"Expand", REG_EXPAND_SZ, Bytes("%HOME%")},
        {"Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
        {"Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"With \\ and \"", REG_NONE, {}},
    };
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Types");
    for (const auto& c : cases) ASSERT_EQ(Set(key, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
    RegCloseKey(key);

    const std::string file = Slurp(RootFile());
    EXPECT_NE(file.find("\"Path\"=\"C:\\\\dir\\\\\\\"quoted\\\"\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Number\"=dword:0000000a\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Bytes\"=hex:01,02,ff\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Multi\"=hex(7):61,00,62,00,00\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"), std::string::npos) << file;

    // A second folder holding only the file makes the registry read it afresh.
    TempDir other;
    std::filesystem::copy_file(RootFile(), other.File("HKEY_CURRENT_USER.reg"));
    UseFolder(other.Path().string());
    HKEY read = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Types", 0, KEY_READ, &read), ERROR_SUCCESS);
    for (const auto& c : cases) {
        DWORD type = 0xFFFF;
        EXPECT_EQ(Get(read, c.name, &type), c.data) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    RegCloseKey(read);
    EXPECT_TRUE(platform::RegistryProblems().empty());
}

TEST_F(Registry, AHandWrittenFileIsReadWithCommentsLineEndsAndContinuedHex) {
    Spit(RootFile(),
         "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
         "; a comment\r\n"
         "[HKEY_CURRENT_USER\\Software\\Hand]\r\n"
         "\"Long\"=hex:01,02,\\\r\n"
         "  03,04\r\n"
         "@=\"unnamed\"\r\n"
         "\"Number\"=dword:FFFFFFFF\r\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Hand", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "Long"), (std::vector<BYTE>{1, 2, 3, 4}));
    EXPECT_EQ(Get(key, ""), Bytes("unnamed"));
    EXPECT_EQ(Get(key, "Number"), (std::vector<BYTE>{0xff, 0xff, 0xff, 0xff}));
    RegCloseKey(key);
    EXPECT_TRUE(platform::RegistryProblems().empty());
}

TEST_F(Registry, EnumerationGoesByNameForKeysAndByAgeForValuesAndReportsShortBuffers) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Enum");
    for (const char* name : {"beta", "Alpha", "gamma"}) RegCloseKey(Create(key, name));
    ASSERT_EQ(Set(key, "Zeta", REG_SZ, Bytes("last letter, first value")), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "Alpha", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);

    std::vector<std::string> keys;
    char name[64];
    DWORD index = 0;
    for (;; ++index) {
        DWORD length = sizeof name;
        const LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(length, std::strlen(name));
        keys.push_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "gamma"}));

    DWORD length = 5;  // "Alpha" needs 6 with its zero
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    DWORD type = 0, size = 0;
    length = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Zeta");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 25u);
    BYTE small[4] = {};
    size = sizeof small;
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 25u) << "the needed size is reported";
    length = 4;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(RegEnumValueA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    size = 2;
    EXPECT_EQ(RegQueryValueExA(key, "Zeta", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 25u);
    EXPECT_EQ(small[0], 0) << "a short buffer is left alone";
    RegCloseKey(key);
}

TEST_F(Registry, QueryInfoCountsSubKeysAndValuesWithTheirLongestNamesAndData) {
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Info");
    RegCloseKey(Create(key, "Short"));
    RegCloseKey(Create(key, "ALongerName"));
    ASSERT_EQ(Set(key, "v", REG_BINARY, std::vector<BYTE>(300, 7)), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "value2", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxName = 0, maxData = 0, classLength = 9;
    char className[10] = "x";
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyA(key, className, &classLength, nullptr, &subKeys, &maxSubKey, nullptr, &values, &maxName,
                               &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSubKey, 11u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 6u);
    EXPECT_EQ(maxData, 300u);
    EXPECT_EQ(classLength, 0u);
    EXPECT_STREQ(className, "");
    EXPECT_NE(FileTimeToUInt64(written), 0u);
    RegCloseKey(key);
}

TEST_F(Registry, DeletingRefusesKeysWithSubKeysAndLeavesHandlesOnDeletedKeysDead) {
    HKEY parent = Create(HKEY_CURRENT_USER, "Software\\Tree");
    HKEY child = Create(parent, "Child");
    RegCloseKey(Create(child, "Grandchild"));
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Missing"), ERROR_FILE_NOT_FOUND);

    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tree", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(readOnly, "child\\GRANDCHILD"), ERROR_SUCCESS) << "the parent's rights do not matter";
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(child, "x", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(Set(child, "x", REG_DWORD, {0, 0, 0, 0}), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(Slurp(RootFile()).find("Child"), std::string::npos);
    RegCloseKey(readOnly);
    RegCloseKey(parent);
}

TEST_F(Registry, AReadOnlyHandleCannotWriteButMayOpenWhatExists) {
    RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\Ro\\Existing"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Ro", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Set(key, "x", REG_DWORD, {1, 0, 0, 0}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "x"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(sub, nullptr);
    ASSERT_EQ(RegCreateKeyExA(key, "existing", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(sub);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ro\\Fresh\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &sub, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(sub);
    RegCloseKey(key);
    EXPECT_EQ(Slurp(RootFile()).find("\"x\""), std::string::npos);
}

TEST_F(Registry, BadHandlesAndBadNamesAreRefusedAndNoHandleLeaks) {
    const std::size_t before = platform::OpenRegistryKeyCount();
    HKEY key = reinterpret_cast<HKEY>(0x12345);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(0x12345), "x", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADKEY);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "bad\nname", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADKEY);
    key = Create(HKEY_CURRENT_USER, "Software\\Handles\\");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(Set(key, "line\nbreak", REG_DWORD, {1, 0, 0, 0}), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(platform::OpenRegistryKeyCount(), before + 1);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(platform::OpenRegistryKeyCount(), before);
}

TEST_F(Registry, ADamagedFileKeepsItsReadablePartsIsReportedAndIsCopiedBeforeItIsRewritten) {
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Kept]\n"
        "\"Good\"=\"yes\"\n"
        "this line is garbage\n"
        "\"Open\"=\"never closed\n"
        "\"BadHex\"=hex:01,zz\n"
        "\"TooLong\"=dword:123456789\n"
        "\"Also\"=dword:00000002\n"
        "[HKEY_LOCAL_MACHINE\\Elsewhere]\n"
        "\"Stray\"=\"lost key\"\n"
        "[HKEY_CURRENT_USER\\Software\\Kept\\Sub]\n"
        "@=\"sub default\"\n";
    Spit(RootFile(), damaged);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "Good"), Bytes("yes"));
    EXPECT_EQ(Get(key, "Also"), (std::vector<BYTE>{2, 0, 0, 0}));
    for (const char* lost : {"Open", "BadHex", "TooLong", "Stray"})
        EXPECT_EQ(RegQueryValueExA(key, lost, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND) << lost;
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, "Sub", 0, KEY_READ, &sub), ERROR_SUCCESS);
    EXPECT_EQ(Get(sub, ""), Bytes("sub default"));
    RegCloseKey(sub);

    const auto problems = platform::RegistryProblems();
    ASSERT_EQ(problems.size(), 6u);
    for (const char* line : {"line 5:", "line 6:", "line 7:", "line 8:", "line 10:", "line 11:"}) {
        bool found = false;
        for (const auto& p : problems) found = found || p.find(line) != std::string::npos;
        EXPECT_TRUE(found) << line;
    }
    EXPECT_NE(problems[0].find(RootFile()), std::string::npos) << "a problem names its file";

    // Reading again finds the same file and reports nothing new.
    EXPECT_EQ(Get(key, "Good"), Bytes("yes"));
    EXPECT_EQ(platform::RegistryProblems().size(), 6u);

    ASSERT_EQ(Set(key, "New", REG_SZ, Bytes("value")), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Slurp(RootFile() + ".bad"), damaged) << "the damaged file is kept beside the new one";
    const std::string rewritten = Slurp(RootFile());
    EXPECT_EQ(rewritten.find("garbage"), std::string::npos);
    EXPECT_NE(rewritten.find("\"Good\"=\"yes\""), std::string::npos);
    EXPECT_NE(rewritten.find("\"New\"=\"value\""), std::string::npos);

    // The clean file is rewritten without another copy.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "More", REG_SZ, Bytes("x")), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(std::filesystem::exists(RootFile() + ".bad.2"));
}

TEST_F(Registry, AFileOfBinaryGarbageIsAnEmptyRootAndIsNotLost) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37) % 256);
    Spit(RootFile(), garbage);
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\After");
    ASSERT_NE(key, nullptr);
    RegCloseKey(key);
    EXPECT_FALSE(platform::RegistryProblems().empty());
    EXPECT_EQ(Slurp(RootFile() + ".bad"), garbage);
}

TEST_F(Registry, TheFolderIsCreatedWhenMissingAndFollowsTheEnvironmentOnEveryCall) {
    const std::string nested = (dir_.Path() / "a" / "b").string();
    UseFolder(nested);
    RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\First"));
    EXPECT_TRUE(std::filesystem::exists(nested + "/HKEY_CURRENT_USER.reg"));

    TempDir other;
    UseFolder(other.Path().string());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\First", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    UseFolder(nested);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\First", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);

    UseFolder(dir_.File("plain-file"));
    Spit(dir_.File("plain-file"), "not a folder");
    EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
}

TEST_F(Registry, ThreadsWritingAtOnceLoseNoValue) {
    constexpr int kThreads = 8, kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            HKEY key = Create(HKEY_CURRENT_USER, "Software\\Busy");
            for (int i = 0; i < kValues; ++i) {
                const std::string name = "T" + std::to_string(t) + "V" + std::to_string(i);
                Set(key, name.c_str(), REG_DWORD, {BYTE(t), BYTE(i), 0, 0});
            }
            RegCloseKey(key);
        });
    }
    for (auto& thread : threads) thread.join();

    TempDir other;
    std::filesystem::copy_file(RootFile(), other.File("HKEY_CURRENT_USER.reg"));
    UseFolder(other.Path().string());
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Busy", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kValues; ++i) {
            const std::string name = "T" + std::to_string(t) + "V" + std::to_string(i);
            EXPECT_EQ(Get(key, name.c_str()), (std::vector<BYTE>{BYTE(t), BYTE(i), 0, 0})) << name;
        }
    RegCloseKey(key);
}

}  // namespace
