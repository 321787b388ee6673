#include "platform/Com.h"
#include "platform/Environment.h"
#include "platform/Registrar.h"
#include "platform/Registry.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kAppIdScript = R"(HKCR
{
    NoRemove AppID
    {
        '{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}' = s 'Vell VOK Explorer'
    }
}
)";

const std::string kServerScript = R"(HKCR
{
    Vell.VOK.1 = s 'Vell VOK Explorer'
    {
        CLSID = s '{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}'
        OPC
        {
            val Vendor = s 'Vell Company'
        }
    }
    NoRemove CLSID
    {
        ForceRemove {5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018} = s 'Vell VOK Explorer'
        {
            ProgID = s 'Vell.VOK.1'
            VersionIndependentProgID = s 'Vell.VOK'
            LocalServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'both'
            }
            'Implemented Categories'
            {
                {63D5F432-CFE4-11D1-B2C8-0060083BA1FB}
            }
        }
    }
}
)";

const std::string kClsidKey = "CLSID\\{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}";
const platform::ScriptReplacements kModule = {{"MODULE", "/opt/vell/bin/vok-explorer"}};

// One line per key ("path") and per value ("path|name=type:data"), in the
// registry's own order, so that two states compare line by line.
void DumpKey(HKEY key, const std::string& path, std::vector<std::string>& lines) {
    lines.push_back(path);
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameLength = sizeof name;
        BYTE data[1024];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::string text = path + "|" + name + "=" + std::to_string(type) + ":";
        if (type == REG_SZ && size > 0 && data[size - 1] == 0) {
            text += "'" + std::string(reinterpret_cast<const char*>(data), size - 1) + "'";
        } else {
            for (DWORD b = 0; b < size; ++b) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", data[b]);
                text += hex;
            }
        }
        lines.push_back(text);
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        DumpKey(sub, path + "\\" + name, lines);
        RegCloseKey(sub);
    }
}

std::vector<std::string> Dump(HKEY root = HKEY_CLASSES_ROOT) {
    std::vector<std::string> lines;
    DumpKey(root, "", lines);
    lines.erase(lines.begin());  // the root itself
    return lines;
}

bool Exists(const std::string& path, HKEY root = HKEY_CLASSES_ROOT) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

HKEY Create(const std::string& path, HKEY root = HKEY_CLASSES_ROOT) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

void SetString(const std::string& path, const char* name, const std::string& text) {
    HKEY key = Create(path);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

HRESULT RunScript(const std::string& script, bool doRegister, const platform::ScriptReplacements& replacements = kModule,
            std::string* error = nullptr) {
    return platform::RunRegistryScript(script, doRegister, replacements, error);
}

class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.Path().c_str()));
        platform::ClearRegistryProblems();
    }
    void TearDown() override {
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
        EXPECT_EQ(platform::OpenRegistryKeyCount(), 0u) << "the registrar closes every key it opens";
    }

    // Keys another program registered, which the scripts must leave alone.
    static void AddForeignEntries() {
        SetString("CLSID\\{11111111-2222-3333-4444-555555555555}", nullptr, "Other Server");
        SetString("CLSID\\{11111111-2222-3333-4444-555555555555}\\LocalServer32", nullptr, "/usr/bin/other");
        SetString("AppID\\{11111111-2222-3333-4444-555555555555}", nullptr, "Other App");
        SetString("Other.Prog.1", nullptr, "Other");
    }

    TempDir dir_;
};

TEST_F(Registrar, TheServerScriptsRegisterExactlyTheirKeysAndValues) {
    std::string error;
    ASSERT_EQ(RunScript(kAppIdScript, true, kModule, &error), S_OK) << error;
    ASSERT_EQ(RunScript(kServerScript, true, kModule, &error), S_OK) << error;
    const std::string c = "\\" + kClsidKey;
    const std::vector<std::string> expected = {
        "\\AppID",
        "\\AppID\\{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}",
        "\\AppID\\{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}|=1:'Vell VOK Explorer'",
        "\\CLSID",
        c,
        c + "|=1:'Vell VOK Explorer'",
        c + "\\Implemented Categories",
        c + "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
        c + "\\LocalServer32",
        c + "\\LocalServer32|=1:'/opt/vell/bin/vok-explorer'",
        c + "\\LocalServer32|ThreadingModel=1:'both'",
        c + "\\ProgID",
        c + "\\ProgID|=1:'Vell.VOK.1'",
        c + "\\VersionIndependentProgID",
        c + "\\VersionIndependentProgID|=1:'Vell.VOK'",
        "\\Vell.VOK.1",
        "\\Vell.VOK.1|=1:'Vell VOK Explorer'",
        "\\Vell.VOK.1\\CLSID",
        "\\Vell.VOK.1\\CLSID|=1:'{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}'",
        "\\Vell.VOK.1\\OPC",
        "\\Vell.VOK.1\\OPC|Vendor=1:'Vell Company'",
    };
    EXPECT_EQ(Dump(), expected);

    // Registering again changes nothing.
    ASSERT_EQ(RunScript(kServerScript, true), S_OK);
    ASSERT_EQ(RunScript(kAppIdScript, true), S_OK);
    EXPECT_EQ(Dump(), expected);
    EXPECT_TRUE(platform::RegistryProblems().empty());
}

