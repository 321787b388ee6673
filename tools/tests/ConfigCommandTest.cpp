// vok config as a user runs it: the built program in processes of its own,
// on files in a folder of the test's.
#include "config/ConfigFile.h"
#include "foundation/Archive.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include "VokProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using nlohmann::json;
using Outcome = VokOutcome;

class ConfigCommand : public VokProcessTest {
protected:
    // Runs "vok config <arguments>", under the given time limit.
    Outcome Config(const std::string& arguments, const std::string& limit = "timeout -k 5 120") {
        return Vok("config " + arguments, limit);
    }
    json Dump(const std::string& file, int expectedStatus) {
        const Outcome run = Config("dump '" + file + "'");
        EXPECT_EQ(run.status, expectedStatus) << run.err;
        return json::parse(run.out);
    }
    std::string Path(const char* name) const { return dir_.File(name); }
};

const json* FindNamed(const json& list, const std::string& name) {
    for (const json& item : list)
        if (item["name"] == name) return &item;
    return nullptr;
}

}  // namespace

TEST_F(ConfigCommand, ANewConfigurationIsDumpedWithItsDevicesAndTheirStandardTree) {
    const Outcome made = Config("new '" + Path("a.psf") + "' --device COM5:3 --device COM5:3 --device com12:63");
    ASSERT_EQ(made.status, 0) << made.err;
    const json d = Dump(Path("a.psf"), 0);
    EXPECT_EQ(d["document_version"], 1.6);
    EXPECT_TRUE(d["errors"].empty());
    ASSERT_EQ(d["devices"].size(), 3u);
    EXPECT_EQ(d["devices"][0]["name"], "4400 VOK 5-03");
    EXPECT_EQ(d["devices"][1]["name"], "4400 VOK 5-03 v2");
    EXPECT_EQ(d["devices"][2]["name"], "4400 VOK 12-63");
    EXPECT_EQ(d["devices"][2]["bus_address"], 128 + 63);
    EXPECT_EQ(d["devices"][2]["port_number"], 12);
    EXPECT_EQ(d["devices"][0]["simulated_data"], true);
    const json& groups = d["devices"][0]["groups"];
    ASSERT_EQ(groups.size(), 6u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(groups[k]["kind"], k);
    ASSERT_NE(FindNamed(groups, "Bin Sizes"), nullptr);
    const json& bins = (*FindNamed(groups, "Bin Sizes"))["tags"];
    ASSERT_EQ(bins.size(), d["devices"][0]["bin_sizes"].size());
    EXPECT_EQ(bins[0]["value"]["type"], 5);
    EXPECT_EQ(bins[0]["value"]["value"], d["devices"][0]["bin_sizes"][0]);
    EXPECT_EQ(bins[0]["slot_number"], 2);
    ASSERT_NE(FindNamed(d["devices"][0]["tags"], "Counter In Service"), nullptr);
}

TEST_F(ConfigCommand, EveryFieldWrittenByTheProgramIsDumpedAsHeld) {
    Dll<OPCS_Device*> devices;
    auto device = VOKDevice::Create(false);
    device->SetName("Line 3");
    device->SetPort(7);
    device->SetAddress(0x82);
    device->SetSampleInterval(120, false);
    Dll<double> sizes;
    for (double s : {0.3, 0.5, 0.7}) sizes.AddTail(s);
    device->SetBinSizes(sizes, false);
    device->SetFlow(2.5);
    Dll<VOK_CalPt> points;
    points.AddTail({0.3, 150});
    device->SetCalPoints(points);
    device->SetUpdateInterval(15);
    auto* group = new VOKTagGroup;
    group->SetName("Operator");
    ASSERT_TRUE(device->AddGroup(group));
    auto* tag = new VOKTag;
    tag->SetName("Setpoint");
    tag->SetDescription(std::string(300, 'w'));
    tag->SetAccessRights(1);
    tag->SetVolatile(false);  // a volatile value is emptied when the loaded device goes in service
    tag->SetCanonicalType(VT_BOOL);
    tag->SetScalingEnabled(true);
    tag->SetScaling(2, 0.5);
    ASSERT_TRUE(tag->SetDeadBand(7.5));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    tag->SetValueGood(v);
    ASSERT_TRUE(group->AddTag(tag));
    devices.AddTail(device.release());
    std::string error;
    ASSERT_TRUE(SaveConfigFile(Path("b.psf"), devices, error)) << error;
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());

    const json d = Dump(Path("b.psf"), 0);
    ASSERT_EQ(d["devices"].size(), 1u);
    const json& dev = d["devices"][0];
    EXPECT_EQ(dev["name"], "Line 3");
    EXPECT_EQ(dev["port_number"], 7);
    EXPECT_EQ(dev["bus_address"], 0x82);
    EXPECT_EQ(dev["sample_interval"], 120);
    EXPECT_EQ(dev["update_interval"], 15);
    EXPECT_EQ(dev["flow"], 2.5);
    EXPECT_EQ(dev["bin_sizes"], json::array({0.3, 0.5, 0.7}));
    EXPECT_EQ(dev["calibration_points"], json::parse(R"([{"size": 0.3, "threshold": 150}])"));
    const json* op = FindNamed(dev["groups"], "Operator");
    ASSERT_NE(op, nullptr);
    EXPECT_EQ((*op)["ordinal"], 7);
    ASSERT_EQ((*op)["tags"].size(), 1u);
    const json& t = (*op)["tags"][0];
    EXPECT_EQ(t["description"], std::string(300, 'w'));
    EXPECT_EQ(t["access_rights"], 1);
    EXPECT_EQ(t["scaling_enabled"], true);
    EXPECT_EQ(t["scaling_active"], true);
    EXPECT_EQ(t["offset"], 2);
    EXPECT_EQ(t["gain"], 0.5);
    EXPECT_EQ(t["dead_band"], 7.5);
    EXPECT_EQ(t["value"], json::parse(R"({"type": 11, "value": true})"));
    EXPECT_EQ(t["kind"], 21);
}

