#pragma once
// The server program's command line. Two readings run over the same
// arguments: the program's own token scan (RegServer, UnregServer, ?, Min,
// Max), where an argument is cut into tokens at '-', '/' and ' ' and each token
// is compared ignoring letter case; and the framework's reading of file name
// and switches (Embedding, Automation, and on this platform Headless and
// Poll), where an argument that begins with '-' or '/' is a switch.
//
// File paths are not cut into tokens on this platform: every absolute path
// begins with '/', so a folder named "min" or "UnregServer" on the way to the
// configuration file would otherwise act as a token. An argument is a path
// when it names an existing file or holds a '/' after its first character.

#include <optional>
#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Register, Unregister, Usage };

    // The token scan. The first of UnregServer, RegServer and ? ends it.
    Action action = Action::Run;
    bool minimized = false;
    bool maximized = false;

    // The framework's reading.
    std::string fileName;  // the first argument that is no switch
    bool embedding = false;
    bool automation = false;
    bool headless = false;
    bool poll = false;
    bool showSplash = true;  // off when started for embedding or automation
    // "--help" or "-h" as a whole argument: the program prints its help and ends.
    bool help = false;
    // The OPC UA endpoint's port and listen address when given.
    std::optional<int> uaPort;
    std::optional<std::string> uaListen;
    // "--ua-none on|off", "--ua-anonymous on|off" when given.
    std::optional<bool> uaNone;
    std::optional<bool> uaAnonymous;
    // "--history FILE|off" when given: the history database, or none.
    std::optional<std::string> history;
    // Why the arguments cannot be used (a switch without its value, a port
    // that is no port); the program says so and ends with status 2.
    std::string invalid;

    // Min wins over Max; embedding and automation show the window minimised.
    bool ShowMinimized() const { return minimized || embedding || automation; }
    bool ShowMaximized() const { return !ShowMinimized() && maximized; }
};

// The arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// What "vok-explorer --help" prints: the arguments the program takes.
const char* ProgramHelpText();
