#include "opc/CommandLine.h"

#include "foundation/TextCompare.h"
#include "foundation/VersionInfo.h"

#include <cstdlib>

namespace {

bool IsPath(const std::string& arg) {
    return arg.find('/', 1) != std::string::npos || versioninfo::FileExists(arg);
}

bool IsSwitch(const std::string& arg) { return !arg.empty() && (arg[0] == '-' || arg[0] == '/') && !IsPath(arg); }

bool Same(const std::string& a, const char* b) { return EqualNoCase(a, b); }

// Returns false once a token ends the scan.
bool ScanTokens(const std::string& arg, CommandLine& line) {
    Dll<std::string> tokens;
    versioninfo::Split(arg, "-/ ", false, tokens);
    for (const std::string& token : tokens) {
        if (Same(token, "UnregServer")) {
            line.action = CommandLine::Action::Unregister;
            return false;
        }
        if (Same(token, "RegServer")) {
            line.action = CommandLine::Action::Register;
            return false;
        }
        if (token == "?") {
            line.action = CommandLine::Action::Usage;
            return false;
        }
        if (Same(token, "Min")) line.minimized = true;
        if (Same(token, "Max")) line.maximized = true;
    }
    return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") line.help = true;
    for (const std::string& arg : args) {
        if (IsPath(arg)) continue;
        if (!ScanTokens(arg, line)) break;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!IsSwitch(arg)) {
            if (line.fileName.empty() && !arg.empty()) line.fileName = arg;
            continue;
        }
        const auto start = arg.find_first_not_of("-/");
        if (start == std::string::npos) continue;
        std::string name = arg.substr(start);
        // The OPC UA endpoint's switches take a value, as "--ua-port 4841" or
        // "--ua-port=4841"; the value is never the configuration file.
        const auto equals = name.find('=');
        const std::string key = name.substr(0, equals);
        if (Same(key, "ua-port") || Same(key, "ua-listen") || Same(key, "ua-none") || Same(key, "ua-anonymous") ||
            Same(key, "history")) {
            std::string value;
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                line.invalid = "vok-explorer: --" + key + " needs a value";
                continue;
            }
            if (Same(key, "ua-none") || Same(key, "ua-anonymous")) {
                std::optional<bool>& target = Same(key, "ua-none") ? line.uaNone : line.uaAnonymous;
                if (Same(value, "on")) target = true;
                else if (Same(value, "off")) target = false;
                else line.invalid = "vok-explorer: --" + key + " takes on or off, not \"" + value + "\"";
                continue;
            }
            if (Same(key, "history")) {
                if (value.empty()) line.invalid = "vok-explorer: --history needs a database file or off";
                else line.history = value;
                continue;
            }
            if (Same(key, "ua-listen")) {
                if (value.empty()) line.invalid = "vok-explorer: --ua-listen needs an address";
                else line.uaListen = value;
                continue;
            }
            char* end = nullptr;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > 65535)
                line.invalid = "vok-explorer: --ua-port takes a port number from 0 to 65535, not \"" + value + "\"";
            else
                line.uaPort = static_cast<int>(port);
            continue;
        }
        if (Same(name, "Embedding") || Same(name, "Automation")) {
            (Same(name, "Embedding") ? line.embedding : line.automation) = true;
            line.showSplash = false;
        } else if (Same(name, "nologo")) {
            line.showSplash = false;
        } else if (Same(name, "headless")) {
            line.headless = true;
        } else if (Same(name, "poll")) {
            line.poll = true;
        }
    }
    return line;
}

const char* ProgramHelpText() {
    return "usage: vok-explorer [--headless] [--poll] [--ua-port N] [--ua-listen ADDRESS] [--ua-none on|off]\n"
           "                    [--ua-anonymous on|off] [--history FILE|off] [FILE]\n"
           "       vok-explorer /RegServer | /UnregServer | /?\n"
           "\n"
           "VOK Explorer polls the 4400 VOK particle counters of the configuration FILE (the last one used\n"
           "when none is given) and serves their counts, alarms and analog inputs as OPC Data Access items.\n"
           "With a display it opens the operator's window; without one, or with --headless, it serves\n"
           "without a window until SIGTERM or SIGINT, which save the configuration and the settings.\n"
           "SIGHUP saves them too and serving goes on (what a service manager's reload sends).\n"
           "\n"
           "  --headless     serve without a window\n"
           "  --poll         start polling every device at once (otherwise clients start it)\n"
           "  --ua-port N    serve OPC UA on port N (default 4840; 0 turns the endpoint off); kept in\n"
           "                 the settings\n"
           "  --ua-listen ADDRESS\n"
           "                 the address the OPC UA endpoint listens on (default 0.0.0.0, every\n"
           "                 interface: beyond this machine only signed and encrypted); kept\n"
           "  --ua-none on|off\n"
           "                 the OPC UA endpoint without security for programs on this machine\n"
           "                 (default on); kept\n"
           "  --ua-anonymous on|off\n"
           "                 OPC UA sessions without a user name, which read but never write\n"
           "                 (default on); kept. Certificates and users: vok ua\n"
           "  --history FILE|off\n"
           "                 keep every counter sample in the SQLite database FILE (default\n"
           "                 history.db in the program's data folder), or keep none; kept.\n"
           "                 Reading it: vok history\n"
           "  /Min, /Max     open the window minimised or maximised\n"
           "  /RegServer     register the OPC server class and its categories, then end\n"
           "  /UnregServer   remove that registration, then end\n"
           "  /?             show the server's parameters\n"
           "  --help, -h     print this text\n"
           "\n"
           "Files: the configuration, event log and I/O log live beside the program, or in\n"
           "$XDG_DATA_HOME/vok (~/.local/share/vok) where its folder is not writable. The settings and\n"
           "COM names live in the registry folder, $VOK_REGISTRY_DIR or ~/.config/vok/registry.\n";
}
