#pragma once
// Environment variables and the system's message texts, as the Windows calls
// of these names serve them.

#include "platform/WinTypes.h"

#include <cstdarg>
#include <string>

// Copies the variable's value and returns its length; when the buffer is too
// small, returns the size needed including the terminating zero and copies
// nothing. 0 with ERROR_ENVVAR_NOT_FOUND when the variable is not set.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
// Sets the variable for this process and the programs it starts; a null value removes it.
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

// Only FORMAT_MESSAGE_FROM_SYSTEM with FORMAT_MESSAGE_IGNORE_INSERTS is served:
// copies the English text of a system error code, ending in "\r\n" as Windows'
// texts do, and returns its length. 0 with ERROR_MR_MID_NOT_FOUND for a code
// without a text, ERROR_INSUFFICIENT_BUFFER when it does not fit and
// ERROR_INVALID_PARAMETER for the forms not served.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments);

namespace platform {

// Whether a window can be shown: a Qt platform is named, or a local X display
// has its socket, or a Wayland display is set. A display that is not there
// would end a window program inside its toolkit.
bool DisplayAvailable();

// The system's text for an error code without its line end; "Error <code>"
// for a code the system has no text for.
std::string SystemMessageText(DWORD code);

// This machine's host name ("localhost" when it has none).
std::string HostName();

}  // namespace platform
