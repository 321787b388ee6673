// The document opening and saving its configuration file.
#include "config/ConfigFile.h"
#include "config/OPCS_Doc.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

class Hints : public DocObserver {
public:
    void OnUpdate(int hint, void*) override { seen.push_back(hint); }
    std::vector<int> seen;
};

class DocFile : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.File("registry").c_str());
        Dll<OPCS_Device*> devices;
        for (int port : {1, 2}) {
            auto device = VOKDevice::Create(false);
            device->SetPort(port);
            device->SetName("D" + std::to_string(port));
            devices.AddTail(device.release());
        }
        std::string error;
        ASSERT_TRUE(SaveConfigFile(file_, devices, error)) << error;
        while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
        doc_.AddObserver(&hints_);
    }
    void TearDown() override {
        doc_.RemoveObserver(&hints_);
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    TempDir dir_;
    std::string file_ = dir_.File("plant.psf");
    ScriptedUiServices ui_;
    OPCS_Doc doc_;
    Hints hints_;
};

}  // namespace

TEST_F(DocFile, OpeningReplacesTheConfigurationAndSavingWritesItBack) {
    auto extra = VOKDevice::Create(false);
    ASSERT_TRUE(doc_.AddDevice(extra.release()));
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    Dll<OPCS_Device*> devices;
    doc_.GetDeviceList(devices);
    ASSERT_EQ(devices.GetCount(), 2);
    EXPECT_EQ(devices.GetAt(1)->GetName(), "D2");
    EXPECT_NE(doc_.FindTag("d2.bin sizes.BIN SIZE 01"), nullptr);
    EXPECT_FALSE(doc_.IsModified());
    EXPECT_TRUE(doc_.GetLoadErrors().empty());
    EXPECT_EQ(doc_.GetPathName(), file_);
    ASSERT_FALSE(hints_.seen.empty());
    EXPECT_EQ(hints_.seen.back(), 0);

    const std::string before = ReadFileText(file_);
    devices.GetAt(0)->SetName("Renamed");
    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    EXPECT_FALSE(doc_.IsModified());
    const std::string after = ReadFileText(file_);
    EXPECT_NE(after, before);
    EXPECT_NE(after.find("Renamed"), std::string::npos);
}

TEST_F(DocFile, AFileThatCannotBeReadLeavesTheDocumentAsItWas) {
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    EXPECT_FALSE(doc_.OnOpenDocument(dir_.File("absent.psf")));
    Dll<OPCS_Device*> devices;
    doc_.GetDeviceList(devices);
    EXPECT_EQ(devices.GetCount(), 2);
    ASSERT_EQ(ui_.Messages().size(), 1u);
    EXPECT_EQ(ui_.Messages()[0].text.rfind("Failed to open document.", 0), 0u);

    // A save that cannot be written is reported and keeps the file there was.
    const std::string before = ReadFileText(file_);
    EXPECT_FALSE(doc_.OnSaveDocument(dir_.File("no/such/folder.psf")));
    EXPECT_EQ(ui_.Messages().size(), 2u);
    EXPECT_EQ(ReadFileText(file_), before);
}

TEST_F(DocFile, UnreadableContentGivesAnEmptyConfigurationAndTheError) {
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    const std::string bad = dir_.File("bad.psf");
    std::ofstream(bad, std::ios::binary) << "xy";
    EXPECT_TRUE(doc_.OnOpenDocument(bad));  // the open counts as done
    Dll<OPCS_Device*> devices;
    doc_.GetDeviceList(devices);
    EXPECT_EQ(devices.GetCount(), 0);
    EXPECT_EQ(doc_.GetLoadErrors(), std::vector<std::string>{"Failed to open file: " + bad});
}

TEST_F(DocFile, OpeningIsRefusedWhileClientsAreConnected) {
    doc_.Hooks().clientsConnected = [] { return true; };
    EXPECT_FALSE(doc_.OnOpenDocument(file_));
    ASSERT_EQ(ui_.Messages().size(), 1u);
    EXPECT_EQ(ui_.Messages()[0].text, kTextCannotChangeFiles);
    Dll<OPCS_Device*> devices;
    doc_.GetDeviceList(devices);
    EXPECT_EQ(devices.GetCount(), 0);
}