TEST_F(Registrar, UnregisteringLeavesWhatOthersRegisteredAndTheSharedKeysEmptyOfOurs) {
    AddForeignEntries();
    const auto before = Dump();
    ASSERT_EQ(RunScript(kAppIdScript, true), S_OK);
    ASSERT_EQ(RunScript(kServerScript, true), S_OK);
    // Someone added to the ForceRemove key: it goes whole.
    SetString(kClsidKey + "\\Extra\\Deeper", "Note", "added later");

    std::string error;
    ASSERT_EQ(RunScript(kServerScript, false, kModule, &error), S_OK) << error;
    ASSERT_EQ(RunScript(kAppIdScript, false, kModule, &error), S_OK) << error;
    EXPECT_EQ(Dump(), before);

    // Unregistering what is not there is no failure.
    EXPECT_EQ(RunScript(kServerScript, false), S_OK);
    EXPECT_EQ(Dump(), before);
}

TEST_F(Registrar, AListedKeyHoldingAForeignSubKeyStaysWithoutTheScriptsValues) {
    ASSERT_EQ(RunScript(kServerScript, true), S_OK);
    SetString("Vell.VOK.1\\OPC\\Foreign", "Mine", "keep me");
    ASSERT_EQ(RunScript(kServerScript, false), S_OK);
    EXPECT_EQ(Dump(), (std::vector<std::string>{
                          "\\CLSID",
                          "\\Vell.VOK.1",
                          "\\Vell.VOK.1\\OPC",
                          "\\Vell.VOK.1\\OPC\\Foreign",
                          "\\Vell.VOK.1\\OPC\\Foreign|Mine=1:'keep me'",
                      }));
}

TEST_F(Registrar, ScriptsThatDoNotParseChangeNothing) {
    AddForeignEntries();
    const auto before = Dump();
    // Each starts with a valid part, which must not be written either.
    const std::string valid = "HKCR { Written = s 'x' }\n";
    const std::vector<std::string> broken = {
        "HKCR { Key { Sub }",                  // a brace not closed
        "HKCR { Key } }",                      // one closed too many
        "HKXX { Key }",                        // an unknown root
        "HKCR { Key = q 'x' }",                // an unknown value type
        "HKCR { Key = s 'never ends }",        // an unterminated string
        "HKCR { Key = s bare }",               // a string without quotes
        "HKCR { Key = s '%UNKNOWN%' }",        // no such replacement
        "HKCR { Key = s '50% done' }",         // a lone '%'
        "HKCR { Key = d 4294967296 }",         // too big for a DWORD
        "HKCR { Key = d 12ab }",               // not a number
        "HKCR { Key = b 0A0 }",                // half a byte
        "HKCR { val Name = s 'x' }",           // a value on a root
        "HKCR { 'A\\B' }",                     // a path where a name belongs
        "HKCR { {63D5F432 }",                  // a GUID without its closing brace
        "HKCR { Key = }",                      // no value
        "HKCR { NoRemove }",                   // a modifier without a name
        "HKCR { Delete Old = s 'x' }",         // a deleted key with a value
        "HKCR { Key & }",                      // a stray character
        "HKCR { %MODULE% }",                   // a replacement with a '/' outside quotes
    };
    for (const auto& script : broken) {
        std::string error;
        EXPECT_EQ(RunScript(valid + script, true, kModule, &error), DISP_E_EXCEPTION) << script;
        EXPECT_NE(error.find("line 2"), std::string::npos) << script << ": " << error;
        EXPECT_EQ(RunScript(valid + script, false, kModule, &error), DISP_E_EXCEPTION) << script;
    }
    EXPECT_EQ(Dump(), before);
}

TEST_F(Registrar, ValueTypesQuotesAndKeywordsInAnyLetterCase) {
    const std::string script = R"(HKEY_CURRENT_USER
{
    noremove Software
    {
        FORCEREMOVE 'Vell Test'
        {
            VAL Quote = S 'It''s ''quoted'''
            val Empty = s ''
            val Decimal = D 42
            val Hex = d 0x1F
            val Max = d '0xFFFFFFFF'
            val Bytes = B 0A0bFF
            val NoBytes = b ''
        }
    }
}
)";
    std::string error;
    ASSERT_EQ(RunScript(script, true, {}, &error), S_OK) << error;
    const std::string k = "\\Software\\Vell Test";
    EXPECT_EQ(Dump(HKEY_CURRENT_USER), (std::vector<std::string>{
                                           "\\Software",
                                           k,
                                           k + "|Quote=1:'It's 'quoted''",
                                           k + "|Empty=1:''",
                                           k + "|Decimal=4:2A000000",
                                           k + "|Hex=4:1F000000",
                                           k + "|Max=4:FFFFFFFF",
                                           k + "|Bytes=3:0A0BFF",
                                           k + "|NoBytes=3:",
                                       }));
    ASSERT_EQ(RunScript(script, false, {}, &error), S_OK) << error;
    EXPECT_EQ(Dump(HKEY_CURRENT_USER), (std::vector<std::string>{"\\Software"}));
}

