// The supported-models key, the tree texts and the window texts.
#include "SetupTestSupport.h"
#include "setup/SensorTree.h"
#include "setup/SetupTexts.h"

using SupportedModelsTest = SetupLineTest;

TEST_F(SupportedModelsTest, FreshMachineListsMca) {
    // SetUp made the key; MCA is listed as a DWORD.
    EXPECT_TRUE(supportedmodels::IsSupported("MCA"));
    EXPECT_TRUE(supportedmodels::IsSupported("  MCA\r\n"));
    EXPECT_TRUE(supportedmodels::IsSupported("mca"));  // registry names ignore case
    EXPECT_FALSE(supportedmodels::IsSupported("M CA"));
    EXPECT_FALSE(supportedmodels::IsSupported(""));
    EXPECT_FALSE(supportedmodels::IsSupported(" \r\n"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, supportedmodels::kKey, 0, KEY_READ, &key),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    DWORD type = 0, value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "MCA", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    RegCloseKey(key);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, 1u);
}

TEST_F(SupportedModelsTest, ExistingKeyIsLeftAsItIs) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, supportedmodels::kKey, 0, KEY_ALL_ACCESS, &key),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    ASSERT_EQ(RegDeleteValueA(key, "MCA"), static_cast<LSTATUS>(ERROR_SUCCESS));
    RegCloseKey(key);
    SetModelValue("OPC", REG_DWORD, std::string("\x01\0\0\0", 4));
    ASSERT_TRUE(supportedmodels::EnsureDefaults());
    EXPECT_FALSE(supportedmodels::IsSupported("MCA"));
    EXPECT_TRUE(supportedmodels::IsSupported("OPC"));
}

TEST(SensorTree, TextsAndGrouping) {
    CSensor sensor;
    sensor.port = 3;
    sensor.address = 5;
    sensor.model = "MCA";
    EXPECT_EQ(sensortree::PortItemText(3), "Comport 3");
    EXPECT_EQ(sensortree::SensorItemText(sensor), "Sensor:05   Model: MCA");
    sensor.address = 17;
    EXPECT_EQ(sensortree::SensorItemText(sensor), "Sensor:17   Model: MCA");

    std::vector<CSensor> found(4);
    found[0].port = 7;
    found[1].port = 2;
    found[2].port = 7;
    found[3].port = 2;
    const auto tree = sensortree::Build(found);
    EXPECT_EQ(tree, (std::vector<sensortree::PortItem>{{7, {0, 2}}, {2, {1, 3}}}));
    EXPECT_TRUE(sensortree::Build({}).empty());
}

TEST(SetupTexts, CaptionsAndPanes) {
    EXPECT_EQ(setuptexts::OpenFailedCaption(4), "Unable to open serial port 4");
    EXPECT_EQ(setuptexts::ComportPane(4), "Comport: 4");
    EXPECT_EQ(setuptexts::DevicePane(31), "Device: 31");
}
