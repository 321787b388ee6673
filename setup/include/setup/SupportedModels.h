#pragma once
// Which counter models the setup tool shows: the names of the values under
// HKEY_LOCAL_MACHINE "SOFTWARE\Ostrel\VOKSetup\Supported Models".

#include <string>
#include <string_view>

namespace supportedmodels {

inline constexpr const char* kKey = "SOFTWARE\\Ostrel\\VOKSetup\\Supported Models";
// The model the counters of the family report; listed on a fresh machine.
inline constexpr const char* kDefaultModel = "MCA";

// The model text without spaces, CR and LF at either end.
std::string Trimmed(std::string_view model);

// True when the trimmed model names a value of the key whose data fits a
// four-byte read (a DWORD does; a long string does not). An empty model
// names no value.
bool IsSupported(std::string_view model);

// Called at program start: when the key does not exist yet, creates it with
// the value "MCA" (DWORD 1) so that a fresh machine finds its counters.
// An existing key is left as the technician keeps it. False when the
// registry could not be written.
bool EnsureDefaults();

}  // namespace supportedmodels
