// vok opc: an OPC client of the server class. Without a configuration it is
// a client of the running server (started through activation when none
// runs), in another process as any OPC client is; with --config FILE the
// server is served inside this process on that file.
#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "model/ScriptedUiServices.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "opc/OpcErrors.h"
#include "opc/OpcStream.h"
#include "platform/Signals.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "remote/RemoteBroker.h"
#include "tools/Commands.h"
#include "tools/ToolOutput.h"
#include "ToolSupport.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

// Seconds a call waits for the running server's answer unless told otherwise.
constexpr int kDefaultCallTimeoutS = 10;

// "NAME (0x........)" for the codes a client meets, the number alone otherwise.
std::string HResultText(HRESULT code) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(code));
    // The transport's own time-out is not a code of the server's table.
    const char* name = code == remote::RPC_E_TIMEOUT ? "RPC_E_TIMEOUT" : OpcErrorName(code);
    return name != nullptr ? std::string(name) + " (" + number + ")" : std::string(number);
}

int Fail(const char* what, HRESULT code) {
    std::fprintf(stderr, "vok opc: %s failed: %s\n", what, HResultText(code).c_str());
    return 1;
}

std::string TimeText(const FILETIME& time) {
    return FileTimeToUInt64(time) == 0 ? std::string() : versioninfo::DateTimeText(time);
}

const struct {
    VARTYPE type;
    const char* name;
} kTypes[] = {{VT_EMPTY, "VT_EMPTY"}, {VT_I1, "VT_I1"},     {VT_I2, "VT_I2"},     {VT_I4, "VT_I4"},
              {VT_UI1, "VT_UI1"},     {VT_UI2, "VT_UI2"},   {VT_UI4, "VT_UI4"},   {VT_R4, "VT_R4"},
              {VT_R8, "VT_R8"},       {VT_CY, "VT_CY"},     {VT_DATE, "VT_DATE"}, {VT_BSTR, "VT_BSTR"},
              {VT_BOOL, "VT_BOOL"},   {VT_ERROR, "VT_ERROR"}};

std::string TypeName(VARTYPE type) {
    for (const auto& known : kTypes)
        if (known.type == type) return known.name;
    if (type == (VT_ARRAY | VT_R8)) return "VT_ARRAY|VT_R8";
    return "VT " + std::to_string(type);
}

// A type named as the variant types are ("VT_R8", any letter case) or by its number.
bool ParseType(const std::string& text, VARTYPE& type) {
    for (const auto& known : kTypes) {
        const std::string name = known.name;
        if (text.size() == name.size() &&
            std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            })) {
            type = known.type;
            return true;
        }
    }
    try {
        std::size_t used = 0;
        const unsigned long number = std::stoul(text, &used, 0);
        if (used != text.size() || number > 0xFFFF) return false;
        type = static_cast<VARTYPE>(number);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

IOPCServer* Connect(HRESULT& hr) {
    IOPCServer* server = nullptr;
    hr = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(&server));
    return SUCCEEDED(hr) ? server : nullptr;
}

