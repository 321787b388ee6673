// vok opc: an OPC client of the server class. The server runs inside this
// process on the configuration given; clients in other processes connect to
// the running program through the same interfaces.
#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "remote/RemoteBroker.h"
#include "tools/Commands.h"
#include "tools/ToolOutput.h"
#include "ToolSupport.h"
#include "platform/Thread.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
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

const char* TypeName(VARTYPE type) {
    switch (type) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_BOOL: return "VT_BOOL";
    case VT_UI1: return "VT_UI1";
    default: return "other";
    }
}

// Adds the items to an active group (so their devices poll), waits until
// every known item has good data or the time is up, then reads them once.
int Read(const std::vector<std::string>& ids, int timeoutS) {
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    IUnknown* unknown = nullptr;
    OPCHANDLE group = 0;
    hr = server->AddGroup(u"vok opc read", TRUE, 250, 0, nullptr, nullptr, 0, &group, nullptr, IID_IOPCItemMgt,
                          &unknown);
    if (FAILED(hr)) {
        server->Release();
        return Fail("AddGroup", hr);
    }
    auto* items = static_cast<IOPCItemMgt*>(unknown);
    IOPCSyncIO* sync = nullptr;
    items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));

    std::vector<std::u16string> wide;
    for (const std::string& id : ids) wide.push_back(Utf8ToUtf16(id));
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = wide[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* addErrors = nullptr;
    hr = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &addErrors);
    std::vector<OPCHANDLE> handles;
    std::vector<std::size_t> known;
    json out = json::array();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        json entry = {{"id", ValidUtf8(ids[i])}};
        if (SUCCEEDED(hr) && addErrors != nullptr && SUCCEEDED(addErrors[i])) {
            handles.push_back(results[i].hServer);
            known.push_back(i);
            entry["type"] = TypeName(results[i].vtCanonicalDataType);
            entry["writable"] = (results[i].dwAccessRights & OPC_WRITEABLE) != 0;
        } else {
            entry["error"] = HexCode(addErrors != nullptr ? addErrors[i] : hr);
        }
        out.push_back(std::move(entry));
    }
    CoTaskMemFree(results);
    CoTaskMemFree(addErrors);

    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutS) * 1000;
    for (;;) {
        if (handles.empty()) break;
        hr = sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
        if (FAILED(hr)) break;
        bool allGood = true;
        for (std::size_t k = 0; k < handles.size(); ++k) allGood = allGood && states[k].wQuality == OPC_QUALITY_GOOD;
        if (allGood || static_cast<LONG>(GetTickCount() - deadline) >= 0) break;
        for (std::size_t k = 0; k < handles.size(); ++k) VariantClear(&states[k].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        states = nullptr;
        errors = nullptr;
        Sleep(200);
    }
    for (std::size_t k = 0; states != nullptr && k < handles.size(); ++k) {
        json& entry = out[known[k]];
        entry["value"] = JsonOfVariant(states[k].vDataValue);
        entry["quality"] = states[k].wQuality;
        entry["timestamp"] = TimeText(states[k].ftTimeStamp);
        VariantClear(&states[k].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    sync->Release();
    items->Release();
    server->RemoveGroup(group, FALSE);
    server->Release();
    std::puts(JsonText(json{{"items", out}}, 2).c_str());
    return known.size() == ids.size() ? 0 : 2;
}

// The names the server lists at its browse position, read in chunks.
bool BrowseNames(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, std::vector<std::string>& names,
                 HRESULT& hr) {
    names.clear();
    IEnumString* list = nullptr;
    hr = browse->BrowseOPCItemIDs(type, u"", VT_EMPTY, 0, &list);
    if (FAILED(hr)) return false;
    for (;;) {
        LPOLESTR chunk[64] = {};
        ULONG fetched = 0;
        hr = list->Next(64, chunk, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            names.push_back(ValidUtf8(Utf16ToUtf8(chunk[i])));
            CoTaskMemFree(chunk[i]);
        }
        if (hr != S_OK) break;
    }
    list->Release();
    if (FAILED(hr)) return false;
    hr = S_OK;
    return true;
}

// Depth first from the browse position: the full item ID of every leaf, each
// asked of the server, and every branch entered and left again.
bool CollectItemIds(IOPCBrowseServerAddressSpace* browse, json& out, HRESULT& hr) {
    std::vector<std::string> names;
    if (!BrowseNames(browse, OPC_LEAF, names, hr)) return false;
    for (const std::string& leaf : names) {
        std::u16string wide = Utf8ToUtf16(leaf);
        LPWSTR id = nullptr;
        hr = browse->GetItemID(wide.data(), &id);
        if (FAILED(hr)) return false;
        out.push_back(ValidUtf8(Utf16ToUtf8(id)));
        CoTaskMemFree(id);
    }
    if (!BrowseNames(browse, OPC_BRANCH, names, hr)) return false;
    for (const std::string& branch : names) {
        const std::u16string wide = Utf8ToUtf16(branch);
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, wide.c_str());
        if (FAILED(hr)) return false;
        const bool walked = CollectItemIds(browse, out, hr);
        const HRESULT up = browse->ChangeBrowsePosition(OPC_BROWSE_UP, u"");
        if (!walked) return false;
        hr = up;
        if (FAILED(hr)) return false;
    }
    return true;
}

// Moves down to the position named "Device.Group...", then prints its
// branches and leaves, or with all every item ID under it.
int Browse(const std::string& path, bool all) {
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    IOPCBrowseServerAddressSpace* browse = nullptr;
    hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse));
    server->Release();
    if (FAILED(hr)) return Fail("QueryInterface IOPCBrowseServerAddressSpace", hr);
    const auto done = [browse](int status) {
        browse->Release();
        return status;
    };
    std::size_t from = 0;
    while (!path.empty() && from <= path.size()) {
        const std::size_t dot = std::min(path.find('.', from), path.size());
        const std::string name = path.substr(from, dot - from);
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, Utf8ToUtf16(name).c_str());
        if (FAILED(hr)) {
            std::fprintf(stderr, "vok opc: no branch '%s' at this position: %s\n", ValidUtf8(name).c_str(),
                         HexCode(hr).c_str());
            return done(1);
        }
        from = dot + 1;
    }
    json out;
    out["position"] = ValidUtf8(path);
    if (all) {
        json ids = json::array();
        if (!CollectItemIds(browse, ids, hr)) return done(Fail("browsing", hr));
        out["items"] = std::move(ids);
    } else {
        std::vector<std::string> branches, leaves;
        if (!BrowseNames(browse, OPC_BRANCH, branches, hr) || !BrowseNames(browse, OPC_LEAF, leaves, hr))
            return done(Fail("BrowseOPCItemIDs", hr));
        out["branches"] = branches;
        out["leaves"] = leaves;
    }
    std::puts(JsonText(out, 2).c_str());
    return done(0);
}

