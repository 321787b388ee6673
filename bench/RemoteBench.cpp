// Measures OPC calls across the socket: a server process of its own (this
// program again, with --serve) on 53 simulated-data counter devices (10,070
// tags), and this process as its client. Read of 1,000 items (round trip),
// AddItems of 10,000 items, and a 10,000-item subscription at 100 ms with the
// CPU share of both processes and the time from a write of the first
// device's sample interval to its delivery. Prints each figure against its target.
#include "BenchDevices.h"
#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/Environment.h"
#include "platform/Signals.h"
#include "platform/Thread.h"
#include "remote/RemoteBroker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// User and system time of a process in seconds, from its /proc entry (the
// kernel counts them in 1/100 s for every reader).
double ProcessCpuSeconds(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stod(field);
        if (i == 15) system = std::stod(field);
    }
    return (user + system) / 100.0;
}

std::string OwnPid() {
    std::ifstream in("/proc/self/stat");
    std::string pid;
    in >> pid;
    return pid;
}

void Report(const char* what, double value, const char* unit, double target) {
    std::printf("%-62s %10.2f %-3s target <= %-8.2f %s\n", what, value, unit, target, value <= target ? "met" : "MISSED");
}

// The server: the configuration built in this process and the class
// published to other processes until a terminate request.
int Serve(const std::string& folder) {
    signals::BlockTermination();
    remote::RemoteBroker broker;
    broker.Install();
    ScriptedUiServices ui;
    InProcessServer host;
    OPCS_Doc& doc = host.UseDocument();
    AddSimulatedDevices(doc);
    std::ofstream(folder + "/server.pid") << OwnPid();
    signals::WaitForTermination(-1);
    return 0;
}

// Notes when the marker's value arrives, and what the client spends parsing.
class MarkerSink : public IAdviseSink {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    void OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        const auto stream = opcstream::ReadDataStream(opcstream::FromGlobal(medium->hGlobal), true, nullptr);
        if (!stream) return;
        ++streams;
        items += stream->items.size();
        for (const auto& item : stream->items)
            if (item.hClient == 0 && item.value.vt == VT_R8 && item.value.dblVal == marker.load()) {
                std::lock_guard lock(mutex);
                if (!seen) {
                    seen = true;
                    seenAt = Clock::now();
                }
            }
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    std::atomic<std::size_t> streams{0};
    std::atomic<std::size_t> items{0};
    std::atomic<double> marker{-1};
    std::mutex mutex;
    bool seen = false;
    Clock::time_point seenAt;
};

