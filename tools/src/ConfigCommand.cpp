// vok config: inspect and make configuration files. 'dump' prints what the
// program holds after loading a file; 'new' writes a file of new counter
// devices, made as the operator's Add Device command makes them.
#include "tools/Commands.h"

#include "ToolSupport.h"
#include "config/ConfigFile.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

json TagJson(OPCS_Tag& tag) {
    VARIANT value;
    tag.GetValue(value);
    json out = {
        {"name", tag.GetName()},
        {"description", tag.GetDescription()},
        {"image_index", tag.GetImageIndex()},
        {"class_code", tag.GetClassCode()},
        {"kind_code", tag.GetKindCode()},
        {"volatile", tag.IsVolatile()},
        {"eu_limits_enabled", tag.IsEULimitsEnabled()},
        {"raw_limits_enabled", tag.IsRawLimitsEnabled()},
        {"scaling_enabled", tag.IsScalingEnabled()},
        {"simulation_enabled", tag.IsSimulationEnabled()},
        {"eu_limits_active", tag.IsEULimitsActive()},
        {"raw_limits_active", tag.IsRawLimitsActive()},
        {"scaling_active", tag.IsScalingActive()},
        {"undeletable", tag.IsUndeletable()},
        {"quality", tag.GetQuality()},
        {"simulation_step", tag.GetSimulationStep()},
        {"simulation_steps", tag.GetSimulationSteps()},
        {"value", {{"type", value.vt}, {"value", JsonOfVariant(value)}}},
        {"time_stamp_high", tag.GetTimestamp().dwHighDateTime},
        {"time_stamp_low", tag.GetTimestamp().dwLowDateTime},
        {"access_rights", tag.GetAccessRights()},
        {"simulation_type", static_cast<int>(tag.GetSimulationType())},
        {"canonical_type", tag.GetCanonicalType()},
        {"eu_min", tag.GetEUMin()},
        {"eu_max", tag.GetEUMax()},
        {"raw_min", tag.GetRawMin()},
        {"raw_max", tag.GetRawMax()},
        {"offset", tag.GetOffset()},
        {"gain", tag.GetGain()},
        {"dead_band", tag.GetDeadBand()},
    };
    VariantClear(&value);
    if (VOKTag::IsValidVOKTag(&tag)) {
        auto& vok = static_cast<VOKTag&>(tag);
        out["kind"] = vok.GetKind();
        out["slot_number"] = vok.GetSlot();
    }
    return out;
}

// The group layer of a group or a device, with its members nested as in the file.
json GroupJson(OPCS_TagGroup& group) {
    json out = {
        {"name", group.GetName()},
        {"description", group.GetDescription()},
        {"image_index", group.GetImageIndex()},
        {"open_image_index", group.GetOpenImageIndex()},
        {"ordinal", group.GetOrdinal()},
    };
    Dll<OPCS_TagGroup*> groups;
    group.CopyGroups(groups);
    json children = json::array();
    for (OPCS_TagGroup* child : groups) {
        if (!OPCS_TagGroup::IsValidGroup(child)) continue;
        json c = GroupJson(*child);
        if (VOKTagGroup::IsValidVOKTagGroup(child)) c["kind"] = static_cast<VOKTagGroup*>(child)->GetKind();
        children.push_back(std::move(c));
    }
    Dll<OPCS_Tag*> tags;
    group.CopyTags(tags);
    json members = json::array();
    for (OPCS_Tag* tag : tags)
        if (OPCS_Tag::IsValidTag(tag)) members.push_back(TagJson(*tag));
    out["groups"] = std::move(children);
    out["tags"] = std::move(members);
    return out;
}

json DeviceJson(OPCS_Device& device) {
    json out = GroupJson(device);
    out["in_service"] = device.IsInService();
    out["update_interval"] = device.GetUpdateInterval();
    if (VOKDevice::IsValidVOKDevice(&device)) {
        auto& vok = static_cast<VOKDevice&>(device);
        out["simulated_data"] = vok.IsSimulation();
        out["bus_address"] = vok.GetAddress();
        out["sample_interval"] = vok.GetSampleInterval();
        out["software_version"] = vok.GetSoftwareVersion();
        out["flow"] = vok.GetFlow();
        out["port_number"] = vok.GetPort();
        Dll<double> bins;
        vok.GetBinSizes(bins);
        json sizes = json::array();
        for (double size : bins) sizes.push_back(size);
        out["bin_sizes"] = std::move(sizes);
        Dll<VOK_CalPt> points;
        vok.GetCalPoints(points);
        json cal = json::array();
        for (const VOK_CalPt& point : points) cal.push_back({{"size", point.size}, {"threshold", point.voltage}});
        out["calibration_points"] = std::move(cal);
    }
    return out;
}

