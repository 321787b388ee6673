#include "platform/Environment.h"
#include "platform/Registry.h"
#include "platform/SerialNames.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

class SerialNames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.File("registry").c_str()));
        for (const char* name : {"a", "b", "c"}) std::ofstream(Device(name)) << "";
    }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    // Stand-ins for device files: any existing path names a device.
    std::string Device(const std::string& name) const { return dir_.File("tty" + name); }

    static std::string Listed() {
        std::string text;
        for (const auto& entry : serialnames::List()) text += entry.comName + "=" + entry.devicePath + ";";
        return text;
    }

    TempDir dir_;
};

TEST_F(SerialNames, ComNamesAreReadInEveryFormWindowsAccepts) {
    int number = 0;
    for (const auto& [text, expected] : std::initializer_list<std::pair<const char*, int>>{
             {"COM3", 3}, {"com3", 3}, {"Com12", 12}, {"\\\\.\\COM3", 3}, {"\\\\.\\com256", 256}}) {
        EXPECT_TRUE(serialnames::ParseComName(text, &number)) << text;
        EXPECT_EQ(number, expected) << text;
    }
    for (const char* text : {"", "COM", "COM0", "COM03", "COM257", "COM3 ", "XCOM3", "COM-1", "LPT1", "\\\\.\\"})
        EXPECT_FALSE(serialnames::ParseComName(text, &number)) << text;
}

TEST_F(SerialNames, AssignRefusesANameAnotherDeviceCarriesAndMovesADevicesOwnName) {
    std::string error;
    ASSERT_TRUE(serialnames::Assign("com3", Device("a"), &error)) << error;
    EXPECT_EQ(serialnames::DevicePathOf("COM3"), Device("a"));
    EXPECT_EQ(serialnames::DevicePathOf("\\\\.\\com3"), Device("a"));

    EXPECT_FALSE(serialnames::Assign("COM3", Device("b"), &error));
    EXPECT_EQ(error, "COM3 is already assigned to " + Device("a"));
    EXPECT_EQ(serialnames::DevicePathOf("COM3"), Device("a"));

    ASSERT_TRUE(serialnames::Assign("COM3", Device("a"), &error)) << "assigning the same name again is no change";
    ASSERT_TRUE(serialnames::Assign("COM5", Device("a"), &error)) << error;
    EXPECT_EQ(serialnames::DevicePathOf("COM3"), "") << "the device lost its old name";
    EXPECT_EQ(Listed(), "COM5=" + Device("a") + ";");

    // Another path to the same device is the same device.
    std::filesystem::create_symlink(Device("a"), dir_.File("link-to-a"));
    ASSERT_TRUE(serialnames::Assign("COM7", dir_.File("link-to-a"), &error)) << error;
    EXPECT_EQ(Listed(), "COM7=" + dir_.File("link-to-a") + ";");

    EXPECT_FALSE(serialnames::Assign("PORT1", Device("b"), &error));
    EXPECT_FALSE(serialnames::Assign("COM1", "", &error));
}

TEST_F(SerialNames, RemoveDropsANameOnlyWhenItIsListed) {
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM2", Device("a"), &error));
    ASSERT_TRUE(serialnames::Assign("COM4", Device("b"), &error));
    EXPECT_FALSE(serialnames::Remove("COM9"));
    EXPECT_FALSE(serialnames::Remove("not a name"));
    EXPECT_TRUE(serialnames::Remove("com2"));
    EXPECT_FALSE(serialnames::Remove("COM2"));
    EXPECT_EQ(Listed(), "COM4=" + Device("b") + ";");
    ASSERT_TRUE(serialnames::Assign("COM2", Device("c"), &error)) << "a removed name is free again";
}

TEST_F(SerialNames, NewDevicesTakeTheLowestFreeNumbersAndEveryNameStaysWithItsDevice) {
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM2", Device("b"), &error));
    serialnames::RegisterDevices({Device("a"), Device("b"), Device("c")});
    EXPECT_EQ(serialnames::DevicePathOf("COM1"), Device("a"));
    EXPECT_EQ(serialnames::DevicePathOf("COM2"), Device("b"));
    EXPECT_EQ(serialnames::DevicePathOf("COM3"), Device("c"));

    // A vanished device keeps its name and gets it back; a newcomer gets the next free one.
    std::filesystem::remove(Device("a"));
    std::ofstream(Device("d")) << "";
    serialnames::RegisterDevices({Device("b"), Device("c"), Device("d")});
    EXPECT_EQ(serialnames::DevicePathOf("COM1"), Device("a"));
    EXPECT_EQ(serialnames::DevicePathOf("COM4"), Device("d"));
    std::ofstream(Device("a")) << "";
    serialnames::RegisterDevices({Device("a"), Device("b"), Device("c"), Device("d")});
    EXPECT_EQ(serialnames::List().size(), 4u);
    EXPECT_EQ(serialnames::DevicePathOf("COM1"), Device("a"));

    // A device already listed under another path to it is not named twice.
    std::filesystem::create_symlink(Device("c"), dir_.File("link-to-c"));
    serialnames::RegisterDevices({dir_.File("link-to-c")});
    EXPECT_EQ(serialnames::List().size(), 4u);
}

TEST_F(SerialNames, TheMachineScanNamesOnlySerialDevicesAndRegistersThemOnce) {
    for (const auto& device : serialnames::MachineDevices()) {
        EXPECT_EQ(device.rfind("/dev/tty", 0), 0u) << device;
        EXPECT_TRUE(std::filesystem::exists(device)) << device;
    }
    serialnames::RegisterMachineDevices();
    const std::string first = Listed();
    serialnames::RegisterMachineDevices();
    EXPECT_EQ(Listed(), first);
}

TEST_F(SerialNames, NamesAreKeptAsSerialcommValuesOfTheMachineRoot) {
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM6", Device("a"), &error));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, serialnames::kSerialCommKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char data[16] = {};
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, Device("a").c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(data, "COM6");
    EXPECT_EQ(size, 5u);
    RegCloseKey(key);
}

}  // namespace