// Every item ID of the server, found by browsing it: the marker (the first
// device's sample interval, which a write changes) first, then the others.
std::vector<std::u16string> ItemIds(IOPCBrowseServerAddressSpace* browse) {
    std::vector<std::u16string> ids;
    const auto names = [browse](OPCBROWSETYPE type) {
        std::vector<std::u16string> out;
        IEnumString* list = nullptr;
        if (FAILED(browse->BrowseOPCItemIDs(type, u"", VT_EMPTY, 0, &list))) return out;
        LPOLESTR chunk[256];
        ULONG fetched = 0;
        while (SUCCEEDED(list->Next(256, chunk, &fetched)) && fetched > 0)
            for (ULONG i = 0; i < fetched; ++i) {
                out.emplace_back(chunk[i]);
                CoTaskMemFree(chunk[i]);
            }
        list->Release();
        return out;
    };
    std::function<void()> walk = [&] {
        for (std::u16string& leaf : names(OPC_LEAF)) {
            LPWSTR id = nullptr;
            if (SUCCEEDED(browse->GetItemID(leaf.data(), &id))) ids.emplace_back(id);
            CoTaskMemFree(id);
        }
        for (const std::u16string& branch : names(OPC_BRANCH)) {
            if (FAILED(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()))) continue;
            walk();
            browse->ChangeBrowsePosition(OPC_BROWSE_UP, u"");
        }
    };
    walk();
    const auto marker = std::find(ids.begin(), ids.end(), u"Dev0.Sample Interval");
    if (marker != ids.end()) std::rotate(ids.begin(), marker, marker + 1);
    ids.resize(std::min<std::size_t>(ids.size(), 10000));
    return ids;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vok-bench-remote-" + OwnPid());
    std::filesystem::create_directories(folder / "run");
    std::filesystem::permissions(folder / "run", std::filesystem::perms::owner_all);
    SetEnvironmentVariableA("XDG_RUNTIME_DIR", (folder / "run").c_str());
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (folder / "registry").c_str());
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::system(("'" + self + "' --serve '" + folder.string() + "' &").c_str());
    std::string pid;
    for (int i = 0; i < 200 && pid.empty(); ++i) {
        Sleep(50);
        std::ifstream(folder / "server.pid") >> pid;
    }
    if (pid.empty()) {
        std::fprintf(stderr, "the server process did not start\n");
        return 1;
    }
    std::printf("server process %s: 53 simulated-data devices, client: this process\n", pid.c_str());

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        remote::RemoteBroker broker;
        broker.Install();
        IOPCServer* server = nullptr;
        const HRESULT connected = CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                                   reinterpret_cast<void**>(&server));
        if (FAILED(connected)) {
            std::fprintf(stderr, "CoCreateInstance: 0x%08X\n", static_cast<unsigned>(connected));
            status = 1;
        } else {
            IOPCBrowseServerAddressSpace* browse = nullptr;
            server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse));
            const auto browseStart = Clock::now();
            std::vector<std::u16string> ids = ItemIds(browse);
            std::printf("browsing the whole address space: %zu item IDs kept, %.0f ms\n", ids.size(),
                        Ms(Clock::now() - browseStart));
            browse->Release();
            IUnknown* unknown = nullptr;
            OPCHANDLE groupHandle = 0;
            server->AddGroup(u"Bench", FALSE, 100, 0, nullptr, nullptr, 0, &groupHandle, nullptr, IID_IOPCItemMgt,
                             &unknown);
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
            std::vector<OPCHANDLE> handles;
            std::size_t failed = 0;
            for (std::size_t i = 0; i < defs.size(); ++i) {
                failed += FAILED(errors[i]);
                handles.push_back(results[i].hServer);
            }
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            std::printf("AddItems: %zu items, result 0x%08X, %zu failed\n", defs.size(), static_cast<unsigned>(added),
                        failed);
            Report("AddItems of 10,000 item IDs across the socket (ms)", addMs, "ms", 50);

            IOPCSyncIO* sync = nullptr;
            items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
            std::vector<double> reads;
            for (int round = 0; round < 200; ++round) {
                OPCITEMSTATE* states = nullptr;
                const auto start = Clock::now();
                sync->Read(OPC_DS_CACHE, 1000, handles.data() + 1, &states, &errors);
                reads.push_back(Ms(Clock::now() - start));
                for (int k = 0; k < 1000; ++k) VariantClear(&states[k].vDataValue);
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
            }
            std::sort(reads.begin(), reads.end());
            std::printf("Read of 1,000 items: median %.2f ms, 95th percentile %.2f ms\n", reads[reads.size() / 2],
                        reads[reads.size() * 95 / 100]);
            Report("Read of 1,000 items, median round trip (ms)", reads[reads.size() / 2], "ms", 5);

            IDataObject* data = nullptr;
            IOPCGroupStateMgt* state = nullptr;
            items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
            items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
            MarkerSink sink;
            FORMATETC format{opcstream::DataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            DWORD connection = 0;
            data->DAdvise(&format, 0, &sink, &connection);
            BOOL on = TRUE;
            state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr);
            Sleep(2000);  // the devices start polling

            const double server0 = ProcessCpuSeconds(pid);
            const double client0 = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
            const auto wall0 = Clock::now();
            const std::size_t streams0 = sink.streams.load();
            std::vector<double> latencies;
            for (int round = 0; round < 20; ++round) {
                {
                    std::lock_guard lock(sink.mutex);
                    sink.seen = false;
                }
                const double value = 10.0 + round;
                sink.marker.store(value);
                VARIANT v;
                VariantInit(&v);
                v.vt = VT_R8;
                v.dblVal = value;
                OPCHANDLE marker = handles[0];
                const auto changed = Clock::now();
                sync->Write(1, &marker, &v, &errors);
                CoTaskMemFree(errors);
                for (int wait = 0; wait < 1000; ++wait) {
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
                // Writes fall at different points of the group's 100 ms period.
                Sleep(static_cast<DWORD>(500 + (round * 37) % 100));
            }
            const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
            const double serverCpu = ProcessCpuSeconds(pid) - server0;
            const double clientCpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC - client0;
            const std::size_t streams = sink.streams.load() - streams0;
            std::printf("subscription: %zu streams in %.1f s (%.1f per s), %zu items delivered in all\n", streams, wall,
                        streams / wall, sink.items.load());
            std::printf("server process %.1f %%, client process %.1f %% of one core (the client parses every stream)\n",
                        100.0 * serverCpu / wall, 100.0 * clientCpu / wall);
            Report("both processes, 10,000 items at 100 ms (% of one core)", 100.0 * (serverCpu + clientCpu) / wall,
                   "%", 10);
            std::sort(latencies.begin(), latencies.end());
            if (!latencies.empty()) {
                std::printf("write to delivery over %zu changes: median %.1f ms, worst %.1f ms\n", latencies.size(),
                            latencies[latencies.size() / 2], latencies.back());
                Report("write of a tag to its delivery, worst (ms)", latencies.back(), "ms", 100);
            } else {
                std::printf("write to delivery: no change was delivered\n");
                status = 1;
            }
            data->DUnadvise(connection);
            data->Release();
            state->Release();
            sync->Release();
            items->Release();
            server->RemoveGroup(groupHandle, FALSE);
            server->Release();
        }
    }
    CoUninitialize();
    std::system(("kill -TERM " + pid).c_str());
    Sleep(500);
    std::filesystem::remove_all(folder);
    return status;
}
