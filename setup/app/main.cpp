// vok-setup: the technician's tool that finds the counters on the serial lines
// and programs their size bins and calibration.
#include "setupui/CSetupFrame.h"

#include "platform/Environment.h"
#include "setup/SupportedModels.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::puts("usage: vok-setup\n\n"
                      "Scans COM1 to COM32 for counters, shows those of a supported model by port, makes the\n"
                      "selected one blink, and programs its size bins and calibration points. The supported\n"
                      "models are the value names under HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\VOKSetup\\Supported "
                      "Models\n(\"MCA\" on a fresh machine).");
            return 0;
        }
        std::fprintf(stderr, "vok-setup: unknown argument '%s' (try --help)\n", argv[i]);
        return 2;
    }
    if (!platform::DisplayAvailable()) {
        std::fputs("vok-setup: no display to open the window on (DISPLAY is not set or not reachable)\n", stderr);
        return 1;
    }
    if (!supportedmodels::EnsureDefaults())
        std::fputs("vok-setup: the list of supported models could not be written to the registry\n", stderr);
    QApplication app(argc, argv);
    QApplication::setApplicationName("VOKSetup");
    CSetupFrame frame;
    frame.show();
    return QApplication::exec();
}
