// Measures the OPC group on a large configuration of simulated-data counter
// devices: one AddItems of 10,000 item IDs, the server's CPU time while one
// active group of 10,000 items is scanned at 100 ms for a subscriber that
// reads every stream, the time from a tag's change to its delivery, and the
// CPU time of idle groups. Prints each figure against its target.
#include "BenchDevices.h"
#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/OPCS_Device.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/Thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Parses every stream it receives and notes when the marker value arrives.
class MarkerSink : public IAdviseSink {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    void OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        const auto start = Clock::now();
        Parse(medium);
        clientTime += std::chrono::duration<double>(Clock::now() - start).count();
    }
    void Parse(STGMEDIUM* medium) {
        const auto stream = opcstream::ReadDataStream(opcstream::FromGlobal(medium->hGlobal), true, nullptr);
        if (!stream) return;
        ++streams;
        items += stream->items.size();
        for (const auto& item : stream->items) {
            if (item.hClient == markerClient && item.value.vt == VT_R8 && item.value.dblVal == markerValue.load()) {
                std::lock_guard lock(mutex);
                if (!seen) {
                    seen = true;
                    seenAt = Clock::now();
                }
            }
        }
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    // The subscriber runs in this process, on the group's data thread: the
    // time it spends parsing is the client's, not the server's.
    double clientTime = 0;
    std::atomic<std::size_t> streams{0};
    std::atomic<std::size_t> items{0};
    OPCHANDLE markerClient = 0;
    std::atomic<double> markerValue{-1};
    std::mutex mutex;
    bool seen = false;
    Clock::time_point seenAt;
};

void Report(const char* what, double value, const char* unit, double target) {
    std::printf("%-58s %10.2f %-6s target <= %-8.2f %s\n", what, value, unit, target, value <= target ? "met" : "MISSED");
}

}  // namespace

