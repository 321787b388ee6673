// vok ua as an administrator runs it: the built program in processes of its
// own, its files in a folder of the test's.
#include "ua/UserStore.h"

#include "VokProcess.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class UaCommand : public VokProcessTest {
protected:
    // "vok ua <arguments>" with the text on standard input.
    VokOutcome Ua(const std::string& arguments, const std::string& input = "") {
        const std::string in = dir_.File("stdin");
        std::ofstream(in, std::ios::binary) << input;
        return Vok("ua " + arguments + " <'" + in + "'");
    }
    std::string Users() const { return dir_.File("users"); }
    std::string Pki() const { return dir_.File("pki"); }
};

TEST_F(UaCommand, UsersAreAddedChangedAndRemovedWithThePasswordOnStandardInput) {
    const std::string file = " --users '" + Users() + "'";
    VokOutcome run = Ua("users add alice --role operator" + file, "first password\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ua::UserStore(Users()).Check("alice", "first password"), ua::Role::Operator);
    EXPECT_EQ(ReadFileText(Users()).find("first password"), std::string::npos) << "the password itself was written";
    ASSERT_EQ(Ua("users add bob" + file, "bobs password").status, 0) << "a last line without a line end";

    run = Ua("users list" + file);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "alice\toperator\nbob\tviewer\n");
    run = Ua("--json users list" + file);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto list = nlohmann::json::parse(run.out);
    ASSERT_EQ(list.size(), 2u) << run.out;
    EXPECT_EQ(list[0]["name"], "alice");
    EXPECT_EQ(list[0]["role"], "operator");

    ASSERT_EQ(Ua("users role alice engineer" + file).status, 0);
    ASSERT_EQ(Ua("users passwd alice" + file, "second password\n").status, 0);
    EXPECT_EQ(ua::UserStore(Users()).Check("alice", "second password"), ua::Role::Engineer);
    EXPECT_EQ(ua::UserStore(Users()).Check("alice", "first password"), std::nullopt);

    ASSERT_EQ(Ua("users remove alice" + file).status, 0);
    EXPECT_EQ(Ua("users list" + file).out, "bob\tviewer\n");
}

TEST_F(UaCommand, RefusalsSayWhyAndChangeNothing) {
    const std::string file = " --users '" + Users() + "'";
    ASSERT_EQ(Ua("users add alice" + file, "first password\n").status, 0);
    const std::string before = ReadFileText(Users());

    VokOutcome run = Ua("users add alice" + file, "other password\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("exists"), std::string::npos) << run.err;
    run = Ua("users add carol" + file, "short\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("at least 8"), std::string::npos) << run.err;
    run = Ua("users add carol" + file, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no password"), std::string::npos) << run.err;
    run = Ua("users passwd nobody" + file, "long enough\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("nobody"), std::string::npos) << run.err;
    EXPECT_EQ(Ua("users remove nobody" + file).status, 1);
    EXPECT_EQ(Ua("users role alice admin" + file).status, 2);
    EXPECT_EQ(Ua("users add carol --role root" + file, "long enough\n").status, 2);
    EXPECT_EQ(Ua("users add 'carol smith'" + file, "long enough\n").status, 2);
    EXPECT_EQ(Ua("users").status, 2);
    EXPECT_EQ(ReadFileText(Users()), before);

    // A damaged list is reported with its line, not shown as empty.
    std::ofstream(Users(), std::ios::app) << "broken line\n";
    run = Ua("users list" + file);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("line 2"), std::string::npos) << run.err;
}

TEST_F(UaCommand, TheFilesLiveBesideTheSettingsUnlessToldOtherwise) {
    ASSERT_EQ(Ua("users add alice", "first password\n").status, 0);
    EXPECT_TRUE(fs::exists(dir_.File("ua-users"))) << "the settings are in " << registry_;
    EXPECT_EQ(Ua("users list").out, "alice\tviewer\n");
    // The options of 'vok ua' may follow its subcommands.
    EXPECT_EQ(Ua("users list --users '" + Users() + "'").out, "");
}

TEST_F(UaCommand, ARejectedCertificateIsTrustedByItsThumbprint) {
    const std::string pki = " --pki '" + Pki() + "'";
    VokOutcome run = Ua("certs show" + pki);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("new one was made"), std::string::npos) << run.out;
    run = Ua("certs show --json" + pki);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto own = nlohmann::json::parse(run.out);
    EXPECT_EQ(own["made_now"], false) << "the certificate was made a second time";
    const std::string thumbprint = own["thumbprint"];
    ASSERT_EQ(thumbprint.size(), 40u) << run.out;
    EXPECT_NE(own["application_uri"].get<std::string>().find(":VOKExplorer"), std::string::npos) << run.out;

    // A client presenting this certificate would have been refused and its
    // certificate kept as rejected.
    fs::create_directories(Pki() + "/rejected/certs");
    fs::copy_file(own["file"].get<std::string>(), Pki() + "/rejected/certs/client [" + thumbprint + "].der");
    const auto listed = [&](const char* group) {
        const VokOutcome list = Ua("certs list --json" + pki);
        EXPECT_EQ(list.status, 0) << list.err;
        const auto groups = nlohmann::json::parse(list.out);
        for (const auto& certificate : groups[group])
            if (certificate["thumbprint"] == thumbprint) return true;
        return false;
    };
    EXPECT_TRUE(listed("rejected"));
    EXPECT_FALSE(listed("trusted"));

    run = Ua("certs trust " + thumbprint + pki);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(listed("trusted"));
    EXPECT_FALSE(listed("rejected"));

    ASSERT_EQ(Ua("certs reject " + thumbprint + pki).status, 0);
    EXPECT_FALSE(listed("trusted"));
    EXPECT_TRUE(listed("rejected"));

    run = Ua("certs trust " + std::string(40, '0') + pki);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(run.err.empty());
}

TEST_F(UaCommand, EndpointsFollowTheSettings) {
    VokOutcome run = Ua("--json endpoints");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto endpoints = nlohmann::json::parse(run.out);
    ASSERT_FALSE(endpoints.empty()) << run.out;
    bool none = false, encrypted = false;
    for (const auto& e : endpoints) {
        EXPECT_NE(e["url"].get<std::string>().find(":4840"), std::string::npos) << e;
        if (e["security_policy"] == "None") none = e["this_machine_only"] == true;
        if (e["security_mode"] == "SignAndEncrypt") encrypted = e["this_machine_only"] == false;
    }
    EXPECT_TRUE(none) << "by default the None endpoint serves this machine only:\n" << run.out;
    EXPECT_TRUE(encrypted) << run.out;
}

}  // namespace
