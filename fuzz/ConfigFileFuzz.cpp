// Fuzz target: any bytes as a configuration file, or as one of its layers.
// The reader must neither crash nor leak nor read out of bounds, and
// whatever it accepts must write back and read again whole.
//
// The first byte says what the rest is: 'G' the layer of one tag group (its
// tags and sub-groups), 'T' the layer of one tag, anything else a whole
// file (then the first byte is the file's). The layers are read by the
// same code that reads them inside a file, but without the device around
// them, so most inputs cost no device at all. The devices a file makes are
// the real ones, made without their poll threads, which reading and writing
// never use.
//
// With VOK_FUZZ_CONFIG_SEEDS=<folder> the program first writes, for every
// configuration file in the folder, the layers of its groups and tags there
// as seeds of their own, with the program's own writer.
#include "config/ConfigFile.h"
#include "foundation/Archive.h"
#include "model/ModelHost.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class FileOnlyHost : public ModelHost {
public:
    bool StartsPollThreads() const override { return false; }
};

void UseFileOnlyHost() {
    static FileOnlyHost host;
    SetModelHost(&host);
}

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "configuration: %s\n", what);
    std::abort();
}

void DestroyAll(Dll<OPCS_Device*>& devices) {
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
}

// What the program wrote, it reads back whole.
void CheckReadsBack(const CArchive& again) {
    if (!again.GetErrors().empty()) Fault("what was written reads back with errors");
    if (again.GetRemaining() != 0) Fault("what was written reads back with bytes left over");
}

void Document(const std::uint8_t* data, std::size_t size) {
    Dll<OPCS_Device*> devices;
    CArchive in(std::vector<std::uint8_t>(data, data + size));
    try {
        SerializeDocumentLayer(in, devices);
    } catch (const ArchiveException&) {
        DestroyAll(devices);
        return;
    }
    CArchive out;
    SerializeDocumentLayer(out, devices);
    CArchive again(out.GetBytes());
    Dll<OPCS_Device*> reloaded;
    SerializeDocumentLayer(again, reloaded);
    if (reloaded.GetCount() != devices.GetCount()) Fault("the devices read back are not the devices written");
    // A device's own tags take fresh values and times as it loads, so the
    // file written again differs; the whole of it still reads.
    CheckReadsBack(again);
    DestroyAll(reloaded);
    DestroyAll(devices);
}

// One layer into a fresh object of type T, written, read into another and written again.
template <typename T>
void Layer(const std::uint8_t* data, std::size_t size) {
    CArchive in(std::vector<std::uint8_t>(data, data + size));
    T object;
    try {
        object.Serialize(in);
    } catch (const ArchiveException&) {
        return;
    }
    CArchive out;
    object.Serialize(out);
    CArchive again(out.GetBytes());
    T reloaded;
    reloaded.Serialize(again);
    CheckReadsBack(again);
    // Outside a device nothing is refreshed: the layer writes the same again.
    CArchive twice;
    reloaded.Serialize(twice);
    if (twice.GetBytes() != out.GetBytes()) Fault("a layer read back writes other bytes");
}

template <typename T>
void WriteLayerSeed(const std::filesystem::path& file, char kind, T& object) {
    CArchive out;
    object.Serialize(out);
    std::ofstream seed(file, std::ios::binary);
    seed.put(kind);
    seed.write(reinterpret_cast<const char*>(out.GetBytes().data()), static_cast<std::streamsize>(out.GetBytes().size()));
}

// The layers of the first groups and tags of each device of the files in folder.
void WriteLayerSeeds(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == ".psf") files.push_back(entry.path());
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        Dll<OPCS_Device*> devices;
        CArchive in(std::move(bytes));
        try {
            SerializeDocumentLayer(in, devices);
        } catch (const ArchiveException&) {
            DestroyAll(devices);
            continue;
        }
        int n = 0;
        for (OPCS_Device* device : devices) {
            Dll<OPCS_TagGroup*> groups;
            device->CopyGroups(groups);
            for (OPCS_TagGroup* group : groups) {
                if (n >= 4) break;
                const std::string stem = file.stem().string() + "-" + std::to_string(n++);
                WriteLayerSeed(folder / ("seed-group-" + stem), 'G', *group);
                Dll<OPCS_Tag*> tags;
                group->CopyTags(tags);
                if (!tags.IsEmpty()) WriteLayerSeed(folder / ("seed-tag-" + stem), 'T', *tags.Head()->Value());
            }
        }
        DestroyAll(devices);
    }
}

}  // namespace

// A whole file makes and frees some ten thousand small objects. With the
// sanitizer's defaults every freed block waits in a 256 MB quarantine and
// every new one is filled first, so the run spends its time faulting in
// fresh pages; a 16 MB quarantine still outlasts any one input, and a fault
// found replays in the regression test with the full defaults.
#ifdef VOK_LIBFUZZER
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:max_malloc_fill_size=0"; }
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    UseFileOnlyHost();
    if (const char* seeds = std::getenv("VOK_FUZZ_CONFIG_SEEDS")) WriteLayerSeeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    UseFileOnlyHost();
    if (size > 0 && data[0] == 'G')
        Layer<VOKTagGroup>(data + 1, size - 1);
    else if (size > 0 && data[0] == 'T')
        Layer<VOKTag>(data + 1, size - 1);
    else
        Document(data, size);
    return 0;
}