int main() {
    ScriptedUiServices ui;
    InProcessServer host;
    OPCS_Doc& doc = host.UseDocument();
    constexpr int kDevices = 53;
    std::vector<std::u16string> ids;
    VOKTag* marker = nullptr;
    const std::vector<VOKDevice*> simulated = AddSimulatedDevices(doc, kDevices);
    marker = new VOKTag;
    marker->SetName("Marker");
    marker->SetCanonicalType(VT_R8);
    marker->SetVolatile(false);
    doc.InsertTag(simulated.front(), marker);
    for (VOKDevice* raw : simulated) {
        Dll<OPCS_Tag*> tags;
        raw->CopyTagList(tags);
        for (OPCS_Tag* tag : tags) ids.push_back(Utf8ToUtf16(tag->GetItemID()));
    }
    std::printf("configuration: %d simulated-data devices, %zu tags\n", kDevices, ids.size());
    // The marker first, then 9,999 others.
    ids.insert(ids.begin(), Utf8ToUtf16(marker->GetItemID()));
    ids.resize(10000);

    // The devices alone, polling for the operator: what the counters' side costs.
    Dll<OPCS_Device*> devices;
    doc.GetDeviceList(devices);
    for (OPCS_Device* device : devices) device->RequestPolling(OPCS_Device::kOperator);
    Sleep(1500);
    const double devicesCpu0 = CpuSeconds();
    Sleep(4000);
    const double devicesCpu = (CpuSeconds() - devicesCpu0) / 4.0;
    for (OPCS_Device* device : devices) device->ReleasePolling(OPCS_Device::kOperator);
    std::printf("the %d devices polling simulated data, without clients: %.2f %% of one core\n", kDevices,
                100.0 * devicesCpu);

    IOPCServer* server = nullptr;
    CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, reinterpret_cast<void**>(&server));
    IUnknown* unknown = nullptr;
    OPCHANDLE groupHandle = 0;
    server->AddGroup(u"Bench", FALSE, 100, 0, nullptr, nullptr, 0, &groupHandle, nullptr, IID_IOPCItemMgt, &unknown);
    auto* items = static_cast<IOPCItemMgt*>(unknown);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const auto addStart = Clock::now();
    const HRESULT added = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    const double addMs = Ms(Clock::now() - addStart);
    std::size_t failed = 0;
    for (std::size_t i = 0; i < defs.size(); ++i) failed += FAILED(errors[i]);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    std::printf("AddItems: %zu items, result 0x%08X, %zu failed\n", defs.size(), static_cast<unsigned>(added), failed);
    Report("AddItems of 10,000 item IDs in one call", addMs, "ms", 50);

    IDataObject* data = nullptr;
    IOPCGroupStateMgt* state = nullptr;
    items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
    items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
    MarkerSink sink;
    sink.markerClient = 0;
    FORMATETC format{opcstream::DataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    data->DAdvise(&format, 0, &sink, &connection);
    BOOL on = TRUE;
    state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr);
    Sleep(2000);  // the devices start polling

    const double cpu0 = CpuSeconds();
    const double client0 = sink.clientTime;
    const auto wall0 = Clock::now();
    const std::size_t streams0 = sink.streams.load();
    std::vector<double> latencies;
    for (int round = 0; round < 10; ++round) {
        {
            std::lock_guard lock(sink.mutex);
            sink.seen = false;
        }
        sink.markerValue.store(1000.0 + round);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = 1000.0 + round;
        const auto changed = Clock::now();
        marker->SetValueGood(v);
        for (int wait = 0; wait < 200; ++wait) {
            {
                std::lock_guard lock(sink.mutex);
                if (sink.seen) break;
            }
            Sleep(1);
        }
        {
            std::lock_guard lock(sink.mutex);
            if (sink.seen) latencies.push_back(Ms(sink.seenAt - changed));
        }
        Sleep(500 - std::min<int>(static_cast<int>(latencies.empty() ? 0 : latencies.back()), 400));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    const double client = sink.clientTime - client0;
    const std::size_t streams = sink.streams.load() - streams0;
    std::printf("active group: %zu streams in %.1f s (%.1f per s), %zu items delivered in all\n", streams, wall,
                streams / wall, sink.items.load());
    std::printf("process CPU %.1f %% of one core, of which the subscriber's parsing (wall time on the data thread) %.1f %%\n",
                100.0 * cpu / wall, 100.0 * client / wall);
    Report("server CPU per wall second, 10,000 items at 100 ms (%)", 100.0 * (cpu - client) / wall, "%", 5);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::printf("change to delivery over %zu changes: median %.1f ms, worst %.1f ms\n", latencies.size(),
                    latencies[latencies.size() / 2], latencies.back());
        Report("change to delivery, worst (ms)", latencies.back(), "ms", 100);
    } else {
        std::printf("change to delivery: no change was delivered\n");
    }
    data->DUnadvise(connection);
    data->Release();
    state->Release();
    items->Release();
    server->RemoveGroup(groupHandle, FALSE);
    Sleep(500);

    // Idle: 20 groups of 100 items, inactive, so no device polls for them.
    std::vector<IUnknown*> idle;
    for (int g = 0; g < 20; ++g) {
        IUnknown* group = nullptr;
        server->AddGroup(u"", FALSE, 1000, 0, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt, &group);
        auto* mgt = static_cast<IOPCItemMgt*>(group);
        mgt->AddItems(100, defs.data() + 100 * g, &results, &errors);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        idle.push_back(group);
    }
    Sleep(1000);
    const double idleCpu0 = CpuSeconds();
    Sleep(5000);
    const double idleCpu = CpuSeconds() - idleCpu0;
    Report("idle: 20 inactive groups of 100 items, CPU per wall second (%)", 100.0 * idleCpu / 5.0, "%", 0.5);
    for (IUnknown* group : idle) group->Release();
    server->Release();
    return 0;
}
