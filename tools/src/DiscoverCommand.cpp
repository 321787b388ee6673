// vok discover: searches the serial ports for counters as the Discover
// command does, prints one JSON line per counter found and, with --add, adds
// the ones not configured yet to a configuration file.
#include "tools/Commands.h"

#include "ToolSupport.h"

#include "config/ConfigFile.h"
#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKDiscovery.h"
#include "platform/Thread.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

std::atomic<bool> g_interrupted{false};

extern "C" void OnDiscoverInterrupt(int) { g_interrupted = true; }

json FoundJson(const VOKDevice& device) {
    Dll<double> bins;
    device.GetBinSizes(bins);
    json sizes = json::array();
    for (double size : bins) sizes.push_back(size);
    const std::int32_t port = device.GetPort();
    return {{"port", "COM" + std::to_string(port)},
            {"address", device.GetAddress() - VOKDevice::kDefaultAddress},
            {"type", "MCA"},  // the only type the search keeps
            {"version", device.GetSoftwareVersion()},
            {"bins", sizes},
            {"interval", device.GetSampleInterval()},
            {"name", device.GetName()}};
}

void DestroyAll(Dll<OPCS_Device*>& devices) {
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
}

void PrintProgress(const VOKDiscovery::Progress& p) {
    std::fprintf(stderr, "vok discover: %d port%s, %d of %d combinations checked, %d found\n", p.ports,
                 p.ports == 1 ? "" : "s", p.checked, p.total, p.found);
}

}  // namespace

int RunDiscoverCommand(int argc, char** argv) {
    CLI::App app{"Searches the serial ports for counters at every bus address, prints one JSON object per counter "
                 "found, and with --add adds those not configured yet to a configuration file.",
                 "vok discover"};
    std::vector<std::string> portNames;
    DWORD echoTimeout = kCounterTimeoutMs;
    std::string addFile;
    std::string logFile;
    app.add_option("--port", portNames, "search only this COM name (repeatable; default: every listed port)");
    app.add_option("--echo-timeout", echoTimeout,
                   "milliseconds to wait for each echo and reply byte, 5 to 10000 (default: 2000)")
        ->check(CLI::Range(5, 10000));
    app.add_option("--add", addFile, "add the counters found to this configuration file (made when missing)");
    app.add_option("--log", logFile, "write the event log to this file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    std::vector<int> ports;
    for (const std::string& name : portNames) {
        const int number = ComNumber(name);
        if (number < 0) {
            std::fprintf(stderr, "vok discover: '%s' is not a COM name\n", ValidUtf8(name).c_str());
            return 2;
        }
        if (CSerial::FindPortByNumber(number) == nullptr) {
            std::fprintf(stderr, "vok discover: no serial port %s on this machine (see 'vok ports list')\n",
                         name.c_str());
            return 1;
        }
        ports.push_back(number);
    }
    if (!logFile.empty() && !EventLog().Open(logFile)) {
        std::fprintf(stderr, "vok discover: cannot write the event log %s\n", ValidUtf8(logFile).c_str());
        return 1;
    }

    ScriptedUiServices ui;
    // The configuration is read before the search: a file that cannot be
    // added to is refused before minutes are spent on the lines.
    Dll<OPCS_Device*> configured;
    if (!addFile.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(addFile, ec)) {
            const ConfigLoad load = LoadConfigFile(addFile, configured);
            if (load.outcome != ConfigLoad::kLoaded || !load.errors.empty()) {
                DestroyAll(configured);
                std::fprintf(stderr,
                             "vok discover: %s is not a configuration that loads whole%s%s; it is left as it is\n",
                             ValidUtf8(addFile).c_str(), load.systemError.empty() ? "" : ": ",
                             load.systemError.c_str());
                return 1;
            }
        }
    }

    VOK_SetEchoTimeout(echoTimeout);
    std::signal(SIGINT, OnDiscoverInterrupt);
    std::signal(SIGTERM, OnDiscoverInterrupt);
    VOKDiscovery search;
    const int threads = search.Start(ports);
    VOKDiscovery::Progress shown = search.GetProgress();
    PrintProgress(shown);
    DWORD lastShown = GetTickCount();
    while (threads > 0 && !search.IsComplete() && !g_interrupted) {
        Sleep(50);
        const VOKDiscovery::Progress now = search.GetProgress();
        if ((now.checked != shown.checked || now.found != shown.found) && GetTickCount() - lastShown >= 500) {
            PrintProgress(now);
            shown = now;
            lastShown = GetTickCount();
        }
    }
    const bool stopped = search.Stop();
    PrintProgress(search.GetProgress());
    if (!stopped) {
        std::fputs("vok discover: a search thread did not end in time; nothing found is kept\n", stderr);
        DestroyAll(configured);
        return 1;
    }
    std::vector<std::unique_ptr<VOKDevice>> found = search.TakeFound();
    for (const auto& device : found) std::puts(JsonText(FoundJson(*device)).c_str());
    std::fflush(stdout);
    if (threads == 0 || g_interrupted) {
        // Nothing searched, or a search cut short: a configuration is never
        // changed from a part of the lines.
        std::fputs(threads == 0 ? "vok discover: no serial port could be opened\n"
                                : "vok discover: interrupted; no configuration was changed\n",
                   stderr);
        DestroyAll(configured);
        return 1;
    }

    int status = 0;
    if (!addFile.empty()) {
        const std::size_t before = configured.GetCount();
        const int added = AddDiscoveredDevices(
            std::move(found),
            [&](Dll<OPCS_Device*>& out) {
                for (OPCS_Device* device : configured) out.AddTail(device);
            },
            [&](VOKDevice* device) {
                configured.AddTail(device);
                return true;
            });
        std::string error;
        if (!SaveConfigFile(addFile, configured, error)) {
            std::fprintf(stderr, "vok discover: cannot write %s: %s\n", ValidUtf8(addFile).c_str(), error.c_str());
            status = 1;
        } else {
            std::fprintf(stderr, "vok discover: added %d device%s to %s (%zu configured before)\n", added,
                         added == 1 ? "" : "s", ValidUtf8(addFile).c_str(), before);
        }
    }
    DestroyAll(configured);
    return status;
}
