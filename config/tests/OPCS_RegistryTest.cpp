#include "config/OPCS_Registry.h"

#include "foundation/CLogFile.h"
#include "foundation/RegIO.h"
#include "foundation/VersionInfo.h"
#include "platform/Environment.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class OPCS_RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.Path().c_str())); }
    void TearDown() override {
        OPCS_Registry::SetTextTableSetUp(nullptr);
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    static RegIO& Key(RegIO& reg) {
        EXPECT_TRUE(reg.Create(OPCS_Registry::SettingsKeyPath()));
        return reg;
    }
    static void PutColumnInfo(const std::string& text) {
        RegIO reg;
        ASSERT_TRUE(Key(reg).WriteString("Column Info", text));
    }
    // A Column Info text of the defaults with one record's fields replaced.
    static std::string ColumnText(int record, const std::string& fields) {
        OPCS_Registry settings;
        std::string text = settings.ColumnInfoText();
        std::size_t start = 0;
        for (int i = 0; i < 8 * record; ++i) start = text.find(',', start) + 1;
        std::size_t end = start;
        for (int i = 0; i < 8 && end != std::string::npos; ++i) end = text.find(',', end + (i ? 1 : 0));
        return text.substr(0, start) + fields + (end == std::string::npos ? "" : text.substr(end));
    }

    TempDir dir_;
};

TEST_F(OPCS_RegistryTest, FirstRunCreatesTheKeyAndUsesDefaultPaths) {
    EXPECT_EQ(OPCS_Registry::SettingsKeyPath(), "HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer\\Settings");
    ASSERT_FALSE(RegIO::KeyExists(OPCS_Registry::SettingsKeyPath()));
    int setUps = 0;
    OPCS_Registry::SetTextTableSetUp([&] { ++setUps; });

    OPCS_Registry settings;
    settings.Load();
    EXPECT_TRUE(RegIO::KeyExists(OPCS_Registry::SettingsKeyPath()));
    const std::string folder = versioninfo::ProgramFolder();
    EXPECT_EQ(settings.GetLastUsedFile(), folder + "VOKConfig.psf");
    EXPECT_EQ(settings.GetLastUsedFileName(), "VOKConfig.psf");
    EXPECT_EQ(settings.GetEventLogFile(), folder + "VOK Explorer Event Log.txt");
    EXPECT_EQ(settings.GetPollRate(), 30u);
    EXPECT_EQ(settings.GetEventLogFileSize(), 1048576u);
    EXPECT_FALSE(settings.GetEventLogEnabled());
    EXPECT_TRUE(settings.GetToolbarActive());
    EXPECT_DOUBLE_EQ(settings.GetSplitterPosition(), 0.2);
    EXPECT_EQ(settings.GetItemDelimiter(), '.');
    EXPECT_EQ(setUps, 1);

    settings.SetPollRate(99);
    settings.Load();  // a second load changes nothing and sets nothing up again
    EXPECT_EQ(settings.GetPollRate(), 99u);
    EXPECT_EQ(setUps, 1);
}

TEST_F(OPCS_RegistryTest, SaveThenLoadKeepsEveryMember) {
    const std::string config = dir_.File("plant.psf");
    std::ofstream(config) << "x";
    {
        RegIO reg;
        ASSERT_TRUE(Key(reg).WriteString("Last Used File", config));
        ASSERT_TRUE(reg.WriteString("Tag Icon Bitmap", "/icons/tags.bmp"));
    }
    OPCS_Registry first;
    first.Load();
    EXPECT_EQ(first.GetLastUsedFile(), config);
    EXPECT_EQ(first.GetTagIconBitmap(), "/icons/tags.bmp");
    first.SetPollRate(125);
    first.SetEventLogFileSize(3 * 1048576);
    first.SetEventLogEnabled(true);
    first.SetEventLogFile("/var/log/vok.txt");
    first.SetToolbarActive(false);
    first.SetSplitterPosition(0.35);
    first.SetWindowLocation(RECT{-4, 10, 800, 600});
    OPCS_Registry::Columns columns = first.GetColumns();
    columns[1].width = 123;
    columns[1].ascending = false;
    columns[2].visible = false;
    columns[3].alwaysShown = true;
    first.SetColumns(columns);
    first.SetUaPort(4841);
    first.SetUaListenAddress("10.0.0.5");
    first.SetUaAllowNone(false);
    first.SetUaAllowAnonymous(false);
    first.SetUaOfferSign(true);
    ASSERT_TRUE(first.Save());

    OPCS_Registry second;
    second.Load();
    EXPECT_EQ(second.GetPollRate(), 125u);
    EXPECT_EQ(second.GetEventLogFileSize(), 3u * 1048576u);
    EXPECT_TRUE(second.GetEventLogEnabled());
    EXPECT_EQ(second.GetEventLogFile(), "/var/log/vok.txt");
    EXPECT_FALSE(second.GetToolbarActive());
    EXPECT_DOUBLE_EQ(second.GetSplitterPosition(), 0.35);
    const RECT rect = second.GetWindowLocation();
    EXPECT_EQ(rect.left, -4);
    EXPECT_EQ(rect.top, 10);
    EXPECT_EQ(rect.right, 800);
    EXPECT_EQ(rect.bottom, 600);
    EXPECT_EQ(second.GetLastUsedFile(), config);
    EXPECT_EQ(second.GetTagIconBitmap(), "/icons/tags.bmp");
    EXPECT_EQ(second.GetColumns(), first.GetColumns());
    EXPECT_EQ(second.GetUaPort(), 4841u);
    EXPECT_EQ(second.GetUaListenAddress(), "10.0.0.5");
    EXPECT_FALSE(second.GetUaAllowNone());
    EXPECT_FALSE(second.GetUaAllowAnonymous());
    EXPECT_TRUE(second.GetUaOfferSign());
}