TEST_F(ConfigCommand, BadFilesAndBadArgumentsGiveTheirExitStatus) {
    EXPECT_EQ(Config("new '" + Path("c.psf") + "' --device COM1:64").status, 2);
    EXPECT_EQ(Config("new '" + Path("c.psf") + "' --device PORT1:4").status, 2);
    EXPECT_EQ(Config("new '" + Path("c.psf") + "' --device COM1").status, 2);
    const Outcome unwritable = Config("new '" + Path("missing/c.psf") + "' --device COM1:1");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos);

    const Outcome missing = Config("dump '" + Path("none.psf") + "'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos);

    // Too short for the document's version: nothing to read at all.
    std::ofstream(Path("short.psf"), std::ios::binary) << "abc";
    const json brief = Dump(Path("short.psf"), 2);
    EXPECT_TRUE(brief["devices"].empty());
    EXPECT_EQ(brief["document_version"], nullptr);
    EXPECT_EQ(brief["errors"], json::array({"Failed to open file: " + Path("short.psf")}));
    // Text: a version, then a huge device count whose first entry cannot be read.
    std::ofstream(Path("junk.psf"), std::ios::binary) << "this is not a configuration";
    const json junk = Dump(Path("junk.psf"), 2);
    EXPECT_TRUE(junk["devices"].empty());
    ASSERT_EQ(junk["errors"].size(), 1u);
    EXPECT_EQ(junk["errors"][0].get<std::string>().rfind("Serialization Error - input device#: 0 of type:", 0), 0u);

    ASSERT_EQ(Config("new '" + Path("two.psf") + "' --device COM1:1 --device COM1:2").status, 0);
    const std::string whole = ReadFileText(Path("two.psf"));
    std::ofstream(Path("cut.psf"), std::ios::binary) << whole.substr(0, whole.size() * 3 / 4);
    const json cut = Dump(Path("cut.psf"), 2);
    ASSERT_EQ(cut["devices"].size(), 1u);
    EXPECT_EQ(cut["devices"][0]["name"], "4400 VOK 1-01");
    EXPECT_EQ(cut["errors"].back(), "Serialization Error - input device#: 1 of type: 3");
}

TEST_F(ConfigCommand, ASaveKilledMidWayLeavesTheOldFileOrTheNewOneNeverABrokenOne) {
    auto devices = [](int n) {
        std::string args;
        for (int i = 1; i <= n; ++i) args += " --device COM" + std::to_string(i) + ":1";
        return args;
    };
    const std::string file = Path("kill.psf");
    ASSERT_EQ(Config("new '" + file + "'" + devices(40)).status, 0);
    int killed = 0;
    for (int round = 0; round < 12; ++round) {
        const int count = round % 2 == 0 ? 41 : 40;
        // Killed after a few milliseconds: at some point while it builds or writes the file.
        const std::string after = "0.0" + std::to_string(1 + round % 9);
        const Outcome run = Config("new '" + file + "'" + devices(count), "timeout -s KILL " + after);
        killed += run.status == 137;
        const json d = Dump(file, 0);
        EXPECT_TRUE(d["devices"].size() == 40u || d["devices"].size() == 41u) << "round " << round;
        EXPECT_TRUE(d["errors"].empty()) << "round " << round;
    }
    // The kills must have landed mid-save at least sometimes for the test to mean anything.
    EXPECT_GT(killed, 0);
}

TEST_F(ConfigCommand, DevicePortsAreComNamesAsThePlatformReadsThem) {
    const Outcome made = Config("new '" + Path("p.psf") + "' --device '\\\\.\\com7:2' --device COM256:1");
    ASSERT_EQ(made.status, 0) << made.err;
    const json d = Dump(Path("p.psf"), 0);
    ASSERT_EQ(d["devices"].size(), 2u);
    EXPECT_EQ(d["devices"][0]["port_number"], 7);
    EXPECT_EQ(d["devices"][1]["port_number"], 256);
    for (const char* bad : {"COM257:1", "COM0:1", "COM 5:1", "COM-5:1"})
        EXPECT_EQ(Config("new '" + Path("q.psf") + "' --device '" + bad + "'").status, 2) << bad;
}
