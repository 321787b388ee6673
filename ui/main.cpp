// vok-explorer: the operator's program and OPC server. With --headless, or
// where no display can be opened, it serves without a window.
#include "opc/CommandLine.h"
#include "opc/HeadlessServer.h"
#include "platform/Environment.h"
#include "platform/Signals.h"
#include "remote/RemoteBroker.h"
#include "ua/UaEndpoint.h"
#include "ui/OperatorProgram.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Interrupt and terminate wait for the server's orderly exit; every
    // thread started from here on inherits that.
    signals::BlockTermination();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine line = ParseCommandLine(args);
    if (line.help) {
        std::fputs(ProgramHelpText(), stdout);
        return 0;
    }
    if (!line.invalid.empty()) {
        std::fprintf(stderr, "%s\n", line.invalid.c_str());
        return 2;
    }
    // Started by a client's activation there is no one to see a window yet.
    const bool asked = line.headless || line.embedding || line.action != CommandLine::Action::Run;
    const bool headless = asked || !platform::DisplayAvailable();
    // A service without a window saves on a hang-up request and goes on
    // serving; like the termination requests it must be held back before any
    // thread starts, so that only the server's wait receives it.
    if (headless) signals::BlockSaveRequest();
    // Clients in other processes reach the class through the broker, which
    // publishes it as soon as the class-factory thread registers it.
    remote::RemoteBroker broker;
    broker.Install();
    // OPC UA clients reach the same objects through the endpoint, which opens
    // once the class is published and closes before the servers go.
    ua::UaEndpoint endpoint;
    SetServingExtension(&endpoint);
    if (headless) {
        if (!asked)
            std::fputs("vok-explorer: no display to open the window on (DISPLAY is not set or not reachable); "
                       "running the server without a window, as with --headless\n",
                       stderr);
        return RunHeadlessServer(args);
    }
    return RunOperatorProgram(argc, argv, args);
}
