// vok probe: makes one counter device on a port and bus address, polls it, and
// prints every tag of the device after each poll pass as one JSON line.
#include "tools/Commands.h"

#include "ToolSupport.h"

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/ScopedLock.h"
#include "model/VOKDevice.h"
#include "platform/Thread.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

namespace {

using nlohmann::json;

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

json ValueOf(const OPCS_Tag& tag) {
    VARIANT v;
    tag.GetValue(v);
    json out = JsonOfVariant(v);
    VariantClear(&v);
    return out;
}

bool ParseBins(const std::string& text, Dll<double>& bins) {
    std::stringstream in(text);
    std::string item;
    double last = 0;
    while (std::getline(in, item, ',')) {
        try {
            std::size_t used = 0;
            const double size = std::stod(item, &used);
            if (used != item.size() || !(size > last) || !VOKDevice::FitsCounter(size)) return false;
            bins.AddTail(size);
            last = size;
        } catch (const std::exception&) {
            return false;
        }
    }
    return bins.GetCount() >= 1 && bins.GetCount() <= VOKDevice::kMaxBins;
}

}  // namespace

int RunProbeCommand(int argc, char** argv) {
    CLI::App app{"Makes one counter device on a port and bus address, polls it, and prints every tag of the device "
                 "after each poll pass as one JSON object per line.",
                 "vok probe"};
    std::string port;
    int address = -1;
    int passes = 0;
    unsigned interval = 0;
    std::string binsText;
    std::string logFile;
    app.add_option("--port", port, "COM name of the line, e.g. COM5")->required();
    app.add_option("--address", address, "bus address of the counter, 0 to 63")->required()->check(CLI::Range(0, 63));
    app.add_option("--passes", passes, "stop after this many poll passes (default: until interrupted)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--interval", interval, "sample interval in seconds, 1 to 3599 (default: the program setting)")
        ->check(CLI::Range(1, 3599));
    app.add_option("--bins", binsText, "size bins in micrometres, ascending, comma-separated, e.g. 0.5,1,5");
    app.add_option("--log", logFile, "write the event log to this file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help asked for, or a usage error
    }
    const int number = ComNumber(port);
    if (number < 0) {
        std::fprintf(stderr, "vok probe: '%s' is not a COM name\n", ValidUtf8(port).c_str());
        return 2;
    }
    Dll<double> bins;
    if (!binsText.empty() && !ParseBins(binsText, bins)) {
        std::fprintf(stderr,
                     "vok probe: --bins needs 1 to 32 ascending sizes of at most three characters, e.g. 0.5,1,5\n");
        return 2;
    }
    if (!logFile.empty() && !EventLog().Open(logFile)) {
        std::fprintf(stderr, "vok probe: cannot write the event log %s\n", ValidUtf8(logFile).c_str());
        return 1;
    }
    if (CSerial::FindPortByNumber(number) == nullptr) {
        std::fprintf(stderr, "vok probe: no serial port %s on this machine (see 'vok ports list')\n", port.c_str());
        return 1;
    }

    ScriptedUiServices ui;
    auto device = VOKDevice::Create(false);
    device->SetPort(number);
    device->SetAddress(static_cast<BYTE>(0x80 + address));
    device->SetName(device->GetDefaultName());
    if (interval != 0) device->SetSampleInterval(interval, false);
    if (bins.GetCount() > 0) device->SetBinSizes(bins, false);

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    device->RequestPolling(OPCS_Device::kOperator);
    // A pass ends when the device's pass count moves; the printing runs while
    // the device waits its interval. Each line carries the device's own pass
    // number, so a pass this loop missed on a loaded machine shows as a gap
    // rather than as a later pass printed under an earlier number.
    std::uint64_t last = device->GetPollPassCount();
    std::uint64_t printed = 0;
    int status = 0;
    while (!g_interrupted && (passes == 0 || printed < static_cast<std::uint64_t>(passes))) {
        Sleep(20);
        const std::uint64_t now = device->GetPollPassCount();
        if (now == last || device->GetPollState() == OPCS_Device::kPollingDevice) continue;
        last = now;
        json items = json::object();
        int comm = 0;
        {
            GroupLock hold(*device);  // a consistent pass: the conversion runs under this lock
            Dll<OPCS_Tag*> tags;
            device->CopyTagList(tags);
            for (OPCS_Tag* tag : tags) {
                if (!OPCS_Tag::IsValidTag(tag)) continue;
                items[tag->GetItemID()] = {{"value", ValueOf(*tag)}, {"quality", tag->GetQuality()}};
            }
            comm = device->GetCommStatus();
        }
        // A pass that began while copying may have mixed its values in; print that one instead.
        if (device->GetPollPassCount() != now || device->GetPollState() == OPCS_Device::kPollingDevice) continue;
        printed = now;
        std::puts(JsonText({{"pass", now}, {"comm_status", comm}, {"items", items}}).c_str());
        std::fflush(stdout);
        status = comm == VOKDevice::kCommOK ? 0 : 1;
    }
    device->ReleasePolling(OPCS_Device::kOperator);
    device.reset();
    return status;
}
