// Where the port list comes from when nobody chose otherwise: the machine's
// serial devices get their COM names first, then the registry lists them.
#include "foundation/Dll.h"
#include "foundation/RegIO.h"
#include "platform/SerialNames.h"

#include <string>

void DefaultPortNames(Dll<std::string>& out) {
    serialnames::RegisterMachineDevices();
    RegIO::ListSerialPorts(out);
}
