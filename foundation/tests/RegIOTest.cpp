#include "foundation/RegIO.h"

#include "platform/Environment.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Items(const Dll<std::string>& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.GetCount(); ++i) items.push_back(list.GetAt(i));
    return items;
}

class RegIOTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.Path().c_str())); }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    static void Put(const std::string& path, const std::string& name, const std::string& text) {
        RegIO reg;
        ASSERT_TRUE(reg.Create(path)) << path;
        ASSERT_TRUE(reg.WriteString(name, text));
    }

    TempDir dir_;
};

TEST(RegValueTest, ConstructorsSetTypeSizeAndBytes) {
    const RegValue text("Name", "abc");
    EXPECT_EQ(text.type, REG_SZ);
    EXPECT_EQ(text.size, 4u);
    EXPECT_EQ(text.data[3], 0);
    const RegValue number("N", 10);
    EXPECT_EQ(number.type, REG_DWORD);
    EXPECT_EQ(number.size, 4u);
    EXPECT_EQ(number.data[0], 10);
    const RegValue flag("B", true);
    DWORD bits = 0;
    ASSERT_TRUE(flag.GetNumber(bits));
    EXPECT_EQ(bits, 1u);
    const RegValue real("D", 2.5);
    EXPECT_EQ(real.type, REG_BINARY);
    EXPECT_EQ(real.size, 8u);
    const RegValue rect("R", RECT{1, 2, 3, 4});
    EXPECT_EQ(rect.size, 16u);
    const RegValue empty("E");
    EXPECT_EQ(empty.type, 0u);
    EXPECT_EQ(empty.size, 0u);

    const RegValue longText("L", std::string(3000, 'x'));
    EXPECT_EQ(longText.size, RegValue::kMaxDataSize) << "2549 characters and the zero";
    EXPECT_EQ(longText.data[2549], 0);
}

TEST(RegValueTest, TypedGettersNeedTheirTypeAndEnoughBytes) {
    std::string text;
    DWORD number = 0;
    bool flag = false;
    double real = 0;
    RECT rect{};
    const RegValue s("S", "hello"), n("N", 7u), d("D", 1.25), r("R", RECT{-1, 2, 300, 4000});
    EXPECT_TRUE(s.GetString(text));
    EXPECT_EQ(text, "hello");
    EXPECT_FALSE(s.GetNumber(number));
    EXPECT_FALSE(n.GetString(text));
    EXPECT_TRUE(n.GetBool(flag));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(n.GetDouble(real));
    EXPECT_TRUE(d.GetDouble(real));
    EXPECT_EQ(real, 1.25);
    EXPECT_FALSE(d.GetRect(rect)) << "8 bytes are no rectangle";
    EXPECT_TRUE(r.GetRect(rect));
    EXPECT_EQ(rect.left, -1);
    EXPECT_EQ(rect.bottom, 4000);
    EXPECT_FALSE(r.GetBool(flag));
}

TEST(RegValueTest, EqualityIgnoresNameCaseAndOrderingDoesNot) {
    EXPECT_EQ(RegValue("Name", "x"), RegValue("NAME", "x"));
    EXPECT_NE(RegValue("Name", "x"), RegValue("Name", "y"));
    EXPECT_EQ(RegValue("Name", 1), RegValue("Name", true)) << "a bool is the DWORD 1";
    EXPECT_NE(RegValue("Name", 2), RegValue("Name", true));
    EXPECT_NE(RegValue("Name", "1"), RegValue("Name", 1));
    RegValue padded("Name", "x");
    padded.data[100] = 9;  // beyond the meaningful bytes
    EXPECT_EQ(padded, RegValue("Name", "x"));
    EXPECT_TRUE(RegValue("B", 0) < RegValue("a", 0)) << "case-sensitive: 'B' sorts before 'a'";
    EXPECT_FALSE(RegValue("a", 0) < RegValue("B", 0));
}

