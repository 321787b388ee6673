// The user list: passwords checked against Argon2id hashes in a private file
// that other programs (`vok ua users`) change under a running server.
#include "ua/UserStore.h"

#include "PasswordHashing.h"
#include "platform/Environment.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using ua::Role;
using ua::UserStore;

namespace fs = std::filesystem;

std::vector<ua::UserEntry> Users(const UserStore& store) {
    std::vector<ua::UserEntry> out;
    std::string error;
    EXPECT_TRUE(store.List(out, error)) << error;
    return out;
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class UserStoreTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::string file_ = dir_.File("ua-users");
};

TEST_F(UserStoreTest, TheRightPasswordGivesTheRoleAndNothingElseDoes) {
    UserStore store(file_);
    EXPECT_TRUE(Users(store).empty()) << "an absent file is no users";
    EXPECT_EQ(store.Check("alice", "correct horse"), std::nullopt);

    std::string error;
    ASSERT_TRUE(store.Add("alice", Role::Operator, "correct horse", error)) << error;
    EXPECT_EQ(store.Check("alice", "correct horse"), Role::Operator);
    EXPECT_EQ(store.Check("alice", "correct horsE"), std::nullopt);
    EXPECT_EQ(store.Check("alice", ""), std::nullopt);
    EXPECT_EQ(store.Check("Alice", "correct horse"), std::nullopt) << "names are compared exactly";

    EXPECT_FALSE(store.Add("alice", Role::Viewer, "another one", error));
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_EQ(store.Check("alice", "correct horse"), Role::Operator) << "a refused Add changed the user";

    const auto users = Users(store);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].name, "alice");
    EXPECT_EQ(users[0].role, Role::Operator);
}

TEST_F(UserStoreTest, AnUnknownNameCostsAsMuchAsAWrongPassword) {
    UserStore store(file_);
    std::string error;
    ASSERT_TRUE(store.Add("alice", Role::Viewer, "correct horse", error)) << error;
    const auto timed = [&](const std::string& name) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(store.Check(name, "wrong password"), std::nullopt);
        return std::chrono::steady_clock::now() - start;
    };
    const auto wrong = timed("alice");
    const auto unknown = timed("mallory");
    // One verification each; a shortcut for unknown names answers in microseconds.
    EXPECT_GT(unknown * 3, wrong) << "unknown " << (unknown / 1us) << " us, wrong " << (wrong / 1us) << " us";
}

TEST_F(UserStoreTest, TheStandInHashHasTheCostOfARealOne) {
    ASSERT_GE(sodium_init(), 0);
    EXPECT_EQ(crypto_pwhash_str_needs_rehash(ua::passwords::kStandIn, ua::passwords::kOpsLimit,
                                             ua::passwords::kMemLimit),
              0)
        << "the stand-in must be as slow to check as the hashes Add writes";
}

TEST_F(UserStoreTest, TheFileIsPrivateAndHoldsTheHashNotThePassword) {
    UserStore store(file_);
    std::string error;
    ASSERT_TRUE(store.Add("alice", Role::Operator, "correct horse", error)) << error;
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string text = ReadFileText(file_);
    EXPECT_EQ(text.find("correct horse"), std::string::npos);
    EXPECT_EQ(text.rfind("alice\toperator\t$argon2id$v=19$", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');

    // A file someone opened up to others is closed again by the next write.
    fs::permissions(file_, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    ASSERT_TRUE(store.SetRole("alice", Role::Engineer, error)) << error;
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::is_empty(dir_.Path()) == false);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.Path()), fs::directory_iterator()), 1)
        << "the temporary file of a write was left behind";
}

TEST_F(UserStoreTest, TheFolderIsMadeWhenItIsMissing) {
    const std::string nested = dir_.File("a/b/ua-users");
    UserStore store(nested);
    std::string error;
    ASSERT_TRUE(store.Add("bob", Role::Viewer, "password1", error)) << error;
    EXPECT_EQ(UserStore(nested).Check("bob", "password1"), Role::Viewer);
}

TEST_F(UserStoreTest, ADamagedFileIsRefusedWholeWithItsLineNumber) {
    std::string error;
    ASSERT_TRUE(UserStore(file_).Add("alice", Role::Operator, "correct horse", error)) << error;
    const std::string good = ReadFileText(file_);
    const std::string hash = good.substr(good.rfind('\t') + 1, good.size() - good.rfind('\t') - 2);

    const struct {
        const char* what;
        std::string line;
    } damaged[] = {
        {"two fields", "bob\tviewer"},
        {"four fields", "bob\tviewer\t" + hash + "\textra"},
        {"unknown role", "bob\tadmin\t" + hash},
        {"role in capitals", "bob\tViewer\t" + hash},
        {"not a hash", "bob\tviewer\tsecret"},
        {"cut hash", "bob\tviewer\t" + hash.substr(0, 40)},
        {"blank in name", "bob smith\tviewer\t" + hash},
        {"empty name", "\tviewer\t" + hash},
        {"listed twice", "alice\tviewer\t" + hash},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.what);
        // Line 2 is empty (skipped); the damage is on line 3.
        WriteText(file_, good + "\n" + d.line + "\n");
        UserStore store(file_);
        std::vector<ua::UserEntry> users;
        EXPECT_FALSE(store.List(users, error));
        EXPECT_NE(error.find("line 3"), std::string::npos) << error;
        EXPECT_TRUE(users.empty()) << "part of a refused file was kept";
        // Nothing of a refused file signs in, and nothing is written over it.
        EXPECT_FALSE(store.Remove("alice", error));
        EXPECT_EQ(ReadFileText(file_), good + "\n" + d.line + "\n");
    }
    // One check against the last damaged file: the good line does not sign in either.
    EXPECT_EQ(UserStore(file_).Check("alice", "correct horse"), std::nullopt);

    // Repaired, it is read again by the same store.
    UserStore store(file_);
    std::vector<ua::UserEntry> users;
    EXPECT_FALSE(store.List(users, error));
    WriteText(file_, good);
    EXPECT_EQ(Users(store).size(), 1u);
}

