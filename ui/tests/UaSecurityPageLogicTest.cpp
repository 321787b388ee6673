// The OPC UA page's security rules without widgets: what the endpoint list,
// the certificate and user lists show, which buttons a selection enables, and
// which typed users and passwords the forms let through.
#include "ui/UaEndpointChoice.h"
#include "ui/UaSecurityPageLogic.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace uapage;

namespace {

ua::UaServerSettings Settings(bool none, bool anonymous, bool sign, std::uint16_t port = 4840,
                              const std::string& address = "0.0.0.0") {
    ua::UaServerSettings settings;
    settings.port = port;
    settings.listenAddress = address;
    settings.noneOnLoopback = none;
    settings.anonymous = anonymous;
    settings.signOnly = sign;
    return settings;
}

std::size_t CountMode(const std::vector<EndpointRow>& rows, const std::string& mode) {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [&](const EndpointRow& row) { return row.mode == mode; }));
}

ua::CertificateInfo Cert(const std::string& subject, const std::string& uri, const std::string& thumbprint) {
    ua::CertificateInfo info;
    info.subject = subject;
    info.applicationUri = uri;
    info.thumbprint = thumbprint;
    return info;
}

constexpr std::time_t kMay2024 = 1714521600;  // 2024-05-01 00:00 UTC
constexpr std::time_t kMay2029 = 1872288000;  // 2029-05-01 00:00 UTC

}  // namespace

TEST(UaSecurityPageLogic, EndpointListFollowsTheSwitchesBeforeOk) {
    const auto standard = EndpointRows(Settings(true, true, false), "plant-pc");
    // The None endpoint is there once, for this machine only; the encrypted ones reach the network.
    ASSERT_EQ(CountMode(standard, "None"), 1u);
    EXPECT_EQ(CountMode(standard, "Sign"), 0u);
    const std::size_t encrypted = CountMode(standard, "SignAndEncrypt");
    EXPECT_GE(encrypted, 3u);
    for (const EndpointRow& row : standard) {
        EXPECT_EQ(row.reach, row.mode == "None" ? "this machine only" : "network") << row.policy;
        EXPECT_EQ(row.userTokens, "anonymous, user name");
        EXPECT_EQ(row.policy == "None", row.mode == "None");
    }

    // Signing only adds one endpoint per encrypting policy; None off removes its row.
    const auto signing = EndpointRows(Settings(false, true, true), "plant-pc");
    EXPECT_EQ(CountMode(signing, "None"), 0u);
    EXPECT_EQ(CountMode(signing, "Sign"), encrypted);
    EXPECT_EQ(CountMode(signing, "SignAndEncrypt"), encrypted);

    // Without anonymous sessions every endpoint asks for a user.
    for (const EndpointRow& row : EndpointRows(Settings(true, false, false), "plant-pc"))
        EXPECT_EQ(row.userTokens, "user name") << row.policy << " " << row.mode;

    // Listening on the loopback address, no endpoint reaches the network.
    for (const std::string address : {"127.0.0.1", "::1", "localhost"})
        for (const EndpointRow& row : EndpointRows(Settings(true, true, true, 4840, address), "plant-pc"))
            EXPECT_EQ(row.reach, "this machine only") << address << " " << row.policy;

    // Port 0: nothing offered, and the list says why.
    EXPECT_TRUE(EndpointRows(Settings(true, true, false, 0), "plant-pc").empty());
    EXPECT_NE(NoEndpointsText(Settings(true, true, false, 0)).find("off"), std::string::npos);
}

TEST(UaSecurityPageLogic, WarnsOnlyWhenNoClientCanSignIn) {
    EXPECT_EQ(LockoutHints(Settings(true, false, false), std::size_t{0}).size(), 1u);
    // A user, anonymous sessions, an unreadable list (unknown) or an endpoint that is off: no warning.
    EXPECT_TRUE(LockoutHints(Settings(true, false, false), std::size_t{1}).empty());
    EXPECT_TRUE(LockoutHints(Settings(true, true, false), std::size_t{0}).empty());
    EXPECT_TRUE(LockoutHints(Settings(true, false, false), std::nullopt).empty());
    EXPECT_TRUE(LockoutHints(Settings(true, false, false, 0), std::size_t{0}).empty());
}

TEST(UaSecurityPageLogic, OwnCertificateTextsAndValidity) {
    EXPECT_EQ(ValidityText(kMay2024, kMay2029, kMay2024 + 86400), "2024-05-01 to 2029-05-01");
    EXPECT_EQ(ValidityText(kMay2024, kMay2029, kMay2029 + 1), "2024-05-01 to 2029-05-01 (expired)");
    EXPECT_EQ(ValidityText(kMay2024, kMay2029, kMay2024 - 1), "2024-05-01 to 2029-05-01 (not valid yet)");

    const OwnCertificateText none = DescribeOwn(std::nullopt, kMay2024);
    EXPECT_FALSE(none.present);
    EXPECT_TRUE(none.thumbprint.empty());
    EXPECT_NE(none.subject.find("first start"), std::string::npos) << none.subject;

    ua::CertificateInfo info = Cert("CN=VOKExplorer@plant-pc", "urn:plant-pc:VOKExplorer", std::string(40, 'A'));
    info.notBefore = kMay2024;
    info.notAfter = kMay2029;
    const OwnCertificateText own = DescribeOwn(info, kMay2029 + 10);
    EXPECT_TRUE(own.present);
    EXPECT_EQ(own.thumbprint, std::string(40, 'A'));
    EXPECT_EQ(own.subject, "CN=VOKExplorer@plant-pc");
    EXPECT_EQ(own.validity, "2024-05-01 to 2029-05-01 (expired)");
}