void DestroyAll(Dll<OPCS_Device*>& devices) {
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
}

int Dump(const std::string& file) {
    Dll<OPCS_Device*> devices;
    const ConfigLoad load = LoadConfigFile(file, devices);
    if (load.outcome == ConfigLoad::kNotOpened) {
        std::fprintf(stderr, "vok config dump: cannot read %s: %s\n", ValidUtf8(file).c_str(),
                     load.systemError.c_str());
        return 1;
    }
    json out;
    out["document_version"] = load.outcome == ConfigLoad::kLoaded ? json(load.documentVersion) : json(nullptr);
    json list = json::array();
    for (OPCS_Device* device : devices) list.push_back(DeviceJson(*device));
    out["devices"] = std::move(list);
    out["errors"] = load.errors;
    std::puts(JsonText(out, 2).c_str());
    DestroyAll(devices);
    return load.errors.empty() ? 0 : 2;
}

// "COMn:ADDR" with a bus address 0 to 63.
bool ParseDevice(const std::string& text, int& port, int& address) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    if (!serialnames::ParseComName(text.substr(0, colon), &port)) return false;
    const std::string a = text.substr(colon + 1);
    if (a.empty() || a.size() > 2 || a.find_first_not_of("0123456789") != std::string::npos) return false;
    address = std::stoi(a);
    return address <= 63;
}

int New(const std::string& file, const std::vector<std::string>& requested, bool live) {
    struct Wanted {
        int port, address;
    };
    std::vector<Wanted> wanted;
    for (const std::string& text : requested) {
        Wanted s{};
        if (!ParseDevice(text, s.port, s.address)) {
            std::fprintf(stderr, "vok config new: '%s' is not COMn:ADDR with a bus address 0 to 63\n",
                         ValidUtf8(text).c_str());
            return 2;
        }
        wanted.push_back(s);
    }
    ScriptedUiServices ui;
    Dll<OPCS_Device*> devices;
    for (const Wanted& s : wanted) {
        auto device = VOKDevice::Create(false);
        device->SetPort(s.port);
        device->SetAddress(static_cast<BYTE>(VOKDevice::kDefaultAddress + s.address));
        // A new device produces simulated values until it is told to poll its counter.
        device->SetSimulation(!live);
        device->SetName(device->GetDefaultName());
        devices.AddTail(device.release());
    }
    std::string error;
    const bool ok = SaveConfigFile(file, devices, error);
    DestroyAll(devices);
    if (!ok) {
        std::fprintf(stderr, "vok config new: cannot write %s: %s\n", ValidUtf8(file).c_str(), error.c_str());
        return 1;
    }
    std::printf("{\"file\": %s, \"devices\": %zu}\n", JsonText(file).c_str(), wanted.size());
    return 0;
}

}  // namespace

int RunConfigCommand(int argc, char** argv) {
    CLI::App app{"Inspects and makes configuration files.", "vok config"};
    app.require_subcommand(1);
    std::string dumpFile, newFile, logFile;
    std::vector<std::string> deviceArgs;
    bool live = false;
    CLI::App* dump = app.add_subcommand("dump", "print the configuration held after loading FILE, as JSON");
    dump->add_option("FILE", dumpFile, "configuration file")->required();
    CLI::App* make = app.add_subcommand("new", "write a configuration of new counter devices");
    make->add_option("FILE", newFile, "configuration file to write (replaced when it exists)")->required();
    make->add_option("--device", deviceArgs, "a counter device on a port and bus address, e.g. COM5:3 (repeatable)");
    make->add_flag("--live", live, "the devices poll their counters (default: simulated data, as Add Device makes them)");
    for (CLI::App* sub : {dump, make}) sub->add_option("--log", logFile, "write the event log to this file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help asked for, or a usage error
    }
    if (!logFile.empty() && !EventLog().Open(logFile)) {
        std::fprintf(stderr, "vok config: cannot write the event log %s\n", ValidUtf8(logFile).c_str());
        return 1;
    }
    return dump->parsed() ? Dump(dumpFile) : New(newFile, deviceArgs, live);
}
