// Device names: the check the device dialog makes, the warning for a file that
// repeats a name, and the names discovery gives the counters it finds.
#include "config/ConfigFile.h"
#include "config/DeviceNames.h"
#include "config/OPCS_Doc.h"

#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using devicenames::Check;
using devicenames::Problem;
using devicenames::Repeated;

TEST(DeviceNames, ANameMustBeThereAndNoOtherDevicesIgnoringLetterCase) {
    const std::vector<std::string> others = {"Line A", "4400 VOK 7-03"};
    EXPECT_EQ(Check("Line B", others), Problem::kNone);
    EXPECT_EQ(Check("Line A2", others), Problem::kNone);
    EXPECT_EQ(Check("line a", others), Problem::kTaken);
    EXPECT_EQ(Check("4400 vok 7-03", others), Problem::kTaken);
    // Stored with a space for the item delimiter, "Line.A" would be "Line A".
    EXPECT_EQ(Check("Line.A", others), Problem::kTaken);
    EXPECT_EQ(Check("", others), Problem::kEmpty);
    EXPECT_EQ(Check(" \t ", others), Problem::kEmpty);
    EXPECT_EQ(Check(".", others), Problem::kEmpty) << "a lone delimiter becomes a blank";
    EXPECT_EQ(Check("Line A", {}), Problem::kNone);

    EXPECT_EQ(devicenames::RefusalText(Problem::kNone, "x"), "");
    EXPECT_NE(devicenames::RefusalText(Problem::kTaken, "line a").find("Another device is already named \"line a\""),
              std::string::npos);
    EXPECT_NE(devicenames::RefusalText(Problem::kEmpty, "").find("enter a name"), std::string::npos);
}

TEST(DeviceNames, RepeatedNamesAreListedOnceAsFirstSpelt) {
    EXPECT_TRUE(Repeated({"A", "B", "C"}).empty());
    EXPECT_EQ(Repeated({"Line A", "B", "LINE a", "b", "line A"}), (std::vector<std::string>{"Line A", "B"}));
    EXPECT_EQ(Repeated({"A", "", "B", " "}), (std::vector<std::string>{""})) << "nameless devices, once";
    EXPECT_EQ(Repeated({""}), (std::vector<std::string>{""})) << "one nameless device is one too many";
}

namespace {

class DeviceNamesFile : public ::testing::Test {
protected:
    void SetUp() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", dir_.File("registry").c_str()); }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    // A file as one written before names were checked could hold it.
    void Write(const std::vector<std::pair<int, std::string>>& devices) {
        Dll<OPCS_Device*> list;
        for (const auto& [port, name] : devices) {
            auto device = VOKDevice::Create(false);
            device->SetPort(port);
            device->SetName(name);
            list.AddTail(device.release());
        }
        std::string error;
        ASSERT_TRUE(SaveConfigFile(file_, list, error)) << error;
        while (!list.IsEmpty()) delete list.RemoveNode(list.Head());
    }

    TempDir dir_;
    std::string file_ = dir_.File("plant.psf");
    ScriptedUiServices ui_;
};

}  // namespace

TEST_F(DeviceNamesFile, AFileThatRepeatsANameStillLoadsWithAWarningPerName) {
    Write({{1, "Line A"}, {2, "LINE A"}, {3, "Line B"}, {4, "line a"}});
    EventLogCapture log;
    OPCS_Doc doc;
    ASSERT_TRUE(doc.OnOpenDocument(file_));
    Dll<OPCS_Device*> devices;
    doc.GetDeviceList(devices);
    EXPECT_EQ(devices.GetCount(), 4) << "every device of the file is kept";
    EXPECT_TRUE(doc.GetLoadErrors().empty());
    EXPECT_EQ(log.CountContaining("more than one device named \"Line A\"; item IDs of that name reach only the first"),
              1);
    EXPECT_EQ(log.CountContaining("more than one device named"), 1);
    EXPECT_EQ(log.CountContaining("reach only the first of them: " + file_), 1) << "the warning names the file";
    EXPECT_TRUE(ui_.Messages().empty()) << "a warning in the log, not a box to answer";

    // The same file with names of their own loads without one.
    Write({{1, "Line A"}, {2, "Line B"}});
    ASSERT_TRUE(doc.OnOpenDocument(file_));
    EXPECT_EQ(log.CountContaining("more than one device named"), 1);
}

TEST_F(DeviceNamesFile, DiscoveredCountersGetNamesNoOtherDeviceHas) {
    // A configured device that carries the name a found counter would get.
    auto configured = VOKDevice::Create(false);
    configured->SetPort(9);
    configured->SetName("4400 VOK 7-03");
    auto found = VOKDevice::Create(false);
    found->SetPort(7);
    found->SetAddress(0x83);
    found->SetName(found->GetDefaultName());
    EXPECT_EQ(Check(found->GetName(), {configured->GetName()}), Problem::kNone) << found->GetName();
    auto second = VOKDevice::Create(false);
    second->SetPort(7);
    second->SetAddress(0x83);
    second->SetName(second->GetDefaultName());
    EXPECT_EQ(Check(second->GetName(), {configured->GetName(), found->GetName()}), Problem::kNone)
        << second->GetName();
}
