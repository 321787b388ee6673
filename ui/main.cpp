// vok-explorer: the operator's program and OPC server. With --headless it
// serves without a window.
#include "opc/CommandLine.h"
#include "opc/HeadlessServer.h"
#include "platform/Signals.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Interrupt and terminate wait for the server's orderly exit; every
    // thread started from here on inherits that.
    signals::BlockTermination();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine line = ParseCommandLine(args);
    if (line.headless || line.action != CommandLine::Action::Run) return RunHeadlessServer(args);
    std::fputs("vok-explorer: the operator's window is not part of this build yet; run 'vok-explorer --headless [FILE]'\n",
               stderr);
    return 2;
}
