#include "platform/Environment.h"
#include "platform/Process.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Restores one environment variable when the test ends.
class SavedVariable {
public:
    explicit SavedVariable(const char* name) : name_(name) {
        char buffer[4096];
        const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
        set_ = length > 0 && length < sizeof buffer;
        if (set_) value_.assign(buffer, length);
    }
    ~SavedVariable() { SetEnvironmentVariableA(name_, set_ ? value_.c_str() : nullptr); }

private:
    const char* name_;
    bool set_ = false;
    std::string value_;
};

TEST(ProcessTest, ModuleFileNameIsTheProgramAndIsCutToASmallBuffer) {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(path), length);
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(std::string(path).find("platform_tests"), std::string::npos) << path;

    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), std::string(path, 4)) << "cut and terminated";

    int other = 0;
    EXPECT_EQ(GetModuleFileNameA(&other, path, sizeof path), 0u);
}

TEST(ProcessTest, UserDataFolderFollowsXdgDataHomeThenHome) {
    SavedVariable xdg("XDG_DATA_HOME");
    SavedVariable home("HOME");
    ASSERT_TRUE(SetEnvironmentVariableA("XDG_DATA_HOME", "/data/user"));
    EXPECT_EQ(platform::UserDataFolder(), "/data/user/vok/");
    ASSERT_TRUE(SetEnvironmentVariableA("XDG_DATA_HOME", "relative/path"));
    ASSERT_TRUE(SetEnvironmentVariableA("HOME", "/home/op/"));
    EXPECT_EQ(platform::UserDataFolder(), "/home/op/.local/share/vok/") << "a relative XDG_DATA_HOME is ignored";
}

TEST(ProcessTest, WritableFolders) {
    TempDir dir;
    EXPECT_TRUE(platform::IsFolderWritable(dir.Path().string()));
    EXPECT_FALSE(platform::IsFolderWritable(dir.File("missing")));
    EXPECT_FALSE(platform::IsFolderWritable(""));
}

}  // namespace
