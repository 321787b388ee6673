#include "ua/UaEndpoint.h"

#include "config/OPCS_Registry.h"
#include "ua/UaServer.h"

#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

ua::UaServerSettings On(std::uint16_t port, const std::string& address) {
    ua::UaServerSettings settings;
    settings.port = port;
    settings.listenAddress = address;
    return settings;
}

TEST(UaEndpoint, OpensOnTheSettingsPortAndSaysWhyWhenThePortIsTaken) {
    // The server's certificate is made in the folder beside these settings.
    TempDir dir;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir.File("registry").c_str());
    OPCS_Registry& settings = ProgramSettings();
    const DWORD oldPort = settings.GetUaPort();
    // Another program on a port: a server of our own, on a free one.
    ua::UaServer other;
    std::string error;
    ASSERT_TRUE(other.Start(On(0, "127.0.0.1"), error)) << error;

    ua::UaEndpoint endpoint;
    settings.SetUaPort(other.Port());
    EXPECT_FALSE(endpoint.Restart(error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_EQ(endpoint.EndpointUrl(), "");
    EXPECT_EQ(endpoint.StateText(), "Not open: " + error);

    // Once the port is free the same endpoint opens there.
    const std::uint16_t port = other.Port();
    other.Stop();
    settings.SetUaPort(port);
    ASSERT_TRUE(endpoint.Restart(error)) << error;
    EXPECT_NE(endpoint.EndpointUrl().find(":" + std::to_string(port)), std::string::npos) << endpoint.EndpointUrl();
    EXPECT_EQ(endpoint.StateText(), "Serving at " + endpoint.EndpointUrl());

    // Port 0 turns it off.
    settings.SetUaPort(0);
    EXPECT_TRUE(endpoint.Restart(error));
    EXPECT_EQ(endpoint.EndpointUrl(), "");
    EXPECT_EQ(endpoint.StateText(), "Off (port 0)");
    settings.SetUaPort(oldPort);
    EXPECT_TRUE(std::filesystem::exists(dir.File("pki/own/private")));
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(UaEndpoint, TheUrlNamesAHostAClientOnThisMachineReaches) {
    EXPECT_EQ(ua::EndpointUrlFor(On(4840, "127.0.0.1"), "plant-pc"), "opc.tcp://localhost:4840");
    EXPECT_EQ(ua::EndpointUrlFor(On(4841, "0.0.0.0"), "plant-pc"), "opc.tcp://plant-pc:4841");
    EXPECT_EQ(ua::EndpointUrlFor(On(4840, "10.1.2.3"), "plant-pc"), "opc.tcp://10.1.2.3:4840");
    EXPECT_EQ(ua::EndpointUrlFor(On(4840, "fe80::1"), "plant-pc"), "opc.tcp://[fe80::1]:4840");
    EXPECT_EQ(ua::EndpointUrlFor(On(0, "127.0.0.1"), "plant-pc"), "");
}

}  // namespace