TEST_F(UserStoreTest, AChangeByAnotherProgramIsSeenAtTheNextUse) {
    UserStore writer(file_), server(file_);
    std::string error;
    ASSERT_TRUE(writer.Add("alice", Role::Operator, "first password", error)) << error;
    ASSERT_EQ(Users(server).size(), 1u);
    EXPECT_EQ(Users(server)[0].role, Role::Operator);

    // "operator" and "engineer" have the same length: the file keeps its
    // size and may keep its modification time within the clock's tick.
    ASSERT_TRUE(writer.SetRole("alice", Role::Engineer, error)) << error;
    EXPECT_EQ(Users(server)[0].role, Role::Engineer);

    ASSERT_TRUE(writer.SetPassword("alice", "second password", error)) << error;
    EXPECT_EQ(server.Check("alice", "second password"), Role::Engineer);
    EXPECT_EQ(server.Check("alice", "first password"), std::nullopt);

    // The writer's own changes build on what the other one wrote.
    ASSERT_TRUE(server.Add("bob", Role::Viewer, "bobs password", error)) << error;
    ASSERT_TRUE(writer.Remove("alice", error)) << error;
    const auto users = Users(server);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].name, "bob");
}

TEST_F(UserStoreTest, NamesAndPasswordsAreValidated) {
    EXPECT_TRUE(UserStore::ValidName("a"));
    EXPECT_TRUE(UserStore::ValidName("M\xc3\xbcller"));
    EXPECT_TRUE(UserStore::ValidName(std::string(64, 'x')));
    std::string umlauts;
    for (int i = 0; i < 64; ++i) umlauts += "\xc3\xbc";
    EXPECT_TRUE(UserStore::ValidName(umlauts)) << "64 characters, 128 bytes";
    EXPECT_FALSE(UserStore::ValidName(umlauts + "\xc3\xbc"));
    for (const std::string& bad : {std::string(), std::string(65, 'x'), std::string("a b"), std::string("a\tb"),
                                  std::string("a\nb"), std::string("a\0b", 3), std::string("a\x7f"),
                                  std::string("\xff"), std::string("\xc3"), std::string("\xc0\xaf"),
                                  std::string("a\xc2\xa0" "b"), std::string("\xed\xa0\x80")})
        EXPECT_FALSE(UserStore::ValidName(bad)) << bad;

    std::string why;
    EXPECT_FALSE(UserStore::ValidPassword("1234567", why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(UserStore::ValidPassword("12345678", why));
    EXPECT_TRUE(UserStore::ValidPassword(std::string(256, 'p'), why));
    EXPECT_FALSE(UserStore::ValidPassword(std::string(257, 'p'), why));

    UserStore store(file_);
    std::string error;
    EXPECT_FALSE(store.Add("a b", Role::Viewer, "long enough", error));
    EXPECT_FALSE(store.Add("alice", Role::Viewer, "short", error));
    EXPECT_FALSE(fs::exists(file_)) << "a refused Add wrote the file";
    EXPECT_FALSE(store.SetPassword("nobody", "long enough", error));
    EXPECT_NE(error.find("nobody"), std::string::npos) << error;
    EXPECT_FALSE(store.SetRole("nobody", Role::Engineer, error));
    EXPECT_FALSE(store.Remove("nobody", error));
}

TEST(Roles, NamesGoBothWays) {
    for (const Role role : {Role::Viewer, Role::Operator, Role::Engineer})
        EXPECT_EQ(ua::ParseRole(ua::RoleName(role)), role);
    EXPECT_EQ(ua::ParseRole("admin"), std::nullopt);
    EXPECT_EQ(ua::ParseRole(""), std::nullopt);
}

TEST(UserStoreFile, LivesBesideTheSettingsFolder) {
    TempDir dir;
    for (const std::string& registry : {dir.File("registry"), dir.File("registry") + "/"}) {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.c_str()));
        EXPECT_EQ(UserStore::DefaultFile(), dir.File("ua-users")) << registry;
    }
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(SignInThrottle, DelaysDoubleToTheCapAndAreForgotten) {
    ua::SignInThrottle throttle;
    const auto t0 = ua::SignInThrottle::Clock::now();
    const std::vector<std::chrono::milliseconds> expected = {0ms, 1000ms, 2000ms, 4000ms, 8000ms, 16000ms, 30000ms, 30000ms};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(throttle.Failure("10.0.0.1", t0 + i * 1s), expected[i]) << i;
    // However long an address keeps failing, the delay stays at the cap.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(throttle.Failure("10.0.0.1", t0 + 10s), 30000ms) << i;

    // Other addresses are not held up by this one.
    EXPECT_EQ(throttle.Failure("10.0.0.2", t0 + 10s), 0ms);
    EXPECT_EQ(throttle.Failure("10.0.0.2", t0 + 11s), 1000ms);

    // A success forgets the address.
    throttle.Success("10.0.0.1");
    EXPECT_EQ(throttle.Failure("10.0.0.1", t0 + 12s), 0ms);
    EXPECT_EQ(throttle.Failure("10.0.0.1", t0 + 13s), 1000ms);

    // So do 15 quiet minutes, and not fewer.
    EXPECT_EQ(throttle.Failure("10.0.0.2", t0 + 11s + 14min), 2000ms);
    EXPECT_EQ(throttle.Failure("10.0.0.2", t0 + 11s + 14min + 15min), 0ms);
}

}  // namespace