TEST_F(OPCS_RegistryTest, SaveWithoutTheKeyFailsLogsAndWritesNothing) {
    const std::string log = dir_.File("events.txt");
    ASSERT_TRUE(EventLog().Open(log));
    OPCS_Registry settings;
    EXPECT_FALSE(settings.Save());
    EventLog().Close();
    EXPECT_FALSE(RegIO::KeyExists(OPCS_Registry::SettingsKeyPath()));
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("Failed to open HKLM Settings registry key to save data"), std::string::npos)
        << text.str();
}

TEST_F(OPCS_RegistryTest, ValuesOfTheWrongTypeOrAMissingFileKeepTheDefaults) {
    {
        RegIO reg;
        Key(reg);
        ASSERT_TRUE(reg.WriteString("Poll Rate Secs", "60"));
        ASSERT_TRUE(reg.WriteNumber("Last Splitter Wnd Val", 1));
        ASSERT_TRUE(reg.WriteNumber("Event Log File", 7));
        ASSERT_TRUE(reg.WriteString("Event Log Enabled", "1"));
        ASSERT_TRUE(reg.WriteDouble("Last Window Location", 2.0));
        ASSERT_TRUE(reg.WriteNumber("Column Info", 3));
        ASSERT_TRUE(reg.WriteString("Last Used File", dir_.File("gone.psf")));
        ASSERT_TRUE(reg.WriteNumber("OPC UA Port", 70000));
        ASSERT_TRUE(reg.WriteString("OPC UA Listen Address", ""));
        ASSERT_TRUE(reg.WriteString("OPC UA Allow None", "no"));
        ASSERT_TRUE(reg.WriteString("OPC UA Allow Anonymous", "no"));
    }
    OPCS_Registry settings;
    settings.Load();
    // No port and no address to listen on: the endpoint stays on 4840 of every interface.
    EXPECT_EQ(settings.GetUaPort(), 4840u);
    EXPECT_EQ(settings.GetUaListenAddress(), "0.0.0.0");
    EXPECT_TRUE(settings.GetUaAllowNone());
    EXPECT_TRUE(settings.GetUaAllowAnonymous());
    EXPECT_FALSE(settings.GetUaOfferSign());
    EXPECT_EQ(settings.GetPollRate(), 30u);
    EXPECT_DOUBLE_EQ(settings.GetSplitterPosition(), 0.2);
    EXPECT_EQ(settings.GetEventLogFile(), versioninfo::ProgramFolder() + "VOK Explorer Event Log.txt");
    EXPECT_FALSE(settings.GetEventLogEnabled());
    EXPECT_EQ(settings.GetWindowLocation().right, 0);
    EXPECT_EQ(settings.GetLastUsedFile(), versioninfo::ProgramFolder() + "VOKConfig.psf");
    EXPECT_EQ(settings.ColumnInfoText(), OPCS_Registry().ColumnInfoText());
}

TEST_F(OPCS_RegistryTest, SplitterIsClampedIntoItsRange) {
    OPCS_Registry settings;
    settings.SetSplitterPosition(0.95);
    EXPECT_DOUBLE_EQ(settings.GetSplitterPosition(), 0.9);
    settings.SetSplitterPosition(0.05);
    EXPECT_DOUBLE_EQ(settings.GetSplitterPosition(), 0.1);
    {
        RegIO reg;
        ASSERT_TRUE(Key(reg).WriteDouble("Last Splitter Wnd Val", 7.5));
    }
    OPCS_Registry loaded;
    loaded.Load();
    EXPECT_DOUBLE_EQ(loaded.GetSplitterPosition(), 0.9);
}

// ---- Column Info text and validation ----

TEST_F(OPCS_RegistryTest, ColumnInfoTextHasFiftySixFieldsInTheDefaultLayout) {
    OPCS_Registry settings;
    const std::string text = settings.ColumnInfoText();
    EXPECT_EQ(text.substr(0, 29), "Name,0,0,165,F,T,T,T,Value,1,");
    EXPECT_NE(text.find("Id,5,5,20,T,T,F,T,Description,6,6,5000,F,T,T,T"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), ','), 55);
    EXPECT_NE(text.back(), ',');
}

