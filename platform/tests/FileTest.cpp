#include "platform/File.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Files, AnExclusiveWriterKeepsOtherWritersOutButNotReadersAndLeavesTheFileIntact) {
    TempDir dir;
    const std::string path = dir.File("log.txt");
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);

    HANDLE second = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Slurp(path), "abc") << "a refused open must not truncate the file";

    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(reader, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "abc");
    CloseHandle(reader);

    CloseHandle(writer);
    second = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "the lock goes with the handle";
    CloseHandle(second);
    EXPECT_EQ(Slurp(path), "");
}

TEST(Files, ADeviceFileIsSharedByExclusiveWritersAsEveryProgramSharesIt) {
    // Logs pointed at /dev/full or /dev/null by several programs at once.
    HANDLE first = CreateFileA("/dev/null", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileA("/dev/null", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(first);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
}

TEST(Files, MissingFilesAndFoldersGiveTheSystemErrorCodes) {
    TempDir dir;
    EXPECT_EQ(CreateFileA(dir.File("none").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(dir.File("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(dir.Path().string().c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(WriteFile(nullptr, "x", 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
