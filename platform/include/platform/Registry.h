#pragma once
// The Windows registry calls, served from one text file per root key in the
// "Windows Registry Editor Version 5.00" format. The files live in the folder
// named by the environment variable VOK_REGISTRY_DIR (default
// ~/.config/vok/registry), read again on every call so that a change of the
// variable takes effect at once. Every change is written atomically under a
// lock shared with the other processes, and a file another process changed is
// read again before the next call uses it.

#include "platform/Sync.h"
#include "platform/Time.h"

#include <cstdint>
#include <string>
#include <vector>

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;
using LPBYTE = BYTE*;
using PFILETIME = FILETIME*;

namespace platform {
// The predefined keys carry the values Windows gives them (sign-extended).
inline HKEY PredefinedKey(std::uint32_t value) {
    return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(value)));
}
}  // namespace platform

inline const HKEY HKEY_CLASSES_ROOT = platform::PredefinedKey(0x80000000u);
inline const HKEY HKEY_CURRENT_USER = platform::PredefinedKey(0x80000001u);
inline const HKEY HKEY_LOCAL_MACHINE = platform::PredefinedKey(0x80000002u);
inline const HKEY HKEY_USERS = platform::PredefinedKey(0x80000003u);
inline const HKEY HKEY_PERFORMANCE_DATA = platform::PredefinedKey(0x80000004u);
inline const HKEY HKEY_CURRENT_CONFIG = platform::PredefinedKey(0x80000005u);
inline const HKEY HKEY_DYN_DATA = platform::PredefinedKey(0x80000006u);

// Access rights.
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM SYNCHRONIZE = 0x00100000;
constexpr REGSAM STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr REGSAM STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr REGSAM STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = (STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE;
constexpr REGSAM KEY_WRITE = (STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = (STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                   KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &
                                  ~SYNCHRONIZE;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Key options. Volatile keys are kept like the others: the files are the only store.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr DWORD REG_OPTION_VOLATILE = 0x00000001;

// RegCreateKeyExA dispositions.
constexpr DWORD REG_CREATED_NEW_KEY = 0x00000001;
constexpr DWORD REG_OPENED_EXISTING_KEY = 0x00000002;

// An empty or null sub key opens a new handle to hKey itself.
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Creates the missing keys of the path (needs KEY_CREATE_SUB_KEY on hKey when
// something is created) and opens the last one.
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
// A null or empty name is the key's unnamed default value. With lpData null
// only the type and size are reported; a buffer too small gives ERROR_MORE_DATA
// and the needed size.
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
// Sub keys enumerate in the order of their names ignoring case, as on NT.
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Values enumerate in the order they were first set.
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime);
// Deletes a key that has no sub keys (ERROR_ACCESS_DENIED otherwise, as on NT).
// As on Windows, the access rights of hKey do not matter.
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// A null or empty name is the default value.
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LSTATUS RegCloseKey(HKEY hKey);

namespace platform {

// The folder that holds the registry files for the next call.
std::string RegistryFolder();

// The problems found in registry files since the process started (or since the
// last ClearRegistryProblems), one line each naming the file and line. Each
// damaged file is also reported once on stderr. Readable keys and values of a
// damaged file are kept, and a copy of it (".bad") is made before it is rewritten.
std::vector<std::string> RegistryProblems();
void ClearRegistryProblems();

// How many key handles are open in this process; for finding leaks.
std::size_t OpenRegistryKeyCount();

}  // namespace platform
