// The registry shared between processes: this test program starts copies of
// itself that run only the RegistryChild cases, told what to do by the
// environment.
#include "platform/Environment.h"
#include "platform/Registry.h"
#include "platform/Thread.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBlockSize = 256 * 1024;

std::string Environment(const char* name) {
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// A command line that runs one child case of this program against a registry folder.
std::string ChildCommand(const std::string& folder, const std::string& mode, const std::string& value = {}) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return "VOK_REGISTRY_DIR=" + Quoted(folder) + " VOK_REGISTRY_CHILD=" + mode + " VOK_REGISTRY_CHILD_VALUE=" +
           Quoted(value) + " " + Quoted(self) + " --gtest_filter=RegistryChild.* >/dev/null 2>&1";
}

// A block whose every byte tells which write made it, so that a mix of two
// writes or a cut-off write shows.
std::vector<BYTE> Block(DWORD generation) {
    std::vector<BYTE> block(kBlockSize, BYTE(generation));
    for (int i = 0; i < 4; ++i) block[i] = BYTE(generation >> (8 * i));
    return block;
}

TEST(RegistryChild, RunsOnlyWhenStartedByAProcessTest) {
    const std::string mode = Environment("VOK_REGISTRY_CHILD");
    if (mode.empty()) GTEST_SKIP() << "started by the process tests only";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    if (mode == "write") {
        const std::string value = Environment("VOK_REGISTRY_CHILD_VALUE");
        RegSetValueExA(key, "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        HKEY sub = nullptr;
        RegCreateKeyExA(key, ("From " + value).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
        RegCloseKey(sub);
    } else if (mode == "loop") {
        for (DWORD generation = 1;; ++generation) {
            const auto block = Block(generation);
            RegSetValueExA(key, "Block", 0, REG_BINARY, block.data(), kBlockSize);
        }
    }
    RegCloseKey(key);
}

class RegistryProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.Path().c_str()));
        platform::ClearRegistryProblems();
    }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    static std::string ReadString(HKEY key, const char* name) {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
            return "<missing>";
        return buffer;
    }

    static bool HasBlock() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        const bool has = RegQueryValueExA(key, "Block", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(key);
        return has;
    }

    TempDir dir_;
};

TEST_F(RegistryProcesses, EachProcessSeesWhatTheOtherWroteThroughHandlesAlreadyOpen) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const std::string mine = "from the test";
    ASSERT_EQ(RegSetValueExA(key, "Mine", 0, REG_SZ, reinterpret_cast<const BYTE*>(mine.c_str()),
                             static_cast<DWORD>(mine.size() + 1)),
              ERROR_SUCCESS);

    ASSERT_EQ(std::system(ChildCommand(dir_.Path().string(), "write", "two").c_str()), 0);
    EXPECT_EQ(ReadString(key, "Value"), "two");
    EXPECT_EQ(ReadString(key, "Mine"), mine) << "the other process kept what this one wrote";
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "From two", 0, KEY_READ, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);

    ASSERT_EQ(std::system(ChildCommand(dir_.Path().string(), "write", "three").c_str()), 0);
    EXPECT_EQ(ReadString(key, "Value"), "three");
    DWORD subKeys = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    RegCloseKey(key);
}

TEST_F(RegistryProcesses, AWriterKilledInTheMiddleLeavesTheOldOrTheNewContentNeverABrokenOne) {
    const std::string pidFile = dir_.File("child.pid");
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(std::system((ChildCommand(dir_.Path().string(), "loop") + " & echo $! > " + Quoted(pidFile)).c_str()),
                  0);
        // Let it write a while: until its first block is there, then some more.
        for (int i = 0; i < 500 && !HasBlock(); ++i) Sleep(10);
        Sleep(5 + 3 * round);
        std::ifstream in(pidFile);
        std::string pid;
        in >> pid;
        ASSERT_FALSE(pid.empty());
        // Dead once it is gone or a zombie: a zombie writes no more, and who reaps it is up to the system.
        ASSERT_EQ(std::system(("kill -9 " + pid + "; while ps -o stat= -p " + pid +
                               " | grep -qv Z; do sleep 0.01; done")
                                  .c_str()),
                  0);

        platform::ClearRegistryProblems();
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
        std::vector<BYTE> block(kBlockSize);
        DWORD size = kBlockSize, type = 0;
        ASSERT_EQ(RegQueryValueExA(key, "Block", nullptr, &type, block.data(), &size), ERROR_SUCCESS);
        RegCloseKey(key);
        ASSERT_EQ(size, kBlockSize);
        const DWORD generation = DWORD(block[0]) | DWORD(block[1]) << 8 | DWORD(block[2]) << 16 | DWORD(block[3]) << 24;
        EXPECT_GT(generation, 0u);
        EXPECT_EQ(block, Block(generation)) << "round " << round;
        EXPECT_TRUE(platform::RegistryProblems().empty()) << "round " << round;
    }
}

}  // namespace