TEST_F(Registrar, ForceRemoveWipesAnOldSubtreeWhenRegistering) {
    SetString(kClsidKey + "\\InprocServer32", nullptr, "/old/library.so");
    SetString(kClsidKey + "\\LocalServer32\\Old\\Older", "Stale", "yes");
    SetString(kClsidKey, "Stale", "yes");
    ASSERT_EQ(RunScript(kServerScript, true), S_OK);
    EXPECT_FALSE(Exists(kClsidKey + "\\InprocServer32"));
    EXPECT_FALSE(Exists(kClsidKey + "\\LocalServer32\\Old"));
    EXPECT_TRUE(Exists(kClsidKey + "\\LocalServer32"));
    for (const auto& line : Dump()) EXPECT_EQ(line.find("Stale"), std::string::npos) << line;
}

TEST_F(Registrar, DeleteRemovesAKeyWithEverythingUnderItAndUnregisteringLeavesItGone) {
    SetString("Vell.VOK.Old\\CLSID\\Deep", nullptr, "old");
    SetString("Keep", nullptr, "kept");
    const std::string script = "HKCR { Delete Vell.VOK.Old\n Delete 'Never There' }";
    ASSERT_EQ(RunScript(script, true), S_OK);
    EXPECT_FALSE(Exists("Vell.VOK.Old"));
    ASSERT_EQ(RunScript(script, false), S_OK);
    EXPECT_FALSE(Exists("Vell.VOK.Old"));
    EXPECT_EQ(Dump(), (std::vector<std::string>{"\\Keep", "\\Keep|=1:'kept'"}));
}

TEST_F(Registrar, ReplacementsStandForThemselvesInsideAndOutsideQuotes) {
    const std::string script = "HKCR { %PROGID% = s '%MODULE% at 100%%' { val Who = s '%OWNER%' } }";
    const platform::ScriptReplacements replacements = {
        {"PROGID", "Vell.VOK.1"},
        {"MODULE", "/home/o'neil/vok } HKLM { Evil = s 'x"},
        {"OWNER", "%MODULE%"},
    };
    std::string error;
    ASSERT_EQ(RunScript(script, true, replacements, &error), S_OK) << error;
    EXPECT_EQ(Dump(), (std::vector<std::string>{
                          "\\Vell.VOK.1",
                          "\\Vell.VOK.1|=1:'/home/o'neil/vok } HKLM { Evil = s 'x at 100%'",
                          "\\Vell.VOK.1|Who=1:'%MODULE%'",
                      }));
    EXPECT_TRUE(Dump(HKEY_LOCAL_MACHINE).empty()) << "a quote in a value does not end the string";
}

TEST_F(Registrar, ARegistryThatCannotBeWrittenGivesAFailureNotSuccess) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    ASSERT_EQ(RunScript(kServerScript, true), S_OK);
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms(0500));

    std::string error;
    const HRESULT unregistered = RunScript(kServerScript, false, kModule, &error);
    EXPECT_TRUE(FAILED(unregistered));
    EXPECT_NE(unregistered, DISP_E_EXCEPTION);
    EXPECT_EQ(static_cast<DWORD>(unregistered) & 0xFFFF0000u, 0x80070000u) << "a registry error code";
    EXPECT_NE(error.find("{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}"), std::string::npos) << error;

    const HRESULT registered = RunScript(kAppIdScript, true, kModule, &error);
    EXPECT_TRUE(FAILED(registered));
    EXPECT_NE(error.find("AppID"), std::string::npos) << error;

    std::filesystem::permissions(dir_.Path(), std::filesystem::perms(0700));
    EXPECT_TRUE(Exists("Vell.VOK.1")) << "nothing was lost";
}

TEST_F(Registrar, ARegistryFolderThatCannotBeMadeGivesAFailureNotSuccess) {
    // Beneath a plain file no folder can be made, whoever runs the test.
    { std::ofstream(dir_.File("plain")) << "x"; }
    ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.File("plain/registry").c_str()));
    std::string error;
    const HRESULT hr = RunScript(kServerScript, true, kModule, &error);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(static_cast<DWORD>(hr) & 0xFFFF0000u, 0x80070000u) << "a registry error code";
    EXPECT_NE(error.find("Vell.VOK.1"), std::string::npos) << error;
}

}  // namespace
