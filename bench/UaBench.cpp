// Our OPC UA server under the load of the UA benchmark (scripts/ua-bench.sh):
// the 53-device configuration of the DA benchmarks (simulated-data counters
// of 32 bins, 10,070 tags) built in this process, its class published
// in-process, and ua::UaServer on a loopback port until a terminate request.
// When it listens it writes the descriptor the load reads: its pid, the
// endpoint, every tag's node id (the first device's sample interval first,
// the tag the load writes to time a change), and how often the simulated
// values change.
//
// The load changes the marker through an OPC UA Write; given a named pipe,
// this program also writes it in-process as a DA client's write does, one
// request a line, so that the way from a change to its notification can be
// timed apart from the Write service (or before that service exists).
//
//   bench_ua --serve PORT DESCRIPTOR [MARKER_PIPE]
#include "BenchDevices.h"
#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/OPCS_Tag.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/CEnumItemIDs.h"
#include "opc/InProcessServer.h"
#include "platform/Signals.h"
#include "ua/UaServer.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kDevices = 53;
constexpr int kBins = 32;
constexpr const char* kMarker = "Dev0.Sample Interval";

std::string OwnPid() {
    std::ifstream in("/proc/self/stat");
    std::string pid;
    in >> pid;
    return pid;
}

// A JSON string; item IDs are the user's names and may hold any character.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Writes the marker tag as a DA client's write reaches it, for each value the
// load sends through the pipe, one a line, until the line "stop". Each writer
// that closes the pipe is followed by the next one that opens it.
class MarkerRequests {
public:
    MarkerRequests(std::string pipe, OPCS_Tag* marker) : pipe_(std::move(pipe)), marker_(marker) {
        thread_ = std::thread([this] { Run(); });
    }
    ~MarkerRequests() {
        // The open below waits for the reader, which is waiting for a writer
        // or reading one; once it has given up, nobody would read it.
        if (running_.load()) std::ofstream(pipe_) << "stop\n";
        thread_.join();
    }
    MarkerRequests(const MarkerRequests&) = delete;
    MarkerRequests& operator=(const MarkerRequests&) = delete;

private:
    void Run() {
        for (;;) {
            std::ifstream in(pipe_);
            if (!in) break;
            std::string line;
            while (std::getline(in, line)) {
                if (line == "stop") {
                    running_ = false;
                    return;
                }
                double number = 0;
                const auto parsed = std::from_chars(line.data(), line.data() + line.size(), number);
                if (parsed.ec != std::errc{}) continue;
                VARIANT value;
                VariantInit(&value);
                value.vt = VT_R8;
                value.dblVal = number;
                if (marker_->WriteClientValue(value) != TagWrite::kDone)
                    std::fprintf(stderr, "bench_ua: the marker refused %s\n", line.c_str());
            }
        }
        running_ = false;
    }

    std::string pipe_;
    OPCS_Tag* marker_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Written beside and renamed into place, so that the script waiting for the
// file never reads half of it.
bool WriteDescriptor(const std::string& path, const std::string& endpoint, const std::vector<std::string>& itemIds,
                     unsigned long changeIntervalSeconds, const std::string& markerPipe) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "{\"server\":\"ours (ua::UaServer)\",\"pid\":" << OwnPid() << ",\"endpoint\":" << Quoted(endpoint)
            << ",\"marker\":" << Quoted(std::string("ns=1;s=") + kMarker)
            << ",\"changeIntervalSeconds\":" << changeIntervalSeconds;
        if (!markerPipe.empty()) out << ",\"markerPipe\":" << Quoted(markerPipe);
        out << ",\"nodes\":[";
        for (std::size_t i = 0; i < itemIds.size(); ++i) out << (i ? "," : "") << Quoted("ns=1;s=" + itemIds[i]);
        out << "]}\n";
        if (!out.flush()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

int Serve(const std::string& portText, const std::string& descriptor, const std::string& markerPipe) {
    unsigned port = 0;
    const auto parsed = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (parsed.ec != std::errc{} || parsed.ptr != portText.data() + portText.size() || port == 0 || port > 65535) {
        std::fprintf(stderr, "bench_ua: the port must be 1 to 65535, not '%s'\n", portText.c_str());
        return 2;
    }
    // Before any thread starts, so that every thread leaves the request to the wait below.
    signals::BlockTermination();
    ScriptedUiServices ui;
    InProcessServer host;
    if (host.Status() != S_OK) {
        std::fprintf(stderr, "bench_ua: the in-process class is not published (0x%08X)\n",
                     static_cast<unsigned>(host.Status()));
        return 1;
    }
    OPCS_Doc& doc = host.UseDocument();
    VOKDevice* first = AddSimulatedDevices(doc, kDevices, kBins).front();
    // A device polls, and its simulated values step, once per update interval.
    const unsigned long changeInterval = first->GetUpdateInterval();

    std::vector<std::string> itemIds;
    {
        ConfigLockHold hold;
        itemIds = addressspace::LeafItemIds(nullptr);
    }
    const auto marker = std::find(itemIds.begin(), itemIds.end(), kMarker);
    if (marker == itemIds.end()) {
        std::fprintf(stderr, "bench_ua: the configuration has no tag %s\n", kMarker);
        return 1;
    }
    std::rotate(itemIds.begin(), marker, marker + 1);

    std::unique_ptr<MarkerRequests> requests;
    if (!markerPipe.empty()) {
        std::error_code error;
        if (!std::filesystem::is_fifo(markerPipe, error)) {
            std::fprintf(stderr, "bench_ua: %s is not a named pipe\n", markerPipe.c_str());
            return 2;
        }
        OPCS_Tag* tag = first->GetSlotTag(VOKDevice::kSlotSampleInterval);
        if (tag == nullptr) {
            std::fprintf(stderr, "bench_ua: the first device has no sample interval tag\n");
            return 1;
        }
        requests = std::make_unique<MarkerRequests>(markerPipe, tag);
    }

    ua::UaServer server;
    ua::UaServerSettings settings;
    settings.port = static_cast<std::uint16_t>(port);
    settings.listenAddress = "127.0.0.1";
    std::string error;
    if (!server.Start(settings, error)) {
        std::fprintf(stderr, "bench_ua: the OPC UA server did not start: %s\n", error.c_str());
        return 1;
    }
    // The load connects to the address the server listens on, whatever
    // host name the endpoint URL carries.
    const std::string endpoint = "opc.tcp://127.0.0.1:" + std::to_string(server.Port());
    if (!WriteDescriptor(descriptor, endpoint, itemIds, changeInterval, markerPipe)) {
        std::fprintf(stderr, "bench_ua: cannot write %s\n", descriptor.c_str());
        server.Stop();
        return 1;
    }
    std::printf("ours: %zu tags in %d simulated-data devices on %s (%s), values changing every %lu s\n",
                itemIds.size(), kDevices, endpoint.c_str(), server.EndpointUrl().c_str(), changeInterval);
    std::fflush(stdout);
    signals::WaitForTermination(-1);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--serve")
        return Serve(argv[2], argv[3], argc == 5 ? argv[4] : "");
    std::fprintf(stderr,
                 "usage: bench_ua --serve PORT DESCRIPTOR [MARKER_PIPE]\n"
                 "  serves the 53-device simulated configuration over OPC UA on 127.0.0.1:PORT until SIGTERM;\n"
                 "  scripts/ua-bench.sh runs it with the load and the node-opcua peer\n");
    return 2;
}