// The calling thread in the apartment for the command's lifetime.
struct ApartmentScope {
    ApartmentScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ApartmentScope() { CoUninitialize(); }
    ApartmentScope(const ApartmentScope&) = delete;
    ApartmentScope& operator=(const ApartmentScope&) = delete;
};

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
    std::vector<std::string> itemIds;
    int timeoutS = 30;
    CLI::App* read = app.add_subcommand("read", "add items to a group, let their devices poll, and print their values");
    read->add_option("ITEM", itemIds, "item IDs, Device.Group.Tag")->required();
    read->add_option("--timeout", timeoutS, "seconds to wait for good values (default 30)")->check(CLI::Range(0, 3600));
    std::string browsePath;
    bool browseAll = false;
    CLI::App* browse = app.add_subcommand("browse", "list the branches and leaves at a position, or every item ID");
    browse->add_option("PATH", browsePath, "position to browse, Device.Group (default: the root)");
    browse->add_flag("--all", browseAll, "print the full item ID of every tag at and below the position");
    for (CLI::App* sub : {status, read, browse}) {
        sub->add_option("--config", config, "serve this configuration file in this process (without it: the running server)");
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
    // With a configuration the server is served in this process; without
    // one, the running server is reached (and started when none runs).
    std::unique_ptr<InProcessServer> host;
    std::unique_ptr<remote::RemoteBroker> broker;
    ApartmentScope apartment;
    if (config.empty()) {
        broker = std::make_unique<remote::RemoteBroker>();
        broker->Install();
    } else {
        host = std::make_unique<InProcessServer>();
        if (FAILED(host->Status())) return Fail("publishing the server class", host->Status());
        std::string error;
        if (!host->LoadConfiguration(config, error)) {
            std::fprintf(stderr, "vok opc: %s\n", ValidUtf8(error).c_str());
            return 1;
        }
    }
    if (browse->parsed()) return Browse(browsePath, browseAll);
    return read->parsed() ? Read(itemIds, timeoutS) : Status(groupNames, unnamed);
}
