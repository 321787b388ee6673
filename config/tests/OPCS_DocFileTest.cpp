// The document opening and saving its configuration file.
#include "config/ConfigFile.h"
#include "config/OPCS_Doc.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"

#include "testsupport/EventLogCapture.h"
#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// A configuration that did not load whole: what could not be read exists only
// in the file, so no save may replace the file before it is kept beside it.
class DamagedFile : public DocFile {
protected:
    void SetUp() override {
        DocFile::SetUp();
        if (HasFatalFailure()) return;
        // The project's own file with bytes in its middle overwritten: the second
        // device's name now claims a length far past the end of the file.
        original_ = ReadFileText(file_);
        const std::size_t name = original_.rfind(std::string("\x02") + "D2");
        ASSERT_NE(name, std::string::npos);
        ASSERT_GT(name, original_.size() / 4);
        original_.replace(name, 7, std::string(7, '\xff'));
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << original_;
        ASSERT_EQ(ReadFileText(file_), original_);
    }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
    // The configuration the file on disk holds now, with the errors of reading it.
    static ConfigLoad Reload(const std::string& path, int& devices) {
        Dll<OPCS_Device*> loaded;
        ConfigLoad load = LoadConfigFile(path, loaded);
        devices = loaded.GetCount();
        while (!loaded.IsEmpty()) delete loaded.RemoveNode(loaded.Head());
        return load;
    }

    EventLogCapture log_;
    std::string original_;
};

TEST_F(DamagedFile, TheFirstSaveKeepsTheOriginalBesideTheFileThenSaves) {
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_FALSE(doc_.GetLoadErrors().empty());
    Dll<OPCS_Device*> devices;
    doc_.GetDeviceList(devices);
    ASSERT_EQ(devices.GetCount(), 1);  // the first device is read, the second is lost
    EXPECT_TRUE(doc_.HoldsUnsavedOriginal());

    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    const std::string copy = file_ + ".bad";
    EXPECT_EQ(ReadFileText(copy), original_);
    EXPECT_EQ(log_.CountContaining("Configuration file did not load whole, original kept as: " + copy), 1);
    ASSERT_EQ(ui_.Messages().size(), 1u);
    EXPECT_EQ(ui_.Messages()[0].icon, MessageIcon::Warning);
    EXPECT_NE(ui_.Messages()[0].text.find(kTextOriginalKept), std::string::npos);
    EXPECT_NE(ui_.Messages()[0].text.find(copy), std::string::npos);
    // The file now holds what the program holds, and reads whole.
    int count = 0;
    EXPECT_TRUE(Reload(file_, count).errors.empty());
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(doc_.HoldsUnsavedOriginal());

    // Later saves write what the program holds with no further copy.
    devices.GetAt(0)->SetName("Renamed");
    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    EXPECT_FALSE(Exists(file_ + ".bad1"));
    EXPECT_EQ(ReadFileText(copy), original_);
    EXPECT_EQ(ui_.Messages().size(), 1u);
    EXPECT_NE(ReadFileText(file_).find("Renamed"), std::string::npos);
}

TEST_F(DamagedFile, AnEarlierCopyIsNeverOverwritten) {
    std::ofstream(file_ + ".bad", std::ios::binary) << "an earlier copy";
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    EXPECT_EQ(ReadFileText(file_ + ".bad"), "an earlier copy");
    EXPECT_EQ(ReadFileText(file_ + ".bad1"), original_);
    ASSERT_EQ(ui_.Messages().size(), 1u);
    EXPECT_NE(ui_.Messages()[0].text.find(file_ + ".bad1"), std::string::npos);
}

TEST_F(DamagedFile, ASaveToAnotherFileLeavesTheCopyForTheSaveOverTheOriginal) {
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_TRUE(doc_.OnSaveDocument(dir_.File("other.psf")));
    EXPECT_FALSE(Exists(file_ + ".bad"));
    EXPECT_TRUE(doc_.HoldsUnsavedOriginal());
    doc_.OnCloseDocument();  // the close saves over the document's own file
    EXPECT_EQ(ReadFileText(file_ + ".bad"), original_);
}

TEST_F(DamagedFile, TheOriginalIsKeptHoweverThePathOfTheSaveSpellsIt) {
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    const std::string spelled = dir_.File(".") + "/plant.psf";
    ASSERT_NE(spelled, file_);
    ASSERT_TRUE(doc_.OnSaveDocument(spelled));
    EXPECT_EQ(ReadFileText(spelled + ".bad"), original_);
}

TEST_F(DamagedFile, WhenNoCopyCanBeMadeTheOriginalIsNotOverwritten) {
    // A folder at every name a copy may take: no copy can be made, even by root.
    for (int n = 0; n < kCopyNames; ++n)
        ASSERT_TRUE(std::filesystem::create_directory(file_ + ".bad" + (n == 0 ? "" : std::to_string(n))));
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    const int savesBefore = log_.CountContaining("Config file saved to disk");
    EXPECT_FALSE(doc_.OnSaveDocument(file_));
    EXPECT_EQ(ReadFileText(file_), original_);
    EXPECT_FALSE(Exists(file_ + ".saving"));
    ASSERT_EQ(ui_.Messages().size(), 1u);
    EXPECT_EQ(ui_.Messages()[0].icon, MessageIcon::Error);
    EXPECT_EQ(ui_.Messages()[0].text.rfind(kTextOriginalNotKept, 0), 0u);
    EXPECT_EQ(log_.CountContaining("Failed to keep a copy of the configuration file"), 1);
    EXPECT_EQ(log_.CountContaining("Config file saved to disk"), savesBefore);
    doc_.OnCloseDocument();  // the close's save is refused the same way
    EXPECT_EQ(ReadFileText(file_), original_);

    // Once a name is free again, the next save keeps the original there.
    std::filesystem::remove(file_ + ".bad37");
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    EXPECT_EQ(ReadFileText(file_ + ".bad37"), original_);
}

TEST_F(DamagedFile, ACleanFileSavesWithNoCopy) {
    std::string error;
    Dll<OPCS_Device*> none;
    ASSERT_TRUE(SaveConfigFile(file_, none, error)) << error;
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_TRUE(doc_.GetLoadErrors().empty());
    EXPECT_FALSE(doc_.HoldsUnsavedOriginal());
    ASSERT_TRUE(doc_.OnSaveDocument(file_));
    EXPECT_FALSE(Exists(file_ + ".bad"));
    EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(DamagedFile, GarbageIsKeptBeforeNewWritesTheEmptyConfigurationOverIt) {
    const std::string garbage = "\x01\x02 not a configuration at all";
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << garbage;
    doc_.Hooks().configurationPath = [this] { return file_; };
    ASSERT_TRUE(doc_.OnOpenDocument(file_));
    ASSERT_FALSE(doc_.GetLoadErrors().empty());
    ui_.QueueAnswer(MessageAnswer::Yes);  // "destroy the current configuration?"
    ASSERT_TRUE(doc_.NewConfiguration());
    EXPECT_EQ(ReadFileText(file_ + ".bad"), garbage);
    int count = -1;
    EXPECT_TRUE(Reload(file_, count).errors.empty());
    EXPECT_EQ(count, 0);
}
