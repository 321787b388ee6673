#include "opc/Registration.h"

#include "config/OPCS_Registry.h"
#include "foundation/RegIO.h"
#include "model/ScriptedUiServices.h"
#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

using KeyDump = std::map<std::string, std::map<std::string, std::string>>;

// Every key below the path (relative to it) with its string values; "@" is the default value.
void Dump(const std::string& path, const std::string& relative, KeyDump& out) {
    RegIO reg;
    if (!reg.Open(path, true)) return;
    auto& values = out[relative];
    Dll<RegValue> list;
    reg.ListValues(list, true);
    for (const RegValue& value : list) {
        std::string text;
        value.GetString(text);
        values[value.IsDefaultValue() ? "@" : value.name] = text;
    }
    Dll<std::string> children;
    reg.ListSubKeys(children);
    reg.Close();
    for (const std::string& child : children)
        Dump(path + "\\" + child, relative.empty() ? child : relative + "\\" + child, out);
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.File("registry").c_str()); }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    static KeyDump Classes() {
        KeyDump dump;
        Dump("HKEY_CLASSES_ROOT", "", dump);
        dump.erase("");
        return dump;
    }

    TempDir dir_;
};

constexpr const char* kClsid = "{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}";

TEST_F(RegistrationTest, RegisterWritesExactlyTheServersKeysAndUnregisterTakesThemAway) {
    // Someone else's class, which must survive both.
    RegIO other;
    ASSERT_TRUE(other.Create("HKEY_CLASSES_ROOT\\CLSID\\{00000000-1111-2222-3333-444444444444}"));
    other.WriteString("", "Another server");
    other.Close();

    const std::string module = "/opt/vok/bin/vok-explorer";
    ASSERT_EQ(RegisterServer(module), S_OK);
    const std::string c = std::string("CLSID\\") + kClsid;
    const KeyDump expected = {
        {"AppID", {}},
        {std::string("AppID\\") + kClsid, {{"@", "Vell VOK Explorer"}}},
        {"CLSID", {}},
        {"CLSID\\{00000000-1111-2222-3333-444444444444}", {{"@", "Another server"}}},
        {c, {{"@", "Vell VOK Explorer"}}},
        {c + "\\ProgID", {{"@", "Vell.VOK.1"}}},
        {c + "\\VersionIndependentProgID", {{"@", "Vell.VOK"}}},
        {c + "\\LocalServer32", {{"@", module}, {"ThreadingModel", "both"}}},
        {c + "\\Implemented Categories", {}},
        {c + "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", {}},
        {"Vell.VOK.1", {{"@", "Vell VOK Explorer"}}},
        {"Vell.VOK.1\\CLSID", {{"@", kClsid}}},
        {"Vell.VOK.1\\OPC", {{"Vendor", "Vell Company"}}},
    };
    EXPECT_EQ(Classes(), expected);
    // Registering again changes nothing.
    ASSERT_EQ(RegisterServer(module), S_OK);
    EXPECT_EQ(Classes(), expected);

    ASSERT_EQ(UnregisterServer(module), S_OK);
    const KeyDump left = {
        {"AppID", {}},
        {"CLSID", {}},
        {"CLSID\\{00000000-1111-2222-3333-444444444444}", {{"@", "Another server"}}},
    };
    EXPECT_EQ(Classes(), left);
}

TEST_F(RegistrationTest, RemovingTracesDeletesTheSettingsAndOffersToDeleteTheFiles) {
    if (ProgramSettings().IsLoaded()) GTEST_SKIP() << "the settings of this process are loaded already";
    const std::string config = dir_.File("plant.psf");
    const std::string log = dir_.File("events.txt");
    std::ofstream(config) << "configuration";
    std::ofstream(log) << "log";
    {
        RegIO reg;
        ASSERT_TRUE(reg.Create("HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer\\Settings"));
        reg.WriteString("Last Used File", config);
        reg.WriteString("Event Log File", log);
        reg.Close();
        ASSERT_TRUE(reg.Create("HKEY_CURRENT_USER\\Software\\Vell\\VOK Explorer\\Recent"));
        reg.Close();
        ASSERT_TRUE(reg.Create("HKEY_LOCAL_MACHINE\\Software\\Vell\\VOKSetup"));
        reg.Close();
    }
    ProgramSettings().Load();
    ASSERT_EQ(RegisterServer("/x"), S_OK);
    ScriptedUiServices ui;
    ui.QueueAnswer(MessageAnswer::No);   // keep the configuration
    ui.QueueAnswer(MessageAnswer::Yes);  // delete the event log
    RemoveTraces();

    EXPECT_FALSE(RegIO::KeyExists("HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer"));
    EXPECT_FALSE(RegIO::KeyExists("HKEY_CURRENT_USER\\Software\\Vell\\VOK Explorer"));
    EXPECT_TRUE(RegIO::KeyExists("HKEY_LOCAL_MACHINE\\Software\\Vell\\VOKSetup")) << "another program's key stays";
    EXPECT_FALSE(RegIO::KeyExists(std::string("HKEY_CLASSES_ROOT\\CLSID\\") + kClsid));
    EXPECT_FALSE(RegIO::KeyExists("HKEY_CLASSES_ROOT\\Vell.VOK.1"));
    ASSERT_EQ(ui.Messages().size(), 2u);
    EXPECT_EQ(ui.Messages()[0].text, "Do you wish to delete the application configuration file: " + config);
    EXPECT_EQ(ui.Messages()[0].icon, MessageIcon::Question);
    EXPECT_EQ(ui.Messages()[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(ui.Messages()[1].text, "Do you wish to delete the application event log file: " + log);
    EXPECT_TRUE(std::filesystem::exists(config));
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST(RegistrationScripts, ResourcesAndErrorTexts) {
    EXPECT_NE(FindRegistryScript(IDR_MODULE_SCRIPT), nullptr);
    EXPECT_NE(FindRegistryScript(IDR_CLASS_SCRIPT), nullptr);
    EXPECT_EQ(FindRegistryScript(252), nullptr);
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80070005)), "Access is denied.");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80020009)), "Error 0x80020009");
}

}  // namespace