TEST(UaSecurityPageLogic, CertificateRowsPutTheRejectedFirstAndEnableTheMatchingButton) {
    const auto rows = CertificateRows(
        {Cert("CN=Panel 7", "urn:panel7", "77"), Cert("CN=Historian", "", "11")},
        {Cert("CN=SCADA", "urn:scada", "55"), Cert("CN=Alarm", "urn:alarm", "33")});
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].subject, "CN=Historian");
    EXPECT_EQ(rows[0].applicationUri, "(none)");
    EXPECT_EQ(rows[0].state, "Rejected");
    EXPECT_EQ(rows[1].subject, "CN=Panel 7");
    EXPECT_EQ(rows[1].thumbprint, "77");
    EXPECT_EQ(rows[2].subject, "CN=Alarm");
    EXPECT_EQ(rows[2].state, "Trusted");
    EXPECT_TRUE(rows[3].trusted);

    // Trust for a rejected one, Reject for a trusted one, neither without a selection.
    EXPECT_TRUE(ButtonsFor(rows, 1).trust);
    EXPECT_FALSE(ButtonsFor(rows, 1).reject);
    EXPECT_FALSE(ButtonsFor(rows, 2).trust);
    EXPECT_TRUE(ButtonsFor(rows, 2).reject);
    for (const int none : {-1, 4, 99}) {
        EXPECT_FALSE(ButtonsFor(rows, none).trust) << none;
        EXPECT_FALSE(ButtonsFor(rows, none).reject) << none;
    }
}

TEST(UaSecurityPageLogic, UserRowsAndTheirButtons) {
    const auto rows = UserRows({{"scada", ua::Role::Operator}, {"anna", ua::Role::Engineer}, {"hmi", ua::Role::Viewer}});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, "anna");
    EXPECT_EQ(rows[0].role, "engineer");
    EXPECT_EQ(rows[2].name, "scada");
    EXPECT_EQ(rows[2].role, "operator");
    EXPECT_TRUE(ButtonsFor(rows, 0).remove);
    EXPECT_TRUE(ButtonsFor(rows, 2).password);
    EXPECT_FALSE(ButtonsFor(rows, -1).remove);
    EXPECT_FALSE(ButtonsFor(rows, 3).password);
    EXPECT_FALSE(ButtonsFor(std::vector<UserRow>{}, 0).remove);

    // The form offers every role once, viewer (the least) first.
    const auto roles = RoleChoices();
    ASSERT_EQ(roles.size(), 3u);
    EXPECT_EQ(roles[0].first, ua::Role::Viewer);
    EXPECT_EQ(roles[1].first, ua::Role::Operator);
    EXPECT_EQ(roles[2].first, ua::Role::Engineer);
    EXPECT_NE(RemoveQuestion("scada").find("\"scada\""), std::string::npos);
}

TEST(UaSecurityPageLogic, TheAddUserFormLetsOnlyStorableUsersThrough) {
    const std::vector<UserRow> existing{{"scada", "operator"}};
    const std::string good = "correct horse";
    EXPECT_EQ(NewUserProblem({"hmi", good, good}, existing), "");
    EXPECT_EQ(NewUserProblem({"hmi", "12345678", "12345678"}, existing), "");  // exactly the minimum

    EXPECT_NE(NewUserProblem({"", good, good}, existing), "");
    EXPECT_NE(NewUserProblem({"hmi panel", good, good}, existing), "");
    EXPECT_NE(NewUserProblem({"hmi\tpanel", good, good}, existing), "");
    EXPECT_NE(NewUserProblem({std::string(65, 'u'), good, good}, existing), "");
    EXPECT_EQ(NewUserProblem({std::string(64, 'u'), good, good}, existing), "");
    EXPECT_NE(NewUserProblem({"scada", good, good}, existing).find("already"), std::string::npos);
    EXPECT_NE(NewUserProblem({"hmi", "1234567", "1234567"}, existing).find("at least 8"), std::string::npos);
    EXPECT_NE(NewUserProblem({"hmi", good, good + " "}, existing).find("differ"), std::string::npos);
    EXPECT_NE(NewUserProblem({"hmi", std::string(257, 'p'), std::string(257, 'p')}, existing), "");

    EXPECT_EQ(NewPasswordProblem(good, good), "");
    EXPECT_NE(NewPasswordProblem("short", "short"), "");
    EXPECT_NE(NewPasswordProblem(good, "correct horsE"), "");
}

TEST(UaSecurityPageLogic, TheEndpointChoiceCarriesTheSecuritySwitchesAndAnyChangeRestarts) {
    UaEndpointChoice chosen{4841, "0.0.0.0", false, false, true};
    const ua::UaServerSettings settings = chosen.ServerSettings();
    EXPECT_EQ(settings.port, 4841);
    EXPECT_EQ(settings.listenAddress, "0.0.0.0");
    EXPECT_FALSE(settings.noneOnLoopback);
    EXPECT_FALSE(settings.anonymous);
    EXPECT_TRUE(settings.signOnly);
    // A port the page would refuse must never wrap around to another port.
    EXPECT_EQ(UaEndpointChoice({70000, "0.0.0.0"}).ServerSettings().port, 0);

    const UaEndpointChoice before{4841, "0.0.0.0", false, false, true};
    EXPECT_TRUE(chosen == before);
    chosen.allowAnonymous = true;
    EXPECT_FALSE(chosen == before);
    chosen = before;
    chosen.allowNone = true;
    EXPECT_FALSE(chosen == before);
    chosen = before;
    chosen.offerSign = false;
    EXPECT_FALSE(chosen == before);
}
