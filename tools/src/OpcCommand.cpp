// vok opc: an OPC client of the server class. The server runs inside this
// process on the configuration given; clients in other processes connect to
// the running program through the same interfaces.
#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "tools/Commands.h"
#include "tools/ToolOutput.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

std::string HexCode(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

int Fail(const char* what, HRESULT code) {
    std::fprintf(stderr, "vok opc: %s failed: %s\n", what, HexCode(code).c_str());
    return 1;
}

std::string TimeText(const FILETIME& time) {
    return FileTimeToUInt64(time) == 0 ? std::string() : versioninfo::DateTimeText(time);
}

// Connects, adds the groups, reads the server's status and prints it.
int Status(const std::vector<std::string>& groupNames, int unnamedGroups) {
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);

    json groups = json::array();
    std::vector<std::string> names = groupNames;
    names.insert(names.end(), static_cast<std::size_t>(unnamedGroups), std::string());
    int status = 0;
    for (const std::string& name : names) {
        const std::u16string wide = Utf8ToUtf16(name);
        OPCHANDLE handle = 0;
        DWORD rate = 0;
        IUnknown* group = nullptr;
        hr = server->AddGroup(wide.c_str(), FALSE, 1000, 0, nullptr, nullptr, 0, &handle, &rate,
                              IID_IOPCGroupStateMgt, &group);
        if (FAILED(hr)) {
            std::fprintf(stderr, "vok opc: AddGroup '%s' failed: %s\n", ValidUtf8(name).c_str(), HexCode(hr).c_str());
            status = 2;
            continue;
        }
        LPWSTR given = nullptr;
        static_cast<IOPCGroupStateMgt*>(group)->GetState(nullptr, nullptr, &given, nullptr, nullptr, nullptr,
                                                         nullptr, nullptr);
        groups.push_back({{"name", ValidUtf8(Utf16ToUtf8(given != nullptr ? given : u""))},
                          {"server_handle", handle},
                          {"update_rate", rate}});
        CoTaskMemFree(given);
        group->Release();
    }

    OPCSERVERSTATUS* info = nullptr;
    hr = server->GetStatus(&info);
    if (FAILED(hr)) {
        server->Release();
        return Fail("GetStatus", hr);
    }
    json out;
    out["server_state"] = info->dwServerState;
    out["group_count"] = info->dwGroupCount;
    out["version"] = std::to_string(info->wMajorVersion) + "." + std::to_string(info->wMinorVersion) + "." +
                     std::to_string(info->wBuildNumber);
    out["vendor"] = Utf16ToUtf8(info->szVendorInfo != nullptr ? info->szVendorInfo : u"");
    out["start_time"] = TimeText(info->ftStartTime);
    out["current_time"] = TimeText(info->ftCurrentTime);
    out["last_update_time"] = TimeText(info->ftLastUpdateTime);
    out["groups"] = std::move(groups);
    CoTaskMemFree(info->szVendorInfo);
    CoTaskMemFree(info);
    server->Release();
    std::puts(JsonText(out, 2).c_str());
    return status;
}

}  // namespace

int RunOpcCommand(int argc, char** argv) {
    CLI::App app{"An OPC client of the server class, served in this process.", "vok opc"};
    app.require_subcommand(1);
    std::string config, logFile;
    std::vector<std::string> groupNames;
    int unnamed = 0;
    CLI::App* status = app.add_subcommand("status", "connect, add groups, and print the server's status as JSON");
    status->add_option("--group", groupNames, "add a group of this name (repeatable)");
    status->add_option("--groups", unnamed, "add this many groups without a name (the server names them)")
        ->check(CLI::Range(0, 1000));
    for (CLI::App* sub : {status}) {
        sub->add_option("--config", config, "configuration file the server serves");
        sub->add_option("--log", logFile, "write the event log to this file");
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!logFile.empty() && !EventLog().Open(logFile)) {
        std::fprintf(stderr, "vok opc: cannot write the event log %s\n", ValidUtf8(logFile).c_str());
        return 1;
    }
    ScriptedUiServices ui;
    InProcessServer host;
    if (FAILED(host.Status())) return Fail("publishing the server class", host.Status());
    std::string error;
    if (!config.empty() && !host.LoadConfiguration(config, error)) {
        std::fprintf(stderr, "vok opc: %s\n", ValidUtf8(error).c_str());
        return 1;
    }
    return Status(groupNames, unnamed);
}