TEST_F(OPCS_RegistryTest, ColumnInfoIsParsedWithLooseNumbers) {
    PutColumnInfo(ColumnText(1, "Wert,  1,+1,77xyz,T,F,T,t"));
    OPCS_Registry settings;
    settings.Load();
    const ColumnInfo& value = settings.GetColumns()[1];
    EXPECT_EQ(value.name, "Wert");
    EXPECT_EQ(value.width, 77u);
    EXPECT_FALSE(value.ascending);
    EXPECT_FALSE(value.alwaysShown) << "only an upper-case T is true";
    EXPECT_TRUE(value.sortColumn);
}

TEST_F(OPCS_RegistryTest, ColumnInfoWithoutExactlyFiftySixFieldsIsIgnored) {
    const std::string good = ColumnText(0, "Tag,0,0,300,F,T,T,T");
    const std::string defaults = OPCS_Registry().ColumnInfoText();
    for (const std::string& text : {good.substr(0, good.rfind(',')), good + ",X", ColumnText(0, "Ta,g,0,0,300,F,T,T,T")}) {
        PutColumnInfo(text);
        OPCS_Registry settings;
        settings.Load();
        EXPECT_EQ(settings.ColumnInfoText(), defaults) << text;
    }
    PutColumnInfo(good);
    OPCS_Registry settings;
    settings.Load();
    EXPECT_EQ(settings.GetColumns()[0].width, 300u);
}

TEST_F(OPCS_RegistryTest, ColumnInfoWithAnUnknownOrRepeatedColumnIdIsIgnored) {
    const std::string defaults = OPCS_Registry().ColumnInfoText();
    for (const std::string& text : {ColumnText(2, "Quality,7,2,65,F,T,T,F"), ColumnText(2, "Quality,1,2,65,F,T,T,F")}) {
        PutColumnInfo(text);
        OPCS_Registry settings;
        settings.Load();
        EXPECT_EQ(settings.ColumnInfoText(), defaults) << text;
    }
}

TEST_F(OPCS_RegistryTest, RepeatedOrOutOfRangeOrdersAreResetToPositions) {
    for (const std::string& text : {ColumnText(6, "Description,6,5,5000,F,T,T,T"), ColumnText(3, "Last Updated,3,7,150,F,T,T,F")}) {
        PutColumnInfo(text);
        OPCS_Registry settings;
        settings.Load();
        const OPCS_Registry::Columns& columns = settings.GetColumns();
        for (UINT i = 0; i < 7; ++i) {
            EXPECT_EQ(columns[i].order, i) << text;
            EXPECT_EQ(columns[i].columnId, i) << text;
        }
    }
}

TEST_F(OPCS_RegistryTest, ColumnsAreSortedByOrderAndEmptyNamesTakeTheDefaultOfThePosition) {
    OPCS_Registry settings;
    OPCS_Registry::Columns columns = settings.GetColumns();
    std::swap(columns[0].order, columns[6].order);
    columns[3].name.clear();
    settings.SetColumns(columns);
    const OPCS_Registry::Columns& result = settings.GetColumns();
    EXPECT_EQ(result[0].columnId, 6u);
    EXPECT_EQ(result[6].columnId, 0u);
    EXPECT_EQ(result[3].name, "Last Updated");
}

TEST_F(OPCS_RegistryTest, AllHiddenColumnsAreShownAgainAtDefaultWidths) {
    OPCS_Registry settings;
    OPCS_Registry::Columns columns = settings.GetColumns();
    for (ColumnInfo& c : columns) c.visible = false;
    columns[2].width = 400;
    settings.SetColumns(columns);
    for (const ColumnInfo& c : settings.GetColumns()) {
        EXPECT_TRUE(c.visible);
        EXPECT_EQ(c.width, OPCS_Registry::DefaultColumns()[c.columnId].width);
    }
}

TEST_F(OPCS_RegistryTest, NarrowVisibleColumnsCountAsHidden) {
    OPCS_Registry settings;
    OPCS_Registry::Columns columns = settings.GetColumns();
    for (ColumnInfo& c : columns) c.width = 10;
    settings.SetColumns(columns);
    EXPECT_EQ(settings.GetColumns()[0].width, 165u);
}

TEST_F(OPCS_RegistryTest, TheSortFlagMovesToOneVisibleColumn) {
    OPCS_Registry settings;
    int sorted = 0;
    for (const ColumnInfo& c : settings.GetColumns()) sorted += c.sortColumn;
    EXPECT_EQ(sorted, 1);
    EXPECT_TRUE(settings.GetColumns()[0].sortColumn) << "the default flag on hidden Id moves to Name";

    OPCS_Registry::Columns columns = settings.GetColumns();
    columns[0].visible = false;
    columns[4].sortColumn = true;
    columns[2].sortColumn = true;
    settings.SetColumns(columns);
    sorted = 0;
    for (const ColumnInfo& c : settings.GetColumns()) sorted += c.sortColumn;
    EXPECT_EQ(sorted, 1);
    EXPECT_TRUE(settings.GetColumns()[2].sortColumn) << "the lowest order among the flagged visible columns";

    settings.ResetColumns();
    EXPECT_EQ(settings.ColumnInfoText(), OPCS_Registry().ColumnInfoText());
}

}  // namespace