// One group of the command's with the interfaces it uses, removed again at
// the end.
class ClientGroup {
public:
    ClientGroup(IOPCServer* server, const char16_t* name, bool active, DWORD rate) : server_(server) {
        IUnknown* unknown = nullptr;
        hr_ = server_->AddGroup(name, active ? TRUE : FALSE, rate, 0, nullptr, nullptr, 0, &handle_, &revisedRate,
                                IID_IOPCItemMgt, &unknown);
        if (FAILED(hr_)) return;
        items = static_cast<IOPCItemMgt*>(unknown);
        items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
        items->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&async));
        items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
    }
    ~ClientGroup() {
        for (IUnknown* i : std::initializer_list<IUnknown*>{data, async, sync, items})
            if (i != nullptr) i->Release();
        if (SUCCEEDED(hr_)) server_->RemoveGroup(handle_, FALSE);
    }
    ClientGroup(const ClientGroup&) = delete;
    ClientGroup& operator=(const ClientGroup&) = delete;

    HRESULT Status() const { return hr_; }

    // Adds the items (client handles are their indices); each entry of
    // the answer holds the item's ID and, when it was added, its server
    // handle and types, else its error. The handles of the added items
    // come back in handles, their indices in known.
    json Add(const std::vector<std::string>& ids, VARTYPE requested, std::vector<OPCHANDLE>& handles,
             std::vector<std::size_t>& known) {
        std::vector<std::u16string> wide;
        for (const std::string& id : ids) wide.push_back(Utf8ToUtf16(id));
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = wide[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = requested;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &errors);
        json out = json::array();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            json entry = {{"id", ValidUtf8(ids[i])}};
            if (SUCCEEDED(hr) && errors != nullptr && SUCCEEDED(errors[i])) {
                handles.push_back(results[i].hServer);
                known.push_back(i);
                entry["canonical_type"] = TypeName(results[i].vtCanonicalDataType);
                entry["writable"] = (results[i].dwAccessRights & OPC_WRITEABLE) != 0;
            } else {
                entry["error"] = HResultText(errors != nullptr ? errors[i] : hr);
            }
            out.push_back(std::move(entry));
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return out;
    }

    IOPCItemMgt* items = nullptr;
    IOPCSyncIO* sync = nullptr;
    IOPCAsyncIO* async = nullptr;
    IDataObject* data = nullptr;
    // The rate the server runs the group at (it revises one faster than it serves).
    DWORD revisedRate = 0;

private:
    IOPCServer* server_;
    OPCHANDLE handle_ = 0;
    HRESULT hr_ = E_FAIL;
};

