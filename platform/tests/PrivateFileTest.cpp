#include "platform/PrivateFile.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t CountFiles(const fs::path& folder) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
    return n;
}

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST(PrivateFile, IsWrittenOwnerOnlyWhateverTheUmaskAndReplacesTheOldFileInOneStep) {
    TempDir dir;
    const fs::path path = dir.Path() / "key.pem";
    std::ofstream(path) << "old key";
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    // A reader holding the old file keeps the old bytes: the new ones arrive
    // under a new inode, never written into a file others could open.
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    const mode_t saved = ::umask(0);
    std::string error;
    const bool written = platform::WritePrivateFile(path.string(), std::string("new\0key", 7), error);
    ::umask(saved);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(fs::status(path).permissions(), kOwnerOnly);
    EXPECT_EQ(Slurp(path), std::string("new\0key", 7));
    struct stat after;
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    char buffer[16] = {};
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer), "old key");
    ::close(reader);
    EXPECT_EQ(CountFiles(dir.Path()), 1u) << "no temporary file left beside it";
    // The owner of the folder is the owner already: nothing to hand over.
    EXPECT_TRUE(platform::GiveToOwnerOfFolder(path.string()));
}

TEST(PrivateFile, AFailedWriteSaysWhyAndLeavesNothingBehind) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(platform::WritePrivateFile((dir.Path() / "missing" / "key.pem").string(), "x", error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_EQ(CountFiles(dir.Path()), 0u);

    // A folder of that name is not replaced by the file.
    fs::create_directory(dir.Path() / "taken");
    error.clear();
    EXPECT_FALSE(platform::WritePrivateFile((dir.Path() / "taken").string(), "x", error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(dir.Path() / "taken"));
    EXPECT_EQ(CountFiles(dir.Path()), 0u);
}

}  // namespace
