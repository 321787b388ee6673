#pragma once
// Reading and writing the configuration file as a whole: the document's own
// layer (its version and the device list) around the layers of the devices.
// A save never touches the old file until the new one is complete on disk;
// then one rename replaces it, so a failed or interrupted save leaves the
// previous configuration as it was.

#include "foundation/Dll.h"

#include <cstdint>
#include <string>
#include <vector>

class CArchive;
class OPCS_Device;

// The document layer: the version, then the device list. Returns the version
// read or written.
double SerializeDocumentLayer(CArchive& ar, Dll<OPCS_Device*>& devices);

struct ConfigLoad {
    enum Outcome {
        kLoaded,      // read; errors may still list entries the load dropped
        kUnreadable,  // the content was not a configuration this program reads: no devices
        kNotOpened,   // the file could not be opened or read at all
    };
    Outcome outcome = kNotOpened;
    double documentVersion = 0;       // as the file gives it (kLoaded)
    std::vector<std::string> errors;  // the texts of the error entries written
    std::string systemError;          // why the file could not be opened (kNotOpened)
    // The file's bytes exactly as they were read, kept only when the load was
    // not whole (errors is not empty): what a later save must not destroy.
    std::vector<std::uint8_t> original;
};

// Appends the file's devices to devices (which the caller owns). On
// kUnreadable nothing is appended and "Failed to open file:" is logged.
ConfigLoad LoadConfigFile(const std::string& path, Dll<OPCS_Device*>& devices);

// Writes the devices to path; false (with the reason) when the file could not
// be written, in which case the file on disk is the one that was there before.
bool SaveConfigFile(const std::string& path, Dll<OPCS_Device*>& devices, std::string& error);

// How many names KeepFileCopy tries: "<path>.bad", then "<path>.bad1" and on.
inline constexpr int kCopyNames = 100;

// Writes bytes, complete and flushed to the disk, to the first of the names
// "<path>.bad", "<path>.bad1" ... "<path>.bad99" that does not exist yet; an
// existing file of any of these names is never touched. Gives the name used,
// or false with the reason (all names taken, or the folder not writable).
bool KeepFileCopy(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& copyPath,
                  std::string& error);
