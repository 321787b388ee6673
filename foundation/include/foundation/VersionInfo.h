#pragma once
// Small program-wide services: the version strings compiled into the program,
// its version number, its own path and folders, path splitting, date-time
// texts, file existence, system error texts and text splitting.
//
// Paths use '/' as the folder separator.

#include "foundation/Dll.h"
#include "platform/OleAuto.h"
#include "platform/Time.h"
#include "platform/WinTypes.h"

#include <span>
#include <string>

namespace versioninfo {

// One translation block of a version resource: its translation name
// ("040904b0") and its key/value pairs.
struct VersionKeyValue {
    const char* key;
    const char* value;
};
struct VersionTranslation {
    const char* translation;
    std::span<const VersionKeyValue> values;
};
using VersionResource = std::span<const VersionTranslation>;

// The translations a look-up tries, in this order.
std::span<const char* const> TranslationOrder();

// The program's own version resource.
VersionResource ProgramVersionResource();

// The key's value in the first translation of TranslationOrder() that has it;
// empty when none has it.
std::string VersionString(VersionResource resource, const std::string& key);
// The same for a file: an empty name means the program's own file. Other
// files carry no version resource here, so their values are empty.
std::string VersionString(const std::string& file, const std::string& key);

std::string CompanyName();
std::string ProductName();
std::string FileVersion();
std::string ProductVersion();
std::string LegalCopyright();

// ProductVersion as a number (2.11), computed on first use.
double ProgramVersion();

// The full path of the running program's file; empty when unknown.
std::string ProgramPath();
// The folder of the program's file, with its trailing '/'.
std::string ExecutableFolder();
// The folder for the program's own files (configuration, event log, I/O log):
// the executable's folder when this process may write there, otherwise the
// per-user data folder, created when missing. Ends in '/'.
std::string ProgramFolder();

// The folder up to and including the last '/', and the rest. Without a '/'
// the folder is empty and the name is the whole path.
void SplitPath(const std::string& path, std::string& folder, std::string& name);

// The user-locale short date, one space and the user-locale time; empty when
// either formatting fails.
std::string DateTimeText(const SYSTEMTIME& time);
std::string DateTimeText(const FILETIME& time);

// Whether the file system reports a status for the path.
bool FileExists(const std::string& path);

// The system's message text for an error code.
std::string SystemErrorText(DWORD code);

// Always false on this platform: the program runs on no Windows 9x system.
bool IsWindows9x();

// True for exactly VT_I2, VT_I4, VT_R4, VT_R8, VT_I1, VT_UI1, VT_UI2, VT_UI4,
// VT_INT and VT_UINT (no array or reference bit).
bool IsNumericType(VARTYPE type);

// Empties the list, then cuts the text at every delimiter character. A token
// is added when it is not empty, or always when keepEmpty is set; the last
// token is added only when it is not empty. Nothing is added when the text or
// the delimiter set is empty.
void Split(const std::string& text, const std::string& delimiters, bool keepEmpty, Dll<std::string>& tokens);

}  // namespace versioninfo
