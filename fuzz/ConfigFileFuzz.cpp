// Fuzz target: any bytes as a configuration file. The reader must neither
// crash nor leak nor read out of bounds, and whatever it accepts must write
// back and read again to the same devices.
#include "config/ConfigFile.h"
#include "foundation/Archive.h"
#include "model/OPCS_Device.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void DestroyAll(Dll<OPCS_Device*>& devices) {
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Dll<OPCS_Device*> devices;
    CArchive in(std::vector<std::uint8_t>(data, data + size));
    try {
        SerializeDocumentLayer(in, devices);
    } catch (const ArchiveException&) {
        DestroyAll(devices);
        return 0;
    }
    CArchive out;
    SerializeDocumentLayer(out, devices);
    CArchive again(out.GetBytes());
    Dll<OPCS_Device*> reloaded;
    SerializeDocumentLayer(again, reloaded);
    // What the program wrote, it reads back whole.
    if (reloaded.GetCount() != devices.GetCount() || !again.GetErrors().empty() || again.GetRemaining() != 0)
        std::abort();
    DestroyAll(reloaded);
    DestroyAll(devices);
    return 0;
}
