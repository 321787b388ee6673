// vok ports: the COM names of the machine's serial devices, as the server and
// the setup tool see them.
#include "tools/Commands.h"

#include "platform/SerialNames.h"
#include "tools/ToolOutput.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

constexpr int kUsageError = 2;

int Number(const std::string& comName) {
    int number = 0;
    serialnames::ParseComName(comName, &number);
    return number;
}

int List(bool json) {
    serialnames::RegisterMachineDevices();
    auto entries = serialnames::List();
    std::stable_sort(entries.begin(), entries.end(), [](const serialnames::Entry& a, const serialnames::Entry& b) {
        return Number(a.comName) < Number(b.comName);
    });
    if (json) {
        auto ports = nlohmann::json::array();
        for (const auto& entry : entries) {
            std::error_code ignored;
            ports.push_back({{"name", entry.comName},
                             {"device", entry.devicePath},
                             {"present", std::filesystem::exists(entry.devicePath, ignored)}});
        }
        std::cout << JsonText(ports, 2) << "\n";
    } else {
        // The registry file may hold any bytes; names are shown, never refused.
        for (const auto& entry : entries)
            std::cout << ValidUtf8(entry.comName) << '\t' << ValidUtf8(entry.devicePath) << '\n';
    }
    return 0;
}

int Assign(const std::string& comName, const std::string& devicePath) {
    int number = 0;
    if (!serialnames::ParseComName(comName, &number)) {
        std::fprintf(stderr, "vok ports: \"%s\" is not a COM name (COM1 to COM256)\n",
                     ValidUtf8(comName).c_str());
        return kUsageError;
    }
    std::error_code error;
    if (!std::filesystem::exists(devicePath, error)) {
        std::fprintf(stderr, "vok ports: %s does not exist\n", ValidUtf8(devicePath).c_str());
        return 1;
    }
    std::string why;
    if (!serialnames::Assign(comName, devicePath, &why)) {
        std::fprintf(stderr, "vok ports: %s\n", ValidUtf8(why).c_str());
        return 1;
    }
    const std::string name = "COM" + std::to_string(number);
    std::cout << name << '\t' << ValidUtf8(serialnames::DevicePathOf(name)) << '\n';
    return 0;
}

int Remove(const std::string& comName) {
    if (!serialnames::ParseComName(comName, nullptr)) {
        std::fprintf(stderr, "vok ports: \"%s\" is not a COM name (COM1 to COM256)\n",
                     ValidUtf8(comName).c_str());
        return kUsageError;
    }
    if (!serialnames::Remove(comName)) {
        std::fprintf(stderr, "vok ports: %s is not assigned to any device\n", ValidUtf8(comName).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int RunPortsCommand(int argc, char** argv) {
    CLI::App app{"List, assign and remove the COM names of serial devices. The names live in the registry key\n"
                 "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm (folder: VOK_REGISTRY_DIR).",
                 "vok ports"};
    app.require_subcommand(1);

    bool json = false;
    auto* list = app.add_subcommand("list", "give new serial devices COM names, then list every name and its device");
    list->add_flag("--json", json, "print a JSON array instead of lines \"COMn<TAB>device\"");

    std::string assignName, assignPath;
    auto* assign = app.add_subcommand("assign", "give a device a COM name (the name it had before is dropped)");
    assign->add_option("name", assignName, "the COM name, such as COM3")->required();
    assign->add_option("device", assignPath, "the device path, such as /dev/ttyUSB0")->required();

    std::string removeName;
    auto* remove = app.add_subcommand("remove", "drop a COM name");
    remove->add_option("name", removeName, "the COM name, such as COM3")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help asked for, or a usage error
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsageError;
    }
    if (list->parsed()) return List(json);
    if (assign->parsed()) return Assign(assignName, assignPath);
    return Remove(removeName);
}