// Receives the group's streams and hands them to a callback, in order. The
// server (or the transport's delivery thread) may give its reference back
// after the command is done with it, so it lives on the heap and counts its
// references; Stop makes sure no call reaches the command's callback after.
class StreamSink : public IAdviseSink {
public:
    using Handler = std::function<void(CLIPFORMAT, const std::vector<std::uint8_t>&)>;
    // The count starts at one, the command's own.
    explicit StreamSink(Handler handler) : handler_(std::move(handler)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
        *ppv = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        std::lock_guard lock(mutex_);
        if (handler_ && format != nullptr && medium != nullptr && medium->tymed == TYMED_HGLOBAL)
            handler_(format->cfFormat, opcstream::FromGlobal(medium->hGlobal));
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    // Waits for a call in progress; none comes after.
    void Stop() {
        std::lock_guard lock(mutex_);
        handler_ = nullptr;
    }

private:
    ~StreamSink() = default;
    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    Handler handler_;
};

// The sink of a scope: stopped and let go at its end.
struct SinkScope {
    explicit SinkScope(StreamSink::Handler handler) : sink(new StreamSink(std::move(handler))) {}
    ~SinkScope() {
        sink->Stop();
        sink->Release();
    }
    SinkScope(const SinkScope&) = delete;
    SinkScope& operator=(const SinkScope&) = delete;
    StreamSink* sink;
};

// Connects, adds the groups, reads the server's status and prints it.
int Status(const std::vector<std::string>& groupNames, int unnamedGroups) {
    HRESULT hr = S_OK;
    IOPCServer* server = Connect(hr);
    if (server == nullptr) return Fail("CoCreateInstance", hr);

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
            std::fprintf(stderr, "vok opc: AddGroup '%s' failed: %s\n", ValidUtf8(name).c_str(),
                         HResultText(hr).c_str());
            status = 1;
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

// Adds the items to an active group (so their devices poll), waits until
// every known item has good data or the time is up, then reads them once.
int Read(const std::vector<std::string>& ids, int timeoutS, VARTYPE requested) {
    HRESULT hr = S_OK;
    IOPCServer* server = Connect(hr);
    if (server == nullptr) return Fail("CoCreateInstance", hr);
    json out;
    std::size_t knownCount = 0;
    {
        ClientGroup group(server, u"vok opc read", true, 250);
        if (FAILED(group.Status())) {
            server->Release();
            return Fail("AddGroup", group.Status());
        }
        std::vector<OPCHANDLE> handles;
        std::vector<std::size_t> known;
        out = group.Add(ids, requested, handles, known);
        knownCount = known.size();

        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutS) * 1000;
        while (!handles.empty() && group.sync != nullptr) {
            hr = group.sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
            if (FAILED(hr)) break;
            bool allGood = true;
            for (std::size_t k = 0; k < handles.size(); ++k)
                allGood = allGood && states[k].wQuality == OPC_QUALITY_GOOD;
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
            entry["delivered_type"] = TypeName(states[k].vDataValue.vt);
            entry["quality"] = states[k].wQuality;
            entry["timestamp"] = TimeText(states[k].ftTimeStamp);
            if (errors != nullptr && FAILED(errors[k])) entry["error"] = HResultText(errors[k]);
            VariantClear(&states[k].vDataValue);
        }
        if (FAILED(hr)) std::fprintf(stderr, "vok opc: Read failed: %s\n", HResultText(hr).c_str());
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    server->Release();
    std::puts(JsonText(json{{"items", out}}, 2).c_str());
    return knownCount == ids.size() && SUCCEEDED(hr) ? 0 : 1;
}

// ITEM=VALUE pairs: the value is text, which the server converts to the
// item's type. The last '=' separates, so item IDs may hold one.
bool SplitAssignments(const std::vector<std::string>& pairs, std::vector<std::string>& ids,
                      std::vector<std::string>& values) {
    for (const std::string& pair : pairs) {
        const std::size_t at = pair.rfind('=');
        if (at == std::string::npos || at == 0) {
            std::fprintf(stderr, "vok opc: '%s' is not ITEM=VALUE\n", ValidUtf8(pair).c_str());
            return false;
        }
        ids.push_back(pair.substr(0, at));
        values.push_back(pair.substr(at + 1));
    }
    return true;
}

int Write(const std::vector<std::string>& pairs, bool async, int timeoutS) {
    std::vector<std::string> ids, texts;
    if (!SplitAssignments(pairs, ids, texts)) return 2;
    HRESULT hr = S_OK;
    IOPCServer* server = Connect(hr);
    if (server == nullptr) return Fail("CoCreateInstance", hr);
    bool failed = false;
    json out;
    {
        ClientGroup group(server, u"vok opc write", false, 1000);
        if (FAILED(group.Status())) {
            server->Release();
            return Fail("AddGroup", group.Status());
        }
        std::vector<OPCHANDLE> handles;
        std::vector<std::size_t> known;
        out = group.Add(ids, VT_EMPTY, handles, known);
        failed = known.size() != ids.size();
        std::vector<VARIANT> values(known.size());
        for (std::size_t k = 0; k < known.size(); ++k) {
            VariantInit(&values[k]);
            values[k].vt = VT_BSTR;
            values[k].bstrVal = SysAllocStringFromUtf8(texts[known[k]]);
        }
        std::vector<HRESULT> results(known.size(), E_FAIL);
        if (!known.empty() && !async) {
            HRESULT* errors = nullptr;
            hr = group.sync->Write(static_cast<DWORD>(known.size()), handles.data(), values.data(), &errors);
            for (std::size_t k = 0; k < known.size(); ++k) results[k] = errors != nullptr ? errors[k] : hr;
            CoTaskMemFree(errors);
        } else if (!known.empty()) {
            // The completion comes as a stream to a sink advised for it.
            std::mutex mutex;
            std::condition_variable done;
            std::optional<opcstream::WriteCompleteStream> completion;
            SinkScope sink([&](CLIPFORMAT, const std::vector<std::uint8_t>& bytes) {
                std::string error;
                auto stream = opcstream::ReadWriteCompleteStream(bytes, &error);
                std::lock_guard lock(mutex);
                completion = std::move(stream);
                done.notify_all();
            });
            FORMATETC format{opcstream::WriteCompleteFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            DWORD connection = 0;
            hr = group.data->DAdvise(&format, 0, sink.sink, &connection);
            DWORD transaction = 0;
            HRESULT* errors = nullptr;
            if (SUCCEEDED(hr))
                hr = group.async->Write(connection, static_cast<DWORD>(known.size()), handles.data(), values.data(),
                                        &transaction, &errors);
            for (std::size_t k = 0; k < known.size(); ++k)
                results[k] = errors != nullptr && FAILED(errors[k]) ? errors[k] : hr;
            CoTaskMemFree(errors);
            if (SUCCEEDED(hr)) {
                std::unique_lock lock(mutex);
                if (!done.wait_for(lock, std::chrono::seconds(timeoutS), [&] { return completion.has_value(); }))
                    hr = E_FAIL;
                else
                    for (const opcstream::WriteResult& result : completion->results)
                        for (std::size_t k = 0; k < known.size(); ++k)
                            if (result.hClient == known[k]) results[k] = result.error;
            }
            group.data->DUnadvise(connection);
            if (FAILED(hr)) std::fprintf(stderr, "vok opc: asynchronous write failed: %s\n", HResultText(hr).c_str());
        }
        // Each item's own result decides, whatever the call's (S_FALSE when
        // some item failed).
        for (std::size_t k = 0; k < known.size(); ++k) {
            out[known[k]]["result"] = HResultText(results[k]);
            if (FAILED(results[k]))
                std::fprintf(stderr, "vok opc: writing %s failed: %s\n", ValidUtf8(ids[known[k]]).c_str(),
                             HResultText(results[k]).c_str());
            failed = failed || FAILED(results[k]);
            VariantClear(&values[k]);
        }
    }
    server->Release();
    std::puts(JsonText(json{{"items", out}}, 2).c_str());
    return failed || FAILED(hr) ? 1 : 0;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// One JSON line per data change until count changes came (0: no end) or an
// interrupt or terminate request.
int Subscribe(const std::vector<std::string>& ids, int rateMs, bool withTime, int count, bool raw) {
    HRESULT hr = S_OK;
    IOPCServer* server = Connect(hr);
    if (server == nullptr) return Fail("CoCreateInstance", hr);
    int status = 0;
    {
        ClientGroup group(server, u"vok opc subscribe", true, static_cast<DWORD>(rateMs));
        if (FAILED(group.Status())) {
            server->Release();
            return Fail("AddGroup", group.Status());
        }
        if (group.Status() == OPC_S_UNSUPPORTEDRATE)
            std::fprintf(stderr, "vok opc: the server runs the group at %lu ms\n",
                         static_cast<unsigned long>(group.revisedRate));
        std::vector<OPCHANDLE> handles;
        std::vector<std::size_t> known;
        const json added = group.Add(ids, VT_EMPTY, handles, known);
        for (const json& entry : added)
            if (entry.contains("error"))
                std::fprintf(stderr, "vok opc: %s: %s\n", entry["id"].get<std::string>().c_str(),
                             entry["error"].get<std::string>().c_str());
        if (known.size() != ids.size()) status = 1;
        std::atomic<int> received{0};
        SinkScope sink([&](CLIPFORMAT, const std::vector<std::uint8_t>& bytes) {
            // Changes that come after the last one asked for are not shown.
            if (count != 0 && received.load() >= count) return;
            std::string error;
            const auto stream = opcstream::ReadDataStream(bytes, withTime, &error);
            json line;
            if (!stream) {
                line = {{"error", error}};
            } else {
                line["transaction"] = stream->transactionId;
                json items = json::array();
                for (const opcstream::ItemValue& item : stream->items) {
                    json entry = {{"client", item.hClient},
                                  {"value", JsonOfVariant(item.value)},
                                  {"quality", item.quality}};
                    if (item.hClient < ids.size()) entry["id"] = ValidUtf8(ids[item.hClient]);
                    if (withTime) entry["timestamp"] = TimeText(item.timestamp);
                    items.push_back(std::move(entry));
                }
                line["items"] = std::move(items);
            }
            if (raw) line["raw"] = Hex(bytes);
            std::printf("%s\n", JsonText(line).c_str());
            std::fflush(stdout);
            ++received;
        });
        FORMATETC format{withTime ? opcstream::DataTimeFormat() : opcstream::DataFormat(), nullptr, DVASPECT_CONTENT,
                         -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        hr = group.data != nullptr ? group.data->DAdvise(&format, 0, sink.sink, &connection) : E_NOINTERFACE;
        if (FAILED(hr)) {
            status = Fail("DAdvise", hr);
        } else {
            while ((count == 0 || received.load() < count) && !signals::WaitForTermination(100)) {
            }
            group.data->DUnadvise(connection);
        }
    }
    server->Release();
    return status;
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
    HRESULT hr = S_OK;
    IOPCServer* server = Connect(hr);
    if (server == nullptr) return Fail("CoCreateInstance", hr);
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
                         HResultText(hr).c_str());
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
    CLI::App app{"An OPC client of the running server (or, with --config, of one served in this process).",
                 "vok opc"};
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
    std::string typeName;
    CLI::App* read = app.add_subcommand("read", "add items to a group, let their devices poll, and print their values");
    read->add_option("ITEM", itemIds, "item IDs, Device.Group.Tag")->required();
    read->add_option("--timeout", timeoutS, "seconds to wait for good values (default 30)")->check(CLI::Range(0, 3600));
    read->add_option("--type", typeName, "ask for the values in this type (VT_R8, VT_BSTR, ... or a number)");

    std::vector<std::string> assignments;
    bool async = false;
    CLI::App* write = app.add_subcommand("write", "write values to items and print each item's result");
    write->add_option("ITEM=VALUE", assignments, "item IDs with the value to write, as text")->required();
    write->add_flag("--async", async, "write asynchronously and wait for the completion");

    std::vector<std::string> subscribed;
    int rateMs = 1000;
    std::string streamFormat = "datatime";
    int changes = 0;
    bool raw = false;
    CLI::App* subscribe =
        app.add_subcommand("subscribe", "print one JSON line per data change of the items until interrupted");
    subscribe->add_option("ITEM", subscribed, "item IDs, Device.Group.Tag")->required();
    subscribe->add_option("--rate", rateMs, "the group's update rate in milliseconds (default 1000)")
        ->check(CLI::Range(0, 3600000));
    subscribe->add_option("--format", streamFormat, "data or datatime (default)")
        ->check(CLI::IsMember({"data", "datatime"}));
    subscribe->add_option("--count", changes, "end after this many data changes (default: no end)")
        ->check(CLI::Range(0, 100000000));
    subscribe->add_flag("--raw", raw, "add each stream's bytes in hexadecimal");

    std::string browsePath;
    bool browseAll = false;
    CLI::App* browse = app.add_subcommand("browse", "list the branches and leaves at a position, or every item ID");
    browse->add_option("PATH", browsePath, "position to browse, Device.Group (default: the root)");
    browse->add_flag("--all", browseAll, "print the full item ID of every tag at and below the position");
    // A server that takes a call and never answers must not hang the client.
    int callTimeoutS = kDefaultCallTimeoutS;
    if (const char* given = std::getenv("VOK_OPC_CALL_TIMEOUT")) callTimeoutS = std::atoi(given);
    for (CLI::App* sub : {status, read, write, subscribe, browse}) {
        sub->add_option("--config", config, "serve this configuration file in this process (without it: the running server)");
        sub->add_option("--log", logFile, "write the event log to this file");
        sub->add_option("--call-timeout", callTimeoutS,
                        "seconds each call waits for the running server's answer (default 10, 0: no limit; "
                        "or VOK_OPC_CALL_TIMEOUT)")
            ->check(CLI::Range(0, 3600));
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    VARTYPE requested = VT_EMPTY;
    if (!typeName.empty() && !ParseType(typeName, requested)) {
        std::fprintf(stderr, "vok opc: '%s' is not a variant type\n", ValidUtf8(typeName).c_str());
        return 2;
    }
    // An interrupt ends a subscription in order; every thread started from
    // here on leaves the two signals to the waiting thread. Every other
    // subcommand ends at once on one, whatever call it waits in.
    signals::BlockTermination();
    if (!subscribe->parsed()) {
        std::thread([] {
            signals::WaitForTermination(-1);
            std::fputs("vok opc: ended by an interrupt or terminate request\n", stderr);
            std::_Exit(1);
        }).detach();
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
        remote::BrokerSettings settings;
        settings.callTimeoutMs = static_cast<unsigned>(std::max(callTimeoutS, 0)) * 1000u;
        broker = std::make_unique<remote::RemoteBroker>(settings);
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
    if (read->parsed()) return Read(itemIds, timeoutS, requested);
    if (write->parsed()) return Write(assignments, async, timeoutS);
    if (subscribe->parsed()) return Subscribe(subscribed, rateMs, streamFormat == "datatime", changes, raw);
    return Status(groupNames, unnamed);
}
