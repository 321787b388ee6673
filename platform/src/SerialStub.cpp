// Placeholder until the serial ports are served: no name is a COM name yet.
#include "platform/WinTypes.h"

namespace platform {
HANDLE OpenSerialByName(LPCSTR, DWORD, DWORD, bool* isComName) {
    *isComName = false;
    return nullptr;
}
}  // namespace platform
