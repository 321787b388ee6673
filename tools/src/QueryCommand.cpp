// vok query: runs every read of the counter command set against one counter
// and prints what it answered as one JSON object.
#include "tools/Commands.h"

#include "ToolSupport.h"

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "platform/Thread.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

using nlohmann::json;

struct Selection {
    std::int32_t handle = -1;
    bool ok = false;
    Selection(int port, BYTE address) { ok = VOK_SelectCounter(port, address, handle, nullptr); }
    ~Selection() {
        if (ok) VOK_ReleaseCounter(handle);
    }
};

}  // namespace

int RunQueryCommand(int argc, char** argv) {
    CLI::App app{"Reads one counter with every transaction: type, version, counter mode, sample interval, bin "
                 "sizes, calibration points and data. With --sample it starts a sample, waits for it and reads it.",
                 "vok query"};
    std::string port;
    int address = -1;
    bool sample = false;
    int waitSeconds = 120;
    std::string logFile;
    app.add_option("--port", port, "COM name of the line, e.g. COM5")->required();
    app.add_option("--address", address, "bus address of the counter, 0 to 63")->required()->check(CLI::Range(0, 63));
    app.add_flag("--sample", sample, "start a sample, wait until the counter holds it, then read the data");
    app.add_option("--wait", waitSeconds, "longest wait for the sample, seconds")->check(CLI::Range(1, 6000));
    app.add_option("--log", logFile, "write the event log to this file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help asked for, or a usage error
    }
    const int number = ComNumber(port);
    if (number < 0) {
        std::fprintf(stderr, "vok query: '%s' is not a COM name\n", ValidUtf8(port).c_str());
        return 2;
    }
    if (!logFile.empty() && !EventLog().Open(logFile)) {
        std::fprintf(stderr, "vok query: cannot write the event log %s\n", ValidUtf8(logFile).c_str());
        return 1;
    }
    if (CSerial::FindPortByNumber(number) == nullptr) {
        std::fprintf(stderr, "vok query: no serial port %s on this machine (see 'vok ports list')\n", port.c_str());
        return 1;
    }
    if (!VOK_OpenPort(number)) {
        std::fprintf(stderr, "vok query: cannot open %s (in use, or its device is gone)\n", port.c_str());
        return 1;
    }
    const BYTE addressByte = static_cast<BYTE>(0x80 + address);
    json out{{"port", port}, {"address", address}};
    int status = 0;
    {
        Selection select(number, addressByte);
        if (!select.ok) {
            std::fprintf(stderr, "vok query: counter %d on %s does not answer\n", address, port.c_str());
            VOK_ClosePort(number);
            return 1;
        }
        std::string text;
        out["type"] = VOK_ReadType(select.handle, text, nullptr) ? json(text) : json(nullptr);
        out["version"] = VOK_ReadVersion(select.handle, text, nullptr) ? json(text) : json(nullptr);
        int mode = 2;
        out["mode"] = VOK_ReadCounterMode(select.handle, mode, nullptr) ? json(mode) : json(nullptr);
        int seconds = 0;
        out["sample_interval"] = VOK_ReadSampleInterval(select.handle, seconds, nullptr) ? json(seconds) : json(nullptr);
        Dll<double> sizes;
        if (VOK_ReadBinSizes(select.handle, sizes, nullptr)) {
            out["bin_sizes"] = json::array();
            for (double size : sizes) out["bin_sizes"].push_back(size);
        } else {
            out["bin_sizes"] = nullptr;
        }
        Dll<VOK_CalPt> points;
        if (VOK_ReadCalPts(select.handle, points, nullptr)) {
            out["calibration_points"] = json::array();
            for (const VOK_CalPt& point : points)
                out["calibration_points"].push_back({{"size", point.size}, {"threshold", point.voltage}});
        } else {
            out["calibration_points"] = nullptr;
        }
        if (sample) {
            if (!VOK_SetManualMode(select.handle, nullptr) || !VOK_ClearBuffer(select.handle, nullptr) ||
                !VOK_StartSampling(select.handle, nullptr))
                status = 1;
        }
    }
    if (sample && status == 0) {
        // Between mode queries the line is free for others: each query is its own select.
        const DWORD start = GetTickCount();
        int mode = 0;
        while (mode == 0 && GetTickCount() - start < static_cast<DWORD>(waitSeconds) * 1000) {
            Sleep(200);
            Selection select(number, addressByte);
            if (!select.ok || !VOK_ReadCounterMode(select.handle, mode, nullptr)) mode = 2;
        }
        if (mode == 0) {
            std::fprintf(stderr, "vok query: the sample did not finish within %d s\n", waitSeconds);
            status = 1;
        }
    }
    {
        Selection select(number, addressByte);
        BYTE flags = 0;
        Dll<VOK_DataRec> records;
        if (select.ok && VOK_ReadData(select.handle, flags, records, nullptr)) {
            json data{{"status", flags}, {"records", json::array()}};
            for (const VOK_DataRec& record : records)
                data["records"].push_back({{"name", record.name}, {"value", record.value}});
            out["data"] = data;
        } else {
            out["data"] = nullptr;
        }
    }
    VOK_ClosePort(number);
    // The type and version replies carry no checksum: line noise reaches this text as it came.
    std::puts(JsonText(out).c_str());
    return status;
}
