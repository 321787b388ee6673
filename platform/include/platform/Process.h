#pragma once
// The running program's own file and the per-user folders, as the program
// asks for them.

#include "platform/WinTypes.h"

#include <string>
#include <vector>

using HMODULE = void*;

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

// Copies the full path of the program's file (module null) and returns its
// length. When the buffer is too small the path is cut to size - 1 characters
// and the call returns size with ERROR_INSUFFICIENT_BUFFER, as Windows does.
// Other modules are not served: 0 with ERROR_MOD_NOT_FOUND.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

namespace platform {

// The user's folder for the program's own files, with its trailing '/':
// $XDG_DATA_HOME/vok/ when that variable holds an absolute path, otherwise
// <home>/.local/share/vok/. Empty when no home folder is known. The folder is
// not created here.
std::string UserDataFolder();

// The user's folder for run-time files (locks, sockets), with its trailing
// '/': $XDG_RUNTIME_DIR/vok/ when that variable holds an absolute path,
// otherwise /tmp/vok-<uid>/. Created with mode 0700 when missing; empty when
// it cannot be made or is not a folder owned by the user with that mode.
std::string UserRuntimeFolder();

// Whether this process may create files in the folder.
bool IsFolderWritable(const std::string& folder);

}  // namespace platform

namespace platform {

// Starts the program with the arguments as a process of its own session,
// detached from this one (its standard streams on /dev/null, not a child
// this process must wait for). False with the reason when it cannot start.
bool StartDetachedProgram(const std::string& path, const std::vector<std::string>& arguments, std::string& error);

}  // namespace platform
