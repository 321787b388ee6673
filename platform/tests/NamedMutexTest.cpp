// The named mutex guard, within one process and across processes: this test
// program starts copies of itself that run only the NamedMutexChild case, told
// what to do by the environment.
#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr const char* kName = "Vell VOK Explorer";
constexpr const char* kChildVariable = "VOK_MUTEX_CHILD";

// Child exit codes.
constexpr int kChildOwned = 10;
constexpr int kChildFoundItTaken = 11;
constexpr int kChildFailed = 12;

std::string Variable(const char* name) {
    char buffer[4096];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

// Sets a variable for the test's duration and puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name), old_(Variable(name)) {
        had_ = !old_.empty();
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(NamedMutexChild, RunsOnlyWhenStartedByAProcessTest) {
    const std::string mode = Variable(kChildVariable);
    if (mode.empty()) GTEST_SKIP() << "started by the process tests only";
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kName);
    if (mutex == nullptr) std::_Exit(kChildFailed);
    const bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
    if (mode == "hold") {
        // Killed by the test; the time limit only keeps a stray child from staying for good.
        Sleep(30000);
    }
    std::_Exit(taken ? kChildFoundItTaken : kChildOwned);
}

// A copy of this program running the child case in the given mode.
class Child {
public:
    explicit Child(const std::string& mode) {
        ScopedVariable variable(kChildVariable, mode);
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=NamedMutexChild.*";
        char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    // The exit code, or -1 when it did not exit by itself.
    int Wait() {
        int status = 0;
        const pid_t waited = ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Kill() { ::kill(pid_, SIGKILL); }

private:
    pid_t pid_ = -1;
};

// Whether the name is held by someone else now; the probing handle is closed again.
bool NameIsTaken() {
    HANDLE probe = CreateMutexA(nullptr, FALSE, kName);
    const bool taken = probe != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
    if (probe != nullptr) CloseHandle(probe);
    return taken;
}

// Each test gets a runtime folder of its own.
class NamedMutex : public ::testing::Test {
protected:
    std::string LockFolder() const { return (dir_.Path() / "vok").string() + "/"; }

    TempDir dir_;
    ScopedVariable runtime_{"XDG_RUNTIME_DIR", dir_.Path().string()};
};

TEST_F(NamedMutex, ASecondCreateInTheSameProcessFindsTheNameTakenUntilTheFirstIsClosed) {
    HANDLE first = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(LockFolder() + "Vell_VOK_Explorer.lock"));

    HANDLE second = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(second, nullptr) << "a taken name still gives a handle";
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(ReleaseMutex(second)) << "the second handle owns nothing";
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(NameIsTaken()) << "closing a handle that owns nothing frees nothing";

    EXPECT_TRUE(CloseHandle(first));
    HANDLE third = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "the closed handle gave the name up";
    EXPECT_TRUE(CloseHandle(third));
}

TEST_F(NamedMutex, ReleaseGivesTheNameUpBeforeTheHandleIsClosed) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(NameIsTaken());
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(NameIsTaken());
    EXPECT_FALSE(ReleaseMutex(mutex)) << "released already";
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(NamedMutex, NamesBecomeFilesInsideTheRuntimeFolderOnly) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "../../escape/me");
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(std::filesystem::exists(LockFolder() + ".._.._escape_me.lock"));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path().parent_path() / "escape"));
    CloseHandle(mutex);

    EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, ""), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(300, 'x').c_str()), nullptr);
}

TEST_F(NamedMutex, ALinkPlantedAsTheLockFileIsNotFollowed) {
    ASSERT_FALSE(platform::UserRuntimeFolder().empty());
    const std::string target = dir_.File("target");
    std::filesystem::create_symlink(target, LockFolder() + "Vell_VOK_Explorer.lock");
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, kName), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(NamedMutex, WithoutAUsableRuntimeFolderThereIsNoHandle) {
    std::filesystem::create_directory(dir_.Path() / "vok");
    std::filesystem::permissions(dir_.Path() / "vok", std::filesystem::perms(0755));
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, kName), nullptr);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

TEST_F(NamedMutex, AnotherProcessFindsTheNameTakenWhileThisOneHoldsIt) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(mutex, nullptr);
    {
        Child probe("probe");
        ASSERT_TRUE(probe.Started());
        EXPECT_EQ(probe.Wait(), kChildFoundItTaken);
    }
    CloseHandle(mutex);
    Child probe("probe");
    ASSERT_TRUE(probe.Started());
    EXPECT_EQ(probe.Wait(), kChildOwned);
}

TEST_F(NamedMutex, TheNameIsFreedWhenTheHoldingProcessDies) {
    Child holder("hold");
    ASSERT_TRUE(holder.Started());
    bool taken = false;
    for (int i = 0; i < 500 && !taken; ++i) {
        taken = NameIsTaken();
        if (!taken) Sleep(10);
    }
    ASSERT_TRUE(taken) << "the child took the name";
    holder.Kill();
    EXPECT_EQ(holder.Wait(), -1) << "it was killed while holding the name";

    HANDLE mutex = CreateMutexA(nullptr, TRUE, kName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(mutex);
}

// The runtime folder itself.
class RuntimeFolder : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(RuntimeFolder, FollowsXdgRuntimeDirAndIsMadePrivate) {
    ScopedVariable runtime("XDG_RUNTIME_DIR", dir_.Path().string());
    const std::string folder = platform::UserRuntimeFolder();
    EXPECT_EQ(folder, (dir_.Path() / "vok").string() + "/");
    struct stat st{};
    ASSERT_EQ(::lstat((dir_.Path() / "vok").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());

    const mode_t old = ::umask(0277);
    std::filesystem::remove(dir_.Path() / "vok");
    EXPECT_EQ(platform::UserRuntimeFolder(), folder) << "a strict umask does not leave the folder unusable";
    ::umask(old);
}

TEST_F(RuntimeFolder, ARelativeXdgRuntimeDirIsIgnored) {
    ScopedVariable runtime("XDG_RUNTIME_DIR", "relative/run");
    EXPECT_EQ(platform::UserRuntimeFolder(), "/tmp/vok-" + std::to_string(::geteuid()) + "/");
}

TEST_F(RuntimeFolder, RefusesALinkAnOpenFolderAndAFile) {
    ScopedVariable runtime("XDG_RUNTIME_DIR", dir_.Path().string());
    const auto vok = dir_.Path() / "vok";
    const auto elsewhere = dir_.Path() / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::permissions(elsewhere, std::filesystem::perms(0700));
    std::filesystem::create_directory_symlink(elsewhere, vok);
    EXPECT_EQ(platform::UserRuntimeFolder(), "") << "a link, even to a private folder";

    std::filesystem::remove(vok);
    std::filesystem::create_directory(vok);
    std::filesystem::permissions(vok, std::filesystem::perms(0750));
    EXPECT_EQ(platform::UserRuntimeFolder(), "") << "others may enter it";

    std::filesystem::remove(vok);
    { std::ofstream(vok.string()) << "x"; }
    EXPECT_EQ(platform::UserRuntimeFolder(), "");

    ScopedVariable missing("XDG_RUNTIME_DIR", (dir_.Path() / "missing").string());
    EXPECT_EQ(platform::UserRuntimeFolder(), "") << "the base folder is not made";
}

}  // namespace
