#pragma once
// How the server program registers and unregisters itself as the server of
// its class: the two registry scripts compiled into the program (the module's,
// resource 251, and the class's, resource 254, in the registrar's script
// language, with %MODULE% for the program's full path), and the removal of
// the program's traces after unregistration.

#include "platform/WinTypes.h"

#include <string>

constexpr UINT IDR_MODULE_SCRIPT = 251;
constexpr UINT IDR_CLASS_SCRIPT = 254;

// The text of a script resource; null for any other number.
const char* FindRegistryScript(UINT id);

// Runs the module's script, then the class's, in register mode, stopping at
// the first failure, whose code is returned.
HRESULT RegisterServer(const std::string& modulePath);
// Runs the module's script in unregister mode and, when that succeeded, the
// class's; the first failure's code is returned.
HRESULT UnregisterServer(const std::string& modulePath);

// After unregistration: deletes the program's settings keys (machine and user)
// and its class keys, logs it, and offers to delete the configuration file and
// the event log file (each after a Yes to its question).
void RemoveTraces();

// The system's message text for a COM result, as the registration failure box shows it.
std::string ComErrorText(HRESULT code);
