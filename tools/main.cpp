// vok: the command-line toolbox of the VOK system.
#include "tools/Commands.h"
#include "tools/ToolOutput.h"

#include <cstdio>
#include <string>

namespace {

int Usage(std::FILE* out) {
    std::fputs(
        "usage: vok <command> [arguments]\n"
        "\n"
        "commands:\n"
        "  ports      list, assign and remove the COM names of serial devices\n"
        "  sim        run simulated counters on a pseudo-terminal\n"
        "  query      read one counter with every command and print what it answered\n"
        "  probe      poll one counter as a device and print its tags after every pass\n"
        "  config     print a configuration file as JSON, or make a new one\n"
        "  opc        an OPC client: connect to the server class and print its status\n"
        "  discover   search the serial ports for counters and add them to a configuration\n"
        "  ua         the OPC UA endpoint's users, certificates and endpoints\n"
        "  history    the sample history: devices, samples, export, statistics, check, backup\n"
        "  version    print the program version\n"
        "  help       print this text\n"
        "\n"
        "'vok <command> --help' describes a command.\n",
        out);
    return out == stdout ? 0 : 2;
}

int Dispatch(int argc, char** argv) {
    if (argc < 2) return Usage(stderr);
    const std::string command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") return Usage(stdout);
    if (command == "version" || command == "--version") {
        std::puts("{\"product\": \"VOK Explorer\", \"version\": \"2.11\"}");
        return 0;
    }
    if (command == "ports") return RunPortsCommand(argc - 1, argv + 1);
    if (command == "sim") return RunSimCommand(argc - 1, argv + 1);
    if (command == "query") return RunQueryCommand(argc - 1, argv + 1);
    if (command == "probe") return RunProbeCommand(argc - 1, argv + 1);
    if (command == "config") return RunConfigCommand(argc - 1, argv + 1);
    if (command == "opc") return RunOpcCommand(argc - 1, argv + 1);
    if (command == "discover") return RunDiscoverCommand(argc - 1, argv + 1);
    if (command == "ua") return RunUaCommand(argc - 1, argv + 1);
    if (command == "history") return RunHistoryCommand(argc - 1, argv + 1);
    std::fprintf(stderr, "vok: unknown command '%s' (try 'vok help')\n", ValidUtf8(command).c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    return RunGuarded([&] { return Dispatch(argc, argv); });
}