TEST_F(RegIOTest, RootNamesAreComparedExactlyAfterBlanksAndTrailingBackslashesGo) {
    std::string sub;
    EXPECT_EQ(RegIO::RootKeyOf("  HKEY_LOCAL_MACHINE\\Software\\X\\  ", &sub), HKEY_LOCAL_MACHINE);
    EXPECT_EQ(sub, "Software\\X");
    EXPECT_EQ(RegIO::RootKeyOf("HKEY_Local_Machine\\Software", &sub), HKEY_CURRENT_USER);
    EXPECT_EQ(RegIO::RootKeyOf("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT);
    EXPECT_EQ(RegIO::RootKeyOf("HKEY_DYN_DATA\\"), HKEY_DYN_DATA);
    EXPECT_EQ(RegIO::RootKeyName(HKEY_CURRENT_CONFIG), "HKEY_CURRENT_CONFIG");
    EXPECT_EQ(RegIO::RootKeyName(HKEY_PERFORMANCE_DATA), "HKEY_PERFORMANCE_DATA");

    Put("HKEY_LOCAL_MACHINE\\Software\\Vell", "Where", "machine");
    RegIO reg;
    ASSERT_TRUE(reg.Open("HKEY_LOCAL_MACHINE\\Software\\Vell \\ ", true));
    std::string where;
    EXPECT_TRUE(reg.ReadString("Where", where));
    EXPECT_EQ(where, "machine");

    Put("HKEY_Local_Machine\\Software\\Vell", "Where", "user");
    ASSERT_TRUE(reg.Open("HKEY_CURRENT_USER\\Software\\Vell", true));
    EXPECT_TRUE(reg.ReadString("Where", where));
    EXPECT_EQ(where, "user") << "an unknown root name means HKEY_CURRENT_USER";
    EXPECT_EQ(reg.Path(), "HKEY_CURRENT_USER\\Software\\Vell");
}

TEST_F(RegIOTest, TheValueNamedDefaultIsTheUnnamedValue) {
    RegIO reg;
    ASSERT_TRUE(reg.Create("HKEY_CURRENT_USER\\Software\\D"));
    ASSERT_TRUE(reg.WriteString("", "unnamed"));
    RegValue value("default");
    ASSERT_TRUE(reg.ReadValue(value));
    std::string text;
    EXPECT_TRUE(value.GetString(text));
    EXPECT_EQ(text, "unnamed");
    EXPECT_EQ(value.name, "default") << "the record keeps its name";
    ASSERT_TRUE(reg.WriteNumber("DEFAULT", 5));
    DWORD number = 0;
    EXPECT_TRUE(reg.ReadNumber("", number));
    EXPECT_EQ(number, 5u);
}

TEST_F(RegIOTest, TypedValuesRoundTripAndAMissingOrOverlongValueLeavesTheRecordAlone) {
    RegIO reg;
    ASSERT_TRUE(reg.Create("HKEY_CURRENT_USER\\Software\\Typed"));
    ASSERT_TRUE(reg.WriteString("S", "text"));
    ASSERT_TRUE(reg.WriteNumber("N", 0xDEADBEEF));
    ASSERT_TRUE(reg.WriteBool("B", true));
    ASSERT_TRUE(reg.WriteDouble("D", -0.125));
    ASSERT_TRUE(reg.WriteRect("R", RECT{10, 20, 30, 40}));
    std::string s;
    DWORD n = 0;
    bool b = false;
    double d = 0;
    RECT r{};
    EXPECT_TRUE(reg.ReadString("s", s));
    EXPECT_TRUE(reg.ReadNumber("n", n));
    EXPECT_TRUE(reg.ReadBool("b", b));
    EXPECT_TRUE(reg.ReadDouble("d", d));
    EXPECT_TRUE(reg.ReadRect("r", r));
    EXPECT_EQ(s, "text");
    EXPECT_EQ(n, 0xDEADBEEF);
    EXPECT_TRUE(b);
    EXPECT_EQ(d, -0.125);
    EXPECT_EQ(r.right, 30);
    EXPECT_FALSE(reg.ReadNumber("S", n)) << "a string is no number";

    RegValue record("Missing", "keep me");
    EXPECT_FALSE(reg.ReadValue(record));
    EXPECT_EQ(record, RegValue("Missing", "keep me"));

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Typed", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const std::vector<BYTE> fits(2550, 1), tooLong(2551, 2);
    RegSetValueExA(key, "Fits", 0, REG_BINARY, fits.data(), 2550);
    RegSetValueExA(key, "TooLong", 0, REG_BINARY, tooLong.data(), 2551);
    RegCloseKey(key);
    RegValue big("Fits");
    EXPECT_TRUE(reg.ReadValue(big));
    EXPECT_EQ(big.size, 2550u);
    RegValue over("TooLong", "keep me");
    EXPECT_FALSE(reg.ReadValue(over));
    EXPECT_EQ(over, RegValue("TooLong", "keep me"));
    EXPECT_FALSE(reg.LastErrorText().empty());

    Dll<RegValue> values;
    ASSERT_TRUE(reg.ListValues(values, true));
    for (int i = 0; i < values.GetCount(); ++i) EXPECT_NE(values.GetAt(i).name, "TooLong");
    EXPECT_EQ(values.GetCount(), 6);
    ASSERT_TRUE(reg.ListValues(values, false));
    EXPECT_EQ(values.GetCount(), 7) << "names alone fit whatever the data";
}

TEST_F(RegIOTest, AReadOnlyOpenCannotWriteAndAFullOneCan) {
    Put("HKEY_CURRENT_USER\\Software\\Ro", "X", "1");
    RegIO reg;
    ASSERT_TRUE(reg.Open("HKEY_CURRENT_USER\\Software\\Ro", true));
    EXPECT_FALSE(reg.WriteString("X", "2"));
    EXPECT_EQ(reg.LastError(), DWORD(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(reg.Open("HKEY_CURRENT_USER\\Software\\Ro", false));
    EXPECT_TRUE(reg.WriteString("X", "2"));
    EXPECT_FALSE(reg.Open("HKEY_CURRENT_USER\\Software\\Missing", false));
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_FALSE(reg.WriteString("X", "3"));
    EXPECT_TRUE(RegIO::KeyExists("HKEY_CURRENT_USER\\Software\\Ro"));
    EXPECT_FALSE(RegIO::KeyExists("HKEY_CURRENT_USER\\Software\\Missing"));
}

TEST_F(RegIOTest, SubKeysAreEnteredAndLeftAsAStackAndEveryHandleIsClosed) {
    const std::size_t before = platform::OpenRegistryKeyCount();
    Put("HKEY_CURRENT_USER\\Software\\S\\A\\B", "Deep", "yes");
    {
        RegIO reg;
        ASSERT_TRUE(reg.Open("HKEY_CURRENT_USER\\Software\\S", false));
        EXPECT_FALSE(reg.LeaveSubKey());
        ASSERT_TRUE(reg.EnterSubKey("A", true));
        ASSERT_TRUE(reg.EnterSubKey("b", true));
        EXPECT_EQ(reg.Path(), "HKEY_CURRENT_USER\\Software\\S\\A\\b");
        std::string deep;
        EXPECT_TRUE(reg.ReadString("Deep", deep));
        EXPECT_FALSE(reg.WriteString("Deep", "no")) << "entered read only";
        EXPECT_FALSE(reg.EnterSubKey("Missing", true));
        EXPECT_TRUE(reg.LeaveSubKey());
        EXPECT_TRUE(reg.LeaveSubKey());
        EXPECT_EQ(reg.Path(), "HKEY_CURRENT_USER\\Software\\S");
        EXPECT_TRUE(reg.WriteString("Top", "ok"));
        ASSERT_TRUE(reg.EnterSubKey("A", false));
        ASSERT_TRUE(reg.EnterSubKey("B", false));
        EXPECT_GT(platform::OpenRegistryKeyCount(), before);
    }
    EXPECT_EQ(platform::OpenRegistryKeyCount(), before) << "destroying a RegIO closes every key it holds";
}

TEST_F(RegIOTest, ListingsFindingAndDeletingWholeTrees) {
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0000", "PORTNAME", "COM1");
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0001", "PORTNAME", "XCOM3");
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root\\Printer", "PORTNAME", "LPT1");
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root", "Other", "x");
    Put("HKEY_LOCAL_MACHINE\\Enum", "PORTNAME", "COM9");

    RegIO reg;
    ASSERT_TRUE(reg.Open("HKEY_LOCAL_MACHINE\\Enum\\Root", true));
    Dll<std::string> names("stale");
    names.AddTail("stale");
    ASSERT_TRUE(reg.ListSubKeys(names));
    EXPECT_EQ(Items(names), (std::vector<std::string>{"Ports", "Printer"}));

    ASSERT_TRUE(reg.Open("HKEY_LOCAL_MACHINE\\Enum", true));
    Dll<std::string> paths;
    ASSERT_TRUE(reg.FindKeysWithValue("portname", paths));
    EXPECT_EQ(Items(paths), (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0000",
                                                      "HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0001",
                                                      "HKEY_LOCAL_MACHINE\\Enum\\Root\\Printer"}))
        << "the open key itself is not searched";

    ASSERT_TRUE(reg.Open("HKEY_LOCAL_MACHINE", false));
    EXPECT_FALSE(reg.DeleteKey("Missing"));
    ASSERT_TRUE(reg.DeleteKey("enum"));
    EXPECT_FALSE(RegIO::KeyExists("HKEY_LOCAL_MACHINE\\Enum"));
    EXPECT_FALSE(reg.DeleteKey(""));
}

class SerialPortList : public RegIOTest {};

TEST_F(SerialPortList, OnTheNtFamilySerialcommValuesBeginningWithComAreListedInRegistryOrder) {
    {
        RegIO reg;
        ASSERT_TRUE(reg.Create("HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm"));
        ASSERT_TRUE(reg.WriteString("/dev/ttyUSB1", "COM10"));
        ASSERT_TRUE(reg.WriteString("/dev/ttyS0", "COM1"));
        ASSERT_TRUE(reg.WriteString("/dev/other", "XCOM3"));
        ASSERT_TRUE(reg.WriteNumber("/dev/number", 3));
        ASSERT_TRUE(reg.WriteString("/dev/again", "COM1"));
    }
    Dll<std::string> ports;
    ports.AddTail("stale");
    ASSERT_TRUE(RegIO::ListSerialPorts(ports));
    EXPECT_EQ(Items(ports), (std::vector<std::string>{"COM10", "COM1", "COM1"}))
        << "neither sorted nor de-duplicated";
}

TEST_F(SerialPortList, OnWindows9xEveryPortnameContainingComIsListed) {
    Put("HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0D", "PORTNAME", "COM1");
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0001", "PORTNAME", "XCOM3");
    Put("HKEY_LOCAL_MACHINE\\Enum\\Root\\Printer\\0000", "PORTNAME", "LPT1");
    Put("HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm", "/dev/ttyS0", "COM7");
    Dll<std::string> ports;
    ASSERT_TRUE(RegIO::ListSerialPorts(ports, RegIO::OsFamily::Windows9x));
    EXPECT_EQ(Items(ports), (std::vector<std::string>{"COM1", "XCOM3"}));
    ASSERT_TRUE(RegIO::ListSerialPorts(ports, RegIO::OsFamily::WindowsNT));
    EXPECT_EQ(Items(ports), (std::vector<std::string>{"COM7"}));
}

TEST_F(SerialPortList, AKeyThatCannotBeOpenedGivesFalseAndAnEmptyList) {
    Dll<std::string> ports;
    ports.AddTail("stale");
    EXPECT_FALSE(RegIO::ListSerialPorts(ports));
    EXPECT_EQ(ports.GetCount(), 0);
    ports.AddTail("stale");
    EXPECT_FALSE(RegIO::ListSerialPorts(ports, RegIO::OsFamily::Windows9x));
    EXPECT_EQ(ports.GetCount(), 0);
}

}  // namespace
