#include "setupui/SetupStatus.h"

#include "setup/SetupTexts.h"

SetupStatusPanes StatusPanes(SetupStatusLayout layout, int port, int device) {
    using namespace setuptexts;
    SetupStatusPanes panes;
    switch (layout) {
    case SetupStatusLayout::Ready: panes.texts = {std::string(kReady)}; break;
    case SetupStatusLayout::Scanning:
        panes.texts = {std::string(kScanning)};
        panes.progress = true;
        break;
    case SetupStatusLayout::Programming:
        panes.texts = {std::string(kProgramming), ComportPane(port), DevicePane(device)};
        panes.progress = true;
        break;
    case SetupStatusLayout::Flashing:
        panes.texts = {std::string(kReady), std::string(kFlashing), ComportPane(port), DevicePane(device)};
        panes.indicator = true;
        break;
    }
    return panes;
}
